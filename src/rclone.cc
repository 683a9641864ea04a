#include "quorlane/rclone.h"

#include <cstdlib>

#include "quorlane/text.h"

namespace quorlane {

namespace {

// rclone reads '*', '?', '[', '{' and '\' in a filter as patterns.
std::string filterFor(const std::string& file) {
  std::string escaped = "/";
  for (const char c : file) {
    if (std::string_view("*?[]{}\\").find(c) != std::string_view::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

void addIncludes(std::vector<std::string>& argv, const std::vector<std::string>& files) {
  for (const std::string& file : files) argv.insert(argv.end(), {"--include", filterFor(file)});
}

}  // namespace

std::optional<RemoteListing> parseListing(const std::string& output) {
  RemoteListing listing;
  for (const std::string& line : splitLines(output)) {
    if (line.empty()) continue;
    const std::size_t sizeAt = line.find('\t');
    const std::size_t timeAt = line.find('\t', sizeAt + 1);
    if (sizeAt == std::string::npos || timeAt == std::string::npos) return std::nullopt;
    const std::string size = line.substr(sizeAt + 1, timeAt - sizeAt - 1);
    if (size.empty() || size.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    listing[line.substr(0, sizeAt)] = {std::stoull(size), line.substr(timeAt + 1)};
  }
  return listing;
}

std::string remoteJoin(const std::string& remote, const std::string& name) {
  if (remote.empty() || remote.back() == '/' || remote.back() == ':') return remote + name;
  return remote + "/" + name;
}

std::string lastStatsLine(const std::string& err, std::size_t from) {
  std::string found;
  for (const std::string& line : splitLines(err.substr(std::min(from, err.size())))) {
    const std::size_t notice = line.find("NOTICE:");
    if (notice == std::string::npos || line.find(", ETA ") == std::string::npos) continue;
    // Neither the line before anything moved nor the closing summary of a
    // finished transfer says anything new.
    const std::string stats = trim(line.substr(notice + 7));
    if (stats.starts_with("0 B / ") || stats.ends_with("100%, 0 B/s, ETA -")) continue;
    found = stats;
  }
  return found;
}

std::vector<std::string> parseHashes(const std::string& features) {
  std::vector<std::string> hashes;
  const std::size_t start = features.find("\"Hashes\": [");
  if (start == std::string::npos) return hashes;
  const std::size_t end = features.find(']', start);
  for (std::size_t open = features.find('"', start + 11); open < end;
       open = features.find('"', open + 1)) {
    const std::size_t close = features.find('"', open + 1);
    if (close > end) break;
    hashes.push_back(features.substr(open + 1, close - open - 1));
    open = close;
  }
  return hashes;
}

std::string checkDifferences(const std::string& combined) {
  std::string found;
  for (const std::string& line : splitLines(combined)) {
    if (line.size() < 3 || line[1] != ' ') continue;
    const std::string file = line.substr(2);
    std::string what;
    if (line[0] == '*') what = file + " differs";
    if (line[0] == '+') what = file + " is missing";
    if (line[0] == '!') what = file + " could not be read";
    if (!what.empty()) found += (found.empty() ? "" : "; ") + what;
  }
  return found;
}

std::vector<std::string> differingFiles(const std::string& combined) {
  std::vector<std::string> files;
  for (const std::string& line : splitLines(combined)) {
    if (line.size() > 2 && (line[0] == '*' || line[0] == '!') && line[1] == ' ') {
      files.push_back(line.substr(2));
    }
  }
  return files;
}

namespace {

// rclone's lines read "2006/01/02 15:04:05 ERROR : file: what"; each file's
// error says more than the closing "Failed to copy: 2 errors".
std::string reportedErrors(const std::string& err) {
  std::vector<std::string> errors;
  std::string last;
  for (const std::string& line : splitLines(err)) {
    if (const std::size_t error = line.find("ERROR : "); error != std::string::npos) {
      if (errors.size() < 3) errors.push_back(trim(line.substr(error + 8)));
    } else if (line.find("Failed") != std::string::npos ||
               line.find("error") != std::string::npos) {
      last = trim(line.size() > 20 && line[4] == '/' ? line.substr(20) : line);
    }
  }
  std::string joined;
  for (const std::string& error : errors) joined += (joined.empty() ? "" : "; ") + error;
  if (joined.empty()) joined = last.empty() ? firstLine(err) : last;
  return joined;
}

}  // namespace

std::string rcloneFailure(const CommandResult& result) {
  if (!result.started || (result.exitCode == 127 && result.err.empty())) {
    return "rclone not found on PATH (install rclone)";
  }
  if (result.err.find("LoadCustomCABundleError") != std::string::npos) {
    const char* bundle = std::getenv("AWS_CA_BUNDLE");
    return std::string("rclone refuses every S3 connection while AWS_CA_BUNDLE is set") +
           (bundle ? " (" + std::string(bundle) + ")" : "") +
           ". Run quorlane-sync without it (in a systemd unit: UnsetEnvironment=AWS_CA_BUNDLE); "
           "an endpoint with its own CA takes rclone's --ca-cert, e.g. RCLONE_CA_CERT=FILE.";
  }
  std::string said = checkDifferences(result.out);
  if (said.empty()) said = reportedErrors(result.err);
  if (said.empty()) return "rclone exited with " + std::to_string(result.exitCode);
  if (said.find("SSH_FX_FAILURE") != std::string::npos) {
    said += " (the SFTP server gives no reason; a full disk or a quota is the usual one)";
  }
  return said;
}

std::string Rclone::configFile() const {
  const CommandResult result = runner_.run(command({"config", "file"}));
  if (!result.ok()) return {};
  const std::vector<std::string> lines = splitLines(result.out);
  return lines.size() >= 2 ? trim(lines[1]) : std::string();
}

bool Rclone::keepsHashes(const std::string& remote) const {
  const CommandResult features = runner_.run(command({"backend", "features", remote}));
  return features.ok() && !parseHashes(features.out).empty();
}

std::vector<std::string> Rclone::command(std::vector<std::string> args) const {
  std::vector<std::string> argv = {"rclone"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!settings_.configFile.empty()) argv.insert(argv.end(), {"--config", settings_.configFile});
  // A server that vanishes mid-transfer fails the run within a minute or
  // two, instead of after rclone's rounds of retries: the next run goes on
  // from what arrived.
  argv.insert(argv.end(), {"--contimeout", "30s", "--timeout", "1m", "--retries", "1",
                           "--low-level-retries", "3"});
  return argv;
}

CommandResult Rclone::list(const std::string& dir) const {
  CommandResult result = runner_.run(
      command({"lsf", "-R", "--files-only", "--format", "pst", "--separator", "\t", dir}));
  // A remote directory that was never written is an empty one.
  if (!result.ok() && result.err.find("directory not found") != std::string::npos) {
    result.exitCode = 0;
    result.out.clear();
  }
  return result;
}

CommandResult Rclone::copyFiles(const std::string& from, const std::string& to,
                                const std::vector<std::string>& files,
                                const OutputWatcher& watch) const {
  std::vector<std::string> argv = command(
      {"copy", from, to, "--stats", "10s", "--stats-one-line", "--stats-log-level", "NOTICE"});
  if (!settings_.bandwidth.empty()) argv.insert(argv.end(), {"--bwlimit", settings_.bandwidth});
  addIncludes(argv, files);
  return runner_.run(argv, watch);
}

Rclone::Verification Rclone::check(const std::string& from, const std::string& to,
                                   const std::vector<std::string>& files, bool download) const {
  std::vector<std::string> argv = command({"check", from, to, "--one-way", "--combined", "-"});
  if (download) argv.push_back("--download");
  addIncludes(argv, files);
  CommandResult result = runner_.run(argv);
  // Without a hash both sides keep, rclone compares sizes only.
  if (!download && result.err.find("No common hash found") != std::string::npos) {
    argv.insert(argv.begin() + static_cast<long>(argv.size() - 2 * files.size()), "--download");
    return {runner_.run(argv), true};
  }
  return {std::move(result), download};
}

CommandResult Rclone::deleteFile(const std::string& path) const {
  return runner_.run(command({"deletefile", path}));
}

CommandResult Rclone::purge(const std::string& dir) const {
  return runner_.run(command({"purge", dir}));
}

}  // namespace quorlane
