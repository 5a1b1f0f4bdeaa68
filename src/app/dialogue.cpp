#include "dialogue.h"

#include <cstdio>
#include <cstring>
#include <iostream>

#include "answer_reading.h"
#include "console.h"
#include "import_messages.h"
#include "typed_name.h"

namespace {

// One whole key press: the second code of a two-code key (an arrow, a function key) is read here
// too, so it cannot reach the menu that comes next.
bool waitForAnyKey() {
  int key = readKey();
  if (key == 0 || key == 224) key = readKey();
  return key != kNoKeyboard;
}

// Ctrl-D at a terminal ends the answers of one dialogue, not of the run; a file of answers that
// has ended simply ends again at the first read. std::cin reads through C's stdin, and both keep
// an end-of-file mark.
void forgetEndOfInput() {
  if (std::cin.bad()) return;
  std::cin.clear();
  std::clearerr(stdin);
}

bool importIntoSlot(PictureSlot& slot, const char* prompt, const ImportOptions& options) {
  std::cout << prompt;
  slot.fileName = pathFromTypedName(readNameAnswer(std::cin));
  ImportedImage image{};
  const ImportOutcome outcome = importPicture(slot.fileName.c_str(), options, image);
  if (const char* line = dialogueLine(outcome)) std::cout << line;
  if (!outcome.ok()) return false;
  if (slot.image.compressedData != nullptr) releaseImportedImage(slot.image);
  slot.image = image;
  slot.identified = identifyFile(slot.fileName.c_str(), slot.identity);
  return true;
}

FileIdentities pictureFiles(const DriverState& state) {
  FileIdentities files;
  for (const PictureSlot* slot : {&state.episodeSlot, &state.titleSlot, &state.lowtitleSlot}) {
    if (slot->identified) files.push_back(slot->identity);
  }
  return files;
}

void readMetadata(EpisodeAnswers& answers) {
  std::cout << "OK, enter the number of the place you want the episode\n"
               "to appear on in the episode list:\n";
  answers.listPosition = readListPosition(std::cin, std::cout);
  std::cout << "Now enter the name of the episode(use the wbx text rules):\n";
  readTextAnswer(std::cin, answers.episodeName, sizeof answers.episodeName);
  std::cout << "Enter the filename of the start level:\n";
  readTextAnswer(std::cin, answers.startLevel, sizeof answers.startLevel);
  std::cout << "And finally enter the episode filename!:\n";
  answers.outputFileName = pathFromTypedName(readNameAnswer(std::cin));
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
  std::memset(answers.episodeName, 0, sizeof answers.episodeName);
  std::memset(answers.startLevel, 0, sizeof answers.startLevel);
  clearScreen();
  std::cout << "Let's create a z4k file!!!\n";
  const ImportOptions& options = state.importOptions;
  bool imported =
      importIntoSlot(state.episodeSlot,
                     "Enter the filename of the episode image and press enter:\n", options) &&
      importIntoSlot(state.titleSlot, "Enter the filename of the title image and press enter:\n",
                     options) &&
      importIntoSlot(state.lowtitleSlot,
                     "Enter the filename of the lowtitle image and press enter:\n", options);
  if (imported) {
    readMetadata(answers);
    if (writeEpisodeFile(answers, state.episodeSlot.image, state.titleSlot.image,
                         state.lowtitleSlot.image, pictureFiles(state))) {
      std::cout << "DONE!!!\nPress any button to continue\n";
    } else {
      std::cout << "Couldn't write file\n";
    }
  }
  return waitForAnyKey() ? DialogueEnd::Returned : DialogueEnd::KeyboardLost;
}

int runMainLoop(DriverState& state) {
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
