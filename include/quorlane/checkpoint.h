#pragma once

#include <string>

#include "quorlane/logging.h"
#include "quorlane/virsh.h"

namespace quorlane {

// Deletes a libvirt checkpoint, or only its record when libvirt cannot
// remove its bitmaps (libvirt 9.0 after QEMU was killed); a failure is
// warned of and the run goes on.
void deleteCheckpoint(const Virsh& virsh, const Logger& log, const std::string& vm,
                      const std::string& name);

// The checkpoint of a run with --incremental, taken with its full backup or
// by its backup job. It tracks blocks for the next run only once its backup
// is complete: until keep(), release() and the destructor delete it again.
class Checkpoint {
 public:
  Checkpoint(const Virsh& virsh, const Logger& log, std::string vm, std::string name);
  ~Checkpoint();

  Checkpoint(const Checkpoint&) = delete;
  Checkpoint& operator=(const Checkpoint&) = delete;

  const std::string& name() const { return name_; }
  bool exists() const { return exists_; }

  // Fails the step when libvirt refuses.
  void create();
  void takenByBackupJob() { exists_ = true; }
  void keep() { kept_ = true; }
  void release();

 private:
  const Virsh& virsh_;
  const Logger& log_;
  std::string vm_;
  std::string name_;
  bool exists_ = false;
  bool kept_ = false;
};

}  // namespace quorlane
