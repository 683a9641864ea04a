#include "quorlane/restore_files.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "quorlane/backup_error.h"
#include "quorlane/config.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/restore_xml.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTempSuffix = ".quorlane-restore-tmp";

bool sameContent(const std::string& a, const std::string& b) {
  const std::optional<std::string> left = readFile(a);
  const std::optional<std::string> right = readFile(b);
  return left && right && *left == *right;
}

}  // namespace

RestoreFiles::RestoreFiles(const RestoreOptions& opts, Logger& log, CommandRunner& runner,
                           BackupCheck& check)
    : opts_(opts), log_(log), virsh_(runner), qemuImg_(runner), check_(check) {}

void RestoreFiles::validate(CheckScope scope) {
  log_.info("Step 1: Validating backup and targets...");
  check_.locate(true);
  if (!qemuImg_.present()) {
    throw BackupError("qemu-img not found on PATH (install qemu-utils)", "failure");
  }
  const bool sound = check_.sound(scope);
  checkInterrupted();
  if (!sound) {
    throw BackupError("Backup is damaged or incomplete: " + check_.backup().path +
                          " (pick another one with --list)",
                      "failure");
  }
  plan();
  validateTargets();
  log_.info("Step 1: validation passed.");
}

void RestoreFiles::plan() {
  const BackupDir& backup = check_.backup();
  const DefinitionInventory& inventory = check_.inventory();
  const std::string imageDir = opts_.imageDir.empty() ? "" : absolutePath(opts_.imageDir);
  vmName_ = opts_.asName.empty() ? backup.vm : opts_.asName;
  RestoredDefinition restored;
  restored.newName = opts_.asName;
  for (const auto& [target, source] : inventory.disks) {
    std::string dir = imageDir;
    if (dir.empty()) {
      dir = inventory.block.at(target) ? std::string(config::kLibvirtImageDir) : parentDir(source);
    }
    const std::string path = joinPath(dir, diskImageName(vmName_, target));
    targets_.push_back({TargetKind::kDisk, target, backup.diskImage(target), path,
                        path + std::string(kTempSuffix)});
    restored.images[target] = path;
  }
  if (!inventory.nvram.empty()) {
    const std::string dir = imageDir.empty() ? parentDir(inventory.nvram) : imageDir;
    const std::string path = joinPath(dir, nvramFileName(vmName_));
    targets_.push_back(
        {TargetKind::kNvram, "nvram", backup.nvram(), path, path + std::string(kTempSuffix)});
    restored.nvram = path;
  }
  const std::string defPath =
      joinPath(parentDir(targets_.front().path), correctedDefinitionName(vmName_));
  targets_.push_back(
      {TargetKind::kDefinition, "definition", "", defPath, defPath + std::string(kTempSuffix)});
  if (opts_.live) restored.liveBackup = absolutePath(backup.path);
  restoredXml_ = buildRestoredDefinition(check_.verbatimXml(), restored).value_or("");
}

// Logs every problem of the targets before it fails.
void RestoreFiles::validateTargets() {
  bool ok = true;
  if (restoredXml_.empty()) {
    log_.error("Could not build the restored definition from " +
               check_.backup().verbatimDefinition());
    ok = false;
  }
  ok = validateTargetFiles() && ok;
  ok = validateTargetVm() && ok;
  if (!ok) throw BackupError("targets refused", "failure", true);
}

bool RestoreFiles::validateTargetFiles() {
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
    if (pathExists(t.path) && !opts_.force) {
      log_.error("Target file exists: " + t.path + " (move it away, or use --force to replace it)");
      ok = false;
    }
  }
  return ok;
}

// A restore beside the original needs a free name; one in place needs the
// VM shut off, if libvirt still knows it.
bool RestoreFiles::validateTargetVm() {
  const std::string& name = vmName_;
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

void RestoreFiles::printDryRun() const {
  std::cout << "\n=== DRY RUN SUMMARY ===\n"
            << "Backup:              " << check_.backup().path << "\n"
            << "Restored VM:         " << vmName_
            << (opts_.asName.empty() ? " (in place)" : " (beside the original)") << "\n";
  std::cout << "\nFiles that would be written:\n";
  for (const RestoreTarget& t : targets_) {
    std::cout << "  " << t.label << "  " << (t.source.empty() ? "(restored definition)" : t.source)
              << "\n         -> " << t.path << (pathExists(t.path) ? " (replaced)" : "") << "\n";
  }
  if (opts_.define)
    std::cout << "\nWould define " << vmName_ << (opts_.start ? " and start it" : "") << ".\n";
  if (opts_.live) {
    std::cout << "Live: it would run at once on images that read from the backup, which stays\n"
              << "pinned until the copy into them ends.\n";
  }
  std::cout << "\n(Dry run. No changes made.)\n";
}

void RestoreFiles::lockVm(const std::string& vm) {
  if (!vmLock_.take(config::kRunLockDir, vm, kRestoreAppName)) {
    throw BackupError(vmLock_.why(), "failure");
  }
}

// Writes every target under its temporary name and flushes it: the disks
// first (step 2), then the NVRAM file and the definition.
void RestoreFiles::write(const DiskWriter& writeDisk) {
  lockVm(vmName_);
  removeLeftoverTemporaries();
  writing_ = true;
  createTargetDirs();
  log_.info("Step 2: Restoring disks...");
  for (const RestoreTarget& t : targets_) {
    if (t.kind == TargetKind::kDisk) writeDisk(t);
  }
  for (const RestoreTarget& t : targets_) {
    if (t.kind == TargetKind::kNvram) writeNvram(t);
    if (t.kind == TargetKind::kDefinition) writeDefinition(t);
  }
  for (const RestoreTarget& t : targets_) {
    if (const int error = syncPath(t.temp); error != 0) {
      throw BackupError("Could not flush " + t.temp + " to disk: " + std::strerror(error),
                        "failure");
    }
  }
  checkInterrupted();
}

// A restore killed outright (SIGKILL, power loss) cannot clean up after
// itself; the next restore to the same targets does.
void RestoreFiles::removeLeftoverTemporaries() {
  for (const RestoreTarget& t : targets_) {
    if (!pathExists(t.temp)) continue;
    std::error_code ec;
    fs::remove(t.temp, ec);
    if (ec) {
      log_.warn("Could not remove " + t.temp + ", left by an interrupted restore: " + ec.message());
    } else {
      log_.warn("Removed " + t.temp + ", left by an interrupted restore.");
    }
  }
}

void RestoreFiles::createTargetDirs() {
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
    if (ec) throw BackupError("Could not create directory " + dir + ": " + ec.message(), "failure");
    createdDirs_.insert(createdDirs_.end(), missing.rbegin(), missing.rend());
  }
}

void RestoreFiles::writeNvram(const RestoreTarget& t) {
  log_.info("Step 3: Restoring NVRAM to " + t.path + "...");
  std::error_code ec;
  fs::copy_file(t.source, t.temp, fs::copy_options::overwrite_existing, ec);
  if (ec || !sameContent(t.source, t.temp)) {
    throw BackupError("Could not copy NVRAM " + t.source + " to " + t.temp +
                          (ec ? ": " + ec.message() : ": the copy differs"),
                      "failure");
  }
}

void RestoreFiles::writeDefinition(const RestoreTarget& t) {
  log_.info("Step 4: Writing restored definition " + t.path + "...");
  if (writeFile(t.temp, restoredXml_) != WriteOutcome::kWritten) {
    throw BackupError("Could not write " + t.temp + ": " + std::strerror(errno), "failure");
  }
}

void RestoreFiles::moveIntoPlace() {
  log_.info("Step 5: Moving restored files into place...");
  for (const RestoreTarget& t : targets_) {
    std::error_code ec;
    fs::rename(t.temp, t.path, ec);
    if (ec) {
      throw BackupError("Could not rename " + t.temp + " to " + t.path + ": " + ec.message(),
                        "failure");
    }
    log_.trace("Renamed " + t.temp + " -> " + t.path);
  }
  for (const RestoreTarget& t : targets_) syncPath(parentDir(t.path));
  createdDirs_.clear();
  writing_ = false;
  inPlace_ = true;
  checkInterrupted();
}

void RestoreFiles::define(std::string_view step) {
  log_.info(std::string(step) + ": Defining VM '" + vmName_ + "' from " + definitionPath() + "...");
  const CommandResult define = virsh_.define(definitionPath());
  if (!define.ok()) {
    log_.error("virsh define failed: " + firstLine(define.err));
    throw BackupError(
        "The restored files are in place; fix the cause and run: virsh define " + definitionPath(),
        "failure");
  }
}

void RestoreFiles::start() {
  log_.info("Step 7: Starting VM '" + vmName_ + "'...");
  const CommandResult start = virsh_.start(vmName_);
  if (!start.ok()) {
    log_.error("virsh start failed: " + firstLine(start.err));
    throw BackupError("The VM is defined; fix the cause and run: virsh start " + vmName_,
                      "failure");
  }
}

void RestoreFiles::failed() {
  if (!writing_) return;
  removeTemporaries();
  log_.error("Restore failed; no existing file was changed.");
}

void RestoreFiles::interrupted(int signo) {
  removeTemporaries();
  log_.warn(std::string("Interrupted by ") + strsignal(signo) +
            (inPlace_ ? "; the restored files are in place, the VM was not defined: virsh define " +
                            definitionPath()
                      : "; temporary files removed, no existing file was changed."));
}

void RestoreFiles::removeTemporaries() {
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

}  // namespace quorlane
