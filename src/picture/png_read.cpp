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
