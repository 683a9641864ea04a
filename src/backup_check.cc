#include "quorlane/backup_check.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "quorlane/backup_error.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"

namespace quorlane {

BackupCheck::BackupCheck(const RestoreOptions& opts, Logger& log, CommandRunner& runner)
    : opts_(opts), log_(log), qemuImg_(runner) {}

void BackupCheck::locate(bool completeOnly) {
  if (opts_.backupDir.empty()) {
    locateByName(completeOnly);
  } else {
    locateDirectory(completeOnly);
  }
  if (!readLock_.take(backup_)) throw BackupError(readLock_.why(), "failure");
  log_.trace("Backup directory: " + backup_.path);
}

void BackupCheck::locateDirectory(bool completeOnly) {
  backup_ = backupDirAt(opts_.backupDir);
  const std::string& dir = backup_.path;
  if (!isDirectory(dir)) throw BackupError("Backup directory does not exist: " + dir, "failure");
  if (!isTimestampName(backup_.timestamp) || backup_.vm.empty()) {
    throw BackupError(
        "Not a backup directory (expected <backup-root>/<vm-name>/<timestamp>): " + dir, "failure");
  }
  if (completeOnly && !backup_.complete()) {
    throw BackupError(
        "Backup is incomplete (its log lacks '" + std::string(kDisksCopiedMessage) + "'): " + dir,
        "failure");
  }
}

void BackupCheck::locateByName(bool completeOnly) {
  const std::string& vm = opts_.vmName;
  backup_.vm = vm;
  const std::string vmDir = joinPath(opts_.backupRoot, vm);
  const std::vector<BackupDir> backups = listBackups(vmDir, vm);
  if (backups.empty()) throw BackupError("No backups of VM '" + vm + "' under " + vmDir, "failure");
  if (!opts_.timestamp.empty()) {
    const auto named = std::find_if(backups.begin(), backups.end(), [&](const BackupDir& b) {
      return b.timestamp == opts_.timestamp;
    });
    if (named == backups.end()) {
      throw BackupError(
          "No backup " + opts_.timestamp + " of VM '" + vm + "' under " + vmDir + " (see --list)",
          "failure");
    }
    backup_ = *named;
    if (completeOnly && !backup_.complete()) {
      throw BackupError("Backup " + backup_.timestamp + " of VM '" + vm +
                            "' is incomplete; pick a complete one (see --list)",
                        "failure");
    }
    return;
  }
  const auto newest = std::find_if(backups.begin(), backups.end(), [&](const BackupDir& b) {
    return !completeOnly || b.complete();
  });
  if (newest == backups.end()) {
    throw BackupError("No complete backup of VM '" + vm + "' under " + vmDir, "failure");
  }
  backup_ = *newest;
}

bool BackupCheck::sound(CheckScope scope) {
  const bool complete = diskCopyComplete();
  return loadDefinition() && checkFiles(scope) && complete;
}

bool BackupCheck::diskCopyComplete() const {
  if (backup_.complete()) return true;
  log_.error("Disk copy did not complete: the log " + backup_.log() + " is missing or lacks '" +
             std::string(kDisksCopiedMessage) + "'");
  return false;
}

// Reads the disks and the NVRAM file that the verbatim definition names.
bool BackupCheck::loadDefinition() {
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
  inventory_ = *inventory;
  return true;
}

// Without requireCorrected a missing corrected definition only warns: a
// restore builds its definition from the verbatim one.
bool BackupCheck::checkFiles(CheckScope scope) {
  bool sound = true;
  const std::string corrected = backup_.correctedDefinition();
  if (!pathExists(corrected)) {
    if (scope.requireCorrected) {
      log_.error("Corrected definition missing: " + corrected);
      sound = false;
    } else {
      log_.warn("Corrected definition missing: " + corrected +
                "; restoring from the verbatim definition.");
    }
  }
  if (!inventory_.nvram.empty() && !pathExists(backup_.nvram())) {
    log_.error("NVRAM file missing: " + backup_.nvram() + " (the definition names " +
               inventory_.nvram + ")");
    sound = false;
  }
  if (inventory_.disks.empty()) {
    log_.error("The definition names no disk: " + backup_.verbatimDefinition());
    sound = false;
  }
  for (const auto& [target, source] : inventory_.disks) {
    if (!checkImage(target, backup_.diskImage(target), scope.readBack)) sound = false;
    checkInterrupted();
  }
  return checkChain() && sound;
}

// An incremental backup holds only what changed since its parent: its images
// read through every backup of its chain, which must all be there and sound.
// Reading the top image back (checkImage) decompressed every layer's data;
// the parents' metadata is checked here.
bool BackupCheck::checkChain() {
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
    for (const auto& [target, source] : inventory_.disks) {
      if (!passesQemuImgCheck(member->diskImage(target))) sound = false;
    }
  }
  return sound;
}

bool BackupCheck::checkImage(const std::string& target, const std::string& image, bool readBack) {
  if (!pathExists(image)) {
    log_.error("Disk image missing for " + target + ": " + image);
    return false;
  }
  log_.info("  " + target + ": " + image);
  if (!passesQemuImgCheck(image)) return false;
  // qemu-img check reads metadata only; a damaged compressed cluster shows
  // only when every cluster is read back and decompressed. The null block
  // driver takes the data and stores nothing, so the read costs no space.
  const QemuImg::Size size = qemuImg_.virtualSize(image);
  if (size.bytes.empty()) {
    log_.error("qemu-img info failed for " + image + ": " + size.error);
    return false;
  }
  virtualSizes_[target] = size.bytes;
  return !readBack || readsBack(target, image);
}

bool BackupCheck::readsBack(const std::string& target, const std::string& image) {
  const CommandResult read = qemuImg_.readBack(image, virtualSizes_.at(target));
  checkInterrupted();
  if (!read.ok()) {
    log_.error("Image does not read back whole: " + image + ": " + firstLine(read.err));
    return false;
  }
  log_.trace("Image " + image + " is sound and reads back whole.");
  return true;
}

bool BackupCheck::passesQemuImgCheck(const std::string& image) {
  const CommandResult check = qemuImg_.check(image);
  checkInterrupted();
  if (check.ok()) return true;
  log_.error("qemu-img check failed for " + image + ": " + firstLine(check.err + check.out));
  return false;
}

}  // namespace quorlane
