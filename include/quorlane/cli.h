#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace quorlane {

struct Options {
  std::string vmName;
  std::string backupRoot;
  std::string keepCountRaw;  // checked and converted during validation, never by the parser
  bool quiesce = false;
  bool dryRun = false;
  bool verbose = false;
  bool incremental = false;
  std::string chainLengthRaw;  // like keepCountRaw; empty means the default
  std::string jobsRaw;         // like keepCountRaw; empty: full backups convert in order
  std::string metricsDir;      // where the run's Prometheus textfile goes; empty: none
};

enum ExitCode : int {
  kExitSuccess = 0,
  kExitFailure = 1,
  kExitSnapshotRemovalFailed = 2,
};

// Returns only when the whole command line was accepted; --help and every
// command-line error end the process.
Options parseArgs(int argc, char** argv);

void printUsage(std::ostream& out);

// Shared by the command-line parsers of the programs, each with its own usage.
using UsagePrinter = void (*)(std::ostream&);
// Prints "ERROR: ", the message and the argument, an empty line and the usage
// on standard error, and exits with kExitFailure.
[[noreturn]] void failWithUsage(UsagePrinter usage, std::string_view message,
                                std::string_view argument);
// The value after the option at argv[i], advancing i; a missing one is a usage error.
std::string takeValue(UsagePrinter usage, std::string_view flag, int& i, int argc, char** argv);

}  // namespace quorlane
