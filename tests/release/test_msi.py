"""The Windows Installer package from dist/, installed with Wine's msiexec
in a fresh prefix, as a deployment tool runs it:

    msiexec /i teamid-VERSION-x64.msi TEAMID=... /qn

Each test checks the outcome on the machine: msiexec's exit status (read
inside Wine, where it isn't cut to 8 bits), the files in Program Files, the
entries in "Apps and features" (the Uninstall key) and the stored Team ID.
Wine may report a failed install with another code than Windows' 1603, so
a failure is any status but 0.
"""

import os
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

from dist import ROOT, TID, TID2, git, only

sys.path.insert(0, os.path.join(ROOT, "tests"))
import wineprefix  # noqa: E402

PROGRAM_DIR = ("drive_c", "Program Files", "Tamrix")
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def table(msi, name):
    """The rows of a table, each a tuple of its fields."""
    out = subprocess.run(["msiinfo", "export", msi, name], check=True,
                         capture_output=True, text=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines()[3:]]


def properties(msi):
    return dict(row[:2] for row in table(msi, "Property"))


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Machine:
    """A Wine prefix standing in for a Windows machine."""

    def __init__(self, folder):
        self.folder = folder
        self.wine = wineprefix.WINE
        self.env = wineprefix.start(folder)

    def close(self):
        wineprefix.stop(self.env)

    def run(self, *args):
        return subprocess.run(self.wine + list(args), capture_output=True,
                              env=self.env, timeout=300)

    def msiexec(self, *args):
        """Runs msiexec with `args` as its command line; its exit status."""
        script = os.path.join(self.folder, "msiexec.cmd")
        status = os.path.join(self.folder, "status")
        with open(script, "w", newline="\r\n") as f:
            f.write("@msiexec %s\n@echo %%ERRORLEVEL%%> \"%s\"\n" % (
                " ".join(args), windows_path(status)))
        if os.path.exists(status):
            os.remove(status)
        # No pipes of ours: the installer service that msiexec starts would
        # keep them open, and us waiting, long after msiexec has ended.
        subprocess.run(self.wine + ["cmd", "/c", windows_path(script)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=self.env, timeout=300)
        with open(status) as f:
            return int(f.read())

    def install(self, msi, *args):
        return self.msiexec("/i", '"%s"' % windows_path(msi), *args, "/qn")

    def uninstall(self, msi):
        return self.msiexec("/x", '"%s"' % windows_path(msi), "/qn")

    def regtool_run(self, *args):
        return wineprefix.regtool(self.env, *args)

    def team_id(self):
        """The stored Team ID; None when none is."""
        shown = self.regtool_run("show")
        if shown == "absent":
            return None
        match = re.fullmatch(r"key subkeys=0 type=1 data=([0-9a-f]*)", shown)
        assert match, shown
        data = bytes.fromhex(match.group(1))
        assert data.endswith(b"\0\0"), shown
        return data[:-2].decode("utf-16-le")

    def set_team_id(self, team_id):
        self.regtool_run("clear")
        if team_id is not None:
            self.regtool_run("set", "1", (team_id + "\0").encode("utf-16-le").hex())

    def files(self):
        """What is in Program Files\\Tamrix, as paths below it."""
        top = os.path.join(self.env["WINEPREFIX"], *PROGRAM_DIR)
        found = []
        for folder, dirs, names in os.walk(top):
            found += [os.path.relpath(os.path.join(folder, n), top) for n in dirs + names]
        return sorted(found)

    def installed_exe(self):
        path = os.path.join(self.env["WINEPREFIX"], *PROGRAM_DIR, "TeamID", "teamid.exe")
        with open(path, "rb") as f:
            return f.read()

    def products(self):
        """The entries of "Apps and features" published by Tamrix:
        (name, publisher, version) each."""
        out = self.run("reg", "query", UNINSTALL, "/s", "/reg:64").stdout.decode(
            "latin-1").replace("\r", "")
        found = []
        for block in out.split("\n\n"):
            values = dict(re.findall(r"^[ \t]+(\w+)[ \t]+REG_\w+[ \t]*(.*)$", block, re.M))
            if values.get("Publisher") == "Tamrix":
                found.append((values.get("DisplayName"), values["Publisher"],
                              values.get("DisplayVersion")))
        return found


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    m = Machine(str(tmp_path_factory.mktemp("msi-machine")))
    yield m
    m.close()


@pytest.fixture(scope="module")
def msi():
    return only("teamid-*-x64.msi")


@pytest.fixture(scope="module")
def version(msi):
    return properties(msi)["ProductVersion"]


@pytest.fixture(scope="module")
def built_exe():
    with zipfile.ZipFile(only("teamid-*-windows-x64.zip")) as archive:
        return archive.read("teamid.exe")


@pytest.fixture(scope="module")
def newer_msi(tmp_path_factory, version):
    """The same package with a higher version: the checkout copied, its
    version raised, and the msi target built."""
    source = tmp_path_factory.mktemp("newer")
    files = git("-C", ROOT, "ls-files", "-z", "--cached", "--others",
                "--exclude-standard").decode().split("\0")
    for name in filter(None, files):
        os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), os.path.join(source, name))
    major, minor, patch = version.split(".")
    newer = "%s.%s.%d" % (major, minor, int(patch) + 1)
    cmake_lists = os.path.join(source, "CMakeLists.txt")
    with open(cmake_lists) as f:
        text = f.read()
    assert "project(teamid VERSION %s " % version in text
    with open(cmake_lists, "w") as f:
        f.write(text.replace("project(teamid VERSION %s " % version,
                             "project(teamid VERSION %s " % newer))
    build = str(source / "build")
    for command in (["cmake", "--preset", "windows", "-B", build, "-DBUILD_TESTING=OFF"],
                    ["cmake", "--build", build, "--target", "msi"]):
        subprocess.run(command, cwd=source, check=True, capture_output=True)
    return os.path.join(build, "teamid-%s-x64.msi" % newer), newer


@pytest.fixture
def clean(machine, msi, newer_msi):
    """The machine with no teamid installed and no Team ID stored."""
    for package in (newer_msi[0], msi):
        code = properties(package)["ProductCode"]
        machine.msiexec("/x", code, "/qn")
    machine.set_team_id(None)
    assert machine.products() == []
    assert machine.files() == []
    return machine


def test_install_with_a_team_id(clean, msi, version, built_exe):
    assert clean.install(msi, "TEAMID=" + TID) == 0
    assert clean.team_id() == TID
    # As teamid.exe writes it: REG_SZ, with its null, in the 64-bit view.
    assert clean.regtool_run("show") == "key subkeys=0 type=1 data=" + (
        TID + "\0").encode("utf-16-le").hex()
    assert clean.files() == ["TeamID", os.path.join("TeamID", "teamid.exe")]
    assert clean.installed_exe() == built_exe
    assert clean.products() == [("teamid", "Tamrix", version)]


@pytest.mark.parametrize("before", [None, TID2], ids=["none set", "one set"])
@pytest.mark.parametrize("team_id", [TID[:26], TID[:13] + " " + TID[14:], TID + "x"],
                         ids=["too short", "a space", "28 characters"])
def test_an_invalid_team_id_fails_and_rolls_back(clean, msi, before, team_id):
    clean.set_team_id(before)
    assert clean.install(msi, 'TEAMID="%s"' % team_id) != 0
    assert clean.files() == []
    assert clean.products() == []
    assert clean.team_id() == before


@pytest.mark.parametrize("before", [None, TID2], ids=["none set", "one set"])
def test_without_a_team_id_only_the_tool_is_installed(clean, msi, version, before):
    clean.set_team_id(before)
    assert clean.install(msi) == 0
    assert clean.products() == [("teamid", "Tamrix", version)]
    assert os.path.join("TeamID", "teamid.exe") in clean.files()
    assert clean.team_id() == before


def test_installing_again_with_another_team_id_changes_it(clean, msi, version):
    assert clean.install(msi, "TEAMID=" + TID) == 0
    assert clean.install(msi, "TEAMID=" + TID2) == 0
    assert clean.team_id() == TID2
    assert clean.products() == [("teamid", "Tamrix", version)]


def test_upgrade_and_refused_downgrade(clean, msi, newer_msi, version):
    newer, newer_version = newer_msi
    assert clean.install(msi, "TEAMID=" + TID) == 0
    assert clean.install(newer, "TEAMID=" + TID2) == 0
    assert clean.products() == [("teamid", "Tamrix", newer_version)]
    assert os.path.join("TeamID", "teamid.exe") in clean.files()
    assert clean.team_id() == TID2

    # An older one over it is refused and changes nothing.
    assert clean.install(msi, "TEAMID=" + TID) != 0
    assert clean.products() == [("teamid", "Tamrix", newer_version)]
    assert clean.team_id() == TID2


def test_a_failed_upgrade_keeps_the_team_id(clean, msi, newer_msi):
    """Windows also puts the older version back, rolling back its removal
    with the rest; Wine's msiexec doesn't roll that removal back, so only
    the failure and the Team ID are checked here."""
    newer, newer_version = newer_msi
    assert clean.install(msi, "TEAMID=" + TID) == 0
    assert clean.install(newer, "TEAMID=short") != 0
    assert newer_version not in [product[2] for product in clean.products()]
    assert clean.team_id() == TID


def test_uninstall_removes_the_tool_and_keeps_the_team_id(clean, msi):
    assert clean.install(msi, "TEAMID=" + TID) == 0
    assert clean.uninstall(msi) == 0
    assert clean.products() == []
    assert clean.files() == []
    assert clean.team_id() == TID


def test_the_package_is_per_machine_and_keeps_the_team_id_secret(msi):
    """What Wine doesn't act on: managed deployment and the logs."""
    found = properties(msi)
    assert found["ALLUSERS"] == "1"
    assert "TEAMID" in found["SecureCustomProperties"].split(";")
    assert found["MsiHiddenProperties"] == "TEAMID"
    action = {row[0]: row for row in table(msi, "CustomAction")}["SetTeamID"]
    kind = int(action[1])
    assert kind & 0x3F == 18              # runs an installed file
    assert kind & 0x400 and kind & 0x800  # deferred, not impersonated
    assert kind & 0x2000                  # its command line kept out of logs
    assert action[2:4] == ("teamid.exe", '"[TEAMID]"')
    summary = subprocess.run(["msiinfo", "suminfo", msi], check=True,
                             capture_output=True, text=True).stdout
    assert "Template: x64;1033" in summary
