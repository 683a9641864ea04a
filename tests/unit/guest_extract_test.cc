#include "quorlane/guest_extract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_guest_fs.h"
#include "quorlane/backup_error.h"
#include "restore_sandbox.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;
using test_support::RawTarEntry;
using test_support::tree;

// A scratch directory with the extraction's target in it, so that anything
// written beside the target shows.
class ExtractTar : public ::testing::Test {
 protected:
  void SetUp() override {
    char scratch[] = "/tmp/quorlane-extract-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    scratch_ = scratch;
    fs::create_directories(scratch_ + "/out");
    out_ = Fd(open((scratch_ + "/out").c_str(), O_RDONLY | O_DIRECTORY));
  }
  void TearDown() override { fs::remove_all(scratch_); }

  // Unpacks a tar stream of `entries` under `landing` and returns the warnings.
  std::vector<std::string> extract(const std::vector<RawTarEntry>& entries,
                                   const std::string& landing = "etc") {
    const std::string tar = scratch_ + "/stream.tar";
    {
      std::unique_ptr<archive, int (*)(archive*)> w(archive_write_new(), archive_write_free);
      archive_write_set_format_gnutar(w.get());
      archive_write_open_filename(w.get(), tar.c_str());
      for (const RawTarEntry& entry : entries) {
        test_support::addTarEntry(w.get(), entry,
                                  {entry.mode, 0, 0, 0, 1700000000, 0, 1700000000, 0});
      }
    }
    const Fd stream(open(tar.c_str(), O_RDONLY));
    std::vector<std::string> warnings;
    try {
      extractTar(stream.get(), out_.get(), landing, "/etc",
                 [&](const std::string& w) { warnings.push_back(w); });
    } catch (...) {
      fs::remove(tar);
      throw;
    }
    fs::remove(tar);
    return warnings;
  }

  std::string scratch_;
  Fd out_;
};

TEST_F(ExtractTar, WritesFilesDirectoriesAndLinksWithTheirModesAndTimes) {
  const auto warnings = extract({
      {"./", S_IFDIR | 0755},
      {"./passwd", S_IFREG | 0644, "root:x:0:0\n"},
      {"./su", S_IFREG | 06755, "binary"},
      {"./ssl/", S_IFDIR | 0700},
      {"./ssl/certs", S_IFLNK | 0777, "", "/usr/share/ca-certificates"},
      {"./ssl/same", S_IFREG | 0644, "", "", "./passwd"},
  });
  EXPECT_EQ(warnings, std::vector<std::string>{});
  EXPECT_EQ(tree(scratch_),
            (std::vector<std::string>{"out/", "out/etc/", "out/etc/passwd", "out/etc/ssl/",
                                      "out/etc/ssl/certs", "out/etc/ssl/same", "out/etc/su"}));
  const std::string etc = scratch_ + "/out/etc";
  EXPECT_EQ(test_support::fileText(etc + "/passwd"), "root:x:0:0\n");
  EXPECT_EQ(test_support::fileText(etc + "/ssl/same"), "root:x:0:0\n");
  EXPECT_EQ(fs::read_symlink(etc + "/ssl/certs"), "/usr/share/ca-certificates");
  struct stat su {};
  ASSERT_EQ(lstat((etc + "/su").c_str(), &su), 0);
  EXPECT_EQ(su.st_mode & 07777, 0755u) << "setuid and setgid are dropped";
  EXPECT_EQ(su.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(test_support::modeOf(etc + "/ssl"), 0700u);
}

TEST_F(ExtractTar, SkipsSpecialFilesAndNamesThatLeadOutWithAWarningEach) {
  const auto warnings = extract({
      {"./", S_IFDIR | 0755},
      {"./initctl", S_IFIFO | 0600},
      {"./forged\n[2026-03-01 02:00:00] ERROR: x", S_IFIFO | 0600},
      {"./null", S_IFCHR | 0666},
      {"./sda", S_IFBLK | 0660},
      {"../escaped", S_IFREG | 0644, "x"},
      {"./a/../../escaped", S_IFREG | 0644, "x"},
      {"/abs", S_IFREG | 0644, "x"},
      {"./hard", S_IFREG | 0644, "", "", "../../outside"},
      {"./kept", S_IFREG | 0644, "kept"},
  });
  EXPECT_EQ(warnings,
            (std::vector<std::string>{
                "Skipped /etc/initctl: a FIFO.",
                "Skipped /etc/forged\\n[2026-03-01 02:00:00] ERROR: x: a FIFO.",
                "Skipped /etc/null: a character device.",
                "Skipped /etc/sda: a block device.",
                "Skipped /etc/../escaped: its name leads out of the output directory.",
                "Skipped /etc/a/../../escaped: its name leads out of the output directory.",
                "Skipped /etc//abs: its name leads out of the output directory.",
                "Skipped /etc/hard: its name leads out of the output directory.",
            }));
  EXPECT_EQ(tree(scratch_), (std::vector<std::string>{"out/", "out/etc/", "out/etc/kept"}));
}

// A link pointing anywhere is written as a link; nothing is written through it.
TEST_F(ExtractTar, NeverWritesThroughALink) {
  EXPECT_THROW(extract({
                   {"./", S_IFDIR | 0755},
                   {"./up", S_IFLNK | 0777, "", scratch_},
                   {"./up/planted", S_IFREG | 0644, "x"},
               }),
               BackupError);
  EXPECT_FALSE(fs::exists(scratch_ + "/planted"));
  EXPECT_EQ(fs::read_symlink(scratch_ + "/out/etc/up"), scratch_);
}

TEST_F(ExtractTar, ARootLandsAsTheTargetsContents) {
  extract({{"./", S_IFDIR | 0755},
           {"./grub/", S_IFDIR | 0755},
           {"./grub/grub.cfg", S_IFREG | 0644, "menu"}},
          "");
  EXPECT_EQ(tree(scratch_), (std::vector<std::string>{"out/", "out/grub/", "out/grub/grub.cfg"}));
}

class Target : public ExtractTar {};

TEST_F(Target, RefusesANonEmptyOutputUnlessForcedAndNeverReplacesAnything) {
  const std::string dir = scratch_ + "/out";
  std::ofstream(dir + "/notes") << "mine";
  const auto stageOf = [](const std::function<void()>& step) {
    try {
      step();
    } catch (const BackupError& e) {
      return e.stage();
    }
    return std::string("none");
  };
  EXPECT_EQ(stageOf([&] { ExtractTarget(dir, false).check({"hosts"}); }), "unreadable");
  EXPECT_EQ(stageOf([&] { ExtractTarget(dir, true).check({"notes"}); }), "unreadable");
  std::ofstream(scratch_ + "/file") << "x";
  EXPECT_EQ(stageOf([&] { ExtractTarget(scratch_ + "/file", true).check({}); }), "failure");

  {
    ExtractTarget forced(dir, true);
    forced.check({"hosts"});
    forced.open();
    createFileAt(forced.stagingFd(), "hosts");
    EXPECT_EQ(tree(dir).size(), 3u) << "the staging directory, its file, and notes";
    forced.commit();
  }
  EXPECT_EQ(tree(dir), (std::vector<std::string>{"hosts", "notes"}));
  // A name known only once written (a file system's root) is refused at the end.
  {
    ExtractTarget forced(dir, true);
    forced.check({""});
    forced.open();
    createFileAt(forced.stagingFd(), "grub");
    createFileAt(forced.stagingFd(), "notes");
    EXPECT_EQ(stageOf([&] { forced.commit(); }), "unreadable");
  }
  EXPECT_EQ(tree(dir), (std::vector<std::string>{"hosts", "notes"}));
  EXPECT_EQ(test_support::fileText(dir + "/notes"), "mine");
}

TEST_F(Target, DiscardRemovesTheStagingAndTheDirectoriesItCreated) {
  {
    ExtractTarget target(scratch_ + "/new/deeper", false);
    target.check({"hosts"});
    target.open();
    createFileAt(target.stagingFd(), "hosts");
    EXPECT_THROW(createFileAt(target.stagingFd(), "hosts"), BackupError) << "never overwritten";
  }
  EXPECT_EQ(tree(scratch_), std::vector<std::string>{"out/"});
}

}  // namespace
}  // namespace quorlane
