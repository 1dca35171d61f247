// The POSIX stand-in for the registry key: a directory, with the value
// `TeamID` as the file of that name holding the text and one newline.
// store-posix.cc keeps the key in TEAMID_STORE_DIR; these take the
// directory so that they can be tried on any.

#ifndef TEAMID_STORE_POSIX_H_
#define TEAMID_STORE_POSIX_H_

// Symbolic links: where the key or the value would be, a link is never
// followed, replaced or removed. The Team ID then reads as not set, and
// writing or deleting fails with nothing changed. Links on the way to the
// key's directory are the system's and are followed.

// Reads the value into `text` (kTeamIDTextSize bytes). False when the
// directory or the file is missing or unreadable, or when the text, without
// one final newline, is longer than 127 bytes. The text ends at its first
// null byte.
bool ReadKeyValue(const char* dir, char* text);

// Replaces the value with `text` (at most 127 bytes), creating the directory
// and its missing parents. The new value is written to a temporary file,
// flushed and renamed over the old one, so a reader sees the old value or
// the new one, never a part; on failure the old value stays.
bool WriteKeyValue(const char* dir, const char* text);

// Removes the directory with every file in it, or nothing: the directory is
// first renamed to a hidden name beside it, so that a reader sees the value
// or none, then emptied and removed. False, with nothing changed, when it is
// missing, holds a subdirectory (a subkey), can't be moved, or holds a file
// that can't be removed. What a remover that dies leaves behind is finished
// by the next write or delete.
bool DeleteKey(const char* dir);

// Test seam: when set, WriteKeyValue and DeleteKey call it after each of
// their steps with the step's name, so that a test can kill them there.
extern void (*store_step_hook)(const char* step);

#endif  // TEAMID_STORE_POSIX_H_
