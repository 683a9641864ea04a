#include "quorlane/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "quorlane/fd.h"

namespace quorlane {

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return content.str();
}

WriteOutcome writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return WriteOutcome::kNotOpened;
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  file.close();
  return file.fail() ? WriteOutcome::kNotWritten : WriteOutcome::kWritten;
}

int syncPath(const std::string& path) {
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  return fsync(fd.get()) == 0 || errno == EINVAL ? 0 : errno;
}

}  // namespace quorlane
