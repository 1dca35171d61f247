import os
import shutil
import subprocess
import tempfile

import pytest

from dist import store_dir
CACHE = "/var/cache/teamid"  # where the Ansible role copies the package


@pytest.fixture
def machine():
    """This machine, for tests that install teamid on it, as the store
    directory the package uses; left as it was: the package purged, the
    store as before, nothing in /var/cache."""
    if os.geteuid() != 0:
        pytest.skip("installing a package needs root")
    if subprocess.run(["dpkg", "-s", "teamid"], capture_output=True).returncode == 0:
        pytest.skip("teamid is installed on this machine already; leaving it alone")
    if os.path.lexists(CACHE):
        pytest.skip(CACHE + " exists already; leaving it alone")
    store = store_dir()
    saved = None
    if os.path.lexists(store):
        saved = tempfile.mkdtemp(prefix="teamid-saved-store.")
        shutil.move(store, os.path.join(saved, "store"))
    try:
        yield store
    finally:
        subprocess.run(["dpkg", "--purge", "teamid"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(CACHE, ignore_errors=True)
        if os.path.lexists(store):
            shutil.rmtree(store)
        if saved:
            shutil.move(os.path.join(saved, "store"), store)
            os.rmdir(saved)
