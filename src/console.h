// What the console looks like to the program on each platform:
// console-posix.cc and console-win32.cc.

#ifndef TEAMID_CONSOLE_H_
#define TEAMID_CONSOLE_H_

#include <stdio.h>

// Reads one byte of text from `in` as a Windows text-mode stream does: a
// CR LF pair reads as a single newline. EOF at end of input or on error.
int ReadTextChar(FILE* in);

// Holds the console open: prints the key-press prompt and waits for a key.
void PauseForKey();

#endif  // TEAMID_CONSOLE_H_
