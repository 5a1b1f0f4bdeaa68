#include "answer_reading.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> textAnswers(const std::string& input, int count, std::streamsize size) {
  std::istringstream in(input);
  std::vector<std::string> answers;
  for (int i = 0; i < count; ++i) {
    std::vector<char> buffer(static_cast<std::size_t>(size), 'X');
    readTextAnswer(in, buffer.data(), size);
    answers.emplace_back(buffer.data());
  }
  return answers;
}

TEST(ReadTextAnswer, LinesEmptyLinesCutsAndTheEndOfInput) {
  using Answers = std::vector<std::string>;
  const std::string longLine(40, 'a');
  struct Case {
    const char* name;
    std::string input;
    Answers expected;
  } cases[] = {
      {"plain lines", "one\ntwo\n", {"one", "two", ""}},
      {"an empty line does not spoil what follows", "\nnext\n", {"", "next", ""}},
      {"leading spaces belong to the answer", "  pic.bmp\n", {"  pic.bmp", "", ""}},
      {"cut to 31 characters, rest of the line dropped",
       longLine + "\nafter\n",
       {std::string(31, 'a'), "after", ""}},
      {"no line feed at the end", "last", {"last", "", ""}},
      {"end of input", "", {"", "", ""}},
      {"more than 1000 left over spills into the next answer",
       std::string(31, 'b') + std::string(1000, 'c') + "tail\n",
       {std::string(31, 'b'), "tail", ""}},
  };
  for (const Case& c : cases) EXPECT_EQ(textAnswers(c.input, 3, 32), c.expected) << c.name;
}

TEST(ReadListPosition, WholeNumbersOnly) {
  struct Case {
    const char* input;
    std::int32_t position;
    int reminders;
    const char* nextAnswer;
  } cases[] = {
      {"12abc\nnext\n", 12, 0, "next"},
      {"   -4\nnext\n", -4, 0, "next"},
      {"\n\n\n7\nnext\n", 7, 0, "next"},
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
    char next[32];
    readTextAnswer(in, next, sizeof next);
    EXPECT_STREQ(next, c.nextAnswer) << c.input;
  }
}

}  // namespace
