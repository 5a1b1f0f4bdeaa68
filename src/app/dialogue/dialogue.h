// The program's driver: the main menu loop and the creation dialogue that leads the user from
// three picture names to a written episode file.
#pragma once

#include <string>

#include "episode_file.h"
#include "file_identity.h"
#include "menu.h"
#include "picture_import.h"

// One picture of the episode: the name typed for it and the last image imported under it.
struct PictureSlot {
  std::string fileName;   // the path opened: the typed name, unquoted, as the libraries take it
  ImportedImage image;    // compressedData is null while the slot holds nothing
  FileIdentity identity;  // of the file imported, so the episode file is never written over it
  bool identified;
};

struct DriverState {
  bool running;
  MenuDescriptor mainMenu;
  PictureSlot episodeSlot;
  PictureSlot titleSlot;
  PictureSlot lowtitleSlot;
  EpisodeAnswers answers;
  ImportOptions importOptions;  // the game's palette and how pictures are mapped onto it
  std::string paletteFile;      // where that palette came from, never written over; "" for none
  std::string settingsFile;     // the config file, never written over either; "" for none
};

enum class DialogueEnd { Returned, KeyboardLost };

// Starts with the main menu filled in and the slots empty.
DriverState startingState();

// Runs the menu until "Quit"; returns the exit status (1 when there is no console keyboard).
int runMainLoop(DriverState& state);

DialogueEnd runCreationDialogue(DriverState& state);

// Gives back every compressed block the slots hold.
void releaseSlots(DriverState& state);
