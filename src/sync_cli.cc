#include <array>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/sync.h"

namespace quorlane {

namespace {

void refuse(std::string_view message, std::string_view argument = {}) {
  failWithUsage(printSyncUsage, message, argument);
}

// A remote written as a connection string can carry secrets, which would
// show in the process list and the logs: they belong in rclone's
// configuration file.
void refuseCredentials(const std::string& remote) {
  static constexpr std::array<std::string_view, 12> kSecrets = {
      "access_key_id", "secret_access_key", "session_token", "pass",    "password",    "password2",
      "token",         "client_secret",     "bearer_token",  "key_pem", "account_key", "sas_url"};
  for (const std::string_view key : kSecrets) {
    for (const char before : {',', ':'}) {
      if (remote.find(before + std::string(key) + "=") != std::string::npos) {
        refuse(
            "Credentials belong in rclone's configuration file (--config), not on the "
            "command line: ",
            key);
      }
    }
  }
}

// Combinations that no run can serve, refused before anything is looked at.
void checkCombination(const SyncOptions& opts) {
  if (opts.to.empty() == opts.from.empty()) refuse("Give either --to or --from");
  if (opts.backupRoot.empty() && !opts.list) refuse("Missing required argument: --backup-root");
  if (!opts.to.empty()) {
    if (opts.list) refuse("--list goes with --from");
    if (!opts.timestamp.empty()) refuse("--timestamp goes with --from");
    if (opts.check && !opts.keepCountRaw.empty())
      refuse("--check only reads: --keep-count does not apply");
    return;
  }
  if (opts.vmNames.size() != 1) refuse("--from takes exactly one --vm-name");
  if (opts.check || !opts.keepCountRaw.empty()) refuse("--check and --keep-count go with --to");
  if (opts.list && (!opts.timestamp.empty() || !opts.backupRoot.empty())) {
    refuse("--list only reads the remote: --timestamp and --backup-root do not apply");
  }
}

std::string takeNonEmptyValue(std::string_view flag, int& i, int argc, char** argv) {
  std::string value = takeValue(printSyncUsage, flag, i, argc, argv);
  if (value.empty()) refuse("Option requires a non-empty value: ", flag);
  return value;
}

}  // namespace

SyncOptions parseSyncArgs(int argc, char** argv) {
  SyncOptions opts;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-r" || arg == "--backup-root") {
      opts.backupRoot = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-n" || arg == "--vm-name") {
      opts.vmNames.push_back(takeNonEmptyValue(arg, i, argc, argv));
      if (opts.vmNames.back().find('/') != std::string::npos)
        refuse("A VM name cannot contain '/': ", opts.vmNames.back());
    } else if (arg == "--to") {
      opts.to = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "--from") {
      opts.from = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-t" || arg == "--timestamp") {
      opts.timestamp = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-k" || arg == "--keep-count") {
      opts.keepCountRaw = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-c" || arg == "--check") {
      opts.check = true;
    } else if (arg == "--download") {
      opts.download = true;
    } else if (arg == "-l" || arg == "--list") {
      opts.list = true;
    } else if (arg == "--config") {
      opts.configFile = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-M" || arg == "--metrics-dir") {
      opts.metricsDir = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "--bwlimit") {
      opts.bandwidth = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-v" || arg == "--verbose") {
      opts.verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      printSyncUsage(std::cout);
      std::exit(kExitSuccess);
    } else {
      refuse("Unknown option: ", arg);
    }
  }
  refuseCredentials(opts.to + opts.from);
  checkCombination(opts);
  return opts;
}

void printSyncUsage(std::ostream& out) {
  const std::string_view name = kSyncAppName;
  out << name << " v" << config::kAppVersion << "\n"
      << "\n"
      << "Copies the backups that quorlane-backup writes to a remote that rclone\n"
      << "reaches (S3 and S3-compatible stores, SFTP, WebDAV, and rclone's encrypting\n"
      << "crypt remote over any of them), verifies them, and brings them back.\n"
      << "\n"
      << "Usage:\n"
      << "  " << name << " -r <backup-root> --to <remote:path> [-n <vm-name>]... [options]\n"
      << "  " << name << " -r <backup-root> --to <remote:path> --check [--download]\n"
      << "  " << name << " -r <backup-root> --from <remote:path> -n <vm-name> [-t <timestamp>]\n"
      << "  " << name << " --from <remote:path> -n <vm-name> --list\n"
      << "\n"
      << "Where:\n"
      << "  -r, --backup-root PATH   The local backup root: <backup-root>/<vm-name>/<timestamp>/\n"
      << "      --to REMOTE:PATH     Push: copy every complete local backup that is not\n"
      << "                           complete on the remote, parents before incrementals.\n"
      << "                           The remote holds <vm-name>/<timestamp>/ below PATH.\n"
      << "      --from REMOTE:PATH   Pull: copy one backup, with every backup it depends\n"
      << "                           on, into the backup root for quorlane-restore.\n"
      << "  -n, --vm-name NAME       A VM whose backups to copy; once or more (default:\n"
      << "                           every VM under the backup root). Exactly one with --from.\n"
      << "\n"
      << "Optional:\n"
      << "  -t, --timestamp TS       With --from: the backup named TS (default: the newest\n"
      << "                           complete one).\n"
      << "  -k, --keep-count N       With --to: keep the N newest complete backups of each\n"
      << "                           VM on the remote, and every backup they depend on.\n"
      << "  -c, --check              With --to: copy nothing; compare every backup on the\n"
      << "                           remote with the local one. A copy that differs loses\n"
      << "                           its log and the files that differ, and the next push\n"
      << "                           sends them again.\n"
      << "      --download           Compare by reading every file back, not by hashes.\n"
      << "  -l, --list               With --from: list the VM's backups on the remote.\n"
      << "      --config FILE        rclone's configuration file, which holds the remotes\n"
      << "                           and their credentials (default: rclone's own). Only\n"
      << "                           its owner may read it.\n"
      << "      --bwlimit RATE       Limit the bandwidth (rclone's --bwlimit: 10M, 512k).\n"
      << "  -M, --metrics-dir DIR    With --to: write quorlane-sync-<vm-name>.prom there for\n"
      << "                           Prometheus' node exporter (its textfile directory).\n"
      << "  -v, --verbose            Detailed console output for diagnostics.\n"
      << "  -h, --help               Show this message and exit.\n"
      << "\n"
      << "Examples:\n"
      << "  # Copy every new backup offsite, keep 30 per VM there\n"
      << "  " << name << " -r /backups --to offsite:quorlane -k 30\n"
      << "\n"
      << "  # Read back what the remote holds of web01\n"
      << "  " << name << " -r /backups --to offsite:quorlane -n web01 --check --download\n"
      << "\n"
      << "  # After losing the host: bring back web01's newest backup, then restore it\n"
      << "  " << name << " -r /backups --from offsite:quorlane -n web01\n"
      << "  quorlane-restore -n web01 -r /backups --start\n"
      << "\n"
      << "Exit codes:\n"
      << "  0  success\n"
      << "  1  usage, validation or copy failure\n"
      << "  3  --check found a remote copy that differs from the local one\n"
      << "  128+N  interrupted by signal N (130 for Ctrl-C, 143 for SIGTERM); what\n"
      << "         arrived stays, and the next run goes on from there\n";
}

}  // namespace quorlane
