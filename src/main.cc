#include <exception>
#include <string>
#include <utility>

#include "quorlane/backup.h"
#include "quorlane/cli.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  Options opts = parseArgs(argc, argv);
  Logger log;
  log.setVerbose(opts.verbose);
  try {
    ProcessRunner runner;
    Backup job(std::move(opts), log, runner);
    return job.run();
  } catch (const std::exception& e) {
    log.error(std::string("Unexpected error: ") + e.what());
    return kExitFailure;
  }
}
