#include "command_line.h"

#include "command_options.h"
#include "version_info.h"

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                   std::ostream& err) {
  useCommand(std::string());
  if (arguments.empty()) return usageError(err, "no command given");
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h") {
    out << helpText();
    return kExitDone;
  }
  if (command == "help") {
    // `divovod help COMMAND` is `divovod COMMAND --help`; plain `divovod help` the whole help.
    if (arguments.size() == 1) {
      out << helpText();
      return kExitDone;
    }
    useCommand("help");
    if (arguments.size() > 2) return usageError(err, "help takes one command name");
    const std::string& topic = arguments[1];
    if (topic == "help") {
      out << "usage: divovod help [COMMAND]\n\n"
             "Describes one command (build, show, extract, edit, diff, config) as `divovod\n"
             "COMMAND --help` does; alone, the whole program.\n";
      return kExitDone;
    }
    if (topic != "build" && topic != "show" && topic != "extract" && topic != "edit" &&
        topic != "diff" && topic != "config") {
      return usageError(err, "no help on " + topic +
                                 "; the commands are build, show, extract, edit, diff and config");
    }
    return runCommandLine({topic, "--help"}, out, err);
  }
  if (command == "--version" || command == "-V") {
    out << programVersion() << "\n";
    return kExitDone;
  }
  useCommand(command);
  if (command == "build") return runBuild(arguments, out, err);
  if (command == "show") return runShow(arguments, out, err);
  if (command == "extract") return runExtract(arguments, out, err);
  if (command == "edit") return runEdit(arguments, out, err);
  if (command == "diff") return runDiff(arguments, out, err);
  if (command == "config") return runConfig(arguments, out, err);
  if (!command.empty() && command[0] == '-') return usageError(err, "unknown option " + command);
  return usageError(err, "unknown command " + command);
}

bool startsInteractiveProgram(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return false;
  for (const OptionRule& rule : mappingRules()) {
    const std::string option = std::string("--") + rule.longName;
    if (arguments[0].compare(0, option.size(), option) == 0) return true;
  }
  return false;
}

bool interactiveOptions(const std::vector<std::string>& arguments, ImportOptions& options,
                        std::string& paletteFile, std::ostream& err, int& status) {
  ParsedOptions parsed;
  const UsageError error = parseOptions(arguments, 0, mappingRules(), parsed);
  if (!error.message.empty()) {
    status = usageError(err, error.message);
    return false;
  }
  if (!parsed.positional.empty()) {
    status =
        usageError(err, "the interactive program takes no file names: " + parsed.positional[0]);
    return false;
  }
  PaletteChoice choice;
  status = choosePalette(parsed, nullptr, choice, err);
  if (status != kGoOn) return false;
  const bool mappingAsked = !parsed.values.empty() && !has(parsed, "no-palette");
  if (mappingAsked && choice.origin == PaletteOrigin::kNone) {
    status = usageError(err, "the interactive program's options need --palette FILE");
    return false;
  }
  status = loadImportOptions(parsed, choice, options, err);
  paletteFile = choice.path;
  return status == kGoOn;
}
