#include "quorlane/checkpoint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorlane/backup_error.h"
#include "scripted_runner.h"

namespace quorlane {
namespace {

using test_support::Argv;
using test_support::failure;

const Argv kCreate = {"virsh", "checkpoint-create-as", "web01", "quorlane-2026-01-02_00-00-00"};
const Argv kDelete = {"virsh", "checkpoint-delete", "web01", "quorlane-2026-01-02_00-00-00"};

class CheckpointTest : public ::testing::Test {
 protected:
  test_support::ScriptedRunner runner_;
  Virsh virsh_{runner_};
  Logger log_;
};

TEST_F(CheckpointTest, GoesAgainUnlessItsBackupIsKept) {
  {
    Checkpoint checkpoint(virsh_, log_, "web01", "quorlane-2026-01-02_00-00-00");
    checkpoint.create();
    EXPECT_TRUE(checkpoint.exists());
  }
  {
    Checkpoint checkpoint(virsh_, log_, "web01", "quorlane-2026-01-02_00-00-00");
    checkpoint.takenByBackupJob();
    checkpoint.keep();
    checkpoint.release();
  }
  EXPECT_EQ(runner_.calls, (std::vector<Argv>{kCreate, kDelete}));
}

TEST_F(CheckpointTest, ARefusedOneFailsTheStepAndLeavesNothingToDelete) {
  runner_.on(kCreate, failure("error: bitmaps unsupported\n"));
  {
    Checkpoint checkpoint(virsh_, log_, "web01", "quorlane-2026-01-02_00-00-00");
    try {
      checkpoint.create();
      ADD_FAILURE() << "a refused checkpoint was created";
    } catch (const BackupError& e) {
      EXPECT_STREQ(e.what(),
                   "Failed to create checkpoint 'quorlane-2026-01-02_00-00-00' on VM 'web01': "
                   "error: bitmaps unsupported");
    }
    EXPECT_FALSE(checkpoint.exists());
  }
  EXPECT_EQ(runner_.calls, (std::vector<Argv>{kCreate}));
}

// libvirt 9.0 cannot remove the bitmaps of a checkpoint whose QEMU was
// killed: its record alone goes then.
TEST_F(CheckpointTest, DeletingFallsBackToTheRecord) {
  runner_.on(kDelete, failure("error: bitmap not found\n"), {}, 1);
  deleteCheckpoint(virsh_, log_, "web01", "quorlane-2026-01-02_00-00-00");
  Argv metadata = kDelete;
  metadata.push_back("--metadata");
  EXPECT_EQ(runner_.calls, (std::vector<Argv>{kDelete, metadata}));
}

}  // namespace
}  // namespace quorlane
