// The command line's wording of why an output file was not written. The writer only says that it
// failed; what stands at the path afterwards, and the system's error, tell the user why.
#pragma once

#include <string>

// writeError: errno as the failed write left it (0 when the platform's writer does not set it).
// Looks at the path (links followed) and its folder, then at the error.
std::string writeReason(const std::string& path, int writeError);

// Why the episode file `output` was not written when `pictures` (episode, title and lowtitle
// image, as opened) were its pictures: the picture it would have replaced, if it names one, else
// writeReason.
// paletteFile: the game's palette file the pictures were mapped with, "" for none.
// settingsFile: the config file, "" for none.
std::string episodeWriteReason(const std::string& output, const std::string (&pictures)[3],
                               int writeError, const std::string& paletteFile = std::string(),
                               const std::string& settingsFile = std::string());

// "is the palette file (NAME); it is never written over" when `output` names the palette file,
// links followed; empty otherwise.
std::string paletteFileReason(const std::string& output, const std::string& paletteFile);
