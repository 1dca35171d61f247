#include "console.h"

#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
const int kSignalCount = sizeof kSignals / sizeof kSignals[0];

struct termios saved_mode;
struct sigaction saved_actions[kSignalCount];

// Puts the terminal back as it was, then dies of the signal as it would have.
void RestoreAndDie(int sig) {
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Signals that would end the process end it through RestoreAndDie; those
// ignored by whoever started us stay ignored.
void CatchSignals() {
  struct sigaction action = {};
  action.sa_handler = RestoreAndDie;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; i++) {
    sigaction(kSignals[i], nullptr, &saved_actions[i]);
    if (saved_actions[i].sa_handler != SIG_IGN)
      sigaction(kSignals[i], &action, nullptr);
  }
}

void ReleaseSignals() {
  for (int i = 0; i < kSignalCount; i++)
    sigaction(kSignals[i], &saved_actions[i], nullptr);
}

// Waits for one key typed at the terminal: no line editing and no echo.
void WaitForKey() {
  if (tcgetattr(STDIN_FILENO, &saved_mode) != 0)
    return;
  struct termios raw = saved_mode;
  raw.c_lflag &= ~(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  CatchSignals();
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
  }
  // TCSAFLUSH drops the rest of a key that sends several bytes, such as an
  // arrow key, so that it doesn't reach the shell.
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_mode);
  ReleaseSignals();
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
