// What `show` prints about an episode file, as text lines or as one JSON object, and the words
// for everything that can be wrong with one.
#pragma once

#include <string>
#include <vector>

#include "episode_reader.h"

// One line per problem, in file order ("title image: its stream is cut short..."); empty for an
// intact file. titleSizeGiven: the title's expected pixels came from the user, not the file.
std::vector<std::string> episodeProblems(const EpisodeContents& contents,
                                         bool titleSizeGiven = false);

std::string showAsText(const std::string& fileName, const EpisodeContents& contents);

// One JSON object on one line, with a line feed.
std::string showAsJson(const std::string& fileName, const EpisodeContents& contents);

// The text of a fixed-width field up to its first zero byte (all of it when there is none).
std::string fieldText(const char* field, std::size_t width);
