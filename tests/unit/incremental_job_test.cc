#include "quorlane/incremental_job.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quorlane/backup_error.h"
#include "scripted_runner.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;
using test_support::answer;
using test_support::Argv;
using test_support::failure;

const std::string kParent = "2026-01-01_00-00-00";
const std::string kOwn = "2026-01-02_00-00-00";

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class IncrementalJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-job-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    backup_ = backupDirIn(root_ + "/web01", "web01", kOwn);
    fs::create_directories(backup_.path);
    base_ = root_ + "/images/web01.qcow2";
    scratch_ = root_ + "/images/web01-vda.quorlane-backup-scratch.qcow2";
    fs::create_directories(root_ + "/images");
    runner_.on({"qemu-img", "create"}, answer(""),
               [](const Argv& argv) { std::ofstream(argv[4]) << "scratch"; });
    runner_.on({"virsh", "backup-begin"}, answer(""), [this](const Argv& argv) {
      definitions_ = contentOf(argv[3]) + contentOf(argv[4]);
    });
    runner_.on({"virsh", "domjobinfo", "web01", "--completed"}, answer("Job type: Completed\n"));
    runner_.on({"virsh", "domjobinfo", "web01"}, answer("Job type: None\n"));
    runner_.on({"qemu-img", "convert"}, answer(""),
               [](const Argv& argv) { std::ofstream(argv.back()) << "image"; });
  }
  void TearDown() override { fs::remove_all(root_); }

  IncrementalJob job() {
    return IncrementalJob(virsh_, qemuImg_, log_, backup_, kParent, {{"vda", base_}},
                          {{"vda", 1024}}, checkpoint_, 4);
  }

  std::string root_;
  BackupDir backup_;
  std::string base_;
  std::string scratch_;
  std::string definitions_;
  test_support::ScriptedRunner runner_;
  Virsh virsh_{runner_};
  QemuImg qemuImg_{runner_};
  Logger log_;
  Checkpoint checkpoint_{virsh_, log_, "web01", "quorlane-" + kOwn};
};

TEST_F(IncrementalJobTest, CopiesTheChangedBlocksOntoTheParentAndLeavesOnlyTheImage) {
  runner_.first({"virsh", "domjobinfo", "web01"}, answer("Job type: Unbounded\n"), {}, 1);
  std::vector<Argv> checked;
  {
    IncrementalJob incremental = job();
    incremental.begin(false);
    EXPECT_TRUE(incremental.started());
    EXPECT_TRUE(checkpoint_.exists());
    incremental.copyChangedBlocks(
        [&](const std::string& target, const std::string& source, const CommandResult& result) {
          checked.push_back({target, source, result.ok() ? "ok" : "failed"});
        });
  }
  const std::string image = backup_.diskImage("vda");
  const std::string parentImage = root_ + "/web01/" + kParent + "/web01-vda.qcow2";
  EXPECT_EQ(runner_.calls,
            (std::vector<Argv>{
                {"qemu-img", "create", "-f", "qcow2", scratch_, "1024"},
                {"virsh", "backup-begin", "web01", backup_.backupJobFile(),
                 backup_.checkpointFile(), "--reuse-external"},
                {"virsh", "domjobinfo", "web01"},
                {"virsh", "domjobinfo", "web01"},
                {"virsh", "domjobinfo", "web01", "--completed"},
                {"qemu-img", "rebase", "-u", "-F", "qcow2", "-b", parentImage, scratch_},
                {"qemu-img", "convert", "-W", "-m", "4", "-O", "qcow2", "-c", "-o",
                 "compression_type=zstd", "-B", "../" + kParent + "/web01-vda.qcow2", "-F", "qcow2",
                 scratch_, image},
                {"virsh", "domjobinfo", "web01"},
            }));
  EXPECT_EQ(checked, (std::vector<Argv>{{"vda", scratch_, "ok"}}));
  EXPECT_EQ(definitions_,
            "<domainbackup mode='push'>\n  <incremental>quorlane-" + kParent +
                "</incremental>\n  <disks>\n    <disk name='vda' backup='yes' type='file'>\n"
                "      <driver type='qcow2'/>\n      <target file='" +
                scratch_ +
                "'/>\n    </disk>\n  </disks>\n</domainbackup>\n"
                "<domaincheckpoint>\n  <name>quorlane-" +
                kOwn +
                "</name>\n  <disks>\n    <disk name='vda' checkpoint='bitmap'/>\n"
                "  </disks>\n</domaincheckpoint>\n");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(backup_.path)) left.push_back(entry.path());
  EXPECT_EQ(left, (std::vector<std::string>{image}));
  EXPECT_FALSE(fs::exists(scratch_));
}

// The guest's file systems are thawed whether or not the job began, and only
// a job that began took the checkpoint.
TEST_F(IncrementalJobTest, AFreezeEndsWhateverTheBeginDid) {
  runner_.first({"virsh", "backup-begin"}, failure("error: no space\n"), {}, 1);
  IncrementalJob refused = job();
  try {
    refused.begin(true);
    ADD_FAILURE() << "a refused job began";
  } catch (const BackupError& e) {
    EXPECT_STREQ(e.what(), "Failed to start the backup job on VM 'web01': error: no space");
  }
  EXPECT_FALSE(refused.started());
  EXPECT_FALSE(checkpoint_.exists());
  EXPECT_EQ(runner_.callsTo({"virsh", "domfsthaw", "web01"}).size(), 1u);

  runner_.first({"virsh", "domfsthaw"}, failure("error: agent gone\n"), {}, 1);
  IncrementalJob frozen = job();
  try {
    frozen.begin(true);
    ADD_FAILURE() << "a guest left frozen went unreported";
  } catch (const BackupError& e) {
    EXPECT_TRUE(e.alreadyReported());
  }
  EXPECT_TRUE(frozen.started());
  EXPECT_TRUE(checkpoint_.exists());
}

// A backup root named relative to the working directory (-r ./backups).
TEST_F(IncrementalJobTest, TheScratchImageNamesItsParentByAnAbsolutePath) {
  const fs::path cwd = fs::current_path();
  fs::current_path(root_);
  backup_ = backupDirIn("web01", "web01", kOwn);
  {
    IncrementalJob incremental = job();
    incremental.begin(false);
    incremental.copyChangedBlocks(
        [](const std::string&, const std::string&, const CommandResult&) {});
  }
  fs::current_path(cwd);
  EXPECT_EQ(runner_.callsTo({"qemu-img", "rebase"}),
            (std::vector<Argv>{{"qemu-img", "rebase", "-u", "-F", "qcow2", "-b",
                                root_ + "/web01/" + kParent + "/web01-vda.qcow2", scratch_}}));
}

// The abort returns before QEMU has cancelled the job's block jobs: the
// release waits for the job to end.
TEST_F(IncrementalJobTest, ReleaseAbortsARunningJobOnceAndRemovesTheScratchImages) {
  runner_.first({"virsh", "domjobinfo", "web01"}, answer("Job type: Unbounded\n"));
  runner_.first({"virsh", "domjobabort", "web01"}, answer(""), [this](const Argv&) {
    runner_.first({"virsh", "domjobinfo", "web01"}, answer("Job type: None\n"));
    runner_.first({"virsh", "domjobinfo", "web01"}, answer("Job type: Unbounded\n"), {}, 1);
  });
  IncrementalJob incremental = job();
  incremental.begin(false);
  ASSERT_TRUE(fs::exists(scratch_));
  const std::size_t begun = runner_.calls.size();
  incremental.release();
  incremental.release();
  EXPECT_EQ(std::vector<Argv>(runner_.calls.begin() + begun, runner_.calls.end()),
            (std::vector<Argv>{{"virsh", "domjobinfo", "web01"},
                               {"virsh", "domjobabort", "web01"},
                               {"virsh", "domjobinfo", "web01"},
                               {"virsh", "domjobinfo", "web01"}}));
  EXPECT_FALSE(fs::exists(scratch_));
}

}  // namespace
}  // namespace quorlane
