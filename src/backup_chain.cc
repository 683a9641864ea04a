// Incremental backups (--incremental): which run continues a chain, the
// checkpoints that track changed blocks, and the backup job that copies them.
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <system_error>

#include "quorlane/backup.h"
#include "quorlane/backup_dir.h"
#include "quorlane/backup_error.h"
#include "quorlane/paths.h"
#include "quorlane/text.h"
#include "quorlane/virsh.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

// The targets of the disks that are qcow2 files: only those hold bitmaps.
std::set<std::string> qcow2FileDisks(const std::string& xml) {
  static const std::regex kDisk("<disk\\b([^>]*)>([\\s\\S]*?)</disk>");
  static const std::regex kDriverType("<driver\\b[^>]*\\stype='([^']*)'");
  static const std::regex kTarget("<target\\b[^>]*\\sdev='([^']*)'");
  std::set<std::string> targets;
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), kDisk); it != std::sregex_iterator();
       ++it) {
    const std::string head = (*it)[1].str();
    const std::string body = (*it)[2].str();
    if (head.find("type='file'") == std::string::npos) continue;
    std::smatch driver;
    std::smatch target;
    if (std::regex_search(body, driver, kDriverType) && driver[1] == "qcow2" &&
        std::regex_search(body, target, kTarget)) {
      targets.insert(target[1].str());
    }
  }
  return targets;
}

void pause(long milliseconds) {
  const timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  nanosleep(&delay, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------
// Which kind of backup this run takes

std::map<std::string, std::uint64_t> Backup::diskSizes(
    const std::map<std::string, std::string>& disks) const {
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& [target, source] : disks) {
    if (const std::optional<std::uint64_t> size = virsh_.diskCapacity(opts_.vmName, target)) {
      sizes[target] = *size;
    }
  }
  return sizes;
}

// libvirt is asked about the tip's checkpoint only when the chain behind it
// is whole and names one.
std::optional<ChainTip> Backup::chainTip() const {
  const std::string& vm = opts_.vmName;
  const std::vector<BackupDir> backups = listBackups(joinPath(opts_.backupRoot, vm), vm);
  const auto tip = std::find_if(backups.begin(), backups.end(), [](const BackupDir& b) {
    return b.complete() && b.chain().has_value();
  });
  if (tip == backups.end()) return std::nullopt;
  ChainTip found;
  found.timestamp = tip->timestamp;
  found.record = *tip->chain();
  found.chain = chainOf(*tip);
  const std::string& checkpoint = found.record.checkpoint;
  if (found.chain.fault.empty() && !checkpoint.empty()) {
    const std::vector<std::string> names = virsh_.checkpointNames(vm);
    found.checkpointKnown = std::find(names.begin(), names.end(), checkpoint) != names.end();
    found.checkpointIntact = found.checkpointKnown && virsh_.checkpointIntact(vm, checkpoint);
  }
  return found;
}

// What costs a question to libvirt or qemu-img is found out only while it
// can still change the decision.
ChainDecision Backup::decideKind(const std::string& xml,
                                 const std::map<std::string, std::string>& disks,
                                 const std::map<std::string, std::uint64_t>& sizes) const {
  ChainFacts facts;
  facts.vm = opts_.vmName;
  facts.state = domState_;
  for (const auto& [target, source] : disks) facts.disks.push_back(target);
  facts.qcow2Disks = qcow2FileDisks(xml);
  facts.diskSizes = sizes;
  facts.chainLength = chainLength_;
  const ChainDecision untracked = decideChain(facts);
  if (!untracked.tracked) return untracked;
  facts.tip = chainTip();
  const ChainDecision continued = decideChain(facts);
  if (!continued.incremental) return continued;
  facts.tip->unopened = unopenedImages(facts.tip->chain.members.front(), facts.disks);
  return decideChain(facts);
}

// A damaged image at the tip (bit rot, a partial copy) would fail every
// incremental backup made on it.
std::map<std::string, std::string> Backup::unopenedImages(
    const BackupDir& tip, const std::vector<std::string>& targets) const {
  std::map<std::string, std::string> unopened;
  for (const std::string& target : targets) {
    const CommandResult opened = qemuImg_.openChain(tip.diskImage(target));
    if (opened.ok()) continue;
    const std::string detail = firstLine(trim(opened.err));
    unopened[target] =
        detail.empty() ? "qemu-img exited with status " + std::to_string(opened.exitCode) : detail;
  }
  return unopened;
}

void Backup::planChain(const std::string& xml) {
  removeStrayCheckpoints();
  diskSizes_ = diskSizes(diskBasePaths_);
  chain_ = decideKind(xml, diskBasePaths_, diskSizes_);
  chainPlanned_ = true;
  log_.info(chainLine(chain_, chainLength_));
}

// A checkpoint this tool created whose backup never completed (a run that
// was killed) would track blocks for nothing; the chain goes on from the
// newest complete backup. Its scratch images go with it.
void Backup::removeStrayCheckpoints() const {
  const std::string vmDir = joinPath(opts_.backupRoot, opts_.vmName);
  for (const std::string& name : virsh_.checkpointNames(opts_.vmName)) {
    const std::string ts = checkpointTimestamp(name);
    if (ts.empty() || backupDirIn(vmDir, opts_.vmName, ts).complete()) continue;
    log_.warn("Checkpoint '" + name +
              "' belongs to no complete backup (a run was killed); "
              "deleting it.");
    deleteCheckpoint(name);
  }
  for (const auto& [target, source] : diskBasePaths_) {
    std::error_code ec;
    if (fs::remove(scratchPath(target), ec)) {
      log_.warn("Removed the scratch image of an interrupted run: " + scratchPath(target));
    }
  }
}

// ---------------------------------------------------------------------------
// Step 5: the point in time

void Backup::createCheckpoint() {
  const std::string name = checkpointName(timestamp_);
  log_.info("Step 5: Creating checkpoint '" + name + "' for the next incremental backup...");
  const CommandResult result = virsh_.createCheckpoint(opts_.vmName, name);
  if (!result.ok()) {
    throw BackupError("Failed to create checkpoint '" + name + "' on VM '" + opts_.vmName +
                      "': " + trim(result.err));
  }
  checkpointCreated_ = true;
}

std::string Backup::scratchPath(const std::string& target) const {
  // QEMU writes it as its own user: beside the disk, where the overlay of a
  // full backup would go, not in the owner-only backup directory.
  return joinPath(parentDir(diskBasePaths_.at(target)),
                  opts_.vmName + "-" + target + ".quorlane-backup-scratch.qcow2");
}

void Backup::startBackupJob() {
  const std::string& vm = opts_.vmName;
  log_.info("Step 5: Starting the backup job of the blocks changed since backup " + chain_.parent +
            "...");
  std::string jobXml = "<domainbackup mode='push'>\n  <incremental>" +
                       checkpointName(chain_.parent) + "</incremental>\n  <disks>\n";
  std::string checkpointXml =
      "<domaincheckpoint>\n  <name>" + checkpointName(timestamp_) + "</name>\n  <disks>\n";
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string scratch = scratchPath(target);
    const CommandResult created = qemuImg_.create(scratch, diskSizes_.at(target));
    if (!created.ok()) {
      throw BackupError("Failed to create the scratch image of " + target + ": " + scratch + ": " +
                        trim(created.err));
    }
    log_.trace("Scratch image for " + target + ": " + scratch);
    jobXml += "    <disk name='" + xmlEscape(target) +
              "' backup='yes' type='file'>\n      <driver type='qcow2'/>\n      <target file='" +
              xmlEscape(scratch) + "'/>\n    </disk>\n";
    checkpointXml += "    <disk name='" + xmlEscape(target) + "' checkpoint='bitmap'/>\n";
  }
  jobXml += "  </disks>\n</domainbackup>\n";
  checkpointXml += "  </disks>\n</domaincheckpoint>\n";

  const BackupDir layout{backupDir_, vm, timestamp_};
  const std::string jobFile = layout.backupJobFile();
  const std::string checkpointFile = layout.checkpointFile();
  writeFileOrFail(jobFile, jobXml);
  writeFileOrFail(checkpointFile, checkpointXml);
  runBackupJob(jobFile, checkpointFile);
  std::error_code ec;
  fs::remove(jobFile, ec);
  fs::remove(checkpointFile, ec);
}

// Begins the job, inside a freeze of the guest's file systems with
// --quiesce: libvirt has no quiesce of its own for a backup job. The thaw
// follows at once, whatever the begin did.
void Backup::runBackupJob(const std::string& jobFile, const std::string& checkpointFile) {
  const std::string& vm = opts_.vmName;
  const bool freeze = opts_.quiesce && domState_.power == PowerState::kRunning;
  if (freeze) {
    const CommandResult frozen = virsh_.freezeFileSystems(vm);
    if (!frozen.ok()) {
      throw BackupError("Failed to freeze the file systems of VM '" + vm +
                        "': " + trim(frozen.err));
    }
  }
  const CommandResult begun = virsh_.beginBackup(vm, jobFile, checkpointFile);
  if (begun.ok()) {
    jobStarted_ = true;
    checkpointCreated_ = true;
  }
  if (freeze) {
    const CommandResult thawed = virsh_.thawFileSystems(vm);
    if (!thawed.ok()) {
      log_.error("FAILED to thaw the file systems of VM '" + vm + "': " + trim(thawed.err));
      log_.error("The guest may still be frozen. Run 'virsh domfsthaw " + vm + "' now.");
      throw BackupError("file systems left frozen", "", true);
    }
  }
  if (!begun.ok()) {
    throw BackupError("Failed to start the backup job on VM '" + vm + "': " + trim(begun.err));
  }
  log_.info("Backup job started.");
}

// ---------------------------------------------------------------------------
// Step 6: the changed blocks

void Backup::waitForBackupJob() {
  const std::string& vm = opts_.vmName;
  // A job of a few changed blocks ends within a fraction of a second, a large
  // one takes minutes: ask often at first, then less.
  for (long wait = 50;; wait = std::min(wait * 2, 1000L)) {
    checkInterrupted();
    const JobInfo job = virsh_.activeJob(vm);
    if (!job.answered) throw BackupError("Lost the backup job on VM '" + vm + "': " + job.error);
    if (job.type == "None") break;
    pause(wait);
  }
  const JobInfo done = virsh_.completedJob(vm);
  if (done.type != "Completed") {
    throw BackupError("The backup job on VM '" + vm + "' ended " +
                      (done.type.empty() ? "without a result" : done.type) +
                      (done.error.empty() ? "" : ": " + done.error));
  }
  log_.trace("Backup job completed.");
}

void Backup::backupChangedBlocks() {
  log_.info("Step 6: Backing up the changed blocks (thin + compressed qcow2)...");
  waitForBackupJob();
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string scratch = scratchPath(target);
    const std::string destination = joinPath(backupDir_, diskImageName(opts_.vmName, target));
    const std::string parent = parentImagePath(chain_.parent, opts_.vmName, target);
    log_.info("  " + target + ": blocks changed since " + chain_.parent);
    log_.info("         -> " + destination + " (on " + parent + ")");
    // Without a backing file, what the job left unwritten reads as zeros, and
    // the conversion would store those zeros over the parent's data. With the
    // parent behind it (only in its header: QEMU is done with it), unwritten
    // stays unwritten.
    const CommandResult rebased = qemuImg_.rebaseUnsafe(
        scratch,
        sibling(BackupDir{backupDir_, opts_.vmName, timestamp_}, chain_.parent).diskImage(target));
    if (!rebased.ok()) {
      throw BackupError("Failed to back up disk: " + target + " (" + scratch +
                        "): " + trim(rebased.err));
    }
    copyImage(target, scratch, qemuImg_.convertCompressedOnto(scratch, destination, parent));
    std::error_code ec;
    fs::remove(scratch, ec);
    // A signal during a copy ends the run before the backup counts as
    // complete: no snapshot waits for a merge here.
    checkInterrupted();
  }
  writeChainRecord();
  step6Ok_ = true;
  log_.info(kDisksCopiedMessage);
}

void Backup::writeChainRecord() const {
  ChainRecord record;
  record.kind = chain_.incremental ? BackupKind::kIncremental : BackupKind::kFull;
  record.parent = chain_.parent;
  if (checkpointCreated_) record.checkpoint = checkpointName(timestamp_);
  record.diskSizes = diskSizes_;
  writeFileOrFail(BackupDir{backupDir_, opts_.vmName, timestamp_}.chainFile(),
                  formatChainRecord(record));
}

// ---------------------------------------------------------------------------
// Cleanup

void Backup::abandonBackupJob() {
  const std::string& vm = opts_.vmName;
  if (const JobInfo job = virsh_.activeJob(vm); !job.answered || job.type == "None") return;
  log_.warn("Aborting the backup job on VM '" + vm + "'.");
  const CommandResult aborted = virsh_.abortJob(vm);
  if (!aborted.ok()) {
    log_.error("FAILED to abort the backup job on VM '" + vm + "': " + trim(aborted.err));
    log_.error("Run 'virsh domjobabort " + vm + "' before the next backup.");
  }
}

// What a run with --incremental leaves must belong to a complete backup: a
// job still running is aborted, the scratch images go, and so does this
// run's checkpoint unless its backup completed.
void Backup::releaseChainWork() {
  if (!opts_.incremental) return;
  if (jobStarted_) abandonBackupJob();
  removeScratchImages();
  if (checkpointCreated_ && !step6Ok_) {
    deleteCheckpoint(checkpointName(timestamp_));
    checkpointCreated_ = false;
  }
}

void Backup::removeScratchImages() const {
  for (const auto& [target, basePath] : diskBasePaths_) {
    std::error_code ec;
    fs::remove(scratchPath(target), ec);
  }
}

// libvirt 9.0 cannot remove the bitmap of a checkpoint whose QEMU was
// killed; its record alone then goes.
void Backup::deleteCheckpoint(const std::string& name) const {
  const std::string& vm = opts_.vmName;
  if (virsh_.deleteCheckpoint(vm, name, false).ok()) {
    log_.trace("Checkpoint deleted: " + name);
    return;
  }
  const CommandResult metadata = virsh_.deleteCheckpoint(vm, name, true);
  if (metadata.ok()) {
    log_.trace("Checkpoint record deleted: " + name);
  } else {
    log_.warn("Could not delete checkpoint '" + name + "' of VM '" + vm +
              "': " + trim(metadata.err));
  }
}

// libvirt 9.0 takes no external snapshot of a shut-off VM that has
// checkpoints, and cannot delete them either while it is shut off. A chain
// cannot go on past a full backup of it anyway: this tool's checkpoints lose
// their records, and their bitmaps go from the images, which no QEMU holds
// now. Any other checkpoint stays, and so does the failure.
bool Backup::dropCheckpointsOfShutOffVm() const {
  const std::string& vm = opts_.vmName;
  const std::vector<std::string> names = virsh_.checkpointNames(vm);
  if (names.empty() || std::any_of(names.begin(), names.end(), [](const std::string& name) {
        return checkpointTimestamp(name).empty();
      })) {
    return false;
  }
  for (const std::string& name : names) {
    log_.warn("VM '" + vm +
              "' is shut off, and libvirt takes no snapshot of it while it has "
              "checkpoints: deleting checkpoint '" +
              name + "'; the next incremental backup will be a full one.");
    const CommandResult deleted = virsh_.deleteCheckpoint(vm, name, true);
    if (!deleted.ok()) {
      log_.warn("Could not delete checkpoint '" + name + "': " + trim(deleted.err));
      return false;
    }
    for (const auto& [target, basePath] : diskBasePaths_) {
      qemuImg_.removeBitmap(basePath, name);
    }
  }
  return true;
}

// Only the newest backup's checkpoint is continued from: the others would
// make QEMU track every write once more for nothing.
void Backup::deleteOlderCheckpoints() const {
  const std::string own = checkpointName(timestamp_);
  for (const std::string& name : virsh_.checkpointNames(opts_.vmName)) {
    if (name != own && !checkpointTimestamp(name).empty()) deleteCheckpoint(name);
  }
}

}  // namespace quorlane
