#include "quorlane/live_restore.h"

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
using test_support::modeOf;
using test_support::RunOutcome;
using test_support::ScriptedRunner;
using test_support::tree;

const std::string kBacked = "{\"backing-filename\": \"backup\"}\n";

// libvirt's definition of the started VM: its disk reads from the backup.
std::string runningDefinition(const std::string& image, const std::string& backing) {
  return "<domain type='kvm'><name>copy</name><devices><disk type='file' device='disk'>"
         "<source file='" +
         image + "' index='1'/><backingStore type='file' index='2'><source file='" + backing +
         "'/></backingStore><target dev='vda' bus='virtio'/></disk></devices></domain>\n";
}

Argv removeNote(const std::string& flag) {
  return {"virsh", "metadata", "copy", "--uri", "urn:quorlane:live-restore", "--remove", flag};
}

class LiveRestoreRun : public test_support::RestoreSandbox {
 protected:
  RunOutcome liveRestore(RestoreOptions opts, const ScriptedRunner& runner) {
    return runSandboxed(
        [&](Logger& log, CommandRunner& commands) {
          return LiveRestore(opts, log, commands).run();
        },
        runner);
  }
};

// Stopped while libvirt pulls the data in, the copy runs on, its backup
// pinned and open to QEMU. --finish cancels the pull that libvirt still runs
// and issues it again; once nothing reads from the backup the VM's images
// are written out, its definitions lose the note of the backup, and the
// backup is unpinned and closed again.
TEST_F(LiveRestoreRun, StoppedDuringTheCopyAndFinished) {
  const BackupDir backup = layOut("2026-03-01_00-00-00", {"vda"});
  const std::string copies = scratch_ + "/copies";
  fs::create_directories(copies);
  const std::string image = copies + "/copy-vda.qcow2";
  const std::string backing = backup.diskImage("vda");
  ScriptedRunner live;
  serveQemuImg(live);
  live.on({"virsh", "domstate", "copy"}, failure("error: failed to get domain 'copy'\n"));
  live.on({"qemu-img", "create"}, answer(""),
          [](const Argv& argv) { std::ofstream(argv[8]) << "reads from the backup"; });
  live.on({"virsh", "dumpxml", "copy"}, answer(runningDefinition(image, backing)));
  live.on({"qemu-img", "info", "-U"}, answer(kBacked));
  live.on({"virsh", "blockpull"}, answer(""), [](const Argv&) { raise(SIGTERM); });
  RestoreOptions opts;
  opts.backupDir = backup.path;
  opts.asName = "copy";
  opts.imageDir = copies;
  opts.live = opts.define = opts.start = true;
  opts.bandwidth = "20";
  const RunOutcome stopped = liveRestore(opts, live);
  EXPECT_EQ(stopped.status, 143) << stopped.err;
  EXPECT_EQ(stopped.calls,
            (std::vector<Argv>{{"qemu-img", "--version"},
                               {"qemu-img", "check", "-q", "-f", "qcow2", backing},
                               {"qemu-img", "info", "--output=json", "-f", "qcow2", backing},
                               {"virsh", "domstate", "copy"},
                               {"qemu-img", "create", "-f", "qcow2", "-F", "qcow2", "-b", backing,
                                image + ".quorlane-restore-tmp", "65536"},
                               {"virsh", "define", copies + "/copy.xml"},
                               {"virsh", "start", "copy"},
                               {"virsh", "dumpxml", "copy"},
                               {"qemu-img", "info", "-U", "--output=json", image},
                               {"virsh", "blockjob", "copy", "vda", "--info"},
                               {"virsh", "domblkinfo", "copy", "vda"},
                               {"virsh", "blockpull", "copy", "vda", "--wait", "--verbose",
                                "--bandwidth", "20"}}));
  EXPECT_TRUE(fs::exists(backup.pinFile("copy")));
  EXPECT_EQ(modeOf(backup.path), 0701u);
  EXPECT_EQ(modeOf(scratch_), 0701u);
  EXPECT_NE(stopped.record.find(" result=interrupted from=" + backup.path +
                                " to=copy mode=live duration="),
            std::string::npos)
      << stopped.record;

  ScriptedRunner finish;
  finish.on({"virsh", "domstate", "copy"}, answer("running\n\n"));
  // libvirt keeps the definition that the restore wrote, with its note.
  finish.on({"virsh", "dumpxml", "copy"}, answer(fileText(copies + "/copy.xml")));
  finish.on({"qemu-img", "info", "-U"}, answer(kBacked), {}, 2);
  finish.on({"qemu-img", "info", "-U"}, answer("{}\n"));
  finish.on({"virsh", "blockjob", "copy", "vda", "--info"}, answer("", 0, "Block Pull: [ 40 %]"));
  RestoreOptions finishing;
  finishing.finish = "copy";
  const RunOutcome finished = liveRestore(finishing, finish);
  ASSERT_EQ(finished.status, 0) << finished.err;
  EXPECT_EQ(finished.calls,
            (std::vector<Argv>{{"virsh", "domstate", "copy"},
                               {"virsh", "dumpxml", "copy"},
                               {"qemu-img", "info", "-U", "--output=json", image},
                               {"qemu-img", "info", "-U", "--output=json", image},
                               {"virsh", "blockjob", "copy", "vda", "--info"},
                               {"virsh", "blockjob", "copy", "vda", "--abort"},
                               {"virsh", "domblkinfo", "copy", "vda"},
                               {"virsh", "blockpull", "copy", "vda", "--wait", "--verbose"},
                               {"qemu-img", "info", "-U", "--output=json", image},
                               {"virsh", "domstate", "copy"},
                               {"virsh", "suspend", "copy"},
                               {"virsh", "resume", "copy"},
                               removeNote("--config"),
                               removeNote("--live")}));
  EXPECT_FALSE(fs::exists(backup.pinFile("copy")));
  EXPECT_EQ(modeOf(backup.path), 0700u);
  EXPECT_EQ(modeOf(scratch_), 0700u);
  EXPECT_EQ(tree(copies),
            (std::vector<std::string>{"copy-nvram.fd", "copy-vda.qcow2", "copy.xml"}));
  EXPECT_NE(finished.record.find(" result=success from=" + backup.path + " to=copy mode=live "),
            std::string::npos)
      << finished.record;
}

}  // namespace
}  // namespace quorlane
