#include "quorlane/backup_error.h"

#include <optional>

#include "quorlane/files.h"
#include "quorlane/signals.h"

namespace quorlane {

void checkInterrupted() {
  if (const int signo = caughtSignal(); signo != 0) throw BackupInterrupted(signo);
}

std::string readFileOrFail(const std::string& path) {
  std::optional<std::string> content = readFile(path);
  if (!content) throw BackupError("Could not read file: " + path);
  return std::move(*content);
}

void writeFileOrFail(const std::string& path, const std::string& content) {
  switch (writeFile(path, content)) {
    case WriteOutcome::kWritten: return;
    case WriteOutcome::kNotOpened: throw BackupError("Could not open file for writing: " + path);
    case WriteOutcome::kNotWritten: throw BackupError("Could not write file: " + path);
  }
}

}  // namespace quorlane
