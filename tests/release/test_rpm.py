"""The .rpm from dist/, for Red Hat and SUSE fleets: what it declares, and
the package installed into a scratch RPM root (rpm --root), verified, used
there and erased. The program runs chrooted in that root, so that it writes
the root's store, never this machine's.
"""

import os
import re
import shutil
import subprocess

import pytest

from dist import only, set_show_refuse_remove, store_dir


def rpm(*args, check=True):
    run = subprocess.run(["rpm"] + list(args), capture_output=True, text=True)
    if check:
        assert run.returncode == 0, run.stdout + run.stderr
    return run


def query(package, fmt):
    return rpm("-qp", "--qf", fmt, package).stdout


def deb_field(name):
    return subprocess.run(["dpkg-deb", "-f", only("teamid_*_amd64.deb"), name],
                          check=True, capture_output=True, text=True).stdout


def test_rpm_declares_what_the_deb_does():
    package = only("teamid-*-1.x86_64.rpm")
    assert query(package, "%{NAME} %{VERSION}-%{RELEASE} %{ARCH}") == \
        "teamid %s-1 x86_64" % deb_field("Version").strip()
    assert query(package, "%{SUMMARY}\n%{DESCRIPTION}") == deb_field("Description").replace(
        "\n ", "\n").strip()
    assert query(package, "[%{PREFIXES}]") == ""  # not relocatable
    # Its own files only: no directory of the system's, no build-id links.
    assert rpm("-qpl", package).stdout.split() == [
        "/usr/sbin/teamid", "/usr/share/doc/teamid",
        "/usr/share/doc/teamid/changelog.gz", "/usr/share/doc/teamid/copyright",
        "/usr/share/man/man8/teamid.8.gz"]
    assert rpm("-qpL", package).stdout.split() == ["/usr/share/doc/teamid/copyright"]
    assert "- %s-1" % deb_field("Version").strip() in rpm("-qp", "--changelog",
                                                          package).stdout
    # The C library, and what rpm itself adds.
    for need in rpm("-qpR", package).stdout.splitlines():
        assert re.match(r"libc\.so\.6\(|rtld\(GNU_HASH\)|rpmlib\(", need), need


def copy_libraries(program, root):
    """The shared libraries `program` needs, and the loader, into `root`:
    the scratch root has no C library package, and rpm is not told of
    these."""
    listed = subprocess.run(["ldd", program], check=True, capture_output=True,
                            text=True).stdout
    for path in re.findall(r"(/\S+) \(0x", listed):
        target = root + path
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(path, target)  # follows links: the file itself


@pytest.fixture
def scratch_root(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root to run the program chrooted")
    root = str(tmp_path / "root")
    os.mkdir(root)
    rpm("--root", root, "--initdb")
    return root


def chrooted(root, *args):
    return subprocess.run(["chroot", root, "/usr/sbin/teamid"] + list(args),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=30)


def host_store(store):
    """What this machine's store holds: to be left untouched."""
    if not os.path.lexists(store):
        return None
    return sorted((name, open(os.path.join(store, name), "rb").read())
                  for name in os.listdir(store))


def test_rpm_installs_verifies_runs_and_erases(scratch_root):
    package = only("teamid-*-1.x86_64.rpm")
    store = store_dir()
    before = host_store(store)

    # --nodeps: the root holds no C library package (see copy_libraries).
    rpm("--root", scratch_root, "-i", "--nodeps", package)
    assert rpm("--root", scratch_root, "-q", "teamid").stdout.startswith("teamid-")
    # Every file as the package has it: digest, size, mode, owner, time.
    verified = rpm("--root", scratch_root, "-V", "--nodeps", "teamid", check=False)
    assert (verified.returncode, verified.stdout) == (0, "")
    copy_libraries(scratch_root + "/usr/sbin/teamid", scratch_root)

    set_show_refuse_remove(lambda *args: chrooted(scratch_root, *args),
                           scratch_root + store)

    rpm("--root", scratch_root, "-e", "teamid")
    assert rpm("--root", scratch_root, "-q", "teamid", check=False).returncode != 0
    assert not os.path.lexists(scratch_root + "/usr/sbin/teamid")
    assert not os.path.lexists(scratch_root + "/usr/share/doc/teamid")
    assert host_store(store) == before
