#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorlane/command_runner.h"

namespace quorlane {

// Everything either program asks of libvirt or has it do, through `virsh`,
// and how its answers are read. virsh runs in the C locale (runCommand), so
// the words compared here are libvirt's untranslated ones.

enum class PowerState {
  kNoState,
  kRunning,
  kBlocked,
  kPaused,
  kShuttingDown,
  kShutOff,
  kCrashed,
  kSuspended,
  kUnknown,
};

struct DomainState {
  PowerState power = PowerState::kUnknown;
  std::string text;    // virsh's answer, trimmed: "running", "shut off", "paused (I/O error)"
  std::string reason;  // the part in parentheses, when the reason was asked for: "I/O error"
};

// Reads what `virsh domstate [--reason]` printed.
DomainState parseDomainState(const std::string& output);

enum class Presence { kDefined, kUndefined, kNoVirsh, kNoAnswer };

struct DomainLookup {
  Presence presence = Presence::kNoAnswer;
  DomainState state;  // for a defined VM
  std::string error;  // the first line of virsh's error, for kNoAnswer
};

// Reads `virsh domblklist --details`: Type, Device, Target, Source. Disks
// (not CD-ROMs) with a source, target to source; a source with blanks stays whole.
std::map<std::string, std::string> parseDiskList(const std::string& output);

struct DumpedDefinition {
  bool ok = false;
  std::string xml;    // the definition exactly as libvirt prints it
  std::string error;  // virsh's standard error, trimmed
};

// Whether every disk bitmap of the checkpoint is there and sound: libvirt
// gives each a size then. A QEMU that was killed leaves its bitmaps missing
// or in use, and an incremental backup from them is refused.
bool parseCheckpointIntact(const std::string& checkpointXml);

// A block job's state as `virsh domjobinfo [--completed]` prints it.
struct JobInfo {
  bool answered = false;
  std::string type;   // "None", "Unbounded", "Completed", "Failed", "Cancelled"
  std::string error;  // "Error message:", when libvirt gives one
};
JobInfo parseJobInfo(const std::string& output);

// The last percentage of virsh's "\rBlock Pull: [ 45 %]" progress, or -1.
int parseBlockPullPercent(const std::string& progress);

// One disk of an external snapshot: its target and the overlay file.
using DiskSpec = std::pair<std::string, std::string>;

// Queries answer with what they found; actions hand back virsh's result,
// whose standard error is the message to show when they fail.
class Virsh {
 public:
  explicit Virsh(CommandRunner& runner) : runner_(runner) {}

  // The state, whether or not virsh succeeded (a failed query has empty text).
  DomainState state(const std::string& vm) const;
  // The state with its reason; nothing when virsh failed.
  std::optional<DomainState> stateWithReason(const std::string& vm) const;
  // Whether a VM of that name is defined, told apart from a daemon that
  // cannot be asked.
  DomainLookup lookup(const std::string& vm) const;
  // Whether libvirt knows the VM and answers about it (`virsh dominfo`).
  bool answers(const std::string& vm) const;
  // The names of the VM's snapshots; none when virsh fails.
  std::vector<std::string> snapshotNames(const std::string& vm) const;
  // The VM's disks as parseDiskList reads them; none when virsh fails.
  std::map<std::string, std::string> diskSources(const std::string& vm) const;
  DumpedDefinition dumpDefinition(const std::string& vm) const;
  // Whether the guest agent answers a ping within five seconds.
  bool guestAgentAnswers(const std::string& vm) const;
  // The disk's virtual size (`virsh domblkinfo`); nothing when virsh fails.
  std::optional<std::uint64_t> diskCapacity(const std::string& vm, const std::string& target) const;
  // The names of the VM's checkpoints; none when virsh fails.
  std::vector<std::string> checkpointNames(const std::string& vm) const;
  bool checkpointIntact(const std::string& vm, const std::string& checkpoint) const;
  JobInfo activeJob(const std::string& vm) const;
  JobInfo completedJob(const std::string& vm) const;
  // Whether a block pull of the disk is running.
  bool pullRunning(const std::string& vm, const std::string& target) const;

  CommandResult createSnapshot(const std::string& vm, const std::string& name, bool quiesce,
                               const std::vector<DiskSpec>& disks) const;
  CommandResult deleteSnapshot(const std::string& vm, const std::string& name) const;
  CommandResult createCheckpoint(const std::string& vm, const std::string& name) const;
  // With metadataOnly, libvirt forgets the checkpoint and leaves the bitmaps.
  CommandResult deleteCheckpoint(const std::string& vm, const std::string& name,
                                 bool metadataOnly) const;
  CommandResult beginBackup(const std::string& vm, const std::string& jobFile,
                            const std::string& checkpointFile) const;
  CommandResult abortJob(const std::string& vm) const;
  CommandResult freezeFileSystems(const std::string& vm) const;
  CommandResult thawFileSystems(const std::string& vm) const;
  CommandResult define(const std::string& definitionFile) const;
  CommandResult start(const std::string& vm) const;
  CommandResult destroy(const std::string& vm) const;
  CommandResult suspend(const std::string& vm) const;
  CommandResult resume(const std::string& vm) const;
  // Pulls the backing file's data into the disk's image and waits for the
  // end; bandwidth in MiB/s, empty for no limit. The watcher sees virsh's
  // progress.
  CommandResult blockPull(const std::string& vm, const std::string& target,
                          const std::string& bandwidth, const OutputWatcher& watch) const;
  CommandResult abortBlockJob(const std::string& vm, const std::string& target) const;
  // Removes the metadata element of that namespace from the definition that
  // libvirt keeps (`config`) or from the running VM's.
  CommandResult removeMetadata(const std::string& vm, const std::string& uri, bool config) const;

 private:
  CommandRunner& runner_;
};

}  // namespace quorlane
