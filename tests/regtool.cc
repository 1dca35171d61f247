// Test helper: prepares and inspects HKLM\SOFTWARE\Tamrix (64-bit view) for
// the end-to-end tests of teamid.exe. Data goes in and out as hex bytes so
// that any value, well-formed or not, can be set up and checked exactly.
//
//   regtool show             prints: absent
//                            or: key subkeys=N value=absent
//                            or: key subkeys=N type=T data=HEX
//   regtool clear            deletes the key with all it holds
//   regtool key              creates the key without a value
//   regtool set TYPE HEX     sets TeamID to the raw bytes, of type TYPE
//   regtool subkey           creates a subkey
//   regtool lock             lets everyone only read the key
//
// Exit status 0 on success, 2 on failure.

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

const wchar_t kKeyName[] = L"SOFTWARE\\Tamrix";
const REGSAM kView = KEY_WOW64_64KEY;

int Fail(const char* what, LONG status) {
  fprintf(stderr, "regtool: %s failed (%ld)\n", what, status);
  return 2;
}

// Closes `key`; the status of the operation before it unless that failed.
LONG Close(HKEY key, LONG status) {
  LONG closed = RegCloseKey(key);
  return status != ERROR_SUCCESS ? status : closed;
}

int Show() {
  HKEY key;
  LONG status =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyName, 0, KEY_READ | kView, &key);
  if (status == ERROR_FILE_NOT_FOUND) {
    printf("absent\n");
    return 0;
  }
  if (status != ERROR_SUCCESS)
    return Fail("open", status);
  DWORD subkeys = 0;
  status =
      RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  unsigned char data[4096];
  DWORD type = 0;
  DWORD size = sizeof data;
  LONG query = ERROR_SUCCESS;
  if (status == ERROR_SUCCESS)
    query = RegQueryValueExW(key, L"TeamID", nullptr, &type, data, &size);
  status = Close(key, status);
  if (status != ERROR_SUCCESS)
    return Fail("query info", status);
  printf("key subkeys=%lu ", subkeys);
  if (query == ERROR_FILE_NOT_FOUND) {
    printf("value=absent\n");
    return 0;
  }
  if (query != ERROR_SUCCESS)
    return Fail("query value", query);
  printf("type=%lu data=", type);
  for (DWORD i = 0; i < size; i++)
    printf("%02x", data[i]);
  printf("\n");
  return 0;
}

int Clear() {
  LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKeyName);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    return Fail("delete tree", status);
  status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeyName, kView, 0);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    return Fail("delete key", status);
  return 0;
}

LONG CreateKey(const wchar_t* name, HKEY* key) {
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0,
                         KEY_ALL_ACCESS | kView, nullptr, key, nullptr);
}

int MakeKey(const wchar_t* name) {
  HKEY key;
  LONG status = CreateKey(name, &key);
  if (status != ERROR_SUCCESS)
    return Fail("create", status);
  status = RegCloseKey(key);
  return status == ERROR_SUCCESS ? 0 : Fail("close", status);
}

int Set(const char* type_text, const char* hex) {
  // The registry counts a null code unit that follows the data as part of
  // a string a caller "forgot" to count: keep what follows non-null so that
  // data without its null can be stored as it is.
  unsigned char data[4096];
  memset(data, 0xFF, sizeof data);
  size_t size = strlen(hex) / 2;
  if (strlen(hex) % 2 != 0 || size + 2 > sizeof data)
    return Fail("hex", ERROR_INVALID_DATA);
  for (size_t i = 0; i < size; i++) {
    unsigned byte;
    if (sscanf(hex + 2 * i, "%2x", &byte) != 1)
      return Fail("hex", ERROR_INVALID_DATA);
    data[i] = static_cast<unsigned char>(byte);
  }
  HKEY key;
  LONG status = CreateKey(kKeyName, &key);
  if (status != ERROR_SUCCESS)
    return Fail("create", status);
  DWORD type = strtoul(type_text, nullptr, 10);
  status = Close(key, RegSetValueExW(key, L"TeamID", 0, type, data, size));
  return status == ERROR_SUCCESS ? 0 : Fail("set", status);
}

// A DACL that grants everyone KEY_READ and nothing else.
int Lock() {
  HKEY key;
  LONG status = CreateKey(kKeyName, &key);
  if (status != ERROR_SUCCESS)
    return Fail("create", status);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  unsigned char acl_data[256];
  PACL acl = reinterpret_cast<PACL>(acl_data);
  SECURITY_DESCRIPTOR sd;
  bool built =
      AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0,
                               0, &everyone) &&
      InitializeAcl(acl, sizeof acl_data, ACL_REVISION) &&
      AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) &&
      InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
  status = built ? RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd)
                 : static_cast<LONG>(GetLastError());
  if (everyone != nullptr)
    FreeSid(everyone);
  status = Close(key, status);
  return status == ERROR_SUCCESS ? 0 : Fail("lock", status);
}

}  // namespace

int main(int argc, char** argv) {
  const char* command = argc > 1 ? argv[1] : "";
  if (strcmp(command, "show") == 0)
    return Show();
  if (strcmp(command, "clear") == 0)
    return Clear();
  if (strcmp(command, "key") == 0)
    return MakeKey(kKeyName);
  if (strcmp(command, "subkey") == 0)
    return MakeKey(L"SOFTWARE\\Tamrix\\Subkey");
  if (strcmp(command, "set") == 0 && argc == 4)
    return Set(argv[2], argv[3]);
  if (strcmp(command, "lock") == 0)
    return Lock();
  fprintf(stderr, "usage: regtool show|clear|key|subkey|lock|set TYPE HEX\n");
  return 2;
}
