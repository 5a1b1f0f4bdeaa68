// Picture files of kinds divovod does not read, told by their first bytes (and a TGA by the
// footer its second version ends with), so that a refusal can name what the file is.
#pragma once

#include <cstdio>

enum class OtherFormat { kUnknown, kJpeg, kGif, kTiff, kWebp, kQoi, kPcx, kTga };

// The kind of the open file; the position is left anywhere.
OtherFormat recogniseOtherFormat(std::FILE* file);
