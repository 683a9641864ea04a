#pragma once

#include <string>
#include <vector>

#include "quorlane/process.h"

namespace quorlane {

// The one way either program runs an outside program (virsh, qemu-img).
// The programs take a ProcessRunner; unit tests pass a scripted one, so
// that the logic above it runs in memory. run() may be called from several
// threads at once.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  virtual CommandResult run(const std::vector<std::string>& argv) = 0;
  // For a program that runs long: the watcher sees its output and can stop it.
  virtual CommandResult run(const std::vector<std::string>& argv, const OutputWatcher& watch) = 0;
};

// Runs the real programs (runCommand).
class ProcessRunner : public CommandRunner {
 public:
  CommandResult run(const std::vector<std::string>& argv) override;
  CommandResult run(const std::vector<std::string>& argv, const OutputWatcher& watch) override;
};

}  // namespace quorlane
