// The dialogue's answers: how a line becomes a file name, a text field or the list position, and
// when an answer is asked for again.
//
// Every answer is one line. A line read from a file or a pipe keeps at most kLongestName bytes;
// the rest of it is dropped, so it never becomes the next answer. A carriage return at the end of
// a line (a file of answers written on Windows) is not part of the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <string>

// Longer than any path a system takes (Windows: 32767 UTF-16 units, at most 3 bytes each in
// UTF-8), so a name cut to it is still refused as the whole name would be.
constexpr std::size_t kLongestName = 128 * 1024;

// The widest texts the file's two text fields keep, a zero byte following.
constexpr std::size_t kLongestEpisodeName = 127;
constexpr std::size_t kLongestStartLevel = 31;

// One line of a stream, without its line end. False at the end of input when nothing was read;
// the stream stays usable for the next read either way.
bool readStreamLine(std::istream& in, std::string& line);

// What an answer is: at a file name, Tab completes names of files and folders.
enum class AnswerKind { kFileName, kText };

// Where the answers of one dialogue come from. Once the input has ended, every later answer of
// the dialogue is empty and nothing is read or asked again.
struct AnswerSource {
  std::function<bool(AnswerKind, std::string&)> readLine;  // false: the input has ended
  bool ended = false;
};

// A file name as typed, before it becomes a path: up to a NUL byte if one was typed, and without
// the quotes around it. Double quotes (as Windows pastes a dragged file) and single quotes (as a
// POSIX terminal pastes one, with '\'' for a quote inside and often a space after) are taken off
// when they enclose the whole name. Other spaces around the name belong to it.
std::string unquotedName(const std::string& typed);

// A file name answer, unquoted.
std::string askFileName(AnswerSource& source);

// Turns a typed text into the bytes stored; false with `problem` said when it cannot be stored.
using FieldConversion =
    std::function<bool(const std::string& typed, std::string& bytes, std::string& problem)>;

// A text field answer of at most `longest` bytes as stored (up to a NUL byte if one was typed).
// A longer one is never cut: "Please enter at most N bytes:" and it is asked again, as it is when
// `convert` refuses it (its problem said first). At the end of input, the empty text.
std::string askTextField(AnswerSource& source, std::ostream& out, std::size_t longest,
                         const FieldConversion& convert);

enum class PositionText { kEmpty, kNumber, kNotANumber };

// The line is the list position when it is wholly a whole number in 32 bits, an optional sign
// and decimal digits, with spaces and tabs around it allowed.
PositionText parsePosition(const std::string& line, std::int32_t& position);

// The episode list position. Empty lines are passed over; any other line that is not a whole
// number ("12abc", "0x10", "1.9", "99999999999") prints "Please enter a whole number:" and is
// asked again. At the end of input the answer is 0.
std::int32_t askListPosition(AnswerSource& source, std::ostream& out);
