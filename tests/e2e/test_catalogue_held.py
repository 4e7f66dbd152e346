"""A catalogue that another writer holds in an exclusive transaction while the tool runs (Python's
sqlite3 on the Linux side, as the product would hold it): the tool cannot read it, so the run fails
and leaves the file and the writer's journal alone; the writer's COMMIT goes through with its row, and
a run after the lock is released sends every item."""
import sqlite3
import subprocess
import sys
from contextlib import closing, contextmanager

import pytest

from expected import metadata
from hardening_support import (AGENT_GUID, archives_of_run, fresh_start, log_since, log_size,  # noqa: F401
                               log_without_secrets, own_nginx, run_bounded)
from sample_store import QFile, QItem, make_store
from vondrel_env import DRIVE_C, LogTail, unzip

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE_WIN = "C:\\HeldQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
STOPPING = "Stopping Vondrel.exe utility"
OPEN_FAILED = f"Failed to open quarantine backup {STORE_WIN} 0x3"  # the creation list could not run
ITEMS = [QItem(files=[QFile(f"C:\\Users\\u\\held{i}.bin", f"held item {i}\n".encode() * 40)]) for i in range(3)]
WRITERS_ROW = (ITEMS[0].guid_text, "held", "written in the writer's transaction")

# The other writer, a process of its own (a POSIX lock is the process's: any file of the catalogue
# that the test itself opened and closed would drop it). It holds the catalogue in an exclusive
# transaction with one row inserted until it reads a line, then commits and says how that went.
WRITER = """
import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.execute("BEGIN EXCLUSIVE")
db.execute("INSERT INTO BackupAttrs VALUES (?, ?, ?)", sys.argv[2:5])
print("held", flush=True)
sys.stdin.readline()
try:
    db.execute("COMMIT")
    print("committed", flush=True)
except sqlite3.Error as error:
    print("commit failed:", error, flush=True)
"""


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE)
    make_store(STORE, STORE_WIN, ITEMS)
    yield


def catalogue_rows():
    with closing(sqlite3.connect(STORE / "Quarantine.db")) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        return (db.execute("SELECT guid FROM BackupItems ORDER BY guid").fetchall(),
                db.execute("SELECT guid, attribute, value FROM BackupAttrs").fetchall())


def assert_locked_for_others():
    """Another connection finds the catalogue locked (without waiting: timeout 0)."""
    with closing(sqlite3.connect(STORE / "Quarantine.db", timeout=0)) as other:
        with pytest.raises(sqlite3.OperationalError, match="database is locked"):
            other.execute("SELECT count(*) FROM sqlite_master").fetchall()


@contextmanager
def held_catalogue():
    """Yields once the writer holds the catalogue; the caller's commit() releases it."""
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(STORE / "Quarantine.db"), *WRITERS_ROW],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "held\n"

        def commit():
            writer.stdin.write("\n")
            writer.stdin.flush()
            return writer.stdout.readline().strip()
        yield commit
    finally:
        writer.kill()
        writer.wait()


def sent_folder(received, tmp_path):
    """The one archive of the run, unpacked."""
    assert len(received) == 1, sorted(received)
    [data] = received.values()
    archive = tmp_path / "sent.zip"
    archive.write_bytes(data)
    return unzip(archive, tmp_path / "sent")


def test_a_held_catalogue_is_left_to_its_writer_and_sent_once_released(tmp_path):
    database = STORE / "Quarantine.db"
    journal = STORE / "Quarantine.db-journal"
    with held_catalogue() as commit:
        assert_locked_for_others()
        assert journal.exists()
        held = database.read_bytes(), journal.read_bytes()

        tail = LogTail()
        code, stderr = run_bounded(*ARGS)
        assert code == 1, stderr
        assert tail.lines()[-2:] == [OPEN_FAILED, STOPPING]
        assert (database.read_bytes(), journal.read_bytes()) == held
        assert_locked_for_others()  # the writer's transaction is still the one holding it
        assert commit() == "committed"

    assert not journal.exists()
    assert catalogue_rows() == (sorted((item.guid_text,) for item in ITEMS), [WRITERS_ROW])

    with own_nginx(tmp_path / "received") as server:
        start = log_size()
        code, stderr = run_bounded(*ARGS)
        assert code == 0, stderr
        sent = sent_folder(archives_of_run(server.received(), log_since(start)), tmp_path)
    assert (sent / "quarantined_metadata.json").read_bytes() == metadata(AGENT_GUID, [(i, i.files) for i in ITEMS])
    for item in ITEMS:
        f = item.files[0]
        assert (sent / f.original.rsplit("\\", 1)[1]).read_bytes() == f.content
