#include "key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void collect(const DecodedKeys& keys, std::vector<int>& codes) {
  codes.insert(codes.end(), keys.codes, keys.codes + keys.count);
}

// The bytes in one read, then silence long enough to end anything unfinished.
std::vector<int> decodeInOneRead(const std::string& bytes) {
  KeyDecoder decoder;
  std::vector<int> codes;
  for (unsigned char byte : bytes) collect(decodeKeyByte(decoder, byte), codes);
  collect(decodeSilence(decoder, kLoneEscapeMs), codes);
  return codes;
}

// Each byte in a read of its own, with as long a pause as a slow line may leave inside one key.
std::vector<int> decodeByteByByte(const std::string& bytes) {
  KeyDecoder decoder;
  std::vector<int> codes;
  for (unsigned char byte : bytes) {
    collect(decodeKeyByte(decoder, byte), codes);
    collect(decodeSilence(decoder, kLoneEscapeMs - 1), codes);
  }
  collect(decodeSilence(decoder, kLoneEscapeMs), codes);
  return codes;
}

struct DecoderCase {
  const char* name;
  std::string bytes;
  std::vector<int> codes;
};

void PrintTo(const DecoderCase& test, std::ostream* out) { *out << test.name; }

class KeyDecoding : public testing::TestWithParam<DecoderCase> {};

TEST_P(KeyDecoding, GivesTheConsoleCodesWholeAndSplitAcrossReads) {
  EXPECT_EQ(decodeInOneRead(GetParam().bytes), GetParam().codes);
  EXPECT_EQ(decodeByteByByte(GetParam().bytes), GetParam().codes);
}

const std::string kEsc = "\x1b";

INSTANTIATE_TEST_SUITE_P(
    Table, KeyDecoding,
    testing::Values(
        // Plain bytes, as they come; Enter is 13 whether it arrives as CR or LF.
        DecoderCase{"CarriageReturn", "\r", {13}}, DecoderCase{"LineFeed", "\n", {13}},
        DecoderCase{"Letters", "HPx", {'H', 'P', 'x'}},
        DecoderCase{"HighBytes", "\xc3\xa9", {0xc3, 0xa9}},
        // Arrows in both cursor-key modes, modifiers ignored.
        DecoderCase{"Up", kEsc + "[A", {224, 72}},
        DecoderCase{"UpApplicationMode", kEsc + "OA", {224, 72}},
        DecoderCase{"Down", kEsc + "[B", {224, 80}},
        DecoderCase{"DownApplicationMode", kEsc + "OB", {224, 80}},
        DecoderCase{"Left", kEsc + "[D", {224, 75}}, DecoderCase{"Right", kEsc + "OC", {224, 77}},
        DecoderCase{"CtrlUp", kEsc + "[1;5A", {224, 72}},
        // Editing keys: every spelling terminals use.
        DecoderCase{"Home", kEsc + "[H", {224, 71}},
        DecoderCase{"HomeApplicationMode", kEsc + "OH", {224, 71}},
        DecoderCase{"HomeVt220", kEsc + "[1~", {224, 71}},
        DecoderCase{"HomeRxvt", kEsc + "[7~", {224, 71}},
        DecoderCase{"End", kEsc + "[F", {224, 79}},
        DecoderCase{"EndApplicationMode", kEsc + "OF", {224, 79}},
        DecoderCase{"EndVt220", kEsc + "[4~", {224, 79}},
        DecoderCase{"EndRxvt", kEsc + "[8~", {224, 79}},
        DecoderCase{"Insert", kEsc + "[2~", {224, 82}},
        DecoderCase{"Delete", kEsc + "[3~", {224, 83}},
        DecoderCase{"PageUp", kEsc + "[5~", {224, 73}},
        DecoderCase{"CtrlPageDown", kEsc + "[6;5~", {224, 81}},
        // Function keys.
        DecoderCase{"F1", kEsc + "OP", {0, 59}}, DecoderCase{"F1Vt220", kEsc + "[11~", {0, 59}},
        DecoderCase{"ShiftF1", kEsc + "[1;2P", {0, 59}},
        DecoderCase{"F1LinuxConsole", kEsc + "[[A", {0, 59}},
        DecoderCase{"F4", kEsc + "OS", {0, 62}}, DecoderCase{"F5", kEsc + "[15~", {0, 63}},
        DecoderCase{"F5LinuxConsole", kEsc + "[[E", {0, 63}},
        DecoderCase{"F6", kEsc + "[17~", {0, 64}}, DecoderCase{"F10", kEsc + "[21~", {0, 68}},
        DecoderCase{"F11", kEsc + "[23~", {224, 133}},
        DecoderCase{"F12", kEsc + "[24~", {224, 134}},
        DecoderCase{"KeypadEnter", kEsc + "OM", {13}},
        // Keys one after the other in one read.
        DecoderCase{"DownHomeEnter", kEsc + "[B" + kEsc + "[H\r", {224, 80, 224, 71, 13}},
        // Sequences no key sends give nothing, and their final letter never acts as a key.
        DecoderCase{"FocusIn", kEsc + "[I", {}}, DecoderCase{"UnusedNumber", kEsc + "[16~", {}},
        DecoderCase{"MouseReport", kEsc + "[<0;12;5M", {}},
        DecoderCase{"DeviceAttributes", kEsc + "[?1;2c" + "P", {'P'}},
        DecoderCase{"UnknownSingleShift", kEsc + "OX", {}},
        // An escape that starts no sequence is the Escape key, then the byte after it.
        DecoderCase{"LoneEscape", kEsc, {27}},
        DecoderCase{"EscapeThenLetter", kEsc + "x", {27, 'x'}},
        DecoderCase{"EscapeThenEnter", kEsc + "\r", {27, 13}},
        DecoderCase{"TwoEscapes", kEsc + kEsc, {27, 27}},
        DecoderCase{"EscapeThenUp", kEsc + kEsc + "[A", {27, 224, 72}},
        DecoderCase{"EscapeAndBracketAlone", kEsc + "[", {27, '['}},
        DecoderCase{"EscapeAndOAlone", kEsc + "O", {27, 'O'}},
        // A byte no sequence may hold breaks it off; the byte still counts as a key.
        DecoderCase{"EnterAfterIntroducer", kEsc + "[\r", {27, '[', 13}},
        DecoderCase{"EnterInsideParameters", kEsc + "[1;\r", {13}},
        DecoderCase{"CutOffBySilence", kEsc + "[1;5", {}},
        // Too long to be a key: dropped whole, final byte included, and decoding goes on.
        DecoderCase{"OverLongSequence", kEsc + "[" + std::string(200, '1') + "A" + "x", {'x'}},
        DecoderCase{
            "OverLongSequenceNeverEnding", kEsc + "[" + std::string(5000, ';') + "\r", {13}}),
    [](const testing::TestParamInfo<DecoderCase>& info) { return info.param.name; });

TEST(KeyDecoderSilence, LoneEscapeNeedsFiftyMillisecondsOfSilence) {
  KeyDecoder decoder;
  EXPECT_EQ(silenceTimeoutMs(decoder), -1) << "nothing unfinished: wait for ever";
  EXPECT_EQ(decodeKeyByte(decoder, 27).count, 0);
  EXPECT_EQ(silenceTimeoutMs(decoder), 50);

  EXPECT_EQ(decodeSilence(decoder, 49).count, 0);
  EXPECT_EQ(silenceTimeoutMs(decoder), 1) << "silences add up";
  const DecodedKeys escape = decodeSilence(decoder, 1);
  ASSERT_EQ(escape.count, 1);
  EXPECT_EQ(escape.codes[0], 27);
  EXPECT_EQ(silenceTimeoutMs(decoder), -1);
}

TEST(KeyDecoderSilence, ByteAfterTheTimeoutIsAKeyOfItsOwn) {
  KeyDecoder decoder;
  std::vector<int> codes;
  collect(decodeKeyByte(decoder, 27), codes);
  collect(decodeSilence(decoder, 50), codes);
  for (unsigned char byte : std::string("[A")) collect(decodeKeyByte(decoder, byte), codes);
  EXPECT_EQ(codes, (std::vector<int>{27, '[', 'A'}));
}

TEST(KeyDecoderSilence, EveryByteStartsTheSilenceAfresh) {
  KeyDecoder decoder;
  decodeKeyByte(decoder, 27);
  decodeSilence(decoder, 40);
  decodeKeyByte(decoder, '[');
  EXPECT_EQ(decodeSilence(decoder, 40).count, 0);
  EXPECT_EQ(silenceTimeoutMs(decoder), 10);
}

}  // namespace
