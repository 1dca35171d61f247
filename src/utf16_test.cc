#include "utf16.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// UTF-16LE bytes of the given code units.
std::string Units(std::initializer_list<unsigned> units) {
  std::string data;
  for (unsigned u : units) {
    data += static_cast<char>(u & 0xFF);
    data += static_cast<char>(u >> 8);
  }
  return data;
}

std::string Narrow(const std::string& data, size_t text_size = 128) {
  char text[128];
  memset(text, '?', sizeof text);
  NarrowFromUtf16le(reinterpret_cast<const unsigned char*>(data.data()),
                    data.size(), text, text_size);
  return text;
}

TEST(NarrowFromUtf16le, TakesTheTextUpToNullOrEndOfData) {
  struct Case {
    const char* name;
    std::string data;
    std::string text;
  } cases[] = {
      {"text and null", Units({'a', 'B', '7', 0}), "aB7"},
      {"no data", "", ""},
      {"only the null", Units({0}), ""},
      {"no null: up to the size", Units({'a', 'b'}), "ab"},
      {"stops at the first null", Units({'a', 0, 'b', 0}), "a"},
      {"odd last byte ignored", Units({'a'}) + "b", "a"},
      {"one byte only", "a", ""},
      {"below 256: same byte", Units({0xE9, 0x80, 0xFF, 0}), "\xe9\x80\xff"},
      {"256 or above: empty text", Units({'a', 0x100, 'b', 0}), ""},
      {"high unit first", Units({0x20AC, 0}), ""},
      {"high unit after the null is not text", Units({'a', 0, 0x100}), "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.text, Narrow(c.data));
  }
}

TEST(NarrowFromUtf16le, KeepsAtMost127Characters) {
  std::string x127(127, 'x');
  std::string data127;
  for (int i = 0; i < 127; i++)
    data127 += Units({'x'});
  std::string data128 = data127 + Units({'y'});
  EXPECT_EQ(x127, Narrow(data127 + Units({0})));
  EXPECT_EQ(x127, Narrow(data128));  // 256 bytes, no null
  EXPECT_EQ("xx", Narrow(data127, 3));
}

TEST(WidenToUtf16le, EachByteBecomesOneCodeUnitThenNull) {
  unsigned char data[256];
  ASSERT_EQ(6u, WidenToUtf16le("aZ", data, sizeof data));
  EXPECT_EQ(Units({'a', 'Z', 0}),
            std::string(reinterpret_cast<char*>(data), 6));

  ASSERT_EQ(4u, WidenToUtf16le("\xe9", data, sizeof data));
  EXPECT_EQ(Units({0xE9, 0}), std::string(reinterpret_cast<char*>(data), 4));

  EXPECT_EQ(56u,
            WidenToUtf16le("abcdefghijklmnopqrstuvwxyz0", data, sizeof data));
  EXPECT_EQ(2u, WidenToUtf16le("", data, sizeof data));
}

TEST(WidenToUtf16le, FailsWhenTheNullDoesNotFit) {
  unsigned char data[6];
  EXPECT_EQ(6u, WidenToUtf16le("ab", data, sizeof data));
  EXPECT_EQ(0u, WidenToUtf16le("abc", data, sizeof data));
  std::string x127(127, 'x'), x128(128, 'x');
  unsigned char big[256];
  EXPECT_EQ(256u, WidenToUtf16le(x127.c_str(), big, sizeof big));
  EXPECT_EQ(0u, WidenToUtf16le(x128.c_str(), big, sizeof big));
}

}  // namespace
