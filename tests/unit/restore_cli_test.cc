#include "quorlane/restore_cli.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace quorlane {
namespace {

constexpr int kReturned = 42;

// The guest-file fields of what parseRestoreArgs returned, one per line.
std::string guestFields(const RestoreOptions& o) {
  std::string text = std::string(o.ls ? "ls" : "-") + " [" + o.lsPath + "]\n";
  for (const std::string& path : o.extract) text += "x " + path + "\n";
  return text + "o [" + o.output + "] m [" + o.mount + "] f " + (o.force ? "1" : "0") + "\n";
}

test_support::ChildOutcome parse(std::vector<std::string> args) {
  return test_support::runInChild([&args] {
    args.insert(args.begin(), "quorlane-restore");
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::cout << guestFields(parseRestoreArgs(static_cast<int>(args.size()), argv.data()));
    std::cout.flush();
    return kReturned;
  });
}

std::string usage() {
  std::ostringstream text;
  printRestoreUsage(text);
  return text.str();
}

TEST(RestoreArgs, GuestFileActionsTakeTheirValues) {
  const auto ls = parse({"-b", "/b/web01/2026-03-01_02-00-05", "--ls"});
  EXPECT_EQ(ls.status, kReturned) << ls.err;
  EXPECT_EQ(ls.out, "ls []\no [] m [] f 0\n");
  // The path of --ls is the next argument unless that is an option.
  const auto lsPath = parse({"--ls", "/dev/sda1:/etc", "-n", "web01", "-r", "/b", "-v"});
  EXPECT_EQ(lsPath.status, kReturned) << lsPath.err;
  EXPECT_EQ(lsPath.out, "ls [/dev/sda1:/etc]\no [] m [] f 0\n");
  const auto extract = parse({"-n", "web01", "-r", "/b", "-x", "/etc/hosts", "--extract",
                              "/dev/vg0/data:/", "-o", "/tmp/out", "--force"});
  EXPECT_EQ(extract.status, kReturned) << extract.err;
  EXPECT_EQ(extract.out, "- []\nx /etc/hosts\nx /dev/vg0/data:/\no [/tmp/out] m [] f 1\n");
  const auto mount =
      parse({"-n", "web01", "-r", "/b", "-t", "2026-03-01_02-00-05", "--mount", "/mnt/web01"});
  EXPECT_EQ(mount.status, kReturned) << mount.err;
  EXPECT_EQ(mount.out, "- []\no [] m [/mnt/web01] f 0\n");
}

TEST(RestoreArgs, RefusesGuestFileCombinationsThatNoRunServes) {
  const std::string readOnly =
      " reads the guest's files: --list, --check, --as, --image-dir, --define, --start, --live, "
      "--force and --dry-run do not apply";
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-n", "w", "-r", "/b", "-x", "/etc"},
       "--extract needs --output: the directory to write into"},
      {{"-n", "w", "-r", "/b", "-o", "/tmp/out"}, "--output needs --extract"},
      {{"-n", "w", "-r", "/b", "--ls", "-o", "/tmp/out"}, "--output needs --extract"},
      {{"-n", "w", "-r", "/b", "--ls", "--mount", "/mnt"},
       "--ls, --extract and --mount cannot be combined"},
      {{"-n", "w", "-r", "/b", "-x", "/etc", "-o", "/o", "--mount", "/mnt"},
       "--ls, --extract and --mount cannot be combined"},
      {{"-n", "w", "-r", "/b", "--ls", "--define"}, "--ls" + readOnly},
      {{"-n", "w", "-r", "/b", "--ls", "/etc", "--check"}, "--ls" + readOnly},
      {{"-n", "w", "-r", "/b", "--ls", "-f"}, "--ls" + readOnly},
      {{"-n", "w", "-r", "/b", "--mount", "/mnt", "--live"}, "--mount" + readOnly},
      {{"-n", "w", "-r", "/b", "--mount", "/mnt", "--list"}, "--mount" + readOnly},
      {{"-n", "w", "-r", "/b", "-x", "/etc", "-o", "/o", "--as", "c", "-i", "/i"},
       "--extract reads the guest's files: --list, --check, --as, --image-dir, --define, "
       "--start, --live and --dry-run do not apply"},
      {{"-n", "w", "-r", "/b", "-x", "/etc", "-o", "/o", "-d"},
       "--extract reads the guest's files: --list, --check, --as, --image-dir, --define, "
       "--start, --live and --dry-run do not apply"},
      {{"--finish", "w", "--ls"}, "--finish takes only --bandwidth and --verbose"},
      {{"--ls"}, "Give either --backup-dir, or --vm-name together with --backup-root"},
      {{"-n", "w", "-r", "/b", "-x", ""}, "Option requires a non-empty value: -x"},
      {{"-n", "w", "-r", "/b", "-x"}, "Option requires a value: -x"},
      {{"-n", "w", "-r", "/b", "--mount", ""}, "Option requires a non-empty value: --mount"},
      {{"-n", "w", "-r", "/b", "--ls", ""}, "Option requires a non-empty value: --ls"},
      {{"-n", "w", "-r", "/b", "-x", "etc/hosts", "-o", "/o"},
       "A guest path is absolute (/etc/hosts) or DEVICE:/path (/dev/sda1:/etc), without '..': "
       "etc/hosts"},
      {{"-n", "w", "-r", "/b", "--ls", "/dev/sda1:/etc/../.."},
       "A guest path is absolute (/etc/hosts) or DEVICE:/path (/dev/sda1:/etc), without '..': "
       "/dev/sda1:/etc/../.."},
  };
  for (const auto& [args, message] : refused) {
    SCOPED_TRACE(message);
    const auto outcome = parse(args);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "ERROR: " + message + "\n\n" + usage());
  }
}

}  // namespace
}  // namespace quorlane
