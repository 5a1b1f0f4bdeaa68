// What every command of the command line shares: its options parsed one way, usage errors and
// --help answered one way, and the numbers its options take checked one way.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "file_open.h"
#include "manifest.h"
#include "numbers.h"
#include "picture_import.h"
#include "user_settings.h"

struct OptionRule {
  const char* longName;  // without the leading dashes
  char shortName;        // 0: none
  bool takesValue;
};

struct ParsedOptions {
  std::map<std::string, std::string> values;  // long name -> value ("" for a flag)
  std::vector<std::string> positional;
};

struct UsageError {
  std::string message;  // empty: none
};

// `--name VALUE`, `--name=VALUE` and `-n VALUE`. A value is always the next argument, even
// when it starts with a dash (a position of -4, a name like "-x-"); "--" ends the options.
// arguments[0] is the command's own name.
UsageError parseOptions(const std::vector<std::string>& arguments, std::size_t from,
                        const std::vector<OptionRule>& rules, ParsedOptions& parsed);

bool has(const ParsedOptions& parsed, const char* name);
const std::string& value(const ParsedOptions& parsed, const char* name);

// The usage text that follows every usage error, and the whole help.
const char* usageText();
const char* helpText();

// The command a usage error is about (set as it starts), and its lines of the usage; the whole
// usage for any other word.
void useCommand(const std::string& command);
std::string usageOf(const std::string& command);

// Says what is wrong and how the command in use (else the program) is used; returns kExitUsage.
int usageError(std::ostream& err, const std::string& message);

// What runs before every command: its options are parsed, and a usage error, --help (which
// prints commandHelp, the command's own help) or -V, --version is answered here. kGoOn when the
// command itself has work to do.
constexpr int kGoOn = -1;
int parseCommand(const std::vector<std::string>& arguments, const std::vector<OptionRule>& rules,
                 const char* commandHelp, ParsedOptions& parsed, std::ostream& out,
                 std::ostream& err);

// The rules with -V, --version added: every command takes them.
std::vector<OptionRule> withVersion(std::vector<OptionRule> rules);

// An episode file to read: a regular file by its name, or standard input ("-") or a pipe read
// whole (at most kLargestStreamedEpisode bytes). A device, a folder or a socket is refused
// before anything is read. Null with errno set otherwise; `kind` says what the name led to.
constexpr std::int64_t kLargestStreamedEpisode = std::int64_t{256} << 20;
std::FILE* openEpisodeInput(const std::string& name, FileKind& kind);

// Why openEpisodeInput (or openForReading) gave nothing for `name`, from the errno it left and
// what the name led to.
std::string episodeInputProblem(const std::string& name, int openError, FileKind kind);

// An input file that could not be opened, with the system's reason; returns kExitFailed.
int cannotOpen(std::ostream& err, const std::string& name, int openError);

// The options that say how pictures meet the game's palette: --palette FILE, --no-palette,
// --exact-colours, --dither and --transparent-index N (build, edit and the interactive program).
std::vector<OptionRule> mappingRules();
extern const char* const kMappingHelp;
// --palette FILE and --no-palette alone (show --preview, extract).
std::vector<OptionRule> paletteRules();

// Which palette a command uses: --palette, else the manifest's (recipe may be null), else
// DIVOVOD_PALETTE, else the config file's; none with --no-palette. kGoOn, or the exit status
// after saying what is wrong (a usage error, a config file that cannot be read or parsed).
int choosePalette(const ParsedOptions& parsed, const EpisodeRecipe* recipe, PaletteChoice& choice,
                  std::ostream& err);

// The mapping asked for besides the palette.
struct MappingWishes {
  bool exactColours = false;
  bool dither = false;
  int transparentIndex = -1;
};

// Reads the chosen palette into `options` with the wishes; nothing when no palette was chosen.
// kGoOn, or the exit status after saying what is wrong.
// indexKey: where a manifest sets transparent_index, so that an index the palette does not reach
// is said at that place (exit status 2); null for the command line's option.
int loadMapping(const PaletteChoice& choice, const MappingWishes& wishes, ImportOptions& options,
                std::ostream& err, const ProjectProblem* indexKey = nullptr);

// The palette chosen and the mapping options of the command line, into `options`.
int loadImportOptions(const ParsedOptions& parsed, PaletteChoice& choice, ImportOptions& options,
                      std::ostream& err);

// Reads a palette file of any form; says so and returns false when it cannot be used. A raw
// palette of 6-bit values is said on err too.
bool loadPalette(const std::string& path, Palette& palette, std::ostream& err);

// "palette FILE, from WHERE" for a palette the command line did not give; empty otherwise.
std::string paletteNote(const PaletteChoice& choice);

// A manifest or config file that is wrong, at its line and column; returns kExitUsage.
int settingsProblem(std::ostream& err, const ProjectProblem& problem);

// The commands, each in its own file. arguments[0] is the command's name.
int runBuild(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runShow(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runExtract(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runEdit(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runDiff(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int runConfig(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// build MANIFEST...: every episode of the manifests, side by side.
int runManifestBuild(const ParsedOptions& parsed, std::ostream& out, std::ostream& err);
