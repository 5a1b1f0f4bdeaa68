#include "png_inflate.h"

// Builds without ISA-L check with zlib's inflater.
const Inflater& checkInflater() { return kZlibInflater; }
