#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quorlane/backup_check.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/restore_cli.h"
#include "quorlane/run_lock.h"
#include "quorlane/virsh.h"

namespace quorlane {

enum class TargetKind { kDisk, kNvram, kDefinition };

// One file the restore writes: first under `temp`, renamed to `path` at the end.
struct RestoreTarget {
  TargetKind kind = TargetKind::kDisk;
  std::string label;   // the disk target, "nvram" or "definition"
  std::string source;  // the file in the backup; empty for the definition
  std::string path;
  std::string temp;
};

// The steps that the copy and the live restore share: the backup found and
// checked, and the restored VM's files planned and validated (step 1); each
// file written beside its place under a temporary name and flushed (steps 2
// to 4) and all renamed into place at the end (step 5); the VM defined and
// started from them. Until they are in place, a failure or a termination
// signal removes every temporary file and every directory made for them, so
// that no existing file changes.
class RestoreFiles {
 public:
  // Writes a disk's image under the target's temporary name.
  using DiskWriter = std::function<void(const RestoreTarget&)>;

  RestoreFiles(const RestoreOptions& opts, Logger& log, CommandRunner& runner, BackupCheck& check);

  // Step 1. Throws BackupError with every problem logged.
  void validate(CheckScope scope);
  void printDryRun() const;
  // Takes the lock of the VM, held until this object is gone: one run
  // changes a VM at a time. Throws BackupError naming the run that holds it.
  void lockVm(const std::string& vm);
  // Steps 2 to 4, under the restored VM's lock; acts on a termination
  // signal after the step it came in.
  void write(const DiskWriter& writeDisk);
  // Step 5; acts on a termination signal that came until its end.
  void moveIntoPlace();
  // `step` is the number the line gives the step.
  void define(std::string_view step);
  void start();

  // After a failure: removes what write() wrote, unless it is in place, and
  // says that no existing file changed.
  void failed();
  // After a termination signal: removes what write() wrote and says what
  // the signal left.
  void interrupted(int signo);

  // The restored VM's name, once planned.
  const std::string& vmName() const { return vmName_; }
  const std::vector<RestoreTarget>& targets() const { return targets_; }

 private:
  void plan();
  void validateTargets();
  bool validateTargetFiles();
  bool validateTargetVm();
  void removeLeftoverTemporaries();
  void createTargetDirs();
  void writeNvram(const RestoreTarget& t);
  void writeDefinition(const RestoreTarget& t);
  void removeTemporaries();
  const std::string& definitionPath() const { return targets_.back().path; }

  const RestoreOptions& opts_;
  Logger& log_;
  Virsh virsh_;
  QemuImg qemuImg_;
  BackupCheck& check_;
  std::string vmName_;
  std::string restoredXml_;
  std::vector<RestoreTarget> targets_;
  std::vector<std::string> createdDirs_;
  VmLock vmLock_;
  bool writing_ = false;  // temporaries are being written, none renamed into place yet
  bool inPlace_ = false;
};

}  // namespace quorlane
