// The command line's wording of why an output file was not written. The writer only says that it
// failed; what stands at the path afterwards, and the system's error, tell the user why.
#pragma once

#include <string>

// writeError: errno as the failed write left it (0 when the platform's writer does not set it).
// Looks at the path (links followed) and its folder, then at the error.
std::string writeReason(const std::string& path, int writeError);
