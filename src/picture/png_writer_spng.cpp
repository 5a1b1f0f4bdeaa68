#include <spng.h>

#include <memory>

#include "png_writer.h"
#include "safe_file.h"

namespace {

struct ContextFreer {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

// libspng hands over the encoded bytes as it makes them; they go straight to the temporary file.
int appendEncoded(spng_ctx*, void* user, void* bytes, std::size_t length) {
  PendingFile& file = *static_cast<PendingFile*>(user);
  appendBytes(file, bytes, length);
  return file.failed ? SPNG_IO_ERROR : 0;
}

bool encode(spng_ctx* context, PendingFile& file, std::int32_t width, std::int32_t height,
            const unsigned char* pixels, const Palette& palette) {
  spng_ihdr header{};
  header.width = static_cast<std::uint32_t>(width);
  header.height = static_cast<std::uint32_t>(height);
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_INDEXED;
  spng_plte colours{};
  colours.n_entries = 256;
  for (int i = 0; i < 256; ++i) {  // a bitmap's entries stand as blue, green, red
    colours.entries[i].red = palette.entries[i][2];
    colours.entries[i].green = palette.entries[i][1];
    colours.entries[i].blue = palette.entries[i][0];
  }
  const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  return spng_set_png_stream(context, appendEncoded, &file) == 0 &&
         spng_set_ihdr(context, &header) == 0 && spng_set_plte(context, &colours) == 0 &&
         spng_set_option(context, SPNG_IMG_COMPRESSION_LEVEL, 9) == 0 &&
         spng_encode_image(context, pixels, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
}

}  // namespace

bool writePngFile(const char* path, std::int32_t width, std::int32_t height,
                  const unsigned char* pixels, const Palette& palette,
                  const FileIdentities& untouchable) {
  if (width <= 0 || height <= 0) return false;
  std::unique_ptr<spng_ctx, ContextFreer> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context) return false;
  PendingFile file;
  if (!beginReplace(file, path, untouchable)) return false;
  if (!encode(context.get(), file, width, height, pixels, palette)) file.failed = true;
  return commitReplace(file);
}
