#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/rclone.h"

namespace quorlane {

// What quorlane-sync decides from the local backups of one VM and what a
// remote holds of them. A remote keeps the local layout,
// <remote>/<vm>/<timestamp>/<files>, and a backup there counts as complete
// only when its per-backup log is there: the log is copied last, after
// every other file of the backup arrived and was verified.

// The backups in a listing of <remote>/<vm>: timestamp to its files.
std::map<std::string, RemoteListing> remoteBackups(const RemoteListing& vmListing);

// Whether the listed files of a remote backup include its log.
bool remoteComplete(const std::string& vm, const std::string& timestamp,
                    const RemoteListing& files);

// The files of a backup that travel, the log last; live-restore pins are
// local state and stay.
std::vector<std::string> travellingFiles(const std::vector<std::string>& names,
                                         const std::string& vm, const std::string& timestamp);

// A local file as rclone lists it.
std::optional<RemoteFile> localFile(const std::string& path);

struct PushItem {
  std::string timestamp;
  std::vector<std::string> files;  // the log last
  bool repair = false;             // complete on the remote but not the same: its log goes first
};

// The complete local backups that are not complete and the same on the
// remote, oldest first, so that a chain's parents go before its
// incrementals.
std::vector<PushItem> planPush(const std::vector<BackupDir>& complete,
                               const std::map<std::string, RemoteListing>& remote);

// The backups that retention deletes among complete ones, given each one's
// parent (empty for a full backup): all but the `keep` newest and what
// those depend on. Newest first.
std::vector<std::string> prunePlan(const std::map<std::string, std::string>& parents, long keep);

// The remote backups that are not complete and older than the newest
// complete one: leftovers of pushes that were stopped and never finished.
std::vector<std::string> staleLeftovers(const std::string& vm,
                                        const std::map<std::string, RemoteListing>& remote);

// The backup `timestamp` and every backup it depends on, oldest first,
// given each complete backup's parent; nothing when one is missing, and the
// first missing timestamp in `missing`.
std::optional<std::vector<std::string>> chainToPull(
    const std::string& timestamp, const std::map<std::string, std::string>& parents,
    std::string& missing);

}  // namespace quorlane
