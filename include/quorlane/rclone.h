#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quorlane/command_runner.h"

namespace quorlane {

// Everything quorlane-sync has `rclone` do, and how its answers are read.
// A remote is rclone's "NAME:PATH" (or a path of the local file system);
// its credentials stay in rclone's configuration file.

// One file below a listed directory: its path relative to it, its size, and
// its modification time as rclone prints it ("2006-01-02 15:04:05").
struct RemoteFile {
  std::uint64_t size = 0;
  std::string modTime;

  bool operator==(const RemoteFile&) const = default;
};
using RemoteListing = std::map<std::string, RemoteFile>;

// Reads `rclone lsf -R --files-only --format pst --separator "\t"`.
std::optional<RemoteListing> parseListing(const std::string& output);

// The remote path `name` below `remote`.
std::string remoteJoin(const std::string& remote, const std::string& name);

// What rclone said about a transfer in its one-line statistics
// ("1.5 GiB / 2 GiB, 75%, 100 MiB/s, ETA 5s"): the newest such line in
// its output after `from`, or empty.
std::string lastStatsLine(const std::string& err, std::size_t from = 0);

// The hashes a remote keeps, from `rclone backend features`.
std::vector<std::string> parseHashes(const std::string& features);

// What `rclone check --combined -` found wrong, file by file; empty when
// nothing.
std::string checkDifferences(const std::string& combined);

// The files that `rclone check --combined -` found different or could not
// read.
std::vector<std::string> differingFiles(const std::string& combined);

// Why rclone failed, in words an operator can act on: its last error line,
// or the cause behind errors that read like something else.
std::string rcloneFailure(const CommandResult& result);

struct RcloneSettings {
  std::string configFile;  // empty: rclone's own default
  std::string bandwidth;   // --bwlimit, empty for no limit
};

class Rclone {
 public:
  Rclone(CommandRunner& runner, RcloneSettings settings)
      : runner_(runner), settings_(std::move(settings)) {}

  // The configuration file rclone reads; empty when it cannot tell.
  std::string configFile() const;

  // Whether the remote keeps a hash of every file: rclone then compares it
  // with the local file's after each transfer, and a copy that arrived
  // different fails.
  bool keepsHashes(const std::string& remote) const;

  // Every file below the directory; an empty listing when there is none.
  CommandResult list(const std::string& dir) const;
  // Copies the named files (paths relative to both directories), skipping
  // those that are there already with the same size and time.
  CommandResult copyFiles(const std::string& from, const std::string& to,
                          const std::vector<std::string>& files, const OutputWatcher& watch) const;
  struct Verification {
    CommandResult result;   // ok() when every file is there and equal
    bool readBack = false;  // compared by reading the files, not by their hashes
  };
  // Compares the named files of `from` with those in `to`: by hash where both
  // keep the same kind, else (`download`, or no common hash) by reading them.
  Verification check(const std::string& from, const std::string& to,
                     const std::vector<std::string>& files, bool download) const;
  CommandResult deleteFile(const std::string& path) const;
  // Removes a directory and everything in it.
  CommandResult purge(const std::string& dir) const;

 private:
  std::vector<std::string> command(std::vector<std::string> args) const;

  CommandRunner& runner_;
  RcloneSettings settings_;
};

}  // namespace quorlane
