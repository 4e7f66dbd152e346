#!/usr/bin/python3
"""Writes the catalogues the store tests read, as the anti-malware product would leave them: one
folder per case under the given directory, each holding "Quarantine.db" (written here with Python's
own sqlite3 module, never with the tool's SQL layer) and, where a case needs them, backup files.

The GUIDs and texts are mirrored in StoreFixtures.h."""
import os
import shutil
import sqlite3
import sys

CREATE_ITEMS = ("CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, "
                "virusType, submitted, additionalInfo);")
CREATE_ITEMS_OLD = ("CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, "
                    "virusType, submitted);")
CREATE_VERSIONS = "CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);"
CREATE_ATTRS = "CREATE TABLE BackupAttrs(guid, attribute, value);"
CREATE_FILES = ("CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, "
                "createTime, modifyTime, accessTime, actorProcessName, isCreated, FileAttribute);")
CREATE_STREAMS = "CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);"
CREATE_REGISTRY = ("CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, "
                   "wasAdded, registryValue);")
INDEXES = [
    "CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex );",
    "CREATE INDEX BackupRegistry_idx on BackupRegistry (guid);",
    "CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner);",
]
CURRENT = [CREATE_ITEMS, CREATE_VERSIONS, CREATE_ATTRS, CREATE_FILES, CREATE_STREAMS, CREATE_REGISTRY] + INDEXES

GUID_A = "3f2504e0-4f89-11d3-9a0c-0305e82c3301"
GUID_B = "7c9e6679-7425-40de-944b-e07fc1f90ae7"
GUID_C = "a1b2c3d4-0000-4000-8000-00000000000c"
GUID_D_UPPER = "E5F6A7B8-1111-4222-8333-DDDDDDDDDDDD"
GUID_E = "0000000e-0000-0000-0000-00000000000e"
GUID_R1 = "10000000-0000-0000-0000-000000000001"  # registry rows only
GUID_R2 = "20000000-0000-0000-0000-000000000002"  # first file row in a legacy backup file
GUID_R3 = "30000000-0000-0000-0000-000000000003"  # bupOrSql stored as text
GUID_R4 = "40000000-0000-0000-0000-000000000004"  # two file rows and one registry row
GUID_R5 = "50000000-0000-0000-0000-000000000005"  # custom streams only

FILE_COLUMNS = ("guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, "
                "accessTime, actorProcessName, isCreated, FileAttribute")


def padded(prefix, length, suffix=""):
    return prefix + "x" * (length - len(prefix) - len(suffix)) + suffix


def catalogue(root, name, statements):
    folder = os.path.join(root, name)
    os.makedirs(folder)
    db = sqlite3.connect(os.path.join(folder, "Quarantine.db"))
    for statement in statements:
        db.execute(statement)
    return folder, db


def item(db, guid, creation="2021-07-05 09:03:07", detect_type=3, name="Trojan.Test", virus_type=1, info=None):
    db.execute("INSERT INTO BackupItems VALUES (?, ?, ?, ?, 1, ?, 0, ?)",
               (guid, creation, detect_type, name, virus_type, info))


def file_row(db, guid, index, original, backup, bup=1, size=10, times=(1, 2, 3), actor="C:\\a.exe", created=0,
             attribute=32):
    db.execute("INSERT INTO BackupFiles (%s) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" % FILE_COLUMNS,
               (guid, index, bup, original, backup, size) + tuple(times) + (actor, created, attribute))


def registry(db, guid, root, key, value, is64, value_type=1, data="data"):
    db.execute("INSERT INTO BackupRegistry VALUES (?, ?, ?, ?, ?, ?, 1, ?)", (guid, root, key, value, value_type, is64, data))


def version(db, guid, itemid=1, major=1, minor=0, created=1, additional=""):
    db.execute("INSERT INTO BackupVersions VALUES (?, ?, 0, ?, ?, ?, ?)", (guid, itemid, major, minor, created, additional))


def stream(db, guid, name):
    db.execute("INSERT INTO BackupCustomStream VALUES (?, ?, ?)", (guid, b"\x01\x02", name))


def listing(root):
    folder, db = catalogue(root, "listing", CURRENT)
    item(db, GUID_A, name=padded("Trojan.", 259), virus_type=4294967295, info=b"\x00\x01\xfe\xff")
    file_row(db, GUID_A, 0, "C:\\Users\\u\\Downloads\\bad.exe", padded("C:\\Q\\", 259, ".zip"), size=123456789012,
             times=(132000000000000001, 132000000000000002, 132000000000000003), actor=padded("C:\\p\\", 259, ".exe"),
             created=1, attribute=33)
    file_row(db, GUID_A, 1, "C:\\Temp\\\u00e9-\u4e8c.dll", "C:\\Q\\second.zip", actor=None, attribute=128)
    registry(db, GUID_A, "HKLM", "SOFTWARE\\Run", "evil", 0)
    registry(db, GUID_A, "hklm", "SOFTWARE\\Key", "", 1)
    registry(db, GUID_A, "HKCU", "Environment", "v", 1, value_type=4, data=7)
    registry(db, GUID_A, "HKCR", "CLSID\\x", "", 0)
    registry(db, GUID_A, "HKU", "S-1-5-18\\x", "n", 0, value_type=11, data=2 ** 40)
    registry(db, GUID_A, "Hkcc", "System", "", 0)
    stream(db, GUID_A, "stream-one")
    stream(db, GUID_A, "stream-two")
    version(db, GUID_A, itemid=7, major=2, minor=15, created=637600000000000000, additional="engine 2.15")
    version(db, GUID_A, itemid=8, major=9, minor=9, created=1, additional="second")

    item(db, GUID_B, creation="2021/07/05 09:03:07", name=padded("Adware.", 260))
    registry(db, GUID_B, "HKLM", "SOFTWARE\\B", "val", 1, value_type=4, data=1)
    version(db, GUID_B)

    # Values of the wrong storage type read as 0 or absent.
    item(db, GUID_C, detect_type="3", name=None, virus_type=2.5, info="not a blob")
    file_row(db, GUID_C, 0, padded("C:\\long\\", 300, ".txt"), padded("C:\\Q\\", 260, ".zip"), size="100",
             times=(1.5, None, b"\x05"), actor=padded("C:\\p\\", 260, ".exe"), created=1, attribute="32")
    version(db, GUID_C, itemid="5", major=1, minor=2, created=3.0, additional=None)

    # Upper-case GUID text: the item parses, its rows are not found (only its lower-case version row).
    item(db, GUID_D_UPPER)
    file_row(db, GUID_D_UPPER, 0, "C:\\hidden.exe", "C:\\Q\\hidden.zip")
    registry(db, GUID_D_UPPER, "HKLM", "SOFTWARE\\D", "x", 0)
    version(db, GUID_D_UPPER.lower())

    item(db, GUID_E, creation="2022-12-31 23:59:58")
    stream(db, GUID_E, "only-stream")
    version(db, GUID_E)
    db.commit()
    db.close()


def failing_listings(root):
    _, db = catalogue(root, "noversion", CURRENT)
    item(db, GUID_A)
    file_row(db, GUID_A, 0, "C:\\a.exe", "C:\\Q\\a.zip")
    item(db, GUID_B)
    version(db, GUID_B)
    db.commit()
    db.close()

    _, db = catalogue(root, "badroot", CURRENT)
    item(db, GUID_A)
    registry(db, GUID_A, "HKEY_LOCAL_MACHINE", "SOFTWARE\\Run", "evil", 0)
    version(db, GUID_A)
    db.commit()
    db.close()

    _, db = catalogue(root, "empty", CURRENT)
    db.commit()
    db.close()


def upgrades(root):
    old_tail = [CREATE_VERSIONS, CREATE_ATTRS, CREATE_STREAMS, CREATE_REGISTRY]
    cases = {
        "basic5": "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename);",
        "noattribute": ("CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, "
                        "createTime, modifyTime, accessTime, actorProcessName, isCreated);"),
        "sizenoactor": "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size);",
        "noinfo": CREATE_FILES,
    }
    for name, files in cases.items():
        _, db = catalogue(root, name, [CREATE_ITEMS_OLD, files] + old_tail)
        db.execute("INSERT INTO BackupItems VALUES (?, '2020-01-02 03:04:05', 1, 'Old.Item', 0, 2, 0)", (GUID_A,))
        db.execute("INSERT INTO BackupFiles (guid, itemIndex, bupOrSql, originalPath, backupFilename) "
                   "VALUES (?, 0, 1, 'C:\\old.exe', 'C:\\Q\\old.zip')", (GUID_A,))
        version(db, GUID_A)
        db.commit()
        db.close()

    _, db = catalogue(root, "noitems", [CREATE_FILES])
    file_row(db, GUID_A, 0, "C:\\a.exe", "C:\\Q\\a.zip")
    db.commit()
    db.close()

    folder = os.path.join(root, "notadb")
    os.makedirs(folder)
    with open(os.path.join(folder, "Quarantine.db"), "wb") as f:
        f.write(b"this is not an SQLite database, only text\n" * 200)


def expect_sqlite_error(path, code):
    try:
        sqlite3.connect(path).execute("SELECT count(*) FROM sqlite_master").fetchall()
    except sqlite3.DatabaseError as error:
        if error.sqlite_errorcode == code:
            return
        raise
    raise AssertionError("%s reads as a database" % path)


def patched_catalogues(root):
    """Catalogues SQLite cannot read: one whose header is SQLite's but whose page size is not one
    (SQLite: not a database), one whose first page is damaged (SQLite: malformed); and files that are
    not SQLite's at all: a short one that starts like the header, and an empty one."""
    def patched(name, patch):
        folder, db = catalogue(root, name, CURRENT)
        item(db, GUID_A)
        version(db, GUID_A)
        db.commit()
        db.close()
        path = os.path.join(folder, "Quarantine.db")
        with open(path, "rb") as f:
            data = bytearray(f.read())
        patch(data)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def bad_page_size(data):
        data[16:18] = b"\x00\x03"

    def bad_page_type(data):
        data[100] = 0  # the first page's b-tree header starts at byte 100

    expect_sqlite_error(patched("pagesize", bad_page_size), 26)  # SQLITE_NOTADB
    expect_sqlite_error(patched("malformed", bad_page_type), 11)  # SQLITE_CORRUPT
    for name, data in (("shortfile", b"SQLite for"), ("emptyfile", b"")):
        folder = os.path.join(root, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "Quarantine.db"), "wb") as f:
            f.write(data)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def removal(root):
    # The legacy backup file the second item names; the test puts a file there when it needs one.
    legacy = os.path.join(root, "legacy")
    os.makedirs(legacy)
    folder, db = catalogue(root, "removal", CURRENT)
    item(db, GUID_R1)
    registry(db, GUID_R1, "HKLM", "SOFTWARE\\R1", "v", 0)
    registry(db, GUID_R1, "HKCU", "SOFTWARE\\R1", "", 1)
    version(db, GUID_R1)

    item(db, GUID_R2)
    file_row(db, GUID_R2, 0, "C:\\legacy.exe", windows_path(os.path.join(legacy, "item.bup")), bup=2)
    file_row(db, GUID_R2, 1, "C:\\other.exe", "C:\\Q\\other.zip", bup=1)
    version(db, GUID_R2)
    stream(db, GUID_R2, "s")

    item(db, GUID_R3)
    file_row(db, GUID_R3, 0, "C:\\text.exe", "C:\\Q\\text.zip", bup="1")
    version(db, GUID_R3)

    item(db, GUID_R4)
    file_row(db, GUID_R4, 0, "C:\\one.exe", "C:\\Q\\four.zip")
    file_row(db, GUID_R4, 1, "C:\\two.exe", "C:\\Q\\four.zip")
    registry(db, GUID_R4, "HKLM", "SOFTWARE\\R4", "v", 0)
    version(db, GUID_R4)

    item(db, GUID_R5)
    stream(db, GUID_R5, "a")
    stream(db, GUID_R5, "b")
    version(db, GUID_R5)
    db.commit()
    db.close()

    # The zip backups of the items that keep their content (or nothing) in the "quarantine" subfolder.
    backups = os.path.join(folder, "quarantine")
    os.makedirs(backups)
    for guid in (GUID_R1, GUID_R2, GUID_R3, GUID_R4):
        with open(os.path.join(backups, guid + ".zip"), "wb") as f:
            f.write(b"PK\x05\x06" + b"\x00" * 18)


def guarded_removal(root):
    # A catalogue whose registry rows refuse deletion: the removal's third DELETE fails.
    _, db = catalogue(root, "guarded", CURRENT)
    item(db, GUID_R4)
    file_row(db, GUID_R4, 0, "C:\\one.exe", "C:\\Q\\four.zip")
    registry(db, GUID_R4, "HKLM", "SOFTWARE\\R4", "v", 0)
    version(db, GUID_R4)
    db.execute("CREATE TRIGGER keep_registry BEFORE DELETE ON BackupRegistry BEGIN SELECT RAISE(ABORT, 'kept'); END;")
    db.commit()
    db.close()


def value_types(root):
    # One value of every storage type, for the SQL layer's row building.
    folder = os.path.join(root, "sqltypes")
    os.makedirs(folder)
    db = sqlite3.connect(os.path.join(folder, "types.db"))
    db.execute("CREATE TABLE v(id, i, r, t, b, n)")
    db.execute("INSERT INTO v VALUES (1, 42, 2.75, ?, ?, NULL)", ("\u00e9\u4e8c text", b"\x00\x01\xff"))
    db.execute("INSERT INTO v VALUES (2, -9007199254740993, -3.9, '', x'', NULL)")
    db.commit()
    db.close()


def main():
    root = sys.argv[1]
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    listing(root)
    failing_listings(root)
    upgrades(root)
    patched_catalogues(root)
    removal(root)
    guarded_removal(root)
    value_types(root)


if __name__ == "__main__":
    main()
