"""Where the release tests find things: the checkout, the packages that
scripts/package put in dist/, and the native store they install against."""

import glob
import os
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TID = "Ab3dEf6hIj9lMn2pQr5tUv8xYz1"
TID2 = "0123456789ABCDEFGHIJKLMNOPQ"


def only(pattern):
    """The one package in dist/ matching `pattern`."""
    found = glob.glob(os.path.join(ROOT, "dist", pattern))
    assert len(found) == 1, "run scripts/package first: %s" % found
    return found[0]


def set_show_refuse_remove(run, store):
    """What an admin does with an installed teamid: `run(*args)` runs it
    (no input, text output), `store` is the store directory it uses."""
    done = run(TID)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == ("Team ID is not currently set for this computer.\n\n"
                           "\nTeam ID successfully set to %s.\n" % TID)
    with open(os.path.join(store, "TeamID")) as f:
        assert f.read() == TID + "\n"

    shown = run()  # interactive, input ends at once: shows and changes nothing
    assert shown.returncode == 0
    assert "Current Team ID for this computer: %s\n" % TID in shown.stdout

    refused = run("not a team id")
    assert refused.returncode == 1
    assert "There was an error setting this computer's Team ID:" in refused.stdout

    removed = run("")
    assert removed.returncode == 0
    assert removed.stdout.endswith("\nTeam ID successfully removed.\n")
    assert not os.path.lexists(store)


def store_dir():
    """Where the packaged program keeps the Team ID: the store directory
    that scripts/package built it with."""
    cache = os.path.join(ROOT, "build", "release-native", "CMakeCache.txt")
    assert os.path.exists(cache), "run scripts/package first"
    with open(cache) as f:
        for line in f:
            if line.startswith("TEAMID_STORE_DIR:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no TEAMID_STORE_DIR in " + cache)


def git(*args):
    """git on the checkout, whoever owns it: run as root in a checkout of
    someone else's, git looks at it only when told that it is safe, in a
    global configuration."""
    with tempfile.NamedTemporaryFile("w", suffix=".gitconfig") as config:
        config.write("[safe]\n\tdirectory = *\n")
        config.flush()
        return subprocess.run(["git"] + list(args), check=True, capture_output=True,
                              env=dict(os.environ, GIT_CONFIG_GLOBAL=config.name)).stdout
