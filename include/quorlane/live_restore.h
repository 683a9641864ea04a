#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "quorlane/backup_check.h"
#include "quorlane/backup_dir.h"
#include "quorlane/backup_error.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/restore_cli.h"
#include "quorlane/restore_files.h"
#include "quorlane/virsh.h"

namespace quorlane {

// A live restore (--live): the VM runs at once on local images that read
// from the backup, and libvirt pulls the data into them while it runs; the
// backup stays pinned until every copy has ended. --finish completes one
// that an earlier run left unfinished. Until the VM reads from the backup, a
// failure or a termination signal ends it as it ends a copy restore
// (Restore); from then on either leaves the VM on the pinned backup and says
// how to finish the copy.
class LiveRestore {
 public:
  LiveRestore(RestoreOptions opts, Logger& log, CommandRunner& runner);
  LiveRestore(const LiveRestore&) = delete;
  LiveRestore& operator=(const LiveRestore&) = delete;

  // Returns the process exit status: 0, 1, or 128 plus a signal number.
  int run();

 private:
  void runLive();
  void runFinish();
  void createImageOnBackup(const RestoreTarget& t);
  void pinAndOpenBackup();
  void checkRunsOnTheBackup();
  void findPin();
  void pullDisks();
  void pullDisk(const std::string& target, const std::string& image);
  void completeCopy();
  void flushVmImages(const DomainState& state);
  void removeLiveNote(bool running);
  void unpin();
  int endInterrupted(int signo);
  int fail(const BackupError& error);
  // The restored VM and the backup it reads from, once known.
  const std::string& vm() const;
  const BackupDir& backup() const;
  void record(const std::string& result, const std::string& reason = {}) const;

  RestoreOptions opts_;
  Logger& log_;
  Virsh virsh_;
  QemuImg qemuImg_;
  BackupCheck check_;
  RestoreFiles files_;
  std::int64_t startEpoch_ = 0;
  std::chrono::steady_clock::time_point startTime_;
  BackupDir noted_;  // for --finish: the backup that the VM's definition names
  Pin pin_;
  bool pinned_ = false;  // the VM reads from the pinned backup
};

}  // namespace quorlane
