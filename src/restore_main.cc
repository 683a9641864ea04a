#include <exception>
#include <string>
#include <utility>

#include "quorlane/cli.h"
#include "quorlane/command_runner.h"
#include "quorlane/live_restore.h"
#include "quorlane/logging.h"
#include "quorlane/restore.h"
#include "quorlane/restore_cli.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  RestoreOptions opts = parseRestoreArgs(argc, argv);
  Logger log;
  log.setVerbose(opts.verbose);
  try {
    ProcessRunner runner;
    if (opts.live || !opts.finish.empty()) return LiveRestore(std::move(opts), log, runner).run();
    return Restore(std::move(opts), log, runner).run();
  } catch (const std::exception& e) {
    log.error(std::string("Unexpected error: ") + e.what());
    return kExitFailure;
  }
}
