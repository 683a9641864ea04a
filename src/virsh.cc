#include "quorlane/virsh.h"

#include <array>
#include <string_view>
#include <utility>

#include "quorlane/process.h"
#include "quorlane/text.h"

namespace quorlane {

namespace {

PowerState powerStateOf(std::string_view word) {
  static constexpr std::array<std::pair<std::string_view, PowerState>, 8> kWords = {{
      {"no state", PowerState::kNoState},
      {"running", PowerState::kRunning},
      {"idle", PowerState::kBlocked},
      {"paused", PowerState::kPaused},
      {"in shutdown", PowerState::kShuttingDown},
      {"shut off", PowerState::kShutOff},
      {"crashed", PowerState::kCrashed},
      {"pmsuspended", PowerState::kSuspended},
  }};
  for (const auto& [text, state] : kWords) {
    if (word == text) return state;
  }
  return PowerState::kUnknown;
}

}  // namespace

DomainState parseDomainState(const std::string& output) {
  DomainState state;
  state.text = trim(output);
  std::string word = state.text;
  if (const std::size_t open = word.find(" ("); open != std::string::npos && word.back() == ')') {
    state.reason = word.substr(open + 2, word.size() - open - 3);
    word.resize(open);
  }
  state.power = powerStateOf(word);
  return state;
}

DomainState domainState(const std::string& vm) {
  return parseDomainState(runCommand({"virsh", "domstate", vm}).out);
}

std::optional<DomainState> domainStateWithReason(const std::string& vm) {
  const CommandResult result = runCommand({"virsh", "domstate", vm, "--reason"});
  if (!result.ok()) return std::nullopt;
  return parseDomainState(result.out);
}

DomainLookup lookupDomain(const std::string& vm) {
  const CommandResult result = runCommand({"virsh", "domstate", vm});
  DomainLookup lookup;
  if (result.ok()) {
    lookup.presence = Presence::kDefined;
    lookup.state = parseDomainState(result.out);
  } else if (!result.started || (result.exitCode == 127 && result.err.empty())) {
    lookup.presence = Presence::kNoVirsh;
  } else if (result.err.find("failed to get domain") != std::string::npos ||
             result.err.find("Domain not found") != std::string::npos) {
    lookup.presence = Presence::kUndefined;
  } else {
    lookup.error = firstLine(result.err);
  }
  return lookup;
}

bool domainAnswers(const std::string& vm) { return runCommand({"virsh", "dominfo", vm}).ok(); }

std::vector<std::string> snapshotNames(const std::string& vm) {
  std::vector<std::string> names;
  for (const std::string& line :
       splitLines(runCommand({"virsh", "snapshot-list", vm, "--name"}).out)) {
    if (std::string name = trim(line); !name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::map<std::string, std::string> parseDiskList(const std::string& output) {
  std::map<std::string, std::string> disks;
  for (const std::string& line : splitLines(output)) {
    const std::vector<std::string> words = tokenizeWhitespace(line);
    if (words.size() < 4 || words[1] != "disk") continue;
    std::string source = restAfterWords(line, 3);
    if (source == "-") continue;
    disks[words[2]] = std::move(source);
  }
  return disks;
}

std::map<std::string, std::string> diskSources(const std::string& vm) {
  return parseDiskList(runCommand({"virsh", "domblklist", vm, "--details"}).out);
}

DumpedDefinition dumpDefinition(const std::string& vm) {
  CommandResult result = runCommand({"virsh", "dumpxml", vm});
  return {result.ok(), std::move(result.out), trim(result.err)};
}

bool guestAgentAnswers(const std::string& vm) {
  return runCommand(
             {"virsh", "qemu-agent-command", "--timeout", "5", vm, R"({"execute":"guest-ping"})"})
      .ok();
}

std::optional<std::uint64_t> diskCapacity(const std::string& vm, const std::string& target) {
  const CommandResult result = runCommand({"virsh", "domblkinfo", vm, target});
  if (!result.ok()) return std::nullopt;
  for (const std::string& line : splitLines(result.out)) {
    const std::vector<std::string> words = tokenizeWhitespace(line);
    if (words.size() == 2 && words[0] == "Capacity:" &&
        words[1].find_first_not_of("0123456789") == std::string::npos) {
      return std::stoull(words[1]);
    }
  }
  return std::nullopt;
}

std::vector<std::string> checkpointNames(const std::string& vm) {
  std::vector<std::string> names;
  const CommandResult result = runCommand({"virsh", "checkpoint-list", vm, "--name"});
  if (!result.ok()) return names;
  for (const std::string& line : splitLines(result.out)) {
    if (std::string name = trim(line); !name.empty()) names.push_back(std::move(name));
  }
  return names;
}

bool parseCheckpointIntact(const std::string& checkpointXml) {
  // The checkpoint's own <disks>; the domain definition after it has disks too.
  const std::size_t begin = checkpointXml.find("<disks>");
  const std::size_t end = checkpointXml.find("</disks>", begin);
  if (begin == std::string::npos || end == std::string::npos) return false;
  bool anyBitmap = false;
  for (std::size_t tag = checkpointXml.find("<disk ", begin); tag < end;
       tag = checkpointXml.find("<disk ", tag + 1)) {
    const std::string element = checkpointXml.substr(tag, checkpointXml.find('>', tag) - tag);
    if (element.find("checkpoint='bitmap'") == std::string::npos) continue;
    anyBitmap = true;
    if (element.find(" size='") == std::string::npos) return false;
  }
  return anyBitmap;
}

bool checkpointIntact(const std::string& vm, const std::string& checkpoint) {
  const CommandResult result =
      runCommand({"virsh", "checkpoint-dumpxml", vm, checkpoint, "--size"});
  return result.ok() && parseCheckpointIntact(result.out);
}

JobInfo parseJobInfo(const std::string& output) {
  JobInfo job;
  job.answered = true;
  for (const std::string& line : splitLines(output)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = trim(line.substr(0, colon));
    if (key == "Job type") job.type = trim(line.substr(colon + 1));
    if (key == "Error message") job.error = trim(line.substr(colon + 1));
  }
  return job;
}

JobInfo activeJob(const std::string& vm) {
  const CommandResult result = runCommand({"virsh", "domjobinfo", vm});
  return result.ok() ? parseJobInfo(result.out) : JobInfo{false, {}, trim(result.err)};
}

JobInfo completedJob(const std::string& vm) {
  const CommandResult result = runCommand({"virsh", "domjobinfo", vm, "--completed"});
  return result.ok() ? parseJobInfo(result.out) : JobInfo{false, {}, trim(result.err)};
}

}  // namespace quorlane
