// The chain of a run with --incremental: what decides its kind, the
// checkpoints of earlier runs, and the chain record of its backup.
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
  if (chain_.tracked) checkpoint_.emplace(virsh_, log_, opts_.vmName, checkpointName(timestamp_));
}

// A checkpoint this tool created whose backup never completed (a run that
// was killed) would track blocks for nothing; the chain goes on from the
// newest complete backup. Its scratch images go with it.
void Backup::removeStrayCheckpoints() const {
  const std::string& vm = opts_.vmName;
  const std::string vmDir = joinPath(opts_.backupRoot, vm);
  for (const std::string& name : virsh_.checkpointNames(vm)) {
    const std::string ts = checkpointTimestamp(name);
    if (ts.empty() || backupDirIn(vmDir, vm, ts).complete()) continue;
    log_.warn("Checkpoint '" + name +
              "' belongs to no complete backup (a run was killed); "
              "deleting it.");
    deleteCheckpoint(virsh_, log_, vm, name);
  }
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string scratch = scratchImagePath(vm, target, basePath);
    std::error_code ec;
    if (fs::remove(scratch, ec)) {
      log_.warn("Removed the scratch image of an interrupted run: " + scratch);
    }
  }
}

void Backup::writeChainRecord() const {
  ChainRecord record;
  record.kind = chain_.incremental ? BackupKind::kIncremental : BackupKind::kFull;
  record.parent = chain_.parent;
  if (checkpoint_ && checkpoint_->exists()) record.checkpoint = checkpoint_->name();
  record.diskSizes = diskSizes_;
  writeFileOrFail(BackupDir{backupDir_, opts_.vmName, timestamp_}.chainFile(),
                  formatChainRecord(record));
}

// What a run with --incremental leaves must belong to a complete backup: a
// job still running is aborted, the scratch images go, and so does this
// run's checkpoint unless its backup completed.
void Backup::releaseChainWork() {
  if (job_) job_->release();
  if (checkpoint_) checkpoint_->release();
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
    if (name != own && !checkpointTimestamp(name).empty()) {
      deleteCheckpoint(virsh_, log_, opts_.vmName, name);
    }
  }
}

}  // namespace quorlane
