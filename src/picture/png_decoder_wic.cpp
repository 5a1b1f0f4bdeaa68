// PNG decoding on Windows through the Windows Imaging Component, which is part of the system.
// Formats the component hands out as they are stored are converted here, byte by byte, so that
// the pixels are the same as on every other platform; anything else goes through its converter.
#include <initguid.h>
#include <wincodec.h>
#include <windows.h>

#include <cstring>
#include <limits>
#include <memory>

#include "file_open.h"
#include "png_decoder.h"
#include "png_restream.h"

namespace {

struct ComRelease {
  void operator()(IUnknown* object) const {
    if (object != nullptr) object->Release();
  }
};
template <class Interface>
using Com = std::unique_ptr<Interface, ComRelease>;

// COM for this thread while a picture is decoded; a thread that already has it keeps it.
struct ComScope {
  HRESULT status;
  ComScope() : status(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(status)) CoUninitialize();
  }
  bool usable() const { return SUCCEEDED(status) || status == RPC_E_CHANGED_MODE; }
};

ImportOutcome undecodable(HRESULT status) {
  return {ImportProblem::kPngUndecodable,
          static_cast<long long>(static_cast<unsigned long>(status))};
}

// One decoded frame and what it takes to read it.
struct Frame {
  Com<IWICImagingFactory> factory;
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
};

HRESULT openFrame(unsigned char* bytes, DWORD size, Frame& opened) {
  IWICImagingFactory* factory = nullptr;
  HRESULT status = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(status)) return status;
  opened.factory.reset(factory);
  IWICStream* stream = nullptr;
  status = factory->CreateStream(&stream);
  if (FAILED(status)) return status;
  opened.stream.reset(stream);
  status = stream->InitializeFromMemory(bytes, size);
  if (FAILED(status)) return status;
  IWICBitmapDecoder* decoder = nullptr;
  status =
      factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder);
  if (FAILED(status)) return status;
  opened.decoder.reset(decoder);
  IWICBitmapFrameDecode* frame = nullptr;
  status = decoder->GetFrame(0, &frame);
  if (FAILED(status)) return status;
  opened.frame.reset(frame);
  return S_OK;
}

int indexedBits(const WICPixelFormatGUID& format) {
  if (IsEqualGUID(format, GUID_WICPixelFormat1bppIndexed)) return 1;
  if (IsEqualGUID(format, GUID_WICPixelFormat2bppIndexed)) return 2;
  if (IsEqualGUID(format, GUID_WICPixelFormat4bppIndexed)) return 4;
  if (IsEqualGUID(format, GUID_WICPixelFormat8bppIndexed)) return 8;
  return 0;
}

int lowGreyBits(const WICPixelFormatGUID& format) {
  if (IsEqualGUID(format, GUID_WICPixelFormatBlackWhite)) return 1;
  if (IsEqualGUID(format, GUID_WICPixelFormat2bppGray)) return 2;
  if (IsEqualGUID(format, GUID_WICPixelFormat4bppGray)) return 4;
  return 0;
}

// Rows of 1, 2, 4 or 8 bits a pixel, a byte each in `out` (width x height bytes).
ImportOutcome copyPacked(Frame& opened, int bits, const DecodedPicture& picture,
                         unsigned char* out) {
  const UINT stride = static_cast<UINT>((std::int64_t{picture.width} * bits + 7) / 8);
  const std::int64_t packedSize = std::int64_t{stride} * picture.height;
  if (packedSize > std::numeric_limits<UINT>::max()) return {ImportProblem::kTooLarge, 0};
  Block packed = bits == 8 ? nullptr : allocateBytes(packedSize);
  if (bits != 8 && !packed) return {ImportProblem::kOutOfMemory, 0};
  unsigned char* into = bits == 8 ? out : packed.get();
  const HRESULT status =
      opened.frame->CopyPixels(nullptr, stride, static_cast<UINT>(packedSize), into);
  if (FAILED(status)) return undecodable(status);
  if (bits != 8) unpackPngRows(packed.get(), stride, bits, picture.width, picture.height, out);
  return {};
}

ImportOutcome decodeIndexed(Frame& opened, int bits, DecodedPicture& picture) {
  picture.pixels = allocateBytes(pixelCountOf(picture));
  if (!picture.pixels) return {ImportProblem::kOutOfMemory, 0};
  const ImportOutcome copied = copyPacked(opened, bits, picture, picture.pixels.get());
  if (!copied.ok()) return copied;
  IWICPalette* palette = nullptr;
  HRESULT status = opened.factory->CreatePalette(&palette);
  if (FAILED(status)) return undecodable(status);
  Com<IWICPalette> owned(palette);
  status = opened.frame->CopyPalette(palette);
  if (FAILED(status)) return undecodable(status);
  WICColor colours[256];
  UINT count = 0;
  status = palette->GetColors(256, colours, &count);
  if (FAILED(status)) return undecodable(status);
  picture.paletteCount = static_cast<int>(count);
  for (UINT i = 0; i < count && i < 256; ++i) {  // each colour is 0xAARRGGBB
    picture.palette[i][0] = static_cast<unsigned char>(colours[i] >> 16);
    picture.palette[i][1] = static_cast<unsigned char>(colours[i] >> 8);
    picture.palette[i][2] = static_cast<unsigned char>(colours[i]);
    picture.palette[i][3] = static_cast<unsigned char>(colours[i] >> 24);
  }
  return {};
}

// Grey of 1, 2 or 4 bits, each value spread over 0..255 (1 bit: 0 and 255; 2 bits: steps of 85).
ImportOutcome decodeLowGrey(Frame& opened, int bits, DecodedPicture& picture) {
  Block values = allocateBytes(pixelCountOf(picture));
  picture.pixels = allocateBytes(pixelCountOf(picture) * 4);
  if (!values || !picture.pixels) return {ImportProblem::kOutOfMemory, 0};
  const ImportOutcome copied = copyPacked(opened, bits, picture, values.get());
  if (!copied.ok()) return copied;
  const int step = 255 / ((1 << bits) - 1);
  for (std::int64_t i = 0; i < pixelCountOf(picture); ++i) {
    unsigned char* out = picture.pixels.get() + 4 * i;
    out[0] = out[1] = out[2] = static_cast<unsigned char>(values.get()[i] * step);
    out[3] = 255;
  }
  return {};
}

// How a stored format becomes RGBA: bytes a pixel, where each channel is (-1: none), and whether
// its samples are 16-bit (little-endian; the high byte is kept).
struct Layout {
  const GUID* format;
  int bytes;
  int red, green, blue, alpha;
  bool wide;
};
const Layout kLayouts[] = {
    {&GUID_WICPixelFormat24bppRGB, 3, 0, 1, 2, -1, false},
    {&GUID_WICPixelFormat24bppBGR, 3, 2, 1, 0, -1, false},
    {&GUID_WICPixelFormat32bppRGBA, 4, 0, 1, 2, 3, false},
    {&GUID_WICPixelFormat32bppBGRA, 4, 2, 1, 0, 3, false},
    {&GUID_WICPixelFormat32bppBGR, 4, 2, 1, 0, -1, false},
    {&GUID_WICPixelFormat48bppRGB, 6, 0, 1, 2, -1, true},
    {&GUID_WICPixelFormat64bppRGBA, 8, 0, 1, 2, 3, true},
    {&GUID_WICPixelFormat8bppGray, 1, 0, 0, 0, -1, false},
    {&GUID_WICPixelFormat16bppGray, 2, 0, 0, 0, -1, true},
};

const Layout* layoutOf(const WICPixelFormatGUID& format) {
  for (const Layout& layout : kLayouts) {
    if (IsEqualGUID(format, *layout.format)) return &layout;
  }
  return nullptr;
}

unsigned char sample(const unsigned char* pixel, int channel, bool wide) {
  return wide ? pixel[2 * channel + 1] : pixel[channel];
}

// Rows are read one at a time into a row buffer and spread to RGBA in place.
ImportOutcome readRows(IWICBitmapSource* source, const Layout& layout, DecodedPicture& picture) {
  const std::int64_t rowBytes = std::int64_t{picture.width} * layout.bytes;
  if (rowBytes > std::numeric_limits<UINT>::max()) return {ImportProblem::kTooLarge, 0};
  picture.pixels = allocateBytes(pixelCountOf(picture) * 4);
  Block row = allocateBytes(rowBytes);
  if (!picture.pixels || !row) return {ImportProblem::kOutOfMemory, 0};
  for (std::int32_t y = 0; y < picture.height; ++y) {
    const WICRect rect = {0, y, picture.width, 1};
    const HRESULT status = source->CopyPixels(&rect, static_cast<UINT>(rowBytes),
                                              static_cast<UINT>(rowBytes), row.get());
    if (FAILED(status)) return undecodable(status);
    unsigned char* out = picture.pixels.get() + std::size_t(y) * std::size_t(picture.width) * 4;
    for (std::int32_t x = 0; x < picture.width; ++x, out += 4) {
      const unsigned char* pixel = row.get() + std::size_t(x) * layout.bytes;
      out[0] = sample(pixel, layout.red, layout.wide);
      out[1] = sample(pixel, layout.green, layout.wide);
      out[2] = sample(pixel, layout.blue, layout.wide);
      out[3] = layout.alpha < 0 ? 255 : sample(pixel, layout.alpha, layout.wide);
    }
  }
  return {};
}

}  // namespace

namespace {

// The picture from a whole PNG in memory.
ImportOutcome decodeBytes(unsigned char* bytes, DWORD size, const PngFacts& facts,
                          DecodedPicture& picture) {
  describePicture(facts, picture);
  ComScope com;
  if (!com.usable()) return undecodable(com.status);
  Frame opened;
  HRESULT status = openFrame(bytes, size, opened);
  if (FAILED(status)) return undecodable(status);
  UINT width = 0;
  UINT height = 0;
  status = opened.frame->GetSize(&width, &height);
  if (FAILED(status)) return undecodable(status);
  if (width != facts.width || height != facts.height) return undecodable(E_UNEXPECTED);
  WICPixelFormatGUID format;
  status = opened.frame->GetPixelFormat(&format);
  if (FAILED(status)) return undecodable(status);

  if (picture.indexed) {
    const int bits = indexedBits(format);
    if (bits == 0) return undecodable(E_UNEXPECTED);  // the indices would be lost
    return decodeIndexed(opened, bits, picture);
  }
  if (const int bits = lowGreyBits(format)) return decodeLowGrey(opened, bits, picture);
  if (const Layout* layout = layoutOf(format)) {
    return readRows(opened.frame.get(), *layout, picture);
  }
  IWICFormatConverter* converter = nullptr;
  status = opened.factory->CreateFormatConverter(&converter);
  if (FAILED(status)) return undecodable(status);
  Com<IWICFormatConverter> ownedConverter(converter);
  status = converter->Initialize(opened.frame.get(), GUID_WICPixelFormat32bppRGBA,
                                 WICBitmapDitherTypeNone, nullptr, 0.0, WICBitmapPaletteTypeCustom);
  if (FAILED(status)) return undecodable(status);
  return readRows(converter, *layoutOf(GUID_WICPixelFormat32bppRGBA), picture);
}

}  // namespace

ImportOutcome decodePng(std::FILE* file, const PngFacts& facts, DecodedPicture& picture) {
  const std::int64_t size = fileSize(file);
  if (size <= 0 || size > std::numeric_limits<DWORD>::max()) return {ImportProblem::kTooLarge, 0};
  Block bytes = allocateBytes(size);
  if (!bytes) return {ImportProblem::kOutOfMemory, 0};
  std::rewind(file);
  if (std::fread(bytes.get(), 1, static_cast<std::size_t>(size), file) !=
      static_cast<std::size_t>(size)) {
    return {ImportProblem::kPngCut, 0};
  }
  return decodeBytes(bytes.get(), static_cast<DWORD>(size), facts, picture);
}

// The Imaging Component cannot be told to take checksums on trust, so the restream works them
// out; it is read whole into memory, as the component reads a file from there.
bool decodeRestreamed(std::FILE* file, const PngFacts& facts, DecodedPicture& picture) {
  // The file's size is found by seeking, so before the restream reads.
  const std::int64_t room = pngRestreamBound(fileSize(file), facts);
  if (room > std::numeric_limits<DWORD>::max()) return false;
  Block bytes = allocateBytes(room);
  if (!bytes) return false;
  std::unique_ptr<PngRestream, PngRestreamClose> restream(
      openPngRestream(file, facts, RestreamChecksums::kWorkedOut));
  if (!restream) return false;
  const std::size_t size = readPngRestream(*restream, bytes.get(), static_cast<std::size_t>(room));
  if (size == static_cast<std::size_t>(room) || !pngRestreamSound(*restream)) return false;
  return decodeBytes(bytes.get(), static_cast<DWORD>(size), facts, picture).ok();
}
