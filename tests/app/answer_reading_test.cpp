#include "answer_reading.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Answers = std::vector<std::string>;

// Three text answers read into fields of `size` bytes that held garbage before; each field is
// checked to hold the text, then nothing but zeros.
Answers textAnswers(const std::string& input, std::size_t size) {
  std::istringstream in(input);
  Answers answers;
  for (int i = 0; i < 3; ++i) {
    std::vector<char> field(size, 'X');
    readTextAnswer(in, field.data(), size);
    const std::string text(field.data());
    EXPECT_EQ(std::string(field.begin() + static_cast<long>(text.size()), field.end()),
              std::string(size - text.size(), '\0'))
        << "field " << i << " is not the text and then zeros";
    answers.push_back(text);
  }
  return answers;
}

Answers nameAnswers(const std::string& input) {
  std::istringstream in(input);
  Answers answers;
  for (int i = 0; i < 3; ++i) answers.push_back(readNameAnswer(in));
  return answers;
}

TEST(ReadTextAnswer, LinesCutsLineEndsAndTheEndOfInput) {
  const std::string a31(31, 'a');
  struct Case {
    const char* name;
    std::string input;
    Answers expected;
  } cases[] = {
      {"plain lines", "one\ntwo\n", {"one", "two", ""}},
      {"an empty line does not spoil what follows", "\nnext\n", {"", "next", ""}},
      {"leading spaces belong to the answer", "  keep1.lev\n", {"  keep1.lev", "", ""}},
      {"cut to 31 characters, rest of the line dropped",
       std::string(40, 'a') + "\nafter\n",
       {a31, "after", ""}},
      {"a rest of any length is dropped",
       std::string(31, 'b') + std::string(5000, 'N') + "\nafter\n",
       {std::string(31, 'b'), "after", ""}},
      {"CRLF line ends", "one\r\ntwo\r\n\r\n", {"one", "two", ""}},
      {"a CR right before the cut, at the end of the line",
       std::string(30, 'a') + "\r\nx\n",
       {std::string(30, 'a'), "x", ""}},
      {"31 characters and a CR", a31 + "\r\nx\n", {a31, "x", ""}},
      {"a CR inside the line stays", "a\rb\n", {"a\rb", "", ""}},
      {"a CR at the cut but not at the end of the line stays",
       std::string(30, 'a') + "\rzz\nx\n",
       {std::string(30, 'a') + "\r", "x", ""}},
      {"a NUL ends the text", std::string("Hollow\0Keep\nx\n", 14), {"Hollow", "x", ""}},
      {"a NUL first is the empty text", std::string("\0abc\nx\n", 7), {"", "x", ""}},
      {"no line feed at the end", "last", {"last", "", ""}},
      {"end of input", "", {"", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(textAnswers(c.input, 32), c.expected) << c.name;
}

TEST(ReadTextAnswer, TheEpisodeNameKeeps127Bytes) {
  const std::string name(2500, 'N');
  EXPECT_EQ(textAnswers(name + "\nlevel1.lev\nout.z4k\n", 128),
            (Answers{std::string(127, 'N'), "level1.lev", "out.z4k"}));
}

TEST(ReadNameAnswer, NamesAreTakenWholeUnquotedAndWithoutTheLineEnd) {
  const std::string deep = "pictures/act2/" + std::string(300, 'd') + "/episode.bmp";
  const std::string windows = "C:\\Users\\Ann\\Documents\\My Episodes\\act two\\episode.bmp";
  const std::string forty = "an-output-name-of-forty-characters-.z4k";
  struct Case {
    const char* name;
    std::string input;
    Answers expected;
  } cases[] = {
      {"folders, long names, Windows paths",
       deep + "\n" + windows + "\n" + forty + "\n",
       {deep, windows, forty}},
      {"spaces and non-ASCII letters as typed",
       "  my picture.bmp\n\xC3\xA9pisode \xC3\xA9t\xC3\xA9.bmp\n",
       {"  my picture.bmp", "\xC3\xA9pisode \xC3\xA9t\xC3\xA9.bmp", ""}},
      {"double quotes around a dragged file",
       "\"" + windows + "\"\n\"my picture.bmp\"\r\n\"\"\n",
       {windows, "my picture.bmp", ""}},
      {"quotes that do not enclose the name stay",
       "\"odd.bmp\nodd\".bmp\n\"\n",
       {"\"odd.bmp", "odd\".bmp", "\""}},
      {"CRLF line ends",
       "episode.bmp\r\ntitle.bmp\r\nlowtitle.bmp\r\n",
       {"episode.bmp", "title.bmp", "lowtitle.bmp"}},
      {"a NUL ends the name", std::string("pic.bmp\0.exe\nx\n", 15), {"pic.bmp", "x", ""}},
      {"end of input", "", {"", "", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(nameAnswers(c.input), c.expected) << c.name;
}

// A name longer than any system takes is still too long for it after the cut, and its rest does
// not become the next answer.
TEST(ReadNameAnswer, ANameBeyondEveryLimitIsCutAndItsRestDropped) {
  const std::string huge(kLongestName + 5000, 'x');
  const Answers answers = nameAnswers(huge + "\ntitle.bmp\n");
  EXPECT_EQ(answers[0], std::string(kLongestName, 'x'));
  EXPECT_EQ(answers[1], "title.bmp");
}

TEST(ReadListPosition, TheNumberAtTheStartOfTheLine) {
  struct Case {
    std::string input;
    std::int32_t position;
    int reminders;
    const char* nextAnswer;
  } cases[] = {
      {"12abc\nnext\n", 12, 0, "next"},
      {"5abc\nnext\n", 5, 0, "next"},
      {"0x10\nnext\n", 0, 0, "next"},
      {"1e3\nnext\n", 1, 0, "next"},
      {"1.9\nnext\n", 1, 0, "next"},
      {"   -4\nnext\n", -4, 0, "next"},
      {"7\r\nnext\r\n", 7, 0, "next"},
      {"\n\r\n\n7\nnext\n", 7, 0, "next"},
      {"5" + std::string(5000, 'z') + "\nnext\n", 5, 0, "next"},
      {"abc\n5\nnext\n", 5, 1, "next"},
      {"99999999999\n-99999999999\n2147483647\nnext\n", 2147483647, 2, "next"},
      {"-2147483648\nnext\n", -2147483648, 0, "next"},
      {"- 3\n3\nnext\n", 3, 1, "next"},
      {"", 0, 0, ""},
      {"abc\n", 0, 1, ""},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.input);
    std::ostringstream out;
    EXPECT_EQ(readListPosition(in, out), c.position) << c.input;
    std::string reminders;
    for (int i = 0; i < c.reminders; ++i) reminders += "Please enter a whole number:\n";
    EXPECT_EQ(out.str(), reminders) << c.input;
    EXPECT_EQ(readNameAnswer(in), c.nextAnswer) << c.input;
  }
}

}  // namespace
