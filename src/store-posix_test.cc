#include "store-posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

const char kTeamID[] = "abcdefghijklmnopqrstuvwxyz0";

// The process that KilledAfterStep kills: after step `kill_at`, it reports
// the step's name on `report` and dies of SIGKILL.
int steps_done;
int kill_at;
int report;

void KillAtStep(const char* step) {
  if (++steps_done != kill_at)
    return;
  if (write(report, step, strlen(step)) < 0)
    _exit(2);
  raise(SIGKILL);
}

// Runs `operation` in a child process killed after its n-th step (from 1).
// Returns that step's name, or "" when the operation ended first.
std::string KilledAfterStep(const std::function<void()>& operation, int n) {
  int fds[2];
  if (pipe(fds) != 0)
    return "<no pipe>";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    steps_done = 0;
    kill_at = n;
    report = fds[1];
    store_step_hook = KillAtStep;
    operation();
    _exit(0);
  }
  close(fds[1]);
  char step[64] = "";
  ssize_t got = read(fds[0], step, sizeof step - 1);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got <= 0 || !WIFSIGNALED(status))
    return "";
  step[got] = '\0';
  return step;
}

// A process ID that no process has: one of a child that has ended.
pid_t DeadProcessID() {
  pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Writes `data` as the whole file at `path`.
bool WriteFile(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  bool written = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && written;
}

// The whole file at `path`, or "<missing>".
std::string ReadFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return "<missing>";
  std::string data;
  for (int c; (c = getc(f)) != EOF;)
    data += static_cast<char>(c);
  fclose(f);
  return data;
}

// A fresh directory under /tmp per test; `key` is the store's directory in
// it, one level down so that creating it can be tried too.
class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    char root[] = "/tmp/teamid-store-test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(root));
    root_ = root;
    key_ = root_ + "/etc/key";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }

  void MakeKey() {
    ASSERT_EQ(0, mkdir((root_ + "/etc").c_str(), 0755));
    ASSERT_EQ(0, mkdir(key_.c_str(), 0755));
  }
  void PutFile(const std::string& name, const std::string& data) {
    ASSERT_TRUE(WriteFile(key_ + "/" + name, data));
  }
  std::string FileData(const std::string& name) {
    return ReadFile(key_ + "/" + name);
  }
  // Removes the key's parent directory and everything in it.
  void RemoveEtc() {
    ASSERT_EQ(0, system(("rm -rf '" + root_ + "/etc'").c_str()));
  }
  std::set<std::string> Entries() { return Entries(key_); }
  std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
      return {"<no directory>"};
    while (struct dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..")
        names.insert(name);
    }
    closedir(d);
    return names;
  }
  mode_t Mode(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
      return 0;
    return st.st_mode & 07777;
  }
  // Reads through the store: the text, or "<not set>".
  std::string Read() {
    char text[128];
    memset(text, '?', sizeof text);
    if (!ReadKeyValue(key_.c_str(), text))
      return "<not set>";
    return text;
  }

  // Everything below `path`: each entry's path, from `path`, mapped to its
  // type, mode and data or a link's target; to tell "exactly as before".
  std::map<std::string, std::string> Tree(const std::string& path,
                                          const std::string& prefix = "") {
    std::map<std::string, std::string> tree;
    for (const std::string& name : Entries(path)) {
      if (name == "<no directory>")
        break;
      std::string full = path + "/" + name;
      struct stat st;
      EXPECT_EQ(0, lstat(full.c_str(), &st)) << full;
      std::string what = std::to_string(st.st_mode & 07777);
      if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t n = readlink(full.c_str(), target, sizeof target);
        what = "link " + std::string(target, n > 0 ? n : 0);
      } else if (S_ISDIR(st.st_mode)) {
        what = "dir " + what;
        for (const auto& entry : Tree(full, prefix + name + "/"))
          tree.insert(entry);
      } else {
        what = "file " + what + " " + ReadFile(full);
      }
      tree[prefix + name] = what;
    }
    return tree;
  }
  // The name DeleteKey moves the key to in process `pid`.
  std::string Aside(pid_t pid) {
    return root_ + "/etc/.key.deleting." + std::to_string(pid);
  }
  // A key with the value, another file and a writer's leftover.
  void MakeFullKey(const std::string& value) {
    MakeKey();
    PutFile("TeamID", value + "\n");
    PutFile("Other", "other\n");
    PutFile(".TeamID.123.0", "ABC");
  }

  std::string root_;
  std::string key_;
};

TEST_F(StoreTest, ReadTakesOneFinalNewlineOffAnd127BytesAtMost) {
  struct Case {
    const char* name;
    std::string data;
    std::string read;
  } cases[] = {
      {"value and newline", std::string(kTeamID) + "\n", kTeamID},
      {"no final newline", kTeamID, kTeamID},
      {"empty text", "\n", ""},
      {"empty file", "", ""},
      {"only one newline is removed", "ab\n\n", "ab\n"},
      {"CR stays", "ab\r\n", "ab\r"},
      {"text ends at a null", std::string("ab\0cd\n", 6), "ab"},
      {"127 and newline", std::string(127, 'x') + "\n", std::string(127, 'x')},
      {"127 without newline", std::string(127, 'x'), std::string(127, 'x')},
      {"128 and newline", std::string(128, 'x') + "\n", "<not set>"},
      {"128 without newline", std::string(128, 'x'), "<not set>"},
      {"127, newline, more", std::string(127, 'x') + "\nx", "<not set>"},
      {"a long file", std::string(100000, 'x'), "<not set>"},
  };
  MakeKey();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PutFile("TeamID", c.data);
    EXPECT_EQ(c.read, Read());
  }
}

TEST_F(StoreTest, ReadFailsWithoutAValueFile) {
  EXPECT_EQ("<not set>", Read());  // no directory
  MakeKey();
  EXPECT_EQ("<not set>", Read());  // key without value
  PutFile(".TeamID.a1b2c3", std::string(kTeamID) + "\n");
  EXPECT_EQ("<not set>", Read());  // a leftover temporary file is no value
  ASSERT_EQ(0, mkdir((key_ + "/TeamID").c_str(), 0755));
  EXPECT_EQ("<not set>", Read());  // a directory is no value
}

TEST_F(StoreTest, ReadOfAFifoDoesNotHang) {
  MakeKey();
  ASSERT_EQ(0, mkfifo((key_ + "/TeamID").c_str(), 0644));
  EXPECT_EQ("<not set>", Read());
}

TEST_F(StoreTest, WriteCreatesKeyAndValueWithTheirModes) {
  mode_t old_umask = umask(077);
  bool written = WriteKeyValue(key_.c_str(), kTeamID);
  umask(old_umask);
  ASSERT_TRUE(written);
  EXPECT_EQ(std::string(kTeamID) + "\n", FileData("TeamID"));
  EXPECT_EQ(std::set<std::string>{"TeamID"}, Entries());
  EXPECT_EQ(0755u, Mode(root_ + "/etc"));
  EXPECT_EQ(0755u, Mode(key_));
  EXPECT_EQ(0644u, Mode(key_ + "/TeamID"));
  EXPECT_EQ(kTeamID, Read());
}

TEST_F(StoreTest, WriteReplacesTheValueAndLeavesOtherFiles) {
  MakeKey();
  PutFile("TeamID", "old\n");
  PutFile("Other", "other\n");
  ASSERT_TRUE(WriteKeyValue(key_.c_str(), kTeamID));
  EXPECT_EQ(std::string(kTeamID) + "\n", FileData("TeamID"));
  ASSERT_TRUE(WriteKeyValue(key_.c_str(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ9"));
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ9\n", FileData("TeamID"));
  EXPECT_EQ((std::set<std::string>{"Other", "TeamID"}), Entries());
}

TEST_F(StoreTest, WriteTakesUpTo127Bytes) {
  EXPECT_TRUE(WriteKeyValue(key_.c_str(), std::string(127, 'x').c_str()));
  EXPECT_EQ(std::string(127, 'x'), Read());
  EXPECT_FALSE(WriteKeyValue(key_.c_str(), std::string(128, 'y').c_str()));
  EXPECT_EQ(std::string(127, 'x'), Read());
}

TEST_F(StoreTest, FailedWriteLeavesNoTemporaryFile) {
  // The rename over a directory fails after the new value was written.
  MakeKey();
  ASSERT_EQ(0, mkdir((key_ + "/TeamID").c_str(), 0755));
  EXPECT_FALSE(WriteKeyValue(key_.c_str(), kTeamID));
  EXPECT_EQ(std::set<std::string>{"TeamID"}, Entries());
}

TEST_F(StoreTest, WriteFailsWhereTheKeyCannotBe) {
  // The key's place is taken by a file: nothing is created or changed.
  ASSERT_EQ(0, mkdir((root_ + "/etc").c_str(), 0755));
  ASSERT_TRUE(WriteFile(key_, ""));
  EXPECT_FALSE(WriteKeyValue(key_.c_str(), kTeamID));
  struct stat st;
  ASSERT_EQ(0, stat(key_.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0, st.st_size);
}

// A writer that dies at any point leaves the old value or the new one,
// whole; what it leaves behind is never read as a value and is cleared by
// the next delete.
TEST_F(StoreTest, WriterKilledAtAnyStepLeavesOldOrNewValue) {
  const std::string old_value = "OLDoldOLDoldOLDoldOLDoldOLD";
  for (bool had_value : {true, false}) {
    SCOPED_TRACE(had_value ? "over a value" : "no value before");
    std::set<std::string> seen;
    for (int n = 1;; n++) {
      RemoveEtc();
      if (had_value) {
        MakeKey();
        PutFile("TeamID", old_value + "\n");
      }
      std::string step =
          KilledAfterStep([this] { WriteKeyValue(key_.c_str(), kTeamID); }, n);
      if (step.empty())
        break;
      SCOPED_TRACE("killed after: " + step);

      std::string read = Read();
      EXPECT_TRUE(read == kTeamID ||
                  read == (had_value ? old_value : "<not set>"))
          << read;
      seen.insert(read);
      for (const std::string& name : Entries()) {
        if (name == "TeamID") {
          EXPECT_EQ(read + "\n", FileData(name));
        } else if (name != "<no directory>") {
          EXPECT_EQ(0u, name.rfind(".TeamID.", 0)) << name;
        }
      }

      ASSERT_TRUE(WriteKeyValue(key_.c_str(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ9"));
      EXPECT_EQ("ABCDEFGHIJKLMNOPQRSTUVWXYZ9", Read());
      ASSERT_TRUE(DeleteKey(key_.c_str()));
      EXPECT_EQ(std::set<std::string>{"<no directory>"}, Entries());
    }
    // Killed both before the new value took the old one's place and after.
    EXPECT_EQ(2u, seen.size());
  }
}

TEST_F(StoreTest, DeleteRemovesKeyValueAndLeftovers) {
  MakeKey();
  PutFile("TeamID", std::string(kTeamID) + "\n");
  PutFile(".TeamID.a1b2c3", "abc");
  ASSERT_TRUE(DeleteKey(key_.c_str()));
  EXPECT_EQ(std::set<std::string>{"<no directory>"}, Entries());
  EXPECT_EQ("<not set>", Read());
  EXPECT_EQ(0755u, Mode(root_ + "/etc")) << "only the key goes";
}

TEST_F(StoreTest, DeleteOfAKeyWithoutValue) {
  MakeKey();
  EXPECT_TRUE(DeleteKey(key_.c_str()));
  EXPECT_EQ(std::set<std::string>{"<no directory>"}, Entries());
}

TEST_F(StoreTest, DeleteFailsWithoutKey) {
  EXPECT_FALSE(DeleteKey(key_.c_str()));
}

TEST_F(StoreTest, DeleteFailsWithASubkeyAndChangesNothing) {
  MakeKey();
  PutFile("TeamID", std::string(kTeamID) + "\n");
  PutFile(".TeamID.a1b2c3", "abc");
  ASSERT_EQ(0, mkdir((key_ + "/Subkey").c_str(), 0755));
  EXPECT_FALSE(DeleteKey(key_.c_str()));
  EXPECT_EQ((std::set<std::string>{".TeamID.a1b2c3", "Subkey", "TeamID"}),
            Entries());
  EXPECT_EQ(kTeamID, Read());
}

// A remover that dies at any point leaves the key whole or no value: what
// it moved aside is hidden, and the next write or delete finishes it.
TEST_F(StoreTest, RemoverKilledAtAnyStepLeavesTheKeyWholeOrNoValue) {
  const std::string old_value = "OLDoldOLDoldOLDoldOLDoldOLD";
  const std::string etc = root_ + "/etc";
  std::set<std::string> seen;
  for (int n = 1;; n++) {
    RemoveEtc();
    MakeFullKey(old_value);
    const auto before = Tree(etc);
    std::string step = KilledAfterStep([this] { DeleteKey(key_.c_str()); }, n);
    if (step.empty())
      break;
    SCOPED_TRACE("killed after: " + step);

    std::string read = Read();
    seen.insert(read);
    if (read == old_value) {
      EXPECT_EQ(before, Tree(etc));
    } else {
      EXPECT_EQ("<not set>", read);
      for (const std::string& name : Entries(etc))
        EXPECT_EQ(0u, name.rfind(".key.deleting.", 0)) << name;
    }

    ASSERT_TRUE(WriteKeyValue(key_.c_str(), kTeamID));
    EXPECT_EQ(std::set<std::string>{"key"}, Entries(etc));
    ASSERT_TRUE(DeleteKey(key_.c_str()));
    EXPECT_EQ(std::set<std::string>{}, Entries(etc));
  }
  EXPECT_EQ((std::set<std::string>{old_value, "<not set>"}), seen);
}

// A writer that opened the key before the remover moved it may still put a
// file into it. The value is gone by then: the removal goes on and clears
// that file too.
std::string latecomer;
void PutLatecomer(const char* step) {
  if (strcmp(step, "file removed") != 0 || latecomer.empty())
    return;
  WriteFile(latecomer, "");
  latecomer.clear();
}

TEST_F(StoreTest, DeleteClearsWhatAWriterPutsIntoTheMovedKey) {
  MakeFullKey(kTeamID);
  latecomer = Aside(getpid()) + "/.TeamID.77.0";
  store_step_hook = PutLatecomer;
  bool deleted = DeleteKey(key_.c_str());
  store_step_hook = nullptr;
  EXPECT_TRUE(latecomer.empty()) << "the hook never ran";
  EXPECT_TRUE(deleted);
  EXPECT_EQ(std::set<std::string>{}, Entries(root_ + "/etc"));
}

// Where the key or the value would be, a link is not followed, replaced or
// removed: the Team ID reads as not set, and changing it fails.
TEST_F(StoreTest, LinksInTheStoreAreNeitherFollowedNorReplaced) {
  const std::string etc = root_ + "/etc";
  struct Case {
    const char* name;
    std::string link;    // where the link is, from etc/
    std::string target;  // what it points to
  } cases[] = {
      {"linked key", "key", "real"},
      {"linked value", "key/TeamID", "../value"},
      {"linked value, nowhere", "key/TeamID", "../nowhere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveEtc();
    ASSERT_EQ(0, mkdir(etc.c_str(), 0755));
    ASSERT_EQ(0, mkdir((etc + "/real").c_str(), 0755));
    if (c.link != "key") {
      ASSERT_EQ(0, mkdir(key_.c_str(), 0755));
    }
    for (const char* file : {"/real/TeamID", "/value"})
      ASSERT_TRUE(WriteFile(etc + file, std::string(kTeamID) + "\n"));
    ASSERT_EQ(0, symlink(c.target.c_str(), (etc + "/" + c.link).c_str()));
    const auto before = Tree(etc);

    EXPECT_EQ("<not set>", Read());
    EXPECT_FALSE(WriteKeyValue(key_.c_str(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ9"));
    EXPECT_FALSE(DeleteKey(key_.c_str()));
    EXPECT_EQ(before, Tree(etc));
  }
}

TEST_F(StoreTest, DeleteRemovesALinkInTheKeyNotWhatItPointsTo) {
  MakeFullKey(kTeamID);
  PutFile("Keep", "keep\n");
  ASSERT_EQ(0, symlink("Keep", (key_ + "/Link").c_str()));
  ASSERT_EQ(0, rename((key_ + "/Keep").c_str(), (root_ + "/Keep").c_str()));
  ASSERT_EQ(0, unlink((key_ + "/Link").c_str()));
  ASSERT_EQ(0, symlink("../../Keep", (key_ + "/Link").c_str()));
  ASSERT_TRUE(DeleteKey(key_.c_str()));
  EXPECT_EQ(std::set<std::string>{"<no directory>"}, Entries());
  EXPECT_EQ((std::set<std::string>{"Keep", "etc"}), Entries(root_));
}

// What a dead remover left beside the key is finished by the next write or
// delete, not by a read; a live one's, or one holding a directory, stays.
TEST_F(StoreTest, LeftoversOfDeadRemoversAreFinishedByTheNextChange) {
  const std::string etc = root_ + "/etc";
  auto make_leftover = [this](pid_t pid, bool with_subdirectory) {
    std::string aside = Aside(pid);
    EXPECT_EQ(0, mkdir(aside.c_str(), 0755));
    EXPECT_EQ(0, mkdir((aside + "/.deleting.0").c_str(), 0700));
    for (const char* file : {"/Other", "/.deleting.0/TeamID"})
      EXPECT_TRUE(WriteFile(aside + file, ""));
    if (with_subdirectory) {
      EXPECT_EQ(0, mkdir((aside + "/Subkey").c_str(), 0755));
    }
    return ".key.deleting." + std::to_string(pid);
  };
  const pid_t live = getppid();
  for (bool write : {true, false}) {
    SCOPED_TRACE(write ? "write" : "delete");
    RemoveEtc();
    MakeFullKey(kTeamID);
    make_leftover(DeadProcessID(), false);
    make_leftover(getpid(), false);  // an earlier process with our ID
    std::string kept_live = make_leftover(live, false);
    std::string kept_subkey = make_leftover(DeadProcessID(), true);
    const auto before = Tree(etc);

    EXPECT_EQ(kTeamID, Read());
    EXPECT_EQ(before, Tree(etc));
    if (write) {
      ASSERT_TRUE(WriteKeyValue(key_.c_str(), kTeamID));
      EXPECT_EQ((std::set<std::string>{"key", kept_live, kept_subkey}),
                Entries(etc));
    } else {
      ASSERT_TRUE(DeleteKey(key_.c_str()));
      EXPECT_EQ((std::set<std::string>{kept_live, kept_subkey}), Entries(etc));
    }
    // Its staged file is back among the others; nothing is lost.
    EXPECT_EQ((std::set<std::string>{"Other", "Subkey", "TeamID"}),
              Entries(etc + "/" + kept_subkey));
  }
}

TEST_F(StoreTest, ReadNeedsOnlySearchPermissionAboveTheKey) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root may read any directory";
  MakeFullKey(kTeamID);
  ASSERT_EQ(0, chmod((root_ + "/etc").c_str(), 0311));
  EXPECT_EQ(kTeamID, Read());
  ASSERT_EQ(0, chmod((root_ + "/etc").c_str(), 0755));
}

// Without root: a key that can't be moved, or whose files can't be moved,
// is left exactly as it was. (Root may write anywhere; the end-to-end tests
// try these as an unprivileged user, and with mounts.)
TEST_F(StoreTest, DeleteChangesNothingWhereItCannotComplete) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root may write any directory";
  const std::string etc = root_ + "/etc";
  struct Case {
    const char* name;
    std::string locked;  // made read-only
  } cases[] = {
      {"the key's parent can't be written", etc},
      {"the key itself can't be written", key_},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, system(("chmod -R u+w '" + root_ + "'").c_str()));
    RemoveEtc();
    MakeFullKey(kTeamID);
    ASSERT_EQ(0, chmod(c.locked.c_str(), 0555));
    const auto before = Tree(etc);
    EXPECT_FALSE(DeleteKey(key_.c_str()));
    EXPECT_EQ(before, Tree(etc));
    EXPECT_EQ(kTeamID, Read());
    ASSERT_EQ(0, chmod(c.locked.c_str(), 0755));
  }
}

}  // namespace
