#include "teamid.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "store.h"

// ApplyTeamID runs against this fake store, which records what it was asked.
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

TEST(ApplyTeamID, ChoosesStoreRemoveOrNothing) {
  struct Case {
    const char* name;
    const char* candidate;
    bool currently_set;
    bool has_key;  // before
    bool refuse;
    bool result;
    const char* out;
    int writes;
    int deletes;
    bool has_key_after;
    const char* value_after;
  } cases[] = {
      {"set", kTeamID, false, false, false, true,
       "\nTeam ID successfully set to abcdefghijklmnopqrstuvwxyz0.\n", 1, 0,
       true, kTeamID},
      {"replace", "ABCDEFGHIJKLMNOPQRSTUVWXYZ9", true, true, false, true,
       "\nTeam ID successfully set to ABCDEFGHIJKLMNOPQRSTUVWXYZ9.\n", 1, 0,
       true, "ABCDEFGHIJKLMNOPQRSTUVWXYZ9"},
      {"same value is written again", "OLDoldOLDoldOLDoldOLDoldOLD", true, true,
       false, true,
       "\nTeam ID successfully set to OLDoldOLDoldOLDoldOLDoldOLD.\n", 1, 0,
       true, "OLDoldOLDoldOLDoldOLDoldOLD"},
      {"refused write", kTeamID, true, true, true, false, "", 1, 0, true,
       "OLDoldOLDoldOLDoldOLDoldOLD"},
      {"invalid is not written", "abcdefghijklmnopqrstuvwxyz", true, true,
       false, false, "", 0, 0, true, "OLDoldOLDoldOLDoldOLDoldOLD"},
      {"remove", "", true, true, false, true,
       "\nTeam ID successfully removed.\n", 0, 1, false, ""},
      {"refused remove", "", true, true, true, false, "", 0, 1, true,
       "OLDoldOLDoldOLDoldOLDoldOLD"},
      {"remove when the key has gone meanwhile", "", true, false, false, false,
       "", 0, 1, false, ""},
      {"nothing to remove", "", false, false, false, true,
       "\nTeam ID was not set.\n", 0, 0, false, ""},
      {"nothing set leaves the store alone", "", false, true, true, true,
       "\nTeam ID was not set.\n", 0, 0, true, "OLDoldOLDoldOLDoldOLDoldOLD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    store = FakeStore();
    store.has_key = c.has_key;
    if (c.has_key)
      store.value = "OLDoldOLDoldOLDoldOLDoldOLD";
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
