"""A fresh Wine prefix standing in for a Windows machine, shared by the
end-to-end and release tests (each adds this folder to sys.path)."""

import os
import shutil
import subprocess

import pytest

# The tests' own registry helper, from the windows preset's build.
REGTOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "build", "windows", "regtool.exe")


def _fixed_layout():
    """setarch -R, where it is allowed. Now and then, about once in two
    thousand starts, Wine fails to start a program ("failed to map the
    shared user data", exit status 1, nothing printed under WINEDEBUG=-all)
    because address-space randomization has put something where Wine maps
    a page of its own at a fixed address. Without the randomization that
    never happens."""
    machine = os.uname().machine
    if subprocess.run(["setarch", machine, "-R", "true"],
                      capture_output=True).returncode == 0:
        return ["setarch", machine, "-R"]
    return []


# How to start a Windows program, and Wine's own programs.
FIXED_LAYOUT = _fixed_layout()
WINE = FIXED_LAYOUT + [shutil.which("wine") or "/usr/lib/wine/wine64"]


def start(folder):
    """Makes a prefix in `folder` and starts its server and services;
    returns the environment to run WINE in. The first program, REGTOOL,
    runs with none of our pipes: Wine's background services start with the
    first program and keep its standard handles."""
    if not os.path.exists(REGTOOL):
        pytest.fail(REGTOOL + " is missing: build the windows preset first")
    # TMPDIR: the server's socket folder goes there, not into /tmp.
    env = dict(os.environ,
               WINEPREFIX=os.path.join(folder, "wineprefix"),
               TMPDIR=os.path.join(folder, "winetmp"),
               WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    os.makedirs(env["WINEPREFIX"])
    os.makedirs(env["TMPDIR"])
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, env=env)
    # A persistent server: each program then starts in hundredths of a
    # second instead of a second.
    subprocess.run(["wineserver", "-p"], check=True, **quiet)
    subprocess.run(FIXED_LAYOUT + ["wineboot", "-i"], check=True, timeout=300,
                   **quiet)
    subprocess.run(WINE + [REGTOOL, "show"], check=True, timeout=120, **quiet)
    return env


def regtool(env, *args):
    """Runs REGTOOL in the prefix; what it printed."""
    proc = subprocess.run(WINE + [REGTOOL] + list(args), capture_output=True,
                          env=env, timeout=60)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr)
    return proc.stdout.decode().strip()


def stop(env):
    subprocess.run(["wineserver", "-k"], env=env)
