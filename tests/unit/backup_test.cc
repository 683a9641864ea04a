// Whole runs of the backup against a scripted runner: the commands a run
// issues, in order, what it leaves in the backup root, its exit status and
// its run record. A run appends to /var/log/quorlane and installs signal
// handlers, so each one runs in a forked child with its own mount namespace
// and a fresh tmpfs over /var/log.

#include "quorlane/backup.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "scripted_runner.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;
using test_support::answer;
using test_support::Argv;
using test_support::failure;
using test_support::readCalls;
using test_support::ScriptedRunner;
using test_support::writeCalls;

// Child exit statuses apart from a run's own.
using test_support::kMountFailed;
using test_support::kNoNamespace;
constexpr int kEscaped = 79;

const std::string kTip = "2026-01-01_00-00-00";
const std::string kSnapshot = "quorlane-backup-temp";
const Argv kConvert = {"qemu-img", "convert", "-O", "qcow2", "-c", "-o", "compression_type=zstd"};

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct RunOutcome {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<Argv> calls;
  std::string record;  // the application log
  std::string dir;     // the backup directory the run named
};

class BackupRunTest : public ::testing::Test {
 protected:
  using Script = std::function<void(ScriptedRunner&)>;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    char pattern[] = "/tmp/quorlane-run-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    // Validation looks for the programs on PATH; the scripted runner answers for them.
    fs::create_directories(root_ + "/bin");
    for (const char* program : {"virsh", "qemu-img"}) {
      std::ofstream(root_ + "/bin/" + program).close();
      fs::permissions(root_ + "/bin/" + program, fs::perms::owner_all);
    }
    fs::create_directories(root_ + "/backups");
    fs::create_directories(root_ + "/images");
    base_ = root_ + "/images/web01.qcow2";
    const int probe = test_support::runInSandbox([] { return 0; }).status;
    if (probe == kNoNamespace) GTEST_SKIP() << "unshare(CLONE_NEWNS) not permitted here";
    ASSERT_EQ(probe, 0) << "could not mount a tmpfs on /var/log";
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  // A running VM with one qcow2 disk that every command serves well; the
  // script's rules come first.
  void healthyVm(ScriptedRunner& runner) const {
    runner.on({"virsh", "domstate", "web01"}, answer("running\n\n"));
    runner.on({"virsh", "dumpxml", "web01"},
              answer("<domain type='kvm'>\n  <name>web01</name>\n  <devices>\n"
                     "    <disk type='file' device='disk'>\n"
                     "      <driver name='qemu' type='qcow2'/>\n"
                     "      <source file='" +
                     base_ +
                     "'/>\n      <target dev='vda' bus='virtio'/>\n    </disk>\n"
                     "  </devices>\n</domain>\n"));
    runner.on({"virsh", "domblklist", "web01", "--details"},
              answer(" Type   Device   Target   Source\n---------\n file   disk     vda      " +
                     base_ + "\n\n"));
    runner.on(kConvert, answer(""), [](const Argv& argv) { std::ofstream(argv.back()) << "copy"; });
  }

  // `prepare` runs in the child first; false ends it.
  RunOutcome run(
      bool incremental, const Script& script,
      const std::function<bool()>& prepare = [] { return true; }) {
    RunOutcome outcome;
    const test_support::ChildOutcome child = test_support::runInSandbox([&] {
      if (!prepare()) return kMountFailed;
      setenv("PATH", (root_ + "/bin").c_str(), 1);
      ScriptedRunner runner;
      script(runner);
      healthyVm(runner);
      Options opts;
      opts.vmName = "web01";
      opts.backupRoot = root_ + "/backups";
      opts.keepCountRaw = "3";
      opts.incremental = incremental;
      Logger log;
      int status = kEscaped;
      try {
        status = Backup(opts, log, runner).run();
      } catch (const std::exception& e) {
        std::cerr << "escaped: " << e.what() << "\n";
      }
      writeCalls(root_ + "/calls", runner.calls);
      std::ofstream(root_ + "/record") << contentOf("/var/log/quorlane/quorlane-backup.log");
      return status;
    });
    outcome.status = child.status;
    outcome.out = child.out;
    outcome.err = child.err;
    outcome.calls = readCalls(root_ + "/calls");
    outcome.record = contentOf(root_ + "/record");
    static const std::regex kDirLine("Step 2: Creating backup directory: (.*)");
    std::smatch match;
    if (std::regex_search(outcome.out, match, kDirLine)) outcome.dir = match[1].str();
    return outcome;
  }

  // Everything below the backup root, relative to it; directories end in "/".
  std::set<std::string> backupRootTree() const {
    std::set<std::string> found;
    const fs::path top = root_ + "/backups";
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
      found.insert(fs::relative(entry.path(), top).string() + (entry.is_directory() ? "/" : ""));
    }
    return found;
  }

  // The run record: `fields` after the result, `tail` after the version.
  static void expectRecord(const RunOutcome& run, const std::string& fields,
                           const std::string& tail = "") {
    EXPECT_TRUE(std::regex_match(
        run.record, std::regex("\\[[-0-9: ]{19}\\] vm=web01 " + fields +
                               " duration=\\d+s version=0\\.1\\.5-prototype" + tail + "\n")))
        << run.record;
  }

  std::vector<Argv> validationAndDefinition() const {
    return {{"virsh", "dominfo", "web01"},
            {"virsh", "snapshot-list", "web01", "--name"},
            {"virsh", "domstate", "web01"},
            {"virsh", "dumpxml", "web01"},
            {"virsh", "domblklist", "web01", "--details"}};
  }

  Argv snapshotCall() const {
    return {"virsh",
            "snapshot-create-as",
            "web01",
            kSnapshot,
            "--disk-only",
            "--atomic",
            "--diskspec",
            "vda,snapshot=external,file=" + root_ + "/images/web01-vda.quorlane-backup-temp.qcow2"};
  }

  // The calls of a full backup up to its snapshot's removal, given the run's directory.
  std::vector<Argv> fullBackup(const std::string& dir) const {
    std::vector<Argv> calls = validationAndDefinition();
    calls.push_back({"virsh", "domstate", "web01"});
    calls.push_back(snapshotCall());
    Argv convert = kConvert;
    convert.insert(convert.end(), {base_, dir + "/web01-vda.qcow2"});
    calls.push_back(convert);
    calls.push_back({"virsh", "snapshot-delete", "web01", kSnapshot});
    return calls;
  }

  std::set<std::string> backupFiles(const std::string& dir) const {
    const std::string ts = fs::path(dir).filename();
    const std::string rel = "web01/" + ts + "/";
    return {"web01/",
            rel,
            rel + "web01-" + ts + ".log",
            rel + "web01-vda.qcow2",
            rel + "web01.xml",
            rel + "web01.xml.backup"};
  }

  std::string root_;
  std::string base_;
};

TEST_F(BackupRunTest, AFullBackupCopiesEachDiskUnderItsSnapshot) {
  const RunOutcome run = this->run(false, [](ScriptedRunner&) {});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.calls, fullBackup(run.dir));
  EXPECT_EQ(backupRootTree(), backupFiles(run.dir));
  EXPECT_EQ(contentOf(run.dir + "/web01-vda.qcow2"), "copy");
  expectRecord(run, "result=success dir=" + run.dir + " consistency=crash-consistent");
}

TEST_F(BackupRunTest, AFailedSnapshotLeavesNoDirectory) {
  const RunOutcome run = this->run(false, [](ScriptedRunner& runner) {
    runner.on({"virsh", "snapshot-create-as"}, failure("error: monitor closed\n"));
  });
  EXPECT_EQ(run.status, 1);
  std::vector<Argv> calls = validationAndDefinition();
  calls.push_back({"virsh", "domstate", "web01"});
  calls.push_back(snapshotCall());
  EXPECT_EQ(run.calls, calls);
  EXPECT_EQ(backupRootTree(), (std::set<std::string>{"web01/"}));
  expectRecord(run, "result=failure stage=step5_snapshot");
}

TEST_F(BackupRunTest, AFailedDiskCopyRemovesItsSnapshotAndItsDirectory) {
  const RunOutcome run = this->run(false, [](ScriptedRunner& runner) {
    runner.on(kConvert, failure("qemu-img: error while writing\n"),
              [](const Argv& argv) { std::ofstream(argv.back()) << "partial"; });
  });
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.calls, fullBackup(run.dir));
  EXPECT_EQ(backupRootTree(), (std::set<std::string>{"web01/"}));
  EXPECT_NE(run.err.find("ERROR: Failed to back up disk: vda (" + base_ +
                         "): qemu-img: error while writing\n"),
            std::string::npos)
      << run.err;
  expectRecord(run, "result=failure stage=step6_disk_backup");
}

TEST_F(BackupRunTest, AFailedSnapshotRemovalKeepsTheBackupAndExitsTwo) {
  // The overlays' file system has room: the failure is libvirt's alone.
  const std::string images = root_ + "/images";
  const RunOutcome run = this->run(
      false,
      [](ScriptedRunner& runner) {
        runner.on({"virsh", "snapshot-delete"}, failure("error: merge failed\n"));
      },
      [&] { return mount("tmpfs", images.c_str(), "tmpfs", 0, "size=64m") == 0; });
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.calls, fullBackup(run.dir));
  EXPECT_EQ(backupRootTree(), backupFiles(run.dir));
  EXPECT_EQ(run.out.find("Backup complete"), std::string::npos);
  expectRecord(run,
               "result=snapshot_removal_failed dir=" + run.dir + " consistency=crash-consistent");
}

// The chain's tip, complete, its checkpoint in libvirt and intact.
class IncrementalRunTest : public BackupRunTest {
 protected:
  void SetUp() override {
    BackupRunTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const BackupDir tip = backupDirIn(root_ + "/backups/web01", "web01", kTip);
    fs::create_directories(tip.path);
    std::ofstream(tip.log()) << "[2026-01-01 00:00:09] " << kDisksCopiedMessage << "\n";
    std::ofstream(tip.chainFile())
        << formatChainRecord({BackupKind::kFull, "", checkpointName(kTip), {{"vda", 1024}}});
    std::ofstream(tip.diskImage("vda")) << "image";
    tipImage_ = tip.diskImage("vda");
    scratch_ = root_ + "/images/web01-vda.quorlane-backup-scratch.qcow2";
  }

  void chainOfOne(ScriptedRunner& runner) const {
    runner.on({"virsh", "checkpoint-list", "web01", "--name"}, answer(checkpointName(kTip) + "\n"));
    runner.on({"virsh", "checkpoint-dumpxml"},
              answer("<domaincheckpoint><disks><disk name='vda' checkpoint='bitmap' "
                     "size='0'/></disks></domaincheckpoint>"));
    runner.on({"virsh", "domblkinfo", "web01", "vda"}, answer("Capacity:       1024\n\n"));
    runner.on({"qemu-img", "create"}, answer(""),
              [](const Argv& argv) { std::ofstream(argv[4]) << "scratch"; });
    runner.on({"virsh", "domjobabort", "web01"}, answer(""), [&runner](const Argv&) {
      runner.first({"virsh", "domjobinfo", "web01"}, answer("Job type: None\n"));
    });
  }

  // The calls up to the backup job's first question about its progress.
  std::vector<Argv> begunJob(const std::string& dir) const {
    std::vector<Argv> calls = validationAndDefinition();
    calls.insert(calls.end(),
                 {{"virsh", "checkpoint-list", "web01", "--name"},
                  {"virsh", "domblkinfo", "web01", "vda"},
                  {"virsh", "checkpoint-list", "web01", "--name"},
                  {"virsh", "checkpoint-dumpxml", "web01", checkpointName(kTip), "--size"},
                  {"qemu-img", "info", "-f", "qcow2", "--backing-chain", tipImage_},
                  {"qemu-img", "create", "-f", "qcow2", scratch_, "1024"},
                  {"virsh", "backup-begin", "web01", dir + "/web01-backup-job.xml",
                   dir + "/web01-checkpoint.xml", "--reuse-external"},
                  {"virsh", "domjobinfo", "web01"}});
    return calls;
  }

  std::set<std::string> tipOnly() const {
    const std::string rel = "web01/" + kTip + "/";
    return {"web01/", rel, rel + "web01-" + kTip + ".log", rel + "web01-vda.qcow2",
            rel + "web01.chain"};
  }

  std::string tipImage_;
  std::string scratch_;
};

TEST_F(IncrementalRunTest, AnInterruptedOneAbortsItsJobAndDeletesItsCheckpoint) {
  const RunOutcome run = this->run(true, [this](ScriptedRunner& runner) {
    chainOfOne(runner);
    runner.on({"virsh", "domjobinfo", "web01"}, answer("Job type: Unbounded\n"),
              [](const Argv&) { std::raise(SIGTERM); });
  });
  EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
  const std::string own = fs::path(run.dir).filename();
  std::vector<Argv> calls = begunJob(run.dir);
  calls.insert(calls.end(), {{"virsh", "domjobinfo", "web01"},
                             {"virsh", "domjobabort", "web01"},
                             {"virsh", "domjobinfo", "web01"},
                             {"virsh", "checkpoint-delete", "web01", checkpointName(own)}});
  EXPECT_EQ(run.calls, calls);
  EXPECT_EQ(backupRootTree(), tipOnly());
  EXPECT_FALSE(fs::exists(scratch_));
  EXPECT_NE(run.err.find("WARN:  Interrupted by Terminated; the backup job was aborted, its "
                         "checkpoint and the partial backup removed.\n"),
            std::string::npos)
      << run.err;
  expectRecord(run, "result=interrupted kind=incremental parent=" + kTip, " reason=\"SIGTERM\"");
}

// An error that no step expects ends the run at once, and still takes the
// job and the checkpoint with it.
TEST_F(IncrementalRunTest, AnUnexpectedErrorStillAbortsTheJob) {
  const RunOutcome run = this->run(true, [this](ScriptedRunner& runner) {
    chainOfOne(runner);
    runner.on(
        {"virsh", "domjobinfo", "web01"}, answer(""),
        [](const Argv&) { throw std::runtime_error("lost"); }, 1);
    runner.on({"virsh", "domjobinfo", "web01"}, answer("Job type: Unbounded\n"));
  });
  EXPECT_EQ(run.status, kEscaped);
  const std::string own = fs::path(run.dir).filename();
  std::vector<Argv> calls = begunJob(run.dir);
  calls.insert(calls.end(), {{"virsh", "domjobinfo", "web01"},
                             {"virsh", "domjobabort", "web01"},
                             {"virsh", "domjobinfo", "web01"},
                             {"virsh", "checkpoint-delete", "web01", checkpointName(own)}});
  EXPECT_EQ(run.calls, calls);
  EXPECT_FALSE(fs::exists(scratch_));
  EXPECT_EQ(run.record, "");
}

}  // namespace
}  // namespace quorlane
