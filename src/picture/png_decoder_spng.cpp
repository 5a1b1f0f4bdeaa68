#include <spng.h>

#include <cstring>
#include <memory>

#include "png_decoder.h"
#include "png_restream.h"

namespace {

struct ContextFree {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using Context = std::unique_ptr<spng_ctx, ContextFree>;

ImportOutcome undecodable(int code) {
  // The checks' inflater may be another than libspng's zlib, and pass a stream zlib refuses (an
  // incomplete Huffman code); the refusal then comes from here, in the checks' words for it.
  if (code == SPNG_EIDAT_STREAM || code == SPNG_EZLIB) return {ImportProblem::kPngBadImageData, 0};
  if (code == SPNG_EIDAT_TOO_SHORT) return {ImportProblem::kPngShortImageData, 0};
  if (code == SPNG_ECHUNK_LIMITS) return {ImportProblem::kPngSideChunkTooLarge, 0};
  return {ImportProblem::kPngUndecodable, code};
}

void takePalette(spng_ctx* context, DecodedPicture& picture) {
  spng_plte palette{};
  if (spng_get_plte(context, &palette) == 0) {
    picture.paletteCount = static_cast<int>(palette.n_entries);
    for (std::uint32_t i = 0; i < palette.n_entries && i < 256; ++i) {
      picture.palette[i][0] = palette.entries[i].red;
      picture.palette[i][1] = palette.entries[i].green;
      picture.palette[i][2] = palette.entries[i].blue;
    }
  }
  spng_trns transparency{};
  if (spng_get_trns(context, &transparency) == 0) {
    for (std::uint32_t i = 0; i < transparency.n_type3_entries && i < 256; ++i) {
      picture.palette[i][3] = transparency.type3_alpha[i];
    }
  }
}

bool sameHeader(spng_ctx* context, const PngFacts& facts) {
  spng_ihdr header{};
  return spng_get_ihdr(context, &header) == 0 && header.width == facts.width &&
         header.height == facts.height && header.bit_depth == facts.bitDepth &&
         header.color_type == facts.colourType &&
         (header.interlace_method != 0) == facts.interlaced;
}

ImportOutcome decodeIndexed(spng_ctx* context, const PngFacts& facts, DecodedPicture& picture) {
  std::size_t size = 0;
  int status = spng_decoded_image_size(context, SPNG_FMT_PNG, &size);
  if (status != 0) return undecodable(status);
  picture.pixels = allocateBytes(pixelCountOf(picture));
  if (!picture.pixels) return {ImportProblem::kOutOfMemory, 0};
  if (facts.bitDepth == 8) {
    status = spng_decode_image(context, picture.pixels.get(), size, SPNG_FMT_PNG, 0);
    if (status != 0) return undecodable(status);
  } else {
    // Zeroed: libspng puts the pixels of an interlaced picture of packed indices into their
    // bytes by or-ing their bits in.
    Block packed = allocateZeroedBytes(static_cast<std::int64_t>(size));
    if (!packed) return {ImportProblem::kOutOfMemory, 0};
    status = spng_decode_image(context, packed.get(), size, SPNG_FMT_PNG, 0);
    if (status != 0) return undecodable(status);
    unpackPngRows(packed.get(), size / facts.height, facts.bitDepth, picture.width, picture.height,
                  picture.pixels.get());
  }
  takePalette(context, picture);
  return {};
}

// Everything once the context has its source: the same for the file and for its restream.
ImportOutcome decodeFrom(spng_ctx* context, const PngFacts& facts, DecodedPicture& picture) {
  int status = spng_set_crc_action(context, SPNG_CRC_USE, SPNG_CRC_USE);
  if (status == 0) status = spng_set_image_limits(context, facts.width, facts.height);
  // A text or profile chunk of a few bytes can inflate to gigabytes; libspng stops at these
  // bounds (the image data is not counted) instead of growing its buffers. The chunk walk holds
  // what they inflate to to the bounds exactly, on every platform; these stay behind it, for a
  // decoder handed a file by itself, at twice the bounds: libspng doubles a chunk's buffer as it
  // inflates and refuses a doubling past its limit, and counts its own records of the chunks
  // besides their text against the limit of all.
  if (status == 0) {
    status = spng_set_chunk_limits(context, static_cast<std::size_t>(2 * kPngSideChunkLimit),
                                   static_cast<std::size_t>(2 * kPngSideChunksLimit));
  }
  if (status != 0) return undecodable(status);
  // libspng reads the file again: the blocks below are sized from what the checks saw, so a
  // file changed since then must not reach the decoder with another header.
  if (!sameHeader(context, facts)) return undecodable(SPNG_ENOIHDR);
  if (picture.indexed) return decodeIndexed(context, facts, picture);

  std::size_t size = 0;
  status = spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size);
  if (status != 0) return undecodable(status);
  picture.pixels = allocateBytes(static_cast<std::int64_t>(size));
  if (!picture.pixels) return {ImportProblem::kOutOfMemory, 0};
  status = spng_decode_image(context, picture.pixels.get(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
  if (status != 0) return undecodable(status);
  return {};
}

// The checks have verified every chunk's checksum and the image data's own, so libspng need not
// compute them again.
Context newContext() { return Context(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32)); }

int readRestream(spng_ctx*, void* user, void* into, std::size_t length) {
  PngRestream& restream = *static_cast<PngRestream*>(user);
  const std::size_t given = readPngRestream(restream, static_cast<unsigned char*>(into), length);
  return given == length ? 0 : SPNG_IO_ERROR;
}

}  // namespace

ImportOutcome decodePng(std::FILE* file, const PngFacts& facts, DecodedPicture& picture) {
  describePicture(facts, picture);
  Context context = newContext();
  if (!context) return {ImportProblem::kOutOfMemory, 0};
  std::rewind(file);
  const int status = spng_set_png_file(context.get(), file);
  if (status != 0) return undecodable(status);
  return decodeFrom(context.get(), facts, picture);
}

// libspng reads the restream as it goes, told not to verify the checksums its zeros stand for.
bool decodeRestreamed(std::FILE* file, const PngFacts& facts, DecodedPicture& picture) {
  std::unique_ptr<PngRestream, PngRestreamClose> restream(openPngRestream(file, facts));
  Context context = newContext();
  if (!restream || !context) return false;
  describePicture(facts, picture);
  const bool decoded = spng_set_png_stream(context.get(), readRestream, restream.get()) == 0 &&
                       decodeFrom(context.get(), facts, picture).ok();
  return decoded && pngRestreamSound(*restream);
}
