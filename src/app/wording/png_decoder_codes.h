// The PNG decoder's refusal codes (ImportProblem::kPngUndecodable's detail) in words: libspng's
// error codes on POSIX, the Windows Imaging Component's HRESULTs on Windows. Both tables are
// here, so that both are tested on any machine; the platform's own is chosen by the
// png_decoder_codes_posix.cpp or _windows.cpp file the build takes.
#pragma once

#include <string>

// What went wrong, to follow "the PNG decoder refused the picture: "; empty for a code the
// table does not have.
std::string libspngCodeMeaning(long long code);
std::string wicCodeMeaning(long long code);

// The platform's decoder's meaning of the code (empty when unknown), and the code as that
// platform writes it: libspng's as a number, an HRESULT in hexadecimal.
std::string pngDecoderCodeMeaning(long long code);
std::string pngDecoderCodeText(long long code);
