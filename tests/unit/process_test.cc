#include "quorlane/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quorlane {
namespace {

namespace fs = std::filesystem;

std::size_t countOpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Descriptors of this process that any exec'd child would inherit anyway
// (open and not close-on-exec). The runner cannot be blamed for those.
std::set<int> inheritableDescriptorsOfThisProcess() {
  std::vector<int> fds;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    fds.push_back(std::stoi(entry.path().filename().string()));
  }
  std::set<int> inheritable;
  for (int fd : fds) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) inheritable.insert(fd);
  }
  return inheritable;
}

// Parses `ls -l` output of a /proc/<pid>/fd directory into descriptor -> target.
std::map<int, std::string> parseFdListing(const std::string& listing) {
  std::map<int, std::string> fds;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    const std::string line = listing.substr(start, end - start);
    start = end + 1;
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;  // the "total" line
    const std::size_t nameStart = line.rfind(' ', arrow - 1) + 1;
    fds[std::stoi(line.substr(nameStart, arrow - nameStart))] = line.substr(arrow + 4);
  }
  return fds;
}

TEST(RunCommand, PassesEveryArgumentUnchanged) {
  const std::vector<std::string> args = {
      "two words", "",      "$HOME",       "*",           "a;b|c&d", "'single'",  "\"double\"",
      "`id`",      "$(id)", "back\\slash", "line\nbreak", "-n",      "  padded  "};
  std::vector<std::string> argv = {"printf", "%s\\0"};
  argv.insert(argv.end(), args.begin(), args.end());
  const CommandResult result = runCommand(argv);
  ASSERT_TRUE(result.ok()) << result.err;
  std::vector<std::string> received;
  std::size_t start = 0;
  for (std::size_t nul; (nul = result.out.find('\0', start)) != std::string::npos;
       start = nul + 1) {
    received.push_back(result.out.substr(start, nul - start));
  }
  EXPECT_EQ(start, result.out.size()) << "trailing bytes after the last argument";
  EXPECT_EQ(received, args);
  EXPECT_EQ(result.err, "");
}

TEST(RunCommand, SuccessCapturesStandardOutputExactly) {
  const CommandResult result = runCommand({"sh", "-c", "printf ' a \\n\\n b'"});
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.out, " a \n\n b");
  EXPECT_EQ(result.err, "");
}

TEST(RunCommand, NonZeroExitKeepsStatusAndStandardErrorApart) {
  const CommandResult result =
      runCommand({"sh", "-c", "echo partial; echo 'error: disk busy' >&2; exit 3"});
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.out, "partial\n");
  EXPECT_EQ(result.err, "error: disk busy\n");
}

TEST(RunCommand, FullExitStatusRangeIsReported) {
  EXPECT_EQ(runCommand({"sh", "-c", "exit 255"}).exitCode, 255);
  EXPECT_EQ(runCommand({"false"}).exitCode, 1);
}

TEST(RunCommand, MissingProgramYieldsStartedWith127) {
  for (const std::string& program :
       {std::string("quorlane-test-no-such-program"), std::string("/nonexistent/dir/prog")}) {
    const CommandResult result = runCommand({program, "arg"});
    EXPECT_TRUE(result.started) << program;
    EXPECT_EQ(result.exitCode, 127) << program;
    EXPECT_FALSE(result.ok()) << program;
    EXPECT_EQ(result.out, "") << program;
  }
}

TEST(RunCommand, EmptyArgumentVectorStartsNothing) {
  const CommandResult result = runCommand({});
  EXPECT_FALSE(result.started);
  EXPECT_EQ(result.exitCode, -1);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST(RunCommand, KilledBySignalGives128PlusSignal) {
  EXPECT_EQ(runCommand({"sh", "-c", "kill -TERM $$"}).exitCode, 128 + SIGTERM);
  EXPECT_EQ(runCommand({"sh", "-c", "kill -KILL $$"}).exitCode, 128 + SIGKILL);
  const CommandResult interrupted = runCommand({"sh", "-c", "echo before; kill -INT $$"});
  EXPECT_EQ(interrupted.exitCode, 130);
  EXPECT_EQ(interrupted.out, "before\n");
  EXPECT_FALSE(interrupted.ok());
}

TEST(RunCommand, LargeOutputOnBothStreamsIsCapturedInFull) {
  // Far more than a pipe holds, standard error first: a runner that reads
  // only standard output until its end would block forever here.
  constexpr std::size_t kErrBytes = 5 * 1024 * 1024 + 17;
  constexpr std::size_t kOutBytes = 6 * 1024 * 1024 + 3;
  const std::string script = "head -c " + std::to_string(kErrBytes) +
                             " /dev/zero | tr '\\0' e >&2; " + "head -c " +
                             std::to_string(kOutBytes) + " /dev/zero | tr '\\0' o";
  const CommandResult result = runCommand({"sh", "-c", script});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.err.size(), kErrBytes);
  EXPECT_EQ(result.out.size(), kOutBytes);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), 'e'), static_cast<long>(kErrBytes));
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), 'o'), static_cast<long>(kOutBytes));
}

TEST(RunCommand, InterleavedOutputKeepsOrderWithinEachStream) {
  const CommandResult result =
      runCommand({"sh", "-c", "for i in $(seq 1 2000); do echo out$i; echo err$i >&2; done"});
  ASSERT_TRUE(result.ok());
  std::string expectedOut;
  std::string expectedErr;
  for (int i = 1; i <= 2000; ++i) {
    expectedOut += "out" + std::to_string(i) + "\n";
    expectedErr += "err" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(result.out, expectedOut);
  EXPECT_EQ(result.err, expectedErr);
}

TEST(RunCommand, ChildSeesEndOfFileOnStandardInput) {
  // Give this process a standard input with data on it for the call: a
  // child that inherited it would echo the data back through cat.
  FILE* input = std::tmpfile();
  ASSERT_NE(input, nullptr);
  ASSERT_GE(std::fputs("inherited input\n", input), 0);
  std::fflush(input);
  std::rewind(input);
  const int savedStdin = dup(STDIN_FILENO);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(dup2(fileno(input), STDIN_FILENO), STDIN_FILENO);
  const CommandResult cat = runCommand({"cat"});
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  std::fclose(input);
  EXPECT_TRUE(cat.ok());
  EXPECT_EQ(cat.out, "");
  const CommandResult stdinTarget = runCommand({"readlink", "/proc/self/fd/0"});
  EXPECT_EQ(stdinTarget.out, "/dev/null\n");
}

TEST(RunCommand, ChildInheritsOnlyItsStandardDescriptors) {
  const std::set<int> inherited = inheritableDescriptorsOfThisProcess();
  const CommandResult result = runCommand({"ls", "-l", "/proc/self/fd"});
  ASSERT_TRUE(result.ok()) << result.err;
  std::map<int, std::string> fds = parseFdListing(result.out);
  ASSERT_EQ(fds.count(0), 1u) << result.out;
  ASSERT_EQ(fds.count(1), 1u) << result.out;
  ASSERT_EQ(fds.count(2), 1u) << result.out;
  EXPECT_EQ(fds[0], "/dev/null");
  EXPECT_EQ(fds[1].rfind("pipe:", 0), 0u) << fds[1];
  EXPECT_EQ(fds[2].rfind("pipe:", 0), 0u) << fds[2];
  EXPECT_NE(fds[1], fds[2]) << "both streams on one pipe";
  // Descriptors this test process already had open without close-on-exec
  // are inherited by every exec and are not the runner's doing; ls itself
  // holds open the directory it lists. Anything else leaked from the runner.
  std::vector<std::string> extra;
  for (const auto& [fd, target] : fds) {
    if (fd > 2 && inherited.count(fd) == 0) extra.push_back(target);
  }
  ASSERT_LE(extra.size(), 1u) << result.out;
  if (!extra.empty()) {
    EXPECT_TRUE(extra[0].starts_with("/proc/") && extra[0].ends_with("/fd")) << result.out;
  }
}

// A caller with a translated environment (cron and systemd pass the host's
// locale on) still gets untranslated answers; the rest of its environment,
// which chooses the daemon virsh talks to, reaches the program unchanged.
TEST(RunCommand, ChildRunsInTheCLocaleWithTheRestOfTheEnvironment) {
  const std::map<std::string, std::string> caller = {{"LANG", "de_DE.UTF-8"},
                                                     {"LANGUAGE", "de:fr"},
                                                     {"LC_ALL", "fr_FR.UTF-8"},
                                                     {"LIBVIRT_DEFAULT_URI", "test:///default"}};
  for (const auto& [name, value] : caller) setenv(name.c_str(), value.c_str(), 1);
  const CommandResult result = runCommand({"env"});
  for (const auto& [name, value] : caller) unsetenv(name.c_str());
  ASSERT_TRUE(result.ok()) << result.err;
  std::multiset<std::string> lines;
  for (std::size_t start = 0, end; start < result.out.size(); start = end + 1) {
    end = result.out.find('\n', start);
    const std::string line = result.out.substr(start, end - start);
    if (line.starts_with("LANG") || line.starts_with("LC_") || line.starts_with("LIBVIRT")) {
      lines.insert(line);
    }
  }
  EXPECT_EQ(lines, (std::multiset<std::string>{"LANG=de_DE.UTF-8", "LC_ALL=C.UTF-8",
                                               "LIBVIRT_DEFAULT_URI=test:///default"}));
}

TEST(RunCommand, AWatcherSeesTheOutputAsItComesAndCanStopTheProgram) {
  std::string seen;
  const CommandResult result =
      runCommand({"sh", "-c", "echo started; echo progress >&2; exec sleep 600"},
                 [&](const std::string& out, const std::string& err) {
                   seen = out + err;
                   return seen.find("started") == std::string::npos ||
                          seen.find("progress") == std::string::npos;
                 });
  EXPECT_EQ(seen, "started\nprogress\n");
  EXPECT_EQ(result.exitCode, 128 + SIGTERM);
  EXPECT_EQ(result.out, "started\n");
}

TEST(RunCommand, LeavesNoDescriptorsOpen) {
  const std::size_t before = countOpenDescriptors();
  for (int i = 0; i < 50; ++i) {
    runCommand({"true"});
    runCommand({"sh", "-c", "echo out; echo err >&2; exit 4"});
    runCommand({"quorlane-test-no-such-program"});
    runCommand({});
  }
  EXPECT_EQ(countOpenDescriptors(), before);
}

}  // namespace
}  // namespace quorlane
