#include "console.h"

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGCONT};
const int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct termios saved_mode;
struct termios key_mode;
struct sigaction saved_actions[kSignalCount];

// Puts the terminal back as it was, then dies of the signal as it would have.
void RestoreAndDie(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Ctrl-Z: the terminal goes back as it was while we are stopped.
void RestoreAndStop(int sig) {
  int saved_errno = errno;
  // The shell may have taken the terminal back already: it sees the job
  // stopped as soon as its own child stops, which may be before we do. The
  // terminal is the shell's then, and changing it would stop us by SIGTTOU;
  // once we are continued, the change fails with EINTR and the stop is over.
  if (tcgetpgrp(STDIN_FILENO) == getpgrp() &&
      tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode) != 0 && errno == EINTR) {
    errno = saved_errno;
    return;
  }
  struct sigaction stop = {};
  struct sigaction ours;
  stop.sa_handler = SIG_DFL;
  sigaction(sig, &stop, &ours);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  // Continued: SIGCONT's handler has put the key mode back.
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sigaction(sig, &ours, nullptr);
  errno = saved_errno;
}

// Continued after a stop: the shell may have put the terminal back into
// line mode, in which a single key doesn't end the read.
void ResumeKeyMode(int) {
  int saved_errno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &key_mode);
  errno = saved_errno;
}

void (*HandlerFor(int sig))(int) {
  if (sig == SIGTSTP)
    return RestoreAndStop;
  if (sig == SIGCONT)
    return ResumeKeyMode;
  return RestoreAndDie;
}

// The signals that would end or stop the process go through the handlers
// above; those ignored by whoever started us stay ignored.
void CatchSignals() {
  for (int i = 0; i < kSignalCount; i++) {
    struct sigaction action = {};
    action.sa_handler = HandlerFor(kSignals[i]);
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN)
      sigaction(kSignals[i], &action, nullptr);
  }
}

// Puts the terminal and the signals back as they were. The signals are held
// meanwhile, so that none finds the terminal restored and a handler of ours
// still in place.
void Restore() {
  sigset_t all, old;
  sigemptyset(&all);
  for (int i = 0; i < kSignalCount; i++)
    sigaddset(&all, kSignals[i]);
  sigprocmask(SIG_BLOCK, &all, &old);
  // TCSAFLUSH drops the rest of a key that sends several bytes, such as an
  // arrow key, so that it doesn't reach the shell.
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_mode);
  for (int i = 0; i < kSignalCount; i++)
    sigaction(kSignals[i], &saved_actions[i], nullptr);
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Waits for one key typed at the terminal: no line editing and no echo.
void WaitForKey() {
  if (tcgetattr(STDIN_FILENO, &saved_mode) != 0)
    return;
  key_mode = saved_mode;
  key_mode.c_lflag &= ~(ICANON | ECHO);
  key_mode.c_cc[VMIN] = 1;
  key_mode.c_cc[VTIME] = 0;
  CatchSignals();
  // TCSAFLUSH: what is left of a typed line longer than the program read
  // is no key press.
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &key_mode) == 0) {
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
  }
  Restore();
}

}  // namespace

int ReadTextChar(FILE* in) {
  int c = getc(in);
  if (c != '\r')
    return c;
  int next = getc(in);
  if (next == '\n')
    return '\n';
  if (next != EOF)
    ungetc(next, in);
  return '\r';
}

void PauseForKey() {
  fputs("Press any key to continue . . . ", stdout);
  fflush(stdout);
  if (!isatty(STDIN_FILENO))
    return;
  WaitForKey();
  fputs("\n", stdout);
}
