#include "output_guard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "file_identity.h"
#include "file_open.h"
#include "path_key.h"
#include "user_settings.h"
#include "utf8_text.h"

namespace {

// What a file is known by: its identity when it exists (so that every link and hard link to it
// gives the same key), else the key of its path, for a file that is still to be made.
std::string fileKey(const std::string& path) {
  FileIdentity identity;
  if (identifyFile(path.c_str(), identity)) {
    return "file " + std::to_string(identity.volume) + ":" + std::to_string(identity.index);
  }
  return "path " + pathKey(path);
}

struct Signature {
  const char* bytes;
  std::size_t size;
  std::size_t at;
  const char* kind;
};

// The leading bytes of the files a mod's folder holds besides episode files.
const Signature kSignatures[] = {
    {"\x89PNG\r\n\x1a\n", 8, 0, "a PNG picture"},
    {"BM", 2, 0, "a BMP picture"},
    {"JASC-PAL", 8, 0, "a JASC palette"},
    {"GIMP Palette", 12, 0, "a GIMP palette"},
    {"PAL ", 4, 8, "a RIFF palette"},
    {"\xFF\xD8\xFF", 3, 0, "a JPEG picture"},
    {"GIF8", 4, 0, "a GIF picture"},
    {"PK\x03\x04", 4, 0, "a zip archive"},
};

bool endsWith(const std::string& text, const char* end) {
  const std::size_t size = std::strlen(end);
  return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

bool looksLikeText(const std::string& start) {
  const bool controls = std::any_of(start.begin(), start.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
  });
  // The read may have cut the last character: only a complete start need be UTF-8.
  const std::size_t bad = firstNonUtf8(start);
  return !controls && (bad == std::string::npos || bad + 4 > start.size());
}

std::string kindOf(const std::string& path, const std::string& start, std::int64_t size) {
  for (const Signature& signature : kSignatures) {
    if (start.size() >= signature.at + signature.size &&
        start.compare(signature.at, signature.size, signature.bytes, signature.size) == 0) {
      return signature.kind;
    }
  }
  if (looksLikeText(start)) return endsWith(path, ".toml") ? "a TOML file" : "a text file";
  return "a file of " + std::to_string(size) + " bytes that is not an episode file";
}

}  // namespace

bool findOutputClash(const std::vector<RunInput>& inputs, const std::vector<RunOutput>& outputs,
                     OutputClash& clash) {
  // An input not there yet (a picture still to be drawn) is known by its path: an output
  // written there would be read in its place.
  std::map<std::string, const RunInput*> read;
  for (const RunInput& input : inputs) {
    if (!input.path.empty()) read.emplace(fileKey(input.path), &input);
  }
  std::map<std::string, const std::string*> written;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    clash.output = i;
    const std::string key = fileKey(outputs[i].path);
    const auto input = read.find(key);
    if (input != read.end()) {
      clash.problem = "is " + input->second->role + "; it is never written over";
      return true;
    }
    const auto earlier = written.emplace(key, &outputs[i].writer);
    if (!earlier.second) {
      clash.problem = "is also the output of " + *earlier.first->second;
      return true;
    }
  }
  return false;
}

std::string foreignFileKind(const std::string& path) {
  FileHandle file(openForReading(path.c_str()));
  if (!file) return std::string();
  char bytes[512];
  const std::size_t read = std::fread(bytes, 1, sizeof bytes, file.get());
  const std::string start(bytes, read);
  // An episode file opens with its header's size, 204, as a little-endian 32-bit number; a
  // damaged one too, which a build is there to mend. An empty file holds nothing to lose.
  if (read == 0 || start.compare(0, 4, std::string("\xCC\0\0\0", 4)) == 0) return std::string();
  return kindOf(path, start, fileSize(file.get()));
}

std::string foreignFileReason(const std::string& kind) {
  return "is " + kind + ", not an episode file: it is replaced only with --force";
}

void addConfigFile(std::vector<RunInput>& inputs) {
  const std::string config = configFilePath();
  if (!config.empty()) inputs.push_back({config, "the config file " + config});
}

std::string singleOutputProblem(const std::string& output, const std::string (&pictures)[3],
                                const std::string& paletteFile, bool force) {
  static const char* const kRoles[3] = {"episode image", "title image", "lowtitle image"};
  std::vector<RunInput> inputs;
  for (int i = 0; i < 3; ++i) {
    if (pictures[i].empty()) continue;
    inputs.push_back({pictures[i], std::string("one of the pictures (the ") + kRoles[i] + " " +
                                       pictures[i] + ")"});
  }
  if (!paletteFile.empty())
    inputs.push_back({paletteFile, "the palette file (" + paletteFile + ")"});
  addConfigFile(inputs);
  OutputClash clash;
  if (findOutputClash(inputs, {{output, "--output"}}, clash)) return clash.problem;
  const std::string foreign = force ? std::string() : foreignFileKind(output);
  return foreign.empty() ? std::string() : foreignFileReason(foreign) + "; nothing written";
}
