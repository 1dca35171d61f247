"""Where the release tests find things: the checkout, the packages that
scripts/package put in dist/, and the native store they install against."""

import glob
import os

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STORE = "/etc/tamrix"
TID = "Ab3dEf6hIj9lMn2pQr5tUv8xYz1"
TID2 = "0123456789ABCDEFGHIJKLMNOPQ"


def only(pattern):
    """The one package in dist/ matching `pattern`."""
    found = glob.glob(os.path.join(ROOT, "dist", pattern))
    assert len(found) == 1, "run scripts/package first: %s" % found
    return found[0]
