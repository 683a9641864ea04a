#include "quorlane/retention.h"

#include <algorithm>
#include <set>

#include "quorlane/backup_dir.h"

namespace quorlane {

namespace {

// The backups that count for retention. An interrupted or unfinished run's
// directory holds no usable backup, must not take the place of a complete
// one, and stays for the operator to inspect. A backup that a live restore
// reads from, and what it depends on, must stay as long as the VM reads it.
std::vector<BackupDir> countedBackups(const std::string& vmDir, const std::string& vm) {
  const std::vector<BackupDir> all = listBackups(vmDir, vm);
  const std::vector<std::string> pinned = pinnedBackups(all);
  std::vector<BackupDir> counted;
  for (const BackupDir& backup : all) {
    if (backup.complete() &&
        std::find(pinned.begin(), pinned.end(), backup.timestamp) == pinned.end()) {
      counted.push_back(backup);
    }
  }
  return counted;
}

}  // namespace

RetentionPlan planRetention(const std::string& vmDir, const std::string& vm, long keep,
                            const NewBackup& backup) {
  std::vector<BackupDir> backups = countedBackups(vmDir, vm);
  RetentionPlan plan;
  plan.counted = backups.size();
  if (std::none_of(backups.begin(), backups.end(),
                   [&](const BackupDir& b) { return b.timestamp == backup.timestamp; })) {
    backups.push_back(backupDirIn(vmDir, vm, backup.timestamp));
  }
  std::set<std::string> parentChain;
  if (!backup.parent.empty()) {
    for (const BackupDir& member : chainOf(backupDirIn(vmDir, vm, backup.parent)).members) {
      parentChain.insert(member.timestamp);
    }
  }
  for (const std::string& name : backupsToPrune(backups, keep, backup.timestamp)) {
    if (parentChain.count(name) == 0) plan.deleted.push_back(name);
  }
  return plan;
}

}  // namespace quorlane
