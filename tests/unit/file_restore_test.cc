#include "quorlane/file_restore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fake_guest_fs.h"
#include "restore_sandbox.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;
using test_support::fakeDir;
using test_support::fileText;
using test_support::FakeFilesystem;
using test_support::FakeGuest;
using test_support::fakeLink;
using test_support::fakeRegular;
using test_support::fakeSpecial;
using test_support::modeOf;
using test_support::RunOutcome;
using test_support::unframed;

// 2026-03-01 02:00:00 UTC.
constexpr std::int64_t kMtime = 1772330400;

// A Debian guest with /boot on its own file system, swap, a disk the
// appliance finds nothing on, and an encrypted volume.
FakeGuest debianGuest() {
  FakeGuest guest;
  guest.os = {"Debian GNU/Linux 12 (bookworm)", {{"/", "/dev/sda2"}, {"/boot", "/dev/sda1"}}};
  FakeFilesystem boot{"ext4", "boot", 536870912};
  boot.files = {{"/", fakeDir()},
                {"/grub", fakeDir()},
                {"/grub/grub.cfg", fakeRegular("menuentry debian\n", 0600, kMtime - 86400)}};
  FakeFilesystem root{"xfs", "", 9663676416};
  root.files = {{"/", fakeDir()},
                {"/etc", fakeDir()},
                {"/etc/hosts", fakeRegular("127.0.0.1 localhost\n")},
                {"/etc/su-helper", fakeRegular("#!/bin/sh\n", 04755)},
                {"/etc/ssl", fakeDir(0700)},
                {"/etc/ssl/certs", fakeLink("/usr/share/ca-certificates")},
                {"/etc/initctl", fakeSpecial(S_IFIFO)},
                {"/etc/null", fakeSpecial(S_IFCHR)},
                {"/etc/agent.sock", fakeSpecial(S_IFSOCK)}};
  guest.filesystems = {{"/dev/sda1", boot},
                       {"/dev/sda2", root},
                       {"/dev/sdb", {"swap", "", 1073741824, false, {}}},
                       {"/dev/sdc", {"unknown", "", 4096, false, {}}},
                       {"/dev/sdd", {"crypto_LUKS", "", 2147483648, false, {}}}};
  return guest;
}

class FileRestoreTest : public test_support::RestoreSandbox {
 protected:
  void SetUp() override {
    RestoreSandbox::SetUp();
    if (IsSkipped()) return;
    backup_ = layOut("2026-03-01_02-00-05", {"vda", "vdb"});
    out_ = scratch_ + "/restored";
  }

  RestoreOptions options() const {
    RestoreOptions opts;
    opts.backupDir = backup_.path;
    return opts;
  }
  RestoreOptions extracting(std::vector<std::string> paths) const {
    RestoreOptions opts = options();
    opts.extract = std::move(paths);
    opts.output = out_;
    return opts;
  }

  RunOutcome run(const RestoreOptions& opts, const FakeGuest& guest = debianGuest()) {
    return runSandboxed([&](Logger& log, CommandRunner& runner) {
      return FileRestore(
                 opts, log, runner,
                 [&](Logger&) { return std::make_unique<test_support::FakeGuestFs>(guest); })
          .run();
    });
  }

  BackupDir backup_;
  std::string out_;
};

TEST_F(FileRestoreTest, LsListsTheFileSystemsAndWhereTheGuestMountsThem) {
  RestoreOptions opts = options();
  opts.ls = true;
  const RunOutcome listed = run(opts);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "Operating system: Debian GNU/Linux 12 (bookworm)\n"
            "/dev/sda1\text4\t536870912\tboot\t/boot\n"
            "/dev/sda2\txfs\t9663676416\t-\t/\n"
            "/dev/sdb\tswap\t1073741824\t-\t-\n"
            "/dev/sdd\tcrypto_LUKS\t2147483648\t-\t-\n");
  const std::vector<std::string> progress = unframed(listed.err);
  EXPECT_NE(std::find(progress.begin(), progress.end(),
                      "  vdb: " + backup_.diskImage("vdb") + " (/dev/sdb)"),
            progress.end())
      << listed.err;
  EXPECT_EQ(listed.record, "") << "--ls only reads, as --list does";

  FakeGuest unknown = debianGuest();
  unknown.os = {};
  const RunOutcome bare = run(opts, unknown);
  EXPECT_EQ(bare.status, 0) << bare.err;
  EXPECT_EQ(bare.out.substr(0, bare.out.find('\n')), "Operating system: not recognised");
}

TEST_F(FileRestoreTest, AnApplianceUnderLibvirtGetsIntoTheBackupForItsStartOnly) {
  RestoreOptions opts = options();
  opts.ls = true;
  const std::string seen = scratch_ + "/seen-at-launch";
  for (const bool underLibvirt : {true, false}) {
    FakeGuest guest = debianGuest();
    guest.underLibvirt = underLibvirt;
    guest.launching = [&] { std::ofstream(seen) << std::oct << modeOf(backup_.path); };
    const RunOutcome listed = run(opts, guest);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(fileText(seen), underLibvirt ? "701" : "700");
    EXPECT_EQ(modeOf(backup_.path), 0700u);
    EXPECT_FALSE(fs::exists(fs::path(backup_.path).parent_path() / "qemu-access"));
  }

  // Where the record cannot be kept, the backup is read as it is.
  fs::create_directory(fs::path(backup_.path).parent_path() / "qemu-access");
  FakeGuest guest = debianGuest();
  guest.underLibvirt = true;
  const RunOutcome listed = run(opts, guest);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.err.find("libvirt's QEMU may not reach the backup's images."),
            std::string::npos)
      << listed.err;
  EXPECT_EQ(modeOf(backup_.path), 0700u);
}

TEST_F(FileRestoreTest, LsPathListsTheEntriesSortedByteWiseWithTheirNamesEscaped) {
  FakeGuest guest = debianGuest();
  std::map<std::string, test_support::FakeFile>& files = guest.filesystems["/dev/sda2"].files;
  files["/etc/B"] = fakeRegular("12345", 0640, 0, 33);
  files["/etc/tab\there"] = fakeRegular("");
  files["/etc/new\nline\\and\x01\x7f"] = fakeRegular("");
  files["/etc/\xc3\xa9t\xc3\xa9"] = fakeRegular("");
  files["/etc/odd-link"] = fakeLink("to\ttab\n");
  RestoreOptions opts = options();
  opts.ls = true;
  opts.lsPath = "/etc";
  const RunOutcome listed = run(opts, guest);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "-\t0640\t33\t33\t5\t1970-01-01T00:00:00Z\tB\n"
            "s\t0644\t0\t0\t0\t1970-01-01T00:00:00Z\tagent.sock\n"
            "-\t0644\t0\t0\t20\t2026-03-01T02:00:00Z\thosts\n"
            "p\t0644\t0\t0\t0\t1970-01-01T00:00:00Z\tinitctl\n"
            "-\t0644\t0\t0\t0\t2026-03-01T02:00:00Z\tnew\\nline\\\\and\\001\\177\n"
            "c\t0644\t0\t0\t0\t1970-01-01T00:00:00Z\tnull\n"
            "l\t0777\t0\t0\t7\t2026-03-01T02:00:00Z\todd-link\tto\\ttab\\n\n"
            "d\t0700\t0\t0\t4096\t2026-03-01T02:00:00Z\tssl\n"
            "-\t4755\t0\t0\t10\t2026-03-01T02:00:00Z\tsu-helper\n"
            "-\t0644\t0\t0\t0\t2026-03-01T02:00:00Z\ttab\\there\n"
            "-\t0644\t0\t0\t0\t2026-03-01T02:00:00Z\t\xc3\xa9t\xc3\xa9\n");

  // A path on /boot is read from /boot's file system; a file lists itself.
  opts.lsPath = "/boot/grub/grub.cfg";
  const RunOutcome file = run(opts);
  EXPECT_EQ(file.status, 0) << file.err;
  EXPECT_EQ(file.out, "-\t0600\t0\t0\t17\t2026-02-28T02:00:00Z\tgrub.cfg\n");
  opts.lsPath = "/dev/sda2:/etc/ssl";
  EXPECT_EQ(run(opts).out,
            "l\t0777\t0\t0\t26\t2026-03-01T02:00:00Z\tcerts\t/usr/share/ca-certificates\n");
}

TEST_F(FileRestoreTest, ExtractWritesFilesDirectoriesAndLinksAndSkipsSpecialFiles) {
  const RunOutcome extracted =
      run(extracting({"/etc", "/boot/grub/grub.cfg", "/dev/sda2:/etc/ssl/certs"}));
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(test_support::tree(out_),
            (std::vector<std::string>{"certs", "etc/", "etc/hosts", "etc/ssl/", "etc/ssl/certs",
                                      "etc/su-helper", "grub.cfg"}));
  EXPECT_EQ(unframed(extracted.err),
            (std::vector<std::string>{"WARN:  Skipped /etc/initctl: a FIFO.",
                                      "WARN:  Skipped /etc/null: a character device.",
                                      "WARN:  Skipped /etc/agent.sock: a socket."}));
  EXPECT_EQ(test_support::fileText(out_ + "/etc/hosts"), "127.0.0.1 localhost\n");
  EXPECT_EQ(test_support::modeOf(out_ + "/etc/su-helper"), 0755u) << "setuid dropped";
  EXPECT_EQ(test_support::modeOf(out_ + "/etc/ssl"), 0700u);
  EXPECT_EQ(fs::read_symlink(out_ + "/certs"), "/usr/share/ca-certificates");
  struct stat cfg {};
  ASSERT_EQ(stat((out_ + "/grub.cfg").c_str(), &cfg), 0);
  EXPECT_EQ(cfg.st_mode & 07777, 0600u);
  EXPECT_EQ(cfg.st_mtim.tv_sec, kMtime - 86400);
  EXPECT_EQ(cfg.st_mtim.tv_nsec, 500000000);
  EXPECT_EQ(cfg.st_uid, geteuid());
  EXPECT_EQ(test_support::modeOf(out_), 0700u) << "a new output is its owner's only";
  EXPECT_NE(extracted.record.find("result=success from=" + backup_.path + " to=" + out_ +
                                  " mode=extract "),
            std::string::npos)
      << extracted.record;
}

TEST_F(FileRestoreTest, TheRootOfAFileSystemLandsAsTheOutputsContents) {
  const RunOutcome extracted = run(extracting({"/dev/sda1:/"}));
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(test_support::tree(out_), (std::vector<std::string>{"grub/", "grub/grub.cfg"}));
}

// Each case ends with status 4 and an output directory that was never made.
TEST_F(FileRestoreTest, GuestFilesThatCannotBeReadAsAskedEndWithFourAndWriteNothing) {
  FakeGuest noOs = debianGuest();
  noOs.os = {};
  FakeGuest damaged = debianGuest();
  damaged.filesystems["/dev/sda1"].damaged = true;
  FakeGuest nothing = debianGuest();
  nothing.filesystems.erase("/dev/sda1");
  nothing.filesystems.erase("/dev/sda2");
  FakeGuest sealed = nothing;
  nothing.filesystems.erase("/dev/sdd");
  const struct {
    std::vector<std::string> paths;
    FakeGuest guest;
    std::string error;
  } cases[] = {
      {{"/etc", "/etc/missing"}, debianGuest(), "Not found in the guest: /etc/missing"},
      {{"/dev/sda2:/nowhere/hosts"},
       debianGuest(),
       "Not found in the guest: /dev/sda2:/nowhere/hosts"},
      {{"/dev/sdd:/etc"},
       debianGuest(),
       "The volume /dev/sdd is encrypted (LUKS) and cannot be read without its key."},
      {{"/dev/sde1:/"}, debianGuest(), "No file system /dev/sde1 on the backup's disks (see --ls)"},
      {{"/dev/sdb:/"},
       debianGuest(),
       "/dev/sdb holds no file system that the appliance can read (swap)."},
      {{"/etc", "/boot/grub"},
       damaged,
       "Cannot mount /dev/sda1 (ext4); the file system may be damaged: mount: wrong fs type, bad "
       "superblock on /dev/sda1"},
      {{"/etc/hosts"},
       noOs,
       "The guest's operating system is not recognised: name the file system as DEVICE:/path "
       "(see --ls): /etc/hosts"},
      {{"/dev/sdb:/"},
       nothing,
       "The backup's disks hold no file system that the appliance recognises."},
      {{"/dev/sdd:/"},
       sealed,
       "The volume /dev/sdd is encrypted (LUKS) and cannot be read without its key; the backup's "
       "disks hold no other file system."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const RunOutcome refused = run(extracting(c.paths), c.guest);
    EXPECT_EQ(refused.status, kExitGuestUnreadable) << refused.err;
    const std::vector<std::string> lines = unframed(refused.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "ERROR: " + c.error);
    EXPECT_FALSE(fs::exists(out_));
    EXPECT_NE(refused.record.find("result=unreadable"), std::string::npos) << refused.record;
  }
}

TEST_F(FileRestoreTest, ANonEmptyOutputIsRefusedUnlessForcedAndNothingIsReplaced) {
  fs::create_directories(out_ + "/etc");
  std::ofstream(out_ + "/etc/old") << "old";
  std::ofstream(out_ + "/notes") << "mine";
  const RunOutcome refused = run(extracting({"/etc"}));
  EXPECT_EQ(refused.status, kExitGuestUnreadable);
  EXPECT_EQ(unframed(refused.out), std::vector<std::string>{"Step 1: Locating the backup..."});
  EXPECT_EQ(test_support::tree(out_), (std::vector<std::string>{"etc/", "etc/old", "notes"}));

  RestoreOptions forced = extracting({"/etc/ssl"});
  forced.force = true;
  const RunOutcome written = run(forced);
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(test_support::tree(out_),
            (std::vector<std::string>{"etc/", "etc/old", "notes", "ssl/", "ssl/certs"}));

  forced.extract = {"/etc"};
  const RunOutcome occupied = run(forced);
  EXPECT_EQ(occupied.status, kExitGuestUnreadable);
  EXPECT_EQ(unframed(occupied.err),
            std::vector<std::string>{
                "ERROR: " + out_ + "/etc exists already; nothing is ever replaced (move it away)"});
  EXPECT_EQ(test_support::tree(out_),
            (std::vector<std::string>{"etc/", "etc/old", "notes", "ssl/", "ssl/certs"}));
}

TEST_F(FileRestoreTest, ASignalDuringTheCopyRemovesEverythingWritten) {
  FakeGuest guest = debianGuest();
  guest.during = [] { raise(SIGTERM); };
  const RunOutcome interrupted = run(extracting({"/etc/ssl", "/etc/hosts"}), guest);
  EXPECT_EQ(interrupted.status, 128 + SIGTERM);
  EXPECT_FALSE(fs::exists(out_));
  EXPECT_NE(interrupted.record.find("result=interrupted"), std::string::npos);
}

TEST_F(FileRestoreTest, MountServesTheGuestsLayoutUntilASignalUnmountsIt) {
  fs::create_directories(out_);
  FakeGuest guest = debianGuest();
  guest.filesystems["/dev/sda1"].damaged = true;
  guest.during = [] { raise(SIGINT); };
  RestoreOptions opts = options();
  opts.mount = out_;
  const RunOutcome served = run(opts, guest);
  EXPECT_EQ(served.status, 128 + SIGINT) << served.err;
  const std::vector<std::string> lines = unframed(served.out);
  EXPECT_EQ(
      std::vector<std::string>(lines.end() - 4, lines.end()),
      (std::vector<std::string>{
          "Step 3: Mounting the guest's file systems read-only on " + out_ + "...",
          "  /dev/sda2 on /", "Mounted on " + out_ + " read-only; Ctrl-C or SIGTERM unmounts it.",
          "Unmounted " + out_ + "."}));
  EXPECT_NE(served.err.find("WARN:  Not mounted: /boot: Cannot mount /dev/sda1 (ext4)"),
            std::string::npos)
      << served.err;
  EXPECT_NE(served.record.find("to=" + out_ + " mode=mount"), std::string::npos);
}

}  // namespace
}  // namespace quorlane
