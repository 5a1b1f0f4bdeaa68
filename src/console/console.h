// The console as the rest of the program sees it: three screen primitives, the keyboard and the
// text encoding of the frame glyphs. One backend per platform implements this header (the POSIX
// terminal backend or the Windows console backend, picked by the build); tests link a backend of
// their own that draws into memory.
//
// Text itself is written through std::cout. The primitives apply to the next character written
// there, so every backend keeps std::cout and its own effects in order, and everything written
// reaches the screen before a key is awaited (readKey, waitForKey flush first).
#pragma once

#include <cstdint>

// Blanks the program's screen in the current colours; cursor to column 1, row 1. On a POSIX
// terminal that screen is the alternate one, so the user's own screen and scrollback survive.
void clearScreen();

// Colours of the text written from now on, in the console's 16-colour numbering
// (bit 0 blue, bit 1 green, bit 2 red, bit 3 bright): 7 on 0 is normal text, 15 on 1 the highlight.
void setColors(std::int8_t background, std::int8_t foreground);

// Puts the cursor at a 1-based column and row; the cursor is thin (or hidden) from then on.
void moveCursor(std::int32_t column, std::int32_t row);

// readKey's answer when there is no console keyboard at all, or it has gone away.
constexpr int kNoKeyboard = -1;

// True when a console keyboard exists to read keys from. Writes nothing, so a program can ask
// before its first screen effect and leave a redirected standard output untouched.
bool consoleKeyboardPresent();

// True when a key press can be read at once; never waits.
bool keyWaiting();

// Blocks, without spinning, until a key press can be read. False when there is no keyboard.
bool waitForKey();

// Throws away every key typed and not yet read (a pasted line's rest, say), so that the next
// wait is for a key pressed from now on.
void discardTypedKeys();

// One key press without echo and without Enter, in the codes of the Windows console runtime:
// Enter 13; a key with no character code comes as two reads, a prefix (0 or 224) then its code
// (Up 224,72; Down 224,80; F1 0,59 ...). Blocks until a key comes; kNoKeyboard when none can.
int readKey();

// readKeyOrResize's answer when the screen changed size before a key came.
constexpr int kScreenResized = -2;

// As readKey, but it also returns, with kScreenResized, when the screen (the terminal window, the
// Windows console's buffer) changes size while it waits; what was drawn may then be garbled.
int readKeyOrResize();

// The size of the visible screen in character cells; false when it cannot be known.
bool screenSize(std::int32_t& columns, std::int32_t& rows);

// False when the terminal understands no escape sequence at all (TERM=dumb): nothing can be
// drawn there, and nothing is sent.
bool screenCanBeDrawn();

// Around the reading of one answer by a line editor, which changes the terminal's modes itself:
// if the program is ended meanwhile (Ctrl-C, Ctrl-\, a hang-up), the terminal gets back the
// settings it had at answerReadingBegins. Nothing to do on the Windows console.
void answerReadingBegins();
void answerReadingEnds();

// How the frame's line-drawing glyphs can be shown: as UTF-8, as code page 437 bytes, or not at
// all, when a plain ASCII frame (+ = |) of the same size takes their place.
enum class FrameEncoding { kUtf8, kCodePage437, kAscii };

FrameEncoding frameEncoding();

// Gives the terminal back as the program found it (modes, cursor, colours, the user's own screen
// on a POSIX terminal; on the Windows console the cursor goes to the start of the line below what
// was drawn). Harmless to call twice; the backends also call it at exit.
void restoreConsole();
