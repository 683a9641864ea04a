#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quorlane/backup_check.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"
#include "quorlane/qemu_img.h"
#include "quorlane/restore_cli.h"
#include "quorlane/restore_files.h"

namespace quorlane {

inline constexpr std::string_view kRestoreLogFile = "/var/log/quorlane/quorlane-restore.log";

// --check found the backup damaged or incomplete.
inline constexpr int kExitBackupDamaged = 3;

// What the restore log records of a run, each part when known.
struct RestoreRecord {
  std::string vm;    // the VM the backup was taken of
  std::string from;  // the backup
  std::string to;    // the restored VM, or where single files went
  std::string mode;  // "live", "extract", "mount"; empty for a copy restore
};

// Appends the run's line to the restore log; a run that knows neither the
// VM nor the backup records nothing.
void appendRestoreRecord(const RestoreRecord& run, const std::string& result,
                         std::int64_t startEpoch, const std::string& reason = {});

// One --list, --check or copy restore run (LiveRestore runs --live and
// --finish). A step that fails throws BackupError, whose stage is the result
// the run records: "failure", or "damaged" when --check finds the backup
// so. A termination signal, acted on after the outside command or step
// during which it came, throws BackupInterrupted. run() catches either
// once: the restore removes what it wrote and created, renames and defines
// nothing, and ends with 1 (3 for a damaged backup) or 128 plus the signal
// number.
class Restore {
 public:
  Restore(RestoreOptions opts, Logger& log, CommandRunner& runner);
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

  // Returns the process exit status: 0, 1, 3, or 128 plus a signal number.
  int run();

 private:
  int runList();
  void runCheck();
  void runRestore();
  void copyImage(const RestoreTarget& t);
  CommandResult compareWithBackup(const RestoreTarget& t) const;
  void record(const std::string& result, const std::string& reason = {}) const;

  RestoreOptions opts_;
  Logger& log_;
  QemuImg qemuImg_;
  BackupCheck check_;
  RestoreFiles files_;
  std::int64_t startEpoch_ = 0;
};

}  // namespace quorlane
