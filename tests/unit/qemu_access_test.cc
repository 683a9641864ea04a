#include "quorlane/qemu_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "restore_sandbox.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;
using test_support::modeOf;

// web01's full backup and an incremental on it, below a closed root, as a
// backup run leaves them.
class QemuAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char scratch[] = "/tmp/quorlane-qemu-access-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    root_ = scratch;
    vmDir_ = root_ + "/web01";
    full_ = lay("2026-03-01_02-00-05", "");
    incremental_ = lay("2026-03-02_02-00-05", "2026-03-01_02-00-05");
  }
  void TearDown() override { fs::remove_all(root_); }

  BackupDir lay(const std::string& timestamp, const std::string& parent) {
    const BackupDir backup = backupDirIn(vmDir_, "web01", timestamp);
    fs::create_directories(backup.path);
    chmod(vmDir_.c_str(), 0700);
    chmod(backup.path.c_str(), 0700);
    std::ofstream(backup.diskImage("vda")) << "image " << timestamp;
    chmod(backup.diskImage("vda").c_str(), 0600);
    ChainRecord record;
    record.kind = parent.empty() ? BackupKind::kFull : BackupKind::kIncremental;
    record.parent = parent;
    record.diskSizes["vda"] = 65536;
    std::ofstream(backup.chainFile()) << formatChainRecord(record);
    std::ofstream(backup.log()) << "[2026-03-01 02:05:12] " << kDisksCopiedMessage << "\n";
    return backup;
  }

  std::string record() const { return vmDir_ + "/qemu-access"; }

  std::string root_;
  std::string vmDir_;
  BackupDir full_;
  BackupDir incremental_;
  Logger log_;
};

TEST_F(QemuAccessTest, TheChainsImagesAndClosedDirectoriesAreOpenedAndTheLastReaderPutsThemBack) {
  const std::vector<FileMode> files = chainFilesForQemu(incremental_, {"vda"});
  std::vector<std::string> paths;
  for (const FileMode& file : files) paths.push_back(file.path);
  for (const std::string& path : {incremental_.diskImage("vda"), full_.diskImage("vda"),
                                  incremental_.path, full_.path, vmDir_}) {
    EXPECT_EQ(std::count(paths.begin(), paths.end(), absolutePath(path)), 1) << path;
  }

  std::optional<QemuAccess> first(std::in_place, incremental_, log_);
  EXPECT_EQ(modeOf(vmDir_), 0701u);
  EXPECT_EQ(modeOf(full_.path), 0701u);
  // As libvirt hands an image to QEMU's user.
  chmod(full_.diskImage("vda").c_str(), 0644);
  // A live restore that starts now must put back what the appliance found.
  EXPECT_EQ(chainFilesForQemu(incremental_, {"vda"}), files);
  std::optional<QemuAccess> second(std::in_place, full_, log_);
  first.reset();
  EXPECT_EQ(modeOf(full_.path), 0701u) << "the second reader still reads";
  second.reset();
  EXPECT_EQ(modeOf(vmDir_), 0700u);
  EXPECT_EQ(modeOf(full_.path), 0700u);
  EXPECT_EQ(modeOf(incremental_.path), 0700u);
  EXPECT_EQ(modeOf(full_.diskImage("vda")), 0600u) << "as the first reader found it";
  EXPECT_FALSE(fs::exists(record()));
  EXPECT_FALSE(fs::exists(vmDir_ + "/qemu-access.readers"));
}

TEST_F(QemuAccessTest, WhatAKilledRunLeftOpenIsPutBackByTheNextLastOneOut) {
  ASSERT_EQ(writeFile(record(), formatFileMode({absolutePath(full_.path), 0700, 0, 0}) + "\n" +
                                    formatFileMode({absolutePath(vmDir_), 0750, 0, 0}) + "\n"),
            WriteOutcome::kWritten);
  chmod(full_.path.c_str(), 0701);
  chmod(vmDir_.c_str(), 0751);
  { const QemuAccess access(incremental_, log_); }
  EXPECT_EQ(modeOf(full_.path), 0700u);
  EXPECT_EQ(modeOf(vmDir_), 0750u);
  EXPECT_EQ(modeOf(incremental_.path), 0700u);
  EXPECT_FALSE(fs::exists(record()));
}

}  // namespace
}  // namespace quorlane
