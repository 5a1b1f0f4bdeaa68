#include "title_size.h"

TitleSize guessTitleSize(const EpisodeContents& contents, std::int32_t givenWidth,
                         std::int32_t givenHeight) {
  const std::int64_t count = contents.pictures[1].pixelCount;
  if (givenWidth >= 0) {
    const bool fits = std::int64_t{givenWidth} * givenHeight == count;
    return {fits ? TitleSizeSource::kGiven : TitleSizeSource::kGivenMismatch, givenWidth,
            givenHeight};
  }
  const EpisodeHeader& header = contents.header;
  if (std::int64_t{header.episodeImageWidth} * header.episodeImageHeight == count) {
    return {TitleSizeSource::kEpisodeSize, header.episodeImageWidth, header.episodeImageHeight};
  }
  if (std::int64_t{header.lowtitleImageWidth} * header.lowtitleImageHeight == count) {
    return {TitleSizeSource::kLowtitleSize, header.lowtitleImageWidth, header.lowtitleImageHeight};
  }
  return {};
}

bool titleSizeKnown(const TitleSize& size) {
  return size.source == TitleSizeSource::kGiven || size.source == TitleSizeSource::kEpisodeSize ||
         size.source == TitleSizeSource::kLowtitleSize;
}
