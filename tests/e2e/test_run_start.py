"""The start of a run: the trusted launcher, the data folder, the command line, the log."""
import re
import shutil
import struct
import subprocess

import pytest

from vondrel_env import (AGENT, BUILD_DIR, DATA, EXE, LOG, NORVANE, SOURCE_DIR, UNSIGNED_AGENT, LogTail,
                         reset_data_folder, run_vondrel, winpath)

STARTING = "Starting Vondrel.exe utility"
STOPPING = "Stopping Vondrel.exe utility"
NOT_TRUSTED = "Vondrel.exe was not started by a trusted process"
# The same agent, validly signed by a certificate of the test CA whose thumbprint the build does not list.
UNLISTED_AGENT = BUILD_DIR / "tools" / "unlisted" / "agent.exe"


@pytest.fixture(autouse=True)
def fresh_data_folder():
    reset_data_folder()
    yield


@pytest.mark.parametrize("args, expected", [
    ([], [STARTING, "Email ID is missing in command-line options, stopping tool execution"]),
    (["--Bogus=1"], [STARTING, "Invalid command line argument --Bogus=1", STOPPING]),
    (["--Email"], [STARTING, "Invalid command line argument --Email", STOPPING]),
    (["--No-Upload=1"], [STARTING, "Invalid command line argument --No-Upload=1", STOPPING]),
    (["--email=", "--Proxy-server=p"], [STARTING, "Email ID is missing in command-line options, stopping tool execution"]),
    (["--Email=a@b.c", "--Proxy-server=p"], [STARTING, "Invalid proxy info, missing proxy port info"]),
    (["--Email=a@b.c", "--PROXY-SERVER=p", "--proxy-port=8", "--Config-script=http://h/p.pac?a=b"],
     [STARTING, "Invalid proxy info, proxy and proxy script both supplied as input"]),
])
def test_rejected_command_lines_end_with_1(args, expected):
    tail = LogTail()
    assert run_vondrel(*args) == 1
    assert tail.lines() == expected


def test_the_data_folder_is_created_and_lines_append():
    assert not DATA.exists()
    assert run_vondrel() == 1
    assert DATA.is_dir() and LOG.exists()
    first = LOG.read_bytes()
    assert run_vondrel("--Bogus=1") == 1
    assert LOG.read_bytes().startswith(first)


def test_started_straight_under_wine_it_refuses_to_start():
    tail = LogTail()
    assert run_vondrel("--Email=a@b.c", agent=None) == 1
    lines = tail.lines()
    assert STARTING not in lines
    assert len(lines) == 1 and lines[0].startswith(NOT_TRUSTED), lines


def test_an_unsigned_launcher_is_refused(tmp_path):
    tail = LogTail()
    assert run_vondrel("--Email=a@b.c", agent=UNSIGNED_AGENT) == 1
    [line] = tail.lines()
    assert line.startswith(NOT_TRUSTED) and "agent.exe" in line and line.endswith("0x800b0100"), line


def test_only_a_signer_on_the_trusted_list_is_accepted():
    tail = LogTail()
    assert run_vondrel("--Email=a@b.c", agent=UNLISTED_AGENT) == 1
    [line] = tail.lines()
    assert line == f"{NOT_TRUSTED} {winpath(UNLISTED_AGENT)}, 0x800b0004", line

    # The very same program and chain with the listed signer gets past the check.
    tail = LogTail()
    run_vondrel("--Bogus=1", agent=AGENT)
    assert tail.lines() == [STARTING, "Invalid command line argument --Bogus=1", STOPPING]


def test_a_launcher_changed_after_signing_is_refused(tmp_path):
    tampered = tmp_path / "agent.exe"
    data = bytearray(AGENT.read_bytes())
    data[0x400] ^= 0xFF  # inside the code, covered by the signature's digest
    tampered.write_bytes(bytes(data))
    tail = LogTail()
    assert run_vondrel("--Email=a@b.c", agent=tampered) == 1
    [line] = tail.lines()
    assert line.startswith(NOT_TRUSTED) and line.endswith("0x80096010"), line


def test_a_missing_agent_folder_leaves_no_log():
    shutil.rmtree(NORVANE)
    try:
        assert run_vondrel("--Email=a@b.c") == 1
        assert not NORVANE.exists()
    finally:
        NORVANE.mkdir(parents=True, exist_ok=True)


def test_the_program_is_a_self_contained_64_bit_console_program():
    kind = subprocess.run(["file", "-b", str(EXE)], capture_output=True, text=True).stdout
    assert "PE32+ executable (console) x86-64" in kind, kind
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(EXE)], capture_output=True, text=True).stdout
    dlls = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
    system = {"kernel32.dll", "advapi32.dll", "ole32.dll", "shell32.dll", "winhttp.dll", "crypt32.dll",
              "wintrust.dll", "msvcrt.dll", "user32.dll", "shlwapi.dll", "oleaut32.dll", "rpcrt4.dll"}
    assert dlls and dlls <= system | {d for d in dlls if d.startswith("api-ms-win-")}, dlls
    image = EXE.read_bytes()
    assert b'level="asInvoker"' in image and b'uiAccess="false"' in image
    assert b"supportedOS" not in image
    version = re.search(r"project\(Vondrel VERSION (\d+)\.(\d+)\.(\d+)\.(\d+)",
                        (SOURCE_DIR / "CMakeLists.txt").read_text()).groups()
    text = ".".join(version)
    assert text.encode("utf-16-le") in image and "Vondrel".encode("utf-16-le") in image
    assert f'name="Norvane.Vondrel" version="{text}"'.encode() in image
    # The fixed version block: signature, structure version, then file and product version, high and
    # low 32 bits each.
    major, minor, build, revision = (int(n) for n in version)
    numbers = struct.pack("<II", major << 16 | minor, build << 16 | revision)
    assert struct.pack("<II", 0xFEEF04BD, 0x10000) + numbers + numbers in image
