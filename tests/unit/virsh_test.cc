#include "quorlane/virsh.h"

#include <gtest/gtest.h>

#include <string>

#include "scripted_runner.h"

namespace quorlane {
namespace {

TEST(DomainState, ReadsLibvirtsWordsWithAndWithoutAReason) {
  const DomainState running = parseDomainState("running\n\n");
  EXPECT_EQ(running.power, PowerState::kRunning);
  EXPECT_EQ(running.text, "running");
  EXPECT_EQ(running.reason, "");
  EXPECT_EQ(parseDomainState("shut off\n").power, PowerState::kShutOff);
  EXPECT_EQ(parseDomainState("in shutdown\n").power, PowerState::kShuttingDown);
  const DomainState paused = parseDomainState("paused (I/O error)\n\n");
  EXPECT_EQ(paused.power, PowerState::kPaused);
  EXPECT_EQ(paused.text, "paused (I/O error)");
  EXPECT_EQ(paused.reason, "I/O error");
}

// A translated answer (a virsh run outside the C locale) or none at all is
// never taken for a state.
TEST(DomainState, AnythingElseIsUnknown) {
  for (const char* output :
       {"laufend\n", "en cours d’exécution\n", "", "Running\n", "running x\n"}) {
    EXPECT_EQ(parseDomainState(output).power, PowerState::kUnknown) << output;
  }
}

TEST(DiskList, ReadsDisksWithWholeSourcesAndSkipsTheRest) {
  const std::string output =
      " Type   Device   Target   Source\n"
      "------------------------------------------------\n"
      " file   disk     vda      /var/lib/libvirt/images/web 01.qcow2\n"
      " block  disk     vdb      /dev/vg0/web01-data\n"
      " file   cdrom    sda      /iso/debian.iso\n"
      " file   disk     vdc      -\n";
  EXPECT_EQ(parseDiskList(output),
            (std::map<std::string, std::string>{{"vda", "/var/lib/libvirt/images/web 01.qcow2"},
                                                {"vdb", "/dev/vg0/web01-data"}}));
}

TEST(Checkpoint, IntactOnlyWhenEveryBitmapOfItsOwnDisksHasASize) {
  const std::string intact =
      "<domaincheckpoint>\n  <name>c</name>\n  <disks>\n"
      "    <disk name='vda' checkpoint='bitmap' bitmap='c' size='1048576'/>\n"
      "    <disk name='sda' checkpoint='no'/>\n  </disks>\n"
      "  <domain type='kvm'><devices><disk type='file' device='disk'/></devices></domain>\n"
      "</domaincheckpoint>\n";
  EXPECT_TRUE(parseCheckpointIntact(intact));
  std::string lost = intact;
  lost.replace(lost.find(" size='1048576'"), 15, "");
  EXPECT_FALSE(parseCheckpointIntact(lost));
  EXPECT_FALSE(parseCheckpointIntact("<domaincheckpoint><name>c</name></domaincheckpoint>"));
}

TEST(JobInfo, ReadsTheTypeAndTheError) {
  const JobInfo failed = parseJobInfo(
      "Job type:         Failed      \nOperation:        Backup      \n"
      "Error message:    No space left on device\n\n");
  EXPECT_EQ(failed.type, "Failed");
  EXPECT_EQ(failed.error, "No space left on device");
  EXPECT_EQ(parseJobInfo("Job type:         None        \n\n").type, "None");
}

TEST(DomainLookup, TellsDefinedUndefinedAndUnreachableApart) {
  test_support::ScriptedRunner runner;
  const Virsh virsh(runner);
  runner.on({"virsh", "domstate", "web01"}, test_support::answer("shut off\n\n"));
  runner.on({"virsh", "domstate", "gone"},
            test_support::failure("error: failed to get domain 'gone'\n"));
  runner.on({"virsh", "domstate", "down"},
            test_support::failure("error: failed to connect to the hypervisor\n"
                                  "error: Failed to connect socket\n"));
  runner.on({"virsh", "domstate", "novirsh"}, test_support::failure("", 127));
  const DomainLookup lookup = virsh.lookup("web01");
  EXPECT_EQ(lookup.presence, Presence::kDefined);
  EXPECT_EQ(lookup.state.power, PowerState::kShutOff);
  EXPECT_EQ(virsh.lookup("gone").presence, Presence::kUndefined);
  const DomainLookup down = virsh.lookup("down");
  EXPECT_EQ(down.presence, Presence::kNoAnswer);
  EXPECT_EQ(down.error, "error: failed to connect to the hypervisor");
  EXPECT_EQ(virsh.lookup("novirsh").presence, Presence::kNoVirsh);
}

TEST(BlockPull, ReadsTheLastPercentage) {
  EXPECT_EQ(parseBlockPullPercent("\rBlock Pull: [  3 %]\rBlock Pull: [ 45 %]"), 45);
  EXPECT_EQ(parseBlockPullPercent(""), -1);
}

}  // namespace
}  // namespace quorlane
