// The title picture's size, which the episode file does not store: the size the user gave when
// its pixel count is the title's, else a stored size (the episode's, then the lowtitle's) of the
// same pixel count. One guess for every command that needs the title's rows.
#pragma once

#include <cstdint>

#include "episode_reader.h"

enum class TitleSizeSource {
  kGiven,          // the size given, whose pixel count is the title's
  kEpisodeSize,    // the episode picture's size, of the title's pixel count
  kLowtitleSize,   // the lowtitle picture's size, of the title's pixel count
  kGivenMismatch,  // a size was given, but its pixel count is not the title's: refuse it
  kUnknown,        // none given, and neither stored size has the title's pixel count
};

struct TitleSize {
  TitleSizeSource source = TitleSizeSource::kUnknown;
  std::int32_t width = 0;  // the size found, or the one given for kGivenMismatch; 0 x 0 otherwise
  std::int32_t height = 0;
};

// contents: a file whose title was inflated (its pixelCount is the title's); givenWidth -1 when
// no size was given.
TitleSize guessTitleSize(const EpisodeContents& contents, std::int32_t givenWidth,
                         std::int32_t givenHeight);

// The guess found a size to read the title's rows by.
bool titleSizeKnown(const TitleSize& size);
