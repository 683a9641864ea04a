#pragma once

#include <functional>
#include <string>
#include <vector>

namespace quorlane {

struct CommandResult {
  int exitCode = -1;  // 128 + signal when the program was killed; -1 when no status was obtained
  std::string out;
  std::string err;
  bool started = false;

  bool ok() const { return started && exitCode == 0; }
};

// Runs argv[0] (looked up on PATH) with the given arguments, no shell
// involved, with standard input on /dev/null, and captures both output
// streams until the program ends. The program runs in the C locale (LC_ALL
// C.UTF-8, no LANGUAGE), so that what it prints reads the same on every
// host; the rest of the environment is passed on.
CommandResult runCommand(const std::vector<std::string>& argv);

// Sees the standard output and error captured so far, whenever more arrives
// and at least once a second; returns false to stop the program (SIGTERM).
using OutputWatcher = std::function<bool(const std::string& out, const std::string& err)>;

// Like runCommand, for a program that runs long: the watcher reports its
// progress and can stop it.
CommandResult runCommand(const std::vector<std::string>& argv, const OutputWatcher& watch);

}  // namespace quorlane
