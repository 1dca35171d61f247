#include "main.h"

#include <stddef.h>

// The command line reaches wmain as typed: "teamid.exe *" passes "*".
extern "C" {
int _dowildcard = 0;
}

namespace {

// A command line holds at most 32767 UTF-16 code units, so any argument
// fits.
const size_t kArgumentSize = 32768;

// The argument as narrow text: ASCII stays as it is, any other code unit
// becomes '?', which no Team ID holds. The C runtime's own narrow arguments
// go through the ANSI code page with best-fit mapping, which turns "Ā" into
// "A", so a foreign character could pass for a valid one.
void NarrowArgument(const wchar_t* wide, char* narrow, size_t size) {
  size_t i = 0;
  for (; wide[i] != L'\0' && i + 1 < size; i++)
    narrow[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
  narrow[i] = '\0';
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2)
    return RunTeamID(nullptr);
  char argument[kArgumentSize];
  NarrowArgument(argv[1], argument, sizeof argument);
  return RunTeamID(argument);
}
