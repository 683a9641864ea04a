#include "quorlane/backup.h"
#include "quorlane/cli.h"
#include "quorlane/program.h"

int main(int argc, char** argv) {
  return quorlane::runProgram<quorlane::Backup>(quorlane::parseArgs(argc, argv));
}
