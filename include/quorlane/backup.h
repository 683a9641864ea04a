#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/chain_decision.h"
#include "quorlane/checkpoint.h"
#include "quorlane/cli.h"
#include "quorlane/incremental_job.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/run_lock.h"
#include "quorlane/virsh.h"

namespace quorlane {

// One backup run of one VM. Each step sets its flag when its work is complete;
// cleanup and the run record decide from these flags, and from the checkpoint
// and the backup job of a run with --incremental.
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

  void validate();
  void validateArguments();
  void runDryRun();
  void initPaths();
  void createBackupDir();
  void dumpXmlAndEnumerateDisks();
  void backupNvram();
  void createSnapshot();
  void backupDisks();
  void disksCopied();
  void generateCorrectedXml();
  void backUp();
  int stopForSignal(int signo);
  int finish(int code);
  bool removeSnapshot();
  std::string consistencyLabel() const;

  // Changed-block tracking, with --incremental.
  std::map<std::string, std::uint64_t> diskSizes(
      const std::map<std::string, std::string>& disks) const;
  std::optional<ChainTip> chainTip() const;
  std::map<std::string, std::string> unopenedImages(const BackupDir& tip,
                                                    const std::vector<std::string>& targets) const;
  ChainDecision decideKind(const std::string& xml, const std::map<std::string, std::string>& disks,
                           const std::map<std::string, std::uint64_t>& sizes) const;
  void planChain(const std::string& xml);
  void removeStrayCheckpoints() const;
  void createCheckpoint();
  void startBackupJob();
  void backupChangedBlocks();
  void writeChainRecord() const;
  void releaseChainWork();
  void deleteOlderCheckpoints() const;
  bool dropCheckpointsOfShutOffVm() const;

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
  long jobs_ = 0;  // --jobs; 0: full backups convert in order
  DomainState domState_;
  std::map<std::string, std::string> diskBasePaths_;
  std::string nvramPath_;
  std::string timestamp_;
  std::string backupDir_;
  FileIdentity backupDirIdentity_;
  std::string verbatimXml_;
  std::string correctedXml_;
  ChainDecision chain_;
  bool chainPlanned_ = false;
  std::map<std::string, std::uint64_t> diskSizes_;
  std::optional<Checkpoint> checkpoint_;  // a tracked run's
  std::optional<IncrementalJob> job_;     // an incremental run's
  bool step2Ok_ = false;
  bool step3Ok_ = false;
  bool step4Ok_ = false;
  bool snapshotCreated_ = false;
  bool step6Ok_ = false;
  bool step7Ok_ = false;
};

}  // namespace quorlane
