"""The release packages in dist/, as scripts/package makes them, and the
.deb installed on this machine and used as an admin would."""

import os
import shutil
import subprocess
import tempfile
import zipfile

import pytest

import pe_check
from dist import only, set_show_refuse_remove


def test_deb_has_no_lintian_errors_or_warnings(tmp_path):
    lint = subprocess.run(["lintian", "--fail-on", "error,warning", only("teamid_*_amd64.deb")],
                          capture_output=True, text=True,
                          env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert lint.returncode == 0, lint.stdout


def test_deb_depends_only_on_the_c_library():
    deb = only("teamid_*_amd64.deb")
    field = lambda name: subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True,
                                        text=True, check=True).stdout.strip()
    assert field("Package") == "teamid"
    assert field("Depends").startswith("libc6 ")
    assert "," not in field("Depends")


def test_zip_holds_the_program_and_its_readme():
    with zipfile.ZipFile(only("teamid-*-windows-x64.zip")) as archive:
        assert sorted(archive.namelist()) == ["README.txt", "teamid.exe"]
        readme = archive.read("README.txt")
        assert b"\r\n" in readme and b"\n" not in readme.replace(b"\r\n", b"")
        with tempfile.TemporaryDirectory() as folder:
            archive.extract("teamid.exe", folder)
            assert pe_check.problems(os.path.join(folder, "teamid.exe")) == []


def run(*args):
    return subprocess.run(["teamid"] + list(args), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=30,
                          env=dict(os.environ, PATH="/usr/sbin:/usr/bin:/sbin:/bin"))


@pytest.fixture
def installed_deb(machine):
    subprocess.run(["dpkg", "-i", only("teamid_*_amd64.deb")], check=True,
                   stdout=subprocess.DEVNULL)
    return machine


def test_installed_deb_sets_shows_and_removes(installed_deb):
    assert shutil.which("teamid", path="/usr/sbin") == "/usr/sbin/teamid"
    man = subprocess.run(["man", "-w", "8", "teamid"], capture_output=True, text=True)
    assert man.stdout.strip() == "/usr/share/man/man8/teamid.8.gz"
    set_show_refuse_remove(run, installed_deb)
