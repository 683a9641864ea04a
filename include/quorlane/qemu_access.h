#pragma once

#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/fd.h"
#include "quorlane/logging.h"

namespace quorlane {

// What QEMU, running as libvirt's user, must be able to open to read a
// backup through its chain: the image of each of `targets` in every member
// (libvirt makes QEMU their owner as it starts, and leaves them so), and
// every directory above them that others cannot search. Each with its mode
// and owner as they are now, or, while an appliance reads the VM's backups,
// as they were before it (what is to be put back); the images of `targets`
// a member lacks are left out.
std::vector<FileMode> chainFilesForQemu(const BackupDir& backup,
                                        const std::vector<std::string>& targets);

// Search permission for others on each directory of `files`; throws
// BackupError naming the directory that could not be opened.
void openDirectoriesToQemu(const std::vector<FileMode>& files);

// Puts back each file's mode and owner; what cannot be put back is a warning.
void putBackModes(const std::vector<FileMode>& files, Logger& log);

// Opens a backup's chain to QEMU under libvirt for the object's life. Runs
// that read the same VM's backups at once share what is opened: the first to
// open a file records its mode and owner in <vm dir>/qemu-access, and the
// last one out puts every recorded file back and removes the record. A run
// killed before it could leaves the record, and the next last one out puts
// those files back too.
class QemuAccess {
 public:
  // Throws BackupError when the record cannot be kept or a directory cannot
  // be opened; what was opened by then is put back.
  QemuAccess(const BackupDir& backup, Logger& log);
  ~QemuAccess();
  QemuAccess(const QemuAccess&) = delete;
  QemuAccess& operator=(const QemuAccess&) = delete;

 private:
  // The record's lock, for the moments the record is read or changed.
  Fd lockRecord();
  void release();

  std::string recordPath_;
  std::string readersPath_;
  Logger& log_;
  Fd readers_;  // shared while this run reads; exclusive only for the last one
};

}  // namespace quorlane
