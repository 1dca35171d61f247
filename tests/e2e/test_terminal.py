"""Interactive mode at a real terminal: tmux runs each program in a pane,
send-keys types, capture-pane reads the screen.

A small shell around the program records the terminal's mode (stty -g)
before and after it, its process ID and its exit status, so the tests can
tell that it is still waiting and that it left the terminal as it found it.
Whether it waits for a key is read from outside: the terminal's mode and
input queue, and for the native program the system call it is blocked in.
"""

import fcntl
import os
import shlex
import struct
import subprocess
import termios
import time

import pytest

from model import ABSENT, ERROR, PROMPT, TID, TITLE, UNDERLINE, Value, require_root


class Terminal:
    def __init__(self, folder, program, job_control=False):
        self.folder = folder
        self.program = program
        os.makedirs(folder, mode=0o755)
        self.socket = os.path.join(folder, "tmux.sock")
        self.files = {name: os.path.join(folder, name)
                      for name in ("before", "after", "status", "pid")}
        f = {k: shlex.quote(v) for k, v in self.files.items()}
        # The program keeps the process ID that its shell writes down.
        run = "sh -c 'echo $$ > \"$1\"; shift; exec \"$@\"' sh %s %s" % (
            f["pid"], " ".join(shlex.quote(a) for a in program.argv()))
        # The status is written last, whole: once it is there, so is the rest.
        recorded = "%s; s=$?; stty -g > %s; echo $s > %s.new; mv %s.new %s" % (
            run, f["after"], f["status"], f["status"], f["status"])
        if job_control:
            # An interactive shell, where Ctrl-Z stops the job and fg resumes
            # it; the parentheses keep the recording in the job.
            self.tmux("new-session", "-d", "-x", "120", "-y", "60", "-c", folder,
                      "env PS1='$ ' bash --norc --noprofile -i", env=program.env)
            self.wait_for_text("$")
            self.type("stty -g > %s; (%s)" % (f["before"], recorded))
            self.press("Enter")
        else:
            # `trap : INT`: Ctrl-C ends the program, not the shell that records it.
            script = "trap : INT; stty -g > %s; %s; exec sleep 600" % (f["before"], recorded)
            self.tmux("new-session", "-d", "-x", "120", "-y", "60", "-c", folder,
                      "sh -c " + shlex.quote(script), env=program.env)
        self.tty = self.tmux("display-message", "-p", "#{pane_tty}").strip()

    def tmux(self, *args, env=None):
        return subprocess.run(["tmux", "-S", self.socket] + list(args), check=True,
                              capture_output=True, text=True, env=env).stdout

    def screen(self):
        return [line.rstrip() for line in self.tmux("capture-pane", "-p").splitlines()]

    def cursor(self):
        x, y = self.tmux("display-message", "-p", "#{cursor_x} #{cursor_y}").split()
        return int(x), int(y)

    def type(self, text):
        self.tmux("send-keys", "-l", text)

    def press(self, key):
        self.tmux("send-keys", key)

    def read(self, name):
        try:
            with open(self.files[name]) as f:
                return f.read().strip()
        except FileNotFoundError:
            return None

    def wait_for(self, condition, what, timeout=30):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if condition():
                return
            time.sleep(0.05)
        pytest.fail("waited in vain for %s; screen:\n%s" % (what, "\n".join(self.screen())))

    def wait_for_text(self, text):
        self.wait_for(lambda: any(text in line for line in self.screen()), repr(text))

    def exited(self):
        return self.read("status") is not None

    def _tty(self, probe):
        fd = os.open(self.tty, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
        try:
            return probe(fd)
        finally:
            os.close(fd)

    def in_key_mode(self):
        """No line editing and no echo: one key is read as it is pressed."""
        lflag = self._tty(termios.tcgetattr)[3]
        return not lflag & (termios.ICANON | termios.ECHO)

    def _stat(self):
        """The program's /proc/PID/stat fields after its name, from its
        state on; None once it is gone."""
        try:
            with open("/proc/%s/stat" % self.read("pid")) as f:
                return f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, TypeError):
            return None

    def in_foreground(self):
        """The program's process group owns the terminal."""
        fields = self._stat()
        return fields is not None and fields[2] == fields[5]  # pgrp, tpgid

    def input_pending(self):
        """Bytes typed that nobody has read yet."""
        return self._tty(lambda fd: struct.unpack(
            "i", fcntl.ioctl(fd, termios.TIOCINQ, b"\0" * 4))[0])

    def process_state(self):
        """The program's state letter: S sleeping, T stopped, ...; None once
        it is gone."""
        fields = self._stat()
        return fields and fields[0]

    def waiting_for_key(self):
        """The pause waits for a key, with nothing typed left to read."""
        if self.input_pending():
            return False
        return self.program.pause_waits(self)

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)


@pytest.fixture
def terminal(request, fixture_root):
    made = []

    def start(program, **options):
        made.append(Terminal(os.path.join(fixture_root, "tty-%s-%d" % (
            request.node.name.replace("/", "_"), len(made))), program, **options))
        return made[-1]
    yield start
    for t in made:
        t.close()


def pause_text(program):
    return program.pause.decode().strip()


def type_at_the_prompt(program, term, text):
    """Up to the key-press prompt, checking the screen on the way."""
    term.wait_for_text(PROMPT.strip())
    screen = [line for line in term.screen() if line]
    # Banner and prompt are on screen before anything is typed, the cursor
    # right behind the prompt.
    assert TITLE.strip() in screen
    assert screen[screen.index(TITLE.strip()) + 1] == UNDERLINE.strip()
    assert screen[-2] == "Team ID is not currently set for this computer."
    assert screen[-1] == PROMPT.rstrip()
    row = term.screen().index(PROMPT.rstrip())
    assert term.cursor() == (len(PROMPT), row)

    term.type(text)
    term.wait_for_text((PROMPT + text)[:120])  # echoed behind the prompt
    assert not term.exited()
    term.press("Enter")
    term.wait_for_text(pause_text(program))


def type_team_id_at_the_prompt(program, term):
    type_at_the_prompt(program, term, TID)
    screen = [line for line in term.screen() if line]
    assert screen[-3:] == [PROMPT + TID, "Team ID successfully set to %s." % TID,
                           pause_text(program)]


def wait_for_the_pause(term):
    term.wait_for(lambda: term.exited() or term.waiting_for_key(), "the pause")
    assert not term.exited()


def press_a_key_to_end(term, status):
    term.press("x")
    term.wait_for(term.exited, "the program to end")
    assert term.read("status") == status
    assert term.read("after") == term.read("before")
    # The key is not echoed.
    assert term.screen()[term.screen().index(pause_text(term.program))] == \
        pause_text(term.program)


def test_interactive_set_at_a_terminal(program, terminal):
    term = terminal(program)
    type_team_id_at_the_prompt(program, term)
    wait_for_the_pause(term)
    press_a_key_to_end(term, "0")
    assert program.observe() == program.render(Value(TID))


def test_a_long_typed_line_is_no_key_press(program, terminal):
    # More than the program reads: the rest of the line must not end the
    # pause.
    term = terminal(program)
    type_at_the_prompt(program, term, "A" * 1500)
    assert [line for line in term.screen() if line][-4:] == \
        ERROR.strip().splitlines()[-3:] + [pause_text(program)]
    wait_for_the_pause(term)
    press_a_key_to_end(term, "1")
    assert program.observe() == program.render(ABSENT)


def test_ctrl_c_during_the_pause_restores_the_terminal(native, terminal):
    native.prepare(ABSENT)
    term = terminal(native)
    type_team_id_at_the_prompt(native, term)
    wait_for_the_pause(term)
    term.press("C-c")
    term.wait_for(term.exited, "the program to end")
    assert term.read("status") == "130"  # ended by SIGINT
    assert term.read("after") == term.read("before")
    assert native.observe() == native.render(Value(TID))


def at_the_pause_in_a_job(native, terminal):
    native.prepare(ABSENT)
    term = terminal(native, job_control=True)
    type_team_id_at_the_prompt(native, term)
    wait_for_the_pause(term)
    return term


def fg_to_the_end(native, term):
    """From a stopped job: back in the foreground the pause waits for one
    key again, and ends as it would have."""
    # The shell reports the job stopped when its own child stops, which
    # may be before the program has.
    term.wait_for(lambda: term.process_state() == "T", "the program to stop")
    term.type("fg")
    term.press("Enter")
    wait_for_the_pause(term)
    press_a_key_to_end(term, "0")
    assert native.observe() == native.render(Value(TID))


def test_ctrl_z_and_fg_during_the_pause(native, terminal):
    term = at_the_pause_in_a_job(native, terminal)
    term.press("C-z")
    term.wait_for_text("Stopped")
    fg_to_the_end(native, term)


class Freezer:
    """A cgroup whose processes can be held: a signal sent to a held
    process waits until it is let go."""

    def __init__(self, name):
        require_root("to make a cgroup")
        v1 = "/sys/fs/cgroup/freezer"
        v2 = next((p for p in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup")
                   if os.path.exists(os.path.join(p, "cgroup.controllers"))), None)
        if os.path.isdir(v1):
            self.path, self.files = os.path.join(v1, name), ("tasks", "freezer.state",
                                                            "FROZEN", "THAWED")
        elif v2:
            self.path, self.files = os.path.join(v2, name), ("cgroup.procs", "cgroup.freeze",
                                                            "1", "0")
        else:
            pytest.skip("no cgroup freezer here")
        try:
            os.mkdir(self.path)
        except OSError as e:
            pytest.skip("cannot make a cgroup here: %s" % e)

    def _write(self, name, text):
        with open(os.path.join(self.path, name), "w") as f:
            f.write(text)

    def hold(self, pid):
        try:
            self._write(self.files[0], pid)
            self._write(self.files[1], self.files[2])
        except OSError as e:
            pytest.skip("cannot hold a process here: %s" % e)

    def let_go(self):
        self._write(self.files[1], self.files[3])

    def remove(self):
        self.let_go()
        # Back to the top cgroup with whatever is still held; the cgroup can
        # go once it is empty.
        with open(os.path.join(self.path, self.files[0])) as f:
            held = f.read().split()
        for pid in held:
            try:
                with open(os.path.join(os.path.dirname(self.path), self.files[0]), "w") as f:
                    f.write(pid)
            except ProcessLookupError:
                pass
        os.rmdir(self.path)


@pytest.fixture
def freezer():
    f = Freezer("teamid-test-%d" % os.getpid())
    yield f
    f.remove()


def test_ctrl_z_reaching_the_program_after_the_shell_took_the_terminal(
        native, terminal, freezer):
    # The shell sees the job stopped as soon as its own child stops and takes
    # the terminal back; the program's own stop may come after that. Held,
    # the program gets its Ctrl-Z only once the shell has the terminal.
    term = at_the_pause_in_a_job(native, terminal)
    freezer.hold(term.read("pid"))
    term.press("C-z")
    term.wait_for_text("Stopped")
    term.wait_for(lambda: not term.in_foreground(), "the shell to take the terminal")
    freezer.let_go()
    fg_to_the_end(native, term)
