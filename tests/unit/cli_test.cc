#include "quorlane/cli.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace quorlane {
namespace {

// Exit status the child uses when parseArgs returned, so that a return is
// never mistaken for the parser ending the process with 0 or 1.
constexpr int kReturned = 42;

struct ParseOutcome {
  int status = -1;  // exit status of the child; -1 if it did not exit normally
  std::string out;
  std::string err;
  bool returned() const { return status == kReturned; }
};

std::string serialize(const Options& o) {
  std::string text = o.vmName + '\0' + o.backupRoot + '\0' + o.keepCountRaw + '\0';
  text += o.quiesce ? 'q' : '-';
  text += o.dryRun ? 'd' : '-';
  text += o.verbose ? 'v' : '-';
  return text;
}

// Builds the expected serialization of a returned Options record.
std::string fields(const std::string& vmName, const std::string& backupRoot,
                   const std::string& keepCountRaw, const std::string& flags) {
  return vmName + '\0' + backupRoot + '\0' + keepCountRaw + '\0' + flags;
}

void drain(int outFd, int errFd, std::string& out, std::string& err) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buffer[4096];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
}

// parseArgs ends the process on --help and on every error, so it runs in a
// forked child whose standard streams are captured. If it returns, the
// child prints the parsed fields and exits with kReturned.
ParseOutcome parse(const std::vector<std::string>& args) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return {};
  }
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    std::vector<std::string> storage = {"quorlane-backup"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const Options opts = parseArgs(static_cast<int>(storage.size()), argv.data());
    std::cout << serialize(opts);
    std::cout.flush();
    _exit(kReturned);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  ParseOutcome outcome;
  drain(outPipe[0], errPipe[0], outcome.out, outcome.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

std::string usageText() {
  std::ostringstream text;
  printUsage(text);
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

const char* const kExpectedUsage =
    R"(quorlane-backup v0.1.5-prototype

Backs up a single libvirt/KVM VM to a timestamped directory.

Usage:
  quorlane-backup -n <vm-name> -r <backup-root> -k <keep-count> [options]

Required:
  -n, --vm-name NAME       Name of the VM to back up.
  -r, --backup-root PATH   Root directory where backups will be created.
                           Backups land in: <backup-root>/<vm-name>/<timestamp>/
  -k, --keep-count N       Number of backups to retain (positive integer).
                           Older backups beyond this count are deleted on
                           successful runs.

Optional:
  -q, --quiesce            Request application-consistent backup via the
                           qemu-guest-agent filesystem freeze.
                           - Ignored when the VM is powered off (offline
                             snapshot is already maximally consistent).
                           - Requires the guest agent to be responsive when
                             the VM is running--fails fast in step 1 if the
                             agent is unavailable. No silent fallback.
  -d, --dry-run            Run validation (step 1) only and report what
                           would happen. Make no changes.
  -v, --verbose            Detailed console output for diagnostics.
  -h, --help               Show this message and exit.

Examples:
  # Daily backup, keep 7
  quorlane-backup -n web01 -r /backups -k 7

  # Application-consistent backup, keep 14
  quorlane-backup --vm-name db01 --backup-root /backups --keep-count 14 --quiesce

  # Validate without backing up
  quorlane-backup --vm-name web01 --backup-root /backups --keep-count 7 --dry-run

Exit codes:
  0  success
  1  validation or backup failure
  2  snapshot removal failure (VM may need manual intervention)
)";

TEST(PrintUsage, WritesTheFullHelpText) {
  const std::string usage = usageText();
  EXPECT_EQ(usage, kExpectedUsage);
  const std::vector<std::string> text = lines(usage);
  ASSERT_EQ(text.size(), 42u);
  EXPECT_EQ(text[0], "quorlane-backup v0.1.5-prototype");
  EXPECT_EQ(text[21],
            "                             the VM is running--fails fast in step 1 if the");
  EXPECT_EQ(text[41], "  2  snapshot removal failure (VM may need manual intervention)");
  ASSERT_FALSE(usage.empty());
  EXPECT_EQ(usage.back(), '\n');
  EXPECT_EQ(usage.find('\r'), std::string::npos);
  EXPECT_EQ(usage.find('\t'), std::string::npos);
}

TEST(PrintUsage, AppendsToTheStreamWithoutTouchingEarlierContent) {
  std::ostringstream text;
  text << "before\n";
  printUsage(text);
  EXPECT_EQ(text.str(), "before\n" + usageText());
}

TEST(ParseArgs, HelpPrintsUsageOnStandardOutputAndExitsZero) {
  for (const std::string flag : {"-h", "--help"}) {
    const ParseOutcome r = parse({flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.out, usageText()) << flag;
    EXPECT_EQ(lines(r.out).size(), 42u) << flag;
    EXPECT_EQ(r.err, "") << flag;
  }
}

TEST(ParseArgs, OptionWithoutValueIsAnError) {
  for (const std::string flag : {"-n", "--vm-name", "-r", "--backup-root", "-k", "--keep-count"}) {
    const ParseOutcome r = parse({"-q", flag});
    EXPECT_EQ(r.status, 1) << flag;
    EXPECT_EQ(r.err, "ERROR: Option requires a value: " + flag + "\n\n" + usageText()) << flag;
    EXPECT_EQ(r.out, "") << flag;
  }
}

TEST(ParseArgs, UnknownArgumentsAreRejected) {
  for (const std::string arg : {"--vm-name=web01", "-qv", "-nweb01", "web01", "--HELP", "-H", "",
                                "-", "--", "--vm", "-x"}) {
    const ParseOutcome r = parse({arg});
    EXPECT_EQ(r.status, 1) << '"' << arg << '"';
    EXPECT_EQ(r.err, "ERROR: Unknown option: " + arg + "\n\n" + usageText()) << '"' << arg << '"';
    EXPECT_EQ(r.out, "") << '"' << arg << '"';
  }
}

TEST(ParseArgs, UnknownArgumentAfterValidOptions) {
  const ParseOutcome r = parse({"-n", "web01", "-r", "/backups", "extra", "-k", "7"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Unknown option: extra\n\n" + usageText());
  EXPECT_EQ(r.out, "");
}

TEST(ParseArgs, FirstDecisiveArgumentWins) {
  const ParseOutcome helpFirst = parse({"-h", "--bogus"});
  EXPECT_EQ(helpFirst.status, 0);
  EXPECT_EQ(helpFirst.out, usageText());
  EXPECT_EQ(helpFirst.err, "");

  const ParseOutcome bogusFirst = parse({"--bogus", "-h"});
  EXPECT_EQ(bogusFirst.status, 1);
  EXPECT_EQ(bogusFirst.err, "ERROR: Unknown option: --bogus\n\n" + usageText());
  EXPECT_EQ(bogusFirst.out, "");

  const ParseOutcome unknownBeforeMissingValue = parse({"-x", "-n"});
  EXPECT_EQ(unknownBeforeMissingValue.status, 1);
  EXPECT_EQ(unknownBeforeMissingValue.err, "ERROR: Unknown option: -x\n\n" + usageText());

  const ParseOutcome helpBeforeMissingValue = parse({"--help", "-k"});
  EXPECT_EQ(helpBeforeMissingValue.status, 0);
  EXPECT_EQ(helpBeforeMissingValue.err, "");
}

TEST(ParseArgs, NoArgumentsGivesDefaults) {
  const ParseOutcome r = parse({});
  ASSERT_TRUE(r.returned()) << r.status << r.err;
  EXPECT_EQ(r.out, fields("", "", "", "---"));
  EXPECT_EQ(r.err, "");
}

TEST(ParseArgs, AllShortOptions) {
  const ParseOutcome r = parse({"-n", "web01", "-r", "/backups", "-k", "7", "-q", "-d", "-v"});
  ASSERT_TRUE(r.returned()) << r.status << r.err;
  EXPECT_EQ(r.out, fields("web01", "/backups", "7", "qdv"));
  EXPECT_EQ(r.err, "");
}

TEST(ParseArgs, AllLongOptionsInAnyOrder) {
  const ParseOutcome r = parse({"--verbose", "--keep-count", "14", "--quiesce", "--backup-root",
                                "/srv/backups", "--dry-run", "--vm-name", "db01"});
  ASSERT_TRUE(r.returned()) << r.status << r.err;
  EXPECT_EQ(r.out, fields("db01", "/srv/backups", "14", "qdv"));
}

TEST(ParseArgs, EachFlagSetsOnlyItsOwnField) {
  EXPECT_EQ(parse({"-q"}).out, fields("", "", "", "q--"));
  EXPECT_EQ(parse({"--dry-run"}).out, fields("", "", "", "-d-"));
  EXPECT_EQ(parse({"-v"}).out, fields("", "", "", "--v"));
  EXPECT_EQ(parse({"-q", "--quiesce", "-q"}).out, fields("", "", "", "q--"));
}

TEST(ParseArgs, ValueIsTakenVerbatimEvenWhenItLooksLikeAnOption) {
  const ParseOutcome r = parse({"-n", "-q", "-r", "/b", "-k", "3"});
  ASSERT_TRUE(r.returned()) << r.status << r.err;
  EXPECT_EQ(r.out, fields("-q", "/b", "3", "---"));

  EXPECT_EQ(parse({"-n", "--help"}).out, fields("--help", "", "", "---"));
  EXPECT_EQ(parse({"--backup-root", ""}).out, fields("", "", "", "---"));
  EXPECT_EQ(parse({"-r", "/path with blanks/"}).out, fields("", "/path with blanks/", "", "---"));
}

TEST(ParseArgs, RepeatedValueOptionKeepsTheLast) {
  EXPECT_EQ(parse({"-n", "a", "-n", "b"}).out, fields("b", "", "", "---"));
  EXPECT_EQ(parse({"-k", "1", "--keep-count", "2"}).out, fields("", "", "2", "---"));
}

TEST(ParseArgs, KeepCountIsNotValidatedHere) {
  const ParseOutcome r = parse({"-k", "abc"});
  ASSERT_TRUE(r.returned()) << r.status << r.err;
  EXPECT_EQ(r.out, fields("", "", "abc", "---"));
  EXPECT_EQ(parse({"-k", "-5"}).out, fields("", "", "-5", "---"));
}

}  // namespace
}  // namespace quorlane
