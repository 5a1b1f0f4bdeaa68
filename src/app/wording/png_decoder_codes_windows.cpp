#include <wincodec.h>
#include <windows.h>

#include <cstdio>

#include "png_decoder_codes.h"

// The table's codes are written out by hand; these hold them to the system's headers.
static_assert(static_cast<unsigned long>(WINCODEC_ERR_BADIMAGE) == 0x88982F60, "BADIMAGE");
static_assert(static_cast<unsigned long>(WINCODEC_ERR_BADHEADER) == 0x88982F61, "BADHEADER");
static_assert(static_cast<unsigned long>(WINCODEC_ERR_BADSTREAMDATA) == 0x88982F70, "STREAMDATA");
static_assert(static_cast<unsigned long>(WINCODEC_ERR_STREAMNOTAVAILABLE) == 0x88982F73, "STREAM");
static_assert(static_cast<unsigned long>(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT) == 0x88982F80,
              "PIXELFORMAT");
static_assert(static_cast<unsigned long>(WINCODEC_ERR_UNEXPECTEDMETADATATYPE) == 0x88982F91,
              "METADATATYPE");
static_assert(static_cast<unsigned long>(E_UNEXPECTED) == 0x8000FFFF, "E_UNEXPECTED");
static_assert(static_cast<unsigned long>(E_OUTOFMEMORY) == 0x8007000E, "E_OUTOFMEMORY");
static_assert(static_cast<unsigned long>(REGDB_E_CLASSNOTREG) == 0x80040154, "CLASSNOTREG");

std::string pngDecoderCodeMeaning(long long code) { return wicCodeMeaning(code); }

std::string pngDecoderCodeText(long long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08llX", code & 0xFFFFFFFFLL);
  return text;
}
