// divovod show: an episode file's header, and whether every picture in it is whole.
#include <cerrno>

#include "command_options.h"
#include "episode_reader.h"
#include "episode_report.h"
#include "import_reasons.h"

namespace {

const char* const kShowHelp =
    "usage: divovod show [--json] FILE...\n"
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
  if (parsed.positional.empty()) return usageError(err, "show needs at least one file");
  const bool json = has(parsed, "json");
  const std::size_t count = parsed.positional.size();
  // Reports are small (the pictures are only counted), so all of them can wait for the one JSON
  // value; text goes out file by file.
  std::vector<EpisodeContents> contents(count);
  std::vector<ShownFile> shown(count);
  int status = kExitDone;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& name = parsed.positional[i];
    shown[i].name = name;
    errno = 0;
    if (!readEpisodeFile(name.c_str(), contents[i])) {
      shown[i].error = importReason({ImportProblem::kCannotOpen, 0}, errno);
      err << "divovod: " << name << ": " << shown[i].error << "\n";
      status = kExitFailed;
      continue;
    }
    shown[i].contents = &contents[i];
    if (!episodeIntact(contents[i])) status = kExitFailed;
    if (json) continue;
    if (i > 0) out << "\n";
    out << showAsText(name, contents[i]) << std::flush;
  }
  if (json) out << showAsJson(shown);
  return status;
}
