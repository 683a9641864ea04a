#include "quorlane/virsh.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

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

// lookupDomain against a virsh that answers as libvirt does.
class DomainLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-virsh-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    bin_ = pattern;
    const char* path = getenv("PATH");
    savedPath_ = path ? path : "";
    setenv("PATH", (bin_ + ":/usr/bin:/bin").c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    fs::remove_all(bin_);
  }
  void fakeVirsh(const std::string& body) {
    const std::string path = bin_ + "/virsh";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
  }

  std::string bin_;
  std::string savedPath_;
};

TEST_F(DomainLookupTest, TellsDefinedUndefinedAndUnreachableApart) {
  fakeVirsh("echo 'shut off'; echo");
  DomainLookup lookup = lookupDomain("web01");
  EXPECT_EQ(lookup.presence, Presence::kDefined);
  EXPECT_EQ(lookup.state.power, PowerState::kShutOff);

  fakeVirsh("echo \"error: failed to get domain '$2'\" >&2; exit 1");
  EXPECT_EQ(lookupDomain("web01").presence, Presence::kUndefined);

  fakeVirsh(
      "echo 'error: failed to connect to the hypervisor' >&2;"
      "echo 'error: Failed to connect socket' >&2; exit 1");
  lookup = lookupDomain("web01");
  EXPECT_EQ(lookup.presence, Presence::kNoAnswer);
  EXPECT_EQ(lookup.error, "error: failed to connect to the hypervisor");

  fs::remove(bin_ + "/virsh");
  setenv("PATH", bin_.c_str(), 1);
  EXPECT_EQ(lookupDomain("web01").presence, Presence::kNoVirsh);
}

}  // namespace
}  // namespace quorlane
