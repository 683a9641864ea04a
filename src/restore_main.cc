#include <iostream>

#include "quorlane/live_restore.h"
#include "quorlane/program.h"
#include "quorlane/restore.h"
#include "quorlane/restore_cli.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  RestoreOptions opts = parseRestoreArgs(argc, argv);
  if (readsGuestFiles(opts)) {
    std::cerr << "ERROR: --ls, --extract and --mount are not built in yet\n";
    return kExitFailure;
  }
  if (opts.live || !opts.finish.empty()) return runProgram<LiveRestore>(std::move(opts));
  return runProgram<Restore>(std::move(opts));
}
