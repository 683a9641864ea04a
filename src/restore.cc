#include "quorlane/restore.h"

#include <sys/stat.h>

#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <vector>

#include "quorlane/backup_error.h"
#include "quorlane/cli.h"
#include "quorlane/paths.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

void appendRestoreRecord(const RestoreRecord& run, const std::string& result,
                         std::int64_t startEpoch, const std::string& reason) {
  if (run.vm.empty() && run.from.empty()) return;
  std::vector<RecordField> fields;
  if (!run.from.empty()) fields.push_back({"from", run.from});
  if (!run.to.empty()) fields.push_back({"to", run.to});
  if (!run.mode.empty()) fields.push_back({"mode", run.mode});
  appendApplicationLog(formatRunRecord(run.vm, result, fields, startEpoch, reason),
                       kRestoreLogFile);
}

Restore::Restore(RestoreOptions opts, Logger& log, CommandRunner& runner)
    : opts_(std::move(opts)),
      log_(log),
      qemuImg_(runner),
      check_(opts_, log_, runner),
      files_(opts_, log_, runner, check_) {}

int Restore::run() {
  startEpoch_ = nowEpoch();
  if (opts_.list) return runList();
  installTerminationHandlers();
  try {
    if (opts_.check) {
      runCheck();
    } else {
      runRestore();
    }
    return kExitSuccess;
  } catch (const BackupInterrupted& e) {
    files_.interrupted(e.signo());
    record("interrupted", signalReason(e.signo()));
    return 128 + e.signo();
  } catch (const BackupError& e) {
    if (!e.alreadyReported()) log_.error(e.what());
    files_.failed();
    record(e.stage());
    return e.stage() == "damaged" ? kExitBackupDamaged : kExitFailure;
  }
}

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

void Restore::runCheck() {
  log_.info("Step 1: Locating the backup...");
  check_.locate(false);
  const std::string& path = check_.backup().path;
  log_.info("Step 2: Checking backup " + path + "...");
  const bool sound = check_.sound({.requireCorrected = true});
  checkInterrupted();
  if (!sound) {
    log_.error("Backup is damaged or incomplete: " + path);
    throw BackupError("Do not restore from it; pick another one with --list.", "damaged");
  }
  log_.info("Backup is sound: " + path);
  record("check_passed");
}

void Restore::runRestore() {
  // The copy reads every cluster back; a dry run copies nothing.
  files_.validate({.readBack = opts_.dryRun});
  if (opts_.dryRun) {
    files_.printDryRun();
    record("dry_run");
    return;
  }
  files_.write([this](const RestoreTarget& t) { copyImage(t); });
  files_.moveIntoPlace();
  if (opts_.define) {
    files_.define("Step 6");
    if (opts_.start) files_.start();
  }
  log_.info("Restore complete: VM '" + files_.vmName() + "' from " + check_.backup().path);
  record("success");
}

// A standalone copy of the backup's image, compared with it. The copy reads
// and decompresses every cluster of the backup, so it reads the backup back
// too: only when it fails is the backup read back on its own, to say whose
// fault it was.
void Restore::copyImage(const RestoreTarget& t) {
  log_.info("  " + t.label + ": " + t.source);
  log_.info("         -> " + t.path);
  const CommandResult convert = qemuImg_.copy(t.source, t.temp, QemuImg::kDefaultCoroutines);
  checkInterrupted();
  if (!convert.ok()) {
    if (!check_.readsBack(t.label, t.source)) {
      throw BackupError("Backup is damaged or incomplete: " + check_.backup().path +
                            " (pick another one with --list)",
                        "failure");
    }
    throw BackupError("Could not write " + t.temp + ": " + firstLine(convert.err), "failure");
  }
  const CommandResult compare = compareWithBackup(t);
  checkInterrupted();
  if (!compare.ok()) {
    throw BackupError("Restored image differs from the backup: " + t.temp + ": " +
                          firstLine(compare.out + compare.err),
                      "failure");
  }
  log_.trace("Image " + t.temp + " is identical to the backup.");
}

// A full backup's image is compared in parts at once; an incremental
// backup's image reads through its parents and is compared whole.
CommandResult Restore::compareWithBackup(const RestoreTarget& t) const {
  const std::optional<ChainRecord> chain = check_.backup().chain();
  if (chain && chain->kind != BackupKind::kFull) return qemuImg_.compare(t.source, t.temp);
  return qemuImg_.compareInParts(t.source, t.temp, std::stoull(check_.virtualSizes().at(t.label)),
                                 QemuImg::kDefaultParts);
}

void Restore::record(const std::string& result, const std::string& reason) const {
  const BackupDir& backup = check_.backup();
  appendRestoreRecord({backup.vm, backup.path, files_.vmName(), ""}, result, startEpoch_, reason);
}

}  // namespace quorlane
