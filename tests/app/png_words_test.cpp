// What a user reads when a PNG is refused: the checks' words for the faults that are easiest to
// word wrongly, the claim bound at its edge, and the decoder's codes in words.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "import_reasons.h"
#include "picture_import.h"
#include "png_decoder_codes.h"
#include "test_support.h"

#ifndef _WIN32
#include <spng.h>
#endif

namespace {

Bytes deflated(const Bytes& raw) {
  Bytes packed(compressBound(raw.size()));
  uLongf size = packed.size();
  compress2(packed.data(), &size, raw.data(), raw.size(), 9);
  packed.resize(size);
  return packed;
}

// A 4 x 3 RGB picture of 8 bits, filter byte `filter` on its second row, its image data in as
// many chunks as given, and a chunk of text put between the first two when asked.
Bytes rgbPng(unsigned char filter, std::size_t dataChunks = 1, bool textBetween = false) {
  Bytes raw;
  for (int y = 0; y < 3; ++y) {
    raw.push_back(y == 1 ? filter : 0);
    for (int i = 0; i < 12; ++i) raw.push_back(static_cast<unsigned char>(i * 20 + y));
  }
  const Bytes stream = deflated(raw);
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", pngHeader(4, 3, 8, 2));
  const std::size_t piece = (stream.size() + dataChunks - 1) / dataChunks;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    if (at > 0 && textBetween) putChunk(file, "tEXt", {'A', 0, 'b'});
    putChunk(file, "IDAT",
             Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + piece)));
  }
  putChunk(file, "IEND", {});
  return file;
}

// A grey picture of 1 bit, 1 pixel wide and `height` rows (2 bytes a row, its filter byte
// included), whose image data is two zero bytes: 67 bytes in all (8 signature, 25 header, 22
// image data, 12 end).
Bytes tallClaim(std::uint32_t height) {
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  putChunk(file, "IHDR", pngHeader(1, height, 1, 0));
  // zlib.compress(b"\0\0", 9).hex() == "78da6360000000020001"
  putChunk(file, "IDAT", {0x78, 0xDA, 0x63, 0x60, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01});
  putChunk(file, "IEND", {});
  return file;
}

std::string reasonFor(const Bytes& file, bool withPalette) {
  ScratchDirectory directory;
  const std::string path = directory.path("picture.png");
  writeFile(path, file);
  ImportOptions options;
  options.hasPalette = withPalette;
  options.palette.colourCount = 2;
  ImportedImage image{};
  const ImportOutcome outcome = importPicture(path.c_str(), options, image);
  releaseImportedImage(image);
  return importReason(outcome);
}

}  // namespace

TEST(PngWords, TheChecksNameTheFaultWithOrWithoutAPalette) {
  const Bytes sound = rgbPng(0);
  struct Case {
    const char* name;
    Bytes file;
    std::string words;
  };
  const Case cases[] = {
      {"filter byte 5", rgbPng(5),
       "damaged PNG image data: a row starts with filter byte 5 (only 0 to 4 exist)"},
      {"a text chunk between two image data chunks", rgbPng(0, 2, true),
       "bad PNG structure: chunks out of order, of a wrong size, or unknown critical ones"},
      // Cut in its image data chunk, which starts at byte 33 (8 signature, 25 header): damaged,
      // which the picture is before it is true colour.
      {"cut in its image data", Bytes(sound.begin(), sound.begin() + 50),
       "damaged PNG: the file is cut short (it ends inside the chunk at byte 33 or before its end "
       "chunk)"},
      {"cut before its end chunk", Bytes(sound.begin(), sound.end() - 12),
       "damaged PNG: the file is cut short (it ends inside the chunk at byte " +
           std::to_string(sound.size() - 12) + " or before its end chunk)"},
  };
  for (const Case& c : cases) {
    for (const bool withPalette : {false, true}) {
      EXPECT_EQ(reasonFor(c.file, withPalette), c.words)
          << c.name << (withPalette ? ", with a palette" : ", without one");
    }
  }
  EXPECT_EQ(reasonFor(sound, false),
            "a true-colour picture (24 bits per pixel) has no palette indices: give the game's "
            "palette with --palette FILE to map its colours");
}

// The header may claim at most 1100 bytes of rows for each byte of the file, and 1 MiB besides:
// for tallClaim's 67 bytes, 1100 * 67 + 1048576 = 1122276 bytes, 561138 rows of 2 bytes. At the
// bound the claim passes (and the missing rows are what is wrong); a row past it, the claim is
// what is wrong.
TEST(PngWords, TheClaimBoundHoldsAtItsEdge) {
  ASSERT_EQ(tallClaim(1).size(), 67u);
  EXPECT_EQ(reasonFor(tallClaim(561138), true),
            "damaged PNG: the image data ends before its last row");
  EXPECT_EQ(reasonFor(tallClaim(561139), true),
            "the header claims far more pixels than the file's data can hold");
}

TEST(PngWords, EveryDecoderCodeHasWordsAndAnUnknownOneAGeneralSentence) {
  const std::string refused = "the PNG decoder refused the picture: ";
  struct Case {
    long long code;
    const char* meaning;
  };
  // libspng's codes, named from its header where it is at hand, else by their numbers there.
#ifndef _WIN32
  const Case libspng[] = {
      {SPNG_ECHUNK_LIMITS, "its text or colour profile inflates too far"},
      {SPNG_EIDAT_STREAM, "the image data is damaged"},
      {SPNG_EZLIB, "the image data is damaged"},
      {SPNG_EIDAT_TOO_SHORT, "the image data ends before its last row"},
      {SPNG_EFILTER, "a row of the image data starts with a filter byte that does not exist"},
      {SPNG_EMEM, "it ran out of memory"},
      {SPNG_ECHUNK_CRC, "a chunk fails its checksum (CRC)"},
      {SPNG_EDUP_GAMA, "a chunk that may come once comes twice"},
      {SPNG_EGAMA, "its gamma (gAMA) is out of range"},
      {SPNG_ECHRM, "its chromaticities (cHRM) are out of range"},
      {SPNG_EZTXT, "a text chunk (tEXt, zTXt, iTXt) is malformed"},
      {SPNG_EICCP_NAME, "its colour profile (iCCP) is malformed"},
      {SPNG_ETIME, "its time (tIME) is out of range"},
      {SPNG_EBKGD_PLTE_IDX, "its background colour (bKGD) has no palette or points past it"},
      {SPNG_ECHUNK_STDLEN, "a chunk is not of the size the format gives it"},
      {SPNG_ENOIHDR, "its header is not one it reads"},
      {SPNG_EIO, "the file could not be read to its end (did it change while it was read?)"},
      {SPNG_EINTERNAL,
       "it was called in a way it does not take (a fault in divovod: please report it)"},
  };
  for (const Case& c : libspng) {
    EXPECT_EQ(libspngCodeMeaning(c.code), c.meaning) << c.code;
    EXPECT_EQ(importReason({ImportProblem::kPngUndecodable, c.code}),
              refused + c.meaning + " (code " + std::to_string(c.code) + ")");
  }
  // Every code libspng has, from its first error to its last, has words.
  for (long long code = SPNG_EINVAL; code <= SPNG_ENOTFINAL; ++code) {
    EXPECT_FALSE(libspngCodeMeaning(code).empty()) << code;
  }
  EXPECT_EQ(libspngCodeMeaning(SPNG_ENOTFINAL + 1), "");
  // The words the command line and the dialogue show for the bound of the side chunks.
  EXPECT_EQ(importReason({ImportProblem::kPngUndecodable, 77}),
            refused + "its text or colour profile inflates too far (code 77)");
  EXPECT_EQ(importReason({ImportProblem::kPngUndecodable, 86}),
            "the PNG decoder refused the picture for a reason it does not name (code 86)");
  EXPECT_EQ(importReason({ImportProblem::kPngUndecodable, 0}),
            "the PNG decoder refused the picture for a reason it does not name (code 0)");
#endif
  // The Windows Imaging Component's, by their values in winerror.h and wincodec.h.
  const Case wic[] = {
      {0x88982F60, "the image data is damaged"},                     // WINCODEC_ERR_BADIMAGE
      {0x88982F70, "the image data is damaged"},                     // WINCODEC_ERR_BADSTREAMDATA
      {0x88982F61, "its header is not one it reads"},                // WINCODEC_ERR_BADHEADER
      {0x88982F62, "the file holds no picture"},                     // WINCODEC_ERR_FRAMEMISSING
      {0x88982F52, "it holds too much text or other side data"},     // TOOMUCHMETADATA
      {0x88982F63, "its text or colour profile is malformed"},       // BADMETADATAHEADER
      {0x88982F91, "its text or colour profile is malformed"},       // UNEXPECTEDMETADATATYPE
      {0x88982F80, "its kind of pixels is not one it can convert"},  // UNSUPPORTEDPIXELFORMAT
      {0x88982F81, "its kind of pixels is not one it can convert"},  // UNSUPPORTEDOPERATION
      {0x88982F51, "the picture is too large for it"},               // IMAGESIZEOUTOFRANGE
      {0x88982F72, "the file could not be read to its end (did it change while it was read?)"},
      {0x8007000E, "it ran out of memory"},  // E_OUTOFMEMORY
      {0x8000FFFF, "the picture it gave is not of the size or kind the file's header says"},
      {0x80040154, "the Windows Imaging Component is not available on this system"},
      {0x80004005, "it failed without giving a reason"},  // E_FAIL
  };
  for (const Case& c : wic) EXPECT_EQ(wicCodeMeaning(c.code), c.meaning) << std::hex << c.code;
  for (const long long unknown : {0LL, 0x88982F99LL, 0x80070002LL, 77LL}) {
    EXPECT_EQ(wicCodeMeaning(unknown), "") << std::hex << unknown;
  }
}
