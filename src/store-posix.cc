#include "store-posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store.h"

void (*store_step_hook)(const char* step) = nullptr;

namespace {

const char kValueName[] = "TeamID";
// Hidden, and never the value's name, so a leftover is never read as one.
const char kTempPrefix[] = ".TeamID.";
const int kTempAttempts = 100;

// How often DeleteKey clears the directory again when a writer has put a
// file into it meanwhile.
const int kDeleteAttempts = 8;

// True, after telling the test seam that `step` is done.
bool Step(const char* step) {
  if (store_step_hook != nullptr)
    store_step_hook(step);
  return true;
}

bool JoinPath(char* path, const char* dir, const char* name) {
  int n = snprintf(path, PATH_MAX, "%s/%s", dir, name);
  return n > 0 && n < PATH_MAX;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= n;
  }
  return true;
}

// Reads until `size` bytes or the end of the file.
bool ReadAll(int fd, char* data, size_t size, size_t* length) {
  *length = 0;
  while (*length < size) {
    ssize_t n = read(fd, data + *length, size - *length);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return false;
    if (n == 0)
      break;
    *length += n;
  }
  return true;
}

// Flushes the directory `path` itself, so that its entries survive a crash.
bool SyncDir(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

// Flushes the directory that holds `path`.
bool SyncParent(const char* path) {
  char parent[PATH_MAX];
  if (snprintf(parent, sizeof parent, "%s", path) >= PATH_MAX)
    return false;
  char* slash = strrchr(parent, '/');
  if (slash == nullptr)
    return SyncDir(".");
  if (slash == parent)
    slash++;
  *slash = '\0';
  return SyncDir(parent);
}

// mkdir -p, with mode 0755 whatever the umask.
bool MakeDirs(const char* dir) {
  char path[PATH_MAX];
  if (dir[0] == '\0' || snprintf(path, sizeof path, "%s", dir) >= PATH_MAX)
    return false;
  for (char* p = path + 1;; p++) {
    if (*p != '/' && *p != '\0')
      continue;
    char end = *p;
    *p = '\0';
    if (mkdir(path, 0755) == 0) {
      if (chmod(path, 0755) != 0 || !SyncParent(path))
        return false;
    } else if (errno != EEXIST) {
      return false;
    }
    if (end == '\0')
      return true;
    *p = end;
  }
}

// Creates a new temporary file in the directory, named in `name`:
// exclusively, never through a link.
int CreateTempFile(int dir_fd, char* name, size_t size) {
  for (int n = 0; n < kTempAttempts; n++) {
    snprintf(name, size, "%s%ld.%d", kTempPrefix, static_cast<long>(getpid()),
             n);
    int fd = openat(dir_fd, name,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    // EEXIST: left by a writer that died with our process ID.
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

// Writes `data` to a new temporary file in the directory, flushes it and
// renames it over the value.
bool ReplaceValue(int dir_fd, const char* data, size_t size) {
  char temp[64];
  int fd = CreateTempFile(dir_fd, temp, sizeof temp);
  if (fd < 0)
    return false;
  bool written = Step("temporary file created") && fchmod(fd, 0644) == 0 &&
                 WriteAll(fd, data, size) && Step("temporary file written") &&
                 fsync(fd) == 0 && Step("temporary file flushed");
  if (close(fd) == 0 && written &&
      renameat(dir_fd, temp, dir_fd, kValueName) == 0)
    return Step("renamed");
  unlinkat(dir_fd, temp, 0);
  return false;
}

// Calls visit() for each entry of `dir` but "." and "..", until one returns
// false. False when the directory can't be listed or a visit failed.
bool ForEachEntry(const char* dir,
                  bool (*visit)(int dir_fd, const char* name)) {
  DIR* d = opendir(dir);
  if (d == nullptr)
    return false;
  bool ok = true;
  while (ok) {
    errno = 0;
    struct dirent* entry = readdir(d);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
      ok = visit(dirfd(d), name);
  }
  return closedir(d) == 0 && ok;
}

// A key with a subkey (a subdirectory) is not deleted.
bool IsNoSubdirectory(int dir_fd, const char* name) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  return !S_ISDIR(st.st_mode);
}

// Unlinks leftover temporary files; the value goes last, on its own.
bool UnlinkUnlessValue(int dir_fd, const char* name) {
  return strcmp(name, kValueName) == 0 || unlinkat(dir_fd, name, 0) == 0 ||
         errno == ENOENT;
}

}  // namespace

bool ReadKeyValue(const char* dir, char* text) {
  char path[PATH_MAX];
  if (!JoinPath(path, dir, kValueName))
    return false;
  // O_NONBLOCK: a FIFO in the value's place must not hang the read.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  // Room for 127 bytes, the newline and one more, which makes it too long.
  char data[kTeamIDTextSize + 1];
  size_t length = 0;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            ReadAll(fd, data, sizeof data, &length);
  if (ok && length > 0 && data[length - 1] == '\n')
    length--;
  if (ok && length >= kTeamIDTextSize)
    ok = false;
  if (ok) {
    memcpy(text, data, length);
    text[length] = '\0';
  }
  return close(fd) == 0 && ok;
}

bool WriteKeyValue(const char* dir, const char* text) {
  size_t length = strlen(text);
  if (length >= kTeamIDTextSize)
    return false;
  char data[kTeamIDTextSize];
  memcpy(data, text, length);
  data[length] = '\n';
  if (!MakeDirs(dir) || !Step("directory made"))
    return false;
  // Every step works on this directory, even if it is removed meanwhile:
  // the new file is then never created, or its rename was the last word.
  int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0)
    return false;
  bool ok = ReplaceValue(dir_fd, data, length + 1) && fsync(dir_fd) == 0 &&
            Step("directory flushed");
  return close(dir_fd) == 0 && ok;
}

bool DeleteKey(const char* dir) {
  char path[PATH_MAX];
  if (!JoinPath(path, dir, kValueName))
    return false;
  for (int attempt = 0; attempt < kDeleteAttempts; attempt++) {
    if (!ForEachEntry(dir, IsNoSubdirectory) ||
        !ForEachEntry(dir, UnlinkUnlessValue))
      return false;
    // The value goes last: a failure before this point changes nothing a
    // reader can see.
    if (unlink(path) != 0 && errno != ENOENT)
      return false;
    if (rmdir(dir) == 0)
      return SyncParent(dir);
    // A writer has put a file into the directory meanwhile: clear it again.
    if (errno != ENOTEMPTY && errno != EEXIST)
      return false;
  }
  return false;
}

bool ReadTeamID(char* text) {
  return ReadKeyValue(TEAMID_STORE_DIR, text);
}

bool WriteTeamID(const char* text) {
  return WriteKeyValue(TEAMID_STORE_DIR, text);
}

bool DeleteTeamIDKey() {
  return DeleteKey(TEAMID_STORE_DIR);
}
