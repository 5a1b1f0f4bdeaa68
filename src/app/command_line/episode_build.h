// What both forms of `divovod build` share (the options, and the manifests): three pictures
// imported, the answers put into the file's fields, the file written, and the line that says so.
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

#include "episode_file.h"
#include "file_identity.h"
#include "picture_import.h"
#include "processors.h"

// The three imported pictures of one episode, released when it goes.
struct ImportedPictures {
  ImportedImage images[3] = {};
  ImportedPictures() = default;
  ImportedPictures(const ImportedPictures&) = delete;
  ImportedPictures& operator=(const ImportedPictures&) = delete;
  ~ImportedPictures();
};

struct PictureImport {
  ImportOutcome outcome;
  int openError = 0;  // errno as the import left it
  MappingReport report;
};

// How many threads one episode's three pictures may take at most: DIVOVOD_PICTURE_THREADS when it
// is a whole number from 1 (1: one after another, in the calling thread), else 3.
int pictureThreadLimit();

// Imports all three, each whatever became of the others: side by side, on the calling thread and
// up to two more taken from `budget` (and given back), the largest file first; one after another
// when the budget has none. Each result is the same, and said the same, either way. True when all
// three were imported.
bool importPictures(const std::string (&names)[3], const ImportOptions& options,
                    ThreadBudget& budget, ImportedPictures& pictures, PictureImport (&results)[3]);

// The bytes a text field of `longest` bytes keeps for the argument of --OPTION; the problem for a
// usage error, or "". A text longer than its field is refused rather than cut: a start level cut
// short names a level that does not exist.
std::string fieldBytes(const char* option, const std::string& argument, std::size_t longest,
                       std::string& bytes);

// The words for pictures that could not be used, a line each on err, and what the mapping did
// to each one mapped; names[i] empty: picture i was not imported. True when none failed.
bool reportImports(const std::string (&names)[3], const PictureImport (&results)[3],
                   std::ostream& err);

// The field keeps width - 1 bytes and a zero; the caller has made sure the text fits.
void fillField(char* field, std::size_t width, const std::string& text);

// "wrote OUT (N bytes; episode WxH, title WxH, lowtitle WxH" and `note` when there is one, ")".
std::string wroteText(const std::string& output, const ImportedImage (&images)[3],
                      const std::string& note);
