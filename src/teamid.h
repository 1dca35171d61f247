// The Team ID rule and the apply step that stores, removes or leaves the
// machine's Team ID.

#ifndef TEAMID_TEAMID_H_
#define TEAMID_TEAMID_H_

// True when `candidate` is exactly 27 characters, each a digit or an ASCII
// letter.
bool IsValidTeamID(const char* candidate);

// Applies `candidate`: the empty text removes the stored Team ID (or only
// says none was set), a valid Team ID is stored. Prints the success text and
// returns true; returns false, printing nothing, on an invalid candidate or a
// failed store operation.
bool ApplyTeamID(const char* candidate, bool currently_set);

#endif  // TEAMID_TEAMID_H_
