#include "quorlane/restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/restore_xml.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"
#include "quorlane/virsh.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTempSuffix = ".quorlane-restore-tmp";

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

// Space the files of a directory take on disk (thin images count what they hold).
std::uintmax_t sizeOnDisk(const std::string& dir) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    struct stat status {};
    if (lstat(entry.path().c_str(), &status) == 0) {
      total += static_cast<std::uintmax_t>(status.st_blocks) * 512;
    }
  }
  return total;
}

// Backups made with --incremental say which kind they are; the others are
// full ones that no chain continues.
std::string chainColumn(const BackupDir& backup) {
  const std::optional<ChainRecord> record = backup.chain();
  if (!record) return {};
  if (record->kind == BackupKind::kFull) return "  kind: full";
  return "  kind: incremental, parent " + record->parent;
}

// A backup that a live restore reads from must not be touched.
std::string pinColumn(const BackupDir& backup) {
  std::string readers;
  for (const Pin& pin : backup.pins()) readers += (readers.empty() ? "" : ",") + pin.vm;
  return readers.empty() ? std::string() : "  in use by " + readers + " (live restore)";
}

bool sameContent(const std::string& a, const std::string& b) {
  const std::optional<std::string> left = readFile(a);
  const std::optional<std::string> right = readFile(b);
  return left && right && *left == *right;
}

}  // namespace

Restore::Restore(RestoreOptions opts, Logger& log, CommandRunner& runner)
    : opts_(std::move(opts)), log_(log), virsh_(runner), qemuImg_(runner) {}

int Restore::run() {
  startEpoch_ = nowEpoch();
  startTime_ = std::chrono::steady_clock::now();
  if (!opts_.imageDir.empty()) opts_.imageDir = absolutePath(opts_.imageDir);
  if (opts_.list) return runList();
  installTerminationHandlers();
  if (!opts_.finish.empty()) return runFinish();
  if (opts_.check && !opts_.live) return runCheck();
  return runRestore();
}

bool Restore::interrupted() const { return caughtSignal() != 0; }

int Restore::endInterrupted() {
  if (vmStarted_) return endLiveInterrupted();
  const int signo = caughtSignal();
  removeTemporaries();
  if (movedIntoPlace_) {
    log_.warn(std::string("Interrupted by ") + strsignal(signo) +
              "; the restored files are in place, the VM was not defined: virsh define " +
              targets_.back().path);
  } else {
    log_.warn(std::string("Interrupted by ") + strsignal(signo) +
              "; temporary files removed, no existing file was changed.");
  }
  record("interrupted", signalReason(signo));
  return 128 + signo;
}

// ---------------------------------------------------------------------------
// Finding the backup

bool Restore::locateBackup(bool completeOnly) {
  const bool found =
      opts_.backupDir.empty() ? locateByName(completeOnly) : locateDirectory(completeOnly);
  if (found) log_.trace("Backup directory: " + backup_.path);
  return found;
}

bool Restore::locateDirectory(bool completeOnly) {
  backup_ = backupDirAt(opts_.backupDir);
  const std::string& dir = backup_.path;
  if (!isDirectory(dir)) {
    log_.error("Backup directory does not exist: " + dir);
    return false;
  }
  if (!isTimestampName(backup_.timestamp) || backup_.vm.empty()) {
    log_.error("Not a backup directory (expected <backup-root>/<vm-name>/<timestamp>): " + dir);
    return false;
  }
  if (completeOnly && !backup_.complete()) {
    log_.error("Backup is incomplete (its log lacks '" + std::string(kDisksCopiedMessage) +
               "'): " + dir);
    return false;
  }
  return true;
}

bool Restore::locateByName(bool completeOnly) {
  const std::string& vm = opts_.vmName;
  backup_.vm = vm;
  const std::string vmDir = joinPath(opts_.backupRoot, vm);
  const std::vector<BackupDir> backups = listBackups(vmDir, vm);
  if (backups.empty()) {
    log_.error("No backups of VM '" + vm + "' under " + vmDir);
    return false;
  }
  if (!opts_.timestamp.empty()) {
    const auto named = std::find_if(backups.begin(), backups.end(), [&](const BackupDir& b) {
      return b.timestamp == opts_.timestamp;
    });
    if (named == backups.end()) {
      log_.error("No backup " + opts_.timestamp + " of VM '" + vm + "' under " + vmDir +
                 " (see --list)");
      return false;
    }
    backup_ = *named;
    if (completeOnly && !backup_.complete()) {
      log_.error("Backup " + backup_.timestamp + " of VM '" + vm +
                 "' is incomplete; pick a complete one (see --list)");
      return false;
    }
    return true;
  }
  if (!completeOnly) {
    backup_ = backups.front();
    return true;
  }
  const auto newest =
      std::find_if(backups.begin(), backups.end(), [](const BackupDir& b) { return b.complete(); });
  if (newest == backups.end()) {
    log_.error("No complete backup of VM '" + vm + "' under " + vmDir);
    return false;
  }
  backup_ = *newest;
  return true;
}

// ---------------------------------------------------------------------------
// --list

int Restore::runList() {
  const std::string vmDir = joinPath(opts_.backupRoot, opts_.vmName);
  const std::vector<BackupDir> backups = listBackups(vmDir, opts_.vmName);
  if (backups.empty()) {
    log_.error("No backups of VM '" + opts_.vmName + "' under " + vmDir);
    return kExitFailure;
  }
  for (const BackupDir& backup : backups) {
    std::string disks;
    for (const std::string& target : backup.imageTargets()) {
      disks += (disks.empty() ? "" : ",") + target;
    }
    std::cout << backup.timestamp << "  " << (backup.complete() ? "complete  " : "incomplete")
              << "  disks: " << (disks.empty() ? "-" : disks)
              << "  size: " << humanSize(sizeOnDisk(backup.path)) << chainColumn(backup)
              << pinColumn(backup) << "\n";
  }
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// --check

// Reads the disks and the NVRAM file that the verbatim definition names.
bool Restore::loadDefinition() {
  const std::string path = backup_.verbatimDefinition();
  const std::optional<std::string> verbatim = readFile(path);
  if (!verbatim) {
    log_.error("Definition missing or unreadable: " + path);
    return false;
  }
  const std::optional<DefinitionInventory> inventory = readDefinition(*verbatim);
  if (!inventory) {
    log_.error("Definition is not a libvirt domain definition: " + path);
    return false;
  }
  verbatimXml_ = *verbatim;
  disks_ = inventory->disks;
  blockDisks_ = inventory->block;
  nvramPath_ = inventory->nvram;
  return true;
}

bool Restore::checkDiskCopy() {
  if (backup_.complete()) return true;
  log_.error("Disk copy did not complete: the log " + backup_.log() + " is missing or lacks '" +
             std::string(kDisksCopiedMessage) + "'");
  return false;
}

// Checks every file that the loaded definition calls for and logs each
// problem; true if all are sound. Without requireCorrected a missing
// corrected definition only warns: the restore builds its definition from
// the verbatim one.
bool Restore::checkFiles(bool requireCorrected) {
  bool sound = true;
  const std::string corrected = backup_.correctedDefinition();
  if (!exists(corrected)) {
    if (requireCorrected) {
      log_.error("Corrected definition missing: " + corrected);
      sound = false;
    } else {
      log_.warn("Corrected definition missing: " + corrected +
                "; restoring from the verbatim definition.");
    }
  }
  if (!nvramPath_.empty() && !exists(backup_.nvram())) {
    log_.error("NVRAM file missing: " + backup_.nvram() + " (the definition names " + nvramPath_ +
               ")");
    sound = false;
  }
  if (disks_.empty()) {
    log_.error("The definition names no disk: " + backup_.verbatimDefinition());
    sound = false;
  }
  for (const auto& [target, source] : disks_) {
    if (!checkImage(target, backup_.diskImage(target))) sound = false;
    if (interrupted()) return false;
  }
  return checkChain() && sound;
}

// An incremental backup holds only what changed since its parent: its images
// read through every backup of its chain, which must all be there and sound.
// Reading the top image back (checkImage) decompressed every layer's data;
// the parents' metadata is checked here.
bool Restore::checkChain() {
  const std::optional<ChainRecord> record = backup_.chain();
  if (!record || record->kind == BackupKind::kFull) return true;
  const Chain chain = chainOf(backup_);
  if (!chain.fault.empty()) {
    log_.error("The chain of this incremental backup is broken: " + chain.fault);
    return false;
  }
  bool sound = true;
  for (auto member = chain.members.begin() + 1; member != chain.members.end(); ++member) {
    log_.info("  chain: " + member->path);
    for (const auto& [target, source] : disks_) {
      const std::string image = member->diskImage(target);
      const CommandResult check = qemuImg_.check(image);
      if (interrupted()) return false;
      if (!check.ok()) {
        log_.error("qemu-img check failed for " + image + ": " + firstLine(check.err + check.out));
        sound = false;
      }
    }
  }
  return sound;
}

bool Restore::checkImage(const std::string& target, const std::string& image) {
  if (!exists(image)) {
    log_.error("Disk image missing for " + target + ": " + image);
    return false;
  }
  log_.info("  " + target + ": " + image);
  const CommandResult check = qemuImg_.check(image);
  if (interrupted()) return false;
  if (!check.ok()) {
    log_.error("qemu-img check failed for " + image + ": " + firstLine(check.err + check.out));
    return false;
  }
  // qemu-img check reads metadata only; a damaged compressed cluster shows
  // only when every cluster is read back and decompressed. The null block
  // driver takes the data and stores nothing, so the read costs no space.
  const QemuImg::Size size = qemuImg_.virtualSize(image);
  if (size.bytes.empty()) {
    log_.error("qemu-img info failed for " + image + ": " + size.error);
    return false;
  }
  virtualSizes_[target] = size.bytes;
  // A live restore reads every cluster anyway, while the VM runs.
  if (opts_.live && !opts_.check) return true;
  const CommandResult read = qemuImg_.readBack(image, size.bytes);
  if (interrupted()) return false;
  if (!read.ok()) {
    log_.error("Image does not read back whole: " + image + ": " + firstLine(read.err));
    return false;
  }
  log_.trace("Image " + image + " is sound and reads back whole.");
  return true;
}

int Restore::runCheck() {
  log_.info("Step 1: Locating the backup...");
  if (!locateBackup(false)) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Step 2: Checking backup " + backup_.path + "...");
  const bool complete = checkDiskCopy();
  const bool sound = loadDefinition() && checkFiles(true) && complete;
  if (interrupted()) return endInterrupted();
  if (!sound) {
    log_.error("Backup is damaged or incomplete: " + backup_.path);
    log_.error("Do not restore from it; pick another one with --list.");
    record("damaged");
    return kExitBackupDamaged;
  }
  log_.info("Backup is sound: " + backup_.path);
  record("check_passed");
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// Restore

void Restore::planTargets() {
  newName_ = opts_.asName.empty() ? backup_.vm : opts_.asName;
  RestoredDefinition restored;
  restored.newName = opts_.asName;
  targets_.clear();
  for (const auto& [target, source] : disks_) {
    std::string dir = opts_.imageDir;
    if (dir.empty())
      dir = blockDisks_[target] ? std::string(config::kLibvirtImageDir) : parentDir(source);
    const std::string path = joinPath(dir, diskImageName(newName_, target));
    targets_.push_back({TargetKind::kDisk, target, backup_.diskImage(target), path,
                        path + std::string(kTempSuffix)});
    restored.images[target] = path;
  }
  if (!nvramPath_.empty()) {
    const std::string dir = opts_.imageDir.empty() ? parentDir(nvramPath_) : opts_.imageDir;
    const std::string path = joinPath(dir, nvramFileName(newName_));
    targets_.push_back(
        {TargetKind::kNvram, "nvram", backup_.nvram(), path, path + std::string(kTempSuffix)});
    restored.nvram = path;
  }
  const std::string defPath =
      joinPath(parentDir(targets_.front().path), correctedDefinitionName(newName_));
  targets_.push_back(
      {TargetKind::kDefinition, "definition", "", defPath, defPath + std::string(kTempSuffix)});
  if (opts_.live) restored.liveBackup = absolutePath(backup_.path);
  restoredXml_ = buildRestoredDefinition(verbatimXml_, restored).value_or("");
}

bool Restore::validateTargets() {
  bool ok = true;
  if (restoredXml_.empty()) {
    log_.error("Could not build the restored definition from " + backup_.verbatimDefinition());
    ok = false;
  }
  if (!validateTargetFiles()) ok = false;
  return validateTargetVm() && ok;
}

bool Restore::validateTargetFiles() {
  bool ok = true;
  std::vector<std::string> seen;
  for (const RestoreTarget& t : targets_) {
    const std::string dir = parentDir(t.path);
    if (std::find(seen.begin(), seen.end(), dir) == seen.end()) {
      seen.push_back(dir);
      if (!isDirectory(dir)) {
        if (!opts_.asName.empty()) {
          log_.error("Target directory does not exist: " + dir +
                     " (create it, or pick another --image-dir)");
          ok = false;
        } else {
          log_.info("  Target directory " + dir + " does not exist; it will be created.");
        }
      } else if (access(dir.c_str(), W_OK) != 0) {
        log_.error("Target directory is not writable: " + dir);
        ok = false;
      }
    }
    if (exists(t.path) && !opts_.force) {
      log_.error("Target file exists: " + t.path + " (move it away, or use --force to replace it)");
      ok = false;
    }
  }
  return ok;
}

// A restore beside the original needs a free name; one in place needs the
// VM shut off, if libvirt still knows it.
bool Restore::validateTargetVm() {
  const std::string& name = newName_;
  const DomainLookup lookup = virsh_.lookup(name);
  switch (lookup.presence) {
    case Presence::kNoVirsh:
      log_.error("virsh not found on PATH (install libvirt-clients)");
      return false;
    case Presence::kNoAnswer:
      log_.error("Could not ask libvirt about VM '" + name + "': " + lookup.error);
      return false;
    case Presence::kUndefined: return true;
    case Presence::kDefined: break;
  }
  if (!opts_.asName.empty()) {
    log_.error("A VM named '" + name + "' is already defined; pick another name for --as.");
    return false;
  }
  log_.trace("VM '" + name + "' power state: " + lookup.state.text);
  if (lookup.state.power != PowerState::kShutOff) {
    log_.error("VM '" + name + "' is " + lookup.state.text +
               "; a restore never writes over a VM that runs. Shut it down first: virsh shutdown " +
               name);
    return false;
  }
  return true;
}

void Restore::printDryRun() const {
  std::cout << "\n=== DRY RUN SUMMARY ===\n"
            << "Backup:              " << backup_.path << "\n"
            << "Restored VM:         " << newName_
            << (opts_.asName.empty() ? " (in place)" : " (beside the original)") << "\n";
  std::cout << "\nFiles that would be written:\n";
  for (const RestoreTarget& t : targets_) {
    std::cout << "  " << t.label << "  " << (t.source.empty() ? "(restored definition)" : t.source)
              << "\n         -> " << t.path << (exists(t.path) ? " (replaced)" : "") << "\n";
  }
  if (opts_.define)
    std::cout << "\nWould define " << newName_ << (opts_.start ? " and start it" : "") << ".\n";
  if (opts_.live) {
    std::cout << "Live: it would run at once on images that read from the backup, which stays\n"
              << "pinned until the copy into them ends.\n";
  }
  std::cout << "\n(Dry run. No changes made.)\n";
}

// A restore killed outright (SIGKILL, power loss) cannot clean up after
// itself; the next restore to the same targets does.
void Restore::removeLeftoverTemporaries() {
  for (const RestoreTarget& t : targets_) {
    if (!exists(t.temp)) continue;
    std::error_code ec;
    fs::remove(t.temp, ec);
    if (ec) {
      log_.warn("Could not remove " + t.temp + ", left by an interrupted restore: " + ec.message());
    } else {
      log_.warn("Removed " + t.temp + ", left by an interrupted restore.");
    }
  }
}

void Restore::removeTemporaries() {
  for (const RestoreTarget& t : targets_) {
    std::error_code ec;
    fs::remove(t.temp, ec);
  }
  for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) {
    std::error_code ec;
    fs::remove(*it, ec);
  }
  createdDirs_.clear();
}

bool Restore::createTargetDirs() {
  for (const RestoreTarget& t : targets_) {
    const std::string dir = parentDir(t.path);
    if (isDirectory(dir)) continue;
    // Remember each directory this run creates, so a failure removes it again.
    std::vector<std::string> missing;
    for (fs::path p = dir; !p.empty() && !isDirectory(p.string()); p = p.parent_path()) {
      missing.push_back(p.string());
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
      log_.error("Could not create directory " + dir + ": " + ec.message());
      return false;
    }
    createdDirs_.insert(createdDirs_.end(), missing.rbegin(), missing.rend());
  }
  return true;
}

bool Restore::writeImage(const RestoreTarget& t) {
  log_.info("  " + t.label + ": " + t.source);
  log_.info("         -> " + t.path);
  const CommandResult convert = qemuImg_.copy(t.source, t.temp);
  if (interrupted()) return false;
  if (!convert.ok()) {
    log_.error("Could not write " + t.temp + ": " + firstLine(convert.err));
    return false;
  }
  const CommandResult compare = qemuImg_.compare(t.source, t.temp);
  if (interrupted()) return false;
  if (!compare.ok()) {
    log_.error("Restored image differs from the backup: " + t.temp + ": " +
               firstLine(compare.out + compare.err));
    return false;
  }
  log_.trace("Image " + t.temp + " is identical to the backup.");
  return true;
}

bool Restore::writeNvram(const RestoreTarget& t) {
  log_.info("Step 3: Restoring NVRAM to " + t.path + "...");
  std::error_code ec;
  fs::copy_file(t.source, t.temp, fs::copy_options::overwrite_existing, ec);
  if (ec || !sameContent(t.source, t.temp)) {
    log_.error("Could not copy NVRAM " + t.source + " to " + t.temp +
               (ec ? ": " + ec.message() : ": the copy differs"));
    return false;
  }
  return true;
}

bool Restore::writeDefinition(const RestoreTarget& t) {
  log_.info("Step 4: Writing restored definition " + t.path + "...");
  if (writeFile(t.temp, restoredXml_) != WriteOutcome::kWritten) {
    log_.error("Could not write " + t.temp + ": " + std::strerror(errno));
    return false;
  }
  return true;
}

// Writes every target under its temporary name and flushes it: the disks
// first (step 2), then the NVRAM file and the definition.
bool Restore::writeFiles() {
  if (!createTargetDirs()) return false;
  log_.info("Step 2: Restoring disks...");
  for (const RestoreTarget& t : targets_) {
    if (t.kind == TargetKind::kDisk && !(opts_.live ? writeLiveImage(t) : writeImage(t))) {
      return false;
    }
  }
  for (const RestoreTarget& t : targets_) {
    if (t.kind == TargetKind::kNvram && !writeNvram(t)) return false;
    if (t.kind == TargetKind::kDefinition && !writeDefinition(t)) return false;
  }
  for (const RestoreTarget& t : targets_) {
    if (const int error = syncPath(t.temp); error != 0) {
      log_.error("Could not flush " + t.temp + " to disk: " + std::strerror(error));
      return false;
    }
  }
  return true;
}

bool Restore::moveIntoPlace() {
  log_.info("Step 5: Moving restored files into place...");
  for (const RestoreTarget& t : targets_) {
    std::error_code ec;
    fs::rename(t.temp, t.path, ec);
    if (ec) {
      log_.error("Could not rename " + t.temp + " to " + t.path + ": " + ec.message());
      return false;
    }
    log_.trace("Renamed " + t.temp + " -> " + t.path);
  }
  for (const RestoreTarget& t : targets_) syncPath(parentDir(t.path));
  createdDirs_.clear();
  movedIntoPlace_ = true;
  return true;
}

bool Restore::defineAndStart() {
  const std::string& definition = targets_.back().path;
  log_.info("Step 6: Defining VM '" + newName_ + "' from " + definition + "...");
  const CommandResult define = virsh_.define(definition);
  if (!define.ok()) {
    log_.error("virsh define failed: " + firstLine(define.err));
    log_.error("The restored files are in place; fix the cause and run: virsh define " +
               definition);
    return false;
  }
  if (!opts_.start) return true;
  log_.info("Step 7: Starting VM '" + newName_ + "'...");
  const CommandResult start = virsh_.start(newName_);
  if (!start.ok()) {
    log_.error("virsh start failed: " + firstLine(start.err));
    log_.error("The VM is defined; fix the cause and run: virsh start " + newName_);
    return false;
  }
  return true;
}

int Restore::runRestore() {
  log_.info("Step 1: Validating backup and targets...");
  if (!locateBackup(true)) {
    record("failure");
    return kExitFailure;
  }
  if (!qemuImg_.present()) {
    log_.error("qemu-img not found on PATH (install qemu-utils)");
    record("failure");
    return kExitFailure;
  }
  const bool complete = checkDiskCopy();
  const bool sound = loadDefinition() && checkFiles(false) && complete;
  if (interrupted()) return endInterrupted();
  if (!sound) {
    log_.error("Backup is damaged or incomplete: " + backup_.path +
               " (pick another one with --list)");
    record("failure");
    return kExitFailure;
  }
  planTargets();
  if (!validateTargets()) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Step 1: validation passed.");
  if (opts_.dryRun) {
    printDryRun();
    record("dry_run");
    return kExitSuccess;
  }
  removeLeftoverTemporaries();
  const bool written = writeFiles();
  if (interrupted()) return endInterrupted();
  if (!written || !moveIntoPlace()) {
    removeTemporaries();
    log_.error("Restore failed; no existing file was changed.");
    record("failure");
    return kExitFailure;
  }
  if (interrupted()) return endInterrupted();
  if (opts_.live) return runLive();
  if (opts_.define && !defineAndStart()) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Restore complete: VM '" + newName_ + "' from " + backup_.path);
  record("success");
  return kExitSuccess;
}

int Restore::runLive() {
  if (!pinAndOpenBackup()) return failLive();
  if (!defineAndStart()) return failLive();
  vmStarted_ = true;
  if (!runsOnTheBackup()) return failLive();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", secondsSinceStart());
  log_.info("VM '" + newName_ + "' runs, " + seconds +
            " s after the restore began; its data follows from the backup.");
  if (!pullDisks(pin_.images)) return interrupted() ? endLiveInterrupted() : failLive();
  if (!completeLive()) return failLive();
  record("success");
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// The run record

void Restore::record(const std::string& result, const std::string& reason) const {
  const std::string& vm = backup_.vm.empty() ? opts_.vmName : backup_.vm;
  if (vm.empty() && opts_.backupDir.empty()) return;
  std::vector<RecordField> fields;
  const std::string& from = backup_.path.empty() ? opts_.backupDir : backup_.path;
  if (!from.empty()) fields.push_back({"from", from});
  if (!newName_.empty() && (!opts_.check || opts_.live)) fields.push_back({"to", newName_});
  if (opts_.live || !opts_.finish.empty()) fields.push_back({"mode", "live"});
  appendApplicationLog(formatRunRecord(vm, result, fields, startEpoch_, reason), kRestoreLogFile);
}

}  // namespace quorlane
