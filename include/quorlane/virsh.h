#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorlane {

// Every question either program asks libvirt, through `virsh`, and how its
// answer is read. virsh runs in the C locale (runCommand), so the words
// compared here are libvirt's untranslated ones.

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

// The state, whether or not virsh succeeded (a failed query has empty text).
DomainState domainState(const std::string& vm);
// The state with its reason; nothing when virsh failed.
std::optional<DomainState> domainStateWithReason(const std::string& vm);

enum class Presence { kDefined, kUndefined, kNoVirsh, kNoAnswer };

struct DomainLookup {
  Presence presence = Presence::kNoAnswer;
  DomainState state;  // for a defined VM
  std::string error;  // the first line of virsh's error, for kNoAnswer
};

// Whether a VM of that name is defined, told apart from a daemon that cannot
// be asked.
DomainLookup lookupDomain(const std::string& vm);

// Whether libvirt knows the VM and answers about it (`virsh dominfo`).
bool domainAnswers(const std::string& vm);

// The names of the VM's snapshots; none when virsh fails.
std::vector<std::string> snapshotNames(const std::string& vm);

// Reads `virsh domblklist --details`: Type, Device, Target, Source. Disks
// (not CD-ROMs) with a source, target to source; a source with blanks stays whole.
std::map<std::string, std::string> parseDiskList(const std::string& output);
// The VM's disks as parseDiskList reads them; none when virsh fails.
std::map<std::string, std::string> diskSources(const std::string& vm);

struct DumpedDefinition {
  bool ok = false;
  std::string xml;    // the definition exactly as libvirt prints it
  std::string error;  // virsh's standard error, trimmed
};
DumpedDefinition dumpDefinition(const std::string& vm);

// Whether the guest agent answers a ping within five seconds.
bool guestAgentAnswers(const std::string& vm);

// The disk's virtual size (`virsh domblkinfo`); nothing when virsh fails.
std::optional<std::uint64_t> diskCapacity(const std::string& vm, const std::string& target);

// The names of the VM's checkpoints; none when virsh fails.
std::vector<std::string> checkpointNames(const std::string& vm);

// Whether every disk bitmap of the checkpoint is there and sound: libvirt
// gives each a size then. A QEMU that was killed leaves its bitmaps missing
// or in use, and an incremental backup from them is refused.
bool checkpointIntact(const std::string& vm, const std::string& checkpoint);
bool parseCheckpointIntact(const std::string& checkpointXml);

// A block job's state as `virsh domjobinfo [--completed]` prints it.
struct JobInfo {
  bool answered = false;
  std::string type;   // "None", "Unbounded", "Completed", "Failed", "Cancelled"
  std::string error;  // "Error message:", when libvirt gives one
};
JobInfo parseJobInfo(const std::string& output);
JobInfo activeJob(const std::string& vm);
JobInfo completedJob(const std::string& vm);

}  // namespace quorlane
