"""Many native teamid processes on one store at once.

Afterwards the store must hold one complete value that one of them wrote,
or no value, no temporary file may remain, and what each process printed
and returned must agree with what happened.
"""

import os
import subprocess

import pytest

from model import ERROR, REMOVED, WAS_NOT_SET, Value, set_to

PROCESSES = 50
ROUNDS = 3


def team_id(i):
    return "%02dx" % i + "ABCDEFGHIJKLMNOPQRSTUVWX"


def run_all(native, arguments):
    """Starts one process per argument at once; (argument, status, stdout)."""
    procs = [subprocess.Popen(native.argv([a]), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                              cwd=native.cwd) for a in arguments]
    results = []
    for argument, proc in zip(arguments, procs):
        out, err = proc.communicate(timeout=60)
        assert err == b""
        results.append((argument, proc.returncode, out.decode()))
    return results


def stored(native):
    """The value stored, or None; fails on anything but the value file."""
    if not os.path.isdir(native.store):
        return None
    names = os.listdir(native.store)
    assert set(names) <= {"TeamID"}, names  # no temporary file left
    if not names:
        return None  # a key a writer made, without value
    with open(os.path.join(native.store, "TeamID")) as f:
        data = f.read()
    assert data.endswith("\n") and len(data) == 28, repr(data)
    return data[:-1]


def test_concurrent_setters(native):
    ids = [team_id(i) for i in range(PROCESSES)]
    for _ in range(ROUNDS):
        native.prepare(Value(team_id(99)))
        results = run_all(native, ids)
        for argument, status, out in results:
            assert status == 0, out
            assert out.endswith(set_to(argument))
        assert stored(native) in ids


@pytest.mark.parametrize("round_", range(ROUNDS))
def test_concurrent_setters_and_removers(native, round_):
    native.prepare(Value(team_id(99)))
    arguments = [team_id(i) if i % 2 else "" for i in range(PROCESSES)]
    results = run_all(native, arguments)

    set_ok, removed = set(), 0
    for argument, status, out in results:
        if status == 1:
            assert out.endswith(ERROR), out
        elif argument:
            assert status == 0 and out.endswith(set_to(argument)), out
            set_ok.add(argument)
        else:
            assert status == 0 and out.endswith((REMOVED, WAS_NOT_SET)), out
            removed += out.endswith(REMOVED)

    value = stored(native)
    if value is None:
        assert removed > 0, "no value, yet no removal succeeded"
    else:
        assert value in set_ok, "%s was stored by no process that succeeded" % value
