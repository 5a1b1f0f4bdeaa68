// The POSIX backend against a real pseudo-terminal. terminal_probe runs as the foreground job of
// a session whose controlling terminal is the pty, as under a shell; the test types into the
// master side and watches the terminal's settings through the slave. Every wait is bounded, so a
// broken backend fails the test instead of hanging it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kPatience{10};  // only ever used up when something is broken

// Colours, cursor shape, a visible cursor, then the user's own screen.
const std::string kGiveBack = "\x1b[0m\x1b[0 q\x1b[?25h\x1b[?1049l";
const std::string kAlternateScreen = "\x1b[?1049h";

struct TerminalJob {
  pid_t session = -1;  // session leader of the pty, in the place of a shell
  pid_t probe = -1;    // the probe: a foreground job in a process group of its own
  int master = -1;
  int slave = -1;    // kept open here to read the terminal's settings at any time
  int reports = -1;  // the session's news: "probe PID", "stopped"
  termios initial{};
  std::string output;  // everything the probe wrote to the terminal
  std::string reported;
};

void writeText(int fd, const std::string& text) {
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(126);
}

// The probe's locale: LANG alone decides it.
void setLocale(const char* lang) {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANGUAGE"}) unsetenv(name);
  setenv("LANG", lang, 1);
}

// Runs in the forked session leader; never returns.
[[noreturn]] void runSession(int slave, int reports, const std::vector<std::string>& arguments,
                             const char* lang) {
  setsid();
  ioctl(slave, TIOCSCTTY, 0);
  for (int fd = 0; fd <= 2; ++fd) dup2(slave, fd);
  if (slave > 2) close(slave);
  const pid_t probe = fork();
  if (probe == 0) {
    close(reports);
    setLocale(lang);
    const rlimit noCore{0, 0};  // a probe killed by SIGQUIT leaves no core file behind
    setrlimit(RLIMIT_CORE, &noCore);
    setpgid(0, 0);
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, nullptr);
    tcsetpgrp(0, getpid());  // the foreground job, as a shell makes it
    sigprocmask(SIG_UNBLOCK, &ttou, nullptr);
    std::vector<char*> argv;
    std::string program = TERMINAL_PROBE;
    argv.push_back(program.data());
    std::vector<std::string> copies = arguments;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  setpgid(probe, probe);
  signal(SIGHUP, SIG_IGN);  // outlive a hang-up, to pass on how the probe ended
  writeText(reports, "probe " + std::to_string(probe) + "\n");
  for (;;) {
    int status = 0;
    if (waitpid(probe, &status, WUNTRACED) < 0) _exit(125);
    if (WIFSTOPPED(status)) writeText(reports, "stopped\n");
    if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) _exit(128 + WTERMSIG(status));
  }
}

void drain(int fd, std::string& into) {
  char buffer[4096];
  pollfd ready{fd, POLLIN, 0};
  while (fd >= 0 && poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return;
    into.append(buffer, static_cast<std::size_t>(got));
  }
}

void drainAll(TerminalJob& job) {
  drain(job.master, job.output);
  drain(job.reports, job.reported);
}

template <typename Condition>
bool waitUntil(TerminalJob& job, Condition condition) {
  const Clock::time_point deadline = Clock::now() + kPatience;
  for (;;) {
    drainAll(job);
    if (condition()) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool waitForOutput(TerminalJob& job, const std::string& text) {
  return waitUntil(job, [&] { return job.output.find(text) != std::string::npos; });
}

bool inRawMode(const TerminalJob& job) {
  termios now{};
  tcgetattr(job.slave, &now);
  return (now.c_lflag & ICANON) == 0;
}

bool waitForRawMode(TerminalJob& job) {
  return waitUntil(job, [&] { return inRawMode(job); });
}

// The session's exit status (the probe's, or 128 + the signal that ended it); -1 on timeout.
int waitForExit(TerminalJob& job) {
  int status = -1;
  const bool ended = waitUntil(job, [&] { return waitpid(job.session, &status, WNOHANG) > 0; });
  if (!ended) return -1;  // TearDown kills what is left
  job.session = -1;       // reaped, and the probe with it by the session
  job.probe = -1;
  if (!WIFEXITED(status)) return -1;
  drainAll(job);
  return WEXITSTATUS(status);
}

// The process sleeps in a read of its terminal (system call 0 on x86-64, 63 on arm64).
bool sleepingInRead(pid_t process) {
  const std::string proc = "/proc/" + std::to_string(process);
  std::FILE* stat = std::fopen((proc + "/stat").c_str(), "r");
  if (stat == nullptr) return false;
  char state = '?';
  const bool parsed = std::fscanf(stat, "%*d (%*[^)]) %c", &state) == 1;
  std::fclose(stat);
  if (!parsed || state != 'S') return false;
  std::FILE* call = std::fopen((proc + "/syscall").c_str(), "r");
  if (call == nullptr) return true;  // no access to the system call: the state must do
  long number = -1;
  const bool known = std::fscanf(call, "%ld", &number) == 1;
  std::fclose(call);
#if defined(__aarch64__)
  return !known || number == 63;
#else
  return !known || number == 0;
#endif
}

void typeKeys(const TerminalJob& job, const std::string& bytes) {
  ASSERT_EQ(write(job.master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Names the settings that differ; empty when the terminal is as it was.
std::string settingsChanged(const termios& before, const termios& after) {
  std::string changed;
  if (before.c_iflag != after.c_iflag) changed += "c_iflag ";
  if (before.c_oflag != after.c_oflag) changed += "c_oflag ";
  if (before.c_cflag != after.c_cflag) changed += "c_cflag ";
  if (before.c_lflag != after.c_lflag) changed += "c_lflag ";
  for (int i = 0; i < NCCS; ++i) {
    if (before.c_cc[i] != after.c_cc[i]) changed += "c_cc[" + std::to_string(i) + "] ";
  }
  if (cfgetispeed(&before) != cfgetispeed(&after)) changed += "input speed ";
  if (cfgetospeed(&before) != cfgetospeed(&after)) changed += "output speed ";
  return changed;
}

std::string settingsChangedSinceStart(const TerminalJob& job) {
  termios now{};
  if (tcgetattr(job.slave, &now) != 0) return "unreadable";
  return settingsChanged(job.initial, now);
}

class TerminalTest : public testing::Test {
 protected:
  void start(const std::vector<std::string>& arguments, const char* lang = "C.UTF-8") {
    ASSERT_EQ(openpty(&job.master, &job.slave, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcgetattr(job.slave, &job.initial), 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    job.session = fork();
    ASSERT_GE(job.session, 0);
    if (job.session == 0) {
      close(job.master);
      close(pipeEnds[0]);
      runSession(job.slave, pipeEnds[1], arguments, lang);
    }
    close(pipeEnds[1]);
    job.reports = pipeEnds[0];
    ASSERT_TRUE(waitUntil(job, [&] { return job.reported.find('\n') != std::string::npos; }));
    job.probe = std::stoi(job.reported.substr(job.reported.find(' ') + 1));
  }

  void TearDown() override {
    if (job.probe > 0) kill(job.probe, SIGKILL);  // never kill(-1, ...): that is everyone
    if (job.session > 0) {
      kill(job.session, SIGKILL);
      waitpid(job.session, nullptr, 0);
    }
    for (int fd : {job.master, job.slave, job.reports}) {
      if (fd >= 0) close(fd);
    }
  }

  TerminalJob job;
};

TEST_F(TerminalTest, KeysAreDecodedWholeFromTheTerminal) {
  start({"keys", "9"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitForRawMode(job));

  // Down, Home, F1, Enter and the letter H in one burst: Home must not be read as an H, nor F1
  // as a P, and each key's second code waits for the next read.
  typeKeys(job, "\x1b[B\x1b[H\x1bOP\rH");
  const std::string burst =
      "key 224\r\nkey 80\r\nkey 224\r\nkey 71\r\nkey 0\r\nkey 59\r\n"
      "key 13\r\nkey 72\r\n";
  ASSERT_TRUE(waitForOutput(job, burst)) << job.output;

  ASSERT_TRUE(waitForRawMode(job));
  typeKeys(job, "\x1b");  // alone: the Escape key, once the terminal has been silent a while
  ASSERT_TRUE(waitForOutput(job, burst + "key 27\r\n")) << job.output;

  typeKeys(job, "bye\r");
  EXPECT_EQ(waitForExit(job), 0);
}

TEST_F(TerminalTest, RawModeOnlyWhileReadingSoAnswersTypedAheadSurvive) {
  start({"keys", "2"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitForRawMode(job));
  termios raw{};
  tcgetattr(job.slave, &raw);
  EXPECT_EQ(raw.c_lflag & ECHO, 0u);
  EXPECT_NE(raw.c_lflag & ISIG, 0u) << "Ctrl-C must still interrupt";

  // The arrow and, in the same burst, the answer to the question that follows it.
  typeKeys(job, "\x1b[Bmy answer\r");
  ASSERT_TRUE(waitForOutput(job, "key 224\r\nkey 80\r\n")) << job.output;
  EXPECT_FALSE(inRawMode(job)) << "the key read is over: the terminal must be cooked again";
  ASSERT_TRUE(waitForOutput(job, "line:my answer\r\n")) << job.output;
  EXPECT_EQ(waitForExit(job), 0);
  EXPECT_EQ(settingsChangedSinceStart(job), "");
}

struct Ending {
  const char* name;
  int signalSent;     // sent to the probe during a key read; 0: none
  std::string typed;  // typed during the key read
  int exitStatus;     // the probe's, or 128 + the signal that ended it
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }

class TerminalGivenBack : public TerminalTest, public testing::WithParamInterface<Ending> {};

TEST_P(TerminalGivenBack, SettingsCursorAndColoursAreRestored) {
  const Ending& ending = GetParam();
  start({"keys", "1"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitForRawMode(job));

  if (ending.signalSent != 0) kill(job.probe, ending.signalSent);
  if (!ending.typed.empty()) typeKeys(job, ending.typed);

  EXPECT_EQ(waitForExit(job), ending.exitStatus);
  EXPECT_EQ(settingsChangedSinceStart(job), "");
  EXPECT_NE(job.output.find(kGiveBack), std::string::npos) << job.output;
}

INSTANTIATE_TEST_SUITE_P(Endings, TerminalGivenBack,
                         testing::Values(Ending{"NormalExit", 0, "\rthe answer\r", 0},
                                         Ending{"Terminated", SIGTERM, "", 128 + SIGTERM},
                                         Ending{"HungUp", SIGHUP, "", 128 + SIGHUP},
                                         Ending{"CtrlC", 0, "\x03", 128 + SIGINT},
                                         Ending{"CtrlBackslash", 0, "\x1c", 128 + SIGQUIT}),
                         [](const testing::TestParamInfo<Ending>& info) {
                           return info.param.name;
                         });

TEST_F(TerminalTest, CtrlZLeavesRawModeAndContinuingEntersItAgain) {
  start({"keys", "1"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitForRawMode(job));

  typeKeys(job, "\x1a");
  ASSERT_TRUE(waitUntil(job, [&] { return job.reported.find("stopped") != std::string::npos; }));
  EXPECT_EQ(settingsChangedSinceStart(job), "") << "stopped: the shell gets its terminal back";
  ASSERT_TRUE(waitForOutput(job, kGiveBack)) << "the user's own screen while stopped";

  const std::size_t stoppedAt = job.output.find(kGiveBack) + kGiveBack.size();
  kill(job.probe, SIGCONT);
  ASSERT_TRUE(waitForRawMode(job)) << "continued inside a key read";
  EXPECT_TRUE(waitUntil(job, [&] {
    return job.output.find(kAlternateScreen, stoppedAt) != std::string::npos;
  })) << "continued: back on the program's own screen";
  typeKeys(job, "\r");
  ASSERT_TRUE(waitForOutput(job, "key 13\r\n")) << job.output;
  typeKeys(job, "done\r");
  EXPECT_EQ(waitForExit(job), 0);
  EXPECT_EQ(settingsChangedSinceStart(job), "");
}

// An answer read that a stop and a continue interrupt goes on reading (SA_RESTART), so the line
// typed after `fg` is the answer, not a failed read that empties the rest of the dialogue.
TEST_F(TerminalTest, StopAndContinueDuringAnAnswerReadKeepTheRead) {
  start({"keys", "0"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitUntil(job, [&] { return sleepingInRead(job.probe); }));

  kill(job.probe, SIGTSTP);
  ASSERT_TRUE(waitUntil(job, [&] { return job.reported.find("stopped") != std::string::npos; }));
  kill(job.probe, SIGCONT);
  ASSERT_TRUE(waitUntil(job, [&] { return sleepingInRead(job.probe); }))
      << "continued: back in the read; " << job.output;

  typeKeys(job, "typed after fg\r");
  ASSERT_TRUE(waitForOutput(job, "line:typed after fg\r\n")) << job.output;
  EXPECT_EQ(waitForExit(job), 0);
}

TEST_F(TerminalTest, MenuChoosesWithArrowsAndIgnoresHome) {
  start({"menu"});
  ASSERT_TRUE(waitForRawMode(job));

  typeKeys(job, "\x1b[B\x1b[H\r");  // Down; Home, which as an H would move back up; Enter

  ASSERT_TRUE(waitForOutput(job, "chosen 2")) << job.output;
  EXPECT_NE(job.output.find("\x1b[0;97;44mCreate new"), std::string::npos);
  EXPECT_NE(job.output.find("\x1b[0;97;44mQuit"), std::string::npos);
  EXPECT_EQ(waitForExit(job), 0);
}

TEST_F(TerminalTest, HangUpDuringAKeyReadReportsNoKeyboard) {
  start({"hangup"});
  ASSERT_TRUE(waitForOutput(job, "ready"));
  ASSERT_TRUE(waitForRawMode(job));

  close(job.master);
  job.master = -1;

  EXPECT_EQ(waitForExit(job), 3) << "3: readKey said kNoKeyboard";
}

TEST_F(TerminalTest, ScreenPrimitivesSendTheirEscapeSequences) {
  start({"screen"});
  ASSERT_EQ(waitForExit(job), 0);

  EXPECT_EQ(job.output,
            "\x1b[?1049h"                            // the program's own screen, before all else
            "\x1b[2J\x1b[H"                          // clearScreen, the scrollback left alone
            "\x1b[0;97;44m"                          // setColors(1, 15): bright white on blue
            "X"                                      //
            "\x1b[4 q\x1b[4;3H"                      // moveCursor(3, 4), with the thin cursor
            "\x1b[0;37;40m"                          // setColors(0, 7): light grey on black
            "\x1b[0;37;40m\x1b[2J\x1b[H"             // clearScreen in the current colours
            "Y\r\n"                                  //
            "\x1b[0m\x1b[0 q\x1b[?25h\x1b[?1049l");  // the terminal given back at exit
}

// Runs the probe in a session of its own with no controlling terminal, standard input empty
// and standard output a pipe, as under CI. Gives what it printed, or "timeout".
std::string runWithoutTerminal(const std::vector<std::string>& arguments, int& exitStatus,
                               const char* lang = "C.UTF-8") {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    setLocale(lang);
    const int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, 0);
    dup2(pipeEnds[1], 1);
    close(pipeEnds[0]);
    std::vector<std::string> copies = arguments;
    std::string program = TERMINAL_PROBE;
    std::vector<char*> argv{program.data()};
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  std::string output;
  const Clock::time_point deadline = Clock::now() + kPatience;
  for (;;) {
    pollfd ready{pipeEnds[0], POLLIN, 0};
    if (poll(&ready, 1, 10) > 0) {
      char buffer[512];
      const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
      if (got <= 0) break;  // the probe has ended and closed its end
      output.append(buffer, static_cast<std::size_t>(got));
    }
    if (Clock::now() > deadline) {
      kill(child, SIGKILL);
      output = "timeout";
      break;
    }
  }
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

TEST(TerminalAbsent, NoControllingTerminalMeansNoKeyboardAtOnce) {
  const Clock::time_point start = Clock::now();
  int exitStatus = -1;

  EXPECT_EQ(runWithoutTerminal({"no-keyboard"}, exitStatus),
            "present 0 readKey -1 waitForKey 0 keyWaiting 0\n");

  EXPECT_EQ(exitStatus, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST(FrameEncodingOfTheLocale, LineDrawingOnlyWhereTheCodesetCanShowIt) {
  struct Case {
    const char* lang;
    const char* encoding;
  };
  for (const Case& c : {Case{"C.UTF-8", "utf8\n"}, Case{"C", "ascii\n"}, Case{"POSIX", "ascii\n"},
                        Case{"xx_NOWHERE.UTF-8", "ascii\n"}}) {
    int exitStatus = -1;
    // A locale the system lacks leaves the program in "C", whose codeset is ASCII.
    EXPECT_EQ(runWithoutTerminal({"frame-encoding"}, exitStatus, c.lang), c.encoding) << c.lang;
  }
}

TEST(TerminalAbsent, RedirectedOutputGetsTheTextAlone) {
  int exitStatus = -1;
  EXPECT_EQ(runWithoutTerminal({"screen"}, exitStatus), "XY\n");
  EXPECT_EQ(exitStatus, 0);
}

}  // namespace
