#include "quorlane/program.h"
#include "quorlane/sync.h"

int main(int argc, char** argv) {
  return quorlane::runProgram<quorlane::Sync>(quorlane::parseSyncArgs(argc, argv));
}
