#pragma once

#include <functional>
#include <string>
#include <vector>

#include "quorlane/fd.h"
#include "quorlane/guest_fs.h"

namespace quorlane {

// Where --extract writes: the output directory and, inside it, a staging
// directory that holds everything the run writes until it has succeeded.
// Whatever fails, nothing but the staging directory (and an output directory
// that the run created) is written, and discard() removes both.
class ExtractTarget {
 public:
  ExtractTarget(std::string dir, bool force);
  ExtractTarget(const ExtractTarget&) = delete;
  ExtractTarget& operator=(const ExtractTarget&) = delete;
  ~ExtractTarget();

  // Before anything is read: throws BackupError, "unreadable" for an output
  // directory that holds anything without force or that holds one of
  // `names` (what the run will write there), "failure" for a path that is
  // not a directory.
  void check(const std::vector<std::string>& names) const;
  // Creates the output directory (owner-only) when missing, and the staging
  // directory inside it.
  void open();
  int stagingFd() const { return staging_.get(); }
  // Moves everything staged into the output directory, which never replaces
  // anything: an entry of the same name there fails it ("unreadable")
  // before anything is moved.
  void commit();
  // Removes the staging directory and the directories that open() created.
  void discard();

 private:
  std::string dir_;
  bool force_;
  std::string stagingPath_;
  Fd staging_;
  std::vector<std::string> createdDirs_;
};

// A guest path that extraction names in its warnings.
using ExtractWarning = std::function<void(const std::string&)>;

// Creates the regular file `name` in `dirfd` for the guest's file: it must
// not exist, and no link is followed.
Fd createFileAt(int dirfd, const std::string& name);
// Gives the written file the guest file's permission bits, without setuid
// and setgid, and its access and modification times.
void applyStatus(int fd, const GuestStat& stat);
// Creates the symbolic link `name` in `dirfd`, as it is in the guest.
void createLinkAt(int dirfd, const std::string& name, const std::string& target);

// Unpacks the tar stream that `tarFd` yields below `dirfd`, each entry under
// `landing` (the whole stream's root lands as `landing` itself; with an empty
// one, its contents land in `dirfd`). Regular files, directories, symbolic
// links and hard links within the stream are written, with their permission
// bits (without setuid and setgid) and times, and owned by the caller;
// FIFOs, device nodes and sockets, and names that would leave `dirfd`, are
// skipped, each with one warning that names the entry as `guestDir`/name.
// No link is ever followed while writing. Throws BackupError when the
// stream cannot be read or an entry cannot be written.
void extractTar(int tarFd, int dirfd, const std::string& landing, const std::string& guestDir,
                const ExtractWarning& warn);

// What a warning calls a file type that is never extracted; empty for the
// types that are.
std::string skippedType(unsigned mode);

}  // namespace quorlane
