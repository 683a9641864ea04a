#include "quorlane/chain_decision.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace quorlane {
namespace {

const std::string kFull = "2026-01-01_00-00-00";
const std::string kTip = "2026-01-02_00-00-00";

BackupDir backup(const std::string& timestamp) {
  return {"/b/web01/" + timestamp, "web01", timestamp};
}

// A running VM whose chain of two backups can go on.
ChainFacts continuable() {
  ChainFacts facts;
  facts.vm = "web01";
  facts.state = parseDomainState("running\n");
  facts.disks = {"vda", "vdb"};
  facts.qcow2Disks = {"vda", "vdb"};
  facts.diskSizes = {{"vda", 1024}, {"vdb", 512}};
  ChainTip tip;
  tip.timestamp = kTip;
  tip.record = {BackupKind::kIncremental, kFull, "quorlane-" + kTip, facts.diskSizes};
  tip.chain.members = {backup(kTip), backup(kFull)};
  tip.checkpointKnown = true;
  tip.checkpointIntact = true;
  facts.tip = tip;
  facts.chainLength = 7;
  return facts;
}

TEST(ChainDecision, ContinuesAWholeChainWithRoomLeft) {
  for (const char* state : {"running\n", "paused\n"}) {
    ChainFacts facts = continuable();
    facts.state = parseDomainState(state);
    const ChainDecision decision = decideChain(facts);
    EXPECT_TRUE(decision.incremental) << state << decision.reason;
    EXPECT_TRUE(decision.tracked);
    EXPECT_EQ(decision.parent, kTip);
    EXPECT_EQ(decision.position, 3u);
    EXPECT_EQ(decision.reason, "");
  }
}

TEST(ChainDecision, NoChainStartsWithoutBitmaps) {
  const std::vector<std::pair<std::function<void(ChainFacts&)>, std::string>> cases = {
      {[](ChainFacts& f) { f.state = parseDomainState("shut off\n"); },
       "VM 'web01' is shut off, and libvirt tracks changed blocks only while it runs"},
      {[](ChainFacts& f) { f.state = parseDomainState(""); },
       "VM 'web01' is , and libvirt tracks changed blocks only while it runs"},
      {[](ChainFacts& f) { f.qcow2Disks = {"vda"}; },
       "disk vdb is not a qcow2 file; raw images and block devices hold no bitmaps"},
  };
  for (const auto& [change, reason] : cases) {
    ChainFacts facts = continuable();
    change(facts);
    const ChainDecision decision = decideChain(facts);
    EXPECT_FALSE(decision.incremental) << reason;
    EXPECT_FALSE(decision.tracked) << reason;
    EXPECT_EQ(decision.reason, reason);
  }
}

// Each fact that breaks the chain starts a new one, and the first one that
// applies names the reason.
TEST(ChainDecision, ANewChainStartsWhenTheOldOneCannotGoOn) {
  const std::vector<std::pair<std::function<void(ChainFacts&)>, std::string>> cases = {
      {[](ChainFacts& f) { f.tip.reset(); },
       "no complete backup of this VM was made with --incremental"},
      {[](ChainFacts& f) {
         f.tip->chain.fault = "backup " + kFull + " of the chain is missing: /b/web01/" + kFull;
         f.tip->checkpointKnown = false;
       },
       "backup " + kFull + " of the chain is missing: /b/web01/" + kFull},
      {[](ChainFacts& f) { f.tip->record.checkpoint.clear(); },
       "backup " + kTip + " has no checkpoint to continue from"},
      {[](ChainFacts& f) { f.tip->checkpointKnown = f.tip->checkpointIntact = false; },
       "libvirt has no checkpoint 'quorlane-" + kTip + "' of backup " + kTip},
      {[](ChainFacts& f) { f.tip->checkpointIntact = false; },
       "checkpoint 'quorlane-" + kTip + "' of backup " + kTip +
           " is inconsistent (QEMU stopped without saving its bitmaps)"},
      {[](ChainFacts& f) {
         f.disks = {"vda"};
         f.qcow2Disks = {"vda"};
         f.diskSizes.erase("vdb");
       },
       "the disks (vda) are not those of backup " + kTip + " (vda,vdb)"},
      // libvirt told no size for vdb: its blocks cannot be known to match.
      {[](ChainFacts& f) { f.diskSizes.erase("vdb"); },
       "the disks (vda,vdb) are not those of backup " + kTip + " (vda,vdb)"},
      {[](ChainFacts& f) { f.diskSizes["vdb"] = 2048; },
       "disk vdb has 2048 bytes, 512 in backup " + kTip},
      {[](ChainFacts& f) { f.chainLength = 2; },
       "the chain of backup " + kFull + " holds 2 backups (--chain-length 2)"},
      {[](ChainFacts& f) {
         f.tip->unopened = {{"vdb", "qemu-img: Could not open 'b': Image is not in qcow2 format"},
                            {"vda", "qemu-img: Could not open 'a': Image is not in qcow2 format"}};
       },
       "backup " + kTip +
           " is damaged: its image of vda does not open: qemu-img: Could not open 'a': Image is "
           "not in qcow2 format"},
  };
  for (const auto& [change, reason] : cases) {
    ChainFacts facts = continuable();
    change(facts);
    const ChainDecision decision = decideChain(facts);
    EXPECT_FALSE(decision.incremental) << reason;
    EXPECT_TRUE(decision.tracked) << reason;
    EXPECT_EQ(decision.parent, "") << reason;
    EXPECT_EQ(decision.position, 1u) << reason;
    EXPECT_EQ(decision.reason, reason);
  }
}

TEST(ChainDecision, ConsoleLineAndDryRunTextSayTheKindAndWhy) {
  const ChainDecision incremental{true, true, kTip, 3, ""};
  EXPECT_EQ(chainLine(incremental, 7), "Incremental backup: only the blocks changed since backup " +
                                           kTip + " (backup 3 of at most 7 in its chain).");
  EXPECT_EQ(dryRunKind(incremental, 7),
            "incremental, from backup " + kTip + " (backup 3 of at most 7 in its chain)");
  const ChainDecision newChain{false, true, "", 1, "a reason"};
  EXPECT_EQ(chainLine(newChain, 7), "Full backup, starting a new chain: a reason.");
  EXPECT_EQ(dryRunKind(newChain, 7), "full, starting a new chain: a reason");
  const ChainDecision untracked{false, false, "", 1, "a reason"};
  EXPECT_EQ(chainLine(untracked, 7), "Full backup, no chain can start from it: a reason.");
  EXPECT_EQ(dryRunKind(untracked, 7), "full, no chain can start from it: a reason");
}

}  // namespace
}  // namespace quorlane
