#include <exception>
#include <string>
#include <utility>

#include "quorlane/cli.h"
#include "quorlane/command_runner.h"
#include "quorlane/logging.h"
#include "quorlane/sync.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  SyncOptions opts = parseSyncArgs(argc, argv);
  Logger log;
  log.setVerbose(opts.verbose);
  try {
    ProcessRunner runner;
    Sync job(std::move(opts), log, runner);
    return job.run();
  } catch (const std::exception& e) {
    log.error(std::string("Unexpected error: ") + e.what());
    return kExitFailure;
  }
}
