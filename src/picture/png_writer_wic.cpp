#include <objbase.h>
#include <wincodec.h>
#include <windows.h>

#include "png_writer.h"
#include "safe_file.h"

namespace {

template <typename Interface>
struct Held {
  Interface* pointer = nullptr;
  ~Held() {
    if (pointer != nullptr) pointer->Release();
  }
  Interface** out() { return &pointer; }
  Interface* operator->() const { return pointer; }
};

// The encoder writes into a stream in memory; from there the bytes take the same safe road to
// the disk as every other file the program writes.
bool encode(IStream* stream, std::int32_t width, std::int32_t height, const unsigned char* pixels,
            const Palette& palette) {
  Held<IWICImagingFactory> factory;
  Held<IWICBitmapEncoder> encoder;
  Held<IWICBitmapFrameEncode> frame;
  Held<IPropertyBag2> properties;
  Held<IWICPalette> colours;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(factory.out()))) ||
      FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out())) ||
      FAILED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) ||
      FAILED(encoder->CreateNewFrame(frame.out(), properties.out())) ||
      FAILED(frame->Initialize(properties.pointer)) ||
      FAILED(frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height)))) {
    return false;
  }
  WICPixelFormatGUID format = GUID_WICPixelFormat8bppIndexed;
  if (FAILED(frame->SetPixelFormat(&format)) || format != GUID_WICPixelFormat8bppIndexed) {
    return false;  // an encoder that would change the indices into colours
  }
  WICColor entries[256];
  for (int i = 0; i < 256; ++i) {  // a bitmap's entries stand as blue, green, red
    entries[i] = 0xFF000000u | static_cast<WICColor>(palette.entries[i][2]) << 16 |
                 static_cast<WICColor>(palette.entries[i][1]) << 8 | palette.entries[i][0];
  }
  const UINT stride = static_cast<UINT>(width);
  const UINT size = stride * static_cast<UINT>(height);
  return SUCCEEDED(factory->CreatePalette(colours.out())) &&
         SUCCEEDED(colours->InitializeCustom(entries, 256)) &&
         SUCCEEDED(frame->SetPalette(colours.pointer)) &&
         SUCCEEDED(frame->WritePixels(static_cast<UINT>(height), stride, size,
                                      const_cast<BYTE*>(pixels))) &&
         SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
}

bool copyOut(IStream* stream, PendingFile& file) {
  LARGE_INTEGER start{};
  if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return false;
  BYTE block[64 * 1024];
  for (;;) {
    ULONG got = 0;
    if (FAILED(stream->Read(block, sizeof block, &got))) return false;
    if (got == 0) return true;
    appendBytes(file, block, got);
    if (file.failed) return false;
  }
}

}  // namespace

bool writePngFile(const char* path, std::int32_t width, std::int32_t height,
                  const unsigned char* pixels, const Palette& palette,
                  const FileIdentities& untouchable) {
  if (width <= 0 || height <= 0) return false;
  // A 32-bit size for WritePixels: past it, the picture is refused rather than cut.
  if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) >
      0xFFFFFFFFull) {
    return false;
  }
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const bool comStarted = SUCCEEDED(com);
  if (FAILED(com) && com != RPC_E_CHANGED_MODE) return false;
  bool done = false;
  {
    Held<IStream> stream;
    PendingFile file;
    if (SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, stream.out())) &&
        encode(stream.pointer, width, height, pixels, palette) &&
        beginReplace(file, path, untouchable)) {
      if (!copyOut(stream.pointer, file)) file.failed = true;
      done = commitReplace(file);
    }
  }
  if (comStarted) CoUninitialize();
  return done;
}
