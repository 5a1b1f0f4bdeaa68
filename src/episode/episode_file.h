// The episode file: a 208-byte header of little-endian 32-bit integers and two fixed-width text
// fields, then three picture blocks (episode, title, lowtitle), each a 4-byte compressed size and
// the picture's zlib stream.
#pragma once

#include <cstdint>
#include <string>

#include "file_identity.h"
#include "picture_import.h"

// Text fields hold the typed bytes, a zero byte and zeros to the full width.
struct EpisodeAnswers {
  std::int32_t listPosition;
  char episodeName[128];
  char startLevel[32];
  std::string outputFileName;  // the path to write to, exactly as typed; not stored in the file
};

struct EpisodeHeader {
  std::int32_t headerSize;  // 204: the header bytes that follow this field
  std::int32_t listPosition;
  std::int32_t one;   // always 1
  std::int32_t zero;  // always 0
  char episodeName[128];
  char startLevel[32];
  std::int32_t episodeImageWidth;
  std::int32_t episodeImageHeight;
  std::int32_t fixed184;  // 0x00670098
  std::int32_t fixed188;  // 0x00770860
  std::int32_t lowtitleImageWidth;
  std::int32_t lowtitleImageHeight;
  std::int32_t fixed200;  // 0x006BB0CC
  std::int32_t fixed204;  // 0x00706100
};

constexpr int kEpisodeHeaderBytes = 208;

EpisodeHeader makeEpisodeHeader(const EpisodeAnswers& answers, const ImportedImage& episodeImage,
                                const ImportedImage& lowtitleImage);

// The header as it stands in the file, whatever the host's byte order and padding.
void serializeEpisodeHeader(const EpisodeHeader& header,
                            unsigned char (&bytes)[kEpisodeHeaderBytes]);

// Writes the whole file under answers.outputFileName, replacing any file of that name only once
// the new one is complete on disk (see safe_file.h for what a replaced file keeps). False when
// anything fails, when the name is not a regular file, or when it is one of `untouchable` (the
// pictures the episode was made from, whatever path names them); an existing file is then
// untouched.
bool writeEpisodeFile(const EpisodeAnswers& answers, const ImportedImage& episodeImage,
                      const ImportedImage& titleImage, const ImportedImage& lowtitleImage,
                      const FileIdentities& untouchable = {});

// The same with a header given whole (an episode file edited in place keeps every field it does
// not change) and the three pictures' streams in file order.
bool writeEpisodeWithHeader(const char* path, const EpisodeHeader& header,
                            const ImportedImage* const (&pictures)[3],
                            const FileIdentities& untouchable = {});
