"""The native store where a removal can't complete, and links in its place.

A removal either succeeds, with the key gone, or fails with the error text
and leaves the value and every other file exactly as they were. Most ways
to make it fail need root: mounts, an immutable file, or running as nobody
against directories owned by someone else.
"""

import os
import shutil
import stat
import subprocess

import pytest

from model import (ABSENT, ERROR, NOBODY, NOT_CURRENT, REMOVED, TID, TID2, WAS_NOT_SET,
                   Run, current, require_root, set_to)


def tree(path):
    """Everything below `path`: type, mode, owner and data or link target."""
    found = {}
    for folder, dirs, files in os.walk(path):
        for name in dirs + files:
            full = os.path.join(folder, name)
            st = os.lstat(full)
            what = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), st.st_uid)
            if stat.S_ISLNK(st.st_mode):
                what += (os.readlink(full),)
            elif stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    what += (f.read(),)
            found[os.path.relpath(full, path)] = what
    return found


def put(path, data, owner=0):
    with open(path, "wb") as f:
        f.write(data)
    os.chown(path, owner, owner)


def make_key(folder, owner=0):
    """A key with the value, a writer's leftover and other files: enough of
    them that some come before any given one in the directory's order."""
    os.makedirs(folder, 0o755, exist_ok=True)
    os.chown(folder, owner, owner)
    put(os.path.join(folder, "TeamID"), (TID + "\n").encode(), owner)
    put(os.path.join(folder, ".TeamID.123.0"), b"ABC", owner)
    put(os.path.join(folder, "Other"), b"other\n", owner)
    for n in range(16):
        put(os.path.join(folder, "Other%02d" % n), b"%d\n" % n, owner)


def in_mount_namespace(native, source, target):
    """Runs `teamid ""` with `source` bound onto `target`, in a mount
    namespace of its own: the mount ends with the program."""
    if subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("mount namespaces are not available here")
    script = 'mount --bind "$1" "$2" && exec "$3" ""'
    return Run(subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
         source, target, native.program],
        capture_output=True, stdin=subprocess.DEVNULL, cwd=native.cwd, timeout=30))


def as_nobody(native):
    return native.run([""], refused=True)


@pytest.fixture
def etc(native):
    """The folder that holds the key, emptied."""
    require_root("for mounts, immutable files and running as nobody")
    folder = os.path.dirname(native.store)
    shutil.rmtree(folder)
    os.mkdir(folder, 0o755)
    yield folder
    subprocess.run(["chattr", "-R", "-i", folder], capture_output=True)
    os.chown(folder, 0, 0)


def key_is_a_mount_point(native, etc):
    source = os.path.join(os.path.dirname(etc), "mounted")
    shutil.rmtree(source, ignore_errors=True)
    make_key(source)
    os.mkdir(native.store, 0o755)
    return lambda: in_mount_namespace(native, source, native.store), source


def file_is_a_mount_point(native, etc):
    make_key(native.store)
    busy = os.path.join(native.store, "Busy")
    put(busy, b"busy\n")
    return lambda: in_mount_namespace(native, os.path.join(native.store, "Other"), busy), etc


def file_is_immutable(native, etc):
    make_key(native.store)
    if subprocess.run(["chattr", "+i", os.path.join(native.store, "Other")],
                      capture_output=True).returncode != 0:
        pytest.skip("this file system has no immutable files")
    return lambda: native.run([""]), etc


def parent_not_writable(native, etc):
    make_key(native.store, owner=NOBODY)  # in a folder of root's
    return lambda: as_nobody(native), etc


def key_not_writable(native, etc):
    os.chown(etc, NOBODY, NOBODY)  # the key may be moved, not emptied
    make_key(native.store)
    return lambda: as_nobody(native), etc


@pytest.mark.parametrize("obstacle", [
    key_is_a_mount_point, file_is_a_mount_point, file_is_immutable,
    parent_not_writable, key_not_writable])
def test_a_removal_that_cannot_complete_changes_nothing(native, etc, obstacle):
    run_it, watched = obstacle(native, etc)
    before = tree(watched)
    run = run_it()
    assert (run.stdout.decode(), run.status, run.stderr) == (current(TID) + ERROR, 1, b"")
    assert tree(watched) == before

    # Without the obstacle the same removal goes through and leaves nothing.
    subprocess.run(["chattr", "-R", "-i", etc], capture_output=True)
    os.chown(etc, 0, 0)
    if os.path.exists(os.path.join(native.store, "TeamID")):
        run = native.run([""])
        assert (run.stdout.decode(), run.status) == (current(TID) + REMOVED, 0)
        assert os.listdir(etc) == []


@pytest.mark.parametrize("link,target", [
    ("tamrix", "real"),
    ("tamrix/TeamID", "../real/TeamID"),
], ids=["linked key", "linked value"])
def test_links_in_the_store_are_not_followed_or_replaced(native, link, target):
    native.prepare(ABSENT)
    etc = os.path.dirname(native.store)
    os.mkdir(os.path.join(etc, "real"), 0o755)
    put(os.path.join(etc, "real", "TeamID"), (TID2 + "\n").encode(), os.geteuid())
    if link != "tamrix":
        os.mkdir(native.store, 0o755)
    os.symlink(target, os.path.join(etc, link))
    before = tree(etc)

    for args, out, status in [([TID], NOT_CURRENT + ERROR, 1),
                              ([""], NOT_CURRENT + WAS_NOT_SET, 0)]:
        run = native.run(args)
        assert (run.stdout.decode(), run.status) == (out, status)
        assert tree(etc) == before

    # Once the link is gone, the store works as ever.
    os.unlink(os.path.join(etc, link))
    run = native.run([TID])
    assert (run.stdout.decode(), run.status) == (NOT_CURRENT + set_to(TID), 0)
