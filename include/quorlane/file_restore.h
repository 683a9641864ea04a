#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quorlane/backup_check.h"
#include "quorlane/command_runner.h"
#include "quorlane/guest_extract.h"
#include "quorlane/guest_fs.h"
#include "quorlane/guest_path.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_access.h"
#include "quorlane/restore_cli.h"

namespace quorlane {

// The guest's files cannot be read as asked: a path that is not there, no
// file system to read, an encrypted or damaged one, an output directory
// that is not empty.
inline constexpr int kExitGuestUnreadable = 4;

// One line of --ls PATH:
// TYPE MODE UID GID SIZE MTIME NAME [TARGET], tab-separated.
std::string formatGuestEntry(const GuestEntry& entry);

// --ls, --extract and --mount: single files from one backup's disks, which
// a throwaway appliance reads (GuestFs), so that the host never mounts a
// guest file system. --extract writes below its output directory only,
// into a staging directory there that is moved into place once every path
// has been written; a failure or a termination signal removes it, so that
// nothing is written. Ends with 0, 1, 4 (kExitGuestUnreadable) or 128 plus
// the signal number.
class FileRestore {
 public:
  using OpenGuestFs = std::function<std::unique_ptr<GuestFs>(Logger&)>;

  // Reads through the real appliance.
  FileRestore(RestoreOptions opts, Logger& log, CommandRunner& runner);
  FileRestore(RestoreOptions opts, Logger& log, CommandRunner& runner, OpenGuestFs openGuestFs);
  FileRestore(const FileRestore&) = delete;
  FileRestore& operator=(const FileRestore&) = delete;

  int run();

 private:
  void locate();
  // What each --extract path lands as in the output directory.
  std::vector<std::string> landingNames() const;
  void startAppliance();
  void openToQemu(const BackupDir& backup);
  void listFilesystems();
  void listDirectory();
  void extractAll();
  void extract(const GuestPath& path);
  void extractDirectory(const std::string& dir, const std::string& landing,
                        const std::string& shown);
  void mountAll();
  // Mounts the file system that holds `path` on the appliance's root and
  // returns the path on it.
  std::string mountHolding(const GuestPath& path);
  void mountDevice(const std::string& device, const std::string& mountpoint);
  GuestStat statOrUnreadable(const std::string& path, const GuestPath& named);
  const GuestFilesystem* filesystem(const std::string& device) const;
  void record(const std::string& result, const std::string& reason = {}) const;

  RestoreOptions opts_;
  Logger& log_;
  OpenGuestFs openGuestFs_;
  BackupCheck check_;
  // Before guest_: the appliance is gone before its access is taken back.
  std::optional<QemuAccess> qemuAccess_;
  std::unique_ptr<GuestFs> guest_;
  GuestOs os_;
  std::vector<GuestFilesystem> filesystems_;
  std::optional<ExtractTarget> target_;
  std::int64_t startEpoch_ = 0;
};

}  // namespace quorlane
