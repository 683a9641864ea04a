#include "quorlane/virsh.h"

#include <array>
#include <regex>
#include <string_view>
#include <utility>

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

DomainState Virsh::state(const std::string& vm) const {
  return parseDomainState(runner_.run({"virsh", "domstate", vm}).out);
}

std::optional<DomainState> Virsh::stateWithReason(const std::string& vm) const {
  const CommandResult result = runner_.run({"virsh", "domstate", vm, "--reason"});
  if (!result.ok()) return std::nullopt;
  return parseDomainState(result.out);
}

DomainLookup Virsh::lookup(const std::string& vm) const {
  const CommandResult result = runner_.run({"virsh", "domstate", vm});
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

bool Virsh::answers(const std::string& vm) const {
  return runner_.run({"virsh", "dominfo", vm}).ok();
}

std::vector<std::string> Virsh::snapshotNames(const std::string& vm) const {
  std::vector<std::string> names;
  for (const std::string& line :
       splitLines(runner_.run({"virsh", "snapshot-list", vm, "--name"}).out)) {
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

std::map<std::string, std::string> Virsh::diskSources(const std::string& vm) const {
  return parseDiskList(runner_.run({"virsh", "domblklist", vm, "--details"}).out);
}

DumpedDefinition Virsh::dumpDefinition(const std::string& vm) const {
  CommandResult result = runner_.run({"virsh", "dumpxml", vm});
  return {result.ok(), std::move(result.out), trim(result.err)};
}

bool Virsh::guestAgentAnswers(const std::string& vm) const {
  return runner_
      .run({"virsh", "qemu-agent-command", "--timeout", "5", vm, R"({"execute":"guest-ping"})"})
      .ok();
}

std::optional<std::uint64_t> Virsh::diskCapacity(const std::string& vm,
                                                 const std::string& target) const {
  const CommandResult result = runner_.run({"virsh", "domblkinfo", vm, target});
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

std::vector<std::string> Virsh::checkpointNames(const std::string& vm) const {
  std::vector<std::string> names;
  const CommandResult result = runner_.run({"virsh", "checkpoint-list", vm, "--name"});
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

bool Virsh::checkpointIntact(const std::string& vm, const std::string& checkpoint) const {
  const CommandResult result =
      runner_.run({"virsh", "checkpoint-dumpxml", vm, checkpoint, "--size"});
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

JobInfo Virsh::activeJob(const std::string& vm) const {
  const CommandResult result = runner_.run({"virsh", "domjobinfo", vm});
  return result.ok() ? parseJobInfo(result.out) : JobInfo{false, {}, trim(result.err)};
}

JobInfo Virsh::completedJob(const std::string& vm) const {
  const CommandResult result = runner_.run({"virsh", "domjobinfo", vm, "--completed"});
  return result.ok() ? parseJobInfo(result.out) : JobInfo{false, {}, trim(result.err)};
}

int parseBlockPullPercent(const std::string& progress) {
  static const std::regex kPercent("\\[\\s*([0-9]+) %\\]");
  int percent = -1;
  for (auto it = std::sregex_iterator(progress.begin(), progress.end(), kPercent);
       it != std::sregex_iterator(); ++it) {
    percent = std::stoi((*it)[1].str());
  }
  return percent;
}

bool Virsh::pullRunning(const std::string& vm, const std::string& target) const {
  const CommandResult job = runner_.run({"virsh", "blockjob", vm, target, "--info"});
  return job.ok() && (job.out + job.err).find("Block Pull") != std::string::npos;
}

CommandResult Virsh::createSnapshot(const std::string& vm, const std::string& name, bool quiesce,
                                    const std::vector<DiskSpec>& disks) const {
  std::vector<std::string> argv = {"virsh", "snapshot-create-as", vm,
                                   name,    "--disk-only",        "--atomic"};
  if (quiesce) argv.push_back("--quiesce");
  for (const auto& [target, overlay] : disks) {
    argv.push_back("--diskspec");
    argv.push_back(target + ",snapshot=external,file=" + overlay);
  }
  return runner_.run(argv);
}

CommandResult Virsh::deleteSnapshot(const std::string& vm, const std::string& name) const {
  return runner_.run({"virsh", "snapshot-delete", vm, name});
}

CommandResult Virsh::createCheckpoint(const std::string& vm, const std::string& name) const {
  return runner_.run({"virsh", "checkpoint-create-as", vm, name});
}

CommandResult Virsh::deleteCheckpoint(const std::string& vm, const std::string& name,
                                      bool metadataOnly) const {
  std::vector<std::string> argv = {"virsh", "checkpoint-delete", vm, name};
  if (metadataOnly) argv.push_back("--metadata");
  return runner_.run(argv);
}

CommandResult Virsh::beginBackup(const std::string& vm, const std::string& jobFile,
                                 const std::string& checkpointFile) const {
  return runner_.run({"virsh", "backup-begin", vm, jobFile, checkpointFile, "--reuse-external"});
}

CommandResult Virsh::abortJob(const std::string& vm) const {
  return runner_.run({"virsh", "domjobabort", vm});
}

CommandResult Virsh::freezeFileSystems(const std::string& vm) const {
  return runner_.run({"virsh", "domfsfreeze", vm});
}

CommandResult Virsh::thawFileSystems(const std::string& vm) const {
  return runner_.run({"virsh", "domfsthaw", vm});
}

CommandResult Virsh::define(const std::string& definitionFile) const {
  return runner_.run({"virsh", "define", definitionFile});
}

CommandResult Virsh::start(const std::string& vm) const {
  return runner_.run({"virsh", "start", vm});
}

CommandResult Virsh::destroy(const std::string& vm) const {
  return runner_.run({"virsh", "destroy", vm});
}

CommandResult Virsh::suspend(const std::string& vm) const {
  return runner_.run({"virsh", "suspend", vm});
}

CommandResult Virsh::resume(const std::string& vm) const {
  return runner_.run({"virsh", "resume", vm});
}

CommandResult Virsh::blockPull(const std::string& vm, const std::string& target,
                               const std::string& bandwidth, const OutputWatcher& watch) const {
  std::vector<std::string> argv = {"virsh", "blockpull", vm, target, "--wait", "--verbose"};
  if (!bandwidth.empty()) argv.insert(argv.end(), {"--bandwidth", bandwidth});
  return runner_.run(argv, watch);
}

CommandResult Virsh::abortBlockJob(const std::string& vm, const std::string& target) const {
  return runner_.run({"virsh", "blockjob", vm, target, "--abort"});
}

CommandResult Virsh::removeMetadata(const std::string& vm, const std::string& uri,
                                    bool config) const {
  return runner_.run(
      {"virsh", "metadata", vm, "--uri", uri, "--remove", config ? "--config" : "--live"});
}

}  // namespace quorlane
