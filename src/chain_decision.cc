#include "quorlane/chain_decision.h"

namespace quorlane {

namespace {

std::string joinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
  return joined;
}

std::vector<std::string> keysOf(const std::map<std::string, std::uint64_t>& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first);
  return keys;
}

// Why no chain can start from this run; empty when one can.
std::string untrackedReason(const ChainFacts& facts) {
  if (facts.state.power != PowerState::kRunning && facts.state.power != PowerState::kPaused) {
    return "VM '" + facts.vm + "' is " + facts.state.text +
           ", and libvirt tracks changed blocks only while it runs";
  }
  for (const std::string& target : facts.disks) {
    if (facts.qcow2Disks.count(target) == 0) {
      return "disk " + target +
             " is not a qcow2 file; raw images and block devices hold no bitmaps";
    }
  }
  return {};
}

// How the disks differ from those the tip backed up; empty when they do not.
std::string diskChange(const ChainFacts& facts, const ChainTip& tip) {
  const std::map<std::string, std::uint64_t>& recorded = tip.record.diskSizes;
  if (keysOf(facts.diskSizes) != keysOf(recorded) || facts.disks != keysOf(facts.diskSizes)) {
    return "the disks (" + joinNames(facts.disks) + ") are not those of backup " + tip.timestamp +
           " (" + joinNames(keysOf(recorded)) + ")";
  }
  for (const auto& [target, size] : facts.diskSizes) {
    if (recorded.at(target) == size) continue;
    return "disk " + target + " has " + std::to_string(size) + " bytes, " +
           std::to_string(recorded.at(target)) + " in backup " + tip.timestamp;
  }
  return {};
}

// Why this run cannot continue the tip's chain; empty when it can.
std::string brokenChainReason(const ChainFacts& facts, const ChainTip& tip) {
  const std::string& ts = tip.timestamp;
  const std::string& checkpoint = tip.record.checkpoint;
  if (!tip.chain.fault.empty()) return tip.chain.fault;
  if (checkpoint.empty()) return "backup " + ts + " has no checkpoint to continue from";
  if (!tip.checkpointKnown) return "libvirt has no checkpoint '" + checkpoint + "' of backup " + ts;
  if (!tip.checkpointIntact) {
    return "checkpoint '" + checkpoint + "' of backup " + ts +
           " is inconsistent (QEMU stopped without saving its bitmaps)";
  }
  if (std::string change = diskChange(facts, tip); !change.empty()) return change;
  const std::vector<BackupDir>& members = tip.chain.members;
  if (static_cast<long>(members.size()) >= facts.chainLength) {
    return "the chain of backup " + members.back().timestamp + " holds " +
           std::to_string(members.size()) + " backups (--chain-length " +
           std::to_string(facts.chainLength) + ")";
  }
  if (!tip.unopened.empty()) {
    const auto& [target, error] = *tip.unopened.begin();
    return "backup " + ts + " is damaged: its image of " + target + " does not open: " + error;
  }
  return {};
}

std::string chainPlace(const ChainDecision& decision, long chainLength) {
  return "(backup " + std::to_string(decision.position) + " of at most " +
         std::to_string(chainLength) + " in its chain)";
}

}  // namespace

ChainDecision decideChain(const ChainFacts& facts) {
  ChainDecision decision;
  decision.reason = untrackedReason(facts);
  if (!decision.reason.empty()) return decision;
  decision.tracked = true;
  if (!facts.tip) {
    decision.reason = "no complete backup of this VM was made with --incremental";
    return decision;
  }
  decision.reason = brokenChainReason(facts, *facts.tip);
  if (!decision.reason.empty()) return decision;
  decision.incremental = true;
  decision.parent = facts.tip->timestamp;
  decision.position = facts.tip->chain.members.size() + 1;
  return decision;
}

std::string chainLine(const ChainDecision& decision, long chainLength) {
  if (decision.incremental) {
    return "Incremental backup: only the blocks changed since backup " + decision.parent + " " +
           chainPlace(decision, chainLength) + ".";
  }
  if (decision.tracked) return "Full backup, starting a new chain: " + decision.reason + ".";
  return "Full backup, no chain can start from it: " + decision.reason + ".";
}

std::string dryRunKind(const ChainDecision& decision, long chainLength) {
  if (decision.incremental) {
    return "incremental, from backup " + decision.parent + " " + chainPlace(decision, chainLength);
  }
  return (decision.tracked ? "full, starting a new chain: "
                           : "full, no chain can start from it: ") +
         decision.reason;
}

}  // namespace quorlane
