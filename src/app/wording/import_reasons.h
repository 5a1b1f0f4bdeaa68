// The command line's wording of why a picture could not be used: the precise reason, where the
// dialogue says only "Bad file!".
#pragma once

#include <string>

#include "bitmap_writer.h"
#include "picture_import.h"

// openError: the system's reason when the file could not be opened (errno), or 0.
std::string importReason(const ImportOutcome& outcome, int openError = 0);

// The same in the dialogue's terms, where no option can be given: a picture that needs the game's
// palette is told how to start divovod with it.
std::string importReasonInDialogue(const ImportOutcome& outcome, int openError = 0);

std::string paletteReason(const PaletteOutcome& outcome, int openError = 0);

// What the mapping onto the game's palette did to one picture: how many pixels changed colour,
// the largest RGB distance, and notes on transparency.
std::string mappingLine(const MappingReport& report);
