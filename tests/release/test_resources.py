"""teamid.exe as built, and the check itself against deliberately broken
programs: each is a small console program linked with icons made from the
same drawing, broken in one way."""

import functools
import os
import subprocess
import sys

import pytest

import pe_check
from dist import ROOT

sys.path.insert(0, os.path.join(ROOT, "res"))
import make_icons  # noqa: E402

CROSS = "x86_64-w64-mingw32-"


def test_teamid_exe_as_built():
    assert pe_check.problems(os.path.join(ROOT, "build", "windows", "teamid.exe")) == []


@functools.lru_cache(maxsize=None)
def rows(size, style):
    return make_icons.render(size, style)


def image(size, style="dark", kind=None, opaque=False):
    pixels = rows(size, style)
    if opaque:
        pixels = [[px[:3] + (255,) for px in row] for row in pixels]
    kind = kind or ("png" if size == 256 else "bmp")
    return size, make_icons.png(pixels) if kind == "png" else make_icons.dib(pixels)


def group(sizes, style="dark"):
    return [image(size, style) for size in sizes]


def good_groups():
    return {110: group(pe_check.ICON_GROUPS[110]),
            111: group(pe_check.ICON_GROUPS[111], "light")}


def replaced(gid, size, new_image):
    groups = good_groups()
    groups[gid] = [new_image if s == size else (s, d) for s, d in groups[gid]]
    return groups


VERSION_BLOCK = """
1 VERSIONINFO
FILEVERSION 1,0,0,0
BEGIN
END
"""
MANIFEST = '1 24 "app.manifest"\n'
MANIFEST_XML = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
                '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n')

BROKEN = [
    # name, icon groups, extra resource text, extra library, expected problem
    ("group missing", {110: group(pe_check.ICON_GROUPS[110])}, "", None,
     "icon groups [110], not [110, 111]"),
    ("a size wrong", {110: group([16, 20, 32, 48, 64, 128, 256]),
                      111: group(pe_check.ICON_GROUPS[111], "light")}, "", None,
     "group 110 holds sizes"),
    ("sizes in another order", {110: group([256, 128, 64, 48, 32, 24, 16]),
                                111: group(pe_check.ICON_GROUPS[111], "light")},
     "", None, "group 110 holds sizes"),
    ("256 as a bitmap", replaced(111, 256, image(256, "light", kind="bmp")), "",
     None, "group 111, 256 pixels: bitmap"),
    ("48 as PNG", replaced(110, 48, image(48, kind="png")), "", None,
     "group 110, 48 pixels: PNG"),
    ("no alpha", replaced(110, 32, image(32, opaque=True)), "", None,
     "group 110, 32 pixels: no real alpha channel"),
    ("version block", good_groups(), VERSION_BLOCK, None, "has a version block"),
    ("manifest", good_groups(), MANIFEST, None, "has a manifest"),
    ("another DLL", good_groups(), "", "shell32", "imports ['shell32.dll']"),
]


def build(folder, groups, extra_rc="", library=None):
    os.makedirs(folder)
    rc = ""
    for gid, images in groups.items():
        with open(os.path.join(folder, "%d.ico" % gid), "wb") as f:
            f.write(make_icons.ico(images))
        rc += '%d ICON "%d.ico"\n' % (gid, gid)
    with open(os.path.join(folder, "app.rc"), "w") as f:
        f.write(rc + extra_rc)
    with open(os.path.join(folder, "app.manifest"), "w") as f:
        f.write(MANIFEST_XML)
    source = "int main(void) { return 0; }\n"
    if library == "shell32":
        source = ("#include <windows.h>\n#include <shellapi.h>\n"
                  "int main(void) { return (int)(INT_PTR)ShellExecuteA(0, 0, 0, 0, 0, 0); }\n")
    with open(os.path.join(folder, "main.c"), "w") as f:
        f.write(source)
    subprocess.run([CROSS + "windres", "-O", "coff", "app.rc", "app.o"],
                   cwd=folder, check=True)
    command = [CROSS + "gcc", "-o", "app.exe", "main.c", "app.o"]
    if library:
        command.append("-l" + library)
    subprocess.run(command, cwd=folder, check=True)
    return os.path.join(folder, "app.exe")


def test_the_same_build_with_good_icons_passes(tmp_path):
    assert pe_check.problems(build(str(tmp_path / "good"), good_groups())) == []


@pytest.mark.parametrize("name,groups,extra_rc,library,expected", BROKEN,
                         ids=[case[0] for case in BROKEN])
def test_a_broken_build_fails(tmp_path, name, groups, extra_rc, library, expected):
    found = pe_check.problems(build(str(tmp_path / "broken"), groups, extra_rc, library))
    assert any(expected in problem for problem in found), found
