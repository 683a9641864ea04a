#include "quorlane/cli.h"

#include <cstdlib>
#include <iostream>
#include <string_view>

#include "quorlane/config.h"

namespace quorlane {

void failWithUsage(UsagePrinter usage, std::string_view message, std::string_view argument) {
  std::cerr << "ERROR: " << message << argument << "\n\n";
  usage(std::cerr);
  std::exit(kExitFailure);
}

std::string takeValue(UsagePrinter usage, std::string_view flag, int& i, int argc, char** argv) {
  if (i + 1 >= argc) failWithUsage(usage, "Option requires a value: ", flag);
  ++i;
  return argv[i];
}

Options parseArgs(int argc, char** argv) {
  Options opts;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-n" || arg == "--vm-name") {
      opts.vmName = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-r" || arg == "--backup-root") {
      opts.backupRoot = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-k" || arg == "--keep-count") {
      opts.keepCountRaw = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-q" || arg == "--quiesce") {
      opts.quiesce = true;
    } else if (arg == "-d" || arg == "--dry-run") {
      opts.dryRun = true;
    } else if (arg == "-v" || arg == "--verbose") {
      opts.verbose = true;
    } else if (arg == "-i" || arg == "--incremental") {
      opts.incremental = true;
    } else if (arg == "-C" || arg == "--chain-length") {
      opts.chainLengthRaw = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-j" || arg == "--jobs") {
      opts.jobsRaw = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-M" || arg == "--metrics-dir") {
      opts.metricsDir = takeValue(printUsage, arg, i, argc, argv);
    } else if (arg == "-h" || arg == "--help") {
      printUsage(std::cout);
      std::exit(kExitSuccess);
    } else {
      failWithUsage(printUsage, "Unknown option: ", arg);
    }
  }
  return opts;
}

void printUsage(std::ostream& out) {
  const std::string_view name = config::kAppName;
  out << name << " v" << config::kAppVersion << "\n"
      << "\n"
      << "Backs up a single libvirt/KVM VM to a timestamped directory.\n"
      << "\n"
      << "Usage:\n"
      << "  " << name << " -n <vm-name> -r <backup-root> -k <keep-count> [options]\n"
      << "\n"
      << "Required:\n"
      << "  -n, --vm-name NAME       Name of the VM to back up.\n"
      << "  -r, --backup-root PATH   Root directory where backups will be created.\n"
      << "                           Backups land in: <backup-root>/<vm-name>/<timestamp>/\n"
      << "  -k, --keep-count N       Number of backups to retain (positive integer).\n"
      << "                           Older backups beyond this count are deleted on\n"
      << "                           successful runs.\n"
      << "\n"
      << "Optional:\n"
      << "  -q, --quiesce            Request application-consistent backup via the\n"
      << "                           qemu-guest-agent filesystem freeze.\n"
      << "                           - Ignored when the VM is powered off (offline\n"
      << "                             snapshot is already maximally consistent).\n"
      << "                           - Requires the guest agent to be responsive when\n"
      << "                             the VM is running--fails fast in step 1 if the\n"
      << "                             agent is unavailable. No silent fallback.\n"
      << "  -i, --incremental        Back up only the blocks that changed since the\n"
      << "                           previous backup of this VM's chain; take a full\n"
      << "                           backup that starts a new chain when none can\n"
      << "                           continue.\n"
      << "  -C, --chain-length N     At most N backups in one chain: the full one and\n"
      << "                           N-1 incremental ones (default 7).\n"
      << "  -j, --jobs N             Copy each disk with N requests in flight, so that\n"
      << "                           it compresses on several cores (qemu-img convert\n"
      << "                           -W -m N; N at most 16).\n"
      << "  -M, --metrics-dir DIR    After the run, replace quorlane-backup-<vm-name>.prom\n"
      << "                           there, for Prometheus' node exporter (its textfile\n"
      << "                           directory); nothing where DIR does not exist.\n"
      << "  -d, --dry-run            Run validation (step 1) only and report what\n"
      << "                           would happen. Make no changes.\n"
      << "  -v, --verbose            Detailed console output for diagnostics.\n"
      << "  -h, --help               Show this message and exit.\n"
      << "\n"
      << "Examples:\n"
      << "  # Daily backup, keep 7\n"
      << "  " << name << " -n web01 -r /backups -k 7\n"
      << "\n"
      << "  # Application-consistent backup, keep 14\n"
      << "  " << name << " --vm-name db01 --backup-root /backups --keep-count 14 --quiesce\n"
      << "\n"
      << "  # Validate without backing up\n"
      << "  " << name << " --vm-name web01 --backup-root /backups --keep-count 7 --dry-run\n"
      << "\n"
      << "Exit codes:\n"
      << "  0  success\n"
      << "  1  validation or backup failure\n"
      << "  2  snapshot removal failure (VM may need manual intervention)\n";
}

}  // namespace quorlane
