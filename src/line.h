// Reading the Team ID typed at the prompt.

#ifndef TEAMID_LINE_H_
#define TEAMID_LINE_H_

#include <stddef.h>
#include <stdio.h>

// Reads one line of text from `in` into `line`: at most size - 1 bytes,
// stopping after a newline, which is kept. A CR LF pair reads as one newline.
// Returns the number of bytes read and null-terminates them; 0 means nothing
// could be read (end of input or a read error).
size_t ReadLine(FILE* in, char* line, size_t size);

// Turns the `length` bytes of `line` into the candidate Team ID in place by
// removing a final newline. False when the line holds a null byte: such a
// line is no Team ID, and cutting it at the null could remove the stored one.
bool LineToCandidate(char* line, size_t length);

#endif  // TEAMID_LINE_H_
