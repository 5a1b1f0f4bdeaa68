// divovod show: an episode file's header, and whether every picture in it is whole.
#include <cerrno>

#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"

namespace {

const char* const kShowHelp =
    "usage: divovod show [--json] FILE\n"
    "\n"
    "Prints the header of an episode file and checks every picture in it.\n"
    "\n"
    "  -j, --json  one JSON object instead of text\n"
    "  -h, --help  this help\n"
    "\n"
    "Example:\n"
    "  divovod show caves.z4k\n"
    "\n"
    "Exit status: 0 the file is whole, 1 it is missing or damaged, 2 a usage error.\n";

}  // namespace

int runShow(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  const std::vector<OptionRule> rules = {{"json", 'j', false}, {"help", 'h', false}};
  ParsedOptions parsed;
  const int parsing = parseCommand(arguments, rules, kShowHelp, parsed, out, err);
  if (parsing != kGoOn) return parsing;
  if (parsed.positional.size() != 1) return usageError(err, "show needs exactly one file");
  const std::string& name = parsed.positional[0];
  errno = 0;
  EpisodeContents contents;
  if (!readEpisodeFile(name.c_str(), contents)) return cannotOpen(err, name, errno);
  out << (has(parsed, "json") ? showAsJson(name, contents) : showAsText(name, contents));
  return episodeIntact(contents) ? kExitDone : kExitFailed;
}
