#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "quorlane/backup_dir.h"
#include "quorlane/checkpoint.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/virsh.h"

namespace quorlane {

// Where libvirt writes the blocks of a disk that changed since the parent
// backup. QEMU writes it as its own user: beside the disk, where the overlay
// of a full backup would go, not in the owner-only backup directory.
std::string scratchImagePath(const std::string& vm, const std::string& target,
                             const std::string& basePath);

// The libvirt backup job of an incremental backup and what it makes: a
// scratch image per disk and the job's and the checkpoint's definitions in
// the backup directory. The checkpoint the job takes is the run's
// Checkpoint. release() and the destructor abort a job still running and
// remove the scratch images.
class IncrementalJob {
 public:
  // How a run judges an image conversion into its directory: target,
  // source and the result of qemu-img; it throws to fail the step.
  using CopyCheck =
      std::function<void(const std::string&, const std::string&, const CommandResult&)>;

  // disks: target to base image; sizes: target to virtual size; coroutines:
  // those of each conversion (QemuImg).
  IncrementalJob(const Virsh& virsh, const QemuImg& qemuImg, const Logger& log, BackupDir backup,
                 std::string parent, std::map<std::string, std::string> disks,
                 std::map<std::string, std::uint64_t> sizes, Checkpoint& checkpoint,
                 long coroutines);
  ~IncrementalJob();

  IncrementalJob(const IncrementalJob&) = delete;
  IncrementalJob& operator=(const IncrementalJob&) = delete;

  // Creates the scratch images and begins the job, within a freeze of the
  // guest's file systems when `freeze` is set.
  void begin(bool freeze);
  // Waits for the job to end and converts each scratch image into the
  // backup, on the parent backup's image.
  void copyChangedBlocks(const CopyCheck& checkCopy);
  // Whether the job began (and took the checkpoint).
  bool started() const { return started_; }
  void release();

 private:
  std::string scratch(const std::string& target) const;
  std::string jobDefinition() const;
  std::string checkpointDefinition() const;
  void beginWithin(bool freeze, const std::string& jobFile, const std::string& checkpointFile);
  void waitForEnd() const;
  void abandon() const;
  bool waitForAbort() const;

  const Virsh& virsh_;
  const QemuImg& qemuImg_;
  const Logger& log_;
  BackupDir backup_;
  std::string parent_;
  std::map<std::string, std::string> disks_;
  std::map<std::string, std::uint64_t> sizes_;
  Checkpoint& checkpoint_;
  long coroutines_;
  bool started_ = false;
  bool released_ = false;
};

}  // namespace quorlane
