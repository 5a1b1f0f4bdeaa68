// Drives the POSIX console backend for terminal_test, which runs it in a pseudo-terminal (or
// with none) and plays the user. What it does is chosen by its first argument:
//
//   keys N     draws a little, prints "ready", then reads N keys, printing "key CODE" for each,
//              then reads one answer line from standard input and prints "line:TEXT"
//   screen     a fixed series of screen primitives around the text "X" and "Y"
//   menu       the main menu; prints "chosen N"
//   no-keyboard  prints what the four keyboard functions report
//   frame-encoding  prints how the frame would be written in this locale: utf8, cp437 or ascii
//   hangup     ignores SIGHUP, prints "ready", reads one key: exit status 3 when the keyboard
//              is reported gone, 4 when a key came
#include <signal.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "console.h"
#include "menu.h"

namespace {

int readKeysThenLine(int keyCount) {
  setColors(1, 15);
  moveCursor(1, 1);
  std::cout << "ready" << std::endl;
  for (int i = 0; i < keyCount; ++i) {
    const int key = readKey();  // before "key " goes into the buffer that readKey flushes
    std::cout << "key " << key << std::endl;
  }
  std::string line;
  if (std::getline(std::cin, line)) {
    std::cout << "line:" << line << std::endl;
  } else {
    std::cout << "line failed" << std::endl;
  }
  return 0;
}

int drawScreen() {
  clearScreen();
  setColors(1, 15);
  std::cout << "X";
  moveCursor(3, 4);
  setColors(0, 7);
  clearScreen();
  std::cout << "Y\n";
  return 0;
}

int chooseFromMainMenu() {
  clearScreen();
  const MenuDescriptor mainMenu{2, 1, {"Z4K DIVOVOD", "Create new", "Quit"}};
  const std::int16_t chosen = runMenu(mainMenu, 3, 3);
  std::cout << "chosen " << chosen << std::endl;
  return 0;
}

int reportNoKeyboard() {
  const bool present = consoleKeyboardPresent();
  const int key = readKey();
  const bool waited = waitForKey();
  const bool waiting = keyWaiting();
  std::cout << "present " << present << " readKey " << key << " waitForKey " << waited
            << " keyWaiting " << waiting << std::endl;
  return 0;
}

int reportFrameEncoding() {
  switch (frameEncoding()) {
    case FrameEncoding::kUtf8:
      std::cout << "utf8\n";
      break;
    case FrameEncoding::kCodePage437:
      std::cout << "cp437\n";
      break;
    case FrameEncoding::kAscii:
      std::cout << "ascii\n";
      break;
  }
  return 0;
}

int readKeyThroughHangup() {
  signal(SIGHUP, SIG_IGN);
  std::cout << "ready" << std::endl;
  return readKey() == kNoKeyboard ? 3 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "keys" && argc > 2) return readKeysThenLine(std::atoi(argv[2]));
  if (mode == "screen") return drawScreen();
  if (mode == "menu") return chooseFromMainMenu();
  if (mode == "no-keyboard") return reportNoKeyboard();
  if (mode == "hangup") return readKeyThroughHangup();
  if (mode == "frame-encoding") return reportFrameEncoding();
  std::cerr << "terminal_probe: unknown mode\n";
  return 2;
}
