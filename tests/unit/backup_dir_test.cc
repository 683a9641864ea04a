#include "quorlane/backup_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

class BackupDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorlane-backup-dir-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    vmDir_ = pattern;
  }
  void TearDown() override { fs::remove_all(vmDir_); }

  // A directory as a run leaves it, with the given log text (none if empty).
  BackupDir lay(const std::string& timestamp, const std::string& log) {
    const BackupDir backup = backupDirIn(vmDir_, "web01", timestamp);
    fs::create_directories(backup.path);
    if (!log.empty()) std::ofstream(backup.log()) << log;
    return backup;
  }

  std::string vmDir_;
};

TEST_F(BackupDirTest, FilesAreNamedAfterTheVmAndTheRun) {
  const BackupDir backup = backupDirIn("/b/web01", "web01", "2026-03-01_02-00-05");
  EXPECT_EQ(backup.path, "/b/web01/2026-03-01_02-00-05");
  EXPECT_EQ(backup.log(), "/b/web01/2026-03-01_02-00-05/web01-2026-03-01_02-00-05.log");
  EXPECT_EQ(backup.verbatimDefinition(), "/b/web01/2026-03-01_02-00-05/web01.xml.backup");
  EXPECT_EQ(backup.correctedDefinition(), "/b/web01/2026-03-01_02-00-05/web01.xml");
  EXPECT_EQ(backup.diskImage("vda"), "/b/web01/2026-03-01_02-00-05/web01-vda.qcow2");
  EXPECT_EQ(backup.nvram(), "/b/web01/2026-03-01_02-00-05/web01-nvram.fd");
}

// Only the logger's framed line marks a finished copy; a directory without
// the run's own log was not completed by this tool.
TEST_F(BackupDirTest, CompleteOnlyWithTheFramedLineInTheRunsOwnLog) {
  const std::string framed = "[2026-03-01 02:05:12] " + std::string(kDisksCopiedMessage) + "\n";
  EXPECT_TRUE(lay("2026-03-01_00-00-00", "[t] start\n" + framed).complete());
  EXPECT_FALSE(lay("2026-03-02_00-00-00", "[t] start\n").complete());
  EXPECT_FALSE(lay("2026-03-03_00-00-00", std::string(kDisksCopiedMessage) + "\n").complete());
  EXPECT_FALSE(lay("2026-03-04_00-00-00", "").complete());
  const BackupDir other = lay("2026-03-05_00-00-00", "");
  std::ofstream(fs::path(other.path) / "web01-2026-03-01_00-00-00.log") << framed;
  EXPECT_FALSE(other.complete());
}

TEST_F(BackupDirTest, ListsTimestampDirectoriesNewestFirstAndNothingElse) {
  lay("2026-03-01_00-00-00", "");
  lay("2026-03-03_00-00-00", "");
  fs::create_directories(fs::path(vmDir_) / "notes");
  fs::create_directories(fs::path(vmDir_) / "2026-03-04_00-00-0x");
  std::ofstream(fs::path(vmDir_) / "2026-03-05_00-00-00") << "a file";
  fs::create_directory_symlink(fs::path(vmDir_) / "2026-03-01_00-00-00",
                               fs::path(vmDir_) / "2026-03-02_00-00-00");
  std::vector<std::string> names;
  for (const BackupDir& backup : listBackups(vmDir_, "web01")) {
    EXPECT_EQ(backup.vm, "web01");
    EXPECT_EQ(backup.path, vmDir_ + "/" + backup.timestamp);
    names.push_back(backup.timestamp);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"2026-03-03_00-00-00", "2026-03-02_00-00-00",
                                             "2026-03-01_00-00-00"}));
  EXPECT_TRUE(listBackups(vmDir_ + "/missing", "web01").empty());
}

TEST_F(BackupDirTest, ImageTargetsComeFromTheImageFileNames) {
  const BackupDir backup = lay("2026-03-01_00-00-00", "");
  for (const char* name : {"web01-vdb.qcow2", "web01-vda.qcow2", "web01-.qcow2", "db01-vdc.qcow2",
                           "web01-vdd.qcow2.quorlane-restore-tmp", "web01.xml"}) {
    std::ofstream(fs::path(backup.path) / name) << "x";
  }
  EXPECT_EQ(backup.imageTargets(), (std::vector<std::string>{"vda", "vdb"}));
}

}  // namespace
}  // namespace quorlane
