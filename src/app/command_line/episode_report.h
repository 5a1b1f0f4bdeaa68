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

// One file of `show FILE...`: its contents, or why it could not be read.
struct ShownFile {
  std::string name;
  const EpisodeContents* contents = nullptr;  // null: not opened
  std::string error;                          // why not
};

// One JSON value on one line: the file's object for one file, an array of them for several.
// A file that could not be opened is an object of its name, "intact": false and "error".
std::string showAsJson(const std::vector<ShownFile>& files);

// Text as it may safely reach a terminal: UTF-8 kept, but control characters (C0, DEL and C1),
// the backslash and every byte that is not part of well-formed UTF-8 written as \xNN.
std::string terminalText(const std::string& text);

// A line of the program's own that names files, as it may safely reach a terminal: the same,
// but a backslash stays as it is, since it is the folder separator of a Windows path. Stored
// text (terminalText) escapes it, so that it cannot be mistaken for an escape.
std::string messageText(const std::string& text);

// Text as a JSON string can hold it: well-formed UTF-8 kept, other bytes written as \xNN.
std::string jsonText(const std::string& text);

// The text of a fixed-width field up to its first zero byte (all of it when there is none).
std::string fieldText(const char* field, std::size_t width);
