"""Releases anyone can repeat and verify: two clean clones of the last
commit, in different folders, packaged one after the other by
scripts/package, give the same bytes, unsigned and signed; and what is
signed verifies against the certificate authority that issued the key.

Slow (scripts/package runs four times), but it is the proof.
"""

import os
import shutil
import subprocess
import zipfile

import pytest

from dist import ROOT, git

# The files of one release in dist/, by their start.
KINDS = ["SHA256SUMS", "teamid-", "teamid_"]


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    """A throwaway certificate authority and a code-signing certificate it
    issued: the key and certificate as PEM files, and as PKCS#12 with a
    password."""
    folder = tmp_path_factory.mktemp("authority")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.pem", "-subj", "/CN=teamid test authority", "-days", "30",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key",
            "-out", "signer.csr", "-subj", "/CN=teamid test signer", cwd=folder)
    (folder / "signer.ext").write_text("basicConstraints=CA:FALSE\n"
                                       "keyUsage=critical,digitalSignature\n"
                                       "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "signer.pem", "-days", "30",
            "-extfile", "signer.ext", cwd=folder)
    openssl("pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
            "-out", "signer.p12", "-passout", "pass:sesame", cwd=folder)
    return folder


def package(clone, **signing):
    """scripts/package in `clone`, with its own date; a copy of its dist/."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("TEAMID_SIGN_") and k != "SOURCE_DATE_EPOCH"}
    env.update(signing)
    run = subprocess.run(["scripts/package"], cwd=clone, env=env, capture_output=True,
                         text=True, timeout=1200)
    assert run.returncode == 0, run.stdout + run.stderr
    copy = clone + ("-signed" if signing else "-unsigned")
    shutil.copytree(os.path.join(clone, "dist"), copy)
    return copy, run.stderr


@pytest.fixture(scope="module")
def releases(tmp_path_factory, authority):
    """{(clone, signed): dist folder}: two clones, each packaged unsigned and
    signed, the first with the PEM files, the second with PKCS#12."""
    top = tmp_path_factory.mktemp("clones")
    clones = [str(top / "a"), str(top / "deeper" / "b")]
    for clone in clones:
        git("clone", "--quiet", ROOT, clone)
    found = {}
    for clone in clones:
        found[clone, False], said = package(clone)
        assert "not signed" in said
    found[clones[0], True], _ = package(
        clones[0], TEAMID_SIGN_CERT=str(authority / "signer.pem"),
        TEAMID_SIGN_KEY=str(authority / "signer.key"))
    found[clones[1], True], _ = package(
        clones[1], TEAMID_SIGN_PKCS12=str(authority / "signer.p12"),
        TEAMID_SIGN_PASSWORD="sesame")
    return found


def one(releases, signed):
    """The dist folder of one of the clones, signed or not."""
    return next(folder for (_, s), folder in releases.items() if s == signed)


def contents(folder):
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            files[name] = f.read()
    return files


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_two_clean_clones_give_the_same_bytes(releases, signed):
    a, b = [contents(folder) for (_, s), folder in sorted(releases.items()) if s == signed]
    assert sorted(a) == sorted(b)
    assert len(a) == 5  # .deb, .rpm, .zip, .msi and SHA256SUMS
    for name in a:
        assert a[name] == b[name], name


@pytest.mark.parametrize("signed", [False, True], ids=["unsigned", "signed"])
def test_sha256sums_lists_every_file(releases, signed):
    folder = one(releases, signed)
    listed = subprocess.run(["sha256sum", "-c", "--strict", "SHA256SUMS"], cwd=folder,
                            capture_output=True, text=True)
    assert listed.returncode == 0, listed.stdout + listed.stderr
    names = sorted(line.rsplit(": ", 1)[0] for line in listed.stdout.splitlines())
    assert names == sorted(set(os.listdir(folder)) - {"SHA256SUMS"})


def verify(path, authority):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(authority / "ca.pem"),
                           "-in", path], capture_output=True, text=True)


def windows_files(folder, tmp_path):
    """The teamid.exe of the .zip and of the .msi, and the .msi."""
    msi = next(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".msi"))
    archive = next(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".zip"))
    with zipfile.ZipFile(archive) as z:
        z.extract("teamid.exe", str(tmp_path / "zip"))
    subprocess.run(["msiextract", "-C", str(tmp_path / "msi"), msi], check=True,
                   capture_output=True)
    from_msi = [os.path.join(d, n) for d, _, names in os.walk(tmp_path / "msi")
                for n in names if n == "teamid.exe"]
    assert len(from_msi) == 1
    return {"exe in the .zip": str(tmp_path / "zip" / "teamid.exe"),
            "exe in the .msi": from_msi[0], "the .msi": msi}


def test_signed_packages_verify(releases, authority, tmp_path):
    folder = one(releases, True)
    for what, path in windows_files(folder, tmp_path).items():
        result = verify(path, authority)
        assert result.returncode == 0, (what, result.stdout + result.stderr)
        assert "Signer's certificate:" in result.stdout or "Subject:" in result.stdout, what


def test_unsigned_packages_do_not(releases, authority, tmp_path):
    folder = one(releases, False)
    for what, path in windows_files(folder, tmp_path).items():
        assert verify(path, authority).returncode != 0, what


def test_a_changed_byte_fails_verification(releases, authority, tmp_path):
    folder = one(releases, True)
    exe = windows_files(folder, tmp_path)["exe in the .zip"]
    with open(exe, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 3] ^= 0x01  # in the code, well before the signature
    changed = str(tmp_path / "changed.exe")
    with open(changed, "wb") as f:
        f.write(data)
    assert verify(changed, authority).returncode != 0


def test_the_signed_program_passes_the_windows_table(releases, tmp_path):
    """The signature changes nothing else of the program: the end-to-end
    cases of teamid.exe, run against the signed one."""
    folder = one(releases, True)
    exe = windows_files(folder, tmp_path)["exe in the .zip"]
    run = subprocess.run(
        ["pytest-3", "-p", "no:cacheprovider", "-q", "--basetemp", str(tmp_path / "e2e"),
         "-k", "windows", os.path.join(ROOT, "tests", "e2e", "test_teamid.py")],
        env=dict(os.environ, TEAMID_E2E_WINDOWS_EXE=exe, PYTHONDONTWRITEBYTECODE="1"),
        capture_output=True, text=True, timeout=900)
    assert run.returncode == 0, run.stdout[-3000:]
    assert " passed" in run.stdout and "failed" not in run.stdout
