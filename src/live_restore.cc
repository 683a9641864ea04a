#include "quorlane/live_restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

#include "quorlane/backup_error.h"
#include "quorlane/cli.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/qemu_access.h"
#include "quorlane/restore.h"
#include "quorlane/restore_xml.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr auto kProgressEvery = std::chrono::seconds(10);

// The seconds since `start`, to a tenth: "0.5".
std::string secondsSince(std::chrono::steady_clock::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return text;
}

}  // namespace

LiveRestore::LiveRestore(RestoreOptions opts, Logger& log, CommandRunner& runner)
    : opts_(std::move(opts)),
      log_(log),
      virsh_(runner),
      qemuImg_(runner),
      check_(opts_, log_, runner),
      files_(opts_, log_, runner, check_) {}

int LiveRestore::run() {
  startEpoch_ = nowEpoch();
  startTime_ = std::chrono::steady_clock::now();
  installTerminationHandlers();
  try {
    if (opts_.finish.empty()) {
      runLive();
    } else {
      runFinish();
    }
    return kExitSuccess;
  } catch (const BackupInterrupted& e) {
    return endInterrupted(e.signo());
  } catch (const BackupError& e) {
    return fail(e);
  }
}

const std::string& LiveRestore::vm() const {
  return opts_.finish.empty() ? files_.vmName() : opts_.finish;
}

const BackupDir& LiveRestore::backup() const {
  return opts_.finish.empty() ? check_.backup() : noted_;
}

void LiveRestore::runLive() {
  // The copy reads every cluster of the backup while the VM runs; --check
  // reads them all before.
  files_.validate({.readBack = opts_.check});
  if (opts_.dryRun) {
    files_.printDryRun();
    record("dry_run");
    return;
  }
  files_.write([this](const RestoreTarget& t) { createImageOnBackup(t); });
  files_.moveIntoPlace();
  pinAndOpenBackup();
  files_.define("Step 6.b");
  files_.start();
  checkRunsOnTheBackup();
  log_.info("VM '" + vm() + "' runs, " + secondsSince(startTime_) +
            " s after the restore began; its data follows from the backup.");
  pullDisks();
  completeCopy();
  record("success");
}

// The local image reads what the VM has not written yet from the backup's
// image, by its absolute name.
void LiveRestore::createImageOnBackup(const RestoreTarget& t) {
  log_.info("  " + t.label + ": " + t.source);
  log_.info("         -> " + t.path + " (reading from the backup until the copy ends)");
  const CommandResult created =
      qemuImg_.createOnBacking(t.temp, absolutePath(t.source), check_.virtualSizes().at(t.label));
  checkInterrupted();
  if (!created.ok()) {
    throw BackupError("Could not create " + t.temp + ": " + firstLine(created.err), "failure");
  }
}

// QEMU opens the backup's images as its own user; libvirt gives it the
// images, and the directories on the way get search permission for others
// (not listing). The pin records what was opened, so that the end of the copy
// puts it back, and is written before anything is opened.
void LiveRestore::pinAndOpenBackup() {
  pinned_ = true;
  log_.info("Step 6.a: Pinning the backup for the time of the copy...");
  pin_ = Pin{vm(), {}, {}};
  for (const RestoreTarget& t : files_.targets()) {
    if (t.kind == TargetKind::kDisk) pin_.images[t.label] = t.path;
  }
  std::vector<std::string> targets;
  for (const auto& [target, image] : pin_.images) targets.push_back(target);
  pin_.opened = chainFilesForQemu(backup(), targets);
  const std::string pinFile = backup().pinFile(vm());
  if (writeFile(pinFile, formatPin(pin_)) != WriteOutcome::kWritten || syncPath(pinFile) != 0) {
    throw BackupError("Could not write the pin " + pinFile, "failure");
  }
  openDirectoriesToQemu(pin_.opened);
  log_.trace("Pinned: " + pinFile);
}

// A VM started on its images without their backing files would see empty
// disks, and the pull would copy nothing: it is stopped at once.
void LiveRestore::checkRunsOnTheBackup() {
  const std::string xml = virsh_.dumpDefinition(vm()).xml;
  for (const auto& [target, image] : pin_.images) {
    if (readsFromBackingFile(xml, target)) continue;
    log_.error("VM '" + vm() + "' started without the backup behind its disk " + target +
               "; stopping it before it writes.");
    virsh_.destroy(vm());
    throw BackupError("started without the backup", "failure", true);
  }
}

// Nothing is recorded until the pin is found: there is no restore to record.
void LiveRestore::runFinish() {
  log_.info("Step 1: Finding the live restore of VM '" + vm() + "'...");
  const DomainLookup lookup = virsh_.lookup(vm());
  if (lookup.presence != Presence::kDefined) {
    throw BackupError(lookup.presence == Presence::kNoAnswer
                          ? "Could not ask libvirt about VM '" + vm() + "': " + lookup.error
                          : "VM '" + vm() + "' is not defined; nothing to finish.");
  }
  findPin();
  bool copied = true;
  for (const auto& [target, image] : pin_.images) {
    copied = copied && qemuImg_.hasBackingFile(image) == false;
  }
  if (!copied && lookup.state.power != PowerState::kRunning &&
      lookup.state.power != PowerState::kPaused) {
    throw BackupError("VM '" + vm() + "' is " + lookup.state.text +
                          ", and libvirt copies only into a running VM. Start it (virsh start " +
                          vm() + "), then run this again.",
                      "failure");
  }
  log_.info("  Backup " + backup().path + " pinned for VM '" + vm() + "'.");
  pullDisks();
  completeCopy();
  record("success");
}

// The VM's definition names the backup, which holds the pin: a VM without
// both is not being live-restored.
void LiveRestore::findPin() {
  const std::string dir = liveRestoreBackup(virsh_.dumpDefinition(vm()).xml);
  if (!dir.empty()) noted_ = backupDirAt(dir);
  const std::optional<std::string> text =
      dir.empty() ? std::nullopt : readFile(noted_.pinFile(vm()));
  const std::optional<Pin> pin = text ? parsePin(*text) : std::nullopt;
  if (!pin) throw BackupError("VM '" + vm() + "' is not being live-restored.");
  files_.lockVm(vm());
  pin_ = *pin;
  pinned_ = true;
}

void LiveRestore::pullDisks() {
  log_.info("Step 8: Copying the data from the backup into the VM's images while it runs...");
  for (const auto& [target, image] : pin_.images) {
    const std::optional<bool> backed = qemuImg_.hasBackingFile(image);
    if (backed && !*backed) {
      log_.info("  " + target + ": copied already.");
      continue;
    }
    pullDisk(target, image);
  }
}

// A pull that an earlier run left running (its virsh was stopped) is
// cancelled and issued anew: what was copied stays copied.
void LiveRestore::pullDisk(const std::string& target, const std::string& image) {
  if (virsh_.pullRunning(vm(), target)) virsh_.abortBlockJob(vm(), target);
  const std::optional<std::uint64_t> size = virsh_.diskCapacity(vm(), target);
  auto lastLine = std::chrono::steady_clock::now() - kProgressEvery;
  int lastPercent = -1;
  const CommandResult pull = virsh_.blockPull(
      vm(), target, opts_.bandwidth, [&](const std::string&, const std::string& err) {
        if (caughtSignal() != 0) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastLine < kProgressEvery) return true;
        const int percent = std::max(parseBlockPullPercent(err), 0);
        std::ostringstream line;
        line << "  " << target << ": " << percent << " % copied";
        if (lastPercent >= 0 && size) {
          const double seconds = std::chrono::duration<double>(now - lastLine).count();
          const double mib = (percent - lastPercent) / 100.0 * static_cast<double>(*size) / 1048576;
          line.setf(std::ios::fixed);
          line.precision(1);
          line << ", " << mib / seconds << " MiB/s";
        }
        log_.info(line.str());
        lastLine = now;
        lastPercent = percent;
        return true;
      });
  checkInterrupted();
  if (!pull.ok()) {
    // virsh writes its error after the last progress line, on the same line.
    const std::size_t error = pull.err.rfind("error: ");
    throw BackupError(
        "Copy of " + target + " from the backup failed: " +
            firstLine(error == std::string::npos ? trim(pull.err) : pull.err.substr(error)),
        "failure");
  }
  log_.info("  " + target + ": copied into " + image + ".");
}

// The copy has ended when no image reads from the backup any more: then
// the images are written out, and the backup is unpinned and closed again.
void LiveRestore::completeCopy() {
  for (const auto& [target, image] : pin_.images) {
    const std::optional<bool> backed = qemuImg_.hasBackingFile(image);
    if (!backed || *backed) {
      throw BackupError("Image " + image + " still reads from the backup after the copy.",
                        "failure");
    }
  }
  const DomainState state = virsh_.state(vm());
  flushVmImages(state);
  for (const auto& [target, image] : pin_.images) {
    if (const int error = syncPath(image); error != 0) {
      throw BackupError("Could not flush " + image + " to disk: " + std::strerror(error),
                        "failure");
    }
  }
  removeLiveNote(state.power == PowerState::kRunning);
  unpin();
  log_.info("Live restore complete: VM '" + vm() + "' no longer reads from " + backup().path +
            ", which is unpinned.");
}

// QEMU keeps the copied clusters' metadata in its own cache; pausing the VM
// makes it write everything out (a running guest pauses for a moment). A
// VM that was shut off closed its images; a paused one must run first.
void LiveRestore::flushVmImages(const DomainState& state) {
  if (state.power == PowerState::kShutOff) return;
  if (state.power != PowerState::kRunning) {
    throw BackupError("VM '" + vm() + "' is " +
                          (state.text.empty() ? "in no known state" : state.text) +
                          ": QEMU writes the copied data out only when it runs or stops. Resume "
                          "it (virsh resume " +
                          vm() + "), then run: quorlane-restore --finish " + vm(),
                      "failure");
  }
  if (!virsh_.suspend(vm()).ok()) {
    throw BackupError("Could not pause VM '" + vm() + "' to write its images out.", "failure");
  }
  if (!virsh_.resume(vm()).ok()) {
    throw BackupError("VM '" + vm() + "' is paused and did not resume. Run: virsh resume " + vm(),
                      "failure");
  }
}

// Once the copy has ended, the note in the VM's definition names a backup
// that retention may delete later. The data is complete without it: a note
// that stays is only warned about.
void LiveRestore::removeLiveNote(bool running) {
  for (const bool persistent : {true, false}) {
    if (!persistent && !running) break;
    const CommandResult removed = virsh_.removeMetadata(vm(), kLiveRestoreNamespace, persistent);
    if (removed.ok()) continue;
    const std::string flag = persistent ? "--config" : "--live";
    log_.warn("Could not remove the live-restore note from VM '" + vm() + "' (" + flag +
              "): " + firstLine(removed.err) + "; the copy is complete. Remove it with: virsh " +
              "metadata " + vm() + " --uri " + kLiveRestoreNamespace + " --remove " + flag);
  }
}

// What the pin opened is put back, unless another live restore still reads
// from the VM's backups: that one's pin takes the records over.
void LiveRestore::unpin() {
  std::error_code ec;
  fs::remove(backup().pinFile(pin_.vm), ec);
  for (const BackupDir& other : listBackups(parentDir(backup().path), backup().vm)) {
    for (Pin remaining : other.pins()) {
      remaining.opened.insert(remaining.opened.end(), pin_.opened.begin(), pin_.opened.end());
      writeFile(other.pinFile(remaining.vm), formatPin(remaining));
      return;
    }
  }
  putBackModes(pin_.opened, log_);
}

int LiveRestore::endInterrupted(int signo) {
  if (pinned_) {
    log_.warn(std::string("Interrupted by ") + strsignal(signo) + "; VM '" + vm() +
              "' runs on images that still read from " + backup().path + ", which stays pinned.");
    log_.warn("Finish the copy with: quorlane-restore --finish " + vm());
  } else {
    files_.interrupted(signo);
  }
  record("interrupted", signalReason(signo));
  return 128 + signo;
}

// A --finish that finds nothing to finish records nothing (its error has no
// stage).
int LiveRestore::fail(const BackupError& error) {
  if (!error.alreadyReported()) log_.error(error.what());
  if (pinned_) {
    log_.error("VM '" + vm() + "' still reads from " + backup().path +
               ", which stays pinned. With the VM running, run: quorlane-restore --finish " + vm());
  } else {
    files_.failed();
  }
  if (!error.stage().empty()) record(error.stage());
  return kExitFailure;
}

void LiveRestore::record(const std::string& result, const std::string& reason) const {
  appendRestoreRecord({backup().vm, backup().path, vm(), "live"}, result, startEpoch_, reason);
}

}  // namespace quorlane
