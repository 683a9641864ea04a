#include "quorlane/file_restore.h"
#include "quorlane/live_restore.h"
#include "quorlane/program.h"
#include "quorlane/restore.h"
#include "quorlane/restore_cli.h"

int main(int argc, char** argv) {
  using namespace quorlane;
  RestoreOptions opts = parseRestoreArgs(argc, argv);
  if (readsGuestFiles(opts)) return runProgram<FileRestore>(std::move(opts));
  if (opts.live || !opts.finish.empty()) return runProgram<LiveRestore>(std::move(opts));
  return runProgram<Restore>(std::move(opts));
}
