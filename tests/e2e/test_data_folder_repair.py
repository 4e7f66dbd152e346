"""A data folder and an Upload folder that were there before the tool, as an installer, the agent or an
earlier version leaves them: open to other users, holding a log and a sent-item cache written by an
independent writer (Python). The tool restricts both folders, goes on with what they hold and reads
the cache only when it cannot have been planted.

Under Wine a folder's DACL is made from its Unix mode bits: a folder others may write (mode 0777)
reads as Everyone with write rights, and a protected DACL set on it is kept as the mode that clears
them. Administrators read back as the token's user and the protected flag is not shown."""
import os
import shutil

import pytest

from hardening_support import AGENT_GUID, own_nginx, run_bounded
from sample_store import QFile, QItem, make_store
from vondrel_env import (BUILD_DIR, CACHE, DATA, DRIVE_C, LOG, NORVANE, UPLOAD, LogTail, reset_data_folder,
                         set_agent_guid, unzip, wine)

STORE_WIN = "C:\\RepairQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
SECURITY_TOOL = BUILD_DIR / "tools" / "security_tool.exe"
DATA_WIN = "C:\\ProgramData\\Norvane\\Vondrel"
UPLOAD_WIN = DATA_WIN + "\\Upload"
RESTRICTED = "Folder {} could be changed by other users, its access was restricted to SYSTEM and Administrators"
CACHE_NOT_TRUSTED = ("Sent items cache {} was not written by this tool or has other links, it is not read and "
                     "will be replaced")
USER_SID = "S-1-5-21-0-0-0-1000"
# Everyone with read, write and execute rights: what others' write bits read as.
OPEN_SDDL = f"O:{USER_SID}D:(A;OICI;FA;;;SY)(A;OICI;FA;;;{USER_SID})(A;OICI;0x1301ff;;;WD)"
# The protected DACL as Wine keeps it: SYSTEM and Administrators (the token's user) full control,
# inherited by what the folder holds; Everyone keeps only the read and execute rights of the mode bits.
PROTECTED_SDDL = f"O:{USER_SID}D:(A;OICI;FA;;;SY)(A;OICI;FA;;;{USER_SID})(A;OICI;0x1200a9;;;WD)"
EARLIER_LOG = b"9:0:1 3-12-2026 Starting Vondrel.exe utility\r\n9:0:2 3-12-2026 Stopping Vondrel.exe utility\r\n"


def sddl(path):
    r = wine(SECURITY_TOOL, "show", path)
    assert r.returncode == 0, r.stderr
    return r.stdout.decode().strip()


def open_folder(path):
    path.mkdir(exist_ok=True)
    path.chmod(0o777)


@pytest.fixture
def store():
    reset_data_folder()
    set_agent_guid(AGENT_GUID)
    items = [QItem(files=[QFile(f"C:\\Users\\u\\earlier{i}.bin", b"sent before %d" % i * 100)]) for i in range(2)]
    items.append(QItem(files=[QFile("C:\\Users\\u\\new.bin", b"new sample" * 300)]))
    if STORE.exists():
        shutil.rmtree(STORE)
    make_store(STORE, STORE_WIN, items)
    NORVANE.mkdir(parents=True, exist_ok=True)
    open_folder(DATA)
    open_folder(UPLOAD)
    LOG.write_bytes(EARLIER_LOG)
    yield items
    reset_data_folder()


def cache_text(items):
    return b"".join(i.registry_text.encode() + b"\r\n" for i in sorted(items, key=lambda i: i.registry_text))


def metadata_guids(archive, into):
    metadata = (unzip(archive, into) / "quarantined_metadata.json").read_text("latin-1")
    return sorted(line.split('"')[1] for line in metadata.splitlines() if line.startswith('\t"{'))


def run_against_backend(tmp_path):
    with own_nginx(tmp_path / "received") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS)
        received = server.received()
    assert code == 0, stderr
    assert len(received) == 1, received.keys()
    archive = tmp_path / "got.zip"
    archive.write_bytes(next(iter(received.values())))
    return tail, archive


def test_an_open_data_folder_is_restricted_and_what_it_holds_stays_in_use(store, tmp_path):
    CACHE.write_bytes(cache_text(store[:2]))
    before = {path: sddl(path) for path in (DATA_WIN, UPLOAD_WIN)}
    assert before == {DATA_WIN: OPEN_SDDL, UPLOAD_WIN: OPEN_SDDL}

    tail, archive = run_against_backend(tmp_path)

    assert LOG.read_bytes().startswith(EARLIER_LOG), "the earlier log grows on"
    lines = tail.lines()
    assert lines[:2] == [RESTRICTED.format(DATA_WIN), "Starting Vondrel.exe utility"]
    assert RESTRICTED.format(UPLOAD_WIN) in lines
    assert not any(line.startswith("Sent items cache") for line in lines)
    for item in store[:2]:
        assert f"Skipping already sent guid {item.registry_text}" in lines
    assert metadata_guids(archive, tmp_path / "out") == [store[2].registry_text]
    assert CACHE.read_bytes() == cache_text(store)
    assert {path: sddl(path) for path in (DATA_WIN, UPLOAD_WIN)} == {DATA_WIN: PROTECTED_SDDL,
                                                                      UPLOAD_WIN: PROTECTED_SDDL}
    # A restricted folder is as good as one the tool made: the next run has nothing to mend.
    with own_nginx(tmp_path / "again") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS)
        assert server.received() == {}
    assert code == 0, stderr
    assert not any(line.startswith("Folder ") for line in tail.lines())


def test_a_cache_linked_from_elsewhere_is_not_read_and_is_replaced(store, tmp_path):
    planted = DRIVE_C / "PlantedCache.txt"
    planted.write_bytes(cache_text(store))  # would hide every item for ever
    if CACHE.exists():
        CACHE.unlink()
    os.link(planted, CACHE)
    try:
        tail, archive = run_against_backend(tmp_path)
        lines = tail.lines()
        assert CACHE_NOT_TRUSTED.format(UPLOAD_WIN + "\\guid_cache.txt") in lines
        assert not any(line.startswith("Skipping already sent guid") for line in lines)
        assert metadata_guids(archive, tmp_path / "out") == sorted(i.registry_text for i in store)
        assert planted.read_bytes() == cache_text(store), "nothing is written through the link"
        assert CACHE.stat().st_nlink == 1 and CACHE.stat().st_ino != planted.stat().st_ino
        assert CACHE.read_bytes() == cache_text(store)
    finally:
        planted.unlink()
