"""The project prefix as the end-to-end tests see it: running Vondrel.exe (through the signed test
agent, or not), and reading what it leaves in its data folder."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import wine_prefix
from archive_password import ARCHIVE_PASSWORD

SOURCE_DIR = Path(os.environ.get("VONDREL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("VONDREL_BINARY_DIR", SOURCE_DIR / "build"))
# The prefix of this suite: its own copy when it runs through tests/support/own_prefix.
PREFIX = Path(os.environ.get("VONDREL_PREFIX", SOURCE_DIR / "build" / "wine"))
DRIVE_C = PREFIX / "drive_c"
NORVANE = DRIVE_C / "ProgramData" / "Norvane"
DATA = NORVANE / "Vondrel"
LOG = DATA / "log.txt"
UPLOAD = DATA / "Upload"
CACHE = UPLOAD / "guid_cache.txt"
EXE = BUILD_DIR / "Vondrel.exe"
AGENT = BUILD_DIR / "tools" / "agent" / "agent.exe"
UNSIGNED_AGENT = BUILD_DIR / "tools" / "unsigned" / "agent.exe"

STAMP = re.compile(rb"^\d{1,2}:\d{1,2}:\d{1,2} \d{1,2}-\d{1,2}-\d{4} ")


def wine_env():
    return wine_prefix.wine_env(PREFIX)


def winpath(path):
    """A Unix path as the prefix's Z: drive shows it; C: paths inside the prefix as C:."""
    return wine_prefix.winpath(path, DRIVE_C)


def wine(*args, timeout=300, **kwargs):
    return subprocess.run(["wine", *map(str, args)], env=wine_env(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, **kwargs)


def run_vondrel(*args, agent=AGENT, timeout=300):
    """Runs the tool as the agent starts it; returns the exit code."""
    if agent is None:
        return wine(EXE, *args, timeout=timeout).returncode
    return wine(agent, winpath(EXE), *args, timeout=timeout).returncode


class LogTail:
    """The log lines written after construction."""

    def __init__(self):
        self.start = LOG.stat().st_size if LOG.exists() else 0

    def raw(self):
        if not LOG.exists():
            return b""
        data = LOG.read_bytes()
        return data[self.start:] if len(data) >= self.start else data

    def lines(self):
        """Messages without their time stamps; asserts every line has a stamp and ends in CR LF."""
        raw = self.raw()
        if not raw:
            return []
        assert raw.endswith(b"\r\n"), raw[-40:]
        out = []
        for line in raw[:-2].split(b"\r\n"):
            m = STAMP.match(line)
            assert m, line
            out.append(line[m.end():].decode("latin-1"))
        return out


def reset_data_folder():
    """The data folder as a fresh installation has it: the agent's folder, no Vondrel folder yet."""
    NORVANE.mkdir(parents=True, exist_ok=True)
    if DATA.exists():
        shutil.rmtree(DATA)


AGENT_KEY = r"HKLM\SOFTWARE\Kelmar Group\KVR\Shared Components\Framework"
COLLECT_TOOL = BUILD_DIR / "tools" / "collect_tool.exe"


def set_agent_guid(value):
    """The management agent's GUID in the 32-bit registry view, as a 32-bit agent writes it; None removes it."""
    if value is None:
        wine("reg", "delete", AGENT_KEY, "/v", "AgentGUID", "/f", "/reg:32")
        return
    r = wine("reg", "add", AGENT_KEY, "/v", "AgentGUID", "/t", "REG_SZ", "/d", value, "/f", "/reg:32")
    assert r.returncode == 0, r.stderr


def collect(mode, quarantine_win, email="soc@example.com"):
    """The submission path with a switch set (noupload or segregate); returns the exit code."""
    return wine(COLLECT_TOOL, mode, quarantine_win, email).returncode


def upload_archives():
    return sorted(UPLOAD.glob("vdrel_*.zip")) if UPLOAD.exists() else []


def work_folders():
    return sorted(p for p in UPLOAD.glob("vdrel_*") if p.is_dir()) if UPLOAD.exists() else []


def unzip(archive, into):
    """Checks the archive with Info-ZIP (every entry decrypted and its CRC verified), then extracts it.
    The files are written out by Python's zipfile under the names it reads, which follow each entry's
    UTF-8 flag: a non-ASCII name without the flag comes out garbled, as every other reader shows it."""
    import subprocess as sp
    import zipfile
    r = sp.run(["unzip", "-tq", "-P", ARCHIVE_PASSWORD, str(archive)], capture_output=True)
    assert r.returncode == 0, r.stdout + r.stderr
    into = Path(into)
    into.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            (into / info.filename).write_bytes(z.read(info, pwd=ARCHIVE_PASSWORD.encode()))
    return into


MAKE_BUP = BUILD_DIR / "tools" / "make_bup.exe"


def legacy_writer():
    """Writes a legacy compound backup through the structured-storage helper under Wine."""
    from sample_store import bup_writer
    return bup_writer(MAKE_BUP, wine)
