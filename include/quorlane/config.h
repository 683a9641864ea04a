#pragma once

#include <string_view>

namespace quorlane::config {

inline constexpr std::string_view kAppName = "quorlane-backup";
inline constexpr std::string_view kAppVersion = "0.1.5-prototype";
inline constexpr std::string_view kSnapshotName = "quorlane-backup-temp";
inline constexpr std::string_view kLibvirtImageDir = "/var/lib/libvirt/images";
inline constexpr std::string_view kAppLogDir = "/var/log/quorlane";
inline constexpr std::string_view kAppLogFile = "/var/log/quorlane/quorlane-backup.log";
// The lock files of the VMs that runs of either program are working on.
inline constexpr std::string_view kRunLockDir = "/run/quorlane";

}  // namespace quorlane::config
