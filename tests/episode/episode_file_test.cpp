#include "episode_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "test_support.h"

namespace {

EpisodeAnswers answersFor(const std::string& outputFileName, std::int32_t position = 3) {
  EpisodeAnswers answers{};
  answers.listPosition = position;
  std::strcpy(answers.episodeName, "The Hollow Keep");
  std::strcpy(answers.startLevel, "keep1.lev");
  answers.outputFileName = outputFileName;
  return answers;
}

Bytes headerBytes(const EpisodeAnswers& answers, const Pictures& pictures) {
  unsigned char bytes[kEpisodeHeaderBytes];
  serializeEpisodeHeader(makeEpisodeHeader(answers, pictures.episode, pictures.lowtitle), bytes);
  return Bytes(bytes, bytes + sizeof bytes);
}

TEST(EpisodeHeader, LeadingFieldsForPositionsThreeAndMinusOne) {
  Pictures pictures;
  Bytes three = headerBytes(answersFor("x", 3), pictures);
  EXPECT_EQ(Bytes(three.begin(), three.begin() + 16),
            (Bytes{0xCC, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  Bytes minusOne = headerBytes(answersFor("x", -1), pictures);
  EXPECT_EQ(Bytes(minusOne.begin() + 4, minusOne.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(EpisodeHeader, LongestTextsKeepTheirTerminatingZero) {
  Pictures pictures;
  EpisodeAnswers answers = answersFor("x");
  std::memset(answers.episodeName, 'n', 127);
  answers.episodeName[127] = 0;
  std::memset(answers.startLevel, 's', 31);
  answers.startLevel[31] = 0;
  Bytes header = headerBytes(answers, pictures);
  EXPECT_EQ(Bytes(header.begin() + 16, header.begin() + 143), Bytes(127, 'n'));
  EXPECT_EQ(header[143], 0);
  EXPECT_EQ(Bytes(header.begin() + 144, header.begin() + 175), Bytes(31, 's'));
  EXPECT_EQ(header[175], 0);
}

TEST(WriteEpisodeFile, LaysOutHeaderAndThreePictureBlocks) {
  ScratchDirectory directory;
  InsideDirectory inside(directory.root);
  Pictures pictures;
  EpisodeAnswers answers = answersFor("hollow.z4k", 7);
  ASSERT_TRUE(writeEpisodeFile(answers, pictures.episode, pictures.title, pictures.lowtitle));

  Bytes file = readFile(answers.outputFileName.c_str());
  ASSERT_EQ(file.size(), 220u + 5 + 9 + 3);
  EXPECT_EQ(file, [&] {
    Bytes expected = headerBytes(answers, pictures);
    for (const Bytes* stream :
         {&pictures.episodeStream, &pictures.titleStream, &pictures.lowtitleStream}) {
      Bytes size(4);
      putLe32(size, 0, static_cast<std::uint32_t>(stream->size()));
      expected.insert(expected.end(), size.begin(), size.end());
      expected.insert(expected.end(), stream->begin(), stream->end());
    }
    return expected;
  }());

  const std::pair<std::size_t, std::uint32_t> fields[] = {{0, 204},
                                                          {4, 7},
                                                          {8, 1},
                                                          {12, 0},
                                                          {176, 320},
                                                          {180, 200},
                                                          {184, 0x00670098},
                                                          {188, 0x00770860},
                                                          {192, 160},
                                                          {196, 20},
                                                          {200, 0x006BB0CC},
                                                          {204, 0x00706100},
                                                          {208, 5},
                                                          {212 + 5, 9},
                                                          {216 + 5 + 9, 3}};
  for (auto [offset, value] : fields) EXPECT_EQ(getLe32(file, offset), value) << offset;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[16])), "The Hollow Keep");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[144])), "keep1.lev");
  EXPECT_EQ(Bytes(file.begin() + 16 + 16, file.begin() + 144), Bytes(112, 0));
}

TEST(WriteEpisodeFile, ReplacesAnExistingFileWithFreshPermissions) {
  ScratchDirectory directory;
  InsideDirectory inside(directory.root);
  Pictures pictures;
  EpisodeAnswers answers = answersFor("old.z4k");
  writeFile(answers.outputFileName.c_str(), Bytes(5000, 0xEE));
  chmod(answers.outputFileName.c_str(), 0600);
  mode_t previous = umask(022);
  bool written = writeEpisodeFile(answers, pictures.episode, pictures.title, pictures.lowtitle);
  umask(previous);
  ASSERT_TRUE(written);
  EXPECT_EQ(readFile(answers.outputFileName.c_str()).size(), 237u);
  struct stat status {};
  ASSERT_EQ(stat(answers.outputFileName.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_EQ(directory.entries(), std::vector<std::string>{"old.z4k"});
}

// A write that fails part way: the file size limit stops it after the header.
bool writeUnderFileSizeLimit(const EpisodeAnswers& answers, const Pictures& pictures) {
  struct rlimit original {};
  getrlimit(RLIMIT_FSIZE, &original);
  struct rlimit small = original;
  small.rlim_cur = 100;
  auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  bool written = writeEpisodeFile(answers, pictures.episode, pictures.title, pictures.lowtitle);
  setrlimit(RLIMIT_FSIZE, &original);
  signal(SIGXFSZ, previousHandler);
  return written;
}

TEST(WriteEpisodeFile, FailureLeavesTheOldFileAndNoTemporaryFile) {
  ScratchDirectory directory;
  InsideDirectory inside(directory.root);
  Pictures pictures;
  const Bytes old(300, 0x5A);
  writeFile(directory.path("kept.z4k"), old);
  mkdir(directory.path("a folder").c_str(), 0755);

  EXPECT_FALSE(writeUnderFileSizeLimit(answersFor("kept.z4k"), pictures));
  EXPECT_EQ(readFile(directory.path("kept.z4k")), old);

  EXPECT_FALSE(writeEpisodeFile(answersFor("a folder"), pictures.episode, pictures.title,
                                pictures.lowtitle));
  EXPECT_FALSE(writeEpisodeFile(answersFor("missing/new.z4k"), pictures.episode, pictures.title,
                                pictures.lowtitle));
  EXPECT_FALSE(
      writeEpisodeFile(answersFor(""), pictures.episode, pictures.title, pictures.lowtitle));

  EXPECT_EQ(directory.entries(), (std::vector<std::string>{"a folder", "kept.z4k"}));
  EXPECT_TRUE(std::filesystem::is_empty(directory.path("a folder")));
}

}  // namespace
