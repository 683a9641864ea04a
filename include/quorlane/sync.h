#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/logging.h"
#include "quorlane/rclone.h"
#include "quorlane/sync_plan.h"

namespace quorlane {

inline constexpr std::string_view kSyncAppName = "quorlane-sync";
inline constexpr std::string_view kSyncLogFile = "/var/log/quorlane/quorlane-sync.log";

// --check found a remote copy that differs from the local one.
inline constexpr int kExitRemoteDiffers = 3;

struct SyncOptions {
  std::string backupRoot;
  std::vector<std::string> vmNames;
  std::string to;    // push to (or --check) this remote
  std::string from;  // pull from (or --list) this remote
  std::string timestamp;
  std::string keepCountRaw;  // remote retention; empty: none
  bool check = false;
  bool download = false;
  bool list = false;
  std::string configFile;
  std::string bandwidth;
  std::string metricsDir;  // Prometheus textfiles of pushes, one per VM; empty: none
  bool verbose = false;
};

// Returns only when the whole command line was accepted; --help and every
// command-line error end the process.
SyncOptions parseSyncArgs(int argc, char** argv);

void printSyncUsage(std::ostream& out);

// One push, check, pull or list run. Each VM is handled on its own: a
// failure of one does not stop the others, and each gets its run record.
class Sync {
 public:
  Sync(SyncOptions opts, Logger& log, CommandRunner& runner);

  // Returns the process exit status: 0, 1, 3, or 128 plus a signal number.
  int run();

 private:
  int runList();
  int forEachVm(int (Sync::*each)(const std::string& vm));
  int push(const std::string& vm);
  int check(const std::string& vm);
  int pull(const std::string& vm);

  bool validate();
  bool configReadableByOthers(const std::string& file) const;
  std::vector<std::string> vmsToPush() const;
  std::string remoteVmDir(const std::string& vm) const;
  std::map<std::string, RemoteListing> listRemote(const std::string& vm) const;
  std::map<std::string, std::string> remoteParents(
      const std::string& vm, const std::map<std::string, RemoteListing>& remote) const;
  void pushBackup(const BackupDir& backup, const PushItem& item);
  void unmarkDiffering(const std::string& vm, const std::string& timestamp,
                       const std::string& combined);
  void copyVerified(const std::string& from, const std::string& to, const std::string& label,
                    const std::vector<std::string>& files);
  void pruneRemote(const std::string& vm);
  void pullBackup(const std::string& vm, const std::string& timestamp, const RemoteListing& files);
  void record(const std::string& vm, const std::string& result,
              const std::vector<RecordField>& fields, const std::string& reason = {}) const;
  void writeMetrics(const std::string& vm, const std::string& result) const;

  // What a push of one VM got to, for its run record and metrics.
  struct PushState {
    std::string stage;  // the step it was in
    std::size_t copied = 0;
    std::uint64_t bytes = 0;
    std::size_t local = 0;                      // complete local backups
    std::string newestLocal;                    // the newest of them
    std::optional<std::size_t> remote;          // complete remote backups, once known
    std::optional<std::string> newestUnsynced;  // newest local backup not complete there
  };

  SyncOptions opts_;
  Logger& log_;
  Rclone rclone_;
  std::int64_t startEpoch_ = 0;
  long keepCount_ = 0;
  std::optional<bool> remoteKeepsHashes_;  // asked once, at the first copy
  PushState push_;
};

}  // namespace quorlane
