#include "quorlane/backup_dir.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "quorlane/files.h"
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

std::string backupLogName(const std::string& vm, const std::string& timestamp) {
  return vm + "-" + timestamp + ".log";
}

std::string verbatimDefinitionName(const std::string& vm) { return vm + ".xml.backup"; }

std::string correctedDefinitionName(const std::string& vm) { return vm + ".xml"; }

std::string diskImageName(const std::string& vm, const std::string& target) {
  return vm + "-" + target + ".qcow2";
}

std::string nvramFileName(const std::string& vm) { return vm + "-nvram.fd"; }

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

bool BackupDir::complete() const {
  // The logger frames every line as "[time] message\n".
  const std::optional<std::string> text = readFile(log());
  return text && text->find("] " + std::string(kDisksCopiedMessage) + "\n") != std::string::npos;
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

BackupDir backupDirIn(const std::string& vmDir, const std::string& vm,
                      const std::string& timestamp) {
  return {joinPath(vmDir, timestamp), vm, timestamp};
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
