#!/usr/bin/python3
"""Builds teamid's Windows Installer package: wixl (msitools) builds it from
teamid.wxs, then this sets in it what wixl can't write:

- TEAMID is a secure property, so that it reaches the install that runs as
  the system under managed deployment, and a hidden one, kept out of the
  logs; the action that runs teamid.exe hides its command line too.
- An older version is removed right after InstallInitialize, inside the
  install's transaction, so that a failed upgrade brings it back; wixl has
  no other place for the removal. The action that runs teamid.exe must
  come after the files are in place, right before InstallFinalize; the
  package source gives its number, as wixl's ordering of actions by
  Before and After changes from run to run, and this checks it.
- On uninstall the Tamrix folder goes as well as Tamrix\\TeamID.
- The package is the same for the same input: the files go into its
  cabinet with the build's date (SOURCE_DATE_EPOCH, else now) as their
  time, the summary has that date too, and the package code is derived
  from the package's contents, where wixl writes the current time and a
  random code.

    make_msi.py OUT.msi WXS EXE ICON NAME=VALUE...

EXE and ICON are the files to pack, NAME=VALUE the variables that WXS uses
besides Exe and Icon.

Needs Debian's Python with the GObject bindings of libmsi (python3-gi,
gir1.2-libmsi-1.0).
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import Libmsi  # noqa: E402

ACTION = "SetTeamID"
PROPERTY = "TEAMID"
HIDE_TARGET = 0x2000  # msidbCustomActionTypeHideTarget
# Where package codes come from: a name-based UUID of the package's digest.
PACKAGE_CODES = uuid.UUID("5B0C7E3A-2D41-4F8E-A6C9-1E7B3D5F9A20")
PLACEHOLDER_CODE = "{00000000-0000-0000-0000-000000000000}"


def rows(db, sql):
    """The rows a query returns, each a list of its fields as strings."""
    query = Libmsi.Query.new(db, sql)
    query.execute(None)
    found = []
    while True:
        try:
            record = query.fetch()
        except gi.repository.GLib.Error:
            break
        if record is None:
            break
        found.append([record.get_string(i) for i in range(1, record.get_field_count() + 1)])
    query.close()
    return found


def run(db, sql):
    query = Libmsi.Query.new(db, sql)
    query.execute(None)
    query.close()


def one(db, sql):
    found = rows(db, sql)
    if len(found) != 1:
        sys.exit("make_msi: expected one row for %s, got %r" % (sql, found))
    return found[0]


def finish_tables(db):
    action_type = int(one(db, "SELECT `Type` FROM `CustomAction` "
                              "WHERE `Action` = '%s'" % ACTION)[0])
    run(db, "UPDATE `CustomAction` SET `Type` = %d WHERE `Action` = '%s'"
        % (action_type | HIDE_TARGET, ACTION))

    secure = one(db, "SELECT `Value` FROM `Property` "
                     "WHERE `Property` = 'SecureCustomProperties'")[0]
    names = sorted(set(secure.split(";")) | {PROPERTY})
    run(db, "UPDATE `Property` SET `Value` = '%s' "
            "WHERE `Property` = 'SecureCustomProperties'" % ";".join(names))
    run(db, "INSERT INTO `Property` (`Property`, `Value`) "
            "VALUES ('MsiHiddenProperties', '%s')" % PROPERTY)

    place_actions(db)

    # wixl puts a RemoveFolder in its component's folder, whatever it says.
    one(db, "SELECT `FileKey` FROM `RemoveFile` WHERE `FileKey` = 'RemoveTamrixFolder'")
    run(db, "UPDATE `RemoveFile` SET `DirProperty` = 'TamrixFolder' "
            "WHERE `FileKey` = 'RemoveTamrixFolder'")


def sequence(db, action):
    return int(one(db, "SELECT `Sequence` FROM `InstallExecuteSequence` "
                       "WHERE `Action` = '%s'" % action)[0])


def place(db, action, number):
    taken = rows(db, "SELECT `Action` FROM `InstallExecuteSequence` "
                     "WHERE `Sequence` = %d" % number)
    if taken and taken != [[action]]:
        sys.exit("make_msi: sequence %d is taken by %s" % (number, taken))
    run(db, "UPDATE `InstallExecuteSequence` SET `Sequence` = %d "
            "WHERE `Action` = '%s'" % (number, action))


def place_actions(db):
    place(db, ACTION, sequence(db, "InstallFinalize") - 1)
    place(db, "RemoveExistingProducts", sequence(db, "InstallInitialize") + 1)
    if not sequence(db, "PublishProduct") < sequence(db, ACTION):
        sys.exit("make_msi: the actions are out of place")


def filetime(epoch):
    """Seconds since 1970 as a FILETIME: 100 ns units since 1601."""
    return (epoch + 11644473600) * 10000000


def set_summary(db, package_code, epoch):
    summary = Libmsi.SummaryInfo.new(db, 4)
    summary.set_string(Libmsi.Property.UUID, package_code)
    summary.set_filetime(Libmsi.Property.CREATED_TM, filetime(epoch))
    summary.set_filetime(Libmsi.Property.LASTSAVED_TM, filetime(epoch))
    summary.persist()


def finish(path, epoch):
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    finish_tables(db)
    set_summary(db, PLACEHOLDER_CODE, epoch)
    db.commit()
    del db

    # The same contents give the same code; any change gives another.
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    code = "{%s}" % str(uuid.uuid5(PACKAGE_CODES, digest)).upper()
    db = Libmsi.Database.new(path, Libmsi.DbFlags.TRANSACT, None)
    set_summary(db, code, epoch)
    db.commit()


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    out, wxs, exe, icon = (os.path.abspath(a) for a in argv[1:5])
    defines = argv[5:]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", int(time.time())))

    # wixl takes the files from its working folder, and packs their times.
    with tempfile.TemporaryDirectory(dir=os.path.dirname(out)) as staging:
        for source in (exe, icon):
            copy = os.path.join(staging, os.path.basename(source))
            shutil.copyfile(source, copy)
            os.utime(copy, (epoch, epoch))
        command = ["wixl", "-a", "x64", "-o", out + ".new",
                   "-D", "Exe=" + os.path.basename(exe),
                   "-D", "Icon=" + os.path.basename(icon)]
        for define in defines:
            command += ["-D", define]
        subprocess.run(command + [wxs], cwd=staging, check=True)
    finish(out + ".new", epoch)
    os.replace(out + ".new", out)


if __name__ == "__main__":
    main(sys.argv)
