#include "quorlane/paths.h"

#include <filesystem>
#include <string_view>
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

std::optional<std::uintmax_t> availableBytes(const std::string& path) {
  std::error_code ec;
  const fs::space_info space = fs::space(path, ec);
  if (ec) return std::nullopt;
  return space.available;
}

bool isTimestampName(const std::string& name) {
  static constexpr std::string_view kShape = "dddd-dd-dd_dd-dd-dd";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return false;
  }
  return true;
}

}  // namespace quorlane
