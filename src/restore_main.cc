#include <exception>
#include <string>
#include <utility>

#include "quorlane/cli.h"
#include "quorlane/logging.h"
#include "quorlane/restore.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  RestoreOptions opts = parseRestoreArgs(argc, argv);
  Logger log;
  log.setVerbose(opts.verbose);
  try {
    Restore job(std::move(opts), log);
    return job.run();
  } catch (const std::exception& e) {
    log.error(std::string("Unexpected error: ") + e.what());
    return kExitFailure;
  }
}
