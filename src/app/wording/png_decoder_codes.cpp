#include "png_decoder_codes.h"

namespace {

struct CodeWords {
  long long first;  // a range of codes of one meaning, the last included
  long long last;
  const char* words;
};

const char kInternal[] =
    "it was called in a way it does not take (a fault in divovod: please report it)";
const char kDamagedData[] = "the image data is damaged";
const char kNoMemory[] = "it ran out of memory";
const char kUnreadable[] =
    "the file could not be read to its end (did it change while it was "
    "read?)";

// libspng's error codes, in the order of its enumeration (0 is success).
const CodeWords kLibspng[] = {
    {1, 1, kInternal},
    {2, 2, kNoMemory},
    {3, 3, "the picture's sizes overflow its arithmetic"},
    {4, 15, "its header is not one it reads"},
    {16, 17, "a chunk stands where it may not, or is of a size it may not have"},
    {18, 18, "a chunk fails its checksum (CRC)"},
    {19, 20, "a chunk is of a kind it does not know"},
    {21, 33, "a chunk that may come once comes twice"},
    {34, 34, "its chromaticities (cHRM) are out of range"},
    {35, 35, "a palette index points past the palette's end"},
    {36, 37, "its transparency (tRNS) does not fit its kind of picture or has no palette"},
    {38, 38, "its gamma (gAMA) is out of range"},
    {39, 40, "its colour profile (iCCP) is malformed"},
    {41, 42, "its significant bits (sBIT) or colour space (sRGB) are out of range"},
    {43, 51, "a text chunk (tEXt, zTXt, iTXt) is malformed"},
    {52, 53, "its background colour (bKGD) has no palette or points past it"},
    {54, 54, "its histogram (hIST) has no palette"},
    {55, 55, "its pixel size (pHYs) is out of range"},
    {56, 58, "a suggested palette (sPLT) is malformed"},
    {59, 59, "its time (tIME) is out of range"},
    {60, 61, "its offset (oFFs) or Exif data (eXIf) is malformed"},
    {62, 62, "the image data ends before its last row"},
    {63, 64, kDamagedData},
    {65, 65, "a row of the image data starts with a filter byte that does not exist"},
    {66, 66, kInternal},
    {67, 68, kUnreadable},
    {69, 75, kInternal},
    {76, 76, "it has no palette"},
    {77, 77, "its text or colour profile inflates too far"},
    {78, 78, kNoMemory},
    {79, 79, "a chunk is not of the size the format gives it"},
    {80, 85, kInternal},
};

const char kWicMissing[] = "the Windows Imaging Component is not available on this system";

// The Windows Imaging Component's HRESULTs (WINCODEC_ERR_*) and the general ones it and COM
// return, as winerror.h and wincodec.h give them.
const CodeWords kWic[] = {
    {0x88982F04, 0x88982F04, kInternal},                              // WINCODEC_ERR_WRONGSTATE
    {0x88982F05, 0x88982F05, "a value in the file is out of range"},  // VALUEOUTOFRANGE
    {0x88982F07, 0x88982F07, "it does not know the file as a PNG"},   // UNKNOWNIMAGEFORMAT
    {0x88982F0B, 0x88982F0B, "its kind of PNG is not one it reads"},  // UNSUPPORTEDVERSION
    {0x88982F0C, 0x88982F0C, kInternal},                              // NOTINITIALIZED
    {0x88982F45, 0x88982F45, "its palette cannot be read"},           // PALETTEUNAVAILABLE
    {0x88982F46, 0x88982F46, kInternal},                              // CODECTOOMANYSCANLINES
    {0x88982F48, 0x88982F48, "it failed inside itself"},              // INTERNALERROR
    {0x88982F49, 0x88982F49, kInternal},  // SOURCERECTDOESNOTMATCHDIMENSIONS
    {0x88982F50, 0x88982F50, "it has no component for this kind of picture"},  // COMPONENTNOTFOUND
    {0x88982F51, 0x88982F51, "the picture is too large for it"},            // IMAGESIZEOUTOFRANGE
    {0x88982F52, 0x88982F52, "it holds too much text or other side data"},  // TOOMUCHMETADATA
    {0x88982F60, 0x88982F60, kDamagedData},                                 // BADIMAGE
    {0x88982F61, 0x88982F61, "its header is not one it reads"},             // BADHEADER
    {0x88982F62, 0x88982F62, "the file holds no picture"},                  // FRAMEMISSING
    {0x88982F63, 0x88982F63, "its text or colour profile is malformed"},    // BADMETADATAHEADER
    {0x88982F70, 0x88982F70, kDamagedData},                                 // BADSTREAMDATA
    {0x88982F72, 0x88982F73, kUnreadable},  // STREAMREAD, STREAMNOTAVAILABLE
    // UNSUPPORTEDPIXELFORMAT, UNSUPPORTEDOPERATION
    {0x88982F80, 0x88982F81, "its kind of pixels is not one it can convert"},
    {0x88982F8C, 0x88982F8C, "the picture is too large for it"},         // INSUFFICIENTBUFFER
    {0x88982F8D, 0x88982F8D, "a chunk that may come once comes twice"},  // DUPLICATEMETADATAPRESENT
    {0x88982F8E, 0x88982F91, "its text or colour profile is malformed"},  // the metadata types
    {0x8000FFFF, 0x8000FFFF,
     "the picture it gave is not of the size or kind the file's header says"},  // E_UNEXPECTED
    {0x80004001, 0x80004001, kInternal},                                        // E_NOTIMPL
    {0x80004002, 0x80004002, kWicMissing},                                      // E_NOINTERFACE
    {0x80004003, 0x80004003, kInternal},                                        // E_POINTER
    {0x80004005, 0x80004005, "it failed without giving a reason"},              // E_FAIL
    {0x80070005, 0x80070005, kWicMissing},                                      // E_ACCESSDENIED
    {0x8007000E, 0x8007000E, kNoMemory},                                        // E_OUTOFMEMORY
    {0x80070057, 0x80070057, kInternal},                                        // E_INVALIDARG
    {0x80040154, 0x80040154, kWicMissing},  // REGDB_E_CLASSNOTREG
    {0x800401F0, 0x800401F0, kWicMissing},  // CO_E_NOTINITIALIZED
    {0x80010106, 0x80010106, kInternal},    // RPC_E_CHANGED_MODE
};

template <std::size_t count>
std::string meaningIn(const CodeWords (&table)[count], long long code) {
  for (const CodeWords& entry : table) {
    if (code >= entry.first && code <= entry.last) return entry.words;
  }
  return std::string();
}

}  // namespace

std::string libspngCodeMeaning(long long code) { return meaningIn(kLibspng, code); }

std::string wicCodeMeaning(long long code) { return meaningIn(kWic, code); }
