#include "console.h"

#include <stdlib.h>

int ReadTextChar(FILE* in) {
  // stdin is in text mode: the C runtime folds CR LF already.
  return getc(in);
}

void PauseForKey() {
  // The command interpreter prints its own prompt and waits for the key.
  system("pause");
}
