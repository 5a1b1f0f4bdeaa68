// divovod build MANIFEST...: every episode of every manifest, built side by side. The manifests
// are read and checked whole first, and every palette loaded, so that a wrong one builds
// nothing; then each episode is built on one of -j threads, exactly as the option form would
// build it, and its line is said in the manifests' order.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "command_options.h"
#include "episode_build.h"
#include "episode_report.h"
#include "file_open.h"
#include "file_time.h"
#include "import_reasons.h"
#include "output_guard.h"
#include "protected_files.h"
#include "safe_file.h"
#include "write_reasons.h"

namespace {

namespace fs = std::filesystem;

struct Episode {
  EpisodeRecipe recipe;
  PaletteChoice palette;
  std::shared_ptr<const ImportOptions> options;  // shared by the episodes of one palette
};

enum class Outcome { kWritten, kUpToDate, kFailed };

struct EpisodeResult {
  Outcome outcome = Outcome::kFailed;
  std::string line;  // what is said of the episode, after "divovod: "
};

int parseJobs(const ParsedOptions& parsed, std::ostream& err, int& jobs) {
  jobs = processorCount();
  if (!has(parsed, "jobs")) return kGoOn;
  std::int32_t asked = 0;
  if (!parseInt32(value(parsed, "jobs"), asked) || asked < 1 || asked > 1024) {
    return usageError(err, "--jobs needs a number of episodes from 1 to 1024, not '" +
                               value(parsed, "jobs") + "'");
  }
  jobs = asked;
  return kGoOn;
}

int readManifests(const std::vector<std::string>& paths, std::vector<Episode>& episodes,
                  std::ostream& err) {
  for (const std::string& path : paths) {
    std::vector<EpisodeRecipe> recipes;
    ProjectProblem problem;
    if (!readManifest(path, recipes, problem)) return settingsProblem(err, problem);
    for (EpisodeRecipe& recipe : recipes) episodes.push_back({std::move(recipe), {}, nullptr});
  }
  return kGoOn;
}

std::string placeOf(const EpisodeRecipe& recipe) {
  return recipe.manifest + ":" + std::to_string(recipe.line) + ":" + std::to_string(recipe.column);
}

// Every file the run reads and every file it writes: an output that is one of the inputs, or
// another output, stops the run before anything is written.
int checkOutputs(const std::vector<std::string>& manifests, const std::vector<Episode>& episodes,
                 std::ostream& err) {
  static const char* const kRoles[3] = {"episode image", "title image", "lowtitle image"};
  std::vector<RunInput> inputs;
  std::vector<RunOutput> outputs;
  for (const std::string& manifest : manifests)
    inputs.push_back({manifest, "the manifest " + manifest});
  addConfigFile(inputs);
  for (const Episode& episode : episodes) {
    const EpisodeRecipe& recipe = episode.recipe;
    const std::string place = placeOf(recipe);
    for (int i = 0; i < 3; ++i) {
      inputs.push_back(
          {recipe.pictures[i], std::string("the ") + kRoles[i] + " of the episode at " + place});
    }
    if (episode.palette.origin != PaletteOrigin::kNone) {
      inputs.push_back({episode.palette.path, "the palette file (" + episode.palette.path + ")"});
    }
    outputs.push_back({recipe.output, "the episode at " + place});
  }
  OutputClash clash;
  if (!findOutputClash(inputs, outputs, clash)) return kGoOn;
  const EpisodeRecipe& recipe = episodes[clash.output].recipe;
  return settingsProblem(err,
                         {recipe.manifest, recipe.line, recipe.column,
                          "output " + recipe.output + " " + clash.problem + "; nothing built"});
}

// Every episode's palette chosen and read, each file once. kGoOn, or the exit status of the
// first that cannot be used; nothing has been built by then.
int loadPalettes(const ParsedOptions& parsed, std::vector<Episode>& episodes, std::ostream& err) {
  std::map<std::pair<std::string, std::string>, std::shared_ptr<const ImportOptions>> loaded;
  for (Episode& episode : episodes) {
    const EpisodeRecipe& recipe = episode.recipe;
    const int choosing = choosePalette(parsed, &recipe, episode.palette, err);
    if (choosing != kGoOn) return choosing;
    const bool palette = episode.palette.origin != PaletteOrigin::kNone;
    if (!palette && !recipe.mappingKey.message.empty()) {
      return settingsProblem(err, recipe.mappingKey);
    }
    const MappingWishes wishes{recipe.exactColours, recipe.dither, recipe.transparentIndex};
    // The mapping wishes are part of the key: two episodes share options only when alike.
    const std::string wishText = std::to_string(wishes.exactColours) +
                                 std::to_string(wishes.dither) +
                                 std::to_string(wishes.transparentIndex);
    auto& options = loaded[{episode.palette.path, wishText}];
    if (!options) {
      auto fresh = std::make_shared<ImportOptions>();
      const ProjectProblem* indexKey =
          recipe.transparentKey.message.empty() ? nullptr : &recipe.transparentKey;
      const int loading = loadMapping(episode.palette, wishes, *fresh, err, indexKey);
      if (loading == kExitUsage) return loading;  // said at the manifest's place
      if (loading != kGoOn) {
        err << "divovod: "
            << messageText(recipe.manifest + ": the episode writing " + recipe.output +
                           " cannot use its palette; nothing built")
            << "\n";
        return loading;
      }
      options = std::move(fresh);
    }
    episode.options = options;
  }
  return kGoOn;
}

// Up to date: the output is newer than everything it is made from, the file that chose its
// palette included.
bool upToDate(const Episode& episode) {
  std::int64_t built = 0;
  if (!lastWriteTime(episode.recipe.output.c_str(), built)) return false;
  const auto older = [built](const std::string& input) {
    std::int64_t made = 0;
    return lastWriteTime(input.c_str(), made) && made < built;
  };
  if (!older(episode.recipe.manifest)) return false;
  for (const std::string& picture : episode.recipe.pictures) {
    if (!older(picture)) return false;
  }
  const PaletteChoice& palette = episode.palette;
  if (palette.origin != PaletteOrigin::kNone && !older(palette.path)) return false;
  return palette.origin != PaletteOrigin::kConfigFile || older(palette.settingFile);
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

std::string sizeText(std::int32_t width, std::int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Writes are made one at a time: the safe replace keeps one temporary file in view of the
// signal handler that removes it. Importing, the work that takes time, runs side by side.
std::mutex writing;

EpisodeResult buildEpisode(const Episode& episode, ThreadBudget& budget) {
  const EpisodeRecipe& recipe = episode.recipe;
  ImportedPictures pictures;
  PictureImport results[3];
  std::vector<std::string> problems;
  if (!importPictures(recipe.pictures, *episode.options, budget, pictures, results)) {
    for (int i = 0; i < 3; ++i) {
      if (results[i].outcome.ok()) continue;
      problems.push_back(recipe.pictures[i] + ": " +
                         importReason(results[i].outcome, results[i].openError));
    }
  }
  const ImportedImage& title = pictures.images[1];
  if (problems.empty() && recipe.hasTitleSize &&
      (title.width != recipe.titleWidth || title.height != recipe.titleHeight)) {
    problems.push_back(recipe.pictures[1] + ": the title is " +
                       sizeText(title.width, title.height) + ", but title_size says " +
                       sizeText(recipe.titleWidth, recipe.titleHeight));
  }
  if (!problems.empty()) return {Outcome::kFailed, recipe.output + " failed: " + joined(problems)};
  EpisodeAnswers answers{};
  answers.listPosition = recipe.position;
  answers.outputFileName = recipe.output;
  fillField(answers.episodeName, sizeof answers.episodeName, recipe.name);
  fillField(answers.startLevel, sizeof answers.startLevel, recipe.startLevel);
  const ImportedImage(&images)[3] = pictures.images;
  std::lock_guard<std::mutex> one(writing);
  errno = 0;
  const std::string& paletteFile = episode.palette.path;
  if (!writeEpisodeFile(answers, images[0], images[1], images[2],
                        protectedFiles(recipe.pictures, paletteFile))) {
    return {Outcome::kFailed,
            recipe.output + " failed: " +
                episodeWriteReason(recipe.output, recipe.pictures, errno, paletteFile)};
  }
  return {Outcome::kWritten, wroteText(recipe.output, images, paletteNote(episode.palette))};
}

// Results come in as threads finish them and are said in the manifests' order.
struct ResultBoard {
  std::vector<EpisodeResult> results;
  std::vector<bool> ready;
  std::mutex lock;
  std::condition_variable changed;
};

void buildSideBySide(const std::vector<Episode>& episodes, const std::vector<bool>& wanted,
                     int jobs, ResultBoard& board, std::ostream& out, std::ostream& err) {
  const std::size_t building =
      static_cast<std::size_t>(std::count(wanted.begin(), wanted.end(), true));
  const std::size_t threads =
      std::min<std::size_t>(static_cast<std::size_t>(jobs), std::max<std::size_t>(1, building));
  // The processors the episodes' threads leave, for their pictures' threads; none when -j asks
  // for as many episodes at once as there are processors, or more.
  ThreadBudget budget(std::max(0, processorCount() - static_cast<int>(threads)));
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < episodes.size(); i = next++) {
      if (!wanted[i]) continue;
      EpisodeResult result = buildEpisode(episodes[i], budget);
      std::lock_guard<std::mutex> hold(board.lock);
      board.results[i] = std::move(result);
      board.ready[i] = true;
      board.changed.notify_one();
    }
    budget.spare += 1;  // no episode left for this thread: its processor goes to the pictures
  };
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    try {
      workers.push_back(startThread(work));
    } catch (const std::exception&) {
      break;  // no thread to be had (system_error, or bad_alloc): those started do the rest
    }
  }
  if (workers.empty()) work();  // not even one: this thread builds them all, one by one
  for (std::size_t i = 0; i < episodes.size(); ++i) {
    std::unique_lock<std::mutex> hold(board.lock);
    board.changed.wait(hold, [&] { return board.ready[i]; });
    const EpisodeResult& result = board.results[i];
    (result.outcome == Outcome::kFailed ? err : out)
        << "divovod: " << messageText(result.line) << "\n";
  }
  for (std::thread& worker : workers) worker.join();
}

}  // namespace

int runManifestBuild(const ParsedOptions& parsed, std::ostream& out, std::ostream& err) {
  int jobs = 1;
  const int jobsStatus = parseJobs(parsed, err, jobs);
  if (jobsStatus != kGoOn) return jobsStatus;
  std::vector<Episode> episodes;
  const int reading = readManifests(parsed.positional, episodes, err);
  if (reading != kGoOn) return reading;
  const int loading = loadPalettes(parsed, episodes, err);
  if (loading != kGoOn) return loading;
  const int checking = checkOutputs(parsed.positional, episodes, err);
  if (checking != kGoOn) return checking;

  ResultBoard board;
  board.results.resize(episodes.size());
  board.ready.assign(episodes.size(), false);
  std::vector<bool> wanted(episodes.size(), true);
  for (std::size_t i = 0; i < episodes.size(); ++i) {
    const std::string& output = episodes[i].recipe.output;
    // Looked at before the dates: a file of another kind, however new, is no episode built.
    const std::string foreign = foreignFileKind(output);
    const bool refused = !foreign.empty() && !has(parsed, "force");
    if (!refused && (!foreign.empty() || has(parsed, "always") || !upToDate(episodes[i]))) {
      continue;
    }
    wanted[i] = false;
    board.results[i] =
        refused ? EpisodeResult{Outcome::kFailed, output + " failed: " + foreignFileReason(foreign)}
                : EpisodeResult{Outcome::kUpToDate, output + " is up to date"};
    board.ready[i] = true;
  }
  buildSideBySide(episodes, wanted, jobs, board, out, err);
  const bool anyFailed =
      std::any_of(board.results.begin(), board.results.end(),
                  [](const EpisodeResult& result) { return result.outcome == Outcome::kFailed; });
  return anyFailed ? kExitFailed : kExitDone;
}
