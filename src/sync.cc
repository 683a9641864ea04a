#include "quorlane/sync.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "quorlane/backup_error.h"
#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/files.h"
#include "quorlane/metrics.h"
#include "quorlane/paths.h"
#include "quorlane/run_lock.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

bool isPositiveInteger(const std::string& s) {
  return !s.empty() && s.front() != '0' && s.find_first_not_of("0123456789") == std::string::npos;
}

std::vector<BackupDir> completeBackups(const std::string& root, const std::string& vm) {
  std::vector<BackupDir> complete;
  for (const BackupDir& backup : listBackups(joinPath(root, vm), vm)) {
    if (backup.complete()) complete.push_back(backup);
  }
  return complete;
}

std::vector<std::string> withoutLast(std::vector<std::string> files) {
  if (!files.empty()) files.pop_back();
  return files;
}

// A directory of the program's own for files it fetches and drops again.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorlane-sync-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

Sync::Sync(SyncOptions opts, Logger& log, CommandRunner& runner)
    : opts_(std::move(opts)),
      log_(log),
      rclone_(runner, RcloneSettings{opts_.configFile, opts_.bandwidth}) {}

int Sync::run() {
  startEpoch_ = nowEpoch();
  installTerminationHandlers();
  // A listing is for scripts: nothing but its lines on standard output.
  if (opts_.list) return validate() ? runList() : kExitFailure;
  log_.info("Step 1: Validating arguments and environment...");
  if (!validate()) {
    for (const std::string& vm : opts_.vmNames) record(vm, "failure", {});
    return kExitFailure;
  }
  log_.info("Step 1: validation passed.");
  if (!opts_.from.empty()) return forEachVm(&Sync::pull);
  return forEachVm(opts_.check ? &Sync::check : &Sync::push);
}

bool Sync::validate() {
  if (!opts_.keepCountRaw.empty() && !isPositiveInteger(opts_.keepCountRaw)) {
    log_.error("--keep-count must be a positive integer (got: '" + opts_.keepCountRaw + "')");
    return false;
  }
  keepCount_ = opts_.keepCountRaw.empty() ? 0 : std::stol(opts_.keepCountRaw);
  if (!opts_.backupRoot.empty() && !isDirectory(opts_.backupRoot)) {
    log_.error("Backup root does not exist or is not a directory: " + opts_.backupRoot);
    return false;
  }
  const std::string config = opts_.configFile.empty() ? rclone_.configFile() : opts_.configFile;
  if (!opts_.configFile.empty() && !fs::is_regular_file(opts_.configFile)) {
    log_.error("rclone configuration file does not exist: " + opts_.configFile);
    return false;
  }
  return !configReadableByOthers(config);
}

// The configuration holds the remotes' credentials: only its owner may read it.
bool Sync::configReadableByOthers(const std::string& file) const {
  struct stat status {};
  if (file.empty() || stat(file.c_str(), &status) != 0) return false;
  if ((status.st_mode & (S_IRGRP | S_IROTH)) == 0) return false;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  log_.error("rclone configuration file " + file + " can be read by others (mode " + mode +
             "), and it holds the remotes' credentials. Run: chmod 600 " + file);
  return true;
}

std::string Sync::remoteVmDir(const std::string& vm) const {
  return remoteJoin(opts_.to.empty() ? opts_.from : opts_.to, vm);
}

// Each VM on its own; the worst outcome is the run's: a failure before a
// difference found by --check, an interruption ends the run at once.
int Sync::forEachVm(int (Sync::*each)(const std::string& vm)) {
  int status = kExitSuccess;
  for (const std::string& vm : vmsToPush()) {
    push_ = {};
    try {
      // A push or pull changes what is kept of the VM: one run at a time.
      VmLock lock;
      if (!lock.take(config::kRunLockDir, vm, kSyncAppName)) throw BackupError(lock.why());
      const int code = (this->*each)(vm);
      if (status == kExitSuccess || code == kExitFailure) status = code;
    } catch (const BackupInterrupted& e) {
      log_.warn(std::string("Interrupted by ") + strsignal(e.signo()) +
                "; what arrived stays, and the next run goes on from there.");
      record(vm, "interrupted", {}, signalReason(e.signo()));
      writeMetrics(vm, "interrupted");
      return 128 + e.signo();
    } catch (const BackupError& e) {
      if (!e.alreadyReported()) log_.error(e.what());
      record(vm, "failure", {});
      writeMetrics(vm, "failure");
      status = kExitFailure;
    }
  }
  return status;
}

std::vector<std::string> Sync::vmsToPush() const {
  if (!opts_.vmNames.empty()) return opts_.vmNames;
  std::vector<std::string> vms;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(opts_.backupRoot, ec)) {
    const std::string vm = entry.path().filename().string();
    std::error_code typeEc;
    if (entry.is_directory(typeEc) && !listBackups(entry.path().string(), vm).empty()) {
      vms.push_back(vm);
    }
  }
  std::sort(vms.begin(), vms.end());
  return vms;
}

std::map<std::string, RemoteListing> Sync::listRemote(const std::string& vm) const {
  const std::string dir = remoteVmDir(vm);
  const CommandResult listed = rclone_.list(dir);
  checkInterrupted();
  if (!listed.ok()) throw BackupError("Could not read " + dir + ": " + rcloneFailure(listed));
  const std::optional<RemoteListing> listing = parseListing(listed.out);
  if (!listing) throw BackupError("Could not read rclone's listing of " + dir);
  return remoteBackups(*listing);
}

// The parent of every complete remote backup, from the chain records the
// remote holds; a backup without one is a full backup.
std::map<std::string, std::string> Sync::remoteParents(
    const std::string& vm, const std::map<std::string, RemoteListing>& remote) const {
  std::map<std::string, std::string> parents;
  std::vector<std::string> records;
  for (const auto& [ts, files] : remote) {
    if (!remoteComplete(vm, ts, files)) continue;
    parents[ts] = "";
    if (files.count(chainFileName(vm)) != 0) records.push_back(ts + "/" + chainFileName(vm));
  }
  if (records.empty()) return parents;
  const TempDir temp;
  if (temp.path().empty()) throw BackupError("Could not create a temporary directory");
  const CommandResult fetched =
      rclone_.copyFiles(remoteVmDir(vm), temp.path(), records, [](auto&, auto&) { return true; });
  checkInterrupted();
  if (!fetched.ok()) {
    throw BackupError("Could not read the chain records on " + remoteVmDir(vm) + ": " +
                      rcloneFailure(fetched));
  }
  for (const std::string& path : records) {
    const std::optional<std::string> text = readFile(joinPath(temp.path(), path));
    const std::optional<ChainRecord> record = text ? parseChainRecord(*text) : std::nullopt;
    if (!record)
      throw BackupError("The chain record " + remoteJoin(remoteVmDir(vm), path) +
                        " cannot be read");
    parents[path.substr(0, path.find('/'))] = record->parent;
  }
  return parents;
}

// Copies the files and makes sure they arrived the same: where the remote
// keeps hashes, rclone compares them after each transfer and fails a copy
// that differs; elsewhere, or with --download, the copies are read back.
void Sync::copyVerified(const std::string& from, const std::string& to, const std::string& label,
                        const std::vector<std::string>& files) {
  std::size_t seen = 0;
  const CommandResult copied =
      rclone_.copyFiles(from, to, files, [&](const std::string&, const std::string& err) {
        if (caughtSignal() != 0) return false;
        if (const std::string stats = lastStatsLine(err, seen); !stats.empty()) {
          log_.info("  " + label + ": " + stats);
        }
        seen = err.size();
        return true;
      });
  checkInterrupted();
  if (!copied.ok()) {
    throw BackupError("Could not copy " + label + " to " + to + ": " + rcloneFailure(copied));
  }
  if (!remoteKeepsHashes_) {
    remoteKeepsHashes_ = rclone_.keepsHashes(opts_.to.empty() ? opts_.from : opts_.to);
  }
  if (*remoteKeepsHashes_ && !opts_.download) {
    log_.trace(label + ": " + std::to_string(files.size()) + " file(s) verified by their hashes");
    return;
  }
  const Rclone::Verification verified = rclone_.check(from, to, files, true);
  checkInterrupted();
  if (!verified.result.ok()) {
    throw BackupError("The copy of " + label + " in " + to + " differs from " + from + ": " +
                      rcloneFailure(verified.result));
  }
  log_.trace(label + ": " + std::to_string(files.size()) +
             " file(s) verified by reading them back");
}

int Sync::push(const std::string& vm) {
  push_.stage = "step2_remote_listing";
  log_.info("Step 2: Reading what " + opts_.to + " holds of VM '" + vm + "'...");
  const std::vector<BackupDir> local = completeBackups(opts_.backupRoot, vm);
  push_.local = local.size();
  if (!local.empty()) push_.newestLocal = local.front().timestamp;
  if (local.empty()) {
    throw BackupError("No complete backup of VM '" + vm + "' under " +
                      joinPath(opts_.backupRoot, vm));
  }
  const std::map<std::string, RemoteListing> remote = listRemote(vm);
  const std::vector<PushItem> plan = planPush(local, remote);
  push_.remote = local.size() - plan.size();
  if (!plan.empty()) push_.newestUnsynced = plan.back().timestamp;
  push_.stage = "step3_copy";
  if (plan.empty()) {
    log_.info("Step 3: Every complete backup of VM '" + vm + "' is on the remote already.");
  } else {
    log_.info("Step 3: Copying " + std::to_string(plan.size()) + " backup(s) of VM '" + vm +
              "' to " + remoteVmDir(vm) + "...");
  }
  for (const PushItem& item : plan) {
    pushBackup(backupDirIn(joinPath(opts_.backupRoot, vm), vm, item.timestamp), item);
  }
  push_.newestUnsynced.reset();
  if (keepCount_ > 0) pruneRemote(vm);
  log_.info("Sync complete: VM '" + vm + "', " + std::to_string(plan.size()) +
            " backup(s) copied, " + std::to_string(local.size() - plan.size()) + " already on " +
            opts_.to + ".");
  record(vm, "success", {});
  writeMetrics(vm, "success");
  return kExitSuccess;
}

// The data first, then the log: only a backup whose every file arrived and
// was verified gets the log that makes it count as complete on the remote.
void Sync::pushBackup(const BackupDir& backup, const PushItem& item) {
  const std::string remote = remoteJoin(remoteVmDir(backup.vm), item.timestamp);
  if (item.repair) {
    log_.warn("  " + item.timestamp +
              ": the remote copy is not the same as the local one; copying it again.");
    const CommandResult unmarked = rclone_.deleteFile(remoteJoin(remote, item.files.back()));
    checkInterrupted();
    if (!unmarked.ok()) {
      throw BackupError("Could not delete " + remoteJoin(remote, item.files.back()) + ": " +
                        rcloneFailure(unmarked));
    }
  }
  log_.info("  " + item.timestamp + ": " + std::to_string(item.files.size()) + " file(s) -> " +
            remote);
  copyVerified(backup.path, remote, item.timestamp, withoutLast(item.files));
  copyVerified(backup.path, remote, item.timestamp, {item.files.back()});
  log_.info("  " + item.timestamp + ": complete on the remote.");
  ++push_.copied;
  *push_.remote += 1;
  for (const std::string& name : item.files) {
    if (const std::optional<RemoteFile> file = localFile(joinPath(backup.path, name))) {
      push_.bytes += file->size;
    }
  }
}

// Keeps the newest complete remote backups and what they depend on; the
// log of a deleted backup goes first, so that a deletion cut short never
// leaves what looks like a complete backup.
void Sync::pruneRemote(const std::string& vm) {
  push_.stage = "step4_prune";
  log_.info("Step 4: Pruning remote backups (keeping " + std::to_string(keepCount_) +
            " most recent)...");
  const std::map<std::string, RemoteListing> remote = listRemote(vm);
  const std::map<std::string, std::string> parents = remoteParents(vm, remote);
  const std::vector<std::string> pruned = prunePlan(parents, keepCount_);
  push_.remote = parents.size() - pruned.size();
  for (const std::string& ts : pruned) {
    log_.info("  Deleting remote backup: " + ts);
    const std::string dir = remoteJoin(remoteVmDir(vm), ts);
    const CommandResult unmarked = rclone_.deleteFile(remoteJoin(dir, backupLogName(vm, ts)));
    const CommandResult purged = unmarked.ok() ? rclone_.purge(dir) : unmarked;
    checkInterrupted();
    if (!purged.ok()) throw BackupError("Could not delete " + dir + ": " + rcloneFailure(purged));
  }
  for (const std::string& ts : staleLeftovers(vm, remote)) {
    log_.info("  Deleting an unfinished remote copy: " + ts);
    const std::string dir = remoteJoin(remoteVmDir(vm), ts);
    const CommandResult purged = rclone_.purge(dir);
    checkInterrupted();
    if (!purged.ok()) throw BackupError("Could not delete " + dir + ": " + rcloneFailure(purged));
  }
}

int Sync::check(const std::string& vm) {
  log_.info("Step 2: Checking what " + opts_.to + " holds of VM '" + vm + "'...");
  std::map<std::string, BackupDir> local;
  for (const BackupDir& backup : completeBackups(opts_.backupRoot, vm)) {
    local.emplace(backup.timestamp, backup);
  }
  const std::map<std::string, RemoteListing> remote = listRemote(vm);
  bool differs = false;
  for (const auto& [ts, files] : remote) {
    const auto original = local.find(ts);
    if (!remoteComplete(vm, ts, files)) {
      log_.info("  " + ts + ": incomplete on the remote; the next push completes it.");
    } else if (original == local.end()) {
      log_.info("  " + ts + ": no local copy to compare with.");
    } else {
      std::vector<std::string> names;
      for (const auto& [name, file] : files) names.push_back(name);
      const Rclone::Verification verified =
          rclone_.check(original->second.path, remoteJoin(remoteVmDir(vm), ts),
                        travellingFiles(names, vm, ts), opts_.download);
      checkInterrupted();
      if (verified.result.ok()) {
        log_.info("  " + ts + ": the same" + (verified.readBack ? " (read back)." : " (by hash)."));
      } else {
        log_.error("  " + ts + ": differs from the local copy: " + rcloneFailure(verified.result));
        unmarkDiffering(vm, ts, verified.result.out);
        differs = true;
      }
    }
  }
  for (const auto& [ts, backup] : local) {
    if (remote.count(ts) == 0) log_.info("  " + ts + ": not on the remote yet.");
  }
  if (differs) {
    log_.error(
        "The remote holds copies that differ from the local backups; the next push "
        "copies them again.");
    record(vm, "differs", {{"to", opts_.to}});
    return kExitRemoteDiffers;
  }
  log_.info("Check complete: the remote copies of VM '" + vm + "' are the same as the local ones.");
  record(vm, "check_passed", {{"to", opts_.to}});
  return kExitSuccess;
}

// The local backup is the original: a remote copy found different loses its
// log, so that it no longer counts as complete, and the files that differ,
// so that the next push sends them again whatever their size and time.
void Sync::unmarkDiffering(const std::string& vm, const std::string& timestamp,
                           const std::string& combined) {
  const std::string dir = remoteJoin(remoteVmDir(vm), timestamp);
  std::vector<std::string> files = differingFiles(combined);
  files.insert(files.begin(), backupLogName(vm, timestamp));
  for (const std::string& file : files) {
    const CommandResult deleted = rclone_.deleteFile(remoteJoin(dir, file));
    checkInterrupted();
    if (!deleted.ok()) {
      log_.warn("  Could not delete " + remoteJoin(dir, file) + ": " + rcloneFailure(deleted));
    }
  }
}

int Sync::pull(const std::string& vm) {
  log_.info("Step 2: Reading what " + opts_.from + " holds of VM '" + vm + "'...");
  const std::map<std::string, RemoteListing> remote = listRemote(vm);
  const std::map<std::string, std::string> parents = remoteParents(vm, remote);
  if (parents.empty()) throw BackupError("No complete backup of VM '" + vm + "' on " + opts_.from);
  const std::string target = opts_.timestamp.empty() ? parents.rbegin()->first : opts_.timestamp;
  std::string missing;
  const std::optional<std::vector<std::string>> chain = chainToPull(target, parents, missing);
  if (!chain) {
    throw BackupError(missing == target ? "No complete backup " + target + " of VM '" + vm +
                                              "' on " + opts_.from + " (see --list)"
                                        : "Backup " + missing + ", on which " + target +
                                              " depends, is not complete on " + opts_.from);
  }
  log_.info("Step 3: Copying backup " + target +
            (chain->size() > 1 ? " and the backups it depends on" : "") + " into " +
            joinPath(opts_.backupRoot, vm) + "...");
  for (const std::string& ts : *chain) pullBackup(vm, ts, remote.at(ts));
  log_.info("Pull complete: backup " + target + " of VM '" + vm + "' is in " +
            joinPath(joinPath(opts_.backupRoot, vm), target));
  record(vm, "success", {{"from", opts_.from}, {"timestamp", target}});
  return kExitSuccess;
}

// Into a directory for the owner only, as the backup writes it; a backup
// that is here complete already stays as it is.
void Sync::pullBackup(const std::string& vm, const std::string& timestamp,
                      const RemoteListing& files) {
  const BackupDir local = backupDirUnder(opts_.backupRoot, vm, timestamp);
  if (local.complete()) {
    log_.info("  " + timestamp + ": here already.");
    return;
  }
  std::error_code ec;
  fs::create_directories(parentDir(local.path), ec);
  if ((mkdir(local.path.c_str(), 0700) != 0 && errno != EEXIST) || ec) {
    throw BackupError("Could not create " + local.path + ": " +
                      (ec ? ec.message() : std::strerror(errno)));
  }
  std::vector<std::string> names;
  for (const auto& [name, file] : files) names.push_back(name);
  const std::vector<std::string> travelling = travellingFiles(names, vm, timestamp);
  const std::string remote = remoteJoin(remoteVmDir(vm), timestamp);
  log_.info("  " + timestamp + ": " + std::to_string(travelling.size()) + " file(s) <- " + remote);
  copyVerified(remote, local.path, timestamp, withoutLast(travelling));
  copyVerified(remote, local.path, timestamp, {travelling.back()});
}

int Sync::runList() {
  int status = kExitSuccess;
  for (const std::string& vm : opts_.vmNames) {
    try {
      const std::map<std::string, RemoteListing> remote = listRemote(vm);
      if (remote.empty()) throw BackupError("No backups of VM '" + vm + "' on " + opts_.from);
      const std::map<std::string, std::string> parents = remoteParents(vm, remote);
      for (auto it = remote.rbegin(); it != remote.rend(); ++it) {
        std::uint64_t bytes = 0;
        for (const auto& [name, file] : it->second) bytes += file.size;
        const auto parent = parents.find(it->first);
        std::string kind;
        if (parent != parents.end() && it->second.count(chainFileName(vm)) != 0) {
          kind = parent->second.empty() ? "  kind: full"
                                        : "  kind: incremental, parent " + parent->second;
        }
        std::cout << it->first << "  " << (parent != parents.end() ? "complete  " : "incomplete")
                  << "  size: " << humanSize(bytes) << kind << "\n";
      }
    } catch (const BackupError& e) {
      log_.error(e.what());
      status = kExitFailure;
    }
  }
  return status;
}

// A push's record says where it copied to, how much, and where it stopped.
void Sync::record(const std::string& vm, const std::string& result,
                  const std::vector<RecordField>& fields, const std::string& reason) const {
  std::vector<RecordField> all;
  if (!push_.stage.empty() && result != "success") all.push_back({"stage", push_.stage});
  if (!opts_.to.empty() && !opts_.check) {
    all.push_back({"to", opts_.to});
    all.push_back({"copied", std::to_string(push_.copied)});
  }
  all.insert(all.end(), fields.begin(), fields.end());
  appendApplicationLog(formatRunRecord(vm, result, all, startEpoch_, reason), kSyncLogFile);
}

// What monitoring needs to see that copies stopped: when the last one
// succeeded, how the last one ended, and how old the newest backup is that
// is not on the remote yet.
void Sync::writeMetrics(const std::string& vm, const std::string& result) const {
  if (opts_.metricsDir.empty() || opts_.to.empty() || opts_.check) return;
  static const std::string kUnsynced = "quorlane_sync_unsynced_age_seconds";
  static const std::string kRemote = "quorlane_sync_remote_backups";
  const std::string fileName = "quorlane-sync-" + vm + ".prom";
  const std::string before = joinPath(opts_.metricsDir, fileName);
  const std::string lastSuccess = "quorlane_sync_last_success_timestamp_seconds";
  const double now = static_cast<double>(nowEpoch());
  MetricsFile metrics(vm);
  metrics.set("quorlane_sync_last_run_timestamp_seconds", "When the last push ended.", now);
  const std::optional<double> previousSuccess = previousValue(before, lastSuccess);
  const std::optional<double> succeeded = result == "success" ? now : previousSuccess;
  if (succeeded) metrics.set(lastSuccess, "When the last push succeeded.", *succeeded);
  metrics.set("quorlane_sync_last_result", "How the last push ended: 1 for its result.", 1,
              {{"result", result}, {"stage", result == "success" ? "" : push_.stage}});
  metrics.set("quorlane_sync_duration_seconds", "How long the last push took.",
              now - static_cast<double>(startEpoch_));
  metrics.set("quorlane_sync_bytes_copied", "Bytes the last push copied.",
              static_cast<double>(push_.bytes));
  metrics.set("quorlane_sync_local_backups", "Complete backups on this host.",
              static_cast<double>(push_.local));
  // A remote that could not be read keeps the count it had, and every backup
  // made since the last successful push counts as not there.
  const std::optional<double> remote =
      push_.remote ? static_cast<double>(*push_.remote) : previousValue(before, kRemote);
  if (remote) metrics.set(kRemote, "Complete backups on the remote.", *remote);
  std::string newestUnsynced = push_.newestUnsynced.value_or("");
  if (!push_.remote && !push_.newestLocal.empty()) {
    const std::optional<double> made = timestampEpoch(push_.newestLocal);
    if (made && (!previousSuccess || *made > *previousSuccess)) newestUnsynced = push_.newestLocal;
  }
  double age = 0;
  if (const std::optional<double> made = timestampEpoch(newestUnsynced)) age = now - *made;
  metrics.set(kUnsynced, "Age of the newest backup that is not on the remote; 0 when none.",
              std::max(0.0, age));
  publish(metrics, opts_.metricsDir, fileName, log_);
}

}  // namespace quorlane
