// Conversions between narrow Team ID text and the UTF-16LE data that the
// Windows registry holds. A byte becomes the code unit of the same value and
// a code unit below 256 the byte of the same value; a code unit of 256 or
// above has no narrow form.

#ifndef TEAMID_UTF16_H_
#define TEAMID_UTF16_H_

#include <stddef.h>

// Converts the text in `size` bytes of UTF-16LE `data` to narrow text in
// `text` (text_size bytes, at least one): up to the first null code unit or
// the end of the data, whichever comes first, and at most text_size - 1
// characters. When a code unit of the text has no narrow form, `text`
// becomes the empty text. A last odd byte is no code unit and is ignored.
void NarrowFromUtf16le(const unsigned char* data,
                       size_t size,
                       char* text,
                       size_t text_size);

// Converts `text` to UTF-16LE in `data`, followed by a null code unit.
// Returns the number of bytes written, null included; 0 when they don't fit
// in data_size bytes.
size_t WidenToUtf16le(const char* text, unsigned char* data, size_t data_size);

#endif  // TEAMID_UTF16_H_
