#include "quorlane/backup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <system_error>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/backup_error.h"
#include "quorlane/config.h"
#include "quorlane/files.h"
#include "quorlane/metrics.h"
#include "quorlane/paths.h"
#include "quorlane/retention.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"
#include "quorlane/virsh.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

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

// What a backup would hold: each disk with its image's name, and the NVRAM file.
void printFiles(std::ostream& out, const std::string& vm,
                const std::map<std::string, std::string>& disks, const std::string& nvram) {
  out << "\nDisks that would be backed up:\n";
  for (const auto& [target, source] : disks) {
    out << "  " << target << "  " << source << "\n"
        << "         -> " << diskImageName(vm, target) << "\n";
  }
  if (!nvram.empty()) {
    out << "\nNVRAM (UEFI VM):     " << nvram << "\n"
        << "         -> " << nvramFileName(vm) << "\n";
  }
}

// Below this, an overlay's file system counts as full after a failed merge.
constexpr std::uintmax_t kNearlyFullBytes = 16u << 20;

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

  void setDryRun() { result_ = kDryRun; }
  // The result that the exit status of a finished run stands for; returns it.
  int setFinished(int code);
  void setInterrupted(int signo);

 private:
  const char* resultString() const;
  std::string computeStage() const;
  std::string computeConsistency() const;
  std::string buildLine() const;
  void writeMetrics() const;

  const Backup& b_;
  Result result_ = kUnset;
  std::string reason_;
};

int Backup::RunRecorder::setFinished(int code) {
  switch (code) {
    case kExitSuccess: result_ = kSuccess; break;
    case kExitSnapshotRemovalFailed: result_ = kSnapshotRemovalFailed; break;
    default: result_ = kFailure; break;
  }
  return code;
}

void Backup::RunRecorder::setInterrupted(int signo) {
  result_ = kInterrupted;
  reason_ = signalReason(signo);
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
  const bool jobStarted = b_.job_ && b_.job_->started();
  if (b_.chain_.incremental && !jobStarted) return "step5_backup_job";
  if (!b_.snapshotCreated_ && !jobStarted) return "step5_snapshot";
  if (!b_.step6Ok_) return "step6_disk_backup";
  return "post_backup";
}

std::string Backup::RunRecorder::computeConsistency() const {
  if (result_ != kSuccess && result_ != kSnapshotRemovalFailed) return {};
  if (b_.domState_.text.empty()) return {};
  if (b_.domState_.power != PowerState::kRunning) return "offline-consistent";
  return b_.opts_.quiesce ? "application-consistent" : "crash-consistent";
}

std::string Backup::RunRecorder::buildLine() const {
  std::vector<RecordField> fields;
  if (std::string stage = computeStage(); !stage.empty()) fields.push_back({"stage", stage});
  // Only a directory this run created: a refused one holds another run's backup.
  if (b_.step2Ok_ && isDirectory(b_.backupDir_)) fields.push_back({"dir", b_.backupDir_});
  if (std::string label = computeConsistency(); !label.empty()) {
    fields.push_back({"consistency", label});
  }
  if (b_.chainPlanned_) {
    fields.push_back({"kind", b_.chain_.incremental ? "incremental" : "full"});
    if (b_.chain_.incremental) fields.push_back({"parent", b_.chain_.parent});
  }
  return formatRunRecord(b_.opts_.vmName, resultString(), fields, b_.startEpoch_, reason_);
}

// What monitoring needs to see that backups stopped: when the last one
// succeeded, how the last run ended and where, and what the VM has.
void Backup::RunRecorder::writeMetrics() const {
  const std::string fileName = "quorlane-backup-" + b_.opts_.vmName + ".prom";
  const std::string lastSuccess = "quorlane_backup_last_success_timestamp_seconds";
  const double now = static_cast<double>(nowEpoch());
  const bool succeeded = result_ == kSuccess || result_ == kSnapshotRemovalFailed;
  MetricsFile metrics(b_.opts_.vmName);
  metrics.set("quorlane_backup_last_run_timestamp_seconds", "When the last run ended.", now);
  const std::optional<double> success =
      succeeded ? now : previousValue(joinPath(b_.opts_.metricsDir, fileName), lastSuccess);
  if (success) metrics.set(lastSuccess, "When the last backup completed.", *success);
  metrics.set("quorlane_backup_last_result", "How the last run ended: 1 for its result.", 1,
              {{"result", resultString()}, {"stage", computeStage()}});
  metrics.set("quorlane_backup_duration_seconds", "How long the last run took.",
              now - static_cast<double>(b_.startEpoch_));
  std::uintmax_t bytes = 0;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(b_.backupDir_, ec)) {
    std::error_code sizeEc;
    if (entry.is_regular_file(sizeEc)) bytes += entry.file_size(sizeEc);
  }
  metrics.set("quorlane_backup_bytes_written", "Bytes the last run's backup holds.",
              succeeded ? static_cast<double>(bytes) : 0);
  metrics.set("quorlane_backup_kind", "The kind of the last run's backup: 1 for it.", 1,
              {{"kind", b_.chain_.incremental ? "incremental" : "full"}});
  std::size_t complete = 0;
  for (const BackupDir& backup :
       listBackups(joinPath(b_.opts_.backupRoot, b_.opts_.vmName), b_.opts_.vmName)) {
    complete += backup.complete() ? 1 : 0;
  }
  metrics.set("quorlane_backup_local_backups", "Complete backups of the VM on this host.",
              static_cast<double>(complete));
  publish(metrics, b_.opts_.metricsDir, fileName, b_.log_);
}

Backup::RunRecorder::~RunRecorder() {
  if (b_.opts_.vmName.empty() || result_ == kUnset) return;
  try {
    appendApplicationLog(buildLine());
    if (!b_.opts_.metricsDir.empty() && result_ != kDryRun) writeMetrics();
  } catch (const std::exception&) {
    // Out of memory while building the record: the run's outcome stands.
  }
}

// ---------------------------------------------------------------------------
// The job

Backup::Backup(Options opts, Logger& log, CommandRunner& runner)
    : opts_(std::move(opts)), log_(log), virsh_(runner), qemuImg_(runner) {}

Backup::~Backup() = default;

int Backup::run() {
  startEpoch_ = nowEpoch();
  installTerminationHandlers();
  RunRecorder record(*this);
  try {
    validate();
    if (opts_.dryRun) {
      runDryRun();
      record.setDryRun();
      return kExitSuccess;
    }
    backUp();
    return record.setFinished(finish(kExitSuccess));
  } catch (const BackupInterrupted& e) {
    record.setInterrupted(e.signo());
    return stopForSignal(e.signo());
  } catch (const BackupError& e) {
    if (!e.alreadyReported()) log_.error(e.what());
    return record.setFinished(finish(kExitFailure));
  }
}

// Steps 2 to 7, each run to its end: a termination signal is acted on
// between them.
void Backup::backUp() {
  initPaths();
  checkInterrupted();
  createBackupDir();
  checkInterrupted();
  dumpXmlAndEnumerateDisks();
  checkInterrupted();
  backupNvram();
  checkInterrupted();
  if (chain_.incremental) {
    startBackupJob();
    backupChangedBlocks();
  } else {
    if (chain_.tracked) createCheckpoint();
    createSnapshot();
    checkInterrupted();
    backupDisks();
  }
  checkInterrupted();
  generateCorrectedXml();
}

// A snapshot stays as evidence, with the partial directory. An incremental
// run has none to leave: its job goes, and all it made unless the changed
// blocks were all copied.
int Backup::stopForSignal(int signo) {
  releaseChainWork();
  const std::string interrupted = std::string("Interrupted by ") + strsignal(signo);
  if (!chain_.incremental) {
    log_.warn(interrupted +
              "; leaving snapshot and partial backup as evidence for manual cleanup.");
  } else if (step6Ok_) {
    log_.warn(interrupted +
              " after the changed blocks were copied; the backup stays: " + backupDir_);
  } else {
    deletePartialBackupDir();
    log_.warn(interrupted +
              "; the backup job was aborted, its checkpoint and the partial backup removed.");
  }
  return 128 + signo;
}

std::string Backup::consistencyLabel() const {
  if (domState_.power != PowerState::kRunning) return "offline-consistent (VM is powered off)";
  return opts_.quiesce ? "application-consistent (quiesce via guest agent)"
                       : "crash-consistent (no quiesce)";
}

// ---------------------------------------------------------------------------
// Step 1: validation

void Backup::validate() {
  log_.info("Step 1: Validating arguments and environment...");
  validateArguments();
  const std::string& vm = opts_.vmName;
  if (!vmLock_.take(config::kRunLockDir, vm, config::kAppName)) throw BackupError(vmLock_.why());
  for (const std::string program : {"virsh", "qemu-img"}) {
    if (!onPath(program)) throw BackupError("Required command not found in PATH: " + program);
  }
  if (!virsh_.answers(vm)) {
    throw BackupError("VM '" + vm + "' not found, or libvirt is unreachable");
  }
  if (!isDirectory(opts_.backupRoot)) {
    throw BackupError("Backup root does not exist or is not a directory: " + opts_.backupRoot);
  }
  if (access(opts_.backupRoot.c_str(), W_OK) != 0) {
    throw BackupError("Backup root is not writable: " + opts_.backupRoot);
  }

  const std::vector<std::string> snapshots = virsh_.snapshotNames(vm);
  if (std::find(snapshots.begin(), snapshots.end(), config::kSnapshotName) != snapshots.end()) {
    reportPriorSnapshot();
    throw BackupError::reported("prior snapshot present");
  }

  domState_ = virsh_.state(vm);
  log_.trace("VM '" + vm + "' power state: " + stripAllSpaces(domState_.text));

  if (opts_.quiesce && domState_.power == PowerState::kRunning) {
    log_.trace("Checking qemu-guest-agent responsiveness...");
    if (!virsh_.guestAgentAnswers(vm)) {
      reportUnresponsiveAgent();
      throw BackupError::reported("guest agent unresponsive");
    }
    log_.trace("Guest agent is responsive, quiesce will be applied.");
  }
  log_.info("Step 1: validation passed.");
}

void Backup::validateArguments() {
  if (opts_.vmName.empty()) throw BackupError("Missing required argument: --vm-name");
  if (opts_.backupRoot.empty()) throw BackupError("Missing required argument: --backup-root");
  if (opts_.keepCountRaw.empty()) throw BackupError("Missing required argument: --keep-count");
  if (!isPositiveInteger(opts_.keepCountRaw)) {
    throw BackupError("--keep-count must be a positive integer (got: '" + opts_.keepCountRaw +
                      "')");
  }
  keepCount_ = std::stol(opts_.keepCountRaw);
  if (!opts_.chainLengthRaw.empty()) {
    if (!opts_.incremental) throw BackupError("--chain-length applies only with --incremental");
    if (!isPositiveInteger(opts_.chainLengthRaw)) {
      throw BackupError("--chain-length must be a positive integer (got: '" + opts_.chainLengthRaw +
                        "')");
    }
    chainLength_ = std::stol(opts_.chainLengthRaw);
  }
  if (!opts_.jobsRaw.empty()) {
    if (!isPositiveInteger(opts_.jobsRaw)) {
      throw BackupError("--jobs must be a positive integer (got: '" + opts_.jobsRaw + "')");
    }
    if (opts_.jobsRaw.size() > 2 || std::stol(opts_.jobsRaw) > QemuImg::kMaxCoroutines) {
      throw BackupError("--jobs must be at most " + std::to_string(QemuImg::kMaxCoroutines) +
                        " (got: '" + opts_.jobsRaw + "')");
    }
    jobs_ = std::stol(opts_.jobsRaw);
  }
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
  const std::string timestamp = newTimestamp();
  const std::map<std::string, std::string> disks = virsh_.diskSources(vm);
  const std::string xml = virsh_.dumpDefinition(vm).xml;
  std::ostream& out = std::cout;
  out << "\n=== DRY RUN SUMMARY ===\n"
      << "VM:                  " << vm << "\n"
      << "Power state:         " << stripAllSpaces(domState_.text) << "\n"
      << "Backup directory:    " << backupDirUnder(opts_.backupRoot, vm, timestamp).path << "\n"
      << "Snapshot name:       " << config::kSnapshotName << "\n"
      << "Consistency:         " << consistencyLabel() << "\n"
      << "Retention:           keep " << keepCount_ << " most recent\n";
  ChainDecision kind;  // without --incremental, a full backup outside any chain
  if (opts_.incremental) {
    kind = decideKind(xml, disks, diskSizes(disks));
    out << "Backup kind:         " << dryRunKind(kind, chainLength_) << "\n";
  }
  if (jobs_ > 0) {
    out << "Disk copies:         " << jobs_ << " requests in flight (qemu-img convert -W -m "
        << jobs_ << ")\n";
  }
  printFiles(out, vm, disks, extractNvramPath(xml));
  const std::string vmDir = joinPath(opts_.backupRoot, vm);
  if (isDirectory(vmDir)) {
    const RetentionPlan plan = planRetention(vmDir, vm, keepCount_, {timestamp, kind.parent});
    out << "\nExisting backups for this VM: " << plan.counted << "\n";
    if (!plan.deleted.empty()) {
      out << "After this backup, retention would delete " << plan.deleted.size()
          << " old backup(s).\n";
    }
  }
  out << "\n(Dry run. No changes made.)\n";
}

// ---------------------------------------------------------------------------
// Step 2: backup paths and directory

void Backup::initPaths() {
  timestamp_ = newTimestamp();
  const BackupDir layout = backupDirUnder(opts_.backupRoot, opts_.vmName, timestamp_);
  backupDir_ = layout.path;
  verbatimXml_ = layout.verbatimDefinition();
  correctedXml_ = layout.correctedDefinition();
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
  log_.setBackupLog(BackupDir{backupDir_, opts_.vmName, timestamp_}.log());
  log_.info("quorlane-backup v" + std::string(config::kAppVersion) + " - backing up '" +
            opts_.vmName + "'");
}

// ---------------------------------------------------------------------------
// Step 3: definition dump and disk inventory

void Backup::dumpXmlAndEnumerateDisks() {
  log_.info("Step 3: Saving VM configuration to " + verbatimXml_ + "...");
  const std::string& vm = opts_.vmName;
  const DumpedDefinition dump = virsh_.dumpDefinition(vm);
  if (!dump.ok) throw BackupError("Failed to dump VM XML: " + dump.error);
  writeFileOrFail(verbatimXml_, dump.xml);
  log_.trace("XML saved (" + std::to_string(splitLines(dump.xml).size()) + " lines).");

  diskBasePaths_ = virsh_.diskSources(vm);
  if (diskBasePaths_.empty()) throw BackupError("No disks found for VM '" + vm + "'");
  for (const auto& [target, source] : diskBasePaths_) {
    log_.trace("Disk found: " + target + " -> " + source);
  }

  nvramPath_ = extractNvramPath(dump.xml);
  if (!nvramPath_.empty()) {
    log_.trace("NVRAM path: " + nvramPath_);
  } else {
    log_.trace("No NVRAM element (BIOS VM).");
  }
  step3Ok_ = true;
  if (opts_.incremental) planChain(dump.xml);
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

// After the checkpoint of a tracked run (5.a), so that the checkpoint
// tracks every write after the snapshot's point in time.
void Backup::createSnapshot() {
  const std::string snapshot(config::kSnapshotName);
  log_.info(std::string(chain_.tracked ? "Step 5.b" : "Step 5") + ": Creating external snapshot '" +
            snapshot + "'...");
  const std::string& vm = opts_.vmName;
  const DomainState state = virsh_.state(vm);
  bool quiesce = false;
  if (opts_.quiesce) {
    if (state.power == PowerState::kRunning) {
      quiesce = true;
      log_.trace("VM is running, applying --quiesce (agent validated in step 1).");
    } else {
      log_.trace("--quiesce requested but VM is '" + stripAllSpaces(state.text) +
                 "'; flag skipped.");
    }
  }
  std::vector<DiskSpec> overlays;
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string overlay = overlayPath(basePath, vm, target);
    if (isDeviceBase(basePath) && !isDirectory(parentDir(overlay))) {
      throw BackupError("Directory for the overlay of disk " + target + " (" + basePath +
                        ") does not exist: " + parentDir(overlay));
    }
    overlays.emplace_back(target, overlay);
    log_.trace("Overlay for " + target + ": " + overlay);
  }
  CommandResult result = virsh_.createSnapshot(vm, snapshot, quiesce, overlays);
  if (!result.ok() && domState_.power == PowerState::kShutOff &&
      result.err.find("while checkpoint exists") != std::string::npos &&
      dropCheckpointsOfShutOffVm()) {
    result = virsh_.createSnapshot(vm, snapshot, quiesce, overlays);
  }
  if (!result.ok()) {
    throw BackupError("Failed to create snapshot '" + snapshot + "' on VM '" + vm +
                      "': " + trim(result.err));
  }
  snapshotCreated_ = true;
  log_.info("Snapshot created.");
}

void Backup::createCheckpoint() {
  log_.info("Step 5.a: Creating checkpoint '" + checkpoint_->name() +
            "' for the next incremental backup...");
  checkpoint_->create();
}

void Backup::startBackupJob() {
  log_.info("Step 5: Starting the backup job of the blocks changed since backup " + chain_.parent +
            "...");
  job_.emplace(virsh_, qemuImg_, log_, BackupDir{backupDir_, opts_.vmName, timestamp_},
               chain_.parent, diskBasePaths_, diskSizes_, *checkpoint_,
               jobs_ > 0 ? jobs_ : QemuImg::kDefaultCoroutines);
  job_->begin(opts_.quiesce && domState_.power == PowerState::kRunning);
}

// ---------------------------------------------------------------------------
// Step 6: disk copy

void Backup::backupDisks() {
  log_.info("Step 6: Backing up disks (thin + compressed qcow2)...");
  for (const auto& [target, basePath] : diskBasePaths_) {
    const std::string destination = joinPath(backupDir_, diskImageName(opts_.vmName, target));
    log_.info("  " + target + ": " + basePath);
    log_.info("         -> " + destination);
    copyImage(target, basePath, qemuImg_.convertCompressed(basePath, destination, jobs_));
  }
  if (opts_.incremental) writeChainRecord();
  disksCopied();
}

void Backup::disksCopied() {
  if (checkpoint_) checkpoint_->keep();
  step6Ok_ = true;
  log_.info(kDisksCopiedMessage);
}

// Runs one image conversion into the backup directory; a failure, or a
// directory that is no longer where the run created it, ends the step.
void Backup::copyImage(const std::string& target, const std::string& source,
                       const CommandResult& result) const {
  if (!result.ok()) {
    std::string detail = trim(result.err);
    if (detail.empty()) detail = trim(result.out);
    throw BackupError("Failed to back up disk: " + target + " (" + source + "): " + detail);
  }
  if (identityOf(backupDir_) != backupDirIdentity_) {
    throw BackupError("Failed to back up disk: " + target + " (" + source +
                      "): the backup directory vanished during the copy: " + backupDir_);
  }
}

void Backup::backupChangedBlocks() {
  log_.info("Step 6: Backing up the changed blocks (thin + compressed qcow2)...");
  job_->copyChangedBlocks(
      [this](const std::string& target, const std::string& source, const CommandResult& result) {
        copyImage(target, source, result);
      });
  writeChainRecord();
  disksCopied();
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
    std::string xml = readFileOrFail(verbatimXml_);
    for (const auto& [target, oldPath] : diskBasePaths_) {
      const std::string newPath = joinPath(parentDir(oldPath), diskImageName(opts_.vmName, target));
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
    writeFileOrFail(correctedXml_, xml);
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
  const bool removalFailed = snapshotCreated_ && !removeSnapshot();
  releaseChainWork();
  if (step2Ok_ && !step6Ok_) deletePartialBackupDir();
  if (step6Ok_) {
    // Old backups go only once the new one is safely on disk: qemu-img does
    // not flush its output, and a power loss must not leave nothing usable.
    if (syncBackupToDisk()) pruneOldBackups();
    if (chain_.tracked && !removalFailed) deleteOlderCheckpoints();
  }
  if (removalFailed) return kExitSnapshotRemovalFailed;
  if (code == kExitSuccess) log_.info("Backup complete: " + backupDir_);
  return code;
}

bool Backup::removeSnapshot() {
  const std::string snapshot(config::kSnapshotName);
  log_.info("Step 8.a: Removing snapshot '" + snapshot + "'...");
  const CommandResult result = virsh_.deleteSnapshot(opts_.vmName, snapshot);
  if (result.ok()) {
    log_.info("Snapshot removed (overlay merged into base by libvirt).");
    return true;
  }
  log_.error("FAILED to remove snapshot '" + snapshot + "' on VM '" + opts_.vmName + "'.");
  log_.error("libvirt: " + trim(result.err));
  log_.error("The VM may still be running on an un-merged overlay.");
  log_.error("Manual intervention is required.");
  reportFullOverlayFileSystem();
  return false;
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
  const std::optional<DomainState> state = virsh_.stateWithReason(vm);
  const std::string stateText = state ? state->text : "unknown";
  const bool paused = state && state->power == PowerState::kPaused && state->reason == "I/O error";
  log_.error("VM '" + vm + "' is " + stateText + (paused ? ": it waits for room to write." : "."));
  log_.error("Free space there, then run " +
             (paused ? "'virsh resume " + vm + "' and " : std::string()) +
             "'virsh snapshot-delete " + vm + " " + std::string(config::kSnapshotName) + "'.");
}

void Backup::deletePartialBackupDir() {
  log_.warn("Backup is incomplete. Deleting partial backup directory.");
  if (!isDirectory(backupDir_)) return;
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
  const RetentionPlan plan =
      planRetention(vmDir, opts_.vmName, keepCount_, {timestamp_, chain_.parent});
  const std::string present = std::to_string(plan.counted) + " backup(s) present";
  if (static_cast<long>(plan.counted) <= keepCount_) {
    log_.trace(present + ", within retention limit.");
    return;
  }
  if (plan.deleted.empty()) {
    log_.trace(present + "; those beyond the limit hold the chains of kept ones.");
  }
  const PruneLock locks(vmDir, opts_.vmName, plan.deleted);
  for (const std::string& name : plan.deleted) {
    if (locks.kept(name)) {
      log_.info("  Keeping old backup " + name + ": a restore is reading it.");
      continue;
    }
    log_.info("  Deleting old backup: " + name);
    std::error_code ec;
    fs::remove_all(joinPath(vmDir, name), ec);
  }
}

}  // namespace quorlane
