// The console on a POSIX terminal.
//
// Every escape sequence this file sends, all of them on standard output, in order with the text
// written through std::cout, and only while standard output is a terminal (redirected to a file
// or a pipe, standard output gets the text alone, as a Windows console function has no effect on
// a redirected handle):
//
//   ESC [ ? 1049 h         before the first of the others: the alternate screen, which has no
//                          scrollback, so the user's screen and history are left alone
//   ESC [ 0 ; fg ; bg m    setColors: plain attributes, foreground 30-37 or bright 90-97,
//                          background 40-47 or bright 100-107 (console numbers turned into ANSI
//                          ones: the console has blue in bit 0 and red in bit 2, ANSI the reverse)
//   ESC [ 2 J              clearScreen: blank the screen in the current background colour
//   ESC [ H                  and put the cursor at column 1, row 1 (never ESC [ 3 J, which
//                            would wipe the user's scrollback)
//   ESC [ row ; column H   moveCursor
//   ESC [ 4 SP q           moveCursor, once: a steady underline cursor (DECSCUSR), the thin
//                          cursor of the console
//   ESC [ 0 m              giving the terminal back: default colours,
//   ESC [ 0 SP q             the user's own cursor shape,
//   ESC [ ? 25 h             a visible cursor,
//   ESC [ ? 1049 l           and the user's own screen, cursor where it was (at exit, on a
//                            terminating signal and on a stop; a continue switches back)
//
// Keys are read from the controlling terminal, /dev/tty, never from standard input, which may be
// a file of answers. The terminal is in raw mode (no echo, no line editing) only while a key is
// being read; answers typed ahead wait in the cooked line, untouched, for the next answer read.
//
// A change of the window's size (SIGWINCH) ends a readKeyOrResize wait, so the menu is redrawn at
// once. While a line editor reads an answer (answerReadingBegins to answerReadingEnds), the
// terminal's settings from before the answer are what a terminating signal gives back, and a stop
// takes the editor's own modes up again on continuing.

#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "console.h"
#include "key_decoder.h"

namespace {

constexpr char kRestoreSequence[] = "\x1b[0m\x1b[0 q\x1b[?25h";
constexpr char kEnterAlternateScreen[] = "\x1b[?1049h";
constexpr char kLeaveAlternateScreen[] = "\x1b[?1049l";

// Shared with the signal handlers, which may run between any two statements of the rest.
volatile sig_atomic_t rawModeOn = 0;
volatile sig_atomic_t readingKeys = 0;      // inside a key read: SIGCONT must bring raw mode back
volatile sig_atomic_t screenChanged = 0;    // an escape went out: the exit must undo it
volatile sig_atomic_t cursorShapeSent = 0;  // given back on every restore, so sent again after
volatile sig_atomic_t alternateScreenOn = 0;
volatile sig_atomic_t answerBeingRead = 0;  // a line editor has the terminal's modes
volatile sig_atomic_t screenResized = 0;
int keyboardFd = -1;
termios cookedSettings;  // what raw mode replaced; written only with the signals below blocked
termios answerSettings;  // what the line editor found; written only with those signals blocked

// Everything else belongs to the program's one thread.
bool outputIsTerminal = false;
bool keyboardGone = false;
KeyDecoder decoder;
int pendingCodes[kMaxDecodedCodes];
int pendingFirst = 0;
int pendingCount = 0;
bool colorsSet = false;
char currentColors[32];  // the last setColors as sent, for clearScreen to blank in

constexpr int kTerminalSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT};

// --- Terminal modes: safe both in signal handlers and in the rest of the program. ---

void writeAll(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void enterRawMode() {
  if (rawModeOn || keyboardFd < 0) return;
  if (tcgetattr(keyboardFd, &cookedSettings) != 0) return;
  termios raw = cookedSettings;
  // ISIG stays, so Ctrl-C still interrupts. ICRNL stays too: an Enter typed ahead for the next
  // answer must still end its line as a newline once the line discipline is cooked again.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // Never TCSAFLUSH: it would throw away what the user typed ahead. Not TCSADRAIN either: a
  // terminal whose reader has stopped reading would block us for good.
  if (tcsetattr(keyboardFd, TCSANOW, &raw) == 0) rawModeOn = 1;
}

void leaveRawMode() {
  if (!rawModeOn) return;
  tcsetattr(keyboardFd, TCSANOW, &cookedSettings);
  rawModeOn = 0;
}

void giveTerminalBack() {
  leaveRawMode();
  if (answerBeingRead) tcsetattr(STDIN_FILENO, TCSANOW, &answerSettings);
  if (screenChanged) {
    writeAll(kRestoreSequence, sizeof kRestoreSequence - 1);
    screenChanged = 0;
    cursorShapeSent = 0;
  }
  if (alternateScreenOn) {
    writeAll(kLeaveAlternateScreen, sizeof kLeaveAlternateScreen - 1);
    alternateScreenOn = 0;
  }
}

// --- Signals. ---

void setSignalAction(int signalNumber, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (int other : kTerminalSignals) sigaddset(&action.sa_mask, other);
  // A Ctrl-Z during an answer must not make the std::cin read fail with EINTR.
  action.sa_flags = SA_RESTART;
  sigaction(signalNumber, &action, nullptr);
}

void onTerminatingSignal(int signalNumber) {
  giveTerminalBack();
  setSignalAction(signalNumber, SIG_DFL);
  raise(signalNumber);  // blocked until this handler returns, then kills us by the same signal
}

void onStopSignal(int signalNumber) {
  const int savedErrno = errno;
  const bool onAlternateScreen = alternateScreenOn != 0;
  // The line editor's modes, to be taken up again where the user left off.
  termios editing;
  const bool editingSaved = answerBeingRead && tcgetattr(STDIN_FILENO, &editing) == 0;
  giveTerminalBack();
  setSignalAction(signalNumber, SIG_DFL);
  sigset_t stopOnly;
  sigemptyset(&stopOnly);
  sigaddset(&stopOnly, signalNumber);
  sigprocmask(SIG_UNBLOCK, &stopOnly, nullptr);
  raise(signalNumber);  // stops here; the kernel ignores it in an orphaned process group
  setSignalAction(signalNumber, onStopSignal);
  // Back on the program's own screen, blank until the next drawing, so that what the program
  // writes next does not stay behind on the user's screen.
  if (onAlternateScreen) {
    writeAll(kEnterAlternateScreen, sizeof kEnterAlternateScreen - 1);
    alternateScreenOn = 1;
  }
  if (readingKeys) enterRawMode();
  if (editingSaved) tcsetattr(STDIN_FILENO, TCSANOW, &editing);
  errno = savedErrno;
}

void onResizeSignal(int) { screenResized = 1; }

void onContinueSignal(int) {
  const int savedErrno = errno;
  if (readingKeys) enterRawMode();
  errno = savedErrno;
}

void installSignalHandlers() {
  for (int signalNumber : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP}) {
    struct sigaction previous;
    sigaction(signalNumber, nullptr, &previous);
    if (previous.sa_handler == SIG_IGN) continue;  // e.g. nohup: the parent wants it ignored
    setSignalAction(signalNumber, signalNumber == SIGTSTP ? onStopSignal : onTerminatingSignal);
  }
  setSignalAction(SIGCONT, onContinueSignal);
  setSignalAction(SIGWINCH, onResizeSignal);
}

// Keeps the handlers out while the mode and its flag change together.
struct SignalBlock {
  sigset_t previous;
};

SignalBlock blockTerminalSignals() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signalNumber : kTerminalSignals) sigaddset(&blocked, signalNumber);
  SignalBlock block;
  sigprocmask(SIG_BLOCK, &blocked, &block.previous);
  return block;
}

void unblockTerminalSignals(const SignalBlock& block) {
  sigprocmask(SIG_SETMASK, &block.previous, nullptr);
}

// --- Output. ---

void flushOutput() {
  std::cout.flush();
  std::fflush(stdout);
}

void restoreAtExit() { restoreConsole(); }

// Runs before the first effect on the terminal. stdout gets a buffer large enough for a whole
// menu, so a redraw leaves in one write() when the next key read flushes it, with no flicker.
void prepareConsole() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  static char outputBuffer[1 << 16];
  flushOutput();
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
  outputIsTerminal = isatty(STDOUT_FILENO) == 1;
  std::atexit(restoreAtExit);
  installSignalHandlers();
}

void sendEscape(const char* sequence) {
  if (!alternateScreenOn) {
    alternateScreenOn = 1;
    std::cout << kEnterAlternateScreen;
  }
  screenChanged = 1;
  std::cout << sequence;
}

// Console colour numbers to ANSI ones: the console has blue in bit 0 and red in bit 2.
int ansiColor(int consoleColor) {
  const int blue = consoleColor & 1;
  const int green = consoleColor & 2;
  const int red = (consoleColor >> 2) & 1;
  return red | green | (blue << 2);
}

// --- Keyboard. ---

bool openKeyboard() {
  if (keyboardFd >= 0) return true;
  if (keyboardGone) return false;
  keyboardFd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (keyboardFd < 0) keyboardGone = true;
  return keyboardFd >= 0;
}

void queueCodes(const DecodedKeys& keys) {
  for (int i = 0; i < keys.count; ++i) {
    pendingCodes[(pendingFirst + pendingCount++) % kMaxDecodedCodes] = keys.codes[i];
  }
}

int takeCode() {
  const int code = pendingCodes[pendingFirst];
  pendingFirst = (pendingFirst + 1) % kMaxDecodedCodes;
  --pendingCount;
  return code;
}

long long monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One byte at a time: a key read must not swallow the bytes after the key, which may be the
// answer to the next question typed ahead.
void readOneByte() {
  unsigned char byte = 0;
  const ssize_t got = read(keyboardFd, &byte, 1);
  if (got == 1) {
    queueCodes(decodeKeyByte(decoder, byte));
  } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
    keyboardGone = true;  // hung up: end of file or EIO
  }
}

// 1 when a byte (or the hang-up that read() will report) is waiting, 0 when the time ran out,
// -1 on an error, errno set. select() rather than poll(): macOS's poll() does not support
// devices and answers POLLNVAL for a terminal; select() works on every POSIX system.
// `duringWait` is the signal mask while it waits: a resize is let in only there, so one that
// comes just before the wait is not missed until the next key.
int awaitKeyboard(int timeoutMs, const sigset_t* duringWait = nullptr) {
  if (keyboardFd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(keyboardFd, &readable);
  timespec timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
  return pselect(keyboardFd + 1, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &timeout,
                 duringWait);
}

// Blocks in select(), never spins. While a sequence is unfinished it waits only as long as the
// decoder allows before silence makes a lone ESC the Escape key.
void awaitAndDecode(const sigset_t* duringWait) {
  const int timeoutMs = silenceTimeoutMs(decoder);
  const long long start = monotonicMs();
  const int ready = awaitKeyboard(timeoutMs, duringWait);
  if (ready == 0) {
    queueCodes(decodeSilence(decoder, timeoutMs));
  } else if (ready < 0) {
    if (errno != EINTR) {
      keyboardGone = true;
    } else if (timeoutMs >= 0) {
      queueCodes(decodeSilence(decoder, static_cast<int>(monotonicMs() - start)));
    }
  } else {
    readOneByte();  // a hang-up shows here as end of file or EIO
  }
}

enum class KeyWait { kKey, kResized, kNone };

// Makes sure a key code is waiting, reading one key press if none is. With `resizeEnds`, a change
// of the terminal's size ends the wait too (a resize before the call counts). The resize signal
// is blocked except inside the wait itself, so the flag and the wait cannot miss each other.
KeyWait fillPendingCodes(bool resizeEnds) {
  prepareConsole();
  flushOutput();
  if (pendingCount > 0) return KeyWait::kKey;
  if (!openKeyboard()) return KeyWait::kNone;
  sigset_t resize;
  sigemptyset(&resize);
  sigaddset(&resize, SIGWINCH);
  sigset_t duringWait;
  sigprocmask(SIG_BLOCK, &resize, &duringWait);
  sigdelset(&duringWait, SIGWINCH);
  SignalBlock block = blockTerminalSignals();
  readingKeys = 1;
  enterRawMode();
  unblockTerminalSignals(block);
  while (pendingCount == 0 && !keyboardGone && !(resizeEnds && screenResized)) {
    awaitAndDecode(&duringWait);
  }
  const bool resized = resizeEnds && screenResized && pendingCount == 0;
  if (resized) screenResized = 0;
  sigprocmask(SIG_UNBLOCK, &resize, nullptr);
  block = blockTerminalSignals();
  readingKeys = 0;
  leaveRawMode();
  unblockTerminalSignals(block);
  if (pendingCount > 0) return KeyWait::kKey;
  return resized ? KeyWait::kResized : KeyWait::kNone;
}

// The user's locale decides what the terminal decodes: LANG=C (a bare container, ssh without a
// locale, cron) means ASCII, and code page 437 bytes would show there as stray letters.
FrameEncoding localeFrameEncoding() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string previous = current != nullptr ? current : "C";
  std::setlocale(LC_CTYPE, "");
  const std::string codeset = nl_langinfo(CODESET);
  // The rest of the program keeps the locale it had; only the answer was wanted.
  std::setlocale(LC_CTYPE, previous.c_str());
  if (codeset == "UTF-8" || codeset == "utf8") return FrameEncoding::kUtf8;
  if (codeset == "IBM437" || codeset == "CP437" || codeset == "cp437") {
    return FrameEncoding::kCodePage437;
  }
  return FrameEncoding::kAscii;
}

}  // namespace

void clearScreen() {
  prepareConsole();
  if (!outputIsTerminal) return;
  if (colorsSet) sendEscape(currentColors);
  sendEscape("\x1b[2J\x1b[H");
}

void setColors(std::int8_t background, std::int8_t foreground) {
  prepareConsole();
  if (!outputIsTerminal) return;
  const int attribute = (background * 16 + foreground) & 0xFF;
  const int consoleForeground = attribute & 0x0F;
  const int consoleBackground = attribute >> 4;
  const int foregroundSgr = (consoleForeground & 8 ? 90 : 30) + ansiColor(consoleForeground);
  const int backgroundSgr = (consoleBackground & 8 ? 100 : 40) + ansiColor(consoleBackground);
  std::snprintf(currentColors, sizeof currentColors, "\x1b[0;%d;%dm", foregroundSgr, backgroundSgr);
  colorsSet = true;
  sendEscape(currentColors);
}

void moveCursor(std::int32_t column, std::int32_t row) {
  prepareConsole();
  if (!outputIsTerminal) return;
  if (!cursorShapeSent) {
    sendEscape("\x1b[4 q");
    cursorShapeSent = 1;
  }
  // A terminal has no cell before the first; the console would refuse such a position too.
  if (column < 1 || row < 1) return;
  char sequence[32];
  std::snprintf(sequence, sizeof sequence, "\x1b[%ld;%ldH", static_cast<long>(row),
                static_cast<long>(column));
  sendEscape(sequence);
}

bool keyWaiting() {
  prepareConsole();
  if (pendingCount > 0) return true;
  if (!openKeyboard()) return false;
  // Only raw mode shows single key presses; the cooked line holds them back until Enter.
  SignalBlock block = blockTerminalSignals();
  enterRawMode();
  const bool waiting = awaitKeyboard(0) > 0;
  leaveRawMode();
  unblockTerminalSignals(block);
  return waiting;
}

bool waitForKey() { return fillPendingCodes(false) == KeyWait::kKey; }

void discardTypedKeys() {
  prepareConsole();
  pendingCount = 0;
  decoder = KeyDecoder{};
  if (openKeyboard()) tcflush(keyboardFd, TCIFLUSH);
}

int readKey() { return fillPendingCodes(false) == KeyWait::kKey ? takeCode() : kNoKeyboard; }

int readKeyOrResize() {
  switch (fillPendingCodes(true)) {
    case KeyWait::kKey:
      return takeCode();
    case KeyWait::kResized:
      return kScreenResized;
    case KeyWait::kNone:
      break;
  }
  return kNoKeyboard;
}

bool screenSize(std::int32_t& columns, std::int32_t& rows) {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    return false;
  }
  columns = size.ws_col;
  rows = size.ws_row;
  return true;
}

bool screenCanBeDrawn() {
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void answerReadingBegins() {
  prepareConsole();
  const SignalBlock block = blockTerminalSignals();
  if (tcgetattr(STDIN_FILENO, &answerSettings) == 0) answerBeingRead = 1;
  unblockTerminalSignals(block);
}

void answerReadingEnds() {
  const SignalBlock block = blockTerminalSignals();
  answerBeingRead = 0;
  unblockTerminalSignals(block);
}

bool consoleKeyboardPresent() { return openKeyboard(); }

FrameEncoding frameEncoding() {
  static const FrameEncoding encoding = localeFrameEncoding();
  return encoding;
}

void restoreConsole() {
  flushOutput();
  const SignalBlock block = blockTerminalSignals();
  giveTerminalBack();
  unblockTerminalSignals(block);
}
