#include "episode_file.h"

#include <cstring>

#include "little_endian.h"
#include "safe_file.h"

namespace {

void appendPicture(PendingFile& file, const ImportedImage& image) {
  unsigned char size[4];
  writeLittleEndian(size, static_cast<std::uint32_t>(image.compressedSize), 4);
  appendBytes(file, size, sizeof size);
  if (image.compressedSize > 0) {
    appendBytes(file, image.compressedData, static_cast<std::size_t>(image.compressedSize));
  }
}

}  // namespace

EpisodeHeader makeEpisodeHeader(const EpisodeAnswers& answers, const ImportedImage& episodeImage,
                                const ImportedImage& lowtitleImage) {
  EpisodeHeader header{};
  header.headerSize = kEpisodeHeaderBytes - 4;
  header.listPosition = answers.listPosition;
  header.one = 1;
  header.zero = 0;
  std::memcpy(header.episodeName, answers.episodeName, sizeof header.episodeName);
  std::memcpy(header.startLevel, answers.startLevel, sizeof header.startLevel);
  header.episodeImageWidth = episodeImage.width;
  header.episodeImageHeight = episodeImage.height;
  header.fixed184 = 0x00670098;
  header.fixed188 = 0x00770860;
  header.lowtitleImageWidth = lowtitleImage.width;
  header.lowtitleImageHeight = lowtitleImage.height;
  header.fixed200 = 0x006BB0CC;
  header.fixed204 = 0x00706100;
  return header;
}

void serializeEpisodeHeader(const EpisodeHeader& header,
                            unsigned char (&bytes)[kEpisodeHeaderBytes]) {
  const std::int32_t leading[] = {header.headerSize, header.listPosition, header.one, header.zero};
  const std::int32_t trailing[] = {
      header.episodeImageWidth,  header.episodeImageHeight,  header.fixed184, header.fixed188,
      header.lowtitleImageWidth, header.lowtitleImageHeight, header.fixed200, header.fixed204};
  unsigned char* at = bytes;
  for (std::int32_t value : leading) {
    writeLittleEndian(at, static_cast<std::uint32_t>(value), 4);
    at += 4;
  }
  std::memcpy(at, header.episodeName, sizeof header.episodeName);
  at += sizeof header.episodeName;
  std::memcpy(at, header.startLevel, sizeof header.startLevel);
  at += sizeof header.startLevel;
  for (std::int32_t value : trailing) {
    writeLittleEndian(at, static_cast<std::uint32_t>(value), 4);
    at += 4;
  }
}

bool writeEpisodeFile(const EpisodeAnswers& answers, const ImportedImage& episodeImage,
                      const ImportedImage& titleImage, const ImportedImage& lowtitleImage,
                      const FileIdentities& untouchable) {
  const ImportedImage* pictures[3] = {&episodeImage, &titleImage, &lowtitleImage};
  return writeEpisodeWithHeader(answers.outputFileName.c_str(),
                                makeEpisodeHeader(answers, episodeImage, lowtitleImage), pictures,
                                untouchable);
}

bool writeEpisodeWithHeader(const char* path, const EpisodeHeader& episodeHeader,
                            const ImportedImage* const (&pictures)[3],
                            const FileIdentities& untouchable) {
  unsigned char header[kEpisodeHeaderBytes];
  serializeEpisodeHeader(episodeHeader, header);
  PendingFile file;
  if (!beginReplace(file, path, untouchable)) return false;
  appendBytes(file, header, sizeof header);
  for (const ImportedImage* picture : pictures) appendPicture(file, *picture);
  return commitReplace(file);
}
