// divovod config: the settings in force, and where each comes from.
#include "command_options.h"
#include "episode_report.h"

namespace {

const char* const kConfigHelp =
    "usage: divovod config\n"
    "\n"
    "Prints the settings in force and where each comes from. The game's palette is set once\n"
    "for every command that takes a palette (the interactive program, build, extract, show's\n"
    "preview, edit): a command's own palette option comes first, then a manifest's palette,\n"
    "then the variable DIVOVOD_PALETTE, then the config file's `palette = \"FILE\"` (a path\n"
    "from the config file's own folder); each command's option for no palette sets them all\n"
    "aside.\n"
    "\n"
    "The config file: $XDG_CONFIG_HOME/divovod/config.toml, else ~/.config/divovod/config.toml\n"
    "(on Windows %APPDATA%\\divovod\\config.toml), for example:\n"
    "  palette = \"/home/me/games/z4k/game.pal\"\n"
    "\n"
    "  -h, --help  this help\n"
    "\n"
    "Exit status: 0 done, 2 a usage error or a config file that cannot be read or parsed.\n";

std::string configFileLine(const UserSettings& settings) {
  if (settings.file.empty()) return "none (the environment names no folder for it)";
  return settings.file + (settings.present ? "" : " (none there)");
}

}  // namespace

int runConfig(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  ParsedOptions parsed;
  const int parsing =
      parseCommand(arguments, {{"help", 'h', false}}, kConfigHelp, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (!parsed.positional.empty()) {
    return usageError(err, "config takes nothing more: " + parsed.positional[0]);
  }
  UserSettings settings;
  ProjectProblem problem;
  if (!readUserSettings(settings, problem)) return settingsProblem(err, problem);
  PaletteChoice choice;
  if (!paletteFromSettings(choice, problem)) return settingsProblem(err, problem);
  out << "config file: " << messageText(configFileLine(settings)) << "\n";
  out << "palette: ";
  if (choice.origin == PaletteOrigin::kNone) {
    out << "none (pictures keep their own indices; true-colour ones need --palette)\n";
  } else {
    out << messageText(choice.path + " (from " + paletteOriginText(choice));
    if (choice.origin == PaletteOrigin::kEnvironment && !settings.palette.empty()) {
      out << "; the config file's " << messageText(settings.palette) << " is set aside";
    }
    out << ")\n";
  }
  return kExitDone;
}
