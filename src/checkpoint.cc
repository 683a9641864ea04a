#include "quorlane/checkpoint.h"

#include <utility>

#include "quorlane/backup_error.h"
#include "quorlane/text.h"

namespace quorlane {

void deleteCheckpoint(const Virsh& virsh, const Logger& log, const std::string& vm,
                      const std::string& name) {
  if (virsh.deleteCheckpoint(vm, name, false).ok()) {
    log.trace("Checkpoint deleted: " + name);
    return;
  }
  const CommandResult metadata = virsh.deleteCheckpoint(vm, name, true);
  if (metadata.ok()) {
    log.trace("Checkpoint record deleted: " + name);
  } else {
    log.warn("Could not delete checkpoint '" + name + "' of VM '" + vm +
             "': " + trim(metadata.err));
  }
}

Checkpoint::Checkpoint(const Virsh& virsh, const Logger& log, std::string vm, std::string name)
    : virsh_(virsh), log_(log), vm_(std::move(vm)), name_(std::move(name)) {}

Checkpoint::~Checkpoint() {
  try {
    release();
  } catch (const std::exception&) {
    // A failure while cleaning up must not end the process: the next run
    // deletes a checkpoint whose backup never completed.
  }
}

void Checkpoint::create() {
  const CommandResult result = virsh_.createCheckpoint(vm_, name_);
  if (!result.ok()) {
    throw BackupError("Failed to create checkpoint '" + name_ + "' on VM '" + vm_ +
                      "': " + trim(result.err));
  }
  exists_ = true;
}

void Checkpoint::release() {
  if (!exists_ || kept_) return;
  exists_ = false;
  deleteCheckpoint(virsh_, log_, vm_, name_);
}

}  // namespace quorlane
