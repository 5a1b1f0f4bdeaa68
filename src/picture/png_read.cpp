#include "png_decoder.h"
#include "png_inflate.h"

ImportOutcome checkOnlyPng(std::FILE* file, PngFacts& facts) {
  return checkPngUsing(file, facts, kZlibInflater);
}

ImportOutcome checkThenDecodePng(std::FILE* file, bool decodeTrueColour, PngFacts& facts,
                                 DecodedPicture& picture) {
  // The walk (no inflate) tells what the picture is; a fault it finds, checkPng names.
  if (checkPngChunks(file, facts).ok() && !pngIsIndexed(facts) && !decodeTrueColour) {
    return checkOnlyPng(file, facts);
  }
  const ImportOutcome checked = checkPng(file, facts);
  if (!checked.ok()) return checked;
  const ImportOutcome decoded = decodePng(file, facts, picture);
  if (decoded.ok()) return decoded;
  // The checks may have passed image data that zlib refuses (png_check.h); a picture refused
  // from here on is refused for that fault, as every platform refuses it.
  const ImportOutcome stream = confirmPngStream(file);
  return stream.ok() ? decoded : stream;
}

// The chunk walk, then the decoder reading the file through its restream: the image data inflated
// once. A file refused anywhere on that way is taken again the way that names its fault
// (checkPng, then decodePng), so each is refused for what and in the words it always was.
ImportOutcome readPng(std::FILE* file, bool decodeTrueColour, PngFacts& facts,
                      DecodedPicture& picture) {
  if (!checkPngChunks(file, facts).ok()) {
    return checkThenDecodePng(file, decodeTrueColour, facts, picture);
  }
  if (!pngIsIndexed(facts) && !decodeTrueColour) return checkOnlyPng(file, facts);
  if (decodeRestreamed(file, facts, picture)) return {};
  picture = DecodedPicture{};
  return checkThenDecodePng(file, decodeTrueColour, facts, picture);
}
