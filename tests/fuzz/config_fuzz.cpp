// Any byte string as the config file. A refusal names the file and says what is wrong at a place
// in it; a file read names a palette only when it says palette = "...", and resolves it against
// the config file's own folder.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "user_settings.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "config fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  UserSettings settings;
  settings.file = "settings/divovod/config.toml";
  settings.present = true;
  ProjectProblem problem;
  if (!parseUserSettings(text, settings, problem)) {
    if (problem.file != settings.file || problem.message.empty()) {
      fail("a refusal names no file or says nothing");
    }
    if (problem.line < 0 || problem.column < 0) fail("a refusal stands at no place");
    return 0;
  }
  if (!settings.namesPalette && !settings.palette.empty()) fail("a palette no key named");
  if (!settings.palette.empty() && settings.palette.rfind("settings/divovod/", 0) != 0) {
    fail("the palette is not taken from the config file's folder");
  }
  return 0;
}
