#include "line.h"

#include <string.h>

#include "console.h"

size_t ReadLine(FILE* in, char* line, size_t size) {
  size_t length = 0;
  while (length + 1 < size) {
    int c = ReadTextChar(in);
    if (c == EOF)
      break;
    line[length++] = static_cast<char>(c);
    if (c == '\n')
      break;
  }
  line[length] = '\0';
  if (ferror(in))
    return 0;
  return length;
}

bool LineToCandidate(char* line, size_t length) {
  if (memchr(line, '\0', length) != nullptr)
    return false;
  if (length > 0 && line[length - 1] == '\n')
    line[length - 1] = '\0';
  return true;
}
