#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quorlane/backup_dir.h"
#include "quorlane/virsh.h"

namespace quorlane {

// Whether a run with --incremental copies only the blocks changed since the
// chain's newest backup or takes a full one, decided from what the run found.

// The newest complete backup made with --incremental: the chain's tip.
struct ChainTip {
  std::string timestamp;
  ChainRecord record;
  Chain chain;                    // the tip and the backups it depends on
  bool checkpointKnown = false;   // libvirt has the checkpoint the record names
  bool checkpointIntact = false;  // and its bitmaps were saved
  // Target to the first line of qemu-img's error, for each image of the tip
  // that does not open with the chain behind it.
  std::map<std::string, std::string> unopened;
};

struct ChainFacts {
  std::string vm;
  DomainState state;
  std::vector<std::string> disks;                  // every disk's target, in order
  std::set<std::string> qcow2Disks;                // those that are qcow2 files
  std::map<std::string, std::uint64_t> diskSizes;  // target to virtual size, where libvirt told it
  std::optional<ChainTip> tip;
  long chainLength = 0;  // --chain-length
};

struct ChainDecision {
  bool incremental = false;  // copy only what changed since `parent`
  bool tracked = false;      // take a checkpoint that the next run continues from
  std::string parent;        // the tip's timestamp, for an incremental backup
  std::size_t position = 1;  // this backup's place in its chain
  std::string reason;        // why the run is a full one
};

ChainDecision decideChain(const ChainFacts& facts);

// The line a run logs about its kind, and the dry run's "Backup kind:" text.
std::string chainLine(const ChainDecision& decision, long chainLength);
std::string dryRunKind(const ChainDecision& decision, long chainLength);

}  // namespace quorlane
