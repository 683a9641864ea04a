#include "quorlane/sync_plan.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

const std::string kDone = "[2026-03-01 02:05:12] " + std::string(kDisksCopiedMessage) + "\n";

class SyncPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-sync-plan-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    vmDir_ = pattern;
  }
  void TearDown() override { fs::remove_all(vmDir_); }

  // A complete local backup with an image, and what a remote holding an
  // exact copy of it would list.
  BackupDir lay(const std::string& ts, RemoteListing* copy = nullptr) {
    const BackupDir backup = backupDirIn(vmDir_, "web01", ts);
    fs::create_directories(backup.path);
    std::ofstream(backup.diskImage("vda")) << "image of " << ts;
    std::ofstream(backup.log()) << kDone;
    if (copy != nullptr) {
      for (const std::string& file : {diskImageName("web01", "vda"), backupLogName("web01", ts)}) {
        (*copy)[file] = *localFile(fs::path(backup.path) / file);
      }
    }
    return backup;
  }

  std::string vmDir_;
};

TEST_F(SyncPlanTest, PushesWhatIsNotCompleteAndTheSameThereOldestFirst) {
  RemoteListing first, second, third;
  const std::vector<BackupDir> local = {lay("2026-01-03_00-00-00", &third),
                                        lay("2026-01-02_00-00-00", &second),
                                        lay("2026-01-01_00-00-00", &first)};
  third.erase(backupLogName("web01", "2026-01-03_00-00-00"));  // a push cut short
  second[diskImageName("web01", "vda")].size += 1;             // changed on the remote
  const std::vector<PushItem> plan = planPush(local, {{"2026-01-01_00-00-00", first},
                                                      {"2026-01-02_00-00-00", second},
                                                      {"2026-01-03_00-00-00", third}});
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].timestamp, "2026-01-02_00-00-00");
  EXPECT_TRUE(plan[0].repair);
  EXPECT_EQ(plan[1].timestamp, "2026-01-03_00-00-00");
  EXPECT_FALSE(plan[1].repair);
  EXPECT_EQ(plan[1].files,
            (std::vector<std::string>{"web01-vda.qcow2", "web01-2026-01-03_00-00-00.log"}));
}

TEST(SyncFiles, TheLogTravelsLastAndPinsStayHome) {
  EXPECT_EQ(
      travellingFiles(
          {"web01-2026-01-01_00-00-00.log", "web01.xml", "live-restore-x.pin", "web01-vda.qcow2"},
          "web01", "2026-01-01_00-00-00"),
      (std::vector<std::string>{"web01-vda.qcow2", "web01.xml", "web01-2026-01-01_00-00-00.log"}));
}

TEST(SyncRemote, GroupsByBackupAndCountsOnlyThoseWithTheirLog) {
  const auto backups =
      remoteBackups({{"2026-01-01_00-00-00/web01-vda.qcow2", {1, "t"}},
                     {"2026-01-01_00-00-00/web01-2026-01-01_00-00-00.log", {1, "t"}},
                     {"2026-01-02_00-00-00/web01-vda.qcow2", {1, "t"}},
                     {"notes/readme", {1, "t"}}});
  ASSERT_EQ(backups.size(), 2u);
  EXPECT_TRUE(remoteComplete("web01", "2026-01-01_00-00-00", backups.at("2026-01-01_00-00-00")));
  EXPECT_FALSE(remoteComplete("web01", "2026-01-02_00-00-00", backups.at("2026-01-02_00-00-00")));
  EXPECT_EQ(staleLeftovers("web01", backups), std::vector<std::string>{});
  auto later = backups;
  later["2026-01-03_00-00-00"] = {{"web01-2026-01-03_00-00-00.log", {1, "t"}}};
  EXPECT_EQ(staleLeftovers("web01", later), std::vector<std::string>{"2026-01-02_00-00-00"});
}

TEST(SyncRetention, KeepsTheNewestAndEveryBackupTheyDependOn) {
  const std::map<std::string, std::string> parents = {
      {"2026-01-01_00-00-00", ""},
      {"2026-01-02_00-00-00", "2026-01-01_00-00-00"},
      {"2026-01-03_00-00-00", ""},
      {"2026-01-04_00-00-00", "2026-01-03_00-00-00"},
      {"2026-01-05_00-00-00", "2026-01-04_00-00-00"}};
  EXPECT_EQ(prunePlan(parents, 1),
            (std::vector<std::string>{"2026-01-02_00-00-00", "2026-01-01_00-00-00"}));
  EXPECT_EQ(prunePlan(parents, 4), std::vector<std::string>{});
  EXPECT_EQ(prunePlan({{"2026-01-01_00-00-00", ""}, {"2026-01-02_00-00-00", ""}}, 1),
            std::vector<std::string>{"2026-01-01_00-00-00"});
}

TEST(SyncPull, TakesTheChainOldestFirstAndNamesAMissingParent) {
  std::map<std::string, std::string> parents = {{"2026-01-01_00-00-00", ""},
                                                {"2026-01-02_00-00-00", "2026-01-01_00-00-00"},
                                                {"2026-01-03_00-00-00", "2026-01-02_00-00-00"}};
  std::string missing;
  EXPECT_EQ(chainToPull("2026-01-03_00-00-00", parents, missing),
            (std::vector<std::string>{"2026-01-01_00-00-00", "2026-01-02_00-00-00",
                                      "2026-01-03_00-00-00"}));
  parents.erase("2026-01-01_00-00-00");
  EXPECT_FALSE(chainToPull("2026-01-03_00-00-00", parents, missing));
  EXPECT_EQ(missing, "2026-01-01_00-00-00");
  parents["2026-01-01_00-00-00"] = "2026-01-03_00-00-00";  // a loop never ends a pull
  EXPECT_FALSE(chainToPull("2026-01-03_00-00-00", parents, missing));
}

}  // namespace
}  // namespace quorlane
