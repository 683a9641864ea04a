#pragma once

#include <ostream>
#include <string>

namespace quorlane {

struct Options {
  std::string vmName;
  std::string backupRoot;
  std::string keepCountRaw;  // checked and converted during validation, never by the parser
  bool quiesce = false;
  bool dryRun = false;
  bool verbose = false;
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

}  // namespace quorlane
