"""Links planted where the tool keeps its files, made for real in the prefix: a Unix symbolic link to
a folder reads under Wine as a directory with the reparse-point attribute, and a Unix hard link as a
file with two links. (Junctions and Windows symbolic links cannot be made under Wine, and a Unix
symbolic link to a file reads as a plain file; the data folder's unit tests reach those through their
seam.) The tool must refuse the linked folder and write nothing through any of the links."""
import os
import shutil

import pytest

from hardening_support import fresh_start, log_without_secrets, run_bounded  # noqa: F401
from vondrel_env import DATA, DRIVE_C, LOG, NORVANE, UPLOAD, LogTail

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE_WIN = "C:\\LinkQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
STOPPING = "Stopping Vondrel.exe utility"
UNSAFE = "Folder {} may be changed by other users or is a link, stopping tool execution"


@pytest.fixture
def target(tmp_path):
    """Where a planted link points; whatever lands here was written through the link."""
    folder = DRIVE_C / "PlantedTarget"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE, [("C:\\Users\\u\\linked.bin", b"sample")])
    yield
    for path in (UPLOAD, DATA):
        if path.is_symlink():
            path.unlink()  # before any other suite's reset, which cannot remove a link


def test_a_data_folder_that_is_a_link_is_refused_before_the_log_is_written(target):
    NORVANE.mkdir(parents=True, exist_ok=True)
    os.symlink(target, DATA)
    code, stderr = run_bounded(*ARGS)
    assert code == 1, stderr
    assert list(target.iterdir()) == []


def test_an_upload_folder_that_is_a_link_is_refused(target):
    DATA.mkdir(parents=True)
    os.symlink(target, UPLOAD)
    tail = LogTail()
    code, stderr = run_bounded(*ARGS)
    assert code == 1, stderr
    assert tail.lines()[-3:] == [UNSAFE.format("C:\\ProgramData\\Norvane\\Vondrel\\Upload"), STOPPING, STOPPING]
    assert list(target.iterdir()) == []


def test_a_log_file_that_is_a_hard_link_is_not_written_through(target):
    DATA.mkdir(parents=True)
    planted = target / "elsewhere.txt"
    planted.write_bytes(b"not the tool's log\r\n")
    os.link(planted, LOG)
    code, stderr = run_bounded(*ARGS)
    assert code in (0, 1), stderr
    assert planted.read_bytes() == b"not the tool's log\r\n"
    assert sorted(p.name for p in target.iterdir()) == ["elsewhere.txt"]
