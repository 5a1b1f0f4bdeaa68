#include <iostream>

#include "arguments.h"
#include "command_line.h"
#include "dialogue.h"
#include "user_settings.h"

// With no arguments, the interactive program (its pictures mapped onto the palette that
// DIVOVOD_PALETTE or the config file names, if any); with --palette and its options, the same
// with pictures mapped onto that palette; with anything else, the command line, which never touches
// the console.
int main(int argc, char** argv) {
  const std::vector<std::string> arguments = commandLineArguments(argc, argv);
  DriverState state = startingState();
  if (arguments.empty() || startsInteractiveProgram(arguments)) {
    int status = 0;
    if (!interactiveOptions(arguments, state.importOptions, state.paletteFile, std::cerr, status))
      return status;
    state.settingsFile = configFilePath();
    return runMainLoop(state);
  }
  return runCommandLine(arguments, std::cout, std::cerr);
}
