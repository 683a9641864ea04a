#include "quorlane/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "quorlane/files.h"
#include "quorlane/logging.h"
#include "quorlane/paths.h"

namespace quorlane {

namespace {

// libvirt forbids '/' in a VM's name, but the lock is taken before libvirt is
// asked: a name given on the command line must not lead out of the directory.
std::string lockFileName(const std::string& vm) {
  std::string name;
  for (char c : vm) {
    if (c == '/') {
      name += "%2F";
    } else if (c == '%') {
      name += "%25";
    } else {
      name += c;
    }
  }
  return name + ".lock";
}

std::string holderRecord(std::string_view program) {
  return "program=" + std::string(program) + "\npid=" + std::to_string(getpid()) +
         "\nstarted=" + nowTimestamp() + "\n";
}

// "quorlane-backup, pid 1234, started 2026-12-08 20:00:00"; empty when the
// record is incomplete (its holder may be writing it just now).
std::string describeHolder(const std::string& record) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (const std::size_t equals = line.find('='); equals != std::string::npos) {
      fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  const std::string& program = fields["program"];
  const std::string& pid = fields["pid"];
  const std::string& started = fields["started"];
  if (program.empty() || pid.empty() || started.empty()) return {};
  return program + ", pid " + pid + ", started " + started;
}

Fd openDirectory(const std::string& path) {
  return Fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Waits for a shared lock, through termination signals; 0 or the errno.
int waitShared(const Fd& dir) {
  while (flock(dir.get(), LOCK_SH) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether the path still names the open directory: retention may have
// deleted it while a shared lock waited.
bool stillNamed(const std::string& path, const Fd& dir) {
  struct stat named {};
  struct stat opened {};
  return stat(path.c_str(), &named) == 0 && fstat(dir.get(), &opened) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

}  // namespace

bool VmLock::take(std::string_view dir, const std::string& vm, std::string_view program) {
  const std::string directory(dir);
  const std::string path = joinPath(directory, lockFileName(vm));
  const std::string failure = "Could not lock VM '" + vm + "' against other runs: ";
  if (mkdir(directory.c_str(), 0755) == 0) {
    chmod(directory.c_str(), 0755);  // whatever the umask
  } else if (errno != EEXIST) {
    why_ = failure + directory + ": " + std::strerror(errno);
    return false;
  }
  Fd file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!file) {
    why_ = failure + path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      why_ = failure + path + ": " + std::strerror(errno);
      return false;
    }
    const std::string holder = describeHolder(readFile(path).value_or(""));
    why_ = "VM '" + vm + "' is being worked on by another run" +
           (holder.empty() ? " (its lock file " + path + " does not say which)."
                           : ": " + holder + ".");
    return false;
  }
  fd_ = std::move(file);
  // The record only names the holder for others; the lock holds without it.
  writeFile(path, holderRecord(program));
  return true;
}

bool BackupReadLock::take(const BackupDir& backup) {
  Fd own = openDirectory(backup.path);
  const int error = own ? waitShared(own) : errno;
  if (error == ENOENT || (error == 0 && !stillNamed(backup.path, own))) {
    why_ = "Backup directory does not exist: " + backup.path;
    return false;
  }
  if (error != 0) {
    why_ = "Could not lock backup directory " + backup.path + ": " + std::strerror(error);
    return false;
  }
  fds_.push_back(std::move(own));
  const Chain chain = chainOf(backup);
  for (auto member = chain.members.begin() + 1; member != chain.members.end(); ++member) {
    Fd parent = openDirectory(member->path);
    if (parent && waitShared(parent) == 0) fds_.push_back(std::move(parent));
  }
  return true;
}

PruneLock::PruneLock(const std::string& vmDir, const std::string& vm,
                     const std::vector<std::string>& timestamps) {
  for (const std::string& timestamp : timestamps) {
    const BackupDir backup = backupDirIn(vmDir, vm, timestamp);
    Fd dir = openDirectory(backup.path);
    // One that is gone already has nothing to keep.
    if (!dir) continue;
    if (flock(dir.get(), LOCK_EX | LOCK_NB) == 0) {
      locked_[timestamp] = std::move(dir);
      continue;
    }
    for (const BackupDir& member : chainOf(backup).members) kept_.insert(member.timestamp);
  }
  // Restores waiting for what is kept need not wait for the deletions.
  for (const std::string& timestamp : kept_) locked_.erase(timestamp);
}

}  // namespace quorlane
