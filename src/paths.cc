#include "quorlane/paths.h"

#include <filesystem>
#include <system_error>

namespace quorlane {

namespace fs = std::filesystem;

std::string joinPath(const std::string& left, const std::string& right) {
  return (fs::path(left) / right).string();
}

std::string parentDir(const std::string& path) { return fs::path(path).parent_path().string(); }

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::string absolutePath(const std::string& path) {
  std::error_code ec;
  const fs::path full = fs::absolute(path, ec);
  if (ec) return path;
  std::string normal = full.lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

std::optional<std::uintmax_t> availableBytes(const std::string& path) {
  std::error_code ec;
  const fs::space_info space = fs::space(path, ec);
  if (ec) return std::nullopt;
  return space.available;
}

}  // namespace quorlane
