#include "quorlane/run_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "quorlane/fd.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;

// A forked child that takes a lock with `take`, tells the parent whether it
// could, runs `then` and keeps what it took until it is killed: another
// process, as another run would be. A lambda's locks live in the test body,
// which the child never leaves.
class Holder {
 public:
  explicit Holder(
      const std::function<bool()>& take, const std::function<void()>& then = [] {}) {
    int ready[2];
    if (pipe(ready) != 0) return;
    Fd readEnd(ready[0]);
    Fd writeEnd(ready[1]);
    pid_ = fork();
    if (pid_ == 0) {
      const char answer = take() ? 'y' : 'n';
      if (write(writeEnd.get(), &answer, 1) != 1) _exit(1);
      then();
      for (;;) pause();
    }
    writeEnd.close();
    char answer = 'n';
    held_ = pid_ > 0 && read(readEnd.get(), &answer, 1) == 1 && answer == 'y';
  }
  ~Holder() { kill(); }

  pid_t pid() const { return pid_; }
  bool held() const { return held_; }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

// Waits until the parent process waits for a flock (the kernel lists the
// request in /proc/locks, marked "->", with the waiter's pid).
void waitForParentToWait() {
  const std::string pid = " " + std::to_string(getppid()) + " ";
  for (;;) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find("-> FLOCK") != std::string::npos && line.find(pid) != std::string::npos) return;
    }
    usleep(10000);
  }
}

class RunLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-run-lock-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    lockDir_ = top_ + "/run";
    vmDir_ = top_ + "/backups/web01";
  }
  void TearDown() override { fs::remove_all(top_); }

  // A complete backup; with a parent, an incremental one of its chain.
  BackupDir lay(const std::string& timestamp, const std::string& parent = {}) {
    const BackupDir backup = backupDirIn(vmDir_, "web01", timestamp);
    fs::create_directories(backup.path);
    std::ofstream(backup.log()) << "[2026-03-01 02:05:12] " << kDisksCopiedMessage << "\n";
    ChainRecord record;
    record.kind = parent.empty() ? BackupKind::kFull : BackupKind::kIncremental;
    record.parent = parent;
    std::ofstream(backup.chainFile()) << formatChainRecord(record);
    return backup;
  }

  std::string top_;
  std::string lockDir_;
  std::string vmDir_;
};

TEST_F(RunLockTest, AVmLockedByAnotherRunIsRefusedNamingItUntilItIsKilled) {
  VmLock childs;
  Holder child([&] { return childs.take(lockDir_, "web01", "quorlane-backup"); });
  ASSERT_TRUE(child.held());
  struct stat dir {};
  ASSERT_EQ(stat(lockDir_.c_str(), &dir), 0);
  EXPECT_EQ(dir.st_mode & 07777, 0755u);

  VmLock refused;
  EXPECT_FALSE(refused.take(lockDir_, "web01", "quorlane-restore"));
  const std::regex holder("VM 'web01' is being worked on by another run: quorlane-backup, pid " +
                          std::to_string(child.pid()) +
                          ", started \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.");
  EXPECT_TRUE(std::regex_match(refused.why(), holder)) << refused.why();

  VmLock other;
  EXPECT_TRUE(other.take(lockDir_, "db01", "quorlane-backup")) << other.why();

  child.kill();
  VmLock afterwards;
  EXPECT_TRUE(afterwards.take(lockDir_, "web01", "quorlane-backup")) << afterwards.why();
}

TEST_F(RunLockTest, AHolderThatHasNotSaidWhoItIsIsStillAHolder) {
  fs::create_directories(lockDir_);
  const std::string path = lockDir_ + "/web01.lock";
  Fd childs;
  Holder child([&] {
    childs = Fd(open(path.c_str(), O_RDWR | O_CREAT, 0644));
    return flock(childs.get(), LOCK_EX) == 0;
  });
  ASSERT_TRUE(child.held());
  VmLock refused;
  EXPECT_FALSE(refused.take(lockDir_, "web01", "quorlane-backup"));
  EXPECT_EQ(refused.why(), "VM 'web01' is being worked on by another run (its lock file " + path +
                               " does not say which).");
}

TEST_F(RunLockTest, ALockThatCannotBeTakenSaysWhy) {
  std::ofstream(top_ + "/file") << "not a directory\n";
  VmLock lock;
  EXPECT_FALSE(lock.take(top_ + "/file/run", "web01", "quorlane-backup"));
  EXPECT_EQ(lock.why(),
            "Could not lock VM 'web01' against other runs: " + top_ + "/file/run: Not a directory");
}

TEST_F(RunLockTest, AVmNameNeverLeadsOutOfTheLockDirectory) {
  VmLock lock;
  ASSERT_TRUE(lock.take(lockDir_, "../web/01%", "quorlane-backup")) << lock.why();
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(top_)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"run"});
  EXPECT_TRUE(fs::exists(lockDir_ + "/..%2Fweb%2F01%25.lock"));
}

// Retention keeps a backup that a restore reads and the backups it depends
// on, which the restore reads too; it deletes the rest, and all of them once
// the restore is gone.
TEST_F(RunLockTest, ABackupBeingReadIsKeptWithItsChain) {
  const BackupDir full = lay("2026-03-01_02-00-00");
  const BackupDir incremental = lay("2026-03-02_02-00-00", full.timestamp);
  const BackupDir other = lay("2026-02-01_02-00-00");
  const std::vector<std::string> doomed = {incremental.timestamp, full.timestamp, other.timestamp};

  BackupReadLock childs;
  Holder child([&] { return childs.take(incremental); });
  ASSERT_TRUE(child.held());
  {
    const PruneLock whileRead(vmDir_, "web01", doomed);
    EXPECT_TRUE(whileRead.kept(incremental.timestamp));
    EXPECT_TRUE(whileRead.kept(full.timestamp));
    EXPECT_FALSE(whileRead.kept(other.timestamp));
  }

  child.kill();

  // A restore that has locked the backup and not yet its parent.
  Fd started;
  Holder halfway([&] {
    started = Fd(open(incremental.path.c_str(), O_RDONLY | O_DIRECTORY));
    return flock(started.get(), LOCK_SH) == 0;
  });
  ASSERT_TRUE(halfway.held());
  {
    const PruneLock whileStarting(vmDir_, "web01", doomed);
    EXPECT_TRUE(whileStarting.kept(full.timestamp));
  }
  halfway.kill();

  const PruneLock afterwards(vmDir_, "web01", doomed);
  for (const std::string& timestamp : doomed) EXPECT_FALSE(afterwards.kept(timestamp));
}

TEST_F(RunLockTest, AReadWaitsForRetentionAndFindsWhatItDeleted) {
  const BackupDir full = lay("2026-03-01_02-00-00");
  std::unique_ptr<PruneLock> childs;
  Holder child(
      [&] {
        childs = std::make_unique<PruneLock>(vmDir_, "web01", std::vector{full.timestamp});
        return !childs->kept(full.timestamp);
      },
      [&] {
        waitForParentToWait();
        fs::remove_all(full.path);
        _exit(0);
      });
  ASSERT_TRUE(child.held());
  BackupReadLock reader;
  EXPECT_FALSE(reader.take(full));
  EXPECT_EQ(reader.why(), "Backup directory does not exist: " + full.path);
}

TEST_F(RunLockTest, ARestoreReadsWhatThereIsAndLeavesAMissingParentToTheChainCheck) {
  const BackupDir full = lay("2026-03-01_02-00-00");
  const BackupDir incremental = lay("2026-03-02_02-00-00", full.timestamp);
  fs::remove_all(full.path);
  BackupReadLock reader;
  EXPECT_TRUE(reader.take(incremental)) << reader.why();

  BackupReadLock gone;
  EXPECT_FALSE(gone.take(full));
  EXPECT_EQ(gone.why(), "Backup directory does not exist: " + full.path);
}

}  // namespace
}  // namespace quorlane
