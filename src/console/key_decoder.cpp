#include "key_decoder.h"

#include <cstddef>

namespace {

constexpr unsigned char kEscape = 27;
constexpr int kExtendedPrefix = 224;  // keys of the extended keyboard: arrows, Home, Delete ...
constexpr int kFunctionPrefix = 0;    // F1..F10

// One or two codes; `second` is -1 for a key of one code, `first` -1 for no key at all.
struct KeyCode {
  int first;
  int second;
};

constexpr KeyCode kUp{kExtendedPrefix, 72};
constexpr KeyCode kDown{kExtendedPrefix, 80};
constexpr KeyCode kLeft{kExtendedPrefix, 75};
constexpr KeyCode kRight{kExtendedPrefix, 77};
constexpr KeyCode kHome{kExtendedPrefix, 71};
constexpr KeyCode kEnd{kExtendedPrefix, 79};
constexpr KeyCode kPageUp{kExtendedPrefix, 73};
constexpr KeyCode kPageDown{kExtendedPrefix, 81};
constexpr KeyCode kInsert{kExtendedPrefix, 82};
constexpr KeyCode kDelete{kExtendedPrefix, 83};
constexpr KeyCode kF11{kExtendedPrefix, 133};
constexpr KeyCode kF12{kExtendedPrefix, 134};
constexpr KeyCode kKeypadEnter{13, -1};  // ESC O M, the keypad in application mode
constexpr KeyCode kNoKey{-1, -1};

constexpr KeyCode functionKey(int number) {  // F1..F10 are 0,59 .. 0,68
  return {kFunctionPrefix, 58 + number};
}

void append(DecodedKeys& keys, int code) {
  if (keys.count < kMaxDecodedCodes) keys.codes[keys.count++] = code;
}

void append(DecodedKeys& keys, KeyCode key) {
  if (key.first < 0) return;
  append(keys, key.first);
  if (key.second >= 0) append(keys, key.second);
}

bool isParameterByte(unsigned char byte) { return byte >= 0x20 && byte <= 0x3F; }
bool isFinalByte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }

// Terminals send Enter as CR, or as LF where the line discipline still turns CR into LF.
int plainByteCode(unsigned char byte) { return byte == '\n' ? 13 : byte; }

void startSequence(KeyDecoder& decoder, KeyDecoderState state) {
  decoder.state = state;
  decoder.parameterLength = 0;
}

struct SequenceKey {
  int number;  // the sequence's final letter, or its first parameter for ESC [ number ~
  KeyCode key;
};

// Keys whose sequence ends in a letter: CSI (ESC [ ... letter) and SS3 (ESC O letter).
constexpr SequenceKey kLetterKeys[] = {
    {'A', kUp},
    {'B', kDown},
    {'C', kRight},
    {'D', kLeft},
    {'H', kHome},
    {'F', kEnd},
    {'P', functionKey(1)},
    {'Q', functionKey(2)},
    {'R', functionKey(3)},
    {'S', functionKey(4)},
};

// Keys sent as ESC [ number ~ (the VT220 editing and function keys); 16 and 22 are unused.
constexpr SequenceKey kTildeKeys[] = {
    {1, kHome},           {2, kInsert},          {3, kDelete},         {4, kEnd},
    {5, kPageUp},         {6, kPageDown},        {7, kHome},           {8, kEnd},
    {11, functionKey(1)}, {12, functionKey(2)},  {13, functionKey(3)}, {14, functionKey(4)},
    {15, functionKey(5)}, {17, functionKey(6)},  {18, functionKey(7)}, {19, functionKey(8)},
    {20, functionKey(9)}, {21, functionKey(10)}, {23, kF11},           {24, kF12},
};

template <std::size_t N>
KeyCode findKey(const SequenceKey (&table)[N], int number) {
  for (const SequenceKey& entry : table) {
    if (entry.number == number) return entry.key;
  }
  return kNoKey;
}

// Key presses send numbers and semicolons only; private markers (<=>?) and intermediate bytes
// belong to reports and replies, not to keys.
bool hasOnlyNumbers(const KeyDecoder& decoder) {
  for (int i = 0; i < decoder.parameterLength; ++i) {
    const char byte = decoder.parameters[i];
    if (byte != ';' && (byte < '0' || byte > '9')) return false;
  }
  return true;
}

// The number before the first ';', -1 when there is none. What follows it is the modifier
// (ESC [ 5 ; 5 ~ is Ctrl+PgUp), ignored so that a modified key counts as the plain key.
int firstParameter(const KeyDecoder& decoder) {
  int number = -1;
  for (int i = 0; i < decoder.parameterLength && decoder.parameters[i] != ';'; ++i) {
    if (number < 1000) number = (number < 0 ? 0 : number * 10) + (decoder.parameters[i] - '0');
  }
  return number;
}

KeyCode sequenceKey(const KeyDecoder& decoder, unsigned char final) {
  if (!hasOnlyNumbers(decoder)) return kNoKey;
  if (final == '~') return findKey(kTildeKeys, firstParameter(decoder));
  if (decoder.state == KeyDecoderState::kSingleShift && final == 'M') return kKeypadEnter;
  return findKey(kLetterKeys, final);
}

void decodeIdle(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (byte == kEscape) {
    startSequence(decoder, KeyDecoderState::kEscape);
  } else {
    append(keys, plainByteCode(byte));
  }
}

bool onlyIntroducerSeen(const KeyDecoder& decoder) {
  return (decoder.state == KeyDecoderState::kControlSequence ||
          decoder.state == KeyDecoderState::kSingleShift) &&
         decoder.parameterLength == 0;
}

// ESC and an introducer with nothing after them were typed (Escape, then '[' or 'O'), not sent
// by one key.
void giveBackIntroducer(const KeyDecoder& decoder, DecodedKeys& keys) {
  append(keys, kEscape);
  append(keys, decoder.state == KeyDecoderState::kSingleShift ? 'O' : '[');
}

// A byte that cannot belong to the sequence under way ends it. The byte itself is a key press
// of its own (an Enter must not be lost in a broken sequence).
void abandonSequence(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (onlyIntroducerSeen(decoder)) giveBackIntroducer(decoder, keys);
  decoder.state = KeyDecoderState::kIdle;
  decodeIdle(decoder, byte, keys);
}

void decodeAfterEscape(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (byte == '[') {
    startSequence(decoder, KeyDecoderState::kControlSequence);
  } else if (byte == 'O') {
    startSequence(decoder, KeyDecoderState::kSingleShift);
  } else {
    append(keys, kEscape);
    decoder.state = KeyDecoderState::kIdle;
    decodeIdle(decoder, byte, keys);
  }
}

void decodeSequence(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (isParameterByte(byte)) {
    if (decoder.parameterLength == kMaxSequenceParameters) {
      decoder.state = KeyDecoderState::kDiscardingSequence;
    } else {
      decoder.parameters[decoder.parameterLength++] = static_cast<char>(byte);
    }
  } else if (isFinalByte(byte)) {
    const bool consoleFunction = decoder.state == KeyDecoderState::kControlSequence &&
                                 decoder.parameterLength == 0 && byte == '[';
    if (consoleFunction) {
      decoder.state = KeyDecoderState::kConsoleFunction;
      return;
    }
    append(keys, sequenceKey(decoder, byte));
    decoder.state = KeyDecoderState::kIdle;
  } else {
    abandonSequence(decoder, byte, keys);
  }
}

// ESC [ [ A .. ESC [ [ E: F1..F5 on the Linux console.
void decodeConsoleFunction(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (byte >= 'A' && byte <= 'E') {
    append(keys, functionKey(byte - 'A' + 1));
  } else if (!isParameterByte(byte) && !isFinalByte(byte)) {
    abandonSequence(decoder, byte, keys);
    return;
  }
  decoder.state = KeyDecoderState::kIdle;
}

void decodeDiscarded(KeyDecoder& decoder, unsigned char byte, DecodedKeys& keys) {
  if (isFinalByte(byte)) {
    decoder.state = KeyDecoderState::kIdle;
  } else if (!isParameterByte(byte)) {
    abandonSequence(decoder, byte, keys);
  }
}

}  // namespace

DecodedKeys decodeKeyByte(KeyDecoder& decoder, unsigned char byte) {
  DecodedKeys keys;
  decoder.silentMs = 0;
  switch (decoder.state) {
    case KeyDecoderState::kIdle:
      decodeIdle(decoder, byte, keys);
      break;
    case KeyDecoderState::kEscape:
      decodeAfterEscape(decoder, byte, keys);
      break;
    case KeyDecoderState::kControlSequence:
    case KeyDecoderState::kSingleShift:
      decodeSequence(decoder, byte, keys);
      break;
    case KeyDecoderState::kConsoleFunction:
      decodeConsoleFunction(decoder, byte, keys);
      break;
    case KeyDecoderState::kDiscardingSequence:
      decodeDiscarded(decoder, byte, keys);
      break;
  }
  return keys;
}

DecodedKeys decodeSilence(KeyDecoder& decoder, int milliseconds) {
  DecodedKeys keys;
  if (decoder.state == KeyDecoderState::kIdle) return keys;
  if (milliseconds < kLoneEscapeMs - decoder.silentMs) {
    if (milliseconds > 0) decoder.silentMs += milliseconds;
    return keys;
  }
  if (decoder.state == KeyDecoderState::kEscape) {
    append(keys, kEscape);
  } else if (onlyIntroducerSeen(decoder)) {
    giveBackIntroducer(decoder, keys);
  }
  // Anything longer was a sequence cut short: no key can be told from it.
  decoder.state = KeyDecoderState::kIdle;
  decoder.silentMs = 0;
  return keys;
}

int silenceTimeoutMs(const KeyDecoder& decoder) {
  return decoder.state == KeyDecoderState::kIdle ? -1 : kLoneEscapeMs - decoder.silentMs;
}
