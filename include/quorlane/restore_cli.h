#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace quorlane {

inline constexpr std::string_view kRestoreAppName = "quorlane-restore";

struct RestoreOptions {
  std::string backupDir;
  std::string vmName;
  std::string backupRoot;
  std::string timestamp;
  std::string asName;
  std::string imageDir;
  bool list = false;
  bool check = false;
  bool define = false;
  bool start = false;
  bool force = false;
  bool dryRun = false;
  bool verbose = false;
  bool live = false;
  std::string bandwidth;  // MiB/s, a positive whole number; empty for no limit
  std::string finish;     // the VM whose live restore to finish
};

// Returns only when the whole command line was accepted; --help and every
// command-line error end the process.
RestoreOptions parseRestoreArgs(int argc, char** argv);

void printRestoreUsage(std::ostream& out);

}  // namespace quorlane
