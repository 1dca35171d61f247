#include "teamid.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "store.h"

// ApplyTeamID runs against this fake store, which records what it was asked.
// Linked before the program's library, it takes the place of the real one.
namespace {

struct FakeStore {
  bool has_key = false;
  std::string value;
  bool refuse = false;  // every change fails, as without admin rights
  int writes = 0;
  int deletes = 0;
} store;

}  // namespace

bool WriteTeamID(const char* text) {
  store.writes++;
  if (store.refuse)
    return false;
  store.has_key = true;
  store.value = text;
  return true;
}

bool DeleteTeamIDKey() {
  store.deletes++;
  if (store.refuse || !store.has_key)
    return false;
  store.has_key = false;
  store.value.clear();
  return true;
}

namespace {

const char kTeamID[] = "abcdefghijklmnopqrstuvwxyz0";

TEST(IsValidTeamID, AcceptsExactly27LettersAndDigits) {
  struct Case {
    const char* candidate;
    bool valid;
  } cases[] = {
      {"abcdefghijklmnopqrstuvwxyz0", true},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ9", true},
      {"0123456789aBcDeFgHiJkLmNoPq", true},
      {"", false},
      {"abcdefghijklmnopqrstuvwxyz", false},    // 26
      {"abcdefghijklmnopqrstuvwxyz01", false},  // 28
      {"abcdefghijklm opqrstuvwxyz0", false},   // space
      {"abcdefghijklm-opqrstuvwxyz0", false},   // hyphen
      {"abcdefghijklm_opqrstuvwxyz0", false},
      {" bcdefghijklmnopqrstuvwxyz0", false},        // leading space
      {"abcdefghijklmnopqrstuvwxyz\t", false},       // control character
      {"abcdefghijklm\xe9opqrstuvwxyz0", false},     // é, one byte (Latin-1)
      {"abcdefghijklm\xc3\xa9pqrstuvwxyz0", false},  // é, UTF-8, 27 bytes
      {"abcdefghijklm\x80opqrstuvwxyz0", false},
      {"abcdefghijklm\xffopqrstuvwxyz0", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.valid, IsValidTeamID(c.candidate)) << '"' << c.candidate << '"';
}

TEST(IsValidTeamID, AlphabetIsDigitsAndAsciiLetters) {
  char candidate[] = "aaaaaaaaaaaaaaaaaaaaaaaaaaa";
  for (int byte = 1; byte < 256; byte++) {
    candidate[13] = static_cast<char>(byte);
    bool expected = (byte >= '0' && byte <= '9') ||
                    (byte >= 'a' && byte <= 'z') ||
                    (byte >= 'A' && byte <= 'Z');
    EXPECT_EQ(expected, IsValidTeamID(candidate)) << "byte " << byte;
  }
}

const char kOldTeamID[] = "OLDoldOLDoldOLDoldOLDoldOLD";

// One call of ApplyTeamID: the store before, what is printed and returned,
// what was asked of the store and what it holds afterwards. Unnamed fields
// keep these values: a stored Team ID, nothing printed or asked, the store
// unchanged.
struct ApplyCase {
  const char* name;
  const char* candidate;
  bool currently_set = true;
  bool has_key = true;  // holding kOldTeamID
  bool refuse = false;  // every change fails, as without admin rights
  bool result = true;
  const char* out = "";
  int writes = 0;
  int deletes = 0;
  bool has_key_after = true;
  const char* value_after = kOldTeamID;
};

TEST(ApplyTeamID, ChoosesStoreRemoveOrNothing) {
  const ApplyCase cases[] = {
      {.name = "set",
       .candidate = kTeamID,
       .currently_set = false,
       .has_key = false,
       .out = "\nTeam ID successfully set to abcdefghijklmnopqrstuvwxyz0.\n",
       .writes = 1,
       .value_after = kTeamID},
      {.name = "replace",
       .candidate = "ABCDEFGHIJKLMNOPQRSTUVWXYZ9",
       .out = "\nTeam ID successfully set to ABCDEFGHIJKLMNOPQRSTUVWXYZ9.\n",
       .writes = 1,
       .value_after = "ABCDEFGHIJKLMNOPQRSTUVWXYZ9"},
      {.name = "same value is written again",
       .candidate = kOldTeamID,
       .out = "\nTeam ID successfully set to OLDoldOLDoldOLDoldOLDoldOLD.\n",
       .writes = 1},
      {.name = "refused write",
       .candidate = kTeamID,
       .refuse = true,
       .result = false,
       .writes = 1},
      {.name = "invalid is not written",
       .candidate = "abcdefghijklmnopqrstuvwxyz",
       .result = false},
      {.name = "remove",
       .candidate = "",
       .out = "\nTeam ID successfully removed.\n",
       .deletes = 1,
       .has_key_after = false,
       .value_after = ""},
      {.name = "refused remove",
       .candidate = "",
       .refuse = true,
       .result = false,
       .deletes = 1},
      {.name = "remove when the key has gone meanwhile",
       .candidate = "",
       .has_key = false,
       .result = false,
       .deletes = 1,
       .has_key_after = false,
       .value_after = ""},
      {.name = "nothing to remove",
       .candidate = "",
       .currently_set = false,
       .has_key = false,
       .out = "\nTeam ID was not set.\n",
       .has_key_after = false,
       .value_after = ""},
      {.name = "nothing set leaves the store alone",
       .candidate = "",
       .currently_set = false,
       .refuse = true,
       .out = "\nTeam ID was not set.\n"},
  };
  for (const ApplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    store = FakeStore();
    store.has_key = c.has_key;
    if (c.has_key)
      store.value = kOldTeamID;
    store.refuse = c.refuse;

    testing::internal::CaptureStdout();
    bool result = ApplyTeamID(c.candidate, c.currently_set);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.out, out);
    EXPECT_EQ(c.writes, store.writes);
    EXPECT_EQ(c.deletes, store.deletes);
    EXPECT_EQ(c.has_key_after, store.has_key);
    EXPECT_EQ(c.value_after, store.value);
  }
}

}  // namespace
