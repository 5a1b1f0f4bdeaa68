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
