"""The Ansible role in deploy/ansible, run with Debian's ansible-core
against this machine (-c local), as a fleet admin would run it."""

import json
import os
import re
import subprocess

from dist import ROOT, TID, TID2, only


def playbook(tmp_path, store, team_id, **extra):
    """Runs site.yml, given both packages as for a mixed fleet; (exit
    status, changed count, output)."""
    env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
               ANSIBLE_HOME=str(tmp_path / "home"),
               ANSIBLE_LOCAL_TEMP=str(tmp_path / "local"),
               ANSIBLE_REMOTE_TEMP=str(tmp_path / "remote"),
               ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3")
    run = subprocess.run(
        ["ansible-playbook", "-i", "localhost,", "-c", "local",
         # Already root here: no sudo needed, or installed.
         "-e", json.dumps(dict({"ansible_become": False,
                                "teamid_deb": only("teamid_*_amd64.deb"),
                                "teamid_rpm": only("teamid-*-1.x86_64.rpm"),
                                "teamid_store_dir": store,
                                "teamid_team_id": team_id}, **extra)),
         os.path.join(ROOT, "deploy", "ansible", "site.yml")],
        capture_output=True, text=True, env=env, timeout=300)
    recap = re.search(r"localhost\s+: ok=\d+\s+changed=(\d+)", run.stdout)
    assert recap, run.stdout + run.stderr
    return run.returncode, int(recap.group(1)), run.stdout


def stored(store):
    path = os.path.join(store, "TeamID")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read()


def test_role_changes_only_what_differs(machine, tmp_path):
    status, changed, out = playbook(tmp_path, machine, TID)
    assert status == 0, out
    assert changed > 0  # package copied and installed, Team ID set
    assert stored(machine) == TID + "\n"

    status, changed, out = playbook(tmp_path, machine, TID)
    assert (status, changed) == (0, 0), out

    status, changed, out = playbook(tmp_path, machine, TID2)
    assert (status, changed) == (0, 1), out
    assert stored(machine) == TID2 + "\n"

    status, changed, out = playbook(tmp_path, machine, "")
    assert (status, changed) == (0, 1), out
    assert not os.path.exists(machine)

    status, changed, out = playbook(tmp_path, machine, "")
    assert (status, changed) == (0, 0), out


def test_role_fails_when_teamid_fails(machine, tmp_path):
    assert playbook(tmp_path, machine, TID)[0] == 0
    status, changed, out = playbook(tmp_path, machine, "not-a-team-id")
    assert status != 0
    assert "There was an error setting this computer's Team ID" in out
    assert stored(machine) == TID + "\n"


def test_role_wants_the_package_of_the_hosts_family(machine, tmp_path):
    # A host of the Red Hat family, with only the .deb given: the role stops
    # before it changes anything.
    status, changed, out = playbook(tmp_path, machine, TID, teamid_rpm="",
                                    ansible_os_family="RedHat")
    assert status != 0 and changed == 0
    assert "teamid_rpm (Red Hat family)" in out
    assert stored(machine) is None
    assert subprocess.run(["dpkg", "-s", "teamid"], capture_output=True).returncode != 0
