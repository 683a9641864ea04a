#pragma once

#include <cstdint>
#include <map>
#include <optional>
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
// The name a backup started now gets.
std::string newTimestamp();

// Whether a per-backup log holds kDisksCopiedMessage as a line of its own.
bool marksDisksCopied(const std::string& logText);

std::string backupLogName(const std::string& vm, const std::string& timestamp);
std::string verbatimDefinitionName(const std::string& vm);
std::string correctedDefinitionName(const std::string& vm);
std::string diskImageName(const std::string& vm, const std::string& target);
std::string nvramFileName(const std::string& vm);
std::string chainFileName(const std::string& vm);
// What an incremental backup hands libvirt: the job and its checkpoint.
std::string backupJobFileName(const std::string& vm);
std::string checkpointFileName(const std::string& vm);

// The libvirt checkpoint that tracks the blocks changed since the backup of
// that timestamp.
std::string checkpointName(const std::string& timestamp);
// The timestamp of a checkpoint this tool creates; empty for any other name.
std::string checkpointTimestamp(const std::string& checkpoint);

enum class BackupKind { kFull, kIncremental };

// What the chain file of a backup made with --incremental records. A backup
// without one is a full backup that no incremental continues.
struct ChainRecord {
  BackupKind kind = BackupKind::kFull;
  std::string parent;      // the parent backup's timestamp, for an incremental
  std::string checkpoint;  // the checkpoint taken with it; empty when none could be
  std::map<std::string, std::uint64_t> diskSizes;  // target to virtual size in bytes

  bool operator==(const ChainRecord&) const = default;
};

std::string formatChainRecord(const ChainRecord& record);
// Nothing when the text is not a chain record.
std::optional<ChainRecord> parseChainRecord(const std::string& text);

// An incremental image names its parent's image relative to its own
// directory, so that a VM's backups can move together.
std::string parentImagePath(const std::string& parentTimestamp, const std::string& vm,
                            const std::string& target);

// A file's mode and owner, as found before it was opened up for QEMU.
struct FileMode {
  std::string path;
  unsigned mode = 0;  // the permission bits
  unsigned uid = 0;
  unsigned gid = 0;

  bool operator==(const FileMode&) const = default;
};

// "MODE UID GID PATH", the mode in octal.
std::string formatFileMode(const FileMode& file);
// Nothing when the text is not a file's mode and owner.
std::optional<FileMode> parseFileMode(const std::string& text);

// A live restore pins the backup that its VM reads from: while the pin is
// there, retention neither counts nor deletes the backup nor any backup it
// depends on.
struct Pin {
  std::string vm;                             // the VM that reads from the backup
  std::map<std::string, std::string> images;  // target to that VM's image
  std::vector<FileMode> opened;

  bool operator==(const Pin&) const = default;
};

std::string pinFileName(const std::string& vm);
std::string formatPin(const Pin& pin);
// Nothing when the text is not a pin.
std::optional<Pin> parsePin(const std::string& text);

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
  std::string chainFile() const;
  std::string backupJobFile() const;
  std::string checkpointFile() const;
  // The chain record; nothing when the backup was made without --incremental.
  std::optional<ChainRecord> chain() const;
  // Whether this tool completed the disk copy: the log holds kDisksCopiedMessage.
  bool complete() const;
  std::string pinFile(const std::string& restoredVm) const;
  // The live restores that read from this backup.
  std::vector<Pin> pins() const;
  // The disk targets whose images the directory holds, from their file names.
  std::vector<std::string> imageTargets() const;
};

// <backup-root>/<vm>/<timestamp>.
BackupDir backupDirUnder(const std::string& backupRoot, const std::string& vm,
                         const std::string& timestamp);

// The backup at `path`, named <vm>/<timestamp> by its last two components
// (trailing slashes aside); whether it is one is the caller's to check.
BackupDir backupDirAt(const std::string& path);

// The backup directory `timestamp` below the VM directory of `vm`.
BackupDir backupDirIn(const std::string& vmDir, const std::string& vm,
                      const std::string& timestamp);

// The backup `timestamp` of the same VM, beside this one.
BackupDir sibling(const BackupDir& backup, const std::string& timestamp);

// A backup and the ones it depends on, newest first, down to its full one.
struct Chain {
  std::vector<BackupDir> members;
  // Empty when the chain is whole: every member complete, with its images
  // and its record; else what is wrong, naming the backup.
  std::string fault;
};
Chain chainOf(const BackupDir& backup);

// The timestamp-named subdirectories (links to directories included) of
// vmDir, complete or not, newest first. Anything else an operator keeps
// there is not a backup.
std::vector<BackupDir> listBackups(const std::string& vmDir, const std::string& vm);

// The timestamps of the backups that live restores read from, and of every
// backup those depend on.
std::vector<std::string> pinnedBackups(const std::vector<BackupDir>& backups);

// The complete backups that retention deletes: all but the `keep` newest
// (`own`, the run's own backup, always among them, whatever its name) and
// every backup that a kept one depends on. Oldest last.
std::vector<std::string> backupsToPrune(const std::vector<BackupDir>& complete, long keep,
                                        const std::string& own);

}  // namespace quorlane
