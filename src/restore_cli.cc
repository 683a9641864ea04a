#include "quorlane/restore_cli.h"

#include <cstdlib>
#include <iostream>
#include <string_view>

#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/guest_path.h"

namespace quorlane {

namespace {

// --finish needs nothing but the VM's name: the VM's definition names its backup.
void checkFinish(const RestoreOptions& opts) {
  const bool other = !opts.backupDir.empty() || !opts.vmName.empty() || !opts.backupRoot.empty() ||
                     !opts.timestamp.empty() || !opts.asName.empty() || !opts.imageDir.empty() ||
                     opts.list || opts.check || opts.define || opts.force || opts.dryRun ||
                     readsGuestFiles(opts) || !opts.output.empty();
  if (other) failWithUsage(printRestoreUsage, "--finish takes only --bandwidth and --verbose", "");
}

// --ls, --extract and --mount read the guest's files from one backup, and
// only --extract writes anything (into --output).
void checkGuestFiles(const RestoreOptions& opts) {
  const bool extracting = !opts.extract.empty();
  if (opts.ls + extracting + !opts.mount.empty() > 1)
    failWithUsage(printRestoreUsage, "--ls, --extract and --mount cannot be combined", "");
  if (extracting && opts.output.empty())
    failWithUsage(printRestoreUsage, "--extract needs --output: the directory to write into", "");
  if (!extracting && !opts.output.empty())
    failWithUsage(printRestoreUsage, "--output needs --extract", "");
  if (!readsGuestFiles(opts)) return;
  const bool other = opts.list || opts.check || opts.live || !opts.asName.empty() ||
                     !opts.imageDir.empty() || opts.define || opts.dryRun ||
                     (opts.force && !extracting);
  if (other) {
    const std::string_view action = opts.ls ? "--ls" : extracting ? "--extract" : "--mount";
    failWithUsage(printRestoreUsage, action,
                  extracting ? " reads the guest's files: --list, --check, --as, --image-dir, "
                               "--define, --start, --live and --dry-run do not apply"
                             : " reads the guest's files: --list, --check, --as, --image-dir, "
                               "--define, --start, --live, --force and --dry-run do not apply");
  }
}

// Combinations that no run can serve, refused before anything is looked at.
void checkCombination(const RestoreOptions& opts) {
  if (!opts.finish.empty()) return checkFinish(opts);
  checkGuestFiles(opts);
  if (!opts.bandwidth.empty() && !opts.live)
    failWithUsage(printRestoreUsage, "--bandwidth needs --live or --finish", "");
  const bool byName = !opts.vmName.empty() || !opts.backupRoot.empty();
  if (!opts.backupDir.empty() && (byName || !opts.timestamp.empty())) {
    failWithUsage(printRestoreUsage,
                  "--backup-dir cannot be combined with --vm-name, --backup-root or --timestamp",
                  "");
  }
  if (opts.backupDir.empty() && (opts.vmName.empty() || opts.backupRoot.empty())) {
    failWithUsage(printRestoreUsage,
                  "Give either --backup-dir, or --vm-name together with --backup-root", "");
  }
  if (opts.list && !opts.backupDir.empty())
    failWithUsage(printRestoreUsage, "--list needs --vm-name and --backup-root", "");
  if (opts.list && opts.check)
    failWithUsage(printRestoreUsage, "--list and --check cannot be combined", "");
  const bool restoring =
      !opts.asName.empty() || !opts.imageDir.empty() || opts.define || opts.force || opts.dryRun;
  // A live restore with --check reads every cluster first, as --check does.
  if ((opts.list || (opts.check && !opts.live)) && restoring) {
    failWithUsage(printRestoreUsage, opts.list ? "--list" : "--check",
                  " only reads the backup: --as, --image-dir, --define, --start, --force and "
                  "--dry-run do not apply");
  }
  if (opts.list && !opts.timestamp.empty())
    failWithUsage(printRestoreUsage, "--list cannot be combined with --timestamp", "");
  if (!opts.asName.empty() && opts.imageDir.empty()) {
    failWithUsage(printRestoreUsage, "--as needs --image-dir: the directory for the new VM's files",
                  "");
  }
}

// A script's empty variable must not count as an option left out: an empty
// --as would turn a restore beside the original into one over it.
std::string takeNonEmptyValue(std::string_view flag, int& i, int argc, char** argv) {
  std::string value = takeValue(printRestoreUsage, flag, i, argc, argv);
  if (value.empty()) failWithUsage(printRestoreUsage, "Option requires a non-empty value: ", flag);
  return value;
}

}  // namespace

bool readsGuestFiles(const RestoreOptions& opts) {
  return opts.ls || !opts.extract.empty() || !opts.mount.empty();
}

RestoreOptions parseRestoreArgs(int argc, char** argv) {
  RestoreOptions opts;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-b" || arg == "--backup-dir") {
      opts.backupDir = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-n" || arg == "--vm-name") {
      opts.vmName = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-r" || arg == "--backup-root") {
      opts.backupRoot = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-t" || arg == "--timestamp") {
      opts.timestamp = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-a" || arg == "--as") {
      opts.asName = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-i" || arg == "--image-dir") {
      opts.imageDir = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-l" || arg == "--list") {
      opts.list = true;
    } else if (arg == "-c" || arg == "--check") {
      opts.check = true;
    } else if (arg == "-D" || arg == "--define") {
      opts.define = true;
    } else if (arg == "-s" || arg == "--start") {
      opts.start = true;
      opts.define = true;
    } else if (arg == "-f" || arg == "--force") {
      opts.force = true;
    } else if (arg == "-d" || arg == "--dry-run") {
      opts.dryRun = true;
    } else if (arg == "-v" || arg == "--verbose") {
      opts.verbose = true;
    } else if (arg == "-L" || arg == "--live") {
      opts.live = true;
      opts.start = true;
      opts.define = true;
    } else if (arg == "--bandwidth") {
      opts.bandwidth = takeNonEmptyValue(arg, i, argc, argv);
      if (opts.bandwidth.find_first_not_of("0123456789") != std::string::npos ||
          opts.bandwidth.front() == '0') {
        failWithUsage(printRestoreUsage,
                      "--bandwidth takes a positive whole number of MiB/s: ", opts.bandwidth);
      }
    } else if (arg == "--finish") {
      opts.finish = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "--ls") {
      opts.ls = true;
      if (i + 1 < argc && argv[i + 1][0] != '-')
        opts.lsPath = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-x" || arg == "--extract") {
      opts.extract.push_back(takeNonEmptyValue(arg, i, argc, argv));
    } else if (arg == "-o" || arg == "--output") {
      opts.output = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "--mount") {
      opts.mount = takeNonEmptyValue(arg, i, argc, argv);
    } else if (arg == "-h" || arg == "--help") {
      printRestoreUsage(std::cout);
      std::exit(kExitSuccess);
    } else {
      failWithUsage(printRestoreUsage, "Unknown option: ", arg);
    }
  }
  for (const std::string* value : {&opts.vmName, &opts.asName, &opts.finish}) {
    if (value->find('/') != std::string::npos)
      failWithUsage(printRestoreUsage, "A VM name cannot contain '/': ", *value);
  }
  std::vector<std::string> guestPaths = opts.extract;
  if (!opts.lsPath.empty()) guestPaths.push_back(opts.lsPath);
  for (const std::string& path : guestPaths) {
    if (!parseGuestPath(path)) {
      failWithUsage(printRestoreUsage,
                    "A guest path is absolute (/etc/hosts) or DEVICE:/path (/dev/sda1:/etc), "
                    "without '..': ",
                    path);
    }
  }
  checkCombination(opts);
  return opts;
}

void printRestoreUsage(std::ostream& out) {
  const std::string_view name = kRestoreAppName;
  out << name << " v" << config::kAppVersion << "\n"
      << "\n"
      << "Lists, checks and restores the backups that quorlane-backup writes.\n"
      << "\n"
      << "Usage:\n"
      << "  " << name << " -b <backup-dir> [options]\n"
      << "  " << name << " -n <vm-name> -r <backup-root> [-t <timestamp>] [options]\n"
      << "  " << name << " --finish <vm-name> [--bandwidth MIB]\n"
      << "\n"
      << "Backup:\n"
      << "  -b, --backup-dir DIR     One backup directory: <backup-root>/<vm-name>/<timestamp>\n"
      << "  -n, --vm-name NAME       The VM whose backups to use, with --backup-root.\n"
      << "  -r, --backup-root PATH   Root directory the backups were written to.\n"
      << "  -t, --timestamp TS       The backup named TS (default: the newest complete one).\n"
      << "\n"
      << "Actions (default: restore):\n"
      << "  -l, --list               List every backup of the VM, newest first: timestamp,\n"
      << "                           complete or incomplete, disks, size on disk.\n"
      << "  -c, --check              Check the backup only: every disk image is a sound\n"
      << "                           qcow2 and reads back whole, both definitions and the\n"
      << "                           NVRAM file are present, the disk copy completed.\n"
      << "      --ls [PATH]          List the backup's file systems (device, type, size,\n"
      << "                           label, mount point in the guest); with PATH, the\n"
      << "                           entries of that directory inside the guest.\n"
      << "  -x, --extract PATH       Copy the guest's file or directory PATH into --output\n"
      << "                           (repeatable): modes and times kept, links as links.\n"
      << "  -o, --output DIR         Where --extract writes: a new or empty directory\n"
      << "                           (an existing one with --force).\n"
      << "      --mount DIR          Mount the backup's file systems read-only on DIR\n"
      << "                           until interrupted (Ctrl-C, SIGTERM).\n"
      << "\n"
      << "Restore:\n"
      << "  -a, --as NAME            Restore beside the original as a new VM NAME: new\n"
      << "                           name, no UUID, no MAC addresses. Needs --image-dir.\n"
      << "  -i, --image-dir DIR      Where the restored images and NVRAM go (default: the\n"
      << "                           directories the backup's corrected definition names).\n"
      << "  -D, --define             Define the restored VM with libvirt.\n"
      << "  -s, --start              Start it after defining it (implies --define).\n"
      << "  -f, --force              Replace files that already exist at the target paths.\n"
      << "  -d, --dry-run            Validate and print what would be done. Make no changes.\n"
      << "  -L, --live               Restore live: define and start the VM at once on\n"
      << "                           local images that read from the backup, then copy\n"
      << "                           the data into them while the VM runs (implies\n"
      << "                           --start). The backup is pinned until the copy ends.\n"
      << "      --bandwidth MIB      With --live or --finish: limit the copy to MIB MiB/s.\n"
      << "      --finish NAME        Finish the live restore of VM NAME that an earlier\n"
      << "                           --live left unfinished.\n"
      << "\n"
      << "Optional:\n"
      << "  -v, --verbose            Detailed console output for diagnostics.\n"
      << "  -h, --help               Show this message and exit.\n"
      << "\n"
      << "Examples:\n"
      << "  # Backups of web01, newest first\n"
      << "  " << name << " -n web01 -r /backups --list\n"
      << "\n"
      << "  # Check the newest backup\n"
      << "  " << name << " -n web01 -r /backups --check\n"
      << "\n"
      << "  # Put the newest complete backup back in place and start the VM\n"
      << "  " << name << " -n web01 -r /backups --start\n"
      << "\n"
      << "  # Run web01 again within seconds; its data follows while it runs\n"
      << "  " << name << " -n web01 -r /backups --live\n"
      << "\n"
      << "  # Restore one backup beside the original as web01-copy\n"
      << "  " << name << " -b /backups/web01/2026-03-01_02-00-05 --as web01-copy \\\n"
      << "      --image-dir /var/lib/libvirt/images --define\n"
      << "\n"
      << "Exit codes:\n"
      << "  0  success\n"
      << "  1  usage, validation or restore failure\n"
      << "  3  --check found the backup damaged or incomplete\n"
      << "  4  --ls, --extract or --mount cannot read the guest's files as asked\n"
      << "  128+N  interrupted by signal N (130 for Ctrl-C, 143 for SIGTERM); the files\n"
      << "         it had begun to write are removed\n";
}

}  // namespace quorlane
