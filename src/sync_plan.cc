#include "quorlane/sync_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <set>

#include "quorlane/paths.h"

namespace quorlane {

namespace fs = std::filesystem;

std::map<std::string, RemoteListing> remoteBackups(const RemoteListing& vmListing) {
  std::map<std::string, RemoteListing> backups;
  for (const auto& [path, file] : vmListing) {
    const std::size_t slash = path.find('/');
    if (slash == std::string::npos || !isTimestampName(path.substr(0, slash))) continue;
    backups[path.substr(0, slash)][path.substr(slash + 1)] = file;
  }
  return backups;
}

bool remoteComplete(const std::string& vm, const std::string& timestamp,
                    const RemoteListing& files) {
  return files.count(backupLogName(vm, timestamp)) != 0;
}

std::vector<std::string> travellingFiles(const std::vector<std::string>& names,
                                         const std::string& vm, const std::string& timestamp) {
  const std::string log = backupLogName(vm, timestamp);
  std::vector<std::string> files;
  bool hasLog = false;
  for (const std::string& name : names) {
    if (name == log) {
      hasLog = true;
    } else if (!(name.starts_with("live-restore-") && name.ends_with(".pin"))) {
      files.push_back(name);
    }
  }
  std::sort(files.begin(), files.end());
  if (hasLog) files.push_back(log);
  return files;
}

std::optional<RemoteFile> localFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  std::tm local{};
  if (localtime_r(&status.st_mtime, &local) == nullptr) return std::nullopt;
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S", &local);
  return RemoteFile{static_cast<std::uint64_t>(status.st_size), time};
}

namespace {

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    std::error_code typeEc;
    if (entry.is_regular_file(typeEc)) names.push_back(entry.path().filename().string());
  }
  return names;
}

bool sameOnRemote(const BackupDir& backup, const std::vector<std::string>& files,
                  const RemoteListing& remote) {
  for (const std::string& name : files) {
    const auto there = remote.find(name);
    if (there == remote.end() || localFile(joinPath(backup.path, name)) != there->second) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<PushItem> planPush(const std::vector<BackupDir>& complete,
                               const std::map<std::string, RemoteListing>& remote) {
  std::vector<BackupDir> oldestFirst = complete;
  std::sort(oldestFirst.begin(), oldestFirst.end(),
            [](const BackupDir& a, const BackupDir& b) { return a.timestamp < b.timestamp; });
  std::vector<PushItem> plan;
  for (const BackupDir& backup : oldestFirst) {
    PushItem item{backup.timestamp,
                  travellingFiles(namesIn(backup.path), backup.vm, backup.timestamp)};
    const auto there = remote.find(backup.timestamp);
    if (there != remote.end() && remoteComplete(backup.vm, backup.timestamp, there->second)) {
      if (sameOnRemote(backup, item.files, there->second)) continue;
      item.repair = true;
    }
    plan.push_back(std::move(item));
  }
  return plan;
}

std::vector<std::string> prunePlan(const std::map<std::string, std::string>& parents, long keep) {
  std::set<std::string> kept;
  long counted = 0;
  for (auto it = parents.rbegin(); it != parents.rend() && counted < keep; ++it, ++counted) {
    for (std::string ts = it->first; !ts.empty() && kept.insert(ts).second;) {
      const auto parent = parents.find(ts);
      ts = parent == parents.end() ? std::string() : parent->second;
    }
  }
  std::vector<std::string> pruned;
  for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
    if (kept.count(it->first) == 0) pruned.push_back(it->first);
  }
  return pruned;
}

std::vector<std::string> staleLeftovers(const std::string& vm,
                                        const std::map<std::string, RemoteListing>& remote) {
  std::string newestComplete;
  for (const auto& [ts, files] : remote) {
    if (remoteComplete(vm, ts, files)) newestComplete = ts;
  }
  std::vector<std::string> stale;
  for (const auto& [ts, files] : remote) {
    if (ts < newestComplete && !remoteComplete(vm, ts, files)) stale.push_back(ts);
  }
  return stale;
}

std::optional<std::vector<std::string>> chainToPull(
    const std::string& timestamp, const std::map<std::string, std::string>& parents,
    std::string& missing) {
  std::vector<std::string> chain;
  for (std::string ts = timestamp; !ts.empty();) {
    const auto member = parents.find(ts);
    if (member == parents.end() || std::find(chain.begin(), chain.end(), ts) != chain.end()) {
      missing = ts;
      return std::nullopt;
    }
    chain.push_back(ts);
    ts = member->second;
  }
  std::reverse(chain.begin(), chain.end());
  return chain;
}

}  // namespace quorlane
