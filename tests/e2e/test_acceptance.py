"""The run table, row by row, with the real Vondrel.exe started by the signed agent against the real
nginx back end (or the scripted HTTPS server where exact statuses are needed): each row's log lines in
order, its exit code, and what it leaves on disk."""
import re
import shutil
import sqlite3
import sys

import pytest

from sample_store import SCHEMA, QFile, QItem, make_store
from vondrel_env import (CACHE, DATA, DRIVE_C, SOURCE_DIR, UPLOAD, LogTail, reset_data_folder, run_vondrel,
                         set_agent_guid, unzip, upload_archives, work_folders)

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.nginx import NginxBackend  # noqa: E402
from servers.scripted_https import Reply, ScriptedHttpsServer  # noqa: E402

from upload_settings import PASSWORD, USER  # noqa: E402
STORE = DRIVE_C / "Quarantine"
STORE_WIN = "C:\\Quarantine"
EMAIL = "--Email=soc@example.com"
STARTING, STOPPING = "Starting Vondrel.exe utility", "Stopping Vondrel.exe utility"
UPLOADING = re.compile(r"Uploading file (C:\\ProgramData\\Norvane\\Vondrel\\Upload\\vdrel_[0-9A-F]{12}_\d{6}_\d{6}\.zip) to Norvane backend")


@pytest.fixture(autouse=True)
def clean():
    reset_data_folder()
    if STORE.exists():
        shutil.rmtree(STORE)
    set_agent_guid("{11111111-2222-3333-4444-555555555555}")
    yield


@pytest.fixture
def backend(tmp_path):
    with NginxBackend(tmp_path / "received", USER, PASSWORD) as server:
        yield server


def items(n, tag="f"):
    return [QItem(files=[QFile(f"C:\\Users\\u\\{tag}{i}.bin", bytes([i % 256]) * (1000 + i))]) for i in range(n)]


def cache_lines():
    return CACHE.read_bytes().split(b"\r\n")[:-1] if CACHE.exists() else None


def archive_of(lines):
    for line in lines:
        m = UPLOADING.fullmatch(line)
        if m:
            return m.group(1)
    return None


def test_a_submission_reaches_the_back_end_and_is_not_sent_again(backend, tmp_path):
    store = items(3)
    make_store(STORE, STORE_WIN, store)
    tail = LogTail()
    assert run_vondrel(EMAIL) == 0
    lines = tail.lines()
    archive = archive_of(lines)
    assert archive, lines
    assert lines[:3] == [STARTING, f"Quarantine folder location is {STORE_WIN}",
                         f"Successfully opened quarantine backup {STORE_WIN}"]
    assert f"Successfully uploaded file {archive} to Norvane backend" in lines
    assert lines[-2:] == [f"Successfully deleted zip file {archive}", STOPPING]
    assert upload_archives() == [] and work_folders() == []
    assert cache_lines() == sorted(i.registry_text.encode() for i in store)
    [(name, data)] = backend.received().items()
    assert name == "ostrel\\" + archive.rsplit("\\", 1)[1]
    (tmp_path / "got.zip").write_bytes(data)
    out = unzip(tmp_path / "got.zip", tmp_path / "out")
    for item in store:
        f = item.files[0]
        assert (out / f.original.rsplit("\\", 1)[1]).read_bytes() == f.content

    tail = LogTail()
    assert run_vondrel(EMAIL) == 0
    lines = tail.lines()
    assert [l for l in lines if l.startswith("Skipping")] == [f"Skipping already sent guid {i.registry_text}" for i in store]
    assert archive_of(lines) is None and len(backend.received()) == 1


def test_new_items_after_a_run_are_sent_alone(backend, tmp_path):
    first = items(2, "a")
    make_store(STORE, STORE_WIN, first)
    assert run_vondrel(EMAIL) == 0
    later = items(2, "b")
    db = sqlite3.connect(STORE / "Quarantine.db")
    from sample_store import add_item
    for item in later:
        add_item(db, STORE, STORE_WIN, item)
    db.commit()
    db.close()
    tail = LogTail()
    assert run_vondrel(EMAIL) == 0
    received = backend.received()
    assert len(received) == 2
    second = "ostrel\\" + archive_of(tail.lines()).rsplit("\\", 1)[1]
    (tmp_path / "b.zip").write_bytes(received[second])
    out = unzip(tmp_path / "b.zip", tmp_path / "out")
    assert sorted(p.name for p in out.iterdir() if p.suffix == ".bin") == ["b0.bin", "b1.bin"]
    assert cache_lines() == sorted(i.registry_text.encode() for i in first + later)


def test_a_failed_upload_keeps_the_cache_and_the_items_go_next_time(backend):
    store = items(2)
    make_store(STORE, STORE_WIN, store)
    UPLOAD.mkdir(parents=True)
    CACHE.write_bytes(b"{00000000-0000-0000-0000-000000000000}\r\n")
    before = CACHE.read_bytes()
    backend.stop()
    with ScriptedHttpsServer([Reply(500)]) as failing:
        tail = LogTail()
        assert run_vondrel(EMAIL) == 1
        assert len(failing.requests) >= 1
    lines = tail.lines()
    archive = archive_of(lines)
    i = lines.index(f"Uploading file {archive} to Norvane backend")
    assert lines[-3:] == [f"Failed to upload file {archive} to Norvane backend",
                          f"Successfully deleted zip file {archive}", STOPPING]
    assert i < len(lines) - 3
    assert CACHE.read_bytes() == before and upload_archives() == []
    backend.start()
    assert run_vondrel(EMAIL) == 0
    assert len(backend.received()) == 1
    assert cache_lines() == sorted([b"{00000000-0000-0000-0000-000000000000}"] + [i.registry_text.encode() for i in store])


def test_a_fresh_folder_gets_a_catalogue_fails_once_then_is_an_empty_store():
    tail = LogTail()
    assert run_vondrel(EMAIL) == 1
    assert (STORE / "Quarantine.db").exists()
    assert tail.lines()[-2:] == [f"Failed to open quarantine backup {STORE_WIN} 0x4", STOPPING]
    assert len(work_folders()) == 1  # the empty work folder of a store that did not open stays
    tables = sqlite3.connect(STORE / "Quarantine.db").execute("SELECT sql FROM sqlite_master").fetchall()
    assert [t[0] + ";" for t in tables] == SCHEMA
    tail = LogTail()
    assert run_vondrel(EMAIL) == 0
    assert tail.lines()[-2:] == ["Empty quarantined folder, nothing to extract, skipping further action", STOPPING]
    assert upload_archives() == []


def test_a_store_with_an_old_schema_is_upgraded_and_sent(backend):
    STORE.mkdir(parents=True)
    (STORE / "quarantine").mkdir()
    item = QItem(files=[QFile("C:\\old\\legacy.txt", b"old schema content")])
    from sample_store import write_zip_backup
    write_zip_backup(STORE / "quarantine" / (item.guid_text + ".zip"), item.files)
    db = sqlite3.connect(STORE / "Quarantine.db")
    db.execute("CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted);")
    db.execute("CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);")
    db.execute("CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename);")
    db.execute("CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, registryValue);")
    db.execute("CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);")
    db.execute("INSERT INTO BackupItems VALUES (?,?,?,?,?,?,?)", (item.guid_text, item.created, 2, "Old.Item", 1, 1, 0))
    db.execute("INSERT INTO BackupVersions VALUES (?,?,?,?,?,?,?)", (item.guid_text, 1, 0, 1, 0, 0, ""))
    db.execute("INSERT INTO BackupFiles VALUES (?,?,?,?,?)",
               (item.guid_text, 0, 1, "C:\\old\\legacy.txt", STORE_WIN + "\\quarantine\\" + item.guid_text + ".zip"))
    db.commit()
    db.close()
    assert run_vondrel(EMAIL) == 0
    columns = [r[1] for r in sqlite3.connect(STORE / "Quarantine.db").execute("PRAGMA table_info(BackupFiles)")]
    assert columns[-1] == "FileAttribute" and "actorProcessName" in columns
    assert len(backend.received()) == 1


def test_a_run_whose_items_all_fail_to_restore_fails_and_sends_nothing(backend):
    broken = QItem(files=[QFile("C:\\a\\gone.txt", b"x")])
    make_store(STORE, STORE_WIN, [broken])
    (STORE / "quarantine" / (broken.guid_text + ".zip")).unlink()
    tail = LogTail()
    assert run_vondrel(EMAIL) == 1
    lines = tail.lines()
    assert "Failed to zip folder" not in " ".join(lines)
    assert archive_of(lines) is None and backend.received() == {}
    assert upload_archives() == [] and work_folders() == [] and cache_lines() is None


def test_an_upload_folder_that_cannot_be_made_stops_the_run():
    DATA.mkdir(parents=True)
    UPLOAD.write_bytes(b"a file in the folder's place")
    make_store(STORE, STORE_WIN, items(1))
    tail = LogTail()
    assert run_vondrel(EMAIL) == 1
    assert tail.lines()[-3:] == ["Failed to create upload directory C:\\ProgramData\\Norvane\\Vondrel\\Upload , 0xb7",
                                 STOPPING, STOPPING]


def test_two_runs_in_the_same_second_use_different_work_folders(backend):
    make_store(STORE, STORE_WIN, items(1))
    zipped = []
    for _ in range(2):
        tail = LogTail()
        assert run_vondrel(EMAIL) == 0
        zipped += [l for l in tail.lines() if l.startswith("Successfully zipped folder")]
        CACHE.unlink()  # so that the second run sends the item again
    assert len(zipped) == 2 and zipped[0] != zipped[1]
    # The twelve hex digits come from a new GUID, so the names differ even within one second.
    assert zipped[0].split("_")[1] != zipped[1].split("_")[1]
    assert len(backend.received()) == 2
