"""The hand-offs as a Linux peer sees their results: archives packed by PackFolder read back with
Info-ZIP, and a restore whose file writes hit a file-size limit (RLIMIT_FSIZE, which Wine reports as
a failed WriteFile) while the memory route still has the whole entry."""
import os
import resource
import signal
import subprocess
from pathlib import Path

import pytest

from archive_password import ARCHIVE_PASSWORD as PASSWORD
from e2e.vondrel_env import LOG, LogTail, wine, winpath

BUILD_DIR = Path(os.environ["VONDREL_BINARY_DIR"])
TOOL = BUILD_DIR / "tools" / "restore_tool.exe"


def run_tool(*args, preexec_fn=None):
    result = wine(TOOL, *args, preexec_fn=preexec_fn)
    out = result.stdout.decode(errors="replace").strip()
    assert result.returncode == 0, (out, result.stderr[-2000:])
    return dict(field.split("=") for field in out.split())


def zip_names(archive):
    out = subprocess.run(["/usr/bin/unzip", "-Z1", str(archive)], check=True, capture_output=True, text=True)
    return sorted(out.stdout.split())


def unzip_content(archive, name):
    return subprocess.run(["/usr/bin/unzip", "-p", "-P", PASSWORD, str(archive), name], check=True,
                          capture_output=True).stdout


@pytest.fixture
def work(tmp_path):
    (tmp_path / "quarantine").mkdir()
    folder = tmp_path / "work"
    folder.mkdir()
    (folder / "a.txt").write_bytes(b"first file\r\n" * 10)
    (folder / "b.bin").write_bytes(bytes(range(256)) * 40)
    (folder / "sub").mkdir()
    (folder / "sub" / "c.txt").write_bytes(b"inside a sub-folder")
    return tmp_path


def test_pack_folder_adds_the_files_and_skips_sub_folders(work):
    folder = work / "work"
    result = run_tool("pack", winpath(work / "quarantine"), winpath(folder))
    assert result["code"] == "0"
    archive = Path(str(folder) + ".zip")
    assert zip_names(archive) == ["a.txt", "b.bin"]
    assert unzip_content(archive, "a.txt") == (folder / "a.txt").read_bytes()
    assert unzip_content(archive, "b.bin") == (folder / "b.bin").read_bytes()
    subprocess.run(["/usr/bin/unzip", "-t", "-q", "-P", PASSWORD, str(archive)], check=True)


def test_pack_folder_with_an_unreadable_file_fails_but_packs_the_rest(work):
    folder = work / "work"
    result = run_tool("pack", winpath(work / "quarantine"), winpath(folder), "b.bin")
    assert result["code"] == "9"
    assert zip_names(Path(str(folder) + ".zip")) == ["a.txt"]


def limit_file_size(limit):
    def apply():
        # Ignored, the signal lets write() fail with EFBIG instead of ending the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


def test_extraction_that_cannot_write_the_file_fails_at_create_new_and_leaves_nothing(tmp_path):
    LOG.parent.mkdir(parents=True, exist_ok=True)
    # Above the log's size, so that its lines can still be appended.
    log_size = LOG.stat().st_size if LOG.exists() else 0
    limit = max(16 << 20, log_size + (8 << 20))
    source = tmp_path / "source" / "Users" / "a"
    source.mkdir(parents=True)
    big = source / "big.bin"
    with open(big, "wb") as f:
        f.truncate(limit + (1 << 20))
    archive = tmp_path / "item.zip"
    subprocess.run(["/usr/bin/zip", "-q", "-D", "-X", "-P", PASSWORD, str(archive), "Users/a/big.bin"],
                   cwd=tmp_path / "source", check=True)
    big.unlink()
    destination = tmp_path / "Items"
    destination.mkdir()

    # A wineserver started by the limited process would inherit the limit.
    wine("cmd", "/c", "exit")
    tail = LogTail()
    result = run_tool("restore", winpath(archive), "C:\\Users\\a\\big.bin", winpath(destination),
                      preexec_fn=limit_file_size(limit))
    lines = tail.lines()
    target = winpath(destination) + "\\big.bin"
    assert result == {"code": "17", "restored": "0"}
    assert "Failed to CopyFromZIPFile" in lines
    # The memory route had the entry, but the part-written file was still in the way.
    assert "QuarManager::RestoreFiles, RestoreFileToStream failed" not in lines
    assert "QuarManager::RestoreFiles, CreateFile failed, GetLastError() : 80" in lines
    assert f"Failed to (retVal 17) restore file to : {target}: " in lines
    assert not (destination / "big.bin").exists()
