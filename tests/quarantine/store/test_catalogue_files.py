"""What the store leaves in a catalogue, read back with Python's own sqlite3 module: the schema it
creates, the columns its upgrades add, the rows its removal deletes. The store runs in store_cli.exe
under Wine; the catalogues it starts from are the ones make_catalogues.py wrote."""
import os
import shutil
import sqlite3
import subprocess
from pathlib import Path

import pytest

import wine_prefix

SOURCE_DIR = Path(os.environ["VONDREL_SOURCE_DIR"])
BUILD_DIR = Path(os.environ["VONDREL_BINARY_DIR"])
CLI = BUILD_DIR / "tools" / "store_cli.exe"
FIXTURES = BUILD_DIR / "fixtures" / "store"

CREATION = [
    ("table", "BackupItems", "CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, "
                             "virusType, submitted, additionalInfo)"),
    ("table", "BackupVersions", "CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, "
                                "additional)"),
    ("table", "BackupAttrs", "CREATE TABLE BackupAttrs(guid, attribute, value)"),
    ("table", "BackupFiles", "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, "
                             "createTime, modifyTime, accessTime, actorProcessName, isCreated, FileAttribute)"),
    ("table", "BackupCustomStream", "CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT)"),
    ("table", "BackupRegistry", "CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, "
                                "wasAdded, registryValue)"),
    ("index", "BackupFiles_idx", "CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex )"),
    ("index", "BackupRegistry_idx", "CREATE INDEX BackupRegistry_idx on BackupRegistry (guid)"),
    ("index", "BackupVersions_idx", "CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner)"),
]
FILE_COLUMNS = ["guid", "itemIndex", "bupOrSql", "originalPath", "backupFilename", "size", "createTime", "modifyTime",
                "accessTime", "actorProcessName", "isCreated", "FileAttribute"]
ITEM_COLUMNS = ["guid", "creationTime", "detectType", "detectionName", "reScannable", "virusType", "submitted",
                "additionalInfo"]
GUID_A = "3f2504e0-4f89-11d3-9a0c-0305e82c3301"
GUID_R1 = "10000000-0000-0000-0000-000000000001"
GUID_R4 = "40000000-0000-0000-0000-000000000004"


def winpath(path):
    return wine_prefix.winpath(path)


def store_cli(*args):
    env = wine_prefix.wine_env(SOURCE_DIR / "build" / "wine")
    done = subprocess.run(["wine", str(CLI), *args], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=120)
    return done.stdout.decode("ascii").split()


def open_code(folder):
    return int(store_cli("open", winpath(folder))[0])


def catalogue(folder):
    return sqlite3.connect(Path(folder) / "Quarantine.db")


def columns(db, table):
    return [row[1] for row in db.execute("PRAGMA table_info(%s)" % table)]


@pytest.fixture
def copy_of(tmp_path):
    def make(name):
        target = tmp_path / name
        shutil.copytree(FIXTURES / name, target)
        return target
    return make


def test_a_new_catalogue_gets_the_schema_in_order(tmp_path):
    folder = tmp_path / "missing" / "parents" / "Quarantine"
    assert open_code(folder) == 4
    with catalogue(folder) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        assert db.execute("SELECT type, name, sql FROM sqlite_master ORDER BY rowid").fetchall() == CREATION
    assert open_code(folder) == 0


@pytest.mark.parametrize("name, code, file_columns, attribute", [
    ("basic5", 0, FILE_COLUMNS, (32, "integer")),
    ("noattribute", 0, FILE_COLUMNS, (32, "integer")),
    ("noinfo", 0, FILE_COLUMNS, (None, "null")),  # its FileAttribute column was there already
    ("sizenoactor", 3, FILE_COLUMNS[:6], None),  # the full upgrade stops at its first statement
])
def test_upgrades_add_the_missing_columns(copy_of, name, code, file_columns, attribute):
    folder = copy_of(name)
    assert open_code(folder) == code
    with catalogue(folder) as db:
        assert columns(db, "BackupFiles") == file_columns
        expected_items = ITEM_COLUMNS if code == 0 else ITEM_COLUMNS[:-1]
        assert columns(db, "BackupItems") == expected_items
        if attribute:
            assert db.execute("SELECT FileAttribute, typeof(FileAttribute) FROM BackupFiles").fetchall() == [attribute]
        assert db.execute("SELECT guid FROM BackupItems").fetchall() == [(GUID_A,)]


@pytest.mark.parametrize("name, first, replaced, second, file_rows", [
    ("notadb", 4, True, 0, 0),      # text
    ("shortfile", 4, True, 0, 0),   # shorter than SQLite's header
    ("pagesize", 4, True, 0, 0),    # SQLite's header, but SQLite reports it as no database
    ("emptyfile", 4, False, 0, 0),  # a database without tables: it gets them where it is
    ("noitems", 3, False, 0, 1),    # the creation adds tables until it meets one that exists
    ("malformed", 3, False, 3, None),  # damaged: the product's records stay for the product to repair
])
def test_only_files_that_are_no_database_are_replaced(copy_of, tmp_path, name, first, replaced, second, file_rows):
    folder = copy_of(name)
    path = folder / "Quarantine.db"
    before = path.read_bytes()
    # A second name keeps the file's inode in use, so a file made anew cannot get the same one.
    os.link(path, tmp_path / "second-name")
    inode = path.stat().st_ino
    assert open_code(folder) == first
    assert (path.stat().st_ino != inode) == replaced
    if file_rows is None:
        assert path.read_bytes() == before
    else:
        with catalogue(folder) as db:
            if name != "noitems":
                assert db.execute("SELECT type, name, sql FROM sqlite_master ORDER BY rowid").fetchall() == CREATION
            assert db.execute("SELECT count(*) FROM BackupFiles").fetchone() == (file_rows,)
    assert open_code(folder) == second
    assert (path.stat().st_ino != inode) == replaced


def test_removal_deletes_exactly_the_items_rows(copy_of):
    folder = copy_of("removal")
    with catalogue(folder) as db:
        before = {table: db.execute("SELECT guid, count(*) FROM %s GROUP BY guid" % table).fetchall()
                  for table in ("BackupItems", "BackupFiles", "BackupRegistry", "BackupVersions", "BackupCustomStream")}
    assert (folder / "quarantine" / (GUID_R4 + ".zip")).exists()
    assert store_cli("remove", winpath(folder), GUID_R4) == ["0"]
    assert not (folder / "quarantine" / (GUID_R4 + ".zip")).exists()
    with catalogue(folder) as db:
        for table, rows in before.items():
            after = db.execute("SELECT guid, count(*) FROM %s GROUP BY guid" % table).fetchall()
            assert after == [row for row in rows if row[0] != GUID_R4], table
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    # Registry-only item: its zip in the "quarantine" subfolder goes with it.
    zip_path = folder / "quarantine" / (GUID_R1 + ".zip")
    assert zip_path.exists()
    assert store_cli("remove", winpath(folder), GUID_R1) == ["0"]
    assert not zip_path.exists()


def test_listing_matches_what_python_reads(copy_of):
    folder = copy_of("listing")
    expected = ["code", "0"]
    with catalogue(folder) as db:
        for (text,) in db.execute("SELECT guid FROM BackupItems ORDER BY rowid").fetchall():
            guid = text.lower()  # the store looks rows up by its own lower-case form
            entries = sum(db.execute("SELECT count(*) FROM %s WHERE guid=?" % table, (guid,)).fetchone()[0]
                          for table in ("BackupFiles", "BackupRegistry", "BackupCustomStream"))
            first = db.execute("SELECT backupFilename FROM BackupFiles WHERE guid=? ORDER BY rowid LIMIT 1",
                               (guid,)).fetchone()
            if first and isinstance(first[0], str) and 1 <= len(first[0]) <= 259:
                backup = first[0]
            else:
                backup = winpath(folder) + "\\quarantine\\" + guid + ".zip"
            expected += [guid, str(entries), backup]
    assert store_cli("list", winpath(folder)) == expected
