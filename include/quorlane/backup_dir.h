#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorlane {

// What a backup directory <backup-root>/<vm>/<timestamp>/ holds, and which
// directories below <backup-root>/<vm> are backups. The backup writes this
// layout and the restore reads it.

// The line the per-backup log gets once every disk image is written. A
// directory whose log lacks it, or that has no log, holds no usable backup.
inline constexpr std::string_view kDisksCopiedMessage = "All disks backed up successfully.";

// Backup directories are named by the run's local time, "YYYY-MM-DD_HH-MM-SS".
bool isTimestampName(const std::string& name);

std::string backupLogName(const std::string& vm, const std::string& timestamp);
std::string verbatimDefinitionName(const std::string& vm);
std::string correctedDefinitionName(const std::string& vm);
std::string diskImageName(const std::string& vm, const std::string& target);
std::string nvramFileName(const std::string& vm);

// One backup directory of the VM `vm`, named `timestamp`.
struct BackupDir {
  std::string path;
  std::string vm;
  std::string timestamp;

  std::string log() const;
  std::string verbatimDefinition() const;
  std::string correctedDefinition() const;
  std::string diskImage(const std::string& target) const;
  std::string nvram() const;
  // Whether this tool completed the disk copy: the log holds kDisksCopiedMessage.
  bool complete() const;
  // The disk targets whose images the directory holds, from their file names.
  std::vector<std::string> imageTargets() const;
};

// The backup directory `timestamp` below the VM directory of `vm`.
BackupDir backupDirIn(const std::string& vmDir, const std::string& vm,
                      const std::string& timestamp);

// The timestamp-named subdirectories (links to directories included) of
// vmDir, complete or not, newest first. Anything else an operator keeps
// there is not a backup.
std::vector<BackupDir> listBackups(const std::string& vmDir, const std::string& vm);

}  // namespace quorlane
