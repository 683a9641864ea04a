#include "quorlane/cli.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace quorlane {
namespace {

// Exit status the child uses when parseArgs returned, so that a return is
// never mistaken for the parser ending the process with 0 or 1.
constexpr int kReturned = 42;

struct ParseOutcome : test_support::ChildOutcome {
  bool returned() const { return status == kReturned; }
};

std::string serialize(const Options& o) {
  std::string text = o.vmName + '\0' + o.backupRoot + '\0' + o.keepCountRaw + '\0';
  text += o.quiesce ? 'q' : '-';
  text += o.dryRun ? 'd' : '-';
  text += o.verbose ? 'v' : '-';
  return text + '\0' + o.jobsRaw;
}

// Builds the expected serialization of a returned Options record.
std::string fields(const std::string& vmName, const std::string& backupRoot,
                   const std::string& keepCountRaw, const std::string& flags,
                   const std::string& jobsRaw = "") {
  return vmName + '\0' + backupRoot + '\0' + keepCountRaw + '\0' + flags + '\0' + jobsRaw;
}

// parseArgs ends the process on --help and on every error, so it runs in a
// forked child whose standard streams are captured. If it returns, the
// child prints the parsed fields and exits with kReturned.
ParseOutcome parse(const std::vector<std::string>& args) {
  return {test_support::runInChild([&args] {
    std::vector<std::string> storage = {"quorlane-backup"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    const Options opts = parseArgs(static_cast<int>(storage.size()), argv.data());
    std::cout << serialize(opts);
    std::cout.flush();
    return kReturned;
  })};
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

// The expected help text is a literal copy kept in a data file, shared with
// the integration tests of the binary's --help.
std::string expectedUsage() {
  const std::string path = std::string(QUORLANE_TEST_DATA_DIR) + "/usage.txt";
  std::ifstream in(path, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PrintUsage, WritesTheFullHelpText) {
  const std::string usage = usageText();
  EXPECT_EQ(usage, expectedUsage());
  const std::vector<std::string> text = lines(usage);
  ASSERT_EQ(text.size(), 54u);
  EXPECT_EQ(text[0], "quorlane-backup v0.1.5-prototype");
  EXPECT_EQ(text[21],
            "                             the VM is running--fails fast in step 1 if the");
  EXPECT_EQ(text[53], "  2  snapshot removal failure (VM may need manual intervention)");
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
    EXPECT_EQ(lines(r.out).size(), 54u) << flag;
    EXPECT_EQ(r.err, "") << flag;
  }
}

TEST(ParseArgs, OptionWithoutValueIsAnError) {
  for (const std::string flag :
       {"-n", "--vm-name", "-r", "--backup-root", "-k", "--keep-count", "-j", "--jobs"}) {
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

TEST(ParseArgs, JobsIsTakenInBothFormsAndNotValidatedHere) {
  EXPECT_EQ(parse({"-j", "2", "-q"}).out, fields("", "", "", "q--", "2"));
  EXPECT_EQ(parse({"--jobs", "x", "--jobs", "16"}).out, fields("", "", "", "---", "16"));
  EXPECT_EQ(parse({"-j", "0"}).out, fields("", "", "", "---", "0"));
}

}  // namespace
}  // namespace quorlane
