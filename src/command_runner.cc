#include "quorlane/command_runner.h"

namespace quorlane {

CommandResult ProcessRunner::run(const std::vector<std::string>& argv) { return runCommand(argv); }

CommandResult ProcessRunner::run(const std::vector<std::string>& argv, const OutputWatcher& watch) {
  return runCommand(argv, watch);
}

}  // namespace quorlane
