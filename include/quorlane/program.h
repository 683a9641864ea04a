#pragma once

#include <exception>
#include <string>
#include <utility>

#include "quorlane/cli.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"

namespace quorlane {

// What each program's main does with its parsed command line: runs its job
// with the real outside programs and returns the exit status; an exception
// that no step expects is logged and ends the run with kExitFailure.
template <typename Job, typename Options>
int runProgram(Options opts) {
  Logger log;
  log.setVerbose(opts.verbose);
  try {
    ProcessRunner runner;
    return Job(std::move(opts), log, runner).run();
  } catch (const std::exception& e) {
    log.error(std::string("Unexpected error: ") + e.what());
    return kExitFailure;
  }
}

}  // namespace quorlane
