#include "quorlane/restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>

#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/paths.h"
#include "quorlane/process.h"
#include "quorlane/restore_xml.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDisksCopiedLine = "] All disks backed up successfully.\n";
constexpr std::string_view kTempSuffix = ".quorlane-restore-tmp";

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return text.str();
}

std::int64_t nowEpoch() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// Flushes a file or directory to stable storage; returns whether it worked.
// File systems that cannot sync a directory answer EINVAL: nothing to do.
bool syncPath(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return ok;
}

std::string humanSize(std::uintmax_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(unit == 0 ? 0 : 1);
  text << value << " " << kUnits[unit];
  return text.str();
}

// Space the files of a directory take on disk (thin images count what they hold).
std::uintmax_t sizeOnDisk(const std::string& dir) {
  std::uintmax_t total = 0;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    struct stat status {};
    if (lstat(entry.path().c_str(), &status) == 0) {
      total += static_cast<std::uintmax_t>(status.st_blocks) * 512;
    }
  }
  return total;
}

bool diskCopyCompleted(const std::string& dir, const std::string& vm, const std::string& ts) {
  const std::optional<std::string> log = readFile(joinPath(dir, vm + "-" + ts + ".log"));
  return log && log->find(kDisksCopiedLine) != std::string::npos;
}

// The timestamp-named backup directories below vmDir, newest first.
std::vector<std::string> backupNames(const std::string& vmDir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(vmDir, ec)) {
    std::error_code typeEc;
    const std::string name = entry.path().filename().string();
    if (entry.is_directory(typeEc) && isTimestampName(name)) names.push_back(name);
  }
  std::sort(names.rbegin(), names.rend());
  return names;
}

// The disk targets whose images a backup directory holds, from their file names.
std::vector<std::string> imageTargets(const std::string& dir, const std::string& vm) {
  std::vector<std::string> targets;
  const std::string prefix = vm + "-";
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > prefix.size() + 6 && name.starts_with(prefix) && name.ends_with(".qcow2")) {
      targets.push_back(name.substr(prefix.size(), name.size() - prefix.size() - 6));
    }
  }
  std::sort(targets.begin(), targets.end());
  return targets;
}

// The "virtual-size" of `qemu-img info --output=json`, or empty.
std::string virtualSize(const std::string& json) {
  static const std::regex kSize("\"virtual-size\"\\s*:\\s*([0-9]+)");
  std::smatch match;
  return std::regex_search(json, match, kSize) ? match[1].str() : std::string();
}

bool sameContent(const std::string& a, const std::string& b) {
  const std::optional<std::string> left = readFile(a);
  const std::optional<std::string> right = readFile(b);
  return left && right && *left == *right;
}

bool writeWhole(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file << text;
  file.close();
  return static_cast<bool>(file);
}

}  // namespace

Restore::Restore(RestoreOptions opts, Logger& log) : opts_(std::move(opts)), log_(log) {}

int Restore::run() {
  startEpoch_ = nowEpoch();
  // libvirt takes absolute file names only.
  if (!opts_.imageDir.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(opts_.imageDir, ec);
    if (!ec) opts_.imageDir = absolute.lexically_normal().string();
    while (opts_.imageDir.size() > 1 && opts_.imageDir.back() == '/') opts_.imageDir.pop_back();
  }
  if (opts_.list) return runList();
  if (opts_.check) return runCheck();
  return runRestore();
}

// ---------------------------------------------------------------------------
// Finding the backup

bool Restore::locateBackup(bool completeOnly) {
  if (!opts_.backupDir.empty()) {
    dir_ = opts_.backupDir;
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    vm_ = fs::path(parentDir(dir_)).filename().string();
    if (!isDirectory(dir_)) {
      log_.error("Backup directory does not exist: " + dir_);
      return false;
    }
    const std::string ts = fs::path(dir_).filename().string();
    if (!isTimestampName(ts) || vm_.empty()) {
      log_.error("Not a backup directory (expected <backup-root>/<vm-name>/<timestamp>): " + dir_);
      return false;
    }
    if (completeOnly && !diskCopyCompleted(dir_, vm_, ts)) {
      log_.error("Backup is incomplete (its log lacks 'All disks backed up successfully.'): " +
                 dir_);
      return false;
    }
    return true;
  }
  vm_ = opts_.vmName;
  const std::string vmDir = joinPath(opts_.backupRoot, vm_);
  const std::vector<std::string> names = backupNames(vmDir);
  if (names.empty()) {
    log_.error("No backups of VM '" + vm_ + "' under " + vmDir);
    return false;
  }
  std::string chosen;
  if (!opts_.timestamp.empty()) {
    if (std::find(names.begin(), names.end(), opts_.timestamp) == names.end()) {
      log_.error("No backup " + opts_.timestamp + " of VM '" + vm_ + "' under " + vmDir +
                 " (see --list)");
      return false;
    }
    chosen = opts_.timestamp;
    if (completeOnly && !diskCopyCompleted(joinPath(vmDir, chosen), vm_, chosen)) {
      log_.error("Backup " + chosen + " of VM '" + vm_ +
                 "' is incomplete; pick a complete one "
                 "(see --list)");
      return false;
    }
  } else if (completeOnly) {
    for (const std::string& name : names) {
      if (diskCopyCompleted(joinPath(vmDir, name), vm_, name)) {
        chosen = name;
        break;
      }
    }
    if (chosen.empty()) {
      log_.error("No complete backup of VM '" + vm_ + "' under " + vmDir);
      return false;
    }
  } else {
    chosen = names.front();
  }
  dir_ = joinPath(vmDir, chosen);
  log_.trace("Backup directory: " + dir_);
  return true;
}

// ---------------------------------------------------------------------------
// --list

int Restore::runList() {
  const std::string vmDir = joinPath(opts_.backupRoot, opts_.vmName);
  const std::vector<std::string> names = backupNames(vmDir);
  if (names.empty()) {
    log_.error("No backups of VM '" + opts_.vmName + "' under " + vmDir);
    return kExitFailure;
  }
  for (const std::string& name : names) {
    const std::string dir = joinPath(vmDir, name);
    std::string disks;
    for (const std::string& target : imageTargets(dir, opts_.vmName)) {
      disks += (disks.empty() ? "" : ",") + target;
    }
    const bool complete = diskCopyCompleted(dir, opts_.vmName, name);
    std::cout << name << "  " << (complete ? "complete  " : "incomplete")
              << "  disks: " << (disks.empty() ? "-" : disks)
              << "  size: " << humanSize(sizeOnDisk(dir)) << "\n";
  }
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// --check

// Checks every file of the backup and logs each problem; true if it is sound.
// Without requireCorrected a missing corrected definition only warns: the
// restore builds its definition from the verbatim one.
bool Restore::checkBackup(bool requireCorrected) {
  bool sound = true;
  const std::string ts = fs::path(dir_).filename().string();
  if (!diskCopyCompleted(dir_, vm_, ts)) {
    log_.error("Disk copy did not complete: the log " + joinPath(dir_, vm_ + "-" + ts + ".log") +
               " is missing or lacks 'All disks backed up successfully.'");
    sound = false;
  }
  const std::string verbatimPath = joinPath(dir_, vm_ + ".xml.backup");
  const std::optional<std::string> verbatim = readFile(verbatimPath);
  std::optional<DefinitionInventory> inventory;
  if (!verbatim) {
    log_.error("Definition missing or unreadable: " + verbatimPath);
    return false;
  }
  inventory = readDefinition(*verbatim);
  if (!inventory) {
    log_.error("Definition is not a libvirt domain definition: " + verbatimPath);
    return false;
  }
  verbatimXml_ = *verbatim;
  disks_ = inventory->disks;
  blockDisks_ = inventory->block;
  nvramPath_ = inventory->nvram;
  const std::string correctedPath = joinPath(dir_, vm_ + ".xml");
  if (!exists(correctedPath)) {
    if (requireCorrected) {
      log_.error("Corrected definition missing: " + correctedPath);
      sound = false;
    } else {
      log_.warn("Corrected definition missing: " + correctedPath +
                "; restoring from the verbatim definition.");
    }
  }
  if (!nvramPath_.empty()) {
    const std::string nvram = joinPath(dir_, vm_ + "-nvram.fd");
    if (!exists(nvram)) {
      log_.error("NVRAM file missing: " + nvram + " (the definition names " + nvramPath_ + ")");
      sound = false;
    }
  }
  if (disks_.empty()) {
    log_.error("The definition names no disk: " + verbatimPath);
    sound = false;
  }
  for (const auto& [target, source] : disks_) {
    const std::string image = joinPath(dir_, vm_ + "-" + target + ".qcow2");
    if (!exists(image)) {
      log_.error("Disk image missing for " + target + ": " + image);
      sound = false;
      continue;
    }
    log_.info("  " + target + ": " + image);
    const CommandResult check = runCommand({"qemu-img", "check", "-q", "-f", "qcow2", image});
    if (!check.ok()) {
      log_.error("qemu-img check failed for " + image + ": " + firstLine(check.err + check.out));
      sound = false;
      continue;
    }
    // qemu-img check reads metadata only; a damaged compressed cluster shows
    // only when every cluster is read back and decompressed. The null block
    // driver takes the data and stores nothing, so the read costs no space.
    const CommandResult info =
        runCommand({"qemu-img", "info", "--output=json", "-f", "qcow2", image});
    const std::string size = virtualSize(info.out);
    if (!info.ok() || size.empty()) {
      log_.error("qemu-img info failed for " + image + ": " + firstLine(info.err));
      sound = false;
      continue;
    }
    const CommandResult read =
        runCommand({"qemu-img", "convert", "-n", "-f", "qcow2", "--target-image-opts", image,
                    "driver=null-co,size=" + size});
    if (!read.ok()) {
      log_.error("Image does not read back whole: " + image + ": " + firstLine(read.err));
      sound = false;
      continue;
    }
    log_.trace("Image " + image + " is sound and reads back whole.");
  }
  return sound;
}

int Restore::runCheck() {
  log_.info("Step 1: Locating the backup...");
  if (!locateBackup(false)) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Step 2: Checking backup " + dir_ + "...");
  if (!checkBackup(true)) {
    log_.error("Backup is damaged or incomplete: " + dir_);
    log_.error("Do not restore from it; pick another one with --list.");
    record("damaged");
    return kExitBackupDamaged;
  }
  log_.info("Backup is sound: " + dir_);
  record("check_passed");
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// Restore

void Restore::planTargets() {
  newName_ = opts_.asName.empty() ? vm_ : opts_.asName;
  RestoredDefinition restored;
  restored.newName = opts_.asName;
  targets_.clear();
  for (const auto& [target, source] : disks_) {
    std::string dir = opts_.imageDir;
    if (dir.empty()) dir = blockDisks_[target] ? std::string(kDefaultImageDir) : parentDir(source);
    const std::string path = joinPath(dir, newName_ + "-" + target + ".qcow2");
    targets_.push_back({target, joinPath(dir_, vm_ + "-" + target + ".qcow2"), path,
                        path + std::string(kTempSuffix)});
    restored.images[target] = path;
  }
  if (!nvramPath_.empty()) {
    const std::string dir = opts_.imageDir.empty() ? parentDir(nvramPath_) : opts_.imageDir;
    const std::string path = joinPath(dir, newName_ + "-nvram.fd");
    targets_.push_back(
        {"nvram", joinPath(dir_, vm_ + "-nvram.fd"), path, path + std::string(kTempSuffix)});
    restored.nvram = path;
  }
  const std::string defPath = joinPath(parentDir(targets_.front().path), newName_ + ".xml");
  targets_.push_back({"definition", "", defPath, defPath + std::string(kTempSuffix)});
  restoredXml_ = buildRestoredDefinition(verbatimXml_, restored).value_or("");
}

bool Restore::validateTargets() {
  bool ok = true;
  if (restoredXml_.empty()) {
    log_.error("Could not build the restored definition from " +
               joinPath(dir_, vm_ + ".xml.backup"));
    ok = false;
  }
  std::vector<std::string> seen;
  for (const RestoreTarget& t : targets_) {
    const std::string dir = parentDir(t.path);
    if (std::find(seen.begin(), seen.end(), dir) == seen.end()) {
      seen.push_back(dir);
      if (!isDirectory(dir)) {
        if (!opts_.asName.empty()) {
          log_.error("Target directory does not exist: " + dir +
                     " (create it, or pick another "
                     "--image-dir)");
          ok = false;
        } else {
          log_.info("  Target directory " + dir + " does not exist; it will be created.");
        }
      } else if (access(dir.c_str(), W_OK) != 0) {
        log_.error("Target directory is not writable: " + dir);
        ok = false;
      }
    }
    if (exists(t.path) && !opts_.force) {
      log_.error("Target file exists: " + t.path + " (move it away, or use --force to replace it)");
      ok = false;
    }
  }
  const std::string& name = newName_;
  const CommandResult state = runCommand({"virsh", "domstate", name});
  if (!state.started) {
    log_.error("virsh not found on PATH (install libvirt-clients)");
    return false;
  }
  const bool defined = state.ok();
  const bool notFound = state.err.find("failed to get domain") != std::string::npos ||
                        state.err.find("Domain not found") != std::string::npos;
  if (!defined && !notFound) {
    log_.error("Could not ask libvirt about VM '" + name + "': " + firstLine(state.err));
    return false;
  }
  if (!opts_.asName.empty() && defined) {
    log_.error("A VM named '" + name + "' is already defined; pick another name for --as.");
    ok = false;
  }
  if (opts_.asName.empty() && defined) {
    const std::string current = firstLine(state.out);
    log_.trace("VM '" + name + "' power state: " + current);
    if (current != "shut off") {
      log_.error("VM '" + name + "' is " + current +
                 "; a restore never writes over a VM that "
                 "runs. Shut it down first: virsh shutdown " +
                 name);
      ok = false;
    }
  }
  return ok;
}

void Restore::printDryRun() const {
  std::cout << "\n=== DRY RUN SUMMARY ===\n"
            << "Backup:              " << dir_ << "\n"
            << "Restored VM:         " << newName_
            << (opts_.asName.empty() ? " (in place)" : " (beside the original)") << "\n";
  std::cout << "\nFiles that would be written:\n";
  for (const RestoreTarget& t : targets_) {
    std::cout << "  " << t.label << "  " << (t.source.empty() ? "(restored definition)" : t.source)
              << "\n         -> " << t.path << (exists(t.path) ? " (replaced)" : "") << "\n";
  }
  if (opts_.define)
    std::cout << "\nWould define " << newName_ << (opts_.start ? " and start it" : "") << ".\n";
  std::cout << "\n(Dry run. No changes made.)\n";
}

void Restore::removeTemporaries() {
  for (const RestoreTarget& t : targets_) {
    std::error_code ec;
    fs::remove(t.temp, ec);
  }
  for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) {
    std::error_code ec;
    fs::remove(*it, ec);
  }
  createdDirs_.clear();
}

bool Restore::writeFiles() {
  for (const RestoreTarget& t : targets_) {
    const std::string dir = parentDir(t.path);
    if (!isDirectory(dir)) {
      // Remember each directory this run creates, so a failure removes it again.
      std::vector<std::string> missing;
      for (fs::path p = dir; !p.empty() && !isDirectory(p.string()); p = p.parent_path()) {
        missing.push_back(p.string());
      }
      std::error_code ec;
      fs::create_directories(dir, ec);
      if (ec) {
        log_.error("Could not create directory " + dir + ": " + ec.message());
        return false;
      }
      createdDirs_.insert(createdDirs_.end(), missing.rbegin(), missing.rend());
    }
  }
  log_.info("Step 2: Restoring disks...");
  for (const RestoreTarget& t : targets_) {
    if (t.label == "nvram" || t.label == "definition") continue;
    log_.info("  " + t.label + ": " + t.source);
    log_.info("         -> " + t.path);
    const CommandResult convert =
        runCommand({"qemu-img", "convert", "-f", "qcow2", "-O", "qcow2", t.source, t.temp});
    if (!convert.ok()) {
      log_.error("Could not write " + t.temp + ": " + firstLine(convert.err));
      return false;
    }
    const CommandResult compare =
        runCommand({"qemu-img", "compare", "-f", "qcow2", "-F", "qcow2", t.source, t.temp});
    if (!compare.ok()) {
      log_.error("Restored image differs from the backup: " + t.temp + ": " +
                 firstLine(compare.out + compare.err));
      return false;
    }
    log_.trace("Image " + t.temp + " is identical to the backup.");
  }
  for (const RestoreTarget& t : targets_) {
    if (t.label == "nvram") {
      log_.info("Step 3: Restoring NVRAM to " + t.path + "...");
      std::error_code ec;
      fs::copy_file(t.source, t.temp, fs::copy_options::overwrite_existing, ec);
      if (ec || !sameContent(t.source, t.temp)) {
        log_.error("Could not copy NVRAM " + t.source + " to " + t.temp +
                   (ec ? ": " + ec.message() : ": the copy differs"));
        return false;
      }
    } else if (t.label == "definition") {
      log_.info("Step 4: Writing restored definition " + t.path + "...");
      if (!writeWhole(t.temp, restoredXml_)) {
        log_.error("Could not write " + t.temp + ": " + std::strerror(errno));
        return false;
      }
    }
  }
  for (const RestoreTarget& t : targets_) {
    if (!syncPath(t.temp)) {
      log_.error("Could not flush " + t.temp + " to disk: " + std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool Restore::moveIntoPlace() {
  log_.info("Step 5: Moving restored files into place...");
  for (const RestoreTarget& t : targets_) {
    std::error_code ec;
    fs::rename(t.temp, t.path, ec);
    if (ec) {
      log_.error("Could not rename " + t.temp + " to " + t.path + ": " + ec.message());
      return false;
    }
    log_.trace("Renamed " + t.temp + " -> " + t.path);
  }
  for (const RestoreTarget& t : targets_) syncPath(parentDir(t.path));
  createdDirs_.clear();
  return true;
}

bool Restore::defineAndStart() {
  const std::string& definition = targets_.back().path;
  log_.info("Step 6: Defining VM '" + newName_ + "' from " + definition + "...");
  const CommandResult define = runCommand({"virsh", "define", definition});
  if (!define.ok()) {
    log_.error("virsh define failed: " + firstLine(define.err));
    log_.error("The restored files are in place; fix the cause and run: virsh define " +
               definition);
    return false;
  }
  if (!opts_.start) return true;
  log_.info("Step 7: Starting VM '" + newName_ + "'...");
  const CommandResult start = runCommand({"virsh", "start", newName_});
  if (!start.ok()) {
    log_.error("virsh start failed: " + firstLine(start.err));
    log_.error("The VM is defined; fix the cause and run: virsh start " + newName_);
    return false;
  }
  return true;
}

int Restore::runRestore() {
  log_.info("Step 1: Validating backup and targets...");
  if (!locateBackup(true)) {
    record("failure");
    return kExitFailure;
  }
  const CommandResult probe = runCommand({"qemu-img", "--version"});
  if (!probe.started || (!probe.ok() && probe.exitCode == 127)) {
    log_.error("qemu-img not found on PATH (install qemu-utils)");
    record("failure");
    return kExitFailure;
  }
  if (!checkBackup(false)) {
    log_.error("Backup is damaged or incomplete: " + dir_ + " (pick another one with --list)");
    record("failure");
    return kExitFailure;
  }
  planTargets();
  if (!validateTargets()) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Step 1: validation passed.");
  if (opts_.dryRun) {
    printDryRun();
    record("dry_run");
    return kExitSuccess;
  }
  if (!writeFiles() || !moveIntoPlace()) {
    removeTemporaries();
    log_.error("Restore failed; no existing file was changed.");
    record("failure");
    return kExitFailure;
  }
  if (opts_.define && !defineAndStart()) {
    record("failure");
    return kExitFailure;
  }
  log_.info("Restore complete: VM '" + newName_ + "' from " + dir_);
  record("success");
  return kExitSuccess;
}

// ---------------------------------------------------------------------------
// The run record

void Restore::record(const std::string& result) const {
  const std::string vm = vm_.empty() ? opts_.vmName : vm_;
  if (vm.empty() && opts_.backupDir.empty()) return;
  std::string line = "[" + nowTimestamp() + "] vm=" + vm + " result=" + result;
  const std::string from = dir_.empty() ? opts_.backupDir : dir_;
  if (!from.empty()) line += " from=" + from;
  if (!newName_.empty() && !opts_.check) line += " to=" + newName_;
  line += " duration=" + std::to_string(nowEpoch() - startEpoch_) + "s version=";
  line += config::kAppVersion;
  appendApplicationLog(escapeControlCharacters(line), kRestoreLogFile);
}

}  // namespace quorlane
