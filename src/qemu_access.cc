#include "quorlane/qemu_access.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>

#include "quorlane/backup_error.h"
#include "quorlane/files.h"
#include "quorlane/paths.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordName = "qemu-access";
constexpr const char* kReadersName = "qemu-access.readers";

std::optional<FileMode> modeOf(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileMode{path, static_cast<unsigned>(status.st_mode & 07777), status.st_uid,
                  status.st_gid};
}

std::vector<FileMode> readRecord(const std::string& path) {
  std::vector<FileMode> files;
  std::istringstream lines(readFile(path).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<FileMode> file = parseFileMode(line)) files.push_back(*file);
  }
  return files;
}

Fd openLockFile(const std::string& path) {
  Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    throw BackupError("Could not open " + path + ": " + std::strerror(errno), "failure");
  }
  return fd;
}

// Whether `fd` is still the file at `path`: the last one out removes it.
bool stillAt(const Fd& fd, const std::string& path) {
  struct stat open {};
  struct stat named {};
  return fstat(fd.get(), &open) == 0 && stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

std::string recordPath(const BackupDir& backup) {
  return joinPath(parentDir(backup.path), kRecordName);
}

// The files that QEMU needs, each as it is now, or as a running appliance's
// record has it from before it was opened: what is to be put back.
std::vector<FileMode> chainFiles(const BackupDir& backup, const std::vector<std::string>& targets,
                                 const std::vector<FileMode>& recorded) {
  const auto original = [&](const std::string& path) -> std::optional<FileMode> {
    for (const FileMode& file : recorded) {
      if (file.path == path) return file;
    }
    return modeOf(path);
  };
  std::vector<FileMode> files;
  std::vector<std::string> dirs;
  for (const BackupDir& member : chainOf(backup).members) {
    for (const std::string& target : targets) {
      if (std::optional<FileMode> mode = original(absolutePath(member.diskImage(target)))) {
        files.push_back(*mode);
      }
    }
    for (fs::path dir = absolutePath(member.path); !dir.empty(); dir = dir.parent_path()) {
      const std::optional<FileMode> mode = original(dir.string());
      const bool seen = std::find(dirs.begin(), dirs.end(), dir.string()) != dirs.end();
      if (mode && !seen && (mode->mode & S_IXOTH) == 0) files.push_back(*mode);
      dirs.push_back(dir.string());
      if (dir == dir.root_path()) break;
    }
  }
  return files;
}

}  // namespace

std::vector<FileMode> chainFilesForQemu(const BackupDir& backup,
                                        const std::vector<std::string>& targets) {
  const std::string record = recordPath(backup);
  for (;;) {
    const Fd fd(open(record.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return chainFiles(backup, targets, {});
    flock(fd.get(), LOCK_SH);
    if (stillAt(fd, record)) return chainFiles(backup, targets, readRecord(record));
  }
}

void openDirectoriesToQemu(const std::vector<FileMode>& files) {
  for (const FileMode& file : files) {
    if (!fs::is_directory(file.path)) continue;
    if (chmod(file.path.c_str(), file.mode | S_IXOTH) != 0) {
      throw BackupError("Could not open " + file.path + " to QEMU: " + std::strerror(errno),
                        "failure");
    }
  }
}

void putBackModes(const std::vector<FileMode>& files, Logger& log) {
  for (const FileMode& file : files) {
    if (chmod(file.path.c_str(), file.mode) != 0 ||
        chown(file.path.c_str(), file.uid, file.gid) != 0) {
      log.warn("Could not put back the mode of " + file.path + ": " + std::strerror(errno));
    }
  }
}

QemuAccess::QemuAccess(const BackupDir& backup, Logger& log)
    : recordPath_(recordPath(backup)),
      readersPath_(joinPath(parentDir(backup.path), kReadersName)),
      log_(log) {
  const Fd lock = lockRecord();
  readers_ = openLockFile(readersPath_);
  flock(readers_.get(), LOCK_SH);
  std::vector<FileMode> recorded = readRecord(recordPath_);
  const std::vector<FileMode> files = chainFiles(backup, backup.imageTargets(), recorded);
  for (const FileMode& file : files) {
    const auto known = [&](const FileMode& r) { return r.path == file.path; };
    if (std::none_of(recorded.begin(), recorded.end(), known)) recorded.push_back(file);
  }
  std::string text;
  for (const FileMode& file : recorded) text += formatFileMode(file) + "\n";
  if (writeFile(recordPath_, text) != WriteOutcome::kWritten || syncPath(recordPath_) != 0) {
    release();
    throw BackupError("Could not write " + recordPath_, "failure");
  }
  try {
    openDirectoriesToQemu(files);
  } catch (const BackupError&) {
    release();
    throw;
  }
}

QemuAccess::~QemuAccess() {
  try {
    const Fd lock = lockRecord();
    release();
  } catch (const BackupError& e) {
    log_.warn(std::string(e.what()) + "; what was opened to QEMU stays so until the next run.");
  }
}

Fd QemuAccess::lockRecord() {
  for (;;) {
    Fd fd = openLockFile(recordPath_);
    if (flock(fd.get(), LOCK_EX) != 0) {
      throw BackupError("Could not lock " + recordPath_ + ": " + std::strerror(errno), "failure");
    }
    if (stillAt(fd, recordPath_)) return fd;
  }
}

// With the record locked: the last reader puts everything back.
void QemuAccess::release() {
  if (flock(readers_.get(), LOCK_EX | LOCK_NB) != 0) return;
  putBackModes(readRecord(recordPath_), log_);
  unlink(readersPath_.c_str());
  unlink(recordPath_.c_str());
}

}  // namespace quorlane
