// A manifest: the episodes of a project in one TOML file, each built as `divovod build` with its
// options would build it.
//
//   palette = "game.pal"            # keys at the top give every episode its default
//   [[episode]]                     # one table per episode; a file without any is one episode
//   output = "caves.z4k"
//   position = 5
//   name = "Caves"
//   start_level = "caves1.lev"
//   episode_image = "caves/episode.png"
//   title_image = "caves/title.png"
//   lowtitle_image = "caves/lowtitle.png"
//
// Optional: title_size ("WxH", the title picture must have it), palette ("" for none: the
// pictures keep their own indices), dither, exact_colours, transparent_index. Paths are taken
// from the manifest's own folder, whatever the current one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "project_problem.h"

// A manifest lists at most this many episodes.
constexpr std::size_t kMostEpisodes = 1000;

struct EpisodeRecipe {
  std::string manifest;  // the manifest's path, as given
  int line = 0;          // where the episode's table starts
  int column = 0;
  std::string output;       // every path here is resolved against the manifest's folder
  std::string pictures[3];  // episode, title, lowtitle
  std::int32_t position = 0;
  std::string name;  // the bytes the file's fields keep: the manifest's UTF-8, on every system
  std::string startLevel;
  bool hasTitleSize = false;
  std::int32_t titleWidth = 0;
  std::int32_t titleHeight = 0;
  bool namesPalette = false;  // the manifest says which palette (palette = "..." or "")
  std::string palette;        // empty: none, the pictures keep their own indices
  bool dither = false;
  bool exactColours = false;
  int transparentIndex = -1;
  // The first of dither, exact_colours and transparent_index the manifest sets, for the problem
  // when no palette is in force for it; empty message when none is set.
  ProjectProblem mappingKey;
  // Where transparent_index stands, for an index the palette in force does not reach (which only
  // the palette, known when the build runs, can tell); empty message when it is not set.
  ProjectProblem transparentKey;
};

// Reads every episode of the manifest at `path`. False with `problem` set (and `recipes` as they
// were) when anything is wrong: the file, its TOML, a key that is unknown, missing or of the
// wrong kind, a value out of range, more than kMostEpisodes episodes, or a name or start level
// longer than its field or holding a control character.
bool readManifest(const std::string& path, std::vector<EpisodeRecipe>& recipes,
                  ProjectProblem& problem);

// The same for manifest text already read, as if it stood at `path`.
bool parseManifest(const std::string& text, const std::string& path,
                   std::vector<EpisodeRecipe>& recipes, ProjectProblem& problem);

// `relative` taken from `folder` (an absolute path stays as it is; an empty folder is the
// current one).
std::string pathFrom(const std::string& folder, const std::string& relative);

// The folder a file's path lies in ("" for a bare name).
std::string folderOf(const std::string& path);

// The manifest of one episode as text, the keys in the order above: `recipe` holds the values as
// they are to stand in the file (paths relative to its folder, the name and start level as
// UTF-8 text), and `comment` the lines that open it ("# " is put before each).
std::string manifestText(const EpisodeRecipe& recipe, const std::vector<std::string>& comment);

// Whether a manifest can give back a field's stored bytes: a name or start level is stored as
// the manifest's UTF-8 bytes on every system, and holds no control character.
bool manifestCanHoldField(const std::string& bytes);

// A TOML basic string: quoted, with quotes, backslashes and control characters escaped.
std::string tomlString(const std::string& text);
