// Turns the bytes a terminal sends for key presses into the key codes of the Windows console
// runtime (_getch): Enter 13; keys with no character code as a prefix (0 or 224) and a code;
// every other byte as it comes. Pure: the caller reads the terminal and measures the silence
// between bytes; nothing in here does I/O or looks at a clock.
//
// Escape sequences are read whole, up to their final byte, so the last letter of a sequence
// never acts as a key of its own (Home, ESC [ H, is not the letter H). An ESC that nothing
// follows for kLoneEscapeMs is the Escape key itself.
#pragma once

#include <cstdint>

constexpr int kLoneEscapeMs = 50;

// Longest parameter text kept for one sequence; a longer one is dropped whole.
constexpr int kMaxSequenceParameters = 16;

enum class KeyDecoderState : std::uint8_t {
  kIdle,
  kEscape,              // ESC seen
  kControlSequence,     // ESC [ and its parameter bytes
  kSingleShift,         // ESC O, waiting for the key's letter
  kConsoleFunction,     // ESC [ [, the Linux console's F1..F5, waiting for A..E
  kDiscardingSequence,  // a sequence too long to keep: dropping bytes up to its final byte
};

struct KeyDecoder {
  KeyDecoderState state = KeyDecoderState::kIdle;
  char parameters[kMaxSequenceParameters] = {};
  int parameterLength = 0;
  int silentMs = 0;  // silence since the last byte, while a sequence is unfinished
};

// At most: a cut-off ESC [ (27 and '['), then the byte that cut it off.
constexpr int kMaxDecodedCodes = 4;

struct DecodedKeys {
  int codes[kMaxDecodedCodes] = {};
  int count = 0;
};

// Feeds one byte from the terminal.
DecodedKeys decodeKeyByte(KeyDecoder& decoder, unsigned char byte);

// Reports that `milliseconds` more have passed with no byte; silences add up until the next byte.
DecodedKeys decodeSilence(KeyDecoder& decoder, int milliseconds);

// How long the caller may wait for the next byte before reporting silence: -1 (for ever) when
// no sequence is unfinished.
int silenceTimeoutMs(const KeyDecoder& decoder);
