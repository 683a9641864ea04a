#include "quorlane/restore.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "restore_sandbox.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;

using test_support::answer;
using test_support::Argv;
using test_support::failure;
using test_support::fileText;
using test_support::RunOutcome;
using test_support::ScriptedRunner;
using test_support::tree;
using test_support::unframed;

// The checks of step 1: each image's metadata and size. The copy reads every
// cluster, so nothing reads the images back before it.
std::vector<Argv> checkCalls(const BackupDir& backup, const std::vector<std::string>& targets) {
  std::vector<Argv> calls = {{"qemu-img", "--version"}};
  for (const std::string& target : targets) {
    const std::string image = backup.diskImage(target);
    calls.push_back({"qemu-img", "check", "-q", "-f", "qcow2", image});
    calls.push_back({"qemu-img", "info", "--output=json", "-f", "qcow2", image});
  }
  return calls;
}

Argv readBackCall(const BackupDir& backup, const std::string& target) {
  return {"qemu-img",
          "convert",
          "-n",
          "-f",
          "qcow2",
          "--target-image-opts",
          backup.diskImage(target),
          "driver=null-co,size=65536"};
}

// The copy of one disk under its temporary name, compared with the backup.
std::vector<Argv> copyCalls(const BackupDir& backup, const std::string& target,
                            const std::string& path) {
  const std::string temp = path + ".quorlane-restore-tmp";
  return {{"qemu-img", "convert", "-W", "-m", "4", "-f", "qcow2", "-O", "qcow2",
           backup.diskImage(target), temp},
          {"qemu-img", "compare", "-f", "qcow2", "-F", "qcow2", backup.diskImage(target), temp}};
}

void append(std::vector<Argv>& calls, const std::vector<Argv>& more) {
  calls.insert(calls.end(), more.begin(), more.end());
}

class RestoreRun : public test_support::RestoreSandbox {
 protected:
  RunOutcome restore(RestoreOptions opts, const ScriptedRunner& runner) {
    return runSandboxed(
        [&](Logger& log, CommandRunner& commands) { return Restore(opts, log, commands).run(); },
        runner);
  }
};

TEST_F(RestoreRun, BesideTheOriginalFromTheNewestCompleteBackupDefinedAndStarted) {
  layOut("2026-03-01_00-00-00", {"vda"});
  const BackupDir backup = layOut("2026-03-02_00-00-00", {"vda"});
  layOut("2026-03-03_00-00-00", {"vda"}, false);
  const std::string copies = scratch_ + "/copies";
  fs::create_directories(copies);
  ScriptedRunner runner;
  serveQemuImg(runner);
  runner.on({"virsh", "domstate", "copy"}, failure("error: failed to get domain 'copy'\n"));
  RestoreOptions opts;
  opts.vmName = "web01";
  opts.backupRoot = root_;
  opts.asName = "copy";
  opts.imageDir = copies;
  opts.define = opts.start = true;
  const RunOutcome run = restore(opts, runner);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<Argv> calls = checkCalls(backup, {"vda"});
  calls.push_back({"virsh", "domstate", "copy"});
  append(calls, copyCalls(backup, "vda", copies + "/copy-vda.qcow2"));
  calls.push_back({"virsh", "define", copies + "/copy.xml"});
  calls.push_back({"virsh", "start", "copy"});
  EXPECT_EQ(run.calls, calls);
  const std::vector<std::string> lines = unframed(run.out);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"Step 6: Defining VM 'copy' from " + copies + "/copy.xml...",
                                      "Step 7: Starting VM 'copy'...",
                                      "Restore complete: VM 'copy' from " + backup.path}));
  EXPECT_EQ(tree(copies),
            (std::vector<std::string>{"copy-nvram.fd", "copy-vda.qcow2", "copy.xml"}));
  EXPECT_EQ(fileText(copies + "/copy-vda.qcow2"), fileText(backup.diskImage("vda")));
  EXPECT_EQ(fileText(copies + "/copy-nvram.fd"), fileText(backup.nvram()));
  const std::string definition = fileText(copies + "/copy.xml");
  EXPECT_NE(definition.find("<name>copy</name>"), std::string::npos) << definition;
  EXPECT_NE(definition.find("file=\"" + copies + "/copy-vda.qcow2\""), std::string::npos);
  EXPECT_NE(definition.find(">" + copies + "/copy-nvram.fd</nvram>"), std::string::npos);
  EXPECT_EQ(definition.find("<uuid>"), std::string::npos) << definition;
  EXPECT_FALSE(fs::exists(images()));
  EXPECT_NE(run.record.find("] vm=web01 result=success from=" + backup.path + " to=copy duration="),
            std::string::npos)
      << run.record;
}

TEST_F(RestoreRun, InPlaceOverAShutOffVmReplacesItsImages) {
  const BackupDir backup = layOut("2026-03-01_00-00-00", {"vda", "vdb"});
  fs::create_directories(images());
  for (const char* name : {"/web01-vda.qcow2", "/web01-vdb.qcow2"}) {
    std::ofstream(images() + name) << "the VM's own image";
  }
  ScriptedRunner runner;
  serveQemuImg(runner);
  runner.on({"virsh", "domstate", "web01"}, answer("shut off\n\n"));
  RestoreOptions opts;
  opts.backupDir = backup.path;
  opts.define = opts.force = true;
  const RunOutcome run = restore(opts, runner);
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<Argv> calls = checkCalls(backup, {"vda", "vdb"});
  calls.push_back({"virsh", "domstate", "web01"});
  append(calls, copyCalls(backup, "vda", images() + "/web01-vda.qcow2"));
  append(calls, copyCalls(backup, "vdb", images() + "/web01-vdb.qcow2"));
  calls.push_back({"virsh", "define", images() + "/web01.xml"});
  EXPECT_EQ(run.calls, calls);
  EXPECT_EQ(tree(images()),
            (std::vector<std::string>{"web01-vda.qcow2", "web01-vdb.qcow2", "web01.xml"}));
  EXPECT_EQ(fileText(images() + "/web01-vdb.qcow2"), fileText(backup.diskImage("vdb")));
  EXPECT_EQ(tree(nvram()), std::vector<std::string>{"web01-nvram.fd"});
  EXPECT_NE(run.record.find(" result=success from=" + backup.path + " to=web01 "),
            std::string::npos)
      << run.record;
}

// A failed copy reads the backup back to tell a damaged backup from a
// target that cannot be written; either way nothing existing changes.
TEST_F(RestoreRun, AFailedCopySaysWhetherTheBackupOrTheTargetIsAtFault) {
  const BackupDir backup = layOut("2026-03-01_00-00-00", {"vda"});
  RestoreOptions opts;
  opts.backupDir = backup.path;
  opts.force = true;
  const std::string temp = images() + "/web01-vda.qcow2.quorlane-restore-tmp";
  const struct {
    bool readsBack;
    std::vector<std::string> errors;
  } cases[] = {{false,
                {"ERROR: Image does not read back whole: " + backup.diskImage("vda") +
                     ": qemu-img: error while reading at byte 0: Input/output error",
                 "ERROR: Backup is damaged or incomplete: " + backup.path +
                     " (pick another one with --list)",
                 "ERROR: Restore failed; no existing file was changed."}},
               {true,
                {"ERROR: Could not write " + temp + ": qemu-img: No space left on device",
                 "ERROR: Restore failed; no existing file was changed."}}};
  for (const auto& [readsBack, errors] : cases) {
    SCOPED_TRACE(errors.front());
    const std::vector<std::string> before = tree(scratch_);
    ScriptedRunner runner;
    runner.on({"qemu-img", "convert", "-W"}, failure("qemu-img: No space left on device\n"),
              [](const Argv& argv) { std::ofstream(argv.back()) << "part of a copy"; });
    if (!readsBack) {
      runner.on(readBackCall(backup, "vda"),
                failure("qemu-img: error while reading at byte 0: Input/output error\n"));
    }
    serveQemuImg(runner);
    runner.on({"virsh", "domstate", "web01"}, answer("shut off\n\n"));
    const RunOutcome run = restore(opts, runner);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.calls.back(), readBackCall(backup, "vda"));
    EXPECT_EQ(unframed(run.err), errors);
    EXPECT_EQ(tree(scratch_), before);
    EXPECT_NE(run.record.find(" result=failure from=" + backup.path), std::string::npos);
  }
}

// The signal comes while the second disk is copied: that copy ends, and the
// restore removes it, the first one and the directories it created.
TEST_F(RestoreRun, ASignalLeavesNoTemporaryAndNoCreatedDirectory) {
  const BackupDir backup = layOut("2026-03-01_00-00-00", {"vda", "vdb"});
  const std::vector<std::string> before = tree(scratch_);
  RestoreOptions opts;
  opts.backupDir = backup.path;
  opts.define = true;
  const struct {
    int signo;
    std::string text;
    std::string reason;
  } cases[] = {{SIGTERM, "Terminated", "SIGTERM"},
               {SIGINT, "Interrupt", "SIGINT (Ctrl-C)"},
               {SIGHUP, "Hangup", "SIGHUP (terminal disconnect)"}};
  for (const auto& [signo, text, reason] : cases) {
    SCOPED_TRACE(reason);
    ScriptedRunner runner;
    const Argv copyVdb = {"qemu-img", "convert", "-W", "-m",    "4",
                          "-f",       "qcow2",   "-O", "qcow2", backup.diskImage("vdb")};
    runner.on(copyVdb, answer(""), [signo = signo](const Argv& argv) {
      fs::copy_file(argv[9], argv[10]);
      raise(signo);
    });
    serveQemuImg(runner);
    runner.on({"virsh", "domstate", "web01"}, answer("shut off\n\n"));
    const RunOutcome run = restore(opts, runner);
    EXPECT_EQ(run.status, 128 + signo);
    ASSERT_FALSE(run.calls.empty());
    EXPECT_EQ(Argv(run.calls.back().begin(), run.calls.back().end() - 1), copyVdb);
    EXPECT_EQ(tree(scratch_), before);
    EXPECT_NE(run.err.find("] WARN:  Interrupted by " + text +
                           "; temporary files removed, no existing file was changed.\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.record.find(" result=interrupted from=" + backup.path + " to=web01 "),
              std::string::npos);
    EXPECT_NE(run.record.find(" reason=\"" + reason + "\"\n"), std::string::npos) << run.record;
  }
}

}  // namespace
}  // namespace quorlane
