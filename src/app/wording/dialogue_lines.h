// How the dialogue words the outcome of a picture import: one line, the same few words for every
// kind of bad file.
#pragma once

#include "picture_import.h"

// The line to print ("Compression OK\n" on success); null when zlib failed in a way that has no
// line of its own.
const char* dialogueLine(const ImportOutcome& outcome);
