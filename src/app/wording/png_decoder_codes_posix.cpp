#include "png_decoder_codes.h"

std::string pngDecoderCodeMeaning(long long code) { return libspngCodeMeaning(code); }

std::string pngDecoderCodeText(long long code) { return std::to_string(code); }
