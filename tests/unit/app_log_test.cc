// The application log lives at a fixed path under /var/log. Each case runs
// in a forked child with its own mount namespace and a fresh tmpfs over
// /var/log, so the machine's real log directory is never touched.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "child_process.h"
#include "quorlane/logging.h"

namespace quorlane {
namespace {

namespace fs = std::filesystem;

const fs::path kDir = "/var/log/quorlane";
const fs::path kFile = "/var/log/quorlane/quorlane-backup.log";
const std::string kDirWarning =
    "WARN: Could not create application log directory: /var/log/quorlane\n";
const std::string kFileWarning =
    "WARN: Could not write to application log: /var/log/quorlane/quorlane-backup.log\n";

// Child exit statuses for namespace setup problems, distinct from a body's 0.
using test_support::kMountFailed;
using test_support::kNoNamespace;

using test_support::ChildOutcome;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<unreadable>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool remountVarLogReadOnly() {
  return mount(nullptr, "/var/log", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Calls the function under test and reports an escaping exception in the
// text. Bodies call it in a statement of its own before reading files back,
// since the operands of + are evaluated in no fixed order.
std::string append(std::string_view line) {
  try {
    appendApplicationLog(line);
    return "";
  } catch (const std::exception& e) {
    return std::string("threw: ") + e.what() + "\n";
  } catch (...) {
    return "threw\n";
  }
}

// Runs body in a forked child inside a private mount namespace with an
// empty tmpfs on /var/log; what body returns comes back as the outcome's
// out. Without a body it only probes whether that works.
ChildOutcome inPrivateVarLog(const std::function<std::string()>& body) {
  return test_support::runInSandbox([&body] {
    const std::string report = body ? body() : "";
    if (!report.empty() && write(STDOUT_FILENO, report.data(), report.size()) < 0) return 3;
    return 0;
  });
}

class AppLog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    const ChildOutcome probe = inPrivateVarLog(nullptr);
    if (probe.status == kNoNamespace) GTEST_SKIP() << "unshare(CLONE_NEWNS) not permitted here";
    ASSERT_EQ(probe.status, 0) << "could not mount a tmpfs on /var/log in the namespace";
  }

  // Runs body in the sandbox and expects it to have finished normally.
  static ChildOutcome run(const std::function<std::string()>& body) {
    ChildOutcome outcome = inPrivateVarLog(body);
    EXPECT_EQ(outcome.status, 0) << "child failed; stderr: " << outcome.err;
    return outcome;
  }
};

TEST_F(AppLog, CreatesTheMissingDirectoryAndWritesOneLine) {
  const ChildOutcome r = run([] {
    std::string report = fs::exists(kDir) ? "dir before\n" : "";
    report += append("[2026-03-01 14:05:09] web01 SUCCESS");
    report += fs::is_directory(kDir) ? "dir after\n" : "no dir after\n";
    return report + readFile(kFile);
  });
  EXPECT_EQ(r.out, "dir after\n[2026-03-01 14:05:09] web01 SUCCESS\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(AppLog, CreatesMissingParentDirectoriesToo) {
  // With /var/log itself gone (an empty tmpfs mounted one level up), the
  // whole chain has to be created.
  const ChildOutcome r = run([] {
    if (mount("tmpfs", "/var", "tmpfs", 0, "mode=0755") != 0) return std::string("mount failed\n");
    std::string report = append("line");
    return report + readFile(kFile);
  });
  EXPECT_EQ(r.out, "line\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(AppLog, AppendsBelowEarlierLines) {
  const ChildOutcome r = run([] {
    fs::create_directory(kDir);
    writeFile(kFile, "from an earlier run\n");
    std::string report = append("first");
    report += append("second");
    return report + readFile(kFile);
  });
  EXPECT_EQ(r.out, "from an earlier run\nfirst\nsecond\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(AppLog, AddsNothingToTheLine) {
  const ChildOutcome r = run([] {
    std::string report = append("  spaced  %s\ttab ");
    report += append("");
    return report + readFile(kFile);
  });
  EXPECT_EQ(r.out, "  spaced  %s\ttab \n\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(AppLog, FollowsASymbolicLinkToAnExistingDirectory) {
  const ChildOutcome r = run([] {
    fs::create_directory("/var/log/elsewhere");
    fs::create_directory_symlink("elsewhere", kDir);
    std::string report = append("via link");
    report += fs::is_symlink(kDir) ? "still a link\n" : "link replaced\n";
    return report + readFile("/var/log/elsewhere/quorlane-backup.log");
  });
  EXPECT_EQ(r.out, "still a link\nvia link\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(AppLog, WarnsWhenTheDirectoryCannotBeCreated) {
  const ChildOutcome r = run([] {
    if (!remountVarLogReadOnly()) return std::string("remount failed\n");
    std::string report = append("lost");
    return report + (fs::exists(kDir) ? "dir exists\n" : "");
  });
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kDirWarning);
}

TEST_F(AppLog, WarnsWhenAPlainFileIsInTheWay) {
  const ChildOutcome r = run([] {
    writeFile(kDir, "not a directory\n");
    std::string report = append("lost");
    return report + readFile(kDir);
  });
  EXPECT_EQ(r.out, "not a directory\n");
  EXPECT_EQ(r.err, kDirWarning);
}

TEST_F(AppLog, WarnsWhenTheLogFileCannotBeOpened) {
  const ChildOutcome r = run([] {
    fs::create_directories(kFile);  // a directory where the file should be
    return append("lost");
  });
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kFileWarning);
}

TEST_F(AppLog, WarnsWhenTheLogFileIsOnAReadOnlyFileSystem) {
  const ChildOutcome r = run([] {
    fs::create_directory(kDir);
    writeFile(kFile, "kept\n");
    if (!remountVarLogReadOnly()) return std::string("remount failed\n");
    std::string report = append("lost");
    return report + readFile(kFile);
  });
  EXPECT_EQ(r.out, "kept\n");
  EXPECT_EQ(r.err, kFileWarning);
}

}  // namespace
}  // namespace quorlane
