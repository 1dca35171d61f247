"""Drivers that run the real programs for the end-to-end tests.

`native`: the native preset built again with its store in a fresh folder
under /tmp (the program can't be pointed elsewhere at run time), run
directly. TEAMID_E2E_NATIVE_PRESET names another preset to build it with
(native-asan: under the sanitizers); the Windows cases are then skipped.

`windows`: build/windows/teamid.exe under Wine, in a fresh WINEPREFIX,
against Wine's real registry, prepared and inspected with the tests' own
build/windows/regtool.exe. TEAMID_E2E_WINDOWS_EXE names another teamid.exe
to run (a signed one from a package).

Both drivers speak the same abstract store states (model.py), so one table
of cases runs against both.
"""

import os
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

from model import ABSENT, NOBODY, ROOT, Run, require_root

sys.path.insert(0, os.path.join(ROOT, "tests"))
import wineprefix  # noqa: E402

NATIVE_PRESET = os.environ.get("TEAMID_E2E_NATIVE_PRESET", "native")
WINDOWS_EXE = os.environ.get("TEAMID_E2E_WINDOWS_EXE")


@pytest.fixture(scope="session")
def fixture_root():
    root = tempfile.mkdtemp(prefix="teamid-e2e.", dir="/tmp")
    os.chmod(root, 0o755)  # reachable by the unprivileged user
    yield root
    shutil.rmtree(root, ignore_errors=True)


class NativeDriver:
    name = "native"
    newline = b"\n"
    # The program's own key-press prompt; no line break when stdin is no
    # terminal.
    pause = b"Press any key to continue . . . "

    def __init__(self, root):
        self.root = os.path.join(root, "native")
        build = os.path.join(self.root, "build")
        self.store = os.path.join(self.root, "etc", "tamrix")
        subprocess.run(
            ["cmake", "--preset", NATIVE_PRESET, "-B", build,
             "-DBUILD_TESTING=OFF", "-DTEAMID_STORE_DIR=" + self.store],
            cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "teamid"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        self.program = os.path.join(build, "teamid")
        os.makedirs(os.path.dirname(self.store), mode=0o755)
        self.cwd = os.path.join(self.root, "cwd")
        os.makedirs(self.cwd, mode=0o755)
        self.env = None  # this process's own

    def argv(self, args=None):
        return [self.program] + ([] if args is None else list(args))

    def run(self, args, stdin=b"", refused=False, cwd=None):
        command = self.argv(args)
        if refused:
            require_root("to run as nobody")
            command = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                       "--clear-groups", "--"] + command
        return Run(subprocess.run(command, input=stdin, capture_output=True,
                                  cwd=cwd or self.cwd, timeout=30))

    def pause_waits(self, term):
        """At a terminal: the pause is blocked reading one key."""
        try:
            with open("/proc/%s/syscall" % term.read("pid")) as f:
                call = f.read().split()
        except (FileNotFoundError, TypeError):
            return False
        except PermissionError:
            # Where only a process's ancestors may look (Yama): asleep, with
            # the terminal in key mode, is all that can be seen.
            return term.process_state() == "S" and term.in_key_mode()
        return call[:2] == ["0", "0x0"] and term.in_key_mode()  # read(0, ...)

    def prepare(self, state, refused=False):
        """Puts the store in `state`. Refused: left to the unprivileged run."""
        parent = os.path.dirname(self.store)
        shutil.rmtree(parent)
        os.mkdir(parent, 0o755)
        if not state.exists:
            return
        os.mkdir(self.store, 0o755)
        for name, data in self._files(state).items():
            if data is None:
                os.mkdir(os.path.join(self.store, name), 0o755)
                continue
            path = os.path.join(self.store, name)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, 0o644)

    def _files(self, state):
        files = {}
        if state.native_raw is not None:
            files["TeamID"] = state.native_raw
        elif state.value is not None:
            files["TeamID"] = state.value.encode("latin-1") + b"\n"
        if state.subkey:
            files["Subkey"] = None
        return files

    def render(self, state):
        """What observe() returns when the store is in `state`."""
        if not state.exists:
            return "absent"
        entries = {}
        for name, data in self._files(state).items():
            entries[name] = ("dir", 0o755) if data is None else ("file", 0o644, data)
        return ("dir", 0o755, entries)

    def observe(self):
        # Nothing of the store's may be left beside it.
        strays = sorted(set(os.listdir(os.path.dirname(self.store))) -
                        {os.path.basename(self.store)})
        if strays:
            return ("strays beside the key", strays, self._observe_key())
        return self._observe_key()

    def _observe_key(self):
        if not os.path.lexists(self.store):
            return "absent"
        entries = {}
        for name in os.listdir(self.store):
            path = os.path.join(self.store, name)
            st = os.lstat(path)
            mode = stat.S_IMODE(st.st_mode)
            if stat.S_ISDIR(st.st_mode):
                entries[name] = ("dir", mode)
            else:
                with open(path, "rb") as f:
                    entries[name] = ("file", mode, f.read())
        return ("dir", stat.S_IMODE(os.lstat(self.store).st_mode), entries)


class WineDriver:
    name = "windows"
    newline = b"\r\n"
    # What Wine's command interpreter prints for "pause" when stdin is no
    # console; the program's own texts are flushed before it runs.
    pause = b"Press any key to continue... "

    def __init__(self, root):
        self.program = WINDOWS_EXE or os.path.join(ROOT, "build", "windows", "teamid.exe")
        if not os.path.exists(self.program):
            pytest.fail(self.program + " is missing: build the windows preset first")
        self.wine = wineprefix.WINE
        self.env = wineprefix.start(root)
        self.cwd = os.path.join(root, "wine-cwd")
        os.makedirs(self.cwd, mode=0o755)

    def close(self):
        wineprefix.stop(self.env)

    def argv(self, args=None):
        return self.wine + [self.program] + ([] if args is None else list(args))

    def run(self, args, stdin=b"", refused=False, cwd=None):
        command = self.argv(args)
        return Run(subprocess.run(command, input=stdin, capture_output=True,
                                  cwd=cwd or self.cwd, env=self.env, timeout=60))

    def pause_waits(self, term):
        """At a terminal: the command interpreter runs "pause" in our
        prefix (Wine's console reads every key typed at once)."""
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read().lower()
                if b"cmd.exe" not in command or b"pause" not in command:
                    continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    prefix = b"WINEPREFIX=" + self.env["WINEPREFIX"].encode()
                    if prefix in f.read().split(b"\0"):
                        return True
            except OSError:
                continue
        return False

    def regtool_run(self, *args):
        return wineprefix.regtool(self.env, *args)

    def prepare(self, state, refused=False):
        self.regtool_run("clear")
        if not state.exists:
            return
        reg_type, data = self._value(state)
        if data is None:
            self.regtool_run("key")
        else:
            self.regtool_run("set", str(reg_type), data.hex() or "")
        if state.subkey:
            self.regtool_run("subkey")
        if refused:
            self.regtool_run("lock")

    def _value(self, state):
        if state.windows_raw is not None:
            return state.windows_raw
        if state.value is None:
            return None, None
        return 1, (state.value + "\0").encode("utf-16-le")

    def render(self, state):
        if not state.exists:
            return "absent"
        reg_type, data = self._value(state)
        line = "key subkeys=%d " % (1 if state.subkey else 0)
        if data is None:
            return line + "value=absent"
        return line + "type=%d data=%s" % (reg_type, data.hex())

    def observe(self):
        return self.regtool_run("show")


@pytest.fixture(scope="session")
def native(fixture_root):
    return NativeDriver(fixture_root)


@pytest.fixture(scope="session")
def windows(fixture_root):
    if NATIVE_PRESET != "native":
        pytest.skip("a run for the native program built with " + NATIVE_PRESET)
    driver = WineDriver(fixture_root)
    yield driver
    driver.close()


@pytest.fixture(params=["native", "windows"])
def program(request):
    """Each program in turn, with its store cleared."""
    driver = request.getfixturevalue(request.param)
    driver.prepare(ABSENT)
    return driver
