// The banner of interactive mode.

#ifndef TEAMID_BANNER_H_
#define TEAMID_BANNER_H_

// The logo: 19 lines of 27 characters, each ended by a newline.
extern const char kLogo[];

// Prints the title, its underline and the logo, then an empty line.
void PrintBanner();

#endif  // TEAMID_BANNER_H_
