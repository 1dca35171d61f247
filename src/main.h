// The main flow of teamid, called by the platform's entry point
// (main-posix.cc, main-win32.cc).

#ifndef TEAMID_MAIN_H_
#define TEAMID_MAIN_H_

// Runs teamid once. `argument` is the first command-line argument, the
// candidate Team ID of argument mode; nullptr when there is none, which
// selects interactive mode. Returns the exit status: 0 success, 1 failure.
int RunTeamID(const char* argument);

#endif  // TEAMID_MAIN_H_
