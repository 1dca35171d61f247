#include "teamid.h"

#include <stdio.h>
#include <string.h>

#include "store.h"

namespace {

const char kAlphabet[] =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
const size_t kTeamIDLength = 27;

}  // namespace

bool IsValidTeamID(const char* candidate) {
  if (strlen(candidate) != kTeamIDLength)
    return false;
  for (size_t i = 0; i < kTeamIDLength; i++) {
    // memchr over the letters only, so that the terminating null of the
    // alphabet never counts as a member.
    if (memchr(kAlphabet, candidate[i], sizeof kAlphabet - 1) == nullptr)
      return false;
  }
  return true;
}

bool ApplyTeamID(const char* candidate, bool currently_set) {
  if (candidate[0] == '\0') {
    if (!currently_set) {
      printf("\nTeam ID was not set.\n");
      return true;
    }
    if (!DeleteTeamIDKey())
      return false;
    printf("\nTeam ID successfully removed.\n");
    return true;
  }
  if (!IsValidTeamID(candidate))
    return false;
  if (!WriteTeamID(candidate))
    return false;
  printf("\nTeam ID successfully set to %s.\n", candidate);
  return true;
}
