#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorlane {

// Path helpers shared by the backup and the restore.
std::string joinPath(const std::string& left, const std::string& right);
std::string parentDir(const std::string& path);
// False also when the path cannot be examined.
bool isDirectory(const std::string& path);
// Whether anything is at the path, a dangling symbolic link included.
bool pathExists(const std::string& path);
// The absolute, normalised path without a trailing slash (libvirt takes
// absolute file names only); the path as given when it cannot be made absolute.
std::string absolutePath(const std::string& path);
// Bytes an unprivileged writer can still store on the file system holding
// path; nothing when it cannot be asked.
std::optional<std::uintmax_t> availableBytes(const std::string& path);

}  // namespace quorlane
