#include <iostream>

#include "arguments.h"
#include "command_line.h"
#include "dialogue.h"

// With no arguments, the interactive program; with any, the command line, which never touches
// the console.
int main(int argc, char** argv) {
  const std::vector<std::string> arguments = commandLineArguments(argc, argv);
  if (!arguments.empty()) return runCommandLine(arguments, std::cout, std::cerr);
  DriverState state = startingState();
  return runMainLoop(state);
}
