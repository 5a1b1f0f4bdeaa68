// Any byte string as what a terminal sends, with silences between the bytes. An input byte 0xFE
// followed by n is a silence of n ms (n = 255: as long as an int allows), 0xFF followed by n
// sends n itself; every other byte is sent as it is, so a seed reads like the terminal's bytes.
//
// Two decoders run side by side: one is told of every silence, the other only of those long
// enough to end a sequence. Silences shorter than that may add up but must not change a key, so
// both must give the same codes and stand in the same state throughout.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "key_decoder.h"

namespace {

constexpr std::uint8_t kSilenceMark = 0xFE;
constexpr std::uint8_t kLiteralMark = 0xFF;
constexpr int kEscape = 27;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "key decoder fuzz: %s\n", what);
  std::abort();
}

bool isIdle(const KeyDecoder& decoder) { return decoder.state == KeyDecoderState::kIdle; }

void checkHeld(const KeyDecoder& decoder) {
  if (decoder.parameterLength < 0 || decoder.parameterLength > kMaxSequenceParameters) {
    fail("holds more parameter bytes than its cap");
  }
  const int timeout = silenceTimeoutMs(decoder);
  if (isIdle(decoder) ? timeout != -1 : (timeout <= 0 || timeout > kLoneEscapeMs)) {
    fail("silence timeout does not match the state");
  }
}

// Reaching the cap would mean a code may have been dropped.
void checkCodes(const DecodedKeys& keys) {
  if (keys.count < 0 || keys.count >= kMaxDecodedCodes) fail("code count at or past the cap");
  for (int i = 0; i < keys.count; ++i) {
    if (keys.codes[i] < 0 || keys.codes[i] > 255) fail("code outside 0..255");
  }
}

// A key of two codes comes whole in one result. The only prefix-valued code allowed to end a
// result is the byte 0 or 224 just sent, passed through as itself.
void checkPrefixes(const DecodedKeys& keys, int sentByte) {
  for (int i = 0; i < keys.count; ++i) {
    const bool prefix = keys.codes[i] == 0 || keys.codes[i] == 224;
    const bool last = i + 1 == keys.count;
    if (prefix && last && keys.codes[i] != sentByte) fail("prefix without its key code");
  }
}

// Bytes that no sequence can hold end it and still count as key presses of their own: an Enter
// is never lost in a broken sequence.
void checkOutsideByte(const DecodedKeys& keys, std::uint8_t byte) {
  const bool canBelongToSequence = byte == kEscape || (byte >= 0x20 && byte <= 0x7E);
  if (canBelongToSequence) return;
  const int expected = byte == '\n' ? 13 : byte;
  if (keys.count == 0 || keys.codes[keys.count - 1] != expected) fail("a key press was lost");
}

void sameState(const KeyDecoder& told, const KeyDecoder& untold) {
  if (told.state != untold.state || told.parameterLength != untold.parameterLength) {
    fail("a short silence changed the state");
  }
}

struct Pair {
  KeyDecoder told;    // hears every silence
  KeyDecoder untold;  // hears only the silences that end a sequence
  std::vector<int> toldCodes;
  std::vector<int> untoldCodes;
};

void collect(std::vector<int>& into, const DecodedKeys& keys) {
  into.insert(into.end(), keys.codes, keys.codes + keys.count);
}

void sendByte(Pair& pair, std::uint8_t byte) {
  DecodedKeys keys = decodeKeyByte(pair.told, byte);
  checkCodes(keys);
  checkPrefixes(keys, byte);
  checkOutsideByte(keys, byte);
  checkHeld(pair.told);
  if (!isIdle(pair.told) && silenceTimeoutMs(pair.told) != kLoneEscapeMs) {
    fail("a byte did not restart the silence count");
  }
  collect(pair.toldCodes, keys);
  collect(pair.untoldCodes, decodeKeyByte(pair.untold, byte));
}

void passSilence(Pair& pair, int milliseconds) {
  const KeyDecoder before = pair.told;
  const int timeout = silenceTimeoutMs(before);
  DecodedKeys keys = decodeSilence(pair.told, milliseconds);
  checkCodes(keys);
  checkHeld(pair.told);
  const bool ends = timeout >= 0 && milliseconds >= timeout;
  if (ends) {
    if (!isIdle(pair.told)) fail("still in a sequence after its silence ran out");
    // All a silence can give back is what was typed as itself: ESC, and '[' or 'O' after it.
    for (int i = 0; i < keys.count; ++i) {
      const int code = keys.codes[i];
      if (i == 0 ? code != kEscape : (code != '[' && code != 'O')) fail("silence made up a key");
    }
    collect(pair.untoldCodes, decodeSilence(pair.untold, INT_MAX));
  } else {
    if (keys.count != 0) fail("a short silence gave codes");
    sameState(before, pair.told);
    if (timeout >= 0 &&
        silenceTimeoutMs(pair.told) != timeout - (milliseconds > 0 ? milliseconds : 0)) {
      fail("silences do not add up");
    }
  }
  collect(pair.toldCodes, keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Pair pair;
  for (std::size_t i = 0; i < size; ++i) {
    const bool marked = (data[i] == kSilenceMark || data[i] == kLiteralMark) && i + 1 < size;
    if (marked && data[i] == kSilenceMark) {
      passSilence(pair, data[i + 1] == 255 ? INT_MAX : data[i + 1]);
      ++i;
    } else {
      sendByte(pair, marked ? data[++i] : data[i]);
    }
    sameState(pair.told, pair.untold);
  }
  passSilence(pair, kLoneEscapeMs);
  if (!isIdle(pair.told)) fail("not idle after a long silence");
  if (pair.toldCodes != pair.untoldCodes) fail("a short silence changed the keys");
  return 0;
}
