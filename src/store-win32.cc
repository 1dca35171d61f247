#include "store.h"

#include <windows.h>

#include "utf16.h"

namespace {

const wchar_t kKeyName[] = L"SOFTWARE\\Tamrix";
const wchar_t kValueName[] = L"TeamID";

// The value's data: kTeamIDTextSize UTF-16 code units.
const DWORD kDataSize = kTeamIDTextSize * 2;

}  // namespace

bool ReadTeamID(char* text) {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyName, 0, KEY_READ | KEY_WOW64_64KEY,
                    &key) != ERROR_SUCCESS)
    return false;
  unsigned char data[kDataSize];
  DWORD type;
  DWORD size = sizeof data;
  LONG query = RegQueryValueExW(key, kValueName, nullptr, &type, data, &size);
  // `size` is what the query returned; data without a null code unit is
  // never read beyond it.
  if (query == ERROR_SUCCESS)
    NarrowFromUtf16le(data, size, text, kTeamIDTextSize);
  LONG close = RegCloseKey(key);
  return query == ERROR_SUCCESS && close == ERROR_SUCCESS;
}

bool WriteTeamID(const char* text) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeyName, 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  unsigned char data[kDataSize];
  DWORD size = WidenToUtf16le(text, data, sizeof data);
  LONG set = ERROR_INVALID_DATA;
  if (size != 0)
    set = RegSetValueExW(key, kValueName, 0, REG_SZ, data, size);
  LONG close = RegCloseKey(key);
  return set == ERROR_SUCCESS && close == ERROR_SUCCESS;
}

bool DeleteTeamIDKey() {
  // A 64-bit process sees the 64-bit view, the one that ReadTeamID and
  // WriteTeamID ask for.
  return RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKeyName) == ERROR_SUCCESS;
}
