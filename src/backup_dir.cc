#include "quorlane/backup_dir.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>

#include "quorlane/files.h"
#include "quorlane/logging.h"
#include "quorlane/paths.h"

namespace quorlane {

namespace fs = std::filesystem;

bool isTimestampName(const std::string& name) {
  static constexpr std::string_view kShape = "dddd-dd-dd_dd-dd-dd";
  if (name.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool digit = name[i] >= '0' && name[i] <= '9';
    if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return false;
  }
  return true;
}

std::string newTimestamp() { return formatLocalTime("%Y-%m-%d_%H-%M-%S"); }

bool marksDisksCopied(const std::string& logText) {
  std::istringstream lines(logText);
  std::string line;
  while (std::getline(lines, line)) {
    if (!lines.eof() && infoMessage(line) == kDisksCopiedMessage) return true;
  }
  return false;
}

std::string backupLogName(const std::string& vm, const std::string& timestamp) {
  return vm + "-" + timestamp + ".log";
}

std::string verbatimDefinitionName(const std::string& vm) { return vm + ".xml.backup"; }

std::string correctedDefinitionName(const std::string& vm) { return vm + ".xml"; }

std::string diskImageName(const std::string& vm, const std::string& target) {
  return vm + "-" + target + ".qcow2";
}

std::string nvramFileName(const std::string& vm) { return vm + "-nvram.fd"; }

std::string chainFileName(const std::string& vm) { return vm + ".chain"; }

std::string backupJobFileName(const std::string& vm) { return vm + "-backup-job.xml"; }

std::string checkpointFileName(const std::string& vm) { return vm + "-checkpoint.xml"; }

namespace {

constexpr std::string_view kCheckpointPrefix = "quorlane-";

}  // namespace

std::string checkpointName(const std::string& timestamp) {
  return std::string(kCheckpointPrefix) + timestamp;
}

std::string checkpointTimestamp(const std::string& checkpoint) {
  if (!checkpoint.starts_with(kCheckpointPrefix)) return {};
  std::string timestamp = checkpoint.substr(kCheckpointPrefix.size());
  return isTimestampName(timestamp) ? timestamp : std::string();
}

std::string formatChainRecord(const ChainRecord& record) {
  std::string text =
      std::string("kind=") + (record.kind == BackupKind::kFull ? "full" : "incremental") + "\n";
  if (!record.parent.empty()) text += "parent=" + record.parent + "\n";
  if (!record.checkpoint.empty()) text += "checkpoint=" + record.checkpoint + "\n";
  for (const auto& [target, size] : record.diskSizes) {
    text += "disk=" + target + " " + std::to_string(size) + "\n";
  }
  return text;
}

namespace {

// Calls `take` with each "key=value" line of a small record file; false as
// soon as it refuses one.
template <typename Take>
bool readSettings(const std::string& text, Take take) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos && !take(line.substr(0, equals), line.substr(equals + 1))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<ChainRecord> parseChainRecord(const std::string& text) {
  ChainRecord record;
  bool kindSeen = false;
  const bool read = readSettings(text, [&](const std::string& key, const std::string& value) {
    if (key == "kind") {
      record.kind = value == "full" ? BackupKind::kFull : BackupKind::kIncremental;
      kindSeen = true;
      return value == "full" || value == "incremental";
    }
    if (key == "parent") record.parent = value;
    if (key == "checkpoint") record.checkpoint = value;
    if (key == "disk") {
      std::istringstream words(value);
      std::string target;
      std::uint64_t size = 0;
      if (!(words >> target >> size)) return false;
      record.diskSizes[target] = size;
    }
    return true;
  });
  if (!read) return std::nullopt;
  const bool parentFits = record.kind == BackupKind::kIncremental ? isTimestampName(record.parent)
                                                                  : record.parent.empty();
  if (!kindSeen || !parentFits) return std::nullopt;
  return record;
}

std::string formatFileMode(const FileMode& file) {
  std::ostringstream text;
  text << std::oct << file.mode << std::dec << " " << file.uid << " " << file.gid << " "
       << file.path;
  return text.str();
}

std::optional<FileMode> parseFileMode(const std::string& text) {
  std::istringstream value(text);
  FileMode file;
  if (!(value >> std::oct >> file.mode >> std::dec >> file.uid >> file.gid) ||
      !std::getline(value >> std::ws, file.path)) {
    return std::nullopt;
  }
  return file;
}

std::string pinFileName(const std::string& vm) { return "live-restore-" + vm + ".pin"; }

std::string formatPin(const Pin& pin) {
  std::ostringstream text;
  text << "vm=" << pin.vm << "\n";
  for (const auto& [target, image] : pin.images) text << "image=" << target << " " << image << "\n";
  for (const FileMode& file : pin.opened) text << "opened=" << formatFileMode(file) << "\n";
  return text.str();
}

std::optional<Pin> parsePin(const std::string& text) {
  Pin pin;
  const bool read = readSettings(text, [&](const std::string& key, const std::string& line) {
    std::istringstream value(line);
    if (key == "vm") pin.vm = line;
    if (key == "image") {
      std::string target;
      std::string image;
      if (!(value >> target) || !std::getline(value >> std::ws, image)) return false;
      pin.images[target] = image;
    }
    if (key == "opened") {
      const std::optional<FileMode> file = parseFileMode(line);
      if (!file) return false;
      pin.opened.push_back(*file);
    }
    return true;
  });
  if (!read || pin.vm.empty()) return std::nullopt;
  return pin;
}

std::string parentImagePath(const std::string& parentTimestamp, const std::string& vm,
                            const std::string& target) {
  return "../" + parentTimestamp + "/" + diskImageName(vm, target);
}

std::string BackupDir::log() const { return joinPath(path, backupLogName(vm, timestamp)); }

std::string BackupDir::verbatimDefinition() const {
  return joinPath(path, verbatimDefinitionName(vm));
}

std::string BackupDir::correctedDefinition() const {
  return joinPath(path, correctedDefinitionName(vm));
}

std::string BackupDir::diskImage(const std::string& target) const {
  return joinPath(path, diskImageName(vm, target));
}

std::string BackupDir::nvram() const { return joinPath(path, nvramFileName(vm)); }

std::string BackupDir::chainFile() const { return joinPath(path, chainFileName(vm)); }

std::string BackupDir::backupJobFile() const { return joinPath(path, backupJobFileName(vm)); }

std::string BackupDir::checkpointFile() const { return joinPath(path, checkpointFileName(vm)); }

std::optional<ChainRecord> BackupDir::chain() const {
  const std::optional<std::string> text = readFile(chainFile());
  if (!text) return std::nullopt;
  return parseChainRecord(*text);
}

bool BackupDir::complete() const {
  const std::optional<std::string> text = readFile(log());
  return text && marksDisksCopied(*text);
}

std::string BackupDir::pinFile(const std::string& restoredVm) const {
  return joinPath(path, pinFileName(restoredVm));
}

std::vector<Pin> BackupDir::pins() const {
  std::vector<Pin> pins;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("live-restore-") || !name.ends_with(".pin")) continue;
    const std::optional<std::string> text = readFile(entry.path().string());
    if (std::optional<Pin> pin = text ? parsePin(*text) : std::nullopt) {
      pins.push_back(std::move(*pin));
    } else {
      // A pin that cannot be read still pins: better a backup kept too long.
      pins.push_back({name, {}, {}});
    }
  }
  return pins;
}

std::vector<std::string> BackupDir::imageTargets() const {
  static constexpr std::string_view kSuffix = ".qcow2";
  const std::string prefix = vm + "-";
  std::vector<std::string> targets;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > prefix.size() + kSuffix.size() && name.starts_with(prefix) &&
        name.ends_with(kSuffix)) {
      targets.push_back(name.substr(prefix.size(), name.size() - prefix.size() - kSuffix.size()));
    }
  }
  std::sort(targets.begin(), targets.end());
  return targets;
}

BackupDir backupDirUnder(const std::string& backupRoot, const std::string& vm,
                         const std::string& timestamp) {
  return backupDirIn(joinPath(backupRoot, vm), vm, timestamp);
}

BackupDir backupDirAt(const std::string& path) {
  std::string dir = path;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return {dir, fs::path(parentDir(dir)).filename().string(), fs::path(dir).filename().string()};
}

BackupDir backupDirIn(const std::string& vmDir, const std::string& vm,
                      const std::string& timestamp) {
  return {joinPath(vmDir, timestamp), vm, timestamp};
}

BackupDir sibling(const BackupDir& backup, const std::string& timestamp) {
  return backupDirIn(parentDir(backup.path), backup.vm, timestamp);
}

Chain chainOf(const BackupDir& backup) {
  Chain chain;
  std::set<std::string> seen;
  for (BackupDir member = backup;;) {
    chain.members.push_back(member);
    if (!isDirectory(member.path)) {
      chain.fault = "backup " + member.timestamp + " of the chain is missing: " + member.path;
      return chain;
    }
    if (!member.complete()) {
      chain.fault = "backup " + member.timestamp + " of the chain is incomplete: " + member.path;
      return chain;
    }
    const std::optional<ChainRecord> record = member.chain();
    if (!record) {
      // A backup made without --incremental stands alone; as a parent it is foreign.
      if (chain.members.size() > 1) {
        chain.fault = "backup " + member.timestamp +
                      " of the chain has no chain record: " + member.chainFile();
      }
      return chain;
    }
    for (const auto& [target, size] : record->diskSizes) {
      if (!fs::exists(member.diskImage(target))) {
        chain.fault = "backup " + member.timestamp + " of the chain lacks its image of " + target +
                      ": " + member.diskImage(target);
        return chain;
      }
    }
    if (record->kind == BackupKind::kFull) return chain;
    if (!seen.insert(member.timestamp).second || record->parent >= member.timestamp) {
      chain.fault =
          "backup " + member.timestamp + " names a parent that is not older: " + record->parent;
      return chain;
    }
    member = sibling(member, record->parent);
  }
}

std::vector<std::string> pinnedBackups(const std::vector<BackupDir>& backups) {
  std::set<std::string> pinned;
  for (const BackupDir& backup : backups) {
    if (backup.pins().empty()) continue;
    for (const BackupDir& member : chainOf(backup).members) pinned.insert(member.timestamp);
  }
  return {pinned.begin(), pinned.end()};
}

std::vector<std::string> backupsToPrune(const std::vector<BackupDir>& complete, long keep,
                                        const std::string& own) {
  std::vector<BackupDir> newestFirst = complete;
  std::sort(newestFirst.begin(), newestFirst.end(), [&](const BackupDir& a, const BackupDir& b) {
    if ((a.timestamp == own) != (b.timestamp == own)) return a.timestamp == own;
    return a.timestamp > b.timestamp;
  });
  std::set<std::string> kept;
  for (std::size_t i = 0; i < newestFirst.size() && static_cast<long>(i) < keep; ++i) {
    for (const BackupDir& member : chainOf(newestFirst[i]).members) kept.insert(member.timestamp);
  }
  std::vector<std::string> pruned;
  for (const BackupDir& backup : newestFirst) {
    if (kept.count(backup.timestamp) == 0) pruned.push_back(backup.timestamp);
  }
  return pruned;
}

std::vector<BackupDir> listBackups(const std::string& vmDir, const std::string& vm) {
  std::vector<BackupDir> backups;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(vmDir, ec)) {
    std::error_code typeEc;
    const std::string name = entry.path().filename().string();
    if (entry.is_directory(typeEc) && isTimestampName(name)) {
      backups.push_back(backupDirIn(vmDir, vm, name));
    }
  }
  std::sort(backups.begin(), backups.end(),
            [](const BackupDir& a, const BackupDir& b) { return a.timestamp > b.timestamp; });
  return backups;
}

}  // namespace quorlane
