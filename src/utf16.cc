#include "utf16.h"

void NarrowFromUtf16le(const unsigned char* data,
                       size_t size,
                       char* text,
                       size_t text_size) {
  size_t length = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    unsigned unit = data[i] | data[i + 1] << 8;
    if (unit == 0)
      break;
    if (unit > 0xFF) {
      text[0] = '\0';
      return;
    }
    if (length + 1 < text_size)
      text[length++] = static_cast<char>(unit);
  }
  text[length] = '\0';
}

size_t WidenToUtf16le(const char* text, unsigned char* data, size_t data_size) {
  size_t size = 0;
  for (const char* p = text;; p++) {
    if (size + 2 > data_size)
      return 0;
    data[size++] = static_cast<unsigned char>(*p);
    data[size++] = 0;
    if (*p == '\0')
      return size;
  }
}
