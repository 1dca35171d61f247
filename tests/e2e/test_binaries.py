"""What the built programs are made of, as a user's machine will load them."""

import os
import subprocess

import pefile

from model import ROOT


def test_windows_program_is_a_64_bit_console_program_with_system_imports():
    pe = pefile.PE(os.path.join(ROOT, "build", "windows", "teamid.exe"))
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    assert pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE[
        "IMAGE_SUBSYSTEM_WINDOWS_CUI"]
    dlls = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert dlls <= {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}, dlls


def test_native_program_loads_no_libstdcxx():
    program = os.path.join(ROOT, "build", "native", "teamid")
    dynamic = subprocess.run(["readelf", "-d", program],
                             capture_output=True, text=True, check=True).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed, dynamic
    assert not [line for line in needed if "libstdc++" in line or "libgcc_s" in line]
