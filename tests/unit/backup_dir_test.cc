#include "quorlane/backup_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
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

TEST(ChainRecord, ReadsWhatItWritesAndRefusesWhatNoRunWrites) {
  const ChainRecord incremental{BackupKind::kIncremental,
                                "2026-03-01_00-00-00",
                                "quorlane-2026-03-02_00-00-00",
                                {{"vda", 1u << 30}, {"vdb", 512}}};
  EXPECT_EQ(
      formatChainRecord(incremental),
      "kind=incremental\nparent=2026-03-01_00-00-00\ncheckpoint=quorlane-2026-03-02_00-00-00\n"
      "disk=vda 1073741824\ndisk=vdb 512\n");
  EXPECT_EQ(parseChainRecord(formatChainRecord(incremental)), incremental);
  for (const char* text :
       {"", "kind=differential\n", "kind=incremental\n", "kind=incremental\nparent=yesterday\n",
        "kind=full\nparent=2026-03-01_00-00-00\n", "kind=full\ndisk=vda\n"}) {
    EXPECT_FALSE(parseChainRecord(text)) << text;
  }
  EXPECT_EQ(checkpointTimestamp("quorlane-2026-03-02_00-00-00"), "2026-03-02_00-00-00");
  EXPECT_EQ(checkpointTimestamp("quorlane-nightly"), "");
  EXPECT_EQ(checkpointTimestamp("2026-03-02_00-00-00"), "");
}

// A pin names what the restore opened to QEMU, paths with blanks included,
// so that the end of the copy puts the exact modes back.
TEST(Pin, ReadsWhatItWrites) {
  const Pin pin{"web01 copy",
                {{"vda", "/var/lib/libvirt/images/web01 copy-vda.qcow2"}},
                {{"/srv/my backups/web01", 0700, 0, 0}, {"/srv/my backups", 02750, 10, 20}}};
  EXPECT_EQ(parsePin(formatPin(pin)), pin);
  EXPECT_FALSE(parsePin("image=vda /x\n"));
  EXPECT_FALSE(parsePin("vm=a\nopened=rwx 0 0 /x\n"));
}

// A chain of complete backups on disk: name to parent (empty for a full one).
class ChainTest : public BackupDirTest {
 protected:
  void chain(const std::map<std::string, std::string>& parents) {
    const std::string framed = "[2026-03-01 02:05:12] " + std::string(kDisksCopiedMessage) + "\n";
    for (const auto& [name, parent] : parents) {
      const BackupDir backup = lay(name, framed);
      std::ofstream(backup.diskImage("vda")) << "image";
      const ChainRecord record{parent.empty() ? BackupKind::kFull : BackupKind::kIncremental,
                               parent,
                               checkpointName(name),
                               {{"vda", 1}}};
      std::ofstream(backup.chainFile()) << formatChainRecord(record);
    }
  }
  std::vector<std::string> members(const std::string& name) {
    std::vector<std::string> names;
    for (const BackupDir& b : chainOf(backupDirIn(vmDir_, "web01", name)).members) {
      names.push_back(b.timestamp);
    }
    return names;
  }
};

TEST_F(ChainTest, WalksFromAnIncrementalDownToItsFullBackup) {
  chain({{"2026-03-01_00-00-00", ""},
         {"2026-03-02_00-00-00", "2026-03-01_00-00-00"},
         {"2026-03-03_00-00-00", "2026-03-02_00-00-00"}});
  EXPECT_EQ(members("2026-03-03_00-00-00"),
            (std::vector<std::string>{"2026-03-03_00-00-00", "2026-03-02_00-00-00",
                                      "2026-03-01_00-00-00"}));
  EXPECT_EQ(chainOf(backupDirIn(vmDir_, "web01", "2026-03-03_00-00-00")).fault, "");
  fs::remove(backupDirIn(vmDir_, "web01", "2026-03-01_00-00-00").diskImage("vda"));
  EXPECT_EQ(chainOf(backupDirIn(vmDir_, "web01", "2026-03-03_00-00-00")).fault,
            "backup 2026-03-01_00-00-00 of the chain lacks its image of vda: " + vmDir_ +
                "/2026-03-01_00-00-00/web01-vda.qcow2");
}

TEST_F(ChainTest, RetentionKeepsTheNewestAndWhatTheyDependOn) {
  chain({{"2026-03-01_00-00-00", ""},
         {"2026-03-02_00-00-00", "2026-03-01_00-00-00"},
         {"2026-03-03_00-00-00", ""},
         {"2026-03-04_00-00-00", "2026-03-03_00-00-00"},
         {"2026-03-05_00-00-00", ""}});
  const std::vector<BackupDir> all = listBackups(vmDir_, "web01");
  EXPECT_EQ(backupsToPrune(all, 2, "2026-03-05_00-00-00"),
            (std::vector<std::string>{"2026-03-02_00-00-00", "2026-03-01_00-00-00"}));
  EXPECT_EQ(backupsToPrune(all, 1, "2026-03-05_00-00-00"),
            (std::vector<std::string>{"2026-03-04_00-00-00", "2026-03-03_00-00-00",
                                      "2026-03-02_00-00-00", "2026-03-01_00-00-00"}));
  // The run's own backup keeps its place whatever its name says.
  EXPECT_EQ(backupsToPrune(all, 1, "2026-03-02_00-00-00"),
            (std::vector<std::string>{"2026-03-05_00-00-00", "2026-03-04_00-00-00",
                                      "2026-03-03_00-00-00"}));
}

}  // namespace
}  // namespace quorlane
