#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/run_lock.h"
#include "quorlane/virsh.h"

namespace quorlane {

inline constexpr std::string_view kRestoreAppName = "quorlane-restore";
inline constexpr std::string_view kRestoreLogFile = "/var/log/quorlane/quorlane-restore.log";

// --check found the backup damaged or incomplete.
inline constexpr int kExitBackupDamaged = 3;

struct RestoreOptions {
  std::string backupDir;
  std::string vmName;
  std::string backupRoot;
  std::string timestamp;
  std::string asName;
  std::string imageDir;
  bool list = false;
  bool check = false;
  bool define = false;
  bool start = false;
  bool force = false;
  bool dryRun = false;
  bool verbose = false;
  bool live = false;
  std::string bandwidth;  // MiB/s, a positive whole number; empty for no limit
  std::string finish;     // the VM whose live restore to finish
};

// Returns only when the whole command line was accepted; --help and every
// command-line error end the process.
RestoreOptions parseRestoreArgs(int argc, char** argv);

void printRestoreUsage(std::ostream& out);

enum class TargetKind { kDisk, kNvram, kDefinition };

// One file the restore writes: first under `temp`, renamed to `path` at the end.
struct RestoreTarget {
  TargetKind kind = TargetKind::kDisk;
  std::string label;   // the disk target, "nvram" or "definition"
  std::string source;  // the file in the backup; empty for the definition
  std::string path;
  std::string temp;
};

// One list, check or restore run. A termination signal is acted on after
// the outside command or step during which it came: the restore removes what
// it wrote and created, renames and defines nothing, and ends with 128 plus
// the signal number.
class Restore {
 public:
  Restore(RestoreOptions opts, Logger& log, CommandRunner& runner);

  // Returns the process exit status: 0, 1, 3, or 128 plus a signal number.
  int run();

 private:
  int runList();
  int runCheck();
  int runRestore();
  int runFinish();
  int runLive();
  bool interrupted() const;
  int endInterrupted();

  bool locateBackup(bool completeOnly);
  bool locateDirectory(bool completeOnly);
  bool locateByName(bool completeOnly);
  bool checkDiskCopy();
  bool loadDefinition();
  bool checkFiles(bool requireCorrected);
  bool checkImage(const std::string& target, const std::string& image);
  bool checkChain();
  void planTargets();
  bool validateTargets();
  bool validateTargetFiles();
  bool validateTargetVm();
  void printDryRun() const;
  void removeLeftoverTemporaries();
  bool writeFiles();
  bool createTargetDirs();
  bool writeImage(const RestoreTarget& t);
  bool writeNvram(const RestoreTarget& t);
  bool writeDefinition(const RestoreTarget& t);
  bool moveIntoPlace();
  // Live restore
  bool writeLiveImage(const RestoreTarget& t);
  bool pinAndOpenBackup();
  bool runsOnTheBackup();
  bool pullDisks(const std::map<std::string, std::string>& images);
  bool pullDisk(const std::string& target, const std::string& image);
  bool flushVmImages();
  bool completeLive();
  void unpin(const Pin& pin);
  int endLiveInterrupted();
  int failLive();
  void removeTemporaries();
  bool defineAndStart();
  void record(const std::string& result, const std::string& reason = {}) const;
  double secondsSinceStart() const;

  RestoreOptions opts_;
  Logger& log_;
  Virsh virsh_;
  QemuImg qemuImg_;
  std::int64_t startEpoch_ = 0;
  BackupDir backup_;     // vm: the name the backup was taken under
  std::string newName_;  // the restored VM's name
  std::string verbatimXml_;
  std::string restoredXml_;
  std::map<std::string, std::string> disks_;  // target to original source
  std::map<std::string, bool> blockDisks_;    // target to whether it was a block device
  std::string nvramPath_;
  std::vector<RestoreTarget> targets_;
  std::vector<std::string> createdDirs_;
  bool movedIntoPlace_ = false;
  std::chrono::steady_clock::time_point startTime_;
  std::map<std::string, std::string> virtualSizes_;  // target to bytes, as qemu-img says
  Pin pin_;                                          // the live restore's, once written
  bool vmStarted_ = false;
  BackupReadLock backupLock_;  // while the backup is read
  VmLock vmLock_;              // while the restored VM is written
};

}  // namespace quorlane
