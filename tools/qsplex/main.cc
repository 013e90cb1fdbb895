// qsplex: the command-line host over a saved plex image. Every command
// locks the image, loads it into the host's plex, works on the storage tree
// through the library's exports and interfaces, and saves the image when it
// changed it and everything succeeded. The command line is read in cli/;
// each command, with its entry, lives in commands/.
#include "tools/qsplex/cli/cli.h"
#include "tools/qsplex/commands/commands.h"

int main(int argc, char** argv) {
  return qsplex::RunProgram(argc, argv, qsplex::AllCommands());
}
