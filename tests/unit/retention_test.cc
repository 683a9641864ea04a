#include "quorlane/retention.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;

using Names = std::vector<std::string>;

class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-retention-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    vmDir_ = pattern;
  }
  void TearDown() override { fs::remove_all(vmDir_); }

  // A backup as a run leaves it: made with --incremental when it has a
  // kind, an incremental one when it also has a parent.
  BackupDir lay(const std::string& day, const std::string& kind = "",
                const std::string& parentDay = "", bool complete = true) {
    const BackupDir backup = backupDirIn(vmDir_, "web01", name(day));
    fs::create_directories(backup.path);
    std::ofstream(backup.log()) << "[2026-01-01 00:00:00] "
                                << (complete ? kDisksCopiedMessage : "Step 6") << "\n";
    std::ofstream(backup.diskImage("vda")) << "image";
    if (!kind.empty()) {
      const ChainRecord record{kind == "full" ? BackupKind::kFull : BackupKind::kIncremental,
                               parentDay.empty() ? "" : name(parentDay),
                               checkpointName(backup.timestamp),
                               {{"vda", 1}}};
      std::ofstream(backup.chainFile()) << formatChainRecord(record);
    }
    return backup;
  }
  static std::string name(const std::string& day) { return "2026-01-" + day + "_00-00-00"; }
  static Names names(const std::vector<std::string>& days) {
    Names result;
    for (const std::string& day : days) result.push_back(name(day));
    return result;
  }
  RetentionPlan plan(long keep, const std::string& day, const std::string& parentDay = "") {
    return planRetention(vmDir_, "web01", keep,
                         {name(day), parentDay.empty() ? "" : name(parentDay)});
  }

  std::string vmDir_;
};

TEST_F(RetentionTest, TheNewBackupTakesTheFirstPlace) {
  for (const char* day : {"01", "02", "03", "04"}) lay(day);
  const RetentionPlan forecast = plan(3, "05");
  EXPECT_EQ(forecast.counted, 4u);
  EXPECT_EQ(forecast.deleted, names({"02", "01"}));
  lay("05");
  const RetentionPlan written = plan(3, "05");
  EXPECT_EQ(written.counted, 5u);
  EXPECT_EQ(written.deleted, forecast.deleted);
}

// The chain of a new incremental backup stays, before and after it is written.
TEST_F(RetentionTest, AnIncrementalKeepsTheChainOfItsParent) {
  lay("01", "full");
  lay("02", "incremental", "01");
  lay("03");
  lay("04");
  EXPECT_EQ(plan(2, "05", "02").deleted, names({"03"}));
  EXPECT_EQ(plan(2, "05").deleted, names({"03", "02", "01"}));
  lay("05", "incremental", "02");
  EXPECT_EQ(plan(2, "05", "02").deleted, names({"03"}));
  EXPECT_EQ(plan(1, "05", "02").deleted, names({"04", "03"}));
}

TEST_F(RetentionTest, UnfinishedAndPinnedBackupsNeitherCountNorGo) {
  lay("01");
  lay("02");
  lay("03", "", "", false);
  const BackupDir pinned = lay("04");
  std::ofstream(pinned.pinFile("web01-copy")) << formatPin({"web01-copy", {}, {}});
  const RetentionPlan forecast = plan(1, "05");
  EXPECT_EQ(forecast.counted, 2u);
  EXPECT_EQ(forecast.deleted, names({"02", "01"}));
}

}  // namespace
}  // namespace quorlane
