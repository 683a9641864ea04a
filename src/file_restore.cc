#include "quorlane/file_restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <thread>

#include "quorlane/backup_error.h"
#include "quorlane/cli.h"
#include "quorlane/guest_appliance.h"
#include "quorlane/paths.h"
#include "quorlane/restore.h"
#include "quorlane/signals.h"

namespace quorlane {

namespace {

constexpr std::string_view kUnreadable = "unreadable";

BackupError unreadable(const std::string& message) {
  return BackupError(message, std::string(kUnreadable));
}

// Swap, encrypted volumes and the members of volume groups and arrays hold
// no file system to mount; the appliance has opened what it could of them.
bool mountable(const std::string& type) {
  return type != "unknown" && type != "swap" && type != "crypto_LUKS" && !type.ends_with("_member");
}

char typeLetter(std::uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return 'd';
    case S_IFLNK: return 'l';
    case S_IFCHR: return 'c';
    case S_IFBLK: return 'b';
    case S_IFIFO: return 'p';
    case S_IFSOCK: return 's';
    default: return '-';
  }
}

std::string utcTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char text[32] = "";
  if (gmtime_r(&time, &utc) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// The appliance names the drives in the order they were added.
std::string applianceDevice(std::size_t index) {
  return "/dev/sd" + std::string(1, static_cast<char>('a' + index));
}

}  // namespace

std::string formatGuestEntry(const GuestEntry& entry) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", entry.stat.mode & 07777);
  std::string line = std::string(1, typeLetter(entry.stat.mode)) + "\t" + mode + "\t" +
                     std::to_string(entry.stat.uid) + "\t" + std::to_string(entry.stat.gid) + "\t" +
                     std::to_string(entry.stat.size) + "\t" + utcTime(entry.stat.mtimeSec) + "\t" +
                     escapeGuestName(entry.name);
  if ((entry.stat.mode & S_IFMT) == S_IFLNK) line += "\t" + escapeGuestName(entry.linkTarget);
  return line;
}

FileRestore::FileRestore(RestoreOptions opts, Logger& log, CommandRunner& runner)
    : FileRestore(std::move(opts), log, runner, openGuestAppliance) {}

FileRestore::FileRestore(RestoreOptions opts, Logger& log, CommandRunner& runner,
                         OpenGuestFs openGuestFs)
    : opts_(std::move(opts)),
      log_(log),
      openGuestFs_(std::move(openGuestFs)),
      check_(opts_, log_, runner) {}

int FileRestore::run() {
  startEpoch_ = nowEpoch();
  installTerminationHandlers();
  // A failed extraction closes the stream that the appliance still writes.
  std::signal(SIGPIPE, SIG_IGN);
  // --ls prints its listing on standard output, and nothing else.
  log_.setInfoOnStderr(opts_.ls);
  try {
    locate();
    if (!opts_.extract.empty()) {
      target_.emplace(opts_.output, opts_.force);
      target_->check(landingNames());
    }
    if (!opts_.mount.empty() && !isDirectory(opts_.mount)) {
      throw BackupError("Mount point is not a directory: " + opts_.mount, "failure");
    }
    startAppliance();
    if (opts_.ls) {
      opts_.lsPath.empty() ? listFilesystems() : listDirectory();
      return kExitSuccess;
    }
    if (!opts_.extract.empty()) {
      extractAll();
    } else {
      mountAll();
    }
    checkInterrupted();
    record("success");
    return kExitSuccess;
  } catch (const BackupInterrupted& e) {
    if (target_) target_->discard();
    log_.warn(std::string("Interrupted by ") + strsignal(e.signo()) +
              (target_ ? "; nothing was written." : "."));
    record("interrupted", signalReason(e.signo()));
    return 128 + e.signo();
  } catch (const BackupError& e) {
    if (!e.alreadyReported()) log_.error(e.what());
    if (target_) target_->discard();
    const bool guestUnreadable = e.stage() == kUnreadable;
    record(guestUnreadable ? std::string(kUnreadable) : "failure");
    return guestUnreadable ? kExitGuestUnreadable : kExitFailure;
  } catch (const GuestFsError& e) {
    log_.error(std::string("The appliance failed: ") + e.what());
    if (target_) target_->discard();
    record("failure");
    return kExitFailure;
  }
}

void FileRestore::locate() {
  log_.info("Step 1: Locating the backup...");
  check_.locate(true);
  const BackupDir& backup = check_.backup();
  const std::optional<ChainRecord> chain = backup.chain();
  if (chain && chain->kind == BackupKind::kIncremental) {
    const Chain whole = chainOf(backup);
    if (!whole.fault.empty()) {
      throw BackupError("The chain of this incremental backup is broken: " + whole.fault,
                        "failure");
    }
  }
  if (backup.imageTargets().empty()) {
    throw BackupError("The backup holds no disk image: " + backup.path, "failure");
  }
  const std::vector<std::string> landed = landingNames();
  for (auto name = landed.begin(); name != landed.end(); ++name) {
    if (!name->empty() && std::find(landed.begin(), name, *name) != name) {
      throw BackupError("Two --extract paths would land as " + *name + " in the output", "failure");
    }
  }
}

std::vector<std::string> FileRestore::landingNames() const {
  std::vector<std::string> names;
  for (const std::string& text : opts_.extract) names.push_back(landingName(*parseGuestPath(text)));
  return names;
}

void FileRestore::startAppliance() {
  const BackupDir& backup = check_.backup();
  log_.info("Step 2: Starting the appliance that reads " + backup.path + "...");
  guest_ = openGuestFs_(log_);
  const std::vector<std::string> targets = backup.imageTargets();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    guest_->addImage(backup.diskImage(targets[i]));
    log_.info("  " + targets[i] + ": " + backup.diskImage(targets[i]) + " (" + applianceDevice(i) +
              ")");
  }
  if (guest_->runsUnderLibvirt()) openToQemu(backup);
  guest_->launch();
  checkInterrupted();
  os_ = guest_->inspect();
  filesystems_ = guest_->filesystems();
  const auto isMountable = [](const GuestFilesystem& fs) { return mountable(fs.type); };
  if (std::any_of(filesystems_.begin(), filesystems_.end(), isMountable)) return;
  for (const GuestFilesystem& fs : filesystems_) {
    if (fs.type == "crypto_LUKS") {
      throw unreadable("The volume " + fs.device +
                       " is encrypted (LUKS) and cannot be read without its key; the backup's "
                       "disks hold no other file system.");
    }
  }
  throw unreadable("The backup's disks hold no file system that the appliance recognises.");
}

// A backup that cannot be opened (on a read-only file system, say) is still
// read: libvirt may reach it as it is, and where it cannot, the appliance
// starts without libvirt.
void FileRestore::openToQemu(const BackupDir& backup) {
  try {
    qemuAccess_.emplace(backup, log_);
  } catch (const BackupError& e) {
    log_.warn(std::string(e.what()) + "; libvirt's QEMU may not reach the backup's images.");
  }
}

void FileRestore::listFilesystems() {
  std::cout << "Operating system: "
            << (os_.product.empty() ? "not recognised" : escapeGuestName(os_.product)) << "\n";
  for (const GuestFilesystem& fs : filesystems_) {
    if (fs.type == "unknown") continue;
    std::string label;
    try {
      label = guest_->label(fs.device);
    } catch (const GuestFsError&) {
    }
    std::string mountpoint;
    for (const auto& [point, device] : os_.mounts) {
      if (device == fs.device) mountpoint = point;
    }
    std::cout << fs.device << "\t" << fs.type << "\t" << guest_->deviceSize(fs.device) << "\t"
              << (label.empty() ? "-" : escapeGuestName(label)) << "\t"
              << (mountpoint.empty() ? "-" : escapeGuestName(mountpoint)) << "\n";
  }
  std::cout.flush();
}

void FileRestore::listDirectory() {
  const GuestPath named = *parseGuestPath(opts_.lsPath);
  const std::string path = mountHolding(named);
  const GuestStat stat = statOrUnreadable(path, named);
  std::vector<GuestEntry> entries;
  if ((stat.mode & S_IFMT) == S_IFDIR) {
    entries = guest_->list(path);
  } else {
    const bool link = (stat.mode & S_IFMT) == S_IFLNK;
    entries.push_back({landingName(named), stat, link ? guest_->readlink(path) : ""});
  }
  std::sort(entries.begin(), entries.end(),
            [](const GuestEntry& a, const GuestEntry& b) { return a.name < b.name; });
  for (const GuestEntry& entry : entries) std::cout << formatGuestEntry(entry) << "\n";
  std::cout.flush();
}

void FileRestore::extractAll() {
  target_->open();
  for (const std::string& text : opts_.extract) {
    extract(*parseGuestPath(text));
    checkInterrupted();
  }
  target_->commit();
  log_.info("Extracted into " + absolutePath(opts_.output) + ": " +
            std::to_string(opts_.extract.size()) + " path(s) from " + check_.backup().path);
}

void FileRestore::extract(const GuestPath& named) {
  const std::string shown = describeGuestPath(named);
  log_.info("Step 3: Copying " + shown + "...");
  const std::string path = mountHolding(named);
  const GuestStat stat = statOrUnreadable(path, named);
  const std::string name = landingName(named);
  switch (stat.mode & S_IFMT) {
    case S_IFDIR: return extractDirectory(path, name, shown);
    case S_IFREG: {
      const Fd file = createFileAt(target_->stagingFd(), name);
      guest_->download(path, file.get());
      applyStatus(file.get(), stat);
      return;
    }
    case S_IFLNK: return createLinkAt(target_->stagingFd(), name, guest_->readlink(path));
    default: log_.warn("Skipped " + shown + ": " + skippedType(stat.mode) + ".");
  }
}

// The appliance writes the directory's tar stream into a pipe from a
// second thread while this one unpacks it: the guest's data never lands
// anywhere but in the output directory. GNU tar leaves sockets out of the stream:
// they are found by their status.
void FileRestore::extractDirectory(const std::string& dir, const std::string& landing,
                                   const std::string& shown) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw BackupError("Could not create a pipe", "failure");
  Fd readEnd(ends[0]);
  Fd writeEnd(ends[1]);
  std::exception_ptr tarFailed;
  std::thread writer([&] {
    try {
      guest_->tarOut(dir, writeEnd.get());
    } catch (...) {
      tarFailed = std::current_exception();
    }
    writeEnd.close();
  });
  std::exception_ptr extractFailed;
  try {
    extractTar(readEnd.get(), target_->stagingFd(), landing, shown,
               [this](const std::string& warning) { log_.warn(warning); });
  } catch (...) {
    extractFailed = std::current_exception();
  }
  // The stream is read to its end whatever happened, so that the appliance
  // finishes its tar: its own failure, if any, is the one that counts.
  char rest[65536];
  while (read(readEnd.get(), rest, sizeof rest) > 0) {
  }
  writer.join();
  if (tarFailed) std::rethrow_exception(tarFailed);
  if (extractFailed) std::rethrow_exception(extractFailed);
  const std::vector<std::string> names = guest_->find(dir);
  const std::vector<GuestStat> stats = guest_->lstatList(dir, names);
  for (std::size_t i = 0; i < names.size() && i < stats.size(); ++i) {
    if ((stats[i].mode & S_IFMT) != S_IFSOCK) continue;
    log_.warn("Skipped " + shown + (shown.ends_with('/') ? "" : "/") + escapeGuestName(names[i]) +
              ": a socket.");
  }
}

// With the guest's operating system recognised, its file systems as it
// mounts them; else each file system on a directory named by its device.
void FileRestore::mountAll() {
  const std::string dir = absolutePath(opts_.mount);
  log_.info("Step 3: Mounting the guest's file systems read-only on " + dir + "...");
  if (os_.mounts.empty()) {
    for (const GuestFilesystem& fs : filesystems_) {
      if (!mountable(fs.type)) continue;
      std::string name = fs.device.substr(5);
      std::replace(name.begin(), name.end(), '/', '-');
      guest_->makeMountpoint("/" + name);
      mountDevice(fs.device, "/" + name);
      log_.info("  " + fs.device + " on " + joinPath(dir, name));
    }
  } else {
    for (const auto& [point, device] : os_.mounts) {
      try {
        mountDevice(device, point);
        log_.info("  " + device + " on " + point);
      } catch (const BackupError& e) {
        if (point == "/") throw;
        log_.warn("Not mounted: " + point + ": " + e.what());
      }
    }
  }
  guest_->mountLocal(dir);
  log_.info("Mounted on " + dir + " read-only; Ctrl-C or SIGTERM unmounts it.");
  std::atomic<bool> served{false};
  std::thread watcher([&] {
    while (!served && caughtSignal() == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (served) return;
    try {
      guest_->unmountLocal();
    } catch (const GuestFsError& e) {
      log_.error(std::string(e.what()) + "; unmount it with: fusermount3 -u " + dir);
    }
  });
  try {
    guest_->serveLocal();
  } catch (...) {
    served = true;
    watcher.join();
    throw;
  }
  served = true;
  watcher.join();
  log_.info("Unmounted " + dir + ".");
}

std::string FileRestore::mountHolding(const GuestPath& named) {
  const std::optional<GuestPath> on = resolveGuestPath(named, os_.mounts);
  if (!on) {
    throw unreadable(os_.mounts.empty()
                         ? "The guest's operating system is not recognised: name the file "
                           "system as DEVICE:/path (see --ls): " +
                               named.path
                         : "Not found in the guest: " + named.path);
  }
  guest_->unmountAll();
  mountDevice(on->device, "/");
  return on->path;
}

void FileRestore::mountDevice(const std::string& device, const std::string& mountpoint) {
  const GuestFilesystem* fs = filesystem(device);
  if (fs == nullptr)
    throw unreadable("No file system " + device + " on the backup's disks (see --ls)");
  if (fs->type == "crypto_LUKS") {
    throw unreadable("The volume " + device +
                     " is encrypted (LUKS) and cannot be read without its key.");
  }
  if (!mountable(fs->type)) {
    throw unreadable(device + " holds no file system that the appliance can read (" + fs->type +
                     ").");
  }
  try {
    guest_->mountReadOnly(device, mountpoint);
  } catch (const GuestFsError& e) {
    throw unreadable("Cannot mount " + device + " (" + fs->type +
                     "); the file system may be damaged: " + e.what());
  }
}

GuestStat FileRestore::statOrUnreadable(const std::string& path, const GuestPath& named) {
  try {
    return guest_->lstat(path);
  } catch (const GuestFsError& e) {
    if (e.error() != ENOENT && e.error() != ENOTDIR) throw;
    throw unreadable("Not found in the guest: " + describeGuestPath(named));
  }
}

const GuestFilesystem* FileRestore::filesystem(const std::string& device) const {
  for (const GuestFilesystem& fs : filesystems_) {
    if (fs.device == device) return &fs;
  }
  return nullptr;
}

// --ls only reads, as --list does, and records nothing.
void FileRestore::record(const std::string& result, const std::string& reason) const {
  if (opts_.ls) return;
  const BackupDir& backup = check_.backup();
  const bool extracting = !opts_.extract.empty();
  appendRestoreRecord(
      {backup.vm, backup.path, absolutePath(extracting ? opts_.output : opts_.mount),
       extracting ? "extract" : "mount"},
      result, startEpoch_, reason);
}

}  // namespace quorlane
