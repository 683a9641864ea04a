#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/fd.h"

namespace quorlane {

// The locks that keep runs of both programs apart. Each is a flock, which the
// kernel drops when its process ends, however it ends: a killed run never
// leaves a stale lock behind.

// The lock of one VM, <dir>/<vm>.lock, held by the one run that changes the
// VM or its backups. Its holder writes into the file which program it is,
// its pid and when it took the lock, so that a run that finds the VM locked
// can say which run holds it.
class VmLock {
 public:
  // Takes the lock without waiting, creating the directory (mode 0755) when
  // it is missing. False when the lock cannot be taken; why() then names the
  // run that holds it, or says what stood in the way.
  bool take(std::string_view dir, const std::string& vm, std::string_view program);
  const std::string& why() const { return why_; }

 private:
  Fd fd_;
  std::string why_;
};

// Shared locks on the directories of a backup and of every backup it depends
// on, held while a restore reads them: retention deletes none of them.
class BackupReadLock {
 public:
  // Waits while retention deletes one of them. False when the backup's own
  // directory is gone, or was deleted during the wait (why() says so); a
  // missing backup of its chain is left to the chain's check, which names it.
  bool take(const BackupDir& backup);
  const std::string& why() const { return why_; }

 private:
  std::vector<Fd> fds_;
  std::string why_;
};

// Exclusive locks on the backups of a VM directory that retention is about
// to delete, each taken without waiting. A backup that a restore reads cannot
// be locked: it is kept, and so are the backups it depends on, which that
// restore reads too.
class PruneLock {
 public:
  PruneLock(const std::string& vmDir, const std::string& vm,
            const std::vector<std::string>& timestamps);
  bool kept(const std::string& timestamp) const { return kept_.count(timestamp) > 0; }

 private:
  std::map<std::string, Fd> locked_;
  std::set<std::string> kept_;
};

}  // namespace quorlane
