#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

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
  // Single files, read from the backup's disks inside an appliance.
  bool ls = false;
  std::string lsPath;                // with --ls: the guest directory to list
  std::vector<std::string> extract;  // guest paths to copy into `output`
  std::string output;
  std::string mount;  // where --mount serves the guest's file systems
};

// Whether the run reads single files (--ls, --extract or --mount).
bool readsGuestFiles(const RestoreOptions& opts);

// Returns only when the whole command line was accepted; --help and every
// command-line error end the process.
RestoreOptions parseRestoreArgs(int argc, char** argv);

void printRestoreUsage(std::ostream& out);

}  // namespace quorlane
