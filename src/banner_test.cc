#include "banner.h"

#include <string.h>

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Banner, LogoIs19LinesOf27CharactersFirstBlank) {
  std::string logo = kLogo;
  int lines = 0;
  for (size_t start = 0; start < logo.size(); lines++) {
    size_t end = logo.find('\n', start);
    ASSERT_NE(std::string::npos, end) << "line " << lines << " has no newline";
    std::string line = logo.substr(start, end - start);
    EXPECT_EQ(27u, line.size()) << "line " << lines << ": " << line;
    EXPECT_EQ(std::string::npos, line.find_first_not_of(" #/(.,*"))
        << "line " << lines << ": " << line;
    if (lines == 0) {
      EXPECT_EQ(std::string(27, ' '), line);
    }
    start = end + 1;
  }
  EXPECT_EQ(19, lines);
}

TEST(Banner, TitleUnderlineLogoAndEmptyLine) {
  testing::internal::CaptureStdout();
  PrintBanner();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string("Tamrix - Set Computer Team ID\n") +
                "-----------------------------\n" + kLogo + "\n",
            out);
}

}  // namespace
