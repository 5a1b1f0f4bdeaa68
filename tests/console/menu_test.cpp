#include "menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory_console.h"

namespace {

const KeyPress kEnter{13};
const KeyPress kUp{224, 72};
const KeyPress kDown{224, 80};
const KeyPress kKeypadUp{0, 72};  // Num Lock off
const KeyPress kKeypadDown{0, 80};
const KeyPress kLetterH{'H'};
const KeyPress kLetterP{'P'};
// Keys the menu ignores.
const KeyPress kEscape{27};
const KeyPress kLeft{224, 75};
const KeyPress kRight{224, 77};
const KeyPress kHome{224, 71};
const KeyPress kF1{0, 59};
const KeyPress kLowerP{'p'};
const KeyPress kLetterX{'x'};

constexpr std::uint8_t kNormal = 0x07;
constexpr std::uint8_t kHighlight = 0x1F;

MenuDescriptor mainMenu() { return MenuDescriptor{2, 1, {"Z4K DIVOVOD", "Create new", "Quit"}}; }

// Cells written outside the rectangle from (left, top) to (right, bottom), as "column,row".
std::vector<std::string> cellsWrittenOutside(const MemoryScreen& screen, int left, int top,
                                             int right, int bottom) {
  std::vector<std::string> outside;
  for (int row = 1; row <= MemoryScreen::kRows; ++row) {
    for (int column = 1; column <= MemoryScreen::kColumns; ++column) {
      const bool inside = column >= left && column <= right && row >= top && row <= bottom;
      if (!inside && !cellAt(screen, column, row).glyph.empty()) {
        outside.push_back(std::to_string(column) + "," + std::to_string(row));
      }
    }
  }
  return outside;
}

// The item whose text shows in the highlight colours, 0 when none does.
int shownHighlight(const MemoryScreen& screen, const MenuDescriptor& menu, int column, int row) {
  for (int item = 1; item <= menu.itemCount; ++item) {
    if (cellAt(screen, column + 1, row + 2 + item).attribute == kHighlight) return item;
  }
  return 0;
}

struct FrameCase {
  const char* name;
  FrameEncoding encoding;
  std::vector<std::string> rows;  // rows 3 to 8 from column 3, as the console shows them
};

void PrintTo(const FrameCase& test, std::ostream* out) { *out << test.name; }

class MainMenuCells : public testing::TestWithParam<FrameCase> {};

TEST_P(MainMenuCells, FrameTitleAndItemsLandInTheirCellsAndColours) {
  MemoryConsoleSession session({kEnter}, GetParam().encoding);

  EXPECT_EQ(runMenu(mainMenu(), 3, 3), 1);

  ASSERT_EQ(memoryConsole().screensAtKeyPresses.size(), 1u);
  const MemoryScreen& screen = memoryConsole().screensAtKeyPresses[0];
  for (int i = 0; i < 6; ++i) EXPECT_EQ(textAt(screen, 3, 3 + i, 22), GetParam().rows[i]) << i;
  EXPECT_EQ(cellsWrittenOutside(screen, 3, 3, 24, 8), std::vector<std::string>{});

  // Only the characters of the highlighted item take the highlight; all else is normal.
  for (int row = 3; row <= 8; ++row) {
    for (int column = 3; column <= 24; ++column) {
      const Cell& cell = cellAt(screen, column, row);
      if (cell.glyph.empty()) continue;
      const bool highlighted = row == 6 && column >= 4 && column <= 13;
      EXPECT_EQ(cell.attribute, highlighted ? kHighlight : kNormal) << column << "," << row;
    }
  }
}

// Inside the frame nothing but the texts is written ("·" marks a cell never written). Code page
// 437 and UTF-8 show the same double lines; ASCII takes their place cell for cell.
const std::vector<std::string> kDoubleLineRows = {
    "╔════════════════════╗",  // row 3
    "║Z4K DIVOVOD·········║",  //
    "╠════════════════════╣",  //
    "║Create new··········║",  //
    "║Quit················║",  //
    "╚════════════════════╝",  // row 8
};

INSTANTIATE_TEST_SUITE_P(
    EveryFrameEncoding, MainMenuCells,
    testing::Values(FrameCase{"CodePage437", FrameEncoding::kCodePage437, kDoubleLineRows},
                    FrameCase{"Utf8", FrameEncoding::kUtf8, kDoubleLineRows},
                    FrameCase{"Ascii",
                              FrameEncoding::kAscii,
                              {"+====================+", "|Z4K DIVOVOD·········|",
                               "+====================+", "|Create new··········|",
                               "|Quit················|", "+====================+"}}),
    [](const testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

TEST(Menu, EmptyMenuIsFourRowsAndEnterReturnsTheHighlightUnchanged) {
  MemoryConsoleSession session({kDown, kEnter}, FrameEncoding::kUtf8);
  const MenuDescriptor empty{0, 1, {"Nothing"}};

  EXPECT_EQ(runMenu(empty, 5, 2), 1);

  const MemoryScreen& screen = memoryConsole().screensAtKeyPresses.back();
  EXPECT_EQ(textAt(screen, 5, 2, 22), "╔════════════════════╗");
  EXPECT_EQ(textAt(screen, 5, 3, 22), "║Nothing·············║");
  EXPECT_EQ(textAt(screen, 5, 4, 22), "╠════════════════════╣");
  EXPECT_EQ(textAt(screen, 5, 5, 22), "╚════════════════════╝");
  EXPECT_EQ(cellsWrittenOutside(screen, 5, 2, 26, 5), std::vector<std::string>{});
}

TEST(Menu, TextLongerThanTheFrameRunsOverTheRightSide) {
  MemoryConsoleSession session({kEnter}, FrameEncoding::kCodePage437);
  const MenuDescriptor menu{1, 1, {"Title", "An item of 25 characters!"}};

  runMenu(menu, 1, 1);

  const MemoryScreen& screen = memoryConsole().screensAtKeyPresses.back();
  EXPECT_EQ(textAt(screen, 1, 4, 27), "║An item of 25 characters!·");
  EXPECT_EQ(textAt(screen, 1, 5, 23), "╚════════════════════╝·");
}

TEST(Menu, NormalColoursAreInForceAfterTheMenuReturns) {
  MemoryConsoleSession session({kDown, kEnter}, FrameEncoding::kCodePage437);

  EXPECT_EQ(runMenu(mainMenu(), 3, 3), 2);  // the last item, drawn last, was highlighted

  EXPECT_EQ(memoryConsole().screen.attribute, kNormal);
}

struct NavigationCase {
  const char* name;
  std::int16_t itemCount;
  std::int16_t startHighlight;
  std::vector<KeyPress> keys;
  std::vector<int> highlightShownAtEachKey;  // 0: no item highlighted
  std::int16_t chosen;
};

void PrintTo(const NavigationCase& test, std::ostream* out) { *out << test.name; }

class MenuNavigation : public testing::TestWithParam<NavigationCase> {};

TEST_P(MenuNavigation, KeysMoveTheHighlightAndEveryKeyRedrawsTheMenu) {
  const NavigationCase& test = GetParam();
  MemoryConsoleSession session(test.keys, FrameEncoding::kCodePage437);
  const MenuDescriptor menu{test.itemCount, test.startHighlight, {"Title", "One", "Two", "Three"}};

  EXPECT_EQ(runMenu(menu, 3, 3), test.chosen);

  std::vector<int> shown;
  for (const MemoryScreen& screen : memoryConsole().screensAtKeyPresses) {
    EXPECT_EQ(textAt(screen, 3, 4, 7), "║Title·") << "the whole menu is drawn before each key";
    shown.push_back(shownHighlight(screen, menu, 3, 3));
  }
  EXPECT_EQ(shown, test.highlightShownAtEachKey);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MenuNavigation,
    testing::Values(
        NavigationCase{"EnterAtOnce", 2, 1, {kEnter}, {1}, 1},
        NavigationCase{"DownThenEnter", 2, 1, {kDown, kEnter}, {1, 2}, 2},
        NavigationCase{"DownStopsAtTheLastItem", 3, 2, {kDown, kDown, kEnter}, {2, 3, 3}, 3},
        NavigationCase{"UpStopsAtTheFirstItem", 3, 2, {kUp, kUp, kEnter}, {2, 1, 1}, 1},
        NavigationCase{"LettersHAndPShareTheArrowCodes",
                       3,
                       1,
                       {kLetterP, kLetterP, kLetterH, kEnter},
                       {1, 2, 3, 2},
                       2},
        NavigationCase{"KeypadArrowsWithPrefixZero",
                       3,
                       1,
                       {kKeypadDown, kKeypadDown, kKeypadUp, kEnter},
                       {1, 2, 3, 2},
                       2},
        NavigationCase{"OtherKeysChangeNothingButRedraw",
                       3,
                       2,
                       {kEscape, kLeft, kRight, kHome, kF1, kLowerP, kLetterX, kEnter},
                       {2, 2, 2, 2, 2, 2, 2, 2},
                       2},
        NavigationCase{"HighlightAboveTheItemsComesDownStepByStep",
                       2,
                       4,
                       {kDown, kUp, kUp, kUp, kEnter},
                       {0, 0, 0, 2, 1},
                       1},
        NavigationCase{"HighlightAboveTheItemsIsReturnedAsItIs", 2, 5, {kEnter}, {0}, 5},
        NavigationCase{"HighlightBelowOneComesUpStepByStep",
                       2,
                       -1,
                       {kUp, kDown, kDown, kEnter},
                       {0, 0, 0, 1},
                       1},
        NavigationCase{"NoKeyboard", 2, 1, {}, {1}, kMenuNoKeyboard},
        NavigationCase{"KeyboardGoneAfterAKey", 2, 1, {kDown}, {1, 2}, kMenuNoKeyboard}),
    [](const testing::TestParamInfo<NavigationCase>& info) { return info.param.name; });

}  // namespace

namespace {

TEST(Menu, AResizeRedrawsItAndAScreenTooSmallShowsANoticeInstead) {
  const KeyPress kResized{kScreenResized};
  MemoryConsoleSession session({kDown, kResized, kEnter, kUp, kResized, kResized, kEnter},
                               FrameEncoding::kCodePage437);
  // One column short, then one row short, then exactly the frame: column 3 + 22 - 1, row 3 + 5.
  memoryConsole().sizesAtResizes = {{23, 8}, {24, 7}, {24, 8}};

  EXPECT_EQ(runMenu(mainMenu(), 3, 3), 2) << "keys on the notice neither move nor choose";

  const std::vector<MemoryScreen>& screens = memoryConsole().screensAtKeyPresses;
  ASSERT_EQ(screens.size(), 7u);
  const std::vector<bool> menuShown = {true, true, false, false, false, false, true};
  for (std::size_t i = 0; i < screens.size(); ++i) {
    if (menuShown[i]) {
      EXPECT_EQ(textAt(screens[i], 3, 4, 6), "║Z4K D") << "screen " << i;
      EXPECT_EQ(shownHighlight(screens[i], mainMenu(), 3, 3), i == 0 ? 1 : 2) << "screen " << i;
    } else {
      EXPECT_EQ(textAt(screens[i], 1, 1, 17), "Too small (24x8) ") << "screen " << i;
      for (int row = 2; row <= 9; ++row) {
        EXPECT_EQ(textAt(screens[i], 1, row, 24), std::string(24, ' '))
            << "the frame is gone: screen " << i << " row " << row;
      }
    }
  }
}

}  // namespace
