// Live restore (--live, --finish): the VM runs at once on local images that
// read from the backup, and libvirt pulls the data into them while it runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>

#include "quorlane/cli.h"
#include "quorlane/config.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"
#include "quorlane/restore.h"
#include "quorlane/restore_xml.h"
#include "quorlane/signals.h"
#include "quorlane/text.h"
#include "quorlane/virsh.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr auto kProgressEvery = std::chrono::seconds(10);

std::optional<FileMode> modeOf(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileMode{path, static_cast<unsigned>(status.st_mode & 07777), status.st_uid,
                  status.st_gid};
}

}  // namespace

double Restore::secondsSinceStart() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime_).count();
}

// The local image reads what the VM has not written yet from the backup's
// image, by its absolute name.
bool Restore::writeLiveImage(const RestoreTarget& t) {
  log_.info("  " + t.label + ": " + t.source);
  log_.info("         -> " + t.path + " (reading from the backup until the copy ends)");
  const CommandResult created =
      qemuImg_.createOnBacking(t.temp, absolutePath(t.source), virtualSizes_[t.label]);
  if (interrupted()) return false;
  if (!created.ok()) {
    log_.error("Could not create " + t.temp + ": " + firstLine(created.err));
    return false;
  }
  return true;
}

// QEMU opens the backup's images as its own user; libvirt gives it the
// images, and the directories on the way get search permission for others
// (not listing). The pin records what was opened, so that the end of the copy
// puts it back, and is written before anything is opened.
bool Restore::pinAndOpenBackup() {
  log_.info("Step 6: Pinning the backup for the time of the copy...");
  pin_ = Pin{newName_, {}, {}};
  for (const RestoreTarget& t : targets_) {
    if (t.kind == TargetKind::kDisk) pin_.images[t.label] = t.path;
  }
  std::vector<std::string> dirs;
  for (const BackupDir& member : chainOf(backup_).members) {
    for (const auto& [target, image] : pin_.images) {
      if (std::optional<FileMode> mode = modeOf(absolutePath(member.diskImage(target)))) {
        pin_.opened.push_back(*mode);
      }
    }
    for (fs::path dir = absolutePath(member.path); !dir.empty(); dir = dir.parent_path()) {
      const std::optional<FileMode> mode = modeOf(dir.string());
      const bool seen = std::find(dirs.begin(), dirs.end(), dir.string()) != dirs.end();
      if (mode && !seen && (mode->mode & S_IXOTH) == 0) pin_.opened.push_back(*mode);
      dirs.push_back(dir.string());
      if (dir == dir.root_path()) break;
    }
  }
  const std::string pinFile = backup_.pinFile(newName_);
  if (writeFile(pinFile, formatPin(pin_)) != WriteOutcome::kWritten || syncPath(pinFile) != 0) {
    log_.error("Could not write the pin " + pinFile);
    return false;
  }
  for (const FileMode& file : pin_.opened) {
    if (!fs::is_directory(file.path)) continue;
    if (chmod(file.path.c_str(), file.mode | S_IXOTH) != 0) {
      log_.error("Could not open " + file.path + " to QEMU: " + std::strerror(errno));
      return false;
    }
    log_.trace("Search permission for QEMU on " + file.path);
  }
  log_.trace("Pinned: " + pinFile);
  return true;
}

// A VM started on its images without their backing files would see empty
// disks, and the pull would copy nothing: it is stopped at once.
bool Restore::runsOnTheBackup() {
  const std::string xml = virsh_.dumpDefinition(newName_).xml;
  for (const auto& [target, image] : pin_.images) {
    if (readsFromBackingFile(xml, target)) continue;
    log_.error("VM '" + newName_ + "' started without the backup behind its disk " + target +
               "; stopping it before it writes.");
    virsh_.destroy(newName_);
    vmStarted_ = false;
    return false;
  }
  return true;
}

bool Restore::pullDisks(const std::map<std::string, std::string>& images) {
  log_.info("Step 8: Copying the data from the backup into the VM's images while it runs...");
  for (const auto& [target, image] : images) {
    const std::optional<bool> backed = qemuImg_.hasBackingFile(image);
    if (backed && !*backed) {
      log_.info("  " + target + ": copied already.");
      continue;
    }
    if (!pullDisk(target, image)) return false;
  }
  return true;
}

// A pull that an earlier run left running (its virsh was stopped) is
// cancelled and issued anew: what was copied stays copied.
bool Restore::pullDisk(const std::string& target, const std::string& image) {
  if (virsh_.pullRunning(newName_, target)) virsh_.abortBlockJob(newName_, target);
  const std::optional<std::uint64_t> size = virsh_.diskCapacity(newName_, target);
  auto lastLine = std::chrono::steady_clock::now() - kProgressEvery;
  int lastPercent = -1;
  const CommandResult pull = virsh_.blockPull(
      newName_, target, opts_.bandwidth, [&](const std::string&, const std::string& err) {
        if (interrupted()) return false;
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
  if (interrupted()) return false;
  if (!pull.ok()) {
    // virsh writes its error after the last progress line, on the same line.
    const std::size_t error = pull.err.rfind("error: ");
    log_.error("Copy of " + target + " from the backup failed: " +
               firstLine(error == std::string::npos ? trim(pull.err) : pull.err.substr(error)));
    return false;
  }
  log_.info("  " + target + ": copied into " + image + ".");
  return true;
}

// QEMU keeps the copied clusters' metadata in its own cache; pausing the VM
// makes it write everything out (a running guest pauses for a moment). A
// VM that was shut off closed its images; a paused one must run first.
bool Restore::flushVmImages() {
  const DomainState state = virsh_.state(newName_);
  if (state.power == PowerState::kShutOff) return true;
  if (state.power != PowerState::kRunning) {
    log_.error("VM '" + newName_ + "' is " +
               (state.text.empty() ? "in no known state" : state.text) +
               ": QEMU writes the copied data out only when it runs or stops. Resume it (virsh "
               "resume " +
               newName_ + "), then run: quorlane-restore --finish " + newName_);
    return false;
  }
  if (!virsh_.suspend(newName_).ok()) {
    log_.error("Could not pause VM '" + newName_ + "' to write its images out.");
    return false;
  }
  if (!virsh_.resume(newName_).ok()) {
    log_.error("VM '" + newName_ + "' is paused and did not resume. Run: virsh resume " + newName_);
    return false;
  }
  return true;
}

// The copy has ended when no image reads from the backup any more: then
// the images are written out, and the backup is unpinned and closed again.
bool Restore::completeLive() {
  for (const auto& [target, image] : pin_.images) {
    const std::optional<bool> backed = qemuImg_.hasBackingFile(image);
    if (!backed || *backed) {
      log_.error("Image " + image + " still reads from the backup after the copy.");
      return false;
    }
  }
  if (!flushVmImages()) return false;
  for (const auto& [target, image] : pin_.images) {
    if (const int error = syncPath(image); error != 0) {
      log_.error("Could not flush " + image + " to disk: " + std::strerror(error));
      return false;
    }
  }
  unpin(pin_);
  log_.info("Live restore complete: VM '" + newName_ + "' no longer reads from " + backup_.path +
            ", which is unpinned.");
  return true;
}

// What the pin opened is put back, unless another live restore still reads
// from the VM's backups: that one's pin takes the records over.
void Restore::unpin(const Pin& pin) {
  std::error_code ec;
  fs::remove(backup_.pinFile(pin.vm), ec);
  for (const BackupDir& other : listBackups(parentDir(backup_.path), backup_.vm)) {
    for (Pin remaining : other.pins()) {
      remaining.opened.insert(remaining.opened.end(), pin.opened.begin(), pin.opened.end());
      writeFile(other.pinFile(remaining.vm), formatPin(remaining));
      return;
    }
  }
  for (const FileMode& file : pin.opened) {
    if (chmod(file.path.c_str(), file.mode) != 0 ||
        chown(file.path.c_str(), file.uid, file.gid) != 0) {
      log_.warn("Could not put back the mode of " + file.path + ": " + std::strerror(errno));
    }
  }
}

int Restore::endLiveInterrupted() {
  const int signo = caughtSignal();
  log_.warn(std::string("Interrupted by ") + strsignal(signo) + "; VM '" + newName_ +
            "' runs on images that still read from " + backup_.path + ", which stays pinned.");
  log_.warn("Finish the copy with: quorlane-restore --finish " + newName_);
  record("interrupted", signalReason(signo));
  return 128 + signo;
}

// The VM keeps reading from the backup, which stays pinned.
int Restore::failLive() {
  log_.error("VM '" + newName_ + "' still reads from " + backup_.path +
             ", which stays pinned. With the VM running, run: quorlane-restore --finish " +
             newName_);
  record("failure");
  return kExitFailure;
}

int Restore::runFinish() {
  newName_ = opts_.finish;
  log_.info("Step 1: Finding the live restore of VM '" + newName_ + "'...");
  const DomainLookup lookup = virsh_.lookup(newName_);
  if (lookup.presence != Presence::kDefined) {
    log_.error(lookup.presence == Presence::kNoAnswer
                   ? "Could not ask libvirt about VM '" + newName_ + "': " + lookup.error
                   : "VM '" + newName_ + "' is not defined; nothing to finish.");
    return kExitFailure;
  }
  const std::string dir = liveRestoreBackup(virsh_.dumpDefinition(newName_).xml);
  if (!dir.empty()) backup_ = backupDirAt(dir);
  const std::optional<std::string> pinText =
      dir.empty() ? std::nullopt : readFile(backup_.pinFile(newName_));
  const std::optional<Pin> pin = pinText ? parsePin(*pinText) : std::nullopt;
  if (!pin) {
    log_.error("VM '" + newName_ + "' is not being live-restored.");
    return kExitFailure;
  }
  pin_ = *pin;
  if (!vmLock_.take(config::kRunLockDir, newName_, kRestoreAppName)) {
    log_.error(vmLock_.why());
    record("failure");
    return kExitFailure;
  }
  bool copied = true;
  for (const auto& [target, image] : pin_.images) {
    copied = copied && qemuImg_.hasBackingFile(image) == false;
  }
  if (!copied && lookup.state.power != PowerState::kRunning &&
      lookup.state.power != PowerState::kPaused) {
    log_.error("VM '" + newName_ + "' is " + lookup.state.text +
               ", and libvirt copies only into a running VM. Start it (virsh start " + newName_ +
               "), then run this again.");
    return failLive();
  }
  log_.info("  Backup " + backup_.path + " pinned for VM '" + newName_ + "'.");
  if (!pullDisks(pin_.images)) return interrupted() ? endLiveInterrupted() : failLive();
  if (!completeLive()) return failLive();
  record("success");
  return kExitSuccess;
}

}  // namespace quorlane
