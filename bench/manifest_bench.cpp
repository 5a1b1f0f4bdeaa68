// Reading hostile manifests of up to 1 MiB against reading a plain one of the same size (the
// most episodes a manifest may list, the rest of the size in comment lines): whatever its shape,
// a file is read or refused at a cost its size bounds. The same reader takes the config file.
// One run, the best of a few rounds, timed in processor time, each figure a ratio against its
// bound; exit status 1 when one is missed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "manifest.h"
#include "toml_shape.h"

namespace {

// A hostile shape may cost a few times a plain manifest's reading, never more (64-part dotted
// keys cost some five times as much, in a file a tenth of the size cap).
constexpr double kBound = 8.0;
constexpr std::size_t kSize = 1 << 20;
constexpr int kRounds = 3;

double processorSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::string episode(std::size_t number) {
  const std::string n = std::to_string(number);
  return "[[episode]]\noutput = \"ep" + n + ".z4k\"\nposition = " + n + "\nname = \"Episode " + n +
         "\"\nstart_level = \"lev" + n +
         ".lev\"\nepisode_image = \"art/episode.png\"\ntitle_image = \"art/title" + n +
         ".png\"\nlowtitle_image = \"art/low.png\"\n";
}

// `piece(i)` for i = 0, 1, ... up to `count` pieces while the text stays within `size`.
std::string repeated(const std::function<std::string(std::size_t)>& piece, std::size_t size,
                     const std::string& head = "", const std::string& tail = "",
                     std::size_t count = SIZE_MAX) {
  std::string text = head;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string next = piece(i);
    if (text.size() + next.size() + tail.size() > size) break;
    text += next;
  }
  return text + tail;
}

std::string plainManifest(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < 1000 && text.size() < size / 2; ++i) text += episode(i);
  return repeated([](std::size_t) { return "# " + std::string(76, 'n') + "\n"; }, size, text);
}

struct Shape {
  const char* what;
  std::string text;
};

std::vector<Shape> shapes() {
  const auto number = [](std::size_t i) { return std::to_string(i); };
  const std::string eps = repeated([](std::size_t i) { return episode(i); }, kSize / 2);
  // Each shape just within the bounds (the parser sees it), and past them where that differs.
  const std::size_t within = kMostEntries - 20;
  return {
      {"a key of 52,000 dotted parts",
       repeated([](std::size_t) { return "a."; }, 104000) + "a=1\n"},
      {"arrays nested 500,000 deep", "x = " + std::string(500000, '[') + std::string(500000, ']')},
      {"keys of 64 dotted parts, one a line",
       repeated(
           [&](std::size_t i) {
             return repeated([](std::size_t) { return "a."; }, 126) + number(i) + "=1\n";
           },
           kSize, "", "", kMostKeysInTable)},
      {"an inline table of 32,000 keys on one line",
       repeated([&](std::size_t i) { return "k" + number(i) + " = 1, "; }, kSize - 8, "x = {",
                "y = 1}\n")},
      {"an array of 400,000 numbers on one line",
       repeated([](std::size_t) { return "1,"; }, kSize - 4, "x = [", "1]\n")},
      {"arrays of 4096 numbers, one a line",
       repeated(
           [&](std::size_t i) {
             return (i % 4096 == 0 ? "]\na" + number(i) + " = [\n" : "") + "1,\n";
           },
           kSize, "a = [\n", "]\n", within)},
      {"arrays of 60 numbers, a line each",
       repeated(
           [&](std::size_t i) { return "a" + number(i) + "=[" + std::string(59 * 2, ',') + "]\n"; },
           kSize, "", "", within / 61)},
      {"inline tables of 13 keys, a line each",
       repeated(
           [&](std::size_t i) {
             return "t" + number(i) +
                    "={a=1,b=2,c=3,d=4,e=5,f=6,g=7,h=8,i=9,j=10,k=11,l=12,m=13}\n";
           },
           kSize, "", "", within / 14)},
      {"keys one a line, in full tables",
       repeated(
           [&](std::size_t i) {
             return (i % kMostKeysInTable == 0 ? "[t" + number(i) + "]\n" : "") + "k" + number(i) +
                    " = 1\n";
           },
           kSize, "", "", within)},
      {"dotted keys into one table",
       repeated([&](std::size_t i) { return "a.b.c.k" + number(i) + " = 1\n"; }, kSize, "", "",
                kMostKeysInTable)},
      {"table headers", repeated([&](std::size_t i) { return "[a.k" + number(i) + "]\n"; }, kSize)},
      {"arrays of tables",
       repeated([&](std::size_t i) { return "[[a" + number(i % 8) + "]]\n"; }, kSize)},
      {"2,000 episodes", repeated([](std::size_t i) { return episode(i); }, kSize, "", "", 2000)},
      {"1000 episodes and long comments", plainManifest(kSize) + "x = 1\n"},
      {"long keys, one a line",
       repeated([&](std::size_t i) { return "k" + number(i) + std::string(1000, 'k') + " = 1\n"; },
                kSize, "", "", kMostKeysInTable)},
      {"long strings, one a line", repeated(
                                       [&](std::size_t i) {
                                         return "k" + number(i) + " = \"" + std::string(1000, 's') +
                                                "\"\n";
                                       },
                                       kSize, "", "", kMostKeysInTable)},
      {"one string of 1 MiB", "name = \"" + std::string(kSize - 10, 's') + "\"\n"},
      {"one string of escapes",
       repeated([](std::size_t) { return "\\u0041"; }, kSize - 2, "name = \"", "\"\n")},
      {"comments", repeated([](std::size_t) { return "# " + std::string(98, 'c') + "\n"; }, kSize)},
      {"1000 episodes, then a duplicate key",
       repeated([](std::size_t i) { return episode(i); }, kSize, "", "", 1000) +
           "output = \"a\"\noutput = \"b\"\n"},
  };
}

double secondsToRead(const std::string& text) {
  double best = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<EpisodeRecipe> recipes;
    ProjectProblem problem;
    const double start = processorSeconds();
    parseManifest(text, "bench.toml", recipes, problem);
    best = std::min(best, processorSeconds() - start);
  }
  return best;
}

}  // namespace

int main() {
  bool missed = false;
  for (const Shape& shape : shapes()) {
    const double plain = secondsToRead(plainManifest(shape.text.size()));
    const double hostile = secondsToRead(shape.text);
    std::vector<EpisodeRecipe> recipes;
    ProjectProblem problem;
    const bool read = parseManifest(shape.text, "bench.toml", recipes, problem);
    const double ratio = hostile / std::max(plain, 1e-6);
    missed |= ratio > kBound;
    std::printf("%-45s %7zu bytes: %6.2f (bound %.1f; %.3f s against %.3f s)%s %s\n", shape.what,
                shape.text.size(), ratio, kBound, hostile, plain, ratio > kBound ? " MISSED" : "",
                read ? "read" : problemText(problem).substr(0, 90).c_str());
  }
  return missed ? 1 : 0;
}
