// A GuestFs in memory: file systems with their files, the guest's
// inspection, and a tar stream written by libarchive as the appliance's GNU
// tar writes it (sockets left out), to which a test may add hostile entries
// that no real file system holds.

#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quorlane/guest_fs.h"

namespace quorlane::test_support {

struct FakeFile {
  GuestStat stat;
  std::string content;  // a regular file's bytes
  std::string target;   // a symbolic link's target
};

inline FakeFile fakeDir(unsigned perm = 0755, std::int64_t mtime = 1772330400) {
  return {{S_IFDIR | perm, 0, 0, 4096, mtime, 0, mtime, 0}, "", ""};
}
inline FakeFile fakeRegular(const std::string& content, unsigned perm = 0644,
                            std::int64_t mtime = 1772330400, std::int64_t uid = 0) {
  return {{S_IFREG | perm, uid, uid, static_cast<std::int64_t>(content.size()), mtime, 5, mtime,
           500000000},
          content,
          ""};
}
inline FakeFile fakeLink(const std::string& target) {
  return {{S_IFLNK | 0777, 0, 0, static_cast<std::int64_t>(target.size()), 0, 0, 1772330400, 0},
          "",
          target};
}
inline FakeFile fakeSpecial(unsigned type) { return {{type | 0644, 0, 0, 0, 0, 0, 0, 0}, "", ""}; }

struct FakeFilesystem {
  std::string type = "ext4";
  std::string label;
  std::int64_t size = 1073741824;
  bool damaged = false;                        // mounting it fails
  std::map<std::string, FakeFile> files = {};  // absolute path to file, "/" included
};

// An entry that only a hostile tar stream holds.
struct RawTarEntry {
  std::string name;
  unsigned mode = S_IFREG | 0644;
  std::string content = {};
  std::string symlink = {};
  std::string hardlink = {};
};

// Writes one entry as GNU tar would, with the status of `stat`.
inline void addTarEntry(archive* out, const RawTarEntry& raw, const GuestStat& stat) {
  archive_entry* entry = archive_entry_new();
  archive_entry_set_pathname(entry, raw.name.c_str());
  archive_entry_set_mode(entry, raw.mode);
  archive_entry_set_uid(entry, stat.uid);
  archive_entry_set_gid(entry, stat.gid);
  archive_entry_set_mtime(entry, stat.mtimeSec, stat.mtimeNsec);
  archive_entry_set_atime(entry, stat.atimeSec, stat.atimeNsec);
  if (!raw.symlink.empty()) archive_entry_set_symlink(entry, raw.symlink.c_str());
  if (!raw.hardlink.empty()) archive_entry_set_hardlink(entry, raw.hardlink.c_str());
  const bool data = (raw.mode & S_IFMT) == S_IFREG && raw.hardlink.empty();
  archive_entry_set_size(entry, data ? static_cast<la_int64_t>(raw.content.size()) : 0);
  archive_write_header(out, entry);
  if (data) archive_write_data(out, raw.content.data(), raw.content.size());
  archive_entry_free(entry);
}

struct FakeGuest {
  GuestOs os;
  std::map<std::string, FakeFilesystem> filesystems;  // device to file system
  std::vector<RawTarEntry> hostile;                   // appended to every tar stream
  // Runs inside download(), serveLocal() and tarOut(), e.g. to raise a signal.
  std::function<void()> during;
  bool underLibvirt = false;
  // Runs inside launch(), e.g. to look at what was opened to QEMU.
  std::function<void()> launching;
};

class FakeGuestFs : public GuestFs {
 public:
  explicit FakeGuestFs(FakeGuest guest) : guest_(std::move(guest)) {}

  void addImage(const std::string& path) override { images.push_back(path); }
  bool runsUnderLibvirt() const override { return guest_.underLibvirt; }
  void launch() override {
    if (guest_.launching) guest_.launching();
  }
  GuestOs inspect() override { return guest_.os; }
  std::vector<GuestFilesystem> filesystems() override {
    std::vector<GuestFilesystem> found;
    for (const auto& [device, fs] : guest_.filesystems) found.push_back({device, fs.type});
    return found;
  }
  std::int64_t deviceSize(const std::string& device) override {
    return guest_.filesystems.at(device).size;
  }
  std::string label(const std::string& device) override {
    return guest_.filesystems.at(device).label;
  }
  void mountReadOnly(const std::string& device, const std::string& mountpoint) override {
    FakeFilesystem& fs = guest_.filesystems.at(device);
    if (fs.damaged) throw GuestFsError("mount: wrong fs type, bad superblock on " + device, EINVAL);
    if (mountpoint == "/") mounted_ = &fs;
  }
  void makeMountpoint(const std::string&) override {}
  void unmountAll() override { mounted_ = nullptr; }

  GuestStat lstat(const std::string& path) override { return file(path).stat; }
  std::vector<GuestEntry> list(const std::string& dir) override {
    std::vector<GuestEntry> entries;
    for (const auto& [path, f] : below(dir)) {
      if (path.find('/') == std::string::npos) entries.push_back({path, f.stat, f.target});
    }
    return entries;
  }
  std::string readlink(const std::string& path) override { return file(path).target; }
  std::vector<std::string> find(const std::string& dir) override {
    std::vector<std::string> names;
    for (const auto& [path, f] : below(dir)) names.push_back(path);
    return names;
  }
  std::vector<GuestStat> lstatList(const std::string& dir,
                                   const std::vector<std::string>& names) override {
    std::vector<GuestStat> stats;
    for (const std::string& name : names) stats.push_back(file(join(dir, name)).stat);
    return stats;
  }
  void download(const std::string& path, int fd) override {
    if (guest_.during) guest_.during();
    const std::string& content = file(path).content;
    if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
      throw GuestFsError("write failed", errno);
    }
  }
  void tarOut(const std::string& dir, int fd) override {
    if (guest_.during) guest_.during();
    std::unique_ptr<archive, int (*)(archive*)> out(archive_write_new(), archive_write_free);
    archive_write_set_format_gnutar(out.get());
    archive_write_open_fd(out.get(), fd);
    addTarEntry(out.get(), {"./", file(dir).stat.mode}, file(dir).stat);
    for (const auto& [path, f] : below(dir)) {
      if ((f.stat.mode & S_IFMT) == S_IFSOCK) continue;
      addTarEntry(out.get(), {"./" + path, f.stat.mode, f.content, f.target, ""}, f.stat);
    }
    for (const RawTarEntry& raw : guest_.hostile) addTarEntry(out.get(), raw, {raw.mode});
    archive_write_close(out.get());
  }

  void mountLocal(const std::string& dir) override { localDir = dir; }
  // Serves until unmountLocal() ends it, as the FUSE loop does.
  void serveLocal() override {
    if (guest_.during) guest_.during();
    std::unique_lock lock(mutex_);
    unmounted_.wait(lock, [this] { return localDir.empty(); });
  }
  void unmountLocal() override {
    const std::lock_guard lock(mutex_);
    localDir.clear();
    unmounted_.notify_all();
  }

  std::vector<std::string> images;
  std::string localDir;

 private:
  static std::string join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
  }
  const FakeFile& file(const std::string& path) const {
    if (mounted_ == nullptr) throw GuestFsError("no file system mounted", EINVAL);
    const auto found = mounted_->files.find(path);
    if (found == mounted_->files.end()) throw GuestFsError(path + ": No such file", ENOENT);
    return found->second;
  }
  // The files below `dir`, by their path relative to it.
  std::map<std::string, FakeFile> below(const std::string& dir) const {
    file(dir);
    const std::string prefix = dir == "/" ? "/" : dir + "/";
    std::map<std::string, FakeFile> found;
    for (const auto& [path, f] : mounted_->files) {
      if (path.size() > prefix.size() && path.starts_with(prefix)) {
        found[path.substr(prefix.size())] = f;
      }
    }
    return found;
  }
  FakeGuest guest_;
  FakeFilesystem* mounted_ = nullptr;
  std::mutex mutex_;
  std::condition_variable unmounted_;
};

}  // namespace quorlane::test_support
