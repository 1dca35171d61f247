// teamid: shows, sets and removes the Team ID of this computer.
//
//   teamid            interactive: banner, prompt, key-press pause
//   teamid TEAM_ID    argument mode, for scripts; "" removes the Team ID
//
// Exit status 0 on success, 1 on failure.

#include "main.h"

#include <stdio.h>

#include "banner.h"
#include "console.h"
#include "line.h"
#include "store.h"
#include "teamid.h"

namespace {

const char kErrorBlock[] =
    "\nThere was an error setting this computer's Team ID:\n"
    "1) Check that your Team ID is correct from the Tamrix Vodur admin "
    "control panel with no spaces.\n"
    "2) NOTE: This program requires your Team ID, NOT your team's name!\n"
    "3) Make sure this program is run with Administrator privleges.\n";

}  // namespace

int RunTeamID(const char* argument) {
  bool interactive = argument == nullptr;
  if (interactive)
    PrintBanner();

  char line[kTeamIDTextSize] = "";
  bool currently_set = ReadTeamID(line);
  if (currently_set)
    printf("Current Team ID for this computer: %s\n\n", line);
  else
    printf("Team ID is not currently set for this computer.\n\n");

  // Nothing typed at all keeps the state as it is: success only if a Team ID
  // is set.
  bool ok = currently_set;
  if (!interactive) {
    ok = ApplyTeamID(argument, currently_set);
  } else {
    printf("Enter new Team ID followed by Enter (leave blank for none): ");
    size_t length = ReadLine(stdin, line, sizeof line);
    if (length > 0)
      ok = LineToCandidate(line, length) && ApplyTeamID(line, currently_set);
  }

  if (!ok)
    printf("%s", kErrorBlock);
  if (interactive) {
    printf("\n");
    PauseForKey();
  }
  return ok ? 0 : 1;
}
