// Instruments of the console smoke program: they read the console's screen buffer back and put
// events into its input queue, straight through kernel32, beside the backend being checked.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Cell {
  wchar_t glyph;  // as the console shows it, whatever code page the text was written in
  WORD attribute;
};

HANDLE screenHandle();
CONSOLE_SCREEN_BUFFER_INFO screenInfo();
CONSOLE_CURSOR_INFO cursorInfo();

// `count` cells from a 0-based cell, row after row.
std::vector<Cell> readCells(COORD from, DWORD count);

// Every cell of the buffer gets this glyph and attribute; the cursor does not move.
void fillScreen(char glyph, WORD attribute);

INPUT_RECORD keyDown(WORD virtualKey, char character = 0, DWORD modifiers = 0);
INPUT_RECORD keyUp(WORD virtualKey, char character = 0, DWORD modifiers = 0);
INPUT_RECORD focusEvent();
INPUT_RECORD mouseMove();
INPUT_RECORD resizeEvent();

// Empties the input queue and waits until it stays empty, so that stray input (what a terminal
// sends when the session starts) cannot mix with the events a check writes.
void settleInput();

// Empties the input queue, then puts these events in it.
bool queueEvents(const std::vector<INPUT_RECORD>& events);

std::string hex(unsigned value);

constexpr int kGridColumns = 30;  // the corner of the screen that the main menu occupies, and
constexpr int kGridRows = 10;     // a margin of blank cells around it

using Grid = std::vector<Cell>;  // kGridRows rows of kGridColumns cells, row 1 first

// The main menu at column 3, row 3, as the console must show it, in any code page.
Grid expectedMainMenu(int highlightedItem);

// The top-left corner of the screen buffer, kGridColumns by kGridRows cells.
Grid screenGrid();

// The first few cells that differ, as "column,row: got glyph/attribute, want glyph/attribute";
// empty when none does.
std::string differences(const Grid& got, const Grid& want);
