#include "quorlane/incremental_job.h"

#include <time.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "quorlane/backup_error.h"
#include "quorlane/paths.h"
#include "quorlane/text.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

void pause(long milliseconds) {
  const timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  nanosleep(&delay, nullptr);
}

}  // namespace

std::string scratchImagePath(const std::string& vm, const std::string& target,
                             const std::string& basePath) {
  return joinPath(parentDir(basePath), vm + "-" + target + ".quorlane-backup-scratch.qcow2");
}

IncrementalJob::IncrementalJob(const Virsh& virsh, const QemuImg& qemuImg, const Logger& log,
                               BackupDir backup, std::string parent,
                               std::map<std::string, std::string> disks,
                               std::map<std::string, std::uint64_t> sizes, Checkpoint& checkpoint,
                               long coroutines)
    : virsh_(virsh),
      qemuImg_(qemuImg),
      log_(log),
      backup_(std::move(backup)),
      parent_(std::move(parent)),
      disks_(std::move(disks)),
      sizes_(std::move(sizes)),
      checkpoint_(checkpoint),
      coroutines_(coroutines) {}

IncrementalJob::~IncrementalJob() {
  try {
    release();
  } catch (const std::exception&) {
    // A failure while cleaning up must not end the process: the next run
    // removes what is left.
  }
}

std::string IncrementalJob::scratch(const std::string& target) const {
  return scratchImagePath(backup_.vm, target, disks_.at(target));
}

void IncrementalJob::begin(bool freeze) {
  for (const auto& [target, basePath] : disks_) {
    const CommandResult created = qemuImg_.create(scratch(target), sizes_.at(target));
    if (!created.ok()) {
      throw BackupError("Failed to create the scratch image of " + target + ": " + scratch(target) +
                        ": " + trim(created.err));
    }
    log_.trace("Scratch image for " + target + ": " + scratch(target));
  }
  const std::string jobFile = backup_.backupJobFile();
  const std::string checkpointFile = backup_.checkpointFile();
  writeFileOrFail(jobFile, jobDefinition());
  writeFileOrFail(checkpointFile, checkpointDefinition());
  beginWithin(freeze, jobFile, checkpointFile);
  std::error_code ec;
  fs::remove(jobFile, ec);
  fs::remove(checkpointFile, ec);
}

std::string IncrementalJob::jobDefinition() const {
  std::string xml = "<domainbackup mode='push'>\n  <incremental>" + checkpointName(parent_) +
                    "</incremental>\n  <disks>\n";
  for (const auto& [target, basePath] : disks_) {
    xml += "    <disk name='" + xmlEscape(target) +
           "' backup='yes' type='file'>\n      <driver type='qcow2'/>\n      <target file='" +
           xmlEscape(scratch(target)) + "'/>\n    </disk>\n";
  }
  return xml + "  </disks>\n</domainbackup>\n";
}

std::string IncrementalJob::checkpointDefinition() const {
  std::string xml = "<domaincheckpoint>\n  <name>" + checkpoint_.name() + "</name>\n  <disks>\n";
  for (const auto& [target, basePath] : disks_) {
    xml += "    <disk name='" + xmlEscape(target) + "' checkpoint='bitmap'/>\n";
  }
  return xml + "  </disks>\n</domaincheckpoint>\n";
}

// libvirt has no quiesce of its own for a backup job: the guest's file
// systems are frozen around its begin and thawed at once, whatever the
// begin did.
void IncrementalJob::beginWithin(bool freeze, const std::string& jobFile,
                                 const std::string& checkpointFile) {
  const std::string& vm = backup_.vm;
  if (freeze) {
    const CommandResult frozen = virsh_.freezeFileSystems(vm);
    if (!frozen.ok()) {
      throw BackupError("Failed to freeze the file systems of VM '" + vm +
                        "': " + trim(frozen.err));
    }
  }
  const CommandResult begun = virsh_.beginBackup(vm, jobFile, checkpointFile);
  if (begun.ok()) {
    started_ = true;
    checkpoint_.takenByBackupJob();
  }
  if (freeze) {
    const CommandResult thawed = virsh_.thawFileSystems(vm);
    if (!thawed.ok()) {
      log_.error("FAILED to thaw the file systems of VM '" + vm + "': " + trim(thawed.err));
      log_.error("The guest may still be frozen. Run 'virsh domfsthaw " + vm + "' now.");
      throw BackupError::reported("file systems left frozen");
    }
  }
  if (!begun.ok()) {
    throw BackupError("Failed to start the backup job on VM '" + vm + "': " + trim(begun.err));
  }
  log_.info("Backup job started.");
}

void IncrementalJob::copyChangedBlocks(const CopyCheck& checkCopy) {
  waitForEnd();
  const std::string& vm = backup_.vm;
  for (const auto& [target, basePath] : disks_) {
    const std::string destination = backup_.diskImage(target);
    const std::string parent = parentImagePath(parent_, vm, target);
    log_.info("  " + target + ": blocks changed since " + parent_);
    log_.info("         -> " + destination + " (on " + parent + ")");
    // Without a backing file, what the job left unwritten reads as zeros, and
    // the conversion would store those zeros over the parent's data. With the
    // parent behind it (only in its header: QEMU is done with it), unwritten
    // stays unwritten. QEMU reads a relative backing file name from the
    // scratch image's directory, not from ours.
    const CommandResult rebased = qemuImg_.rebaseUnsafe(
        scratch(target), absolutePath(sibling(backup_, parent_).diskImage(target)));
    if (!rebased.ok()) {
      throw BackupError("Failed to back up disk: " + target + " (" + scratch(target) +
                        "): " + trim(rebased.err));
    }
    checkCopy(target, scratch(target),
              qemuImg_.convertCompressedOnto(scratch(target), destination, parent, coroutines_));
    std::error_code ec;
    fs::remove(scratch(target), ec);
    // A signal during a copy ends the run before the backup counts as
    // complete: no snapshot waits for a merge here.
    checkInterrupted();
  }
}

void IncrementalJob::waitForEnd() const {
  const std::string& vm = backup_.vm;
  // A job of a few changed blocks ends within a fraction of a second and one
  // of a fifth of a disk within a second or two, where every tenth of a
  // second waited adds to the backup's time; a large one takes minutes: ask
  // every 100 ms for two seconds, then every second.
  for (long waited = 0;;) {
    checkInterrupted();
    const JobInfo job = virsh_.activeJob(vm);
    if (!job.answered) throw BackupError("Lost the backup job on VM '" + vm + "': " + job.error);
    if (job.type == "None") break;
    const long wait = waited < 2000 ? 100 : 1000;
    pause(wait);
    waited += wait;
  }
  const JobInfo done = virsh_.completedJob(vm);
  if (done.type != "Completed") {
    throw BackupError("The backup job on VM '" + vm + "' ended " +
                      (done.type.empty() ? "without a result" : done.type) +
                      (done.error.empty() ? "" : ": " + done.error));
  }
  log_.trace("Backup job completed.");
}

void IncrementalJob::release() {
  if (released_) return;
  released_ = true;
  if (started_) abandon();
  for (const auto& [target, basePath] : disks_) {
    std::error_code ec;
    fs::remove(scratch(target), ec);
  }
}

void IncrementalJob::abandon() const {
  const std::string& vm = backup_.vm;
  if (const JobInfo job = virsh_.activeJob(vm); !job.answered || job.type == "None") return;
  log_.warn("Aborting the backup job on VM '" + vm + "'.");
  const CommandResult aborted = virsh_.abortJob(vm);
  if (aborted.ok() && waitForAbort()) return;
  log_.error("FAILED to abort the backup job on VM '" + vm +
             "': " + (aborted.ok() ? std::string("it is still running") : trim(aborted.err)));
  log_.error("Run 'virsh domjobabort " + vm + "' before the next backup.");
}

// libvirt answers the abort once it has asked QEMU to cancel the job's block
// jobs; the job ends when QEMU reports them cancelled, a moment later.
bool IncrementalJob::waitForAbort() const {
  constexpr long kLimit = 30000;
  for (long waited = 0, wait = 20; waited < kLimit;
       waited += wait, wait = std::min(wait * 2, 1000L)) {
    const JobInfo job = virsh_.activeJob(backup_.vm);
    if (!job.answered || job.type == "None") return true;
    pause(wait);
  }
  return false;
}

}  // namespace quorlane
