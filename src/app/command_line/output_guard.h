// What a build may write over. An output is never a file the same run reads (a picture, a
// palette, a manifest, the config file), by any path, symbolic link or hard link, and no two
// outputs are one file; both are settled for the whole run before anything is written. And an
// existing file that is not an episode file is replaced only when the user says so (--force).
#pragma once

#include <string>
#include <vector>

// A file the run reads, and what it is to the run ("the manifest mod/episodes.toml").
struct RunInput {
  std::string path;
  std::string role;
};

// A file the run writes, and who writes it ("the episode at mod/episodes.toml:7:1").
struct RunOutput {
  std::string path;
  std::string writer;
};

struct OutputClash {
  std::size_t output = 0;  // the output refused
  std::string problem;     // "is the title image of ...", "is also the output of ..."
};

// The first output that is an input or another output, in the order given; false when none.
// Each path is looked at once: the cost grows with the number of paths, not their pairs.
bool findOutputClash(const std::vector<RunInput>& inputs, const std::vector<RunOutput>& outputs,
                     OutputClash& clash);

// What the existing file at `path` looks like when it is not an episode file ("a PNG picture",
// "a TOML file", "a file of 12 bytes that is not an episode file"); empty when it is one, is
// empty, or is not there to be replaced (missing, a folder or a device, which the writer
// refuses in its own words).
std::string foreignFileKind(const std::string& path);

// Why such a file is not replaced, after its name: "is a PNG picture, not an episode file ...".
std::string foreignFileReason(const std::string& kind);

// The config file, when there is one, as an input of the run.
void addConfigFile(std::vector<RunInput>& inputs);

// Why the one output of `build -o` or `edit -o` may not be written, before anything is read:
// it is one of `pictures` (empty names left out), the palette file ("" for none) or the config
// file; or, without `force`, an existing file that is not an episode file. "" when it may.
std::string singleOutputProblem(const std::string& output, const std::string (&pictures)[3],
                                const std::string& paletteFile, bool force);
