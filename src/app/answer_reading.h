// Reading the dialogue's answers from a stream, line by line.
//
// Every answer is one line. Whatever its length, the rest of the line beyond what an answer keeps
// is dropped, so it never becomes the next answer. A carriage return at the end of a line (a file
// of answers written on Windows) is not part of the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

// Longer than any path a system takes (Windows: 32767 UTF-16 units, at most 3 bytes each in
// UTF-8), so a name cut to it is still refused as the whole name would be.
constexpr std::size_t kLongestName = 128 * 1024;

// A text field of `size` bytes: the typed text up to size - 1 bytes and up to a NUL byte if one
// was typed, then zeros to the full size. An empty line, or the end of input, is the empty text,
// and the stream stays usable for the next answer.
void readTextAnswer(std::istream& in, char* buffer, std::size_t size);

// A file name, taken whole. A name typed in double quotes (as Windows pastes a dragged file) is
// taken without them.
std::string readNameAnswer(std::istream& in);

// The episode list position: the whole number at the start of the line, in 32 bits, with anything
// after it on the line dropped (5abc, 0x10, 1e3 and 1.9 give 5, 0, 1 and 1). Empty lines are
// passed over; a line that does not start with such a number is asked for again. At the end of
// input the answer is 0 and nothing waits.
std::int32_t readListPosition(std::istream& in, std::ostream& out);
