#include "command_options.h"

#include <cstdint>
#include <limits>

#include "import_reasons.h"

namespace {

const char* const kUsage =
    "usage: divovod                    (the interactive menu)\n"
    "       divovod build --episode-image FILE --title-image FILE --lowtitle-image FILE\n"
    "                     --position N --name TEXT --start-level NAME --output FILE\n"
    "       divovod show [--json] FILE...\n"
    "       divovod show --preview [--palette FILE] [--width N] [--title-size WxH] FILE...\n"
    "       divovod extract FILE [--output-dir DIR] [--format bmp|png] [--palette PICTURE.bmp]\n"
    "                       [--title-size WxH] [--force]\n"
    "       divovod help [COMMAND] | COMMAND --help | --version\n";

const char* const kHelpDetails =
    "\n"
    "build    writes an episode file from three 8-bit bitmaps and the answers the dialogue\n"
    "         asks for (short forms: -e -t -l -p -n -s -o). The name may have at most 127\n"
    "         bytes, the start level 31; longer ones are refused, never cut.\n"
    "show     prints the header of each episode file given and checks every picture in it\n"
    "         (--json: one JSON value, an object for one file, an array for several;\n"
    "         --preview: the pictures drawn in the terminal).\n"
    "extract  writes episode.bmp, title.bmp and lowtitle.bmp as plain 8-bit bitmaps, or as\n"
    "         indexed PNGs with --format png (-d DIR, default the current folder; -f\n"
    "         replaces existing files). The palette comes from --palette, else a grey ramp;\n"
    "         the title's size from --title-size, else the episode or lowtitle size when\n"
    "         its pixel count matches.\n"
    "help     `divovod help COMMAND` (or `divovod COMMAND --help`) describes one command:\n"
    "         its options, what it writes, an example. -V is --version.\n"
    "\n"
    "Exit status: 0 done, 1 an input, a write or the file failed, 2 a usage error.\n";

const OptionRule* findOption(const std::vector<OptionRule>& rules, const std::string& argument) {
  for (const OptionRule& rule : rules) {
    if (argument == std::string("--") + rule.longName) return &rule;
    if (rule.shortName != 0 && argument == std::string{'-', rule.shortName}) return &rule;
  }
  return nullptr;
}

}  // namespace

UsageError parseOptions(const std::vector<std::string>& arguments, std::size_t from,
                        const std::vector<OptionRule>& rules, ParsedOptions& parsed) {
  bool optionsEnded = false;
  for (std::size_t i = from; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      parsed.positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::string inlineValue;
    bool hasInlineValue = false;
    std::size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      inlineValue = argument.substr(equals + 1);
      hasInlineValue = true;
      argument.resize(equals);
    }
    const OptionRule* rule = findOption(rules, argument);
    if (rule == nullptr) return {"unknown option " + argument};
    if (parsed.values.count(rule->longName) != 0) {
      return {std::string("--") + rule->longName + " is given twice"};
    }
    if (!rule->takesValue) {
      if (hasInlineValue) return {std::string("--") + rule->longName + " takes no value"};
      parsed.values[rule->longName] = "";
    } else if (hasInlineValue) {
      parsed.values[rule->longName] = inlineValue;
    } else if (i + 1 < arguments.size()) {
      parsed.values[rule->longName] = arguments[++i];
    } else {
      return {std::string("--") + rule->longName + " needs a value"};
    }
  }
  return {};
}

bool has(const ParsedOptions& parsed, const char* name) { return parsed.values.count(name) != 0; }

const std::string& value(const ParsedOptions& parsed, const char* name) {
  return parsed.values.at(name);
}

bool parseInt32(const std::string& text, std::int32_t& result) {
  std::size_t at = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (text.size() == at || text.size() > at + 10) return false;
  std::int64_t magnitude = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  std::int64_t number = text[0] == '-' ? -magnitude : magnitude;
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  result = static_cast<std::int32_t>(number);
  return true;
}

bool parseTitleSize(const std::string& text, std::int32_t& width, std::int32_t& height) {
  std::size_t x = text.find_first_of("xX");
  if (x == std::string::npos || x == 0) return false;
  const std::string first = text.substr(0, x);
  const std::string second = text.substr(x + 1);
  if (second.empty() || first[0] == '-' || first[0] == '+' || second[0] == '-' ||
      second[0] == '+' || !parseInt32(first, width) || !parseInt32(second, height)) {
    return false;
  }
  return std::int64_t{width} * height <= std::numeric_limits<std::int32_t>::max();
}

int usageError(std::ostream& err, const std::string& message) {
  err << "divovod: " << message << "\n" << usageText();
  return kExitUsage;
}

int parseCommand(const std::vector<std::string>& arguments, const std::vector<OptionRule>& rules,
                 const char* commandHelp, ParsedOptions& parsed, std::ostream& out,
                 std::ostream& err) {
  const UsageError error = parseOptions(arguments, 1, rules, parsed);
  if (!error.message.empty()) return usageError(err, error.message);
  if (!has(parsed, "help")) return kGoOn;
  out << commandHelp;
  return kExitDone;
}

const char* usageText() { return kUsage; }

const char* helpText() {
  static const std::string help = std::string(kUsage) + kHelpDetails;
  return help.c_str();
}

int cannotOpen(std::ostream& err, const std::string& name, int openError) {
  err << "divovod: " << name << ": " << importReason({ImportProblem::kCannotOpen, 0}, openError)
      << "\n";
  return kExitFailed;
}
