#include "quorlane/guest_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "quorlane/backup_error.h"
#include "quorlane/guest_path.h"
#include "quorlane/paths.h"

namespace quorlane {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStagingPrefix = ".quorlane-extract-";
constexpr int kDiskFlags = ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                           ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS | ARCHIVE_EXTRACT_TIME |
                           ARCHIVE_EXTRACT_PERM;

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

BackupError occupied(const std::string& path) {
  return BackupError(path + " exists already; nothing is ever replaced (move it away)",
                     "unreadable");
}

bool isEmptyDirectory(const std::string& dir) {
  std::error_code ec;
  return fs::is_empty(dir, ec) && !ec;
}

struct ArchiveReadCloser {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct ArchiveWriteCloser {
  void operator()(archive* a) const { archive_write_free(a); }
};

// libarchive writes relative to the working directory: the target's, for
// the time of the extraction.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(int dirfd) : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (!previous_ || fchdir(dirfd) != 0) throw BackupError(errnoText("Cannot enter the output"));
  }
  ~WorkingDirectory() {
    if (fchdir(previous_.get()) != 0) std::abort();
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  Fd previous_;
};

// A stream name ("./etc/hosts", "./", "etc") as it lands below the target,
// or nothing when a component would leave it. The stream's root is "".
std::optional<std::string> landedName(const char* raw, const std::string& landing) {
  if (raw == nullptr || raw[0] == '/') return std::nullopt;
  std::string name;
  std::string_view rest = raw;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part == "..") return std::nullopt;
    if (part.empty() || part == ".") continue;
    name += (name.empty() ? "" : "/") + std::string(part);
  }
  if (landing.empty()) return name;
  return name.empty() ? landing : landing + "/" + name;
}

std::string guestName(const std::string& guestDir, const char* raw) {
  std::string name = raw == nullptr ? "" : raw;
  if (name.starts_with("./")) name.erase(0, 2);
  if (name.empty()) return guestDir;
  return guestDir + (guestDir.ends_with('/') ? "" : "/") + name;
}

void copyData(archive* in, archive* out, const std::string& name) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    const int read = archive_read_data_block(in, &block, &size, &offset);
    if (read == ARCHIVE_EOF) return;
    if (read != ARCHIVE_OK) {
      throw BackupError("Could not read " + name + " from the guest: " + archive_error_string(in));
    }
    if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
      throw BackupError("Could not write " + name + ": " + archive_error_string(out));
    }
  }
}

}  // namespace

ExtractTarget::ExtractTarget(std::string dir, bool force)
    : dir_(absolutePath(dir)), force_(force) {}

ExtractTarget::~ExtractTarget() { discard(); }

void ExtractTarget::check(const std::vector<std::string>& names) const {
  if (!pathExists(dir_)) return;
  if (!isDirectory(dir_)) throw BackupError("Output is not a directory: " + dir_, "failure");
  if (!force_ && !isEmptyDirectory(dir_)) {
    throw BackupError("Output directory is not empty: " + dir_ +
                          " (pick a new or empty one, or add --force to write into it)",
                      "unreadable");
  }
  for (const std::string& name : names) {
    if (!name.empty() && pathExists(joinPath(dir_, name))) throw occupied(joinPath(dir_, name));
  }
}

void ExtractTarget::open() {
  std::vector<std::string> missing;
  for (fs::path p = dir_; !p.empty() && !pathExists(p.string()); p = p.parent_path()) {
    missing.push_back(p.string());
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (mkdir(it->c_str(), 0700) != 0) throw BackupError(errnoText("Could not create " + *it));
    createdDirs_.push_back(*it);
  }
  std::string pattern = joinPath(dir_, std::string(kStagingPrefix) + "XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    throw BackupError(errnoText("Could not create a directory in " + dir_));
  }
  stagingPath_ = pattern;
  staging_ = Fd(::open(stagingPath_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staging_) throw BackupError(errnoText("Could not open " + stagingPath_));
}

void ExtractTarget::commit() {
  const Fd out(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out) throw BackupError(errnoText("Could not open " + dir_));
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(stagingPath_)) {
    names.push_back(entry.path().filename().string());
    if (pathExists(joinPath(dir_, names.back()))) throw occupied(joinPath(dir_, names.back()));
  }
  for (const std::string& name : names) {
    if (renameat2(staging_.get(), name.c_str(), out.get(), name.c_str(), RENAME_NOREPLACE) != 0) {
      throw BackupError(errnoText("Could not move " + name + " into " + dir_));
    }
  }
  discard();
  createdDirs_.clear();
}

void ExtractTarget::discard() {
  staging_.close();
  std::error_code ec;
  if (!stagingPath_.empty()) fs::remove_all(stagingPath_, ec);
  stagingPath_.clear();
  for (auto it = createdDirs_.rbegin(); it != createdDirs_.rend(); ++it) fs::remove(*it, ec);
  createdDirs_.clear();
}

Fd createFileAt(int dirfd, const std::string& name) {
  Fd fd(openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw BackupError(errnoText("Could not create " + name));
  return fd;
}

void applyStatus(int fd, const GuestStat& stat) {
  const timespec times[2] = {{stat.atimeSec, stat.atimeNsec}, {stat.mtimeSec, stat.mtimeNsec}};
  if (fchmod(fd, stat.mode & 01777) != 0 || futimens(fd, times) != 0) {
    throw BackupError(errnoText("Could not set the mode and times of a written file"));
  }
}

void createLinkAt(int dirfd, const std::string& name, const std::string& target) {
  if (symlinkat(target.c_str(), dirfd, name.c_str()) != 0) {
    throw BackupError(errnoText("Could not create the link " + name));
  }
}

std::string skippedType(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return {};
  }
}

void extractTar(int tarFd, int dirfd, const std::string& landing, const std::string& guestDir,
                const ExtractWarning& warn) {
  const std::unique_ptr<archive, ArchiveReadCloser> in(archive_read_new());
  const std::unique_ptr<archive, ArchiveWriteCloser> out(archive_write_disk_new());
  archive_read_support_format_tar(in.get());
  archive_write_disk_set_options(out.get(), kDiskFlags);
  if (archive_read_open_fd(in.get(), tarFd, 1 << 16) != ARCHIVE_OK) {
    throw BackupError(std::string("Could not read the guest's files: ") +
                      archive_error_string(in.get()));
  }
  const WorkingDirectory inTarget(dirfd);
  archive_entry* entry = nullptr;
  int next = ARCHIVE_OK;
  while ((next = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK) {
    const char* raw = archive_entry_pathname(entry);
    const std::string guest = escapeGuestName(guestName(guestDir, raw));
    const std::optional<std::string> name = landedName(raw, landing);
    const char* hardlink = archive_entry_hardlink(entry);
    const std::optional<std::string> linked =
        hardlink ? landedName(hardlink, landing) : std::optional<std::string>("");
    if (!name || !linked) {
      warn("Skipped " + guest + ": its name leads out of the output directory.");
      continue;
    }
    if (name->empty()) continue;
    const std::string skipped = skippedType(archive_entry_mode(entry));
    if (!skipped.empty()) {
      warn("Skipped " + guest + ": " + skipped + ".");
      continue;
    }
    archive_entry_set_pathname(entry, name->c_str());
    if (hardlink) archive_entry_set_hardlink(entry, linked->c_str());
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 01777);
    if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
      throw BackupError("Could not write " + guest + ": " + archive_error_string(out.get()));
    }
    if (archive_entry_size(entry) > 0) copyData(in.get(), out.get(), guest);
    if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
      throw BackupError("Could not write " + guest + ": " + archive_error_string(out.get()));
    }
  }
  if (next != ARCHIVE_EOF) {
    throw BackupError(std::string("Could not read the guest's files: ") +
                      archive_error_string(in.get()));
  }
  if (archive_write_close(out.get()) != ARCHIVE_OK) {
    throw BackupError(std::string("Could not finish writing: ") + archive_error_string(out.get()));
  }
}

}  // namespace quorlane
