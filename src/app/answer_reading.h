// Reading the dialogue's answers from a stream, line by line.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>

// A text answer of at most size - 1 characters; the rest of its line is dropped. An empty line,
// or the end of input, is the empty text, and the stream stays usable for the next answer.
void readTextAnswer(std::istream& in, char* buffer, std::streamsize size);

// The episode list position: a whole number in 32 bits, with anything after it on its line
// dropped. Empty lines are passed over; anything else that is not such a number is asked for
// again. At the end of input the answer is 0 and nothing waits.
std::int32_t readListPosition(std::istream& in, std::ostream& out);
