#include "quorlane/guest_appliance.h"

#include <fcntl.h>
#include <guestfs.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "quorlane/fd.h"
#include "quorlane/launch_watchdog.h"
#include "quorlane/paths.h"
#include "quorlane/text.h"

namespace quorlane {

namespace {

bool softwareKvmLoaded() {
  if (pathExists("/sys/module/kvm_pvm")) return true;
  std::ifstream modules("/proc/modules");
  for (std::string line; std::getline(modules, line);) {
    if (line.starts_with("kvm_pvm ")) return true;
  }
  return false;
}

bool socketAnswers(const char* path) {
  const Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  return fd && connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::string fdPath(int fd) { return "/dev/fd/" + std::to_string(fd); }

// Frees what libguestfs returns.
void freeStrings(char** strings) {
  if (strings == nullptr) return;
  for (char** s = strings; *s != nullptr; ++s) std::free(*s);
  std::free(strings);
}

std::vector<std::string> takeStrings(char** strings) {
  std::vector<std::string> taken;
  for (char** s = strings; s != nullptr && *s != nullptr; ++s) taken.emplace_back(*s);
  freeStrings(strings);
  return taken;
}

std::string takeString(char* text) {
  std::string taken = text == nullptr ? "" : text;
  std::free(text);
  return taken;
}

GuestStat toStat(const struct guestfs_statns& s) {
  return {static_cast<std::uint32_t>(s.st_mode),
          s.st_uid,
          s.st_gid,
          s.st_size,
          s.st_atime_sec,
          s.st_atime_nsec,
          s.st_mtime_sec,
          s.st_mtime_nsec};
}

// The list of C strings that libguestfs takes, over `strings`.
std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> list;
  for (const std::string& s : strings) list.push_back(const_cast<char*>(s.c_str()));
  list.push_back(nullptr);
  return list;
}

class GuestAppliance : public GuestFs {
 public:
  explicit GuestAppliance(Logger& log) : log_(log), host_(probeApplianceHost()) {
    openHandle(confineUnderLibvirt(host_) ? "libvirt" : "");
  }
  ~GuestAppliance() override {
    if (!localDir_.empty()) umount2(localDir_.c_str(), MNT_DETACH);
    guestfs_close(g_);
  }
  GuestAppliance(const GuestAppliance&) = delete;
  GuestAppliance& operator=(const GuestAppliance&) = delete;

  void addImage(const std::string& path) override {
    images_.push_back(path);
    addDrive(path);
  }

  bool runsUnderLibvirt() const override { return backend_.starts_with("libvirt"); }

  // Where libvirt cannot start it (a backup in a place that libvirt's QEMU
  // cannot reach, such as another mount namespace), the appliance starts
  // without libvirt, as libguestfs would by itself.
  void launch() override {
    log_.trace("libguestfs backend: " + backend_);
    if (runsUnderLibvirt()) {
      log_.info("  The appliance runs under libvirt, as its QEMU user.");
    } else if (geteuid() == 0) {
      log_.info("  The appliance runs as root (libguestfs's direct backend).");
    }
    if (start() == 0) return;
    if (!runsUnderLibvirt()) {
      throw GuestFsError(lastError() +
                             " (the appliance could not start: run libguestfs-test-tool, or "
                             "set LIBGUESTFS_DEBUG=1 to see why)",
                         guestfs_last_errno(g_));
    }
    log_.warn("libvirt could not start the appliance: " + libvirtError() +
              "; it starts as root instead (libguestfs's direct backend).");
    guestfs_close(std::exchange(g_, nullptr));
    openHandle("direct");
    if (start() != 0) {
      throw GuestFsError(lastError() + " (the appliance could not start without libvirt either: "
                                       "set LIBGUESTFS_DEBUG=1 to see why)",
                         guestfs_last_errno(g_));
    }
  }

  GuestOs inspect() override {
    const std::vector<std::string> roots = takeStrings(guestfs_inspect_os(g_));
    if (roots.empty()) return {};
    GuestOs os;
    os.product = takeString(guestfs_inspect_get_product_name(g_, roots.front().c_str()));
    if (os.product.empty() || os.product == "unknown") os.product = "unknown";
    const std::vector<std::string> mounts =
        takeStrings(guestfs_inspect_get_mountpoints(g_, roots.front().c_str()));
    for (std::size_t i = 0; i + 1 < mounts.size(); i += 2) os.mounts[mounts[i]] = mounts[i + 1];
    return os;
  }

  std::vector<GuestFilesystem> filesystems() override {
    char** list = guestfs_list_filesystems(g_);
    if (list == nullptr) fail();
    const std::vector<std::string> pairs = takeStrings(list);
    std::vector<GuestFilesystem> found;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) found.push_back({pairs[i], pairs[i + 1]});
    addEncryptedVolumes(found);
    return found;
  }

  // libguestfs leaves out the LUKS volumes it has no key for; the operator
  // must hear that a volume is encrypted, not that it does not exist.
  void addEncryptedVolumes(std::vector<GuestFilesystem>& found) {
    std::vector<std::string> volumes = takeStrings(guestfs_list_devices(g_));
    for (std::string& partition : takeStrings(guestfs_list_partitions(g_)))
      volumes.push_back(std::move(partition));
    for (std::string& lv : takeStrings(guestfs_lvs(g_))) volumes.push_back(std::move(lv));
    for (const std::string& volume : volumes) {
      const bool listed = std::any_of(found.begin(), found.end(), [&](const GuestFilesystem& fs) {
        return fs.device == volume;
      });
      if (listed) continue;
      if (takeString(guestfs_vfs_type(g_, volume.c_str())) == "crypto_LUKS")
        found.push_back({volume, "crypto_LUKS"});
    }
  }

  std::int64_t deviceSize(const std::string& device) override {
    const std::int64_t size = guestfs_blockdev_getsize64(g_, device.c_str());
    if (size < 0) fail();
    return size;
  }

  std::string label(const std::string& device) override {
    char* label = guestfs_vfs_label(g_, device.c_str());
    if (label == nullptr) fail();
    return takeString(label);
  }

  void mountReadOnly(const std::string& device, const std::string& mountpoint) override {
    check(guestfs_mount_ro(g_, device.c_str(), mountpoint.c_str()));
  }
  void makeMountpoint(const std::string& path) override {
    check(guestfs_mkmountpoint(g_, path.c_str()));
  }
  void unmountAll() override { check(guestfs_umount_all(g_)); }

  GuestStat lstat(const std::string& path) override {
    struct guestfs_statns* s = guestfs_lstatns(g_, path.c_str());
    if (s == nullptr) fail();
    const GuestStat stat = toStat(*s);
    guestfs_free_statns(s);
    return stat;
  }

  std::vector<GuestEntry> list(const std::string& dir) override {
    struct guestfs_dirent_list* dirents = guestfs_readdir(g_, dir.c_str());
    if (dirents == nullptr) fail();
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < dirents->len; ++i) {
      const std::string_view name = dirents->val[i].name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    guestfs_free_dirent_list(dirents);
    const std::vector<GuestStat> stats = lstatPlain(dir, names);
    std::vector<char*> cnames = cStrings(names);
    const std::vector<std::string> links =
        takeStrings(guestfs_readlinklist(g_, dir.c_str(), cnames.data()));
    std::vector<GuestEntry> entries;
    for (std::size_t i = 0; i < names.size() && i < stats.size(); ++i) {
      const bool link = (stats[i].mode & S_IFMT) == S_IFLNK;
      entries.push_back({names[i], stats[i], link && i < links.size() ? links[i] : ""});
    }
    return entries;
  }

  std::string readlink(const std::string& path) override {
    char* target = guestfs_readlink(g_, path.c_str());
    if (target == nullptr) fail();
    return takeString(target);
  }

  // find0 writes NUL-separated names into a file: a memory file here.
  std::vector<std::string> find(const std::string& dir) override {
    const Fd names(memfd_create("quorlane-find", MFD_CLOEXEC));
    if (!names) throw GuestFsError("memfd_create failed", errno);
    check(guestfs_find0(g_, dir.c_str(), fdPath(names.get()).c_str()));
    std::string text;
    char buffer[65536];
    for (ssize_t n;
         (n = pread(names.get(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> found;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\0', start);
      if (end == std::string::npos) end = text.size();
      const std::size_t name = text[start] == '/' ? start + 1 : start;
      found.push_back(text.substr(name, end - name));
    }
    return found;
  }

  // lstatnslist takes plain names of one directory: one call per directory.
  std::vector<GuestStat> lstatList(const std::string& dir,
                                   const std::vector<std::string>& names) override {
    std::map<std::string, std::vector<std::size_t>> byParent;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::size_t slash = names[i].rfind('/');
      byParent[slash == std::string::npos ? "" : names[i].substr(0, slash)].push_back(i);
    }
    std::vector<GuestStat> stats(names.size());
    for (const auto& [parent, indices] : byParent) {
      std::vector<std::string> plain;
      for (const std::size_t i : indices) plain.push_back(names[i].substr(names[i].rfind('/') + 1));
      const std::vector<GuestStat> found =
          lstatPlain(parent.empty() ? dir : dir + (dir.ends_with('/') ? "" : "/") + parent, plain);
      for (std::size_t k = 0; k < indices.size() && k < found.size(); ++k) {
        stats[indices[k]] = found[k];
      }
    }
    return stats;
  }

  void download(const std::string& path, int fd) override {
    check(guestfs_download(g_, path.c_str(), fdPath(fd).c_str()));
  }

  // Called from a second thread, whose libguestfs errors are its own.
  void tarOut(const std::string& dir, int fd) override {
    guestfs_set_error_handler(g_, nullptr, nullptr);
    check(guestfs_tar_out_opts(g_, dir.c_str(), fdPath(fd).c_str(),
                               GUESTFS_TAR_OUT_OPTS_NUMERICOWNER, 1, -1));
  }

  void mountLocal(const std::string& dir) override {
    check(guestfs_mount_local(g_, dir.c_str(), GUESTFS_MOUNT_LOCAL_READONLY, 1, -1));
    localDir_ = dir;
  }
  void serveLocal() override {
    const int served = guestfs_mount_local_run(g_);
    localDir_.clear();
    check(served);
  }
  // Called from a second thread while serveLocal() runs, which holds the
  // handle: guestfs_umount_local would wait for it. Unmounting the FUSE file
  // system ends its loop.
  void unmountLocal() override {
    if (umount2(localDir_.c_str(), MNT_DETACH) != 0) {
      throw GuestFsError("cannot unmount " + localDir_ + ": " + std::strerror(errno), errno);
    }
  }

 private:
  // A handle set up for this host, with the images added so far; `backend`
  // empty for libguestfs's own choice.
  void openHandle(const std::string& backend) {
    g_ = guestfs_create();
    if (g_ == nullptr) throw GuestFsError("libguestfs could not create a handle", errno);
    guestfs_set_error_handler(g_, nullptr, nullptr);
    if (forceEmulation(host_)) {
      log_.trace("KVM cannot run the appliance's kernel here: plain emulation (force_tcg).");
      check(guestfs_set_backend_setting(g_, "force_tcg", "1"));
    }
    if (!backend.empty()) check(guestfs_set_backend(g_, backend.c_str()));
    check(guestfs_set_network(g_, 0));
    backend_ = takeString(guestfs_get_backend(g_));
    for (const std::string& image : images_) addDrive(image);
  }

  void addDrive(const std::string& path) {
    check(guestfs_add_drive_opts(g_, path.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY, 1,
                                 GUESTFS_ADD_DRIVE_OPTS_FORMAT, "qcow2", -1));
  }

  // guestfs_launch within kApplianceStartLimit; its status.
  int start() {
    LaunchWatchdog watchdog(kApplianceStartLimit, applianceProcesses());
    const int launched = guestfs_launch(g_);
    watchdog.disarm();
    if (watchdog.fired()) {
      throw GuestFsError(
          "it did not start within " + std::to_string(kApplianceStartLimit.count()) +
              " minutes and was stopped. Where KVM cannot run a Linux kernel, set "
              "LIBGUESTFS_BACKEND_SETTINGS=force_tcg; else check that /dev/kvm can be opened, "
              "and look at LIBGUESTFS_DEBUG=1 output",
          0);
    }
    return launched;
  }

  // What stops a start that does not end: QEMU is this process's child,
  // or under libvirt the daemon's, found by the domain name libguestfs gives
  // it and the image it reads. Those that ran before the start are others'.
  LaunchWatchdog::Targets applianceProcesses() const {
    if (!runsUnderLibvirt() || images_.empty()) return [] { return childProcesses(getpid()); };
    const std::vector<std::string> words = {"guest=guestfs-", absolutePath(images_.front())};
    return [words, before = processesWith(words)] {
      std::vector<pid_t> started;
      for (const pid_t pid : processesWith(words)) {
        if (std::find(before.begin(), before.end(), pid) == before.end()) started.push_back(pid);
      }
      return started;
    };
  }

  // libguestfs's first line, and libvirt's own words, which come after
  // libguestfs's advice.
  std::string libvirtError() const {
    std::string first = lastError();
    if (first.ends_with('.')) first.pop_back();
    const char* error = guestfs_last_error(g_);
    const std::string text = error == nullptr ? "" : error;
    constexpr std::string_view kLibvirtSaid = "Original error from libvirt: ";
    const std::size_t said = text.find(kLibvirtSaid);
    if (said == std::string::npos) return first;
    return first + ": " + firstLine(text.substr(said + kLibvirtSaid.size()));
  }

  std::vector<GuestStat> lstatPlain(const std::string& dir, const std::vector<std::string>& names) {
    if (names.empty()) return {};
    std::vector<char*> cnames = cStrings(names);
    struct guestfs_statns_list* list = guestfs_lstatnslist(g_, dir.c_str(), cnames.data());
    if (list == nullptr) fail();
    std::vector<GuestStat> stats;
    for (std::uint32_t i = 0; i < list->len; ++i) stats.push_back(toStat(list->val[i]));
    guestfs_free_statns_list(list);
    return stats;
  }

  // libguestfs follows some errors with lines of general advice.
  std::string lastError() const {
    const char* error = guestfs_last_error(g_);
    return error == nullptr ? "unknown error" : firstLine(error);
  }
  [[noreturn]] void fail() const { throw GuestFsError(lastError(), guestfs_last_errno(g_)); }
  void check(int status) const {
    if (status == -1) fail();
  }

  Logger& log_;
  const ApplianceHost host_;
  guestfs_h* g_ = nullptr;
  std::vector<std::string> images_;
  std::string backend_;
  std::string localDir_;  // where mountLocal() serves the file systems
};

}  // namespace

bool forceEmulation(const ApplianceHost& host) { return !host.settingsGiven && !host.kvmRunsLinux; }

bool confineUnderLibvirt(const ApplianceHost& host) {
  return !host.backendGiven && host.root && host.libvirtAnswers;
}

ApplianceHost probeApplianceHost() {
  ApplianceHost host;
  host.settingsGiven = std::getenv("LIBGUESTFS_BACKEND_SETTINGS") != nullptr;
  const Fd kvm(open("/dev/kvm", O_RDWR | O_CLOEXEC));
  host.kvmRunsLinux = kvm && !softwareKvmLoaded();
  host.backendGiven = std::getenv("LIBGUESTFS_BACKEND") != nullptr;
  host.root = geteuid() == 0;
  // The modular daemon's socket, or the monolithic one's.
  host.libvirtAnswers = socketAnswers("/run/libvirt/virtqemud-sock") ||
                        socketAnswers("/run/libvirt/libvirt-sock");
  return host;
}

std::unique_ptr<GuestFs> openGuestAppliance(Logger& log) {
  return std::make_unique<GuestAppliance>(log);
}

}  // namespace quorlane
