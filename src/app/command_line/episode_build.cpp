#include "episode_build.h"

#include <cerrno>
#include <cstring>

#include "field_text.h"
#include "import_reasons.h"

ImportedPictures::~ImportedPictures() {
  for (ImportedImage& image : images) {
    if (image.compressedData != nullptr) releaseImportedImage(image);
  }
}

bool importPictures(const std::string (&names)[3], const ImportOptions& options,
                    ImportedPictures& pictures, PictureImport (&results)[3]) {
  bool all = true;
  for (int i = 0; i < 3; ++i) {
    errno = 0;
    results[i].outcome =
        importPicture(names[i].c_str(), options, pictures.images[i], &results[i].report);
    results[i].openError = errno;
    all = all && results[i].outcome.ok();
  }
  return all;
}

std::string fieldBytes(const char* option, const std::string& argument, std::size_t longest,
                       std::string& bytes) {
  std::string problem;
  if (!fieldBytesFromArgument(argument, bytes, problem)) {
    return std::string("--") + option + ": " + problem;
  }
  if (bytes.size() > longest) {
    return std::string("--") + option + " is " + std::to_string(bytes.size()) +
           " bytes long; the episode file keeps at most " + std::to_string(longest) + " bytes";
  }
  return std::string();
}

void fillField(char* field, std::size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size());
}

FileIdentities identifyAll(const std::string (&names)[3]) {
  FileIdentities identities;
  FileIdentity identity;
  for (const std::string& name : names) {
    if (identifyFile(name.c_str(), identity)) identities.push_back(identity);
  }
  return identities;
}

// The option form's words for pictures that could not be used, one line each, and what the
// mapping did to each one mapped.
bool reportImports(const std::string (&names)[3], const PictureImport (&results)[3],
                   std::ostream& err) {
  bool all = true;
  for (int i = 0; i < 3; ++i) {
    if (!results[i].outcome.ok()) {
      err << "divovod: " << names[i] << ": "
          << importReason(results[i].outcome, results[i].openError) << "\n";
      all = false;
    } else if (results[i].report.mapped) {
      err << "divovod: " << names[i] << ": " << mappingLine(results[i].report) << "\n";
    }
  }
  return all;
}

namespace {

std::string pictureSize(const ImportedImage& image) {
  return std::to_string(image.width) + "x" + std::to_string(image.height);
}

}  // namespace

std::string wroteText(const std::string& output, const ImportedImage (&images)[3],
                      const std::string& note) {
  // The header, then each picture's 4-byte size and its stream.
  const std::int64_t size = std::int64_t{kEpisodeHeaderBytes} + 12 + images[0].compressedSize +
                            images[1].compressedSize + images[2].compressedSize;
  return "wrote " + output + " (" + std::to_string(size) + " bytes; episode " +
         pictureSize(images[0]) + ", title " + pictureSize(images[1]) + ", lowtitle " +
         pictureSize(images[2]) + (note.empty() ? "" : "; " + note) + ")";
}
