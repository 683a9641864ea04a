#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quorlane {

// A file's status inside the guest, as the appliance's lstat tells it.
struct GuestStat {
  std::uint32_t mode = 0;  // type and permission bits, as st_mode
  std::int64_t uid = 0;
  std::int64_t gid = 0;
  std::int64_t size = 0;
  std::int64_t atimeSec = 0;
  std::int64_t atimeNsec = 0;
  std::int64_t mtimeSec = 0;
  std::int64_t mtimeNsec = 0;
};

// One entry of a guest directory.
struct GuestEntry {
  std::string name;
  GuestStat stat;
  std::string linkTarget;  // a symbolic link's target; empty for anything else
};

// A file system on the backup's disks, named as the appliance names it.
struct GuestFilesystem {
  std::string device;  // /dev/sda1, /dev/vg0/data
  std::string type;    // ext4, xfs, swap, crypto_LUKS, ...
};

// The guest's operating system, as the appliance's inspection finds it.
struct GuestOs {
  std::string product;                        // empty when none is recognised
  std::map<std::string, std::string> mounts;  // mount point to device
};

// A call the appliance failed; `error` is the errno it gave, or 0.
class GuestFsError : public std::runtime_error {
 public:
  GuestFsError(const std::string& message, int error)
      : std::runtime_error(message), error_(error) {}
  int error() const { return error_; }

 private:
  int error_;
};

// The guest's file systems, read inside a throwaway appliance: the host
// kernel never parses them. Every call throws GuestFsError when it fails.
class GuestFs {
 public:
  virtual ~GuestFs() = default;

  // Before launch(): a disk image, read-only through a throwaway overlay,
  // as qcow2 (an incremental's image reads through its backing files).
  virtual void addImage(const std::string& path) = 0;
  // Whether QEMU will run as libvirt's user, who must be let into the images.
  virtual bool runsUnderLibvirt() const = 0;
  virtual void launch() = 0;

  virtual GuestOs inspect() = 0;
  virtual std::vector<GuestFilesystem> filesystems() = 0;
  virtual std::int64_t deviceSize(const std::string& device) = 0;
  // Empty when the file system has no label.
  virtual std::string label(const std::string& device) = 0;

  virtual void mountReadOnly(const std::string& device, const std::string& mountpoint) = 0;
  // Creates the mount point in the appliance's own root, for a file system
  // that the guest does not place.
  virtual void makeMountpoint(const std::string& path) = 0;
  virtual void unmountAll() = 0;

  // Paths inside the mounted file systems.
  virtual GuestStat lstat(const std::string& path) = 0;
  // The entries of a directory, "." and ".." left out, in no particular order.
  virtual std::vector<GuestEntry> list(const std::string& dir) = 0;
  virtual std::string readlink(const std::string& path) = 0;
  // Every path below `dir`, relative to it.
  virtual std::vector<std::string> find(const std::string& dir) = 0;
  // The status of each of `names` (paths relative to `dir`), in their order.
  virtual std::vector<GuestStat> lstatList(const std::string& dir,
                                           const std::vector<std::string>& names) = 0;
  // A regular file's bytes, written to `fd`.
  virtual void download(const std::string& path, int fd) = 0;
  // The directory as an uncompressed tar stream with numeric owners (GNU
  // tar leaves sockets out), written to `fd`.
  virtual void tarOut(const std::string& dir, int fd) = 0;

  // Serves the mounted file systems read-only on the host directory `dir`
  // through FUSE: serveLocal() returns once unmountLocal() (from another
  // thread) or an unmount of `dir` ends it.
  virtual void mountLocal(const std::string& dir) = 0;
  virtual void serveLocal() = 0;
  virtual void unmountLocal() = 0;
};

}  // namespace quorlane
