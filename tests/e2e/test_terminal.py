"""Interactive mode at a real terminal: tmux runs each program in a pane,
send-keys types, capture-pane reads the screen.

A small shell around the program records the terminal's mode (stty -g)
before and after it and its exit status, so the tests can tell that it is
still waiting and that it left the terminal as it found it.
"""

import os
import shlex
import subprocess
import time

import pytest

from model import ABSENT, PROMPT, TID, TITLE, UNDERLINE, Value


class Terminal:
    def __init__(self, folder, program):
        self.folder = folder
        os.makedirs(folder, mode=0o755)
        self.socket = os.path.join(folder, "tmux.sock")
        self.files = {name: os.path.join(folder, name) for name in ("before", "after", "status")}
        # `trap : INT`: Ctrl-C ends the program, not the shell that records it.
        script = "trap : INT; stty -g > {before}; {program}; s=$?; " \
                 "stty -g > {after}; echo $s > {status}; exec sleep 600".format(
                     program=" ".join(shlex.quote(a) for a in program.argv()),
                     **{k: shlex.quote(v) for k, v in self.files.items()})
        self.tmux("new-session", "-d", "-x", "120", "-y", "60", "-c", folder,
                  "sh -c " + shlex.quote(script), env=program.env)

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

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], capture_output=True)


@pytest.fixture
def terminal(request, fixture_root):
    made = []

    def start(program):
        made.append(Terminal(os.path.join(fixture_root, "tty-%s-%d" % (
            request.node.name.replace("/", "_"), len(made))), program))
        return made[-1]
    yield start
    for t in made:
        t.close()


def pause_text(program):
    return program.pause.decode().strip()


def type_team_id_at_the_prompt(program, term):
    """Up to the key-press prompt, checking the screen on the way."""
    term.wait_for_text(PROMPT.strip())
    screen = [line for line in term.screen() if line]
    # Banner and prompt are on screen before anything is typed, the cursor
    # right behind the prompt.
    assert screen[0] == TITLE.strip()
    assert screen[1] == UNDERLINE.strip()
    assert screen[-2] == "Team ID is not currently set for this computer."
    assert screen[-1] == PROMPT.rstrip()
    row = term.screen().index(PROMPT.rstrip())
    assert term.cursor() == (len(PROMPT), row)

    term.type(TID)
    term.wait_for_text(PROMPT + TID)  # echoed behind the prompt
    assert not term.exited()
    term.press("Enter")
    term.wait_for_text(pause_text(program))
    screen = [line for line in term.screen() if line]
    assert screen[-3:] == [PROMPT + TID, "Team ID successfully set to %s." % TID,
                           pause_text(program)]


def test_interactive_set_at_a_terminal(program, terminal):
    term = terminal(program)
    type_team_id_at_the_prompt(program, term)

    # The pause waits for a key: the program is still running...
    time.sleep(1)
    assert not term.exited()
    # ...and ends when one is pressed.
    term.press("x")
    term.wait_for(term.exited, "the program to end")
    assert term.read("status") == "0"
    assert term.read("after") == term.read("before")
    assert program.observe() == program.render(Value(TID))


def test_ctrl_c_during_the_pause_restores_the_terminal(native, terminal):
    native.prepare(ABSENT)
    term = terminal(native)
    type_team_id_at_the_prompt(native, term)
    time.sleep(0.5)
    term.press("C-c")
    term.wait_for(term.exited, "the program to end")
    assert term.read("status") == "130"  # ended by SIGINT
    assert term.read("after") == term.read("before")
    assert native.observe() == native.render(Value(TID))
