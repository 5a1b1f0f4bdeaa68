// The files a build reads and must never write over, whatever name or link the output is given:
// its three pictures and the game's palette file.
#pragma once

#include <string>

#include "file_identity.h"

// The pictures' and the palette file's identities, of those that exist; paletteFile "" for none.
FileIdentities protectedFiles(const std::string (&pictures)[3], const std::string& paletteFile);
