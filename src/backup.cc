#include "quorlane/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <system_error>
#include <vector>

#include "quorlane/backup_error.h"
#include "quorlane/config.h"
#include "quorlane/paths.h"
#include "quorlane/process.h"

namespace {

std::atomic<int> gCaughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

// Only records the signal: the run acts on it between steps, so that no
// step is cut off half-way.
extern "C" void quorlane_handle_signal(int signo) {
  gCaughtSignal.store(signo, std::memory_order_relaxed);
}

namespace quorlane {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Text and file helpers

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trim(const std::string& s) {
  const auto b = std::find_if_not(s.begin(), s.end(), isSpace);
  const auto e = std::find_if_not(s.rbegin(), s.rend(), isSpace).base();
  if (b >= e) return {};
  return std::string(b, e);
}

std::string stripAllSpaces(const std::string& s) {
  std::string result;
  result.reserve(s.size());
  for (char c : s) {
    if (!isSpace(c)) result += c;
  }
  return result;
}

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream stream(s);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> tokenizeWhitespace(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream stream(s);
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

void replaceAll(std::string& haystack, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  std::size_t pos = 0;
  while ((pos = haystack.find(from, pos)) != std::string::npos) {
    haystack.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::optional<std::string> tryReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::string readFile(const std::string& path) {
  std::optional<std::string> content = tryReadFile(path);
  if (!content) throw BackupError("Could not read file: " + path);
  return std::move(*content);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) throw BackupError("Could not open file for writing: " + path);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  // A full disk may only show when the buffered rest is written out.
  file.close();
  if (file.fail()) throw BackupError("Could not write file: " + path);
}

bool isPositiveInteger(const std::string& s) {
  if (s.empty() || s.front() == '0') return false;
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool onPath(const std::string& cmd) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::istringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    if (access((dir + "/" + cmd).c_str(), X_OK) == 0) return true;
  }
  return false;
}

std::int64_t nowEpoch() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string backupLogName(const std::string& vmName, const std::string& timestamp) {
  return vmName + "-" + timestamp + ".log";
}

constexpr std::string_view kDisksCopiedMessage = "All disks backed up successfully.";
// Below this, an overlay's file system counts as full after a failed merge.
constexpr std::uintmax_t kNearlyFullBytes = 16u << 20;

// A run that was interrupted leaves its directory behind, with a per-backup
// log that never reached the end of the disk copy. That directory holds no
// usable backup: it must not take the place of a complete one in the
// retention count, and it stays for the operator to inspect.
bool isUnfinishedRun(const std::string& vmDir, const std::string& vmName, const std::string& name) {
  const std::optional<std::string> log =
      tryReadFile(joinPath(joinPath(vmDir, name), backupLogName(vmName, name)));
  if (!log) return false;
  return log->find("] " + std::string(kDisksCopiedMessage) + "\n") == std::string::npos;
}

// The names of the backups below vmDir: subdirectories (links to
// directories included) whose names have the timestamp form, less those of
// unfinished runs. Anything else an operator keeps there is neither counted
// nor deleted.
std::vector<std::string> listBackupDirs(const std::string& vmDir, const std::string& vmName) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(vmDir, ec);
  if (ec) return names;
  for (const fs::directory_entry& entry : it) {
    std::error_code typeEc;
    if (!entry.is_directory(typeEc)) continue;
    std::string name = entry.path().filename().string();
    if (isTimestampName(name) && !isUnfinishedRun(vmDir, vmName, name)) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

// libvirt writes these characters escaped inside attribute values and text.
std::string xmlEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '\'': escaped += "&apos;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string xmlUnescape(std::string text) {
  replaceAll(text, "&lt;", "<");
  replaceAll(text, "&gt;", ">");
  replaceAll(text, "&apos;", "'");
  replaceAll(text, "&quot;", "\"");
  replaceAll(text, "&amp;", "&");
  return text;
}

// Replaces `from` by `to` in both the plain and the XML-escaped spelling.
// Returns whether either spelling occurred.
bool replaceInXml(std::string& xml, const std::string& before, const std::string& from,
                  const std::string& to, const std::string& after) {
  bool found = false;
  for (const auto& [oldText, newText] :
       {std::pair{from, to}, std::pair{xmlEscape(from), xmlEscape(to)}}) {
    const std::string needle = before + oldText + after;
    if (xml.find(needle) == std::string::npos) continue;
    found = true;
    replaceAll(xml, needle, before + newText + after);
  }
  return found;
}

// Every backed-up disk is a qcow2 image, whatever format the VM's own image
// has. A definition that still said raw would hand the guest the qcow2
// container as its disk, so the driver of the disk whose source is
// `sourceAttr` is switched to qcow2.
void setDriverTypeQcow2(std::string& xml, const std::string& sourceAttr) {
  static const std::string kTypeAttr = " type='";
  for (std::size_t start = xml.find("<disk "); start != std::string::npos;
       start = xml.find("<disk ", start + 1)) {
    const std::size_t end = xml.find("</disk>", start);
    if (end == std::string::npos) return;
    const std::size_t source = xml.find(sourceAttr, start);
    if (source == std::string::npos || source > end) continue;
    const std::size_t driver = xml.find("<driver", start);
    if (driver == std::string::npos || driver > end) continue;
    const std::size_t type = xml.find(kTypeAttr, driver);
    if (type == std::string::npos || type > xml.find('>', driver)) continue;
    const std::size_t valueStart = type + kTypeAttr.size();
    const std::size_t valueEnd = xml.find('\'', valueStart);
    if (valueEnd == std::string::npos) return;
    xml.replace(valueStart, valueEnd - valueStart, "qcow2");
  }
}

// The part of `line` after its first `words` whitespace-separated words, trimmed.
std::string restAfterWords(const std::string& line, int words) {
  std::size_t pos = 0;
  for (int i = 0; i < words; ++i) {
    while (pos < line.size() && isSpace(line[pos])) ++pos;
    while (pos < line.size() && !isSpace(line[pos])) ++pos;
  }
  return trim(line.substr(pos));
}

// Parses `virsh domblklist --details`: Type, Device, Target, Source. The
// source is the rest of the line, so a path with blanks stays whole.
std::map<std::string, std::string> parseDiskList(const std::string& output) {
  std::map<std::string, std::string> disks;
  for (const std::string& line : splitLines(output)) {
    const std::vector<std::string> words = tokenizeWhitespace(line);
    if (words.size() < 4 || words[1] != "disk") continue;
    std::string source = restAfterWords(line, 3);
    if (source == "-") continue;
    disks[words[2]] = std::move(source);
  }
  return disks;
}

// The NVRAM file named in a definition, with XML escapes resolved, or empty.
std::string extractNvramPath(const std::string& xml) {
  static const std::regex kNvram("<nvram[^>]*>([^<]*)</nvram>");
  std::smatch match;
  if (!std::regex_search(xml, match, kNvram)) return {};
  return xmlUnescape(match[1].str());
}

// True for a base that exists and is not a regular file: a block device
// (a logical volume, a device-mapper or loop device), links followed.
bool isDeviceBase(const std::string& basePath) {
  struct stat status {};
  return stat(basePath.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// A file image gets its overlay beside it. A device's directory is under
// /dev, where libvirt cannot create a file for QEMU (and a file there would
// live in memory), so a device's overlay goes to libvirt's image directory.
std::string overlayPath(const std::string& basePath, const std::string& vmName,
                        const std::string& target) {
  const std::string dir =
      isDeviceBase(basePath) ? std::string(config::kLibvirtImageDir) : parentDir(basePath);
  return joinPath(dir, vmName + "-" + target + "." + std::string(config::kSnapshotName) + ".qcow2");
}

std::string backupDiskName(const std::string& vmName, const std::string& target) {
  return vmName + "-" + target + ".qcow2";
}

std::string nvramFileName(const std::string& vmName) { return vmName + "-nvram.fd"; }

// Flushes a file or directory to stable storage; returns the errno, or 0.
// File systems that cannot sync a directory answer EINVAL: nothing to do.
int syncPath(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int result = fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
  close(fd);
  return result;
}

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = quorlane_handle_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signo : {SIGHUP, SIGINT, SIGTERM}) sigaction(signo, &action, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------
// Run record: one line in the application log for every run with an outcome.

class Backup::RunRecorder {
 public:
  enum Result : int {
    kUnset = 0,
    kSuccess = 1,
    kDryRun = 2,
    kFailure = 3,
    kSnapshotRemovalFailed = 4,
    kInterrupted = 5,
  };

  explicit RunRecorder(const Backup& b) : b_(b) {}
  RunRecorder(const RunRecorder&) = delete;
  RunRecorder& operator=(const RunRecorder&) = delete;
  ~RunRecorder();

  void setSuccess() { result_ = kSuccess; }
  void setDryRun() { result_ = kDryRun; }
  void setFailure() { result_ = kFailure; }
  void setSnapshotRemovalFailed() { result_ = kSnapshotRemovalFailed; }
  void setInterrupted(int signo);

 private:
  const char* resultString() const;
  std::string computeStage() const;
  std::string computeConsistency() const;
  std::string buildLine() const;

  const Backup& b_;
  Result result_ = kUnset;
  std::string reason_;
};

void Backup::RunRecorder::setInterrupted(int signo) {
  result_ = kInterrupted;
  switch (signo) {
    case SIGHUP: reason_ = "SIGHUP (terminal disconnect)"; break;
    case SIGINT: reason_ = "SIGINT (Ctrl-C)"; break;
    case SIGTERM: reason_ = "SIGTERM"; break;
    default: reason_ = "signal " + std::to_string(signo);
  }
}

const char* Backup::RunRecorder::resultString() const {
  switch (result_) {
    case kSuccess: return "success";
    case kDryRun: return "dry_run";
    case kFailure: return "failure";
    case kSnapshotRemovalFailed: return "snapshot_removal_failed";
    case kInterrupted: return "interrupted";
    default: return "unknown";
  }
}

std::string Backup::RunRecorder::computeStage() const {
  if (result_ != kFailure) return {};
  if (!b_.step2Ok_) return "validation_or_setup";
  if (!b_.step3Ok_) return "step3_xml_dump";
  if (!b_.step4Ok_) return "step4_nvram";
  if (!b_.snapshotCreated_) return "step5_snapshot";
  if (!b_.step6Ok_) return "step6_disk_backup";
  return "post_backup";
}

std::string Backup::RunRecorder::computeConsistency() const {
  if (result_ != kSuccess && result_ != kSnapshotRemovalFailed) return {};
  if (b_.domState_.empty()) return {};
  if (b_.domState_ != "running") return "offline-consistent";
  return b_.opts_.quiesce ? "application-consistent" : "crash-consistent";
}

std::string Backup::RunRecorder::buildLine() const {
  std::string line = "[" + nowTimestamp() + "] vm=" + b_.opts_.vmName;
  line += " result=";
  line += resultString();
  if (const std::string stage = computeStage(); !stage.empty()) line += " stage=" + stage;
  // Only a directory this run created: a refused one holds another run's backup.
  if (b_.step2Ok_ && isDirectory(b_.backupDir_)) line += " dir=" + b_.backupDir_;
  if (const std::string label = computeConsistency(); !label.empty()) {
    line += " consistency=" + label;
  }
  line += " duration=" + std::to_string(nowEpoch() - b_.startEpoch_) + "s version=";
  line += config::kAppVersion;
  if (!reason_.empty()) line += " reason=\"" + reason_ + "\"";
  return escapeControlCharacters(line);
}

Backup::RunRecorder::~RunRecorder() {
  if (b_.opts_.vmName.empty() || result_ == kUnset) return;
  try {
    appendApplicationLog(buildLine());
  } catch (const std::exception&) {
    // Out of memory while building the record: the run's outcome stands.
  }
}

// ---------------------------------------------------------------------------
// The job

Backup::Backup(Options opts, Logger& log) : opts_(std::move(opts)), log_(log) {}

Backup::~Backup() = default;

int Backup::run() {
  startEpoch_ = nowEpoch();
  installSignalHandlers();
  RunRecorder record(*this);
  try {
    validate();
    if (opts_.dryRun) {
      runDryRun();
      record.setDryRun();
      return kExitSuccess;
    }
    initPaths();
    checkInterrupted();
    createBackupDir();
    checkInterrupted();
    dumpXmlAndEnumerateDisks();
    checkInterrupted();
    backupNvram();
    checkInterrupted();
    createSnapshot();
    checkInterrupted();
    backupDisks();
    checkInterrupted();
    generateCorrectedXml();
    const int code = finish(kExitSuccess);
    if (code == kExitSnapshotRemovalFailed) {
      record.setSnapshotRemovalFailed();
    } else {
      record.setSuccess();
    }
    return code;
  } catch (const BackupInterrupted& e) {
    log_.warn(std::string("Interrupted by ") + strsignal(e.signo()) +
              "; leaving snapshot and partial backup as evidence for manual cleanup.");
    record.setInterrupted(e.signo());
    return 128 + e.signo();
  } catch (const BackupError& e) {
    if (!e.alreadyReported()) log_.error(e.what());
    record.setFailure();
    const int code = finish(kExitFailure);
    if (code == kExitSnapshotRemovalFailed) record.setSnapshotRemovalFailed();
    return code;
  }
}

void Backup::checkInterrupted() const {
  const int signo = gCaughtSignal.load(std::memory_order_relaxed);
  if (signo != 0) throw BackupInterrupted(signo);
}

std::string Backup::consistencyLabel() const {
  if (domState_ != "running") return "offline-consistent (VM is powered off)";
  return opts_.quiesce ? "application-consistent (quiesce via guest agent)"
                       : "crash-consistent (no quiesce)";
}

// ---------------------------------------------------------------------------
// Step 1: validation

void Backup::validate() {
  log_.info("Step 1: Validating arguments and environment...");
  const std::string& vm = opts_.vmName;
  if (vm.empty()) throw BackupError("Missing required argument: --vm-name");
  if (opts_.backupRoot.empty()) throw BackupError("Missing required argument: --backup-root");
  if (opts_.keepCountRaw.empty()) throw BackupError("Missing required argument: --keep-count");
  if (!isPositiveInteger(opts_.keepCountRaw)) {
    throw BackupError("--keep-count must be a positive integer (got: '" + opts_.keepCountRaw +
                      "')");
  }
  keepCount_ = std::stol(opts_.keepCountRaw);

  for (const std::string program : {"virsh", "qemu-img"}) {
    if (!onPath(program)) throw BackupError("Required command not found in PATH: " + program);
  }
  if (!runCommand({"virsh", "dominfo", vm}).ok()) {
    throw BackupError("VM '" + vm + "' not found, or libvirt is unreachable");
  }
  if (!isDirectory(opts_.backupRoot)) {
    throw BackupError("Backup root does not exist or is not a directory: " + opts_.backupRoot);
  }
  if (access(opts_.backupRoot.c_str(), W_OK) != 0) {
    throw BackupError("Backup root is not writable: " + opts_.backupRoot);
  }

  const CommandResult snapshots = runCommand({"virsh", "snapshot-list", vm, "--name"});
  for (const std::string& line : splitLines(snapshots.out)) {
    if (trim(line) == config::kSnapshotName) {
      reportPriorSnapshot();
      throw BackupError("prior snapshot present", "validation_or_setup", true);
    }
  }

  domState_ = stripAllSpaces(runCommand({"virsh", "domstate", vm}).out);
  log_.trace("VM '" + vm + "' power state: " + domState_);

  if (opts_.quiesce && domState_ == "running") {
    log_.trace("Checking qemu-guest-agent responsiveness...");
    const CommandResult ping = runCommand(
        {"virsh", "qemu-agent-command", "--timeout", "5", vm, R"({"execute":"guest-ping"})"});
    if (!ping.ok()) {
      reportUnresponsiveAgent();
      throw BackupError("guest agent unresponsive", "validation_or_setup", true);
    }
    log_.trace("Guest agent is responsive, quiesce will be applied.");
  }
  log_.info("Step 1: validation passed.");
}

void Backup::reportPriorSnapshot() const {
  const std::string snapshot(config::kSnapshotName);
  log_.error("Prior backup snapshot '" + snapshot + "' exists on VM '" + opts_.vmName + "'.");
  log_.error("A previous run was interrupted. Investigate and clean up the");
  log_.error("existing snapshot (and any partial backup directory under");
  log_.error(opts_.backupRoot + "/" + opts_.vmName + "/) before running again.");
  log_.error("");
  log_.error("Recovery: 'virsh snapshot-delete " + opts_.vmName + " " + snapshot + "'");
  log_.error("  will merge the overlay back into the base and clean up.");
}

void Backup::reportUnresponsiveAgent() const {
  log_.error("--quiesce was requested, but qemu-guest-agent is not");
  log_.error("responsive on VM '" + opts_.vmName + "'. Either install/start the");
  log_.error("agent inside the guest, or omit --quiesce to take a");
  log_.error("crash-consistent backup.");
}

// ---------------------------------------------------------------------------
// Dry run

void Backup::runDryRun() {
  const std::string& vm = opts_.vmName;
  const std::string dir =
      joinPath(joinPath(opts_.backupRoot, vm), formatLocalTime("%Y-%m-%d_%H-%M-%S"));
  std::ostream& out = std::cout;
  out << "\n=== DRY RUN SUMMARY ===\n"
      << "VM:                  " << vm << "\n"
      << "Power state:         " << domState_ << "\n"
      << "Backup directory:    " << dir << "\n"
      << "Snapshot name:       " << config::kSnapshotName << "\n"
      << "Consistency:         " << consistencyLabel() << "\n"
      << "Retention:           keep " << keepCount_ << " most recent\n";

  out << "\nDisks that would be backed up:\n";
  const auto disks = parseDiskList(runCommand({"virsh", "domblklist", vm, "--details"}).out);
  for (const auto& [target, source] : disks) {
    out << "  " << target << "  " << source << "\n"
        << "         -> " << backupDiskName(vm, target) << "\n";
  }

  const std::string nvram = extractNvramPath(runCommand({"virsh", "dumpxml", vm}).out);
  if (!nvram.empty()) {
    out << "\nNVRAM (UEFI VM):     " << nvram << "\n"
        << "         -> " << nvramFileName(vm) << "\n";
  }

  const std::string vmDir = joinPath(opts_.backupRoot, vm);
  if (isDirectory(vmDir)) {
    const auto existing = static_cast<long>(listBackupDirs(vmDir, vm).size());
    out << "\nExisting backups for this VM: " << existing << "\n";
    if (existing >= keepCount_) {
      out << "After this backup, retention would delete " << existing - keepCount_ + 1
          << " old backup(s).\n";
    }
  }
  out << "\n(Dry run. No changes made.)\n";
}

// ---------------------------------------------------------------------------
// Step 2: backup paths and directory

void Backup::initPaths() {
  timestamp_ = formatLocalTime("%Y-%m-%d_%H-%M-%S");
  backupDir_ = joinPath(joinPath(opts_.backupRoot, opts_.vmName), timestamp_);
  verbatimXml_ = joinPath(backupDir_, opts_.vmName + ".xml.backup");
  correctedXml_ = joinPath(backupDir_, opts_.vmName + ".xml");
}

void Backup::createBackupDir() {
  log_.info("Step 2: Creating backup directory: " + backupDir_);
  std::error_code ec;
  fs::create_directories(parentDir(backupDir_), ec);
  // The timestamp directory itself must be new: an existing one holds another
  // run's backup, which a later failure of this run would delete. Guest disk
  // copies are for the owner only, whatever the umask.
  if (!ec && mkdir(backupDir_.c_str(), 0700) != 0) {
    if (errno == EEXIST) {
      throw BackupError("Backup directory already exists, not reusing it: " + backupDir_);
    }
    ec.assign(errno, std::generic_category());
  }
  if (!ec && chmod(backupDir_.c_str(), 0700) != 0) ec.assign(errno, std::generic_category());
  if (ec) {
    throw BackupError("Failed to create backup directory: " + backupDir_ + ": " + ec.message());
  }
  step2Ok_ = true;
  backupDirIdentity_ = identityOf(backupDir_);
  log_.setBackupLog(joinPath(backupDir_, backupLogName(opts_.vmName, timestamp_)));
  log_.info("quorlane-backup v" + std::string(config::kAppVersion) + " - backing up '" +
            opts_.vmName + "'");
}

// ---------------------------------------------------------------------------
// Step 3: definition dump and disk inventory

void Backup::dumpXmlAndEnumerateDisks() {
  log_.info("Step 3: Saving VM configuration to " + verbatimXml_ + "...");
  const std::string& vm = opts_.vmName;
  const CommandResult dump = runCommand({"virsh", "dumpxml", vm});
  if (!dump.ok()) throw BackupError("Failed to dump VM XML: " + trim(dump.err));
  writeFile(verbatimXml_, dump.out);
  log_.trace("XML saved (" + std::to_string(splitLines(dump.out).size()) + " lines).");

  diskBasePaths_ = parseDiskList(runCommand({"virsh", "domblklist", vm, "--details"}).out);
  if (diskBasePaths_.empty()) throw BackupError("No disks found for VM '" + vm + "'");
  for (const auto& [target, source] : diskBasePaths_) {
    log_.trace("Disk found: " + target + " -> " + source);
  }

  nvramPath_ = extractNvramPath(dump.out);
  if (!nvramPath_.empty()) {
    log_.trace("NVRAM path: " + nvramPath_);
  } else {
    log_.trace("No NVRAM element (BIOS VM).");
  }
  step3Ok_ = true;
}

// ---------------------------------------------------------------------------
// Step 4: NVRAM copy

void Backup::backupNvram() {
  log_.info("Step 4: Backing up NVRAM...");
  if (nvramPath_.empty()) {
    log_.info("  No NVRAM file (BIOS VM). Skipping.");
    step4Ok_ = true;
    return;
  }
  std::error_code ec;
  if (!fs::is_regular_file(nvramPath_, ec)) {
    throw BackupError("NVRAM file referenced by VM XML does not exist: " + nvramPath_);
  }
  const std::string destination = joinPath(backupDir_, nvramFileName(opts_.vmName));
  fs::copy_file(nvramPath_, destination, fs::copy_options::overwrite_existing, ec);
  if (ec) throw BackupError("Failed to copy NVRAM from " + nvramPath_ + ": " + ec.message());
  log_.trace("NVRAM copied: " + nvramPath_ + " -> " + destination);
  step4Ok_ = true;
}

// ---------------------------------------------------------------------------
// Step 5: external snapshot

void Backup::createSnapshot() {
  const std::string snapshot(config::kSnapshotName);
  log_.info("Step 5: Creating external snapshot '" + snapshot + "'...");
  const std::string& vm = opts_.vmName;
  std::vector<std::string> argv = {"virsh",  "snapshot-create-as", vm,
                                   snapshot, "--disk-only",        "--atomic"};
  const std::string state = stripAllSpaces(runCommand({"virsh", "domstate", vm}).out);
  if (opts_.quiesce) {
    if (state == "running") {
      argv.push_back("--quiesce");
      log_.trace("VM is running, applying --quiesce (agent validated in step 1).");
    } else {
      log_.trace("--quiesce requested but VM is '" + state + "'; flag skipped.");
    }
  }
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string overlay = overlayPath(basePath, vm, target);
    if (isDeviceBase(basePath) && !isDirectory(parentDir(overlay))) {
      throw BackupError("Directory for the overlay of disk " + target + " (" + basePath +
                        ") does not exist: " + parentDir(overlay));
    }
    argv.push_back("--diskspec");
    argv.push_back(target + ",snapshot=external,file=" + overlay);
    log_.trace("Overlay for " + target + ": " + overlay);
  }
  const CommandResult result = runCommand(argv);
  if (!result.ok()) {
    throw BackupError("Failed to create snapshot '" + snapshot + "' on VM '" + vm +
                      "': " + trim(result.err));
  }
  snapshotCreated_ = true;
  log_.info("Snapshot created.");
}

// ---------------------------------------------------------------------------
// Step 6: disk copy

void Backup::backupDisks() {
  log_.info("Step 6: Backing up disks (thin + compressed qcow2)...");
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string destination = joinPath(backupDir_, backupDiskName(opts_.vmName, target));
    log_.info("  " + target + ": " + basePath);
    log_.info("         -> " + destination);
    const CommandResult result = runCommand({"qemu-img", "convert", "-O", "qcow2", "-c", "-o",
                                             "compression_type=zstd", basePath, destination});
    if (!result.ok()) {
      std::string detail = trim(result.err);
      if (detail.empty()) detail = trim(result.out);
      throw BackupError("Failed to back up disk: " + target + " (" + basePath + "): " + detail);
    }
    if (identityOf(backupDir_) != backupDirIdentity_) {
      throw BackupError("Failed to back up disk: " + target + " (" + basePath +
                        "): the backup directory vanished during the copy: " + backupDir_);
    }
  }
  step6Ok_ = true;
  log_.info(kDisksCopiedMessage);
}

Backup::FileIdentity Backup::identityOf(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return {};
  return {static_cast<std::uintmax_t>(status.st_dev), static_cast<std::uintmax_t>(status.st_ino)};
}

// ---------------------------------------------------------------------------
// Step 7: corrected definition

void Backup::generateCorrectedXml() {
  log_.info("Step 7: Generating corrected XML (normalized file names)...");
  try {
    std::string xml = readFile(verbatimXml_);
    for (const auto& [target, oldPath] : diskBasePaths_) {
      const std::string newPath =
          joinPath(parentDir(oldPath), backupDiskName(opts_.vmName, target));
      if (!replaceInXml(xml, "file='", oldPath, newPath, "'")) {
        log_.warn("Disk " + target + ": path " + oldPath +
                  " not found in the definition; the corrected XML still names it.");
        continue;
      }
      setDriverTypeQcow2(xml, "file='" + xmlEscape(newPath) + "'");
    }
    if (!nvramPath_.empty()) {
      const std::string newNvram = joinPath(parentDir(nvramPath_), nvramFileName(opts_.vmName));
      if (!replaceInXml(xml, ">", nvramPath_, newNvram, "</nvram>")) {
        log_.warn("NVRAM path " + nvramPath_ +
                  " not found in the definition; the corrected XML still names it.");
      }
    }
    writeFile(correctedXml_, xml);
    step7Ok_ = true;
    log_.info("Corrected XML written: " + correctedXml_);
  } catch (const std::exception& e) {
    log_.warn(std::string("Failed to generate corrected XML: ") + e.what());
    log_.warn("Backup data is still valid and restorable from the verbatim XML:");
    log_.warn("  " + verbatimXml_);
    std::error_code ec;
    fs::remove(correctedXml_, ec);
  }
}

// ---------------------------------------------------------------------------
// Steps 8 and 9: snapshot removal, cleanup and retention

int Backup::finish(int code) {
  bool removalFailed = false;
  if (snapshotCreated_) {
    const std::string snapshot(config::kSnapshotName);
    log_.info("Step 8.a: Removing snapshot '" + snapshot + "'...");
    const CommandResult result = runCommand({"virsh", "snapshot-delete", opts_.vmName, snapshot});
    if (result.ok()) {
      log_.info("Snapshot removed (overlay merged into base by libvirt).");
    } else {
      removalFailed = true;
      log_.error("FAILED to remove snapshot '" + snapshot + "' on VM '" + opts_.vmName + "'.");
      log_.error("libvirt: " + trim(result.err));
      log_.error("The VM may still be running on an un-merged overlay.");
      log_.error("Manual intervention is required.");
      reportFullOverlayFileSystem();
    }
  }
  if (step2Ok_ && !step6Ok_) deletePartialBackupDir();
  if (step6Ok_) {
    // Old backups go only once the new one is safely on disk: qemu-img does
    // not flush its output, and a power loss must not leave nothing usable.
    if (syncBackupToDisk()) pruneOldBackups();
  }
  if (removalFailed) return kExitSnapshotRemovalFailed;
  if (code == kExitSuccess) log_.info("Backup complete: " + backupDir_);
  return code;
}

// QEMU pauses a VM that cannot store a write in its overlay, and the merge
// cannot finish before there is room again. When an overlay's file system is
// (nearly) full after a failed merge, the operator learns which overlay, the
// state the VM is in now, and the commands that bring it back on its base.
void Backup::reportFullOverlayFileSystem() const {
  const std::string& vm = opts_.vmName;
  bool full = false;
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string overlay = overlayPath(basePath, vm, target);
    const std::optional<std::uintmax_t> room = availableBytes(parentDir(overlay));
    if (!room || *room >= kNearlyFullBytes) continue;
    full = true;
    log_.error("The file system holding the overlay of " + target + " is full (" +
               std::to_string(*room / 1024) + " KiB free): " + overlay);
  }
  if (!full) return;
  const CommandResult state = runCommand({"virsh", "domstate", vm, "--reason"});
  const std::string stateText = state.ok() ? trim(state.out) : "unknown";
  const bool paused = stateText == "paused (I/O error)";
  log_.error("VM '" + vm + "' is " + stateText + (paused ? ": it waits for room to write." : "."));
  log_.error("Free space there, then run " +
             (paused ? "'virsh resume " + vm + "' and " : std::string()) + "'virsh snapshot-delete " +
             vm + " " + std::string(config::kSnapshotName) + "'.");
}

void Backup::deletePartialBackupDir() {
  log_.warn("Backup is incomplete. Deleting partial backup directory.");
  const std::string expected = joinPath(joinPath(opts_.backupRoot, opts_.vmName), timestamp_);
  if (backupDir_ != expected || !isDirectory(backupDir_)) return;
  std::error_code ec;
  fs::remove_all(backupDir_, ec);
  log_.trace("Deleted: " + backupDir_);
}

bool Backup::syncBackupToDisk() {
  const std::string vmDir = parentDir(backupDir_);
  std::vector<std::string> paths;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(backupDir_, ec)) {
    std::error_code typeEc;
    if (entry.is_regular_file(typeEc)) paths.push_back(entry.path().string());
  }
  paths.insert(paths.end(), {backupDir_, vmDir, parentDir(vmDir)});
  for (const std::string& path : paths) {
    if (const int error = syncPath(path); error != 0) {
      log_.warn("Could not flush " + path + " to stable storage: " + std::strerror(error) +
                "; old backups are kept.");
      return false;
    }
  }
  return true;
}

void Backup::pruneOldBackups() {
  log_.info("Step 9: Pruning old backups (keeping " + std::to_string(keepCount_) +
            " most recent)...");
  const std::string vmDir = joinPath(opts_.backupRoot, opts_.vmName);
  if (!isDirectory(vmDir)) return;
  std::vector<std::string> backups = listBackupDirs(vmDir, opts_.vmName);
  const auto total = static_cast<long>(backups.size());
  if (total <= keepCount_) {
    log_.trace(std::to_string(total) + " backup(s) present, within retention limit.");
    return;
  }
  // This run's backup always keeps its place, even when a clock set back
  // makes it sort below older ones.
  const auto own = std::find(backups.begin(), backups.end(), timestamp_);
  long othersToKeep = keepCount_;
  if (own != backups.end()) {
    backups.erase(own);
    --othersToKeep;
  }
  std::sort(backups.begin(), backups.end(), std::greater<>());
  for (auto it = backups.begin() + othersToKeep; it != backups.end(); ++it) {
    log_.info("  Deleting old backup: " + *it);
    std::error_code ec;
    fs::remove_all(joinPath(vmDir, *it), ec);
  }
}

}  // namespace quorlane
