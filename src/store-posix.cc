#include "store-posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
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

// A key being removed is renamed to ".<key>.deleting.<pid>" beside it, and
// its files are moved into a subdirectory ".deleting.<n>" of it before any
// of them is removed.
const char kDeletingTag[] = ".deleting.";
const int kStagingAttempts = 100;

// How often a removal clears the moved key again when a writer that had
// opened it before it was moved puts a file into it.
const int kClearAttempts = 8;

// Where the key lives: the directory that holds it, open, and its name there.
struct Key {
  int parent;
  char name[NAME_MAX + 1];
};

// True, after telling the test seam that `step` is done.
bool Step(const char* step) {
  if (store_step_hook != nullptr)
    store_step_hook(step);
  return true;
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
  if (snprintf(path, sizeof path, "%s", dir) >= PATH_MAX)
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

// Splits `dir` into the directory that holds the key and the key's name:
// "/etc/app/key" into "/etc/app" and "key".
bool SplitKeyPath(const char* dir, char* parent, char* name) {
  size_t length = strlen(dir);
  while (length > 1 && dir[length - 1] == '/')
    length--;
  size_t start = length;
  while (start > 0 && dir[start - 1] != '/')
    start--;
  size_t name_length = length - start;
  if (name_length == 0 || name_length > NAME_MAX || start >= PATH_MAX)
    return false;
  memcpy(name, dir + start, name_length);
  name[name_length] = '\0';
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
    return false;
  if (start == 0) {
    strcpy(parent, ".");
  } else if (start == 1) {
    strcpy(parent, "/");
  } else {
    memcpy(parent, dir, start - 1);
    parent[start - 1] = '\0';
  }
  return true;
}

// Opens the directory that holds the key, creating it first if `make`.
// Links on the way there are followed: they are the system's, not ours.
bool OpenKeyParent(const char* dir, bool make, Key* key) {
  char parent[PATH_MAX];
  if (!SplitKeyPath(dir, parent, key->name))
    return false;
  if (make && !MakeDirs(parent))
    return false;
  key->parent = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return key->parent >= 0;
}

// Opens a directory of the store. A link in its place is not followed.
int OpenDir(int at, const char* name) {
  return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool IsLink(int dir_fd, const char* name) {
  struct stat st;
  return fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

// Calls visit() for each entry of the directory but "." and "..", until one
// returns false. False when the directory can't be listed or a visit failed.
bool ForEachEntry(int dir_fd,
                  bool (*visit)(int dir_fd, const char* name, void* context),
                  void* context) {
  int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0)
    return false;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  // The copy shares its position with `dir_fd`: start from the top.
  rewinddir(d);
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
      ok = visit(dir_fd, name, context);
  }
  return closedir(d) == 0 && ok;
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

// Opens the key, creating it with mode 0755 when it is missing.
int MakeKey(const Key& key) {
  bool made = mkdirat(key.parent, key.name, 0755) == 0;
  if (!made && errno != EEXIST)
    return -1;
  int fd = OpenDir(key.parent, key.name);
  if (fd < 0 || !made)
    return fd;
  if (fchmod(fd, 0755) != 0 || fsync(key.parent) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// What a key may hold to be removed: no subdirectory (a subkey), and no
// link in the value's place.
bool IsRemovable(int dir_fd, const char* name, void*) {
  struct stat st;
  if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (S_ISLNK(st.st_mode))
    return strcmp(name, kValueName) != 0;
  return !S_ISDIR(st.st_mode);
}

// Where StageFile and MoveBack move files to, keeping their names.
struct Move {
  int to;
  const char* skip;  // the staging directory itself, when moving out of a key
};

bool StageFile(int key_fd, const char* name, void* context) {
  const Move* move = static_cast<const Move*>(context);
  if (strcmp(name, move->skip) == 0)
    return true;
  if (!IsRemovable(key_fd, name, nullptr))
    return false;
  // ENOENT: a writer's temporary file, renamed or removed meanwhile.
  if (renameat(key_fd, name, move->to, name) != 0)
    return errno == ENOENT;
  return Step("file staged");
}

// Moves every file it can: one that can't go back keeps no other from it.
bool MoveBack(int from, const char* name, void* context) {
  const Move* move = static_cast<const Move*>(context);
  renameat(from, name, move->to, name);
  return true;
}

bool RemoveFile(int dir_fd, const char* name, void*) {
  if (unlinkat(dir_fd, name, 0) != 0 && errno != ENOENT)
    return false;
  return Step("file removed");
}

// Creates the staging directory in the key, named in `name`, and opens it.
int MakeStaging(int key_fd, char* name, size_t size) {
  for (int n = 0; n < kStagingAttempts; n++) {
    snprintf(name, size, "%s%d", kDeletingTag, n);
    if (mkdirat(key_fd, name, 0700) == 0)
      return OpenDir(key_fd, name);
    // EEXIST: a file of that name; the key holds no directory.
    if (errno != EEXIST)
      return -1;
  }
  return -1;
}

// Removes every file of the key, or none. They are first moved into a
// staging directory in the key: a file that can't be moved can't be removed
// either, and then the moved ones go back and nothing has changed. Once all
// are there, they are removed, and the staging directory with them.
bool ClearKey(int key_fd) {
  char staging[32];
  int staging_fd = MakeStaging(key_fd, staging, sizeof staging);
  if (staging_fd < 0)
    return false;
  Move stage = {staging_fd, staging};
  if (!ForEachEntry(key_fd, StageFile, &stage)) {
    Move back = {key_fd, ""};
    ForEachEntry(staging_fd, MoveBack, &back);
    close(staging_fd);
    unlinkat(key_fd, staging, AT_REMOVEDIR);
    return false;
  }
  bool removed = ForEachEntry(staging_fd, RemoveFile, nullptr);
  return close(staging_fd) == 0 && removed &&
         unlinkat(key_fd, staging, AT_REMOVEDIR) == 0;
}

// A removal moves the key to ".<key>.deleting.<pid>" beside it.
bool DeletingName(const char* key_name, pid_t pid, char* name) {
  int n = snprintf(name, NAME_MAX + 1, ".%s%s%ld", key_name, kDeletingTag,
                   static_cast<long>(pid));
  return n > 0 && n <= NAME_MAX;
}

// The process ID in `name` when it is the key moved aside by a removal;
// 0 when it is another name.
pid_t RemoverOf(const char* key_name, const char* name) {
  size_t key_length = strlen(key_name);
  size_t tag_length = sizeof kDeletingTag - 1;
  if (name[0] != '.' || strncmp(name + 1, key_name, key_length) != 0 ||
      strncmp(name + 1 + key_length, kDeletingTag, tag_length) != 0)
    return 0;
  const char* digits = name + 1 + key_length + tag_length;
  char* end;
  long pid = strtol(digits, &end, 10);
  if (*digits < '1' || *digits > '9' || *end != '\0' || pid > INT_MAX)
    return 0;
  return static_cast<pid_t>(pid);
}

// Moves the files a dead remover had staged back into the key it moved
// aside, so that ClearKey removes all of them or none.
bool Unstage(int dir_fd, const char* name, void*) {
  if (strncmp(name, kDeletingTag, sizeof kDeletingTag - 1) != 0)
    return true;
  int fd = OpenDir(dir_fd, name);
  if (fd < 0)
    return true;
  Move back = {dir_fd, ""};
  bool moved = ForEachEntry(fd, MoveBack, &back);
  close(fd);
  // Fails when a file could not go back: the leftover then stays.
  return moved && unlinkat(dir_fd, name, AT_REMOVEDIR) == 0;
}

// A key moved aside by a remover that has died. Its removal took effect
// when the key was moved, so it is finished; a leftover that holds what
// can't be removed stays, with all its files.
bool FinishRemoval(int parent, const char* name, void* context) {
  const char* key_name = static_cast<const char*>(context);
  pid_t pid = RemoverOf(key_name, name);
  if (pid == 0)
    return true;
  // Our own process ID: left by an earlier process that had it.
  bool dead = pid == getpid() || (kill(pid, 0) != 0 && errno == ESRCH);
  if (!dead)
    return true;
  int fd = OpenDir(parent, name);
  if (fd < 0)
    return true;
  if (ForEachEntry(fd, Unstage, nullptr) && ClearKey(fd))
    unlinkat(parent, name, AT_REMOVEDIR);
  close(fd);
  return true;
}

void FinishRemovals(const Key& key) {
  ForEachEntry(key.parent, FinishRemoval, const_cast<char*>(key.name));
}

bool IsSameFile(int dir_fd, const char* name, int fd) {
  struct stat a, b;
  return fstatat(dir_fd, name, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Moves the key aside, in one rename: readers see the value until then and
// no value after. A key that can't be moved (a mount point, a directory
// that can't be written) is left as it is. Then it is emptied and removed,
// or put back whole when one of its files can't be removed.
bool MoveAsideAndRemove(const Key& key, int key_fd) {
  char aside[NAME_MAX + 1];
  if (!DeletingName(key.name, getpid(), aside) ||
      renameat(key.parent, key.name, key.parent, aside) != 0)
    return false;
  Step("key moved aside");
  // Moved by name: if another directory took the key's place after it was
  // opened, that one goes back untouched.
  if (!IsSameFile(key.parent, aside, key_fd) || !ClearKey(key_fd)) {
    renameat(key.parent, aside, key.parent, key.name);
    return false;
  }
  // The value is gone: from here on the removal has succeeded. A writer
  // that opened the key before it moved may still put a file into it; what
  // remains after a few rounds is finished by the next run.
  for (int n = 0; n < kClearAttempts; n++) {
    if (unlinkat(key.parent, aside, AT_REMOVEDIR) == 0) {
      Step("key removed");
      break;
    }
    if ((errno != ENOTEMPTY && errno != EEXIST) || !ClearKey(key_fd))
      break;
  }
  fsync(key.parent);
  return Step("flushed");
}

}  // namespace

bool ReadKeyValue(const char* dir, char* text) {
  // By its path, so that reading needs no more than search permission on
  // the directories above the key.
  char parent[PATH_MAX];
  char name[NAME_MAX + 1];
  char path[PATH_MAX];
  if (!SplitKeyPath(dir, parent, name) ||
      snprintf(path, sizeof path, "%s/%s",
               strcmp(parent, "/") == 0 ? "" : parent, name) >= PATH_MAX)
    return false;
  int key_fd = OpenDir(AT_FDCWD, path);
  if (key_fd < 0)
    return false;
  // O_NONBLOCK: a FIFO in the value's place must not hang the read.
  int fd = openat(key_fd, kValueName,
                  O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  bool closed = close(key_fd) == 0;
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
  return close(fd) == 0 && closed && ok;
}

bool WriteKeyValue(const char* dir, const char* text) {
  size_t length = strlen(text);
  if (length >= kTeamIDTextSize)
    return false;
  char data[kTeamIDTextSize];
  memcpy(data, text, length);
  data[length] = '\n';
  Key key;
  if (!OpenKeyParent(dir, true, &key))
    return false;
  FinishRemovals(key);
  // Every step works on this directory, even if it is removed meanwhile:
  // the new file is then never created, or its rename was the last word.
  int key_fd = MakeKey(key);
  bool ok = key_fd >= 0 && Step("directory made") &&
            !IsLink(key_fd, kValueName) &&
            ReplaceValue(key_fd, data, length + 1) && fsync(key_fd) == 0 &&
            Step("directory flushed");
  if (key_fd >= 0 && close(key_fd) != 0)
    ok = false;
  return close(key.parent) == 0 && ok;
}

bool DeleteKey(const char* dir) {
  Key key;
  if (!OpenKeyParent(dir, false, &key))
    return false;
  FinishRemovals(key);
  // Checked before anything moves: a key with a subkey, or a link in its
  // place or the value's, stays as it is.
  int key_fd = OpenDir(key.parent, key.name);
  bool ok = key_fd >= 0 && ForEachEntry(key_fd, IsRemovable, nullptr) &&
            Step("key checked") && MoveAsideAndRemove(key, key_fd);
  if (key_fd >= 0 && close(key_fd) != 0)
    ok = false;
  return close(key.parent) == 0 && ok;
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
