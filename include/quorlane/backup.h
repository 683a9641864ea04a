#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "quorlane/cli.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/run_lock.h"
#include "quorlane/virsh.h"

namespace quorlane {

// One backup run of one VM. Each step sets its flag when its work is complete;
// cleanup and the run record decide from these flags alone.
class Backup {
 public:
  Backup(Options opts, Logger& log, CommandRunner& runner);
  ~Backup();

  Backup(const Backup&) = delete;
  Backup& operator=(const Backup&) = delete;

  // Returns the process exit status: 0, 1, 2, or 128 plus a signal number.
  int run();

 private:
  class RunRecorder;

  // Which directory a path named when it was created: a backup root that is
  // unmounted leaves the path naming another one, a removed one none.
  struct FileIdentity {
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
  };
  static FileIdentity identityOf(const std::string& path);
  void copyImage(const std::string& target, const std::string& source,
                 const CommandResult& result) const;
  static std::string readFileOrFail(const std::string& path);
  static void writeFileOrFail(const std::string& path, const std::string& content);

  void validate();
  void runDryRun();
  void initPaths();
  void createBackupDir();
  void dumpXmlAndEnumerateDisks();
  void backupNvram();
  void createSnapshot();
  void backupDisks();
  void generateCorrectedXml();
  int finish(int code);
  void checkInterrupted() const;
  std::string consistencyLabel() const;

  // Changed-block tracking, with --incremental.
  struct ChainPlan {
    bool incremental = false;  // copy only what changed since `parent`
    bool tracked = false;      // take a checkpoint that the next run continues from
    std::string parent;        // the timestamp of the chain's tip
    std::string reason;        // why the run is a full one
    std::size_t position = 1;  // this backup's place in its chain
  };
  ChainPlan decideChain(const std::string& xml,
                        const std::map<std::string, std::string>& disks) const;
  std::string chainReason(const ChainPlan& plan) const;
  std::string dryRunKind(const ChainPlan& plan) const;
  void planChain(const std::string& xml);
  void removeStrayCheckpoints() const;
  void createCheckpoint();
  void startBackupJob();
  void runBackupJob(const std::string& jobXml, const std::string& checkpointXml);
  void waitForBackupJob();
  void backupChangedBlocks();
  void writeChainRecord() const;
  void abandonBackupJob();
  void releaseChainWork();
  void removeScratchImages() const;
  void deleteCheckpoint(const std::string& name) const;
  void deleteOlderCheckpoints() const;
  bool dropCheckpointsOfShutOffVm() const;
  std::string scratchPath(const std::string& target) const;

  void reportPriorSnapshot() const;
  void reportUnresponsiveAgent() const;
  void reportFullOverlayFileSystem() const;
  void deletePartialBackupDir();
  bool syncBackupToDisk();
  void pruneOldBackups();

  Options opts_;
  Logger& log_;
  Virsh virsh_;
  QemuImg qemuImg_;
  VmLock vmLock_;  // held from step 1 until the job is gone
  std::int64_t startEpoch_ = 0;
  long keepCount_ = 0;
  long chainLength_ = 7;
  DomainState domState_;
  std::map<std::string, std::string> diskBasePaths_;
  std::string nvramPath_;
  std::string timestamp_;
  std::string backupDir_;
  FileIdentity backupDirIdentity_;
  std::string verbatimXml_;
  std::string correctedXml_;
  ChainPlan chain_;
  bool chainPlanned_ = false;
  std::map<std::string, std::uint64_t> diskSizes_;
  bool checkpointCreated_ = false;
  bool jobStarted_ = false;
  bool step2Ok_ = false;
  bool step3Ok_ = false;
  bool step4Ok_ = false;
  bool snapshotCreated_ = false;
  bool step6Ok_ = false;
  bool step7Ok_ = false;
};

}  // namespace quorlane
