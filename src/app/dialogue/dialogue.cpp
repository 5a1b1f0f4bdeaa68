#include "dialogue.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "answer_line.h"
#include "answer_reading.h"
#include "console.h"
#include "dialogue_lines.h"
#include "import_reasons.h"
#include "typed_name.h"
#include "write_reasons.h"

namespace {

// One whole key press: the second code of a two-code key (an arrow, a function key) is read here
// too, so it cannot reach the menu that comes next.
bool waitForAnyKey() {
  int key = readKey();
  if (key == 0 || key == 224) key = readKey();
  return key != kNoKeyboard;
}

AnswerSource standardInput() {
  AnswerSource source;
  source.readLine = readAnswerLine;
  return source;
}

// A typed name as a message shows it: in quotes when spaces begin or end it, which would be
// invisible otherwise (they belong to the name).
std::string shownName(const std::string& typed) {
  const bool spaced =
      typed.find_first_of(" \t") == 0 || typed.find_last_of(" \t") == typed.size() - 1;
  return spaced ? "'" + shownText(typed) + "'" : shownText(typed);
}

// The line under a failure that says why: the name as typed and what is wrong with it, in the
// command line's words.
void sayWhy(const AnswerSource& source, const std::string& typedName, const std::string& reason) {
  if (typedName.empty() && source.ended) {
    std::cout << "The input ended before a file name was given.\n";
  } else if (typedName.empty()) {
    std::cout << "No file name was given.\n";
  } else {
    std::cout << shownName(typedName) << ": " << shownText(reason) << "\n";
  }
}

bool importIntoSlot(AnswerSource& answers, PictureSlot& slot, const char* prompt,
                    const ImportOptions& options) {
  std::cout << prompt;
  const std::string typed = askFileName(answers);
  slot.fileName = pathFromTypedName(typed);
  ImportedImage image{};
  errno = 0;
  const ImportOutcome outcome = importPicture(slot.fileName.c_str(), options, image);
  const int openError = errno;
  if (const char* line = dialogueLine(outcome)) std::cout << line;
  if (!outcome.ok()) {
    sayWhy(answers, typed, importReasonInDialogue(outcome, openError));
    return false;
  }
  if (slot.image.compressedData != nullptr) releaseImportedImage(slot.image);
  slot.image = image;
  slot.identified = identifyFile(slot.fileName.c_str(), slot.identity);
  return true;
}

// The pictures, the palette file and the config file: the episode file is never written over
// one of them.
FileIdentities filesNeverWritten(const DriverState& state) {
  FileIdentities files;
  for (const PictureSlot* slot : {&state.episodeSlot, &state.titleSlot, &state.lowtitleSlot}) {
    if (slot->identified) files.push_back(slot->identity);
  }
  for (const std::string* file : {&state.paletteFile, &state.settingsFile}) {
    FileIdentity identity;
    if (!file->empty() && identifyFile(file->c_str(), identity)) files.push_back(identity);
  }
  return files;
}

void storeField(char* field, std::size_t size, const std::string& text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), text.size() < size ? text.size() : size - 1);
}

// Returns the output name as typed.
std::string readMetadata(AnswerSource& source, EpisodeAnswers& answers) {
  std::cout << "OK, enter the number of the place you want the episode\n"
               "to appear on in the episode list:\n";
  answers.listPosition = askListPosition(source, std::cout);
  std::cout << "Now enter the name of the episode(use the wbx text rules):\n";
  storeField(answers.episodeName, sizeof answers.episodeName,
             askTextField(source, std::cout, kLongestEpisodeName, fieldBytesFromTyped));
  std::cout << "Enter the filename of the start level:\n";
  storeField(answers.startLevel, sizeof answers.startLevel,
             askTextField(source, std::cout, kLongestStartLevel, fieldBytesFromTyped));
  std::cout << "And finally enter the episode filename!:\n";
  const std::string typed = askFileName(source);
  answers.outputFileName = pathFromTypedName(typed);
  return typed;
}

bool writeAndReport(DriverState& state, AnswerSource& source) {
  EpisodeAnswers& answers = state.answers;
  const std::string typedOutput = readMetadata(source, answers);
  errno = 0;
  if (writeEpisodeFile(answers, state.episodeSlot.image, state.titleSlot.image,
                       state.lowtitleSlot.image, filesNeverWritten(state))) {
    std::cout << "DONE!!!\n";
    return true;
  }
  const int writeError = errno;
  const std::string pictures[3] = {state.episodeSlot.fileName, state.titleSlot.fileName,
                                   state.lowtitleSlot.fileName};
  std::cout << "Couldn't write file\n";
  sayWhy(source, typedOutput,
         episodeWriteReason(answers.outputFileName, pictures, writeError, state.paletteFile,
                            state.settingsFile));
  return false;
}

int reportNoKeyboard(DriverState& state) {
  releaseSlots(state);
  restoreConsole();
  std::cerr << "divovod: no console keyboard to read keys from (is this running in a terminal?)\n";
  return 1;
}

}  // namespace

DriverState startingState() {
  DriverState state{};
  state.running = true;
  state.mainMenu.itemCount = 2;
  state.mainMenu.highlightedItem = 1;
  state.mainMenu.texts[0] = "Z4K DIVOVOD";
  state.mainMenu.texts[1] = "Create new";
  state.mainMenu.texts[2] = "Quit";
  return state;
}

void releaseSlots(DriverState& state) {
  for (PictureSlot* slot : {&state.episodeSlot, &state.titleSlot, &state.lowtitleSlot}) {
    if (slot->image.compressedData != nullptr) releaseImportedImage(slot->image);
  }
}

DialogueEnd runCreationDialogue(DriverState& state) {
  EpisodeAnswers& answers = state.answers;
  forgetEndOfInput();
  AnswerSource source = standardInput();
  std::memset(answers.episodeName, 0, sizeof answers.episodeName);
  std::memset(answers.startLevel, 0, sizeof answers.startLevel);
  clearScreen();
  std::cout << "Let's create a z4k file!!!\n";
  const ImportOptions& options = state.importOptions;
  const bool imported =
      importIntoSlot(source, state.episodeSlot,
                     "Enter the filename of the episode image and press enter:\n", options) &&
      importIntoSlot(source, state.titleSlot,
                     "Enter the filename of the title image and press enter:\n", options) &&
      importIntoSlot(source, state.lowtitleSlot,
                     "Enter the filename of the lowtitle image and press enter:\n", options);
  const bool written = imported && writeAndReport(state, source);
  // After a failure, what was typed ahead (the rest of a pasted name, say) was meant for the
  // questions that are no longer asked: it must not choose in the menu.
  if (!written) discardTypedKeys();
  // Said after every end of the dialogue, so the key press it waits for is never a surprise.
  std::cout << "Press any button to continue\n";
  return waitForAnyKey() ? DialogueEnd::Returned : DialogueEnd::KeyboardLost;
}

int runMainLoop(DriverState& state) {
  // Before the first screen effect: a terminal that takes no escape sequence gets none.
  if (!screenCanBeDrawn()) {
    releaseSlots(state);
    std::cerr << "divovod: this terminal (TERM=dumb) cannot show the menu; "
                 "divovod build needs none (see divovod build --help)\n";
    return 1;
  }
  // Before the first screen effect, so that a redirected standard output gets nothing.
  if (!consoleKeyboardPresent()) return reportNoKeyboard(state);
  while (state.running) {
    clearScreen();
    std::int16_t choice = runMenu(state.mainMenu, 3, 3);
    if (choice == kMenuNoKeyboard) return reportNoKeyboard(state);
    if (choice == 1 && runCreationDialogue(state) == DialogueEnd::KeyboardLost) {
      return reportNoKeyboard(state);
    }
    if (choice == 2) state.running = false;
  }
  releaseSlots(state);
  return 0;
}
