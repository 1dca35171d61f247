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
