// The machine-wide Team ID store: one key holding one text value, `TeamID`.
// On Windows the key is HKEY_LOCAL_MACHINE\SOFTWARE\Tamrix in the 64-bit
// registry view; elsewhere it is a directory of our own (store-posix.cc).
// No operation prints anything; each reports failure by returning false.

#ifndef TEAMID_STORE_H_
#define TEAMID_STORE_H_

#include <stddef.h>

// Size of a narrow Team ID buffer: at most 127 characters and the null.
const size_t kTeamIDTextSize = 128;

// Fills `text` (kTeamIDTextSize bytes) with the stored Team ID. False when
// the key or the value is missing or can't be read, which means "not set".
bool ReadTeamID(char* text);

// Stores `text`, creating the key when it is missing.
bool WriteTeamID(const char* text);

// Deletes the key with everything in it. False when it is missing, has a
// subkey, or can't be deleted.
bool DeleteTeamIDKey();

#endif  // TEAMID_STORE_H_
