#include "main.h"

int main(int argc, char** argv) {
  return RunTeamID(argc > 1 ? argv[1] : nullptr);
}
