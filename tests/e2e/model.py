"""Abstract states of the Team ID store, and the texts the program prints.

A state is rendered by each driver into what it observes on its platform:
a directory and files natively, registry key and value data on Windows.
"""

import os
from dataclasses import dataclass
from typing import Optional, Tuple

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NOBODY = 65534  # the unprivileged user the refused cases run as
TID = "Ab3dEf6hIj9lMn2pQr5tUv8xYz1"
TID2 = "0123456789ABCDEFGHIJKLMNOPQ"


@dataclass(frozen=True)
class Key:
    value: Optional[str] = None   # the text stored, None: key without value
    subkey: bool = False
    exists: bool = True
    # Data only one platform can hold: the value file's bytes natively,
    # (type, data bytes) in the registry.
    native_raw: Optional[bytes] = None
    windows_raw: Optional[Tuple[int, bytes]] = None


ABSENT = Key(exists=False)


def Value(text):
    return Key(value=text)


def utf16(*units):
    return b"".join(u.to_bytes(2, "little") for u in units)


TITLE = "Tamrix - Set Computer Team ID\n"
UNDERLINE = "-" * 29 + "\n"
LOGO_CHARACTERS = set(" #/(.,*")


def current(text):
    return "Current Team ID for this computer: %s\n\n" % text


NOT_CURRENT = "Team ID is not currently set for this computer.\n\n"
PROMPT = "Enter new Team ID followed by Enter (leave blank for none): "


def set_to(text):
    return "\nTeam ID successfully set to %s.\n" % text


REMOVED = "\nTeam ID successfully removed.\n"
WAS_NOT_SET = "\nTeam ID was not set.\n"
ERROR = ("\nThere was an error setting this computer's Team ID:\n"
         "1) Check that your Team ID is correct from the Tamrix Vodur admin "
         "control panel with no spaces.\n"
         "2) NOTE: This program requires your Team ID, NOT your team's name!\n"
         "3) Make sure this program is run with Administrator privleges.\n")


class Run:
    """What a run of a program gave: stdout, stderr, exit status."""

    def __init__(self, proc):
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        self.status = proc.returncode


def require_root(why):
    if os.geteuid() != 0:
        pytest.skip("needs root " + why)
