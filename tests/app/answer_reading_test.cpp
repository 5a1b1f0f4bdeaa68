#include "answer_reading.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "typed_name.h"

namespace {

using Answers = std::vector<std::string>;

// Answers read from a stream as from a file of answers, counting the reads.
struct StreamAnswers {
  explicit StreamAnswers(const std::string& text) : in(text) {
    source.readLine = [this](AnswerKind, std::string& line) {
      ++reads;
      return readStreamLine(in, line);
    };
  }
  std::istringstream in;
  AnswerSource source;
  int reads = 0;
};

bool storedAsTyped(const std::string& typed, std::string& bytes, std::string&) {
  bytes = typed;
  return true;
}

Answers lines(const std::string& input, int count) {
  std::istringstream in(input);
  Answers result;
  std::string line;
  for (int i = 0; i < count; ++i) {
    const bool read = readStreamLine(in, line);
    result.push_back(read ? line : "<end>");
  }
  return result;
}

TEST(ReadStreamLine, LinesLineEndsAndTheEndOfInput) {
  const std::string huge(kLongestName + 5000, 'x');
  struct Case {
    const char* name;
    std::string input;
    Answers expected;
  } cases[] = {
      {"plain lines", "one\ntwo\n", {"one", "two", "<end>"}},
      {"an empty line is an answer, not the end", "\nnext\n", {"", "next", "<end>"}},
      {"CRLF line ends", "one\r\ntwo\r\n\r\n", {"one", "two", ""}},
      {"a CR inside the line stays", "a\rb\n", {"a\rb", "<end>", "<end>"}},
      {"no line feed at the end", "last", {"last", "<end>", "<end>"}},
      {"a NUL is kept here; the answers end at it",
       std::string("a\0b\n", 4),
       {std::string("a\0b", 3), "<end>", "<end>"}},
      {"a line past every limit is cut and its rest dropped",
       huge + "\r\nafter\n",
       {std::string(kLongestName, 'x'), "after", "<end>"}},
      {"nothing at all", "", {"<end>", "<end>", "<end>"}},
  };
  for (const Case& c : cases) EXPECT_EQ(lines(c.input, 3), c.expected) << c.name;
}

struct FieldCase {
  const char* name;
  std::string input;
  std::size_t longest;
  Answers expected;  // three answers in a row
  std::string said;
};

TEST(AskTextField, TooLongIsAskedAgainNeverCut) {
  const std::string a31(31, 'a');
  const std::string level36 = "the-start-level-of-the-keep-one.lev";  // 35 bytes
  const std::string again31 = "Please enter at most 31 bytes:\n";
  const FieldCase cases[] = {
      {"plain lines", "one\ntwo\nthree\n", 31, {"one", "two", "three"}, ""},
      {"leading and trailing spaces belong to the answer",
       "  keep1.lev \n",
       31,
       {"  keep1.lev ", "", ""},
       ""},
      {"exactly 31 bytes", a31 + "\nx\n", 31, {a31, "x", ""}, ""},
      {"32 bytes: asked again", a31 + "b\nshort.lev\nx\n", 31, {"short.lev", "x", ""}, again31},
      {"a long start level keeps its .lev only whole",
       level36 + "x\nkeep1.lev\n",
       31,
       {"keep1.lev", "", ""},
       again31},
      {"asked again as often as needed",
       a31 + "bb\n" + a31 + "cc\nok\n",
       31,
       {"ok", "", ""},
       again31 + again31},
      {"UTF-8 counts in bytes: 24 letters",
       std::string(15, 'a') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                              "\xC3\xA9\xC3\xA9\xC3\xA9"
                              "\nok\n",
       31,
       {"ok", "", ""},
       again31},
      {"a NUL ends the text, and what follows it does not count",
       std::string("Hollow\0", 7) + std::string(40, 'K') + "\nx\n",
       31,
       {"Hollow", "x", ""},
       ""},
      {"CRLF line ends", "one\r\ntwo\r\n\r\n", 31, {"one", "two", ""}, ""},
      {"an episode name of 127 bytes",
       std::string(127, 'N') + "\n",
       127,
       {std::string(127, 'N'), "", ""},
       ""},
      {"an episode name of 128 bytes",
       std::string(128, 'N') + "\nCaves\n",
       127,
       {"Caves", "", ""},
       "Please enter at most 127 bytes:\n"},
      {"the end of input after a long answer asks nothing more",
       std::string(2500, 'Q'),
       127,
       {"", "", ""},
       "Please enter at most 127 bytes:\n"},
  };
  for (const FieldCase& c : cases) {
    StreamAnswers answers(c.input);
    std::ostringstream said;
    Answers got;
    for (int i = 0; i < 3; ++i) {
      got.push_back(askTextField(answers.source, said, c.longest, storedAsTyped));
    }
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(said.str(), c.said) << c.name;
  }
}

TEST(AskTextField, ATextThatCannotBeStoredIsAskedAgainSayingWhy) {
  StreamAnswers answers("Caves \xE2\x80\x93 one\nCaves - one\n");
  std::ostringstream said;
  const FieldConversion noDash = [](const std::string& typed, std::string& bytes,
                                    std::string& problem) {
    if (typed.find("\xE2\x80\x93") != std::string::npos) {
      problem = "'\xE2\x80\x93' cannot be stored";
      return false;
    }
    bytes = typed;
    return true;
  };
  EXPECT_EQ(askTextField(answers.source, said, 127, noDash), "Caves - one");
  EXPECT_EQ(said.str(), "'\xE2\x80\x93' cannot be stored\nPlease enter it again:\n");
}

TEST(AnswerSource, AfterTheEndOfInputNothingIsReadOrAskedAgain) {
  StreamAnswers answers("episode.bmp\n");
  std::ostringstream said;
  EXPECT_EQ(askFileName(answers.source), "episode.bmp");
  EXPECT_EQ(askListPosition(answers.source, said), 0);
  EXPECT_EQ(askTextField(answers.source, said, 31, storedAsTyped), "");
  EXPECT_EQ(askFileName(answers.source), "");
  EXPECT_EQ(answers.reads, 2) << "one read met the end; none came after it";
  EXPECT_EQ(said.str(), "");
}

TEST(UnquotedName, QuotesAsTerminalsAndWindowsPasteThem) {
  const std::string windows = "C:\\Users\\Ann\\Documents\\My Episodes\\episode.bmp";
  struct Case {
    std::string typed;
    std::string name;
  } cases[] = {
      {"episode.bmp", "episode.bmp"},
      {"  my picture.bmp ", "  my picture.bmp "},
      {"\"" + windows + "\"", windows},
      {"'/home/ann/My Pictures/episode.bmp'", "/home/ann/My Pictures/episode.bmp"},
      {"'/home/ann/My Pictures/episode.bmp' ", "/home/ann/My Pictures/episode.bmp"},
      {"'/home/ann/it'\\''s \xC3\xA9t\xC3\xA9.bmp'", "/home/ann/it's \xC3\xA9t\xC3\xA9.bmp"},
      {"'a'\\'", "a'"},
      {"''", ""},
      {"\"\"", ""},
      {"'", "'"},
      {"'odd.bmp", "'odd.bmp"},
      {"odd'.bmp'", "odd'.bmp'"},
      {"'a' b.bmp'", "'a' b.bmp'"},
      {"'mixed.bmp\"", "'mixed.bmp\""},
      {"\"odd.bmp", "\"odd.bmp"},
      {std::string("pic.bmp\0.exe", 12), "pic.bmp"},
      {std::string("'pic.bmp'\0.exe", 14), "pic.bmp"},
  };
  for (const Case& c : cases) EXPECT_EQ(unquotedName(c.typed), c.name) << c.typed;
}

TEST(PathFromTypedName, ALeadingTildeSlashIsTheHomeFolder) {
  const char* saved = std::getenv("HOME");
  const std::string previous = saved != nullptr ? saved : "";
  struct Case {
    const char* home;  // null: unset
    std::string typed;
    std::string path;
  } cases[] = {
      {"/home/ann", "~/pictures/episode.bmp", "/home/ann/pictures/episode.bmp"},
      {"/home/ann/", "~/e.bmp", "/home/ann/e.bmp"},
      {"/", "~/e.bmp", "/e.bmp"},
      {"/home/ann", "~ann/e.bmp", "~ann/e.bmp"},
      {"/home/ann", "~", "~"},
      {"/home/ann", "pictures/~/e.bmp", "pictures/~/e.bmp"},
      {"/home/ann", " ~/e.bmp", " ~/e.bmp"},
      {"", "~/e.bmp", "~/e.bmp"},
      {nullptr, "~/e.bmp", "~/e.bmp"},
  };
  for (const Case& c : cases) {
    if (c.home != nullptr) {
      setenv("HOME", c.home, 1);
    } else {
      unsetenv("HOME");
    }
    EXPECT_EQ(pathFromTypedName(c.typed), c.path) << c.typed << " with HOME " << c.home;
  }
  if (saved != nullptr) setenv("HOME", previous.c_str(), 1);
}

TEST(ParsePosition, TheWholeLineIsAWholeNumberIn32Bits) {
  struct Case {
    std::string line;
    PositionText kind;
    std::int32_t position;
  } cases[] = {
      {"12", PositionText::kNumber, 12},
      {"  -4  ", PositionText::kNumber, -4},
      {"\t+7\t", PositionText::kNumber, 7},
      {"0", PositionText::kNumber, 0},
      {"-0", PositionText::kNumber, 0},
      {"2147483647", PositionText::kNumber, 2147483647},
      {"-2147483648", PositionText::kNumber, -2147483647 - 1},
      {"000000000000012", PositionText::kNumber, 12},
      {"7\r", PositionText::kNumber, 7},
      {"", PositionText::kEmpty, 0},
      {"   \t ", PositionText::kEmpty, 0},
      {"12abc", PositionText::kNotANumber, 0},
      {"0x10", PositionText::kNotANumber, 0},
      {"1.9", PositionText::kNotANumber, 0},
      {"1e3", PositionText::kNotANumber, 0},
      {"99999999999", PositionText::kNotANumber, 0},
      {"2147483648", PositionText::kNotANumber, 0},
      {"-2147483649", PositionText::kNotANumber, 0},
      {"- 3", PositionText::kNotANumber, 0},
      {"-", PositionText::kNotANumber, 0},
      {"+", PositionText::kNotANumber, 0},
      {"1 2", PositionText::kNotANumber, 0},
      {"--1", PositionText::kNotANumber, 0},
      {"\xEF\xBC\x91", PositionText::kNotANumber, 0},  // a full-width digit one
  };
  for (const Case& c : cases) {
    std::int32_t position = 0;
    EXPECT_EQ(parsePosition(c.line, position), c.kind) << c.line;
    if (c.kind == PositionText::kNumber) {
      EXPECT_EQ(position, c.position) << c.line;
    }
  }
}

TEST(AskListPosition, EmptyLinesArePassedOverOtherLinesAskedAgain) {
  struct Case {
    std::string input;
    std::int32_t position;
    int reminders;
    const char* nextAnswer;
  } cases[] = {
      {"12\nnext\n", 12, 0, "next"},
      {"\n\r\n  \n7\nnext\n", 7, 0, "next"},
      {"12abc\n0x10\n1.9\n99999999999\n5\nnext\n", 5, 4, "next"},
      {"5" + std::string(5000, 'z') + "\n-3\nnext\n", -3, 1, "next"},
      {"", 0, 0, ""},
      {"abc\n", 0, 1, ""},
  };
  for (const auto& c : cases) {
    StreamAnswers answers(c.input);
    std::ostringstream said;
    EXPECT_EQ(askListPosition(answers.source, said), c.position) << c.input;
    std::string reminders;
    for (int i = 0; i < c.reminders; ++i) reminders += "Please enter a whole number:\n";
    EXPECT_EQ(said.str(), reminders) << c.input;
    EXPECT_EQ(askFileName(answers.source), c.nextAnswer) << c.input;
  }
}

}  // namespace
