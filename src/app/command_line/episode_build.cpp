#include "episode_build.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>
#include <vector>

#include "episode_report.h"
#include "field_text.h"
#include "import_reasons.h"
#include "numbers.h"
#include "user_environment.h"

ImportedPictures::~ImportedPictures() {
  for (ImportedImage& image : images) {
    if (image.compressedData != nullptr) releaseImportedImage(image);
  }
}

int pictureThreadLimit() {
  std::string text;
  std::int32_t threads = 0;
  if (!environmentText("DIVOVOD_PICTURE_THREADS", text) || !parseInt32(text, threads) ||
      threads < 1) {
    return 3;
  }
  return std::min(threads, 3);
}

namespace {

void importOne(const std::string& name, const ImportOptions& options, ImportedImage& image,
               PictureImport& result) {
  errno = 0;
  result.outcome = importPicture(name.c_str(), options, image, &result.report);
  result.openError = errno;  // errno belongs to the thread that imported
}

// The pictures by file size, largest first, so that the largest starts at once and the smaller
// ones share the other threads: with two threads, the largest alone on one and the two others
// after each other on the second. A name whose size is unknown counts as empty.
std::array<int, 3> largestFirst(const std::string (&names)[3]) {
  std::uintmax_t sizes[3] = {};
  for (int i = 0; i < 3; ++i) {
    std::error_code error;
    const std::uintmax_t size =
        std::filesystem::file_size(std::filesystem::u8path(names[i]), error);
    sizes[i] = error ? 0 : size;
  }
  std::array<int, 3> order = {0, 1, 2};
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return sizes[a] > sizes[b]; });
  return order;
}

}  // namespace

bool importPictures(const std::string (&names)[3], const ImportOptions& options,
                    ThreadBudget& budget, ImportedPictures& pictures, PictureImport (&results)[3]) {
  const int helpers = takeThreads(budget, pictureThreadLimit() - 1);
  ImportOptions budgeted = options;  // the mapping's threads come from the budget too
  budgeted.threadBudget = &budget;
  const std::array<int, 3> order = helpers == 0 ? std::array<int, 3>{0, 1, 2} : largestFirst(names);
  std::atomic<int> next{0};
  const auto work = [&] {
    for (int k = next++; k < 3; k = next++) {
      importOne(names[order[k]], budgeted, pictures.images[order[k]], results[order[k]]);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < helpers; ++t) {
    try {
      threads.push_back(startThread(work));
    } catch (const std::exception&) {
      break;  // no thread to be had (system_error, or bad_alloc): this one does the rest
    }
  }
  work();
  for (std::thread& thread : threads) thread.join();
  budget.spare += helpers;
  return std::all_of(std::begin(results), std::end(results),
                     [](const PictureImport& result) { return result.outcome.ok(); });
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

// The option form's words for pictures that could not be used, one line each, and what the
// mapping did to each one mapped.
bool reportImports(const std::string (&names)[3], const PictureImport (&results)[3],
                   std::ostream& err) {
  bool all = true;
  for (int i = 0; i < 3; ++i) {
    if (!results[i].outcome.ok()) {
      err << "divovod: "
          << messageText(names[i] + ": " + importReason(results[i].outcome, results[i].openError))
          << "\n";
      all = false;
    } else if (results[i].report.mapped) {
      err << "divovod: " << messageText(names[i] + ": " + mappingLine(results[i].report)) << "\n";
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
