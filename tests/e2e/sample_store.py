"""Quarantine stores made the way the anti-malware product leaves them, by independent writers: the
catalogue with Debian's python3 sqlite3 module, zip backups with Info-ZIP `zip -P`, legacy compound
backups with the structured-storage test helper."""
import os
import sqlite3
import subprocess
import tempfile
import uuid
from dataclasses import dataclass, field
from pathlib import Path

from archive_password import ARCHIVE_PASSWORD

SCHEMA = [
    "CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, additionalInfo);",
    "CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);",
    "CREATE TABLE BackupAttrs(guid, attribute, value);",
    "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, accessTime, actorProcessName, isCreated, FileAttribute);",
    "CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);",
    "CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, registryValue);",
    "CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex );",
    "CREATE INDEX BackupRegistry_idx on BackupRegistry (guid);",
    "CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner);",
]


@dataclass
class QFile:
    original: str                  # C:\Users\a\doc.txt
    content: bytes
    attribute: int = 32
    create: int = 132000000000000000
    modify: int = 132000000010000000
    access: int = 132000000020000000
    actor: str = "C:\\Windows\\explorer.exe"
    legacy: bool = False           # content in a compound backup file instead of the zip


@dataclass
class QItem:
    guid: uuid.UUID = field(default_factory=uuid.uuid4)
    detection: str = "Trojan.Generic"
    virus_type: int = 1
    detect_type: int = 2
    created: str = "2026-03-01 09:05:03"
    files: list = field(default_factory=list)
    registry: list = field(default_factory=list)   # (root, key, value name, type, data)
    streams: list = field(default_factory=list)    # custom stream names

    @property
    def guid_text(self):
        return str(self.guid)                       # 36 characters, lower case, no braces

    @property
    def registry_text(self):
        return "{" + str(self.guid).upper() + "}"  # what the tool writes into its files and cache


def win_join(folder, *parts):
    return "\\".join([folder.rstrip("\\"), *parts])


def zip_entry_name(original):
    return original[3:].replace("\\", "/") if len(original) > 2 and original[1] == ":" else None


def write_zip_backup(zip_path, files):
    """One encrypted zip holding each file under the entry name the restore derives from its path."""
    with tempfile.TemporaryDirectory() as staging:
        names = []
        for f in files:
            name = zip_entry_name(f.original) or f.original.replace("\\", "/")
            target = Path(staging, *name.split("/"))
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(f.content)
            names.append(name)
        Path(zip_path).parent.mkdir(parents=True, exist_ok=True)
        if Path(zip_path).exists():
            Path(zip_path).unlink()
        subprocess.run(["zip", "-q", "-X", "-P", ARCHIVE_PASSWORD, str(zip_path), *names], cwd=staging, check=True)


def make_store(unix_folder, win_folder, items, legacy_writer=None):
    """Writes Quarantine.db and the backups of items into unix_folder (which the tool sees as win_folder)."""
    root = Path(unix_folder)
    root.mkdir(parents=True, exist_ok=True)
    db = sqlite3.connect(root / "Quarantine.db")
    for statement in SCHEMA:
        db.execute(statement)
    for item in items:
        add_item(db, root, win_folder, item, legacy_writer)
    db.commit()
    db.close()


def add_item(db, root, win_folder, item, legacy_writer=None):
    g = item.guid_text
    db.execute("INSERT INTO BackupItems VALUES (?,?,?,?,?,?,?,?)",
               (g, item.created, item.detect_type, item.detection, 1, item.virus_type, 0, b"\x01\x02"))
    db.execute("INSERT INTO BackupVersions VALUES (?,?,?,?,?,?,?)", (g, 1, 0, 12, 3, 132000000000000000, ""))
    zip_files = [f for f in item.files if not f.legacy]
    zip_unix = root / "quarantine" / (g + ".zip")
    zip_win = win_join(win_folder, "quarantine", g + ".zip")
    if zip_files:
        write_zip_backup(zip_unix, zip_files)
    for index, f in enumerate(item.files):
        if f.legacy:
            name = f"{g}_{index}.bup"
            legacy_writer(root / name, f)
            kind, backup = 2, win_join(win_folder, name)
        else:
            kind, backup = 1, zip_win
        db.execute("INSERT INTO BackupFiles VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
                   (g, index, kind, f.original, backup, len(f.content), f.create, f.modify, f.access, f.actor,
                    0, f.attribute))
    for root_key, key, value, value_type, data in item.registry:
        db.execute("INSERT INTO BackupRegistry VALUES (?,?,?,?,?,?,?,?)",
                   (g, root_key, key, value, value_type, 1, 0, data))
    for name in item.streams:
        db.execute("INSERT INTO BackupCustomStream VALUES (?,?,?)", (g, b"data", name))


def bup_writer(make_bup, wine):
    """A legacy_writer for make_store: the compound file written by the structured-storage helper
    (tools/make_bup.exe) under Wine, with one content stream and its Details text."""
    def write(unix_path, qfile):
        with tempfile.TemporaryDirectory() as work:
            details = Path(work, "details.txt")
            details.write_bytes(b"[Details]\r\nNumberOfFiles=1\r\n[File_0]\r\nWasAdded=0\r\n")
            content = Path(work, "content.bin")
            content.write_bytes(qfile.content)
            r = wine(make_bup, unix_to_win(unix_path), unix_to_win(details), unix_to_win(content))
            assert r.returncode == 0, r.stderr
    return write


def unix_to_win(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")
