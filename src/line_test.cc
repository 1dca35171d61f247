#include "line.h"

#include <stdio.h>

#include <string>

#include <gtest/gtest.h>

namespace {

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

// Reads the first line of `input` into a 128-byte buffer, as at the prompt.
struct Read {
  size_t length;
  std::string line;  // the bytes read
  std::string rest;  // what is left in the input afterwards
};

Read ReadFirstLine(const std::string& input) {
  std::string data = input;
  FILE* in = data.empty() ? fopen("/dev/null", "r")
                          : fmemopen(&data[0], data.size(), "r");
  char line[128];
  Read r;
  r.length = ReadLine(in, line, sizeof line);
  r.line.assign(line, r.length);
  EXPECT_EQ('\0', line[r.length]);
  for (int c; (c = getc(in)) != EOF;)
    r.rest += static_cast<char>(c);
  fclose(in);
  return r;
}

TEST(ReadLine, ReadsOneLineOfAtMost127Bytes) {
  const std::string id = "abcdefghijklmnopqrstuvwxyz0";
  struct Case {
    const char* name;
    std::string input;
    std::string line;
    std::string rest;
  } cases[] = {
      {"line", id + "\n", id + "\n", ""},
      {"no line break at the end", id, id, ""},
      {"CR LF reads as one newline", id + "\r\n", id + "\n", ""},
      {"lone CR stays", "ab\rcd\n", "ab\rcd\n", ""},
      {"CR at the end of input stays", "ab\r", "ab\r", ""},
      {"CR CR LF", "ab\r\r\n", "ab\r\n", ""},
      {"empty line", "\n", "\n", ""},
      {"only the first line", "first\nsecond\n", "first\n", "second\n"},
      {"null bytes are read", std::string("a\0b\n", 4),
       std::string("a\0b\n", 4), ""},
      {"long line cut at 127", Repeat('x', 200), Repeat('x', 127),
       Repeat('x', 73)},
      {"127 and a newline", Repeat('x', 127) + "\n", Repeat('x', 127), "\n"},
      {"126, CR LF counts as one byte", Repeat('x', 126) + "\r\n",
       Repeat('x', 126) + "\n", ""},
      {"127, CR LF stays unread", Repeat('x', 127) + "\r\n", Repeat('x', 127),
       "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Read r = ReadFirstLine(c.input);
    EXPECT_EQ(c.line.size(), r.length);
    EXPECT_EQ(c.line, r.line);
    EXPECT_EQ(c.rest, r.rest);
  }
}

TEST(ReadLine, NothingReadAtEndOfInput) {
  EXPECT_EQ(0u, ReadFirstLine("").length);
}

TEST(LineToCandidate, RemovesOnlyAFinalNewline) {
  struct Case {
    std::string line;
    bool ok;
    std::string candidate;
  } cases[] = {
      {"abc\n", true, "abc"},
      {"abc", true, "abc"},  // the last character is not lost
      {"\n", true, ""},
      {"", true, ""},
      {"abc\r", true, "abc\r"},
      {"abc\n\n", true, "abc\n"},
      {std::string("ab\0c\n", 5), false, ""},
      {std::string("\0\n", 2), false, ""},  // would read as the empty text
      {std::string("abc\0", 4), false, ""},
  };
  for (const Case& c : cases) {
    char line[128];
    c.line.copy(line, c.line.size());
    line[c.line.size()] = '\0';
    SCOPED_TRACE(testing::PrintToString(c.line));
    EXPECT_EQ(c.ok, LineToCandidate(line, c.line.size()));
    if (c.ok) {
      EXPECT_EQ(c.candidate, std::string(line));
    }
  }
}

}  // namespace
