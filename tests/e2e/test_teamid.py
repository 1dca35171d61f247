"""End-to-end: the real programs, their exact output, status and store.

Every case runs against the native program and against teamid.exe under
Wine (unless it says `only`), from the same abstract store state, and
compares the exact bytes of standard output, the exit status, an empty
standard error and the store's state afterwards.
"""

import os
import subprocess
from dataclasses import dataclass
from typing import Optional, Sequence

import pytest

from model import (ABSENT, ERROR, LOGO_CHARACTERS, NOT_CURRENT, PROMPT,
                   REMOVED, TID, TID2, TITLE, UNDERLINE, WAS_NOT_SET, Key,
                   Value, current, set_to, utf16)
SAME = object()  # the store is as it was before the run


@dataclass
class Case:
    name: str
    before: Key
    args: Optional[Sequence[str]]  # None: interactive mode
    out: str                       # after the banner, before the pause
    status: int
    after: object = SAME
    stdin: bytes = b""
    refused: bool = False          # run without the rights to change the store
    only: Optional[str] = None     # "native" or "windows"


def arg(*args):
    return list(args)


CASES = [
    # Argument mode: no banner, no prompt, no pause.
    Case("set when none", ABSENT, arg(TID),
         NOT_CURRENT + set_to(TID), 0, Value(TID)),
    Case("replace", Value(TID2), arg(TID),
         current(TID2) + set_to(TID), 0, Value(TID)),
    Case("set the same again", Value(TID), arg(TID),
         current(TID) + set_to(TID), 0, Value(TID)),
    Case("remove", Value(TID), arg(""),
         current(TID) + REMOVED, 0, ABSENT),
    Case("remove when none", ABSENT, arg(""),
         NOT_CURRENT + WAS_NOT_SET, 0, ABSENT),
    Case("only the first argument counts", ABSENT, arg(TID, TID2, ""),
         NOT_CURRENT + set_to(TID), 0, Value(TID)),
    Case("26 characters", Value(TID2), arg(TID[:26]),
         current(TID2) + ERROR, 1),
    Case("28 characters", Value(TID2), arg(TID + "a"),
         current(TID2) + ERROR, 1),
    Case("a space", Value(TID2), arg(TID[:13] + " " + TID[14:]),
         current(TID2) + ERROR, 1),
    Case("a hyphen", Value(TID2), arg(TID[:13] + "-" + TID[14:]),
         current(TID2) + ERROR, 1),
    Case("an accented letter", Value(TID2), arg(TID[:13] + "\u00e9" + TID[14:]),
         current(TID2) + ERROR, 1),
    # Characters that the Windows C runtime's best-fit mapping would turn
    # into letters: Ā (U+0100) into A, fullwidth Ｚ (U+FF3A) into Z.
    Case("a letter best-fit maps to A", Value(TID2), arg(TID[:26] + "\u0100"),
         current(TID2) + ERROR, 1),
    Case("a fullwidth letter", Value(TID2), arg("\uff3a" + TID[1:]),
         current(TID2) + ERROR, 1),
    Case("a leading space is not trimmed", ABSENT, arg(" " + TID),
         NOT_CURRENT + ERROR, 1, ABSENT),
    Case("key without value: nothing to remove", Key(), arg(""),
         NOT_CURRENT + WAS_NOT_SET, 0),
    Case("key without value: set", Key(), arg(TID),
         NOT_CURRENT + set_to(TID), 0, Value(TID)),
    Case("empty stored text counts as set", Value(""), arg(""),
         current("") + REMOVED, 0, ABSENT),
    Case("stored text of 127 characters", Value("x" * 127), arg(TID),
         current("x" * 127) + set_to(TID), 0, Value(TID)),
    Case("stored text of 128 characters reads as not set", Value("y" * 128),
         arg(""), NOT_CURRENT + WAS_NOT_SET, 0),
    Case("key with a subkey is not removed", Key(TID, subkey=True), arg(""),
         current(TID) + ERROR, 1),
    Case("key with a subkey takes a new value", Key(TID2, subkey=True),
         arg(TID), current(TID2) + set_to(TID), 0, Key(TID, subkey=True)),

    # Interactive mode: banner, prompt, the typed line, pause.
    Case("interactive set", ABSENT, None,
         NOT_CURRENT + PROMPT + set_to(TID), 0, Value(TID),
         stdin=(TID + "\n").encode()),
    Case("interactive replace", Value(TID2), None,
         current(TID2) + PROMPT + set_to(TID), 0, Value(TID),
         stdin=(TID + "\n").encode()),
    Case("CR LF line end", ABSENT, None,
         NOT_CURRENT + PROMPT + set_to(TID), 0, Value(TID),
         stdin=(TID + "\r\n").encode()),
    Case("no line break before end of input keeps the last character", ABSENT,
         None, NOT_CURRENT + PROMPT + set_to(TID), 0, Value(TID),
         stdin=TID.encode()),
    Case("only the first line counts", ABSENT, None,
         NOT_CURRENT + PROMPT + set_to(TID), 0, Value(TID),
         stdin=(TID + "\n" + TID2 + "\n").encode()),
    Case("empty input keeps a set Team ID", Value(TID), None,
         current(TID) + PROMPT, 0),
    Case("empty input with none set fails", ABSENT, None,
         NOT_CURRENT + PROMPT + ERROR, 1, ABSENT),
    Case("empty line removes", Value(TID), None,
         current(TID) + PROMPT + REMOVED, 0, ABSENT, stdin=b"\n"),
    Case("empty line with none set", ABSENT, None,
         NOT_CURRENT + PROMPT + WAS_NOT_SET, 0, ABSENT, stdin=b"\n"),
    Case("empty line, key without value", Key(), None,
         NOT_CURRENT + PROMPT + WAS_NOT_SET, 0, stdin=b"\n"),
    Case("empty line, empty stored text", Value(""), None,
         current("") + PROMPT + REMOVED, 0, ABSENT, stdin=b"\n"),
    Case("empty line, key with a subkey", Key(TID, subkey=True), None,
         current(TID) + PROMPT + ERROR, 1, stdin=b"\n"),
    Case("typed 26 characters", Value(TID2), None,
         current(TID2) + PROMPT + ERROR, 1, stdin=(TID[:26] + "\n").encode()),
    Case("typed line longer than 127 bytes", Value(TID2), None,
         current(TID2) + PROMPT + ERROR, 1, stdin=(TID * 5 + "\n").encode()),
    Case("line starting with a null byte removes nothing", Value(TID), None,
         current(TID) + PROMPT + ERROR, 1, stdin=b"\0\n"),
    Case("null byte inside a line", Value(TID2), None,
         current(TID2) + PROMPT + ERROR, 1,
         stdin=(TID[:13] + "\0" + TID[13:] + "\n").encode()),

    # Without the rights to change the store: natively an unprivileged user,
    # on Windows a key that grants only reading. (Wine lets a key be deleted
    # whatever its rights, so removal is refused natively only.)
    Case("refused write", Value(TID2), arg(TID),
         current(TID2) + ERROR, 1, refused=True),
    Case("refused write, showing still works", Value(TID2), None,
         current(TID2) + PROMPT, 0, refused=True),
    Case("refused key creation", ABSENT, arg(TID),
         NOT_CURRENT + ERROR, 1, ABSENT, refused=True, only="native"),
    Case("refused removal", Value(TID), arg(""),
         current(TID) + ERROR, 1, refused=True, only="native"),

    # What only one platform's store can hold.
    Case("value file without its newline", Key(native_raw=TID.encode()),
         arg(TID2), current(TID) + set_to(TID2), 0, Value(TID2),
         only="native"),
    Case("value file with a null byte", Key(native_raw=b"ab\0cd\n"), arg(""),
         current("ab") + REMOVED, 0, ABSENT, only="native"),
    Case("code unit of 256 or above reads as empty text",
         Key(windows_raw=(1, utf16(0x61, 0x100, 0x62, 0))), None,
         current("") + PROMPT + REMOVED, 0, ABSENT, stdin=b"\n",
         only="windows"),
    Case("code units below 256 read as the same bytes",
         Key(windows_raw=(1, utf16(0x61, 0xE9, 0x62, 0))), None,
         current("a\u00e9b") + PROMPT, 0, only="windows"),
    Case("data without a null code unit",
         Key(windows_raw=(1, utf16(0x61, 0x62, 0x63))), None,
         current("abc") + PROMPT, 0, only="windows"),
    Case("256 bytes without a null code unit",
         Key(windows_raw=(1, utf16(*[0x78] * 128))), None,
         current("x" * 127) + PROMPT, 0, only="windows"),
    Case("no data at all", Key(windows_raw=(1, b"")), None,
         current("") + PROMPT, 0, only="windows"),
    Case("another type is read as text",
         Key(windows_raw=(3, utf16(0x61, 0x62, 0))), arg(TID),
         current("ab") + set_to(TID), 0, Value(TID), only="windows"),
]


def split_banner(out, newline):
    """The 22 banner lines (title, underline, logo, empty) and the rest."""
    lines = out.split(newline, 22)
    assert len(lines) == 23, out
    return lines[:22], lines[22]


def check_banner(lines):
    assert lines[0] + b"\n" == TITLE.encode()
    assert lines[1] + b"\n" == UNDERLINE.encode()
    logo = lines[2:21]
    assert logo[0] == b" " * 27
    for line in logo:
        assert len(line) == 27, line
        assert set(line.decode("ascii")) <= LOGO_CHARACTERS, line
    assert lines[21] == b""


RUNS = [(platform, case) for case in CASES for platform in ("native", "windows")
        if case.only in (None, platform)]


@pytest.mark.parametrize("program,case", RUNS, indirect=["program"],
                         ids=["%s: %s" % (p, c.name) for p, c in RUNS])
def test_case(program, case):
    program.prepare(case.before, refused=case.refused)
    run = program.run(case.args, stdin=case.stdin, refused=case.refused)

    body = case.out.encode("latin-1").replace(b"\n", program.newline)
    out = run.stdout
    if case.args is None:
        banner, out = split_banner(out, program.newline)
        check_banner(banner)
        body += program.newline + program.pause
    assert out == body
    assert run.status == case.status
    assert run.stderr == b""
    after = case.before if case.after is SAME else case.after
    assert program.observe() == program.render(after)


def test_banners_are_the_same_on_both(native, windows):
    banners = []
    for program in (native, windows):
        program.prepare(ABSENT)
        run = program.run(None)
        lines, _ = split_banner(run.stdout, program.newline)
        check_banner(lines)
        banners.append(lines)
    assert banners[0] == banners[1]


def test_wildcard_is_passed_as_typed(program, fixture_root):
    # A file whose name is a valid Team ID: "*" expanded would set it.
    folder = os.path.join(fixture_root, "wildcard-" + program.name)
    os.mkdir(folder, 0o755)
    open(os.path.join(folder, TID), "w").close()
    program.prepare(Value(TID2))
    run = program.run(["*"], cwd=folder)
    assert run.stdout == (current(TID2) + ERROR).encode().replace(
        b"\n", program.newline)
    assert run.status == 1
    assert program.observe() == program.render(Value(TID2))


def test_registry_value_is_reg_sz_of_56_bytes(windows):
    windows.prepare(ABSENT)
    assert windows.run([TID]).status == 0
    shown = windows.observe()
    assert shown.startswith("key subkeys=0 type=1 data=")
    data = bytes.fromhex(shown.split("data=")[1])
    assert len(data) == 56
    assert data == (TID + "\0").encode("utf-16-le")
    # The platform's own tool sees it in the 64-bit view.
    query = subprocess.run(
        windows.wine + ["reg", "query", "HKLM\\SOFTWARE\\Tamrix", "/v", "TeamID", "/reg:64"],
        capture_output=True, env=windows.env, timeout=60)
    assert query.returncode == 0
    assert b"TeamID    REG_SZ    " + TID.encode() in query.stdout
