"""Writes the backups the file-restore tests read, with tools independent of the tool itself.

The zip backups are made by Info-ZIP with the product's password: deflated entries under traditional
encryption, named like Users/a/doc.txt. Entry names no file system can hold (a/.., a/../../x.dll) are
patched into the archive afterwards, and one entry is damaged so that inflating it must fail.

A catalogue store/Quarantine.db (written with Python's sqlite3 in the product's schema) lists three
items for the hand-off tests: one with two zip files, one with nothing, one with a registry row only.

Besides the archives: a Unix symbolic-link directory (Wine shows it as a reparse point that is not a
symbolic link) and a share \\\\vondrel-restore\\share, which Wine maps to dosdevices/unc in the prefix.

usage: make_restore_fixtures.py <fixture folder>
"""

import os
import shutil
import sqlite3
import subprocess
import sys
import zipfile
import zlib

from archive_password import ARCHIVE_PASSWORD

PASSWORD = ARCHIVE_PASSWORD.encode()
SHARE_SERVER = "vondrel-restore"
SHARE_NAME = "share"

# Entry name -> content. Names with "\x01" or ":" are fine on Linux and become hostile on Windows.
def text(line, repeat=4):
    # Repeated lines, so that Info-ZIP deflates even the small entries instead of storing them.
    return (line + b"\r\n") * repeat


# Entry name -> content. Names with "\x01" or ":" are fine on Linux and become hostile on Windows.
ITEM_ENTRIES = {
    "Users/a/doc.txt": text(b"quarantined document"),
    "Users/a/empty.txt": b"",
    "Users/a/second.txt": text(b"the second file of the item"),
    "Users/a/data.bin": b"".join(b"block %06d of the data file\n" % i for i in range(8000)),
    "a/b.txt": text(b"named after a forward slash"),
    "a/b.txt:evil": text(b"alternate stream content"),
    "a/CON": text(b"device name"),
    "a/nul.txt": text(b"device name with extension"),
    "a/com1.log": text(b"serial port"),
    "a/LPT9": text(b"printer"),
    "a/\x01.txt": text(b"control character"),
}
# Entry names patched in after zipping: placeholder of the same length -> final name.
PATCHED_NAMES = {
    "a/pp/qq/x.dll": ("a/../../x.dll", text(b"escaping the destination folder")),
    "a/pp": ("a/..", text(b"parent folder name")),
}


def run(*command, cwd=None):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def write_sources(root, entries):
    for name, content in entries.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)


def make_zip(archive, root, names):
    # -D: no directory entries; -Z deflate even for entries deflate cannot shrink.
    run("/usr/bin/zip", "-q", "-D", "-X", "-Z", "deflate", "-P", PASSWORD.decode(), archive, *names, cwd=root)


def patch_names(archive, renames):
    data = open(archive, "rb").read()
    for old, new in renames.items():
        old_b, new_b = old.encode(), new.encode()
        assert len(old_b) == len(new_b)
        # Once in the local header, once in the central directory.
        assert data.count(old_b) == 2, old
        data = data.replace(old_b, new_b)
    open(archive, "wb").write(data)


def crc_update(crc, byte):
    return zlib.crc32(bytes([byte]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF


class ZipCryptoKeys:
    def __init__(self, password):
        self.k = [0x12345678, 0x23456789, 0x34567890]
        for b in password:
            self.update(b)

    def update(self, plain):
        k0 = crc_update(self.k[0], plain)
        k1 = ((self.k[1] + (k0 & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        k2 = crc_update(self.k[2], k1 >> 24)
        self.k = [k0, k1, k2]

    def stream_byte(self):
        t = (self.k[2] | 2) & 0xFFFF
        return ((t * (t ^ 1)) >> 8) & 0xFF


def damage_first_block(archive, name):
    """Sets the block type of the entry's first deflate block to 3 (reserved), so inflate must fail."""
    with zipfile.ZipFile(archive) as z:
        offset = z.getinfo(name).header_offset
    data = bytearray(open(archive, "rb").read())
    name_len = int.from_bytes(data[offset + 26:offset + 28], "little")
    extra_len = int.from_bytes(data[offset + 28:offset + 30], "little")
    at = offset + 30 + name_len + extra_len
    keys = ZipCryptoKeys(PASSWORD)
    for i in range(12):
        plain = data[at + i] ^ keys.stream_byte()
        keys.update(plain)
    first = at + 12
    stream = keys.stream_byte()
    data[first] = ((data[first] ^ stream) | 0x06) ^ stream
    open(archive, "wb").write(bytes(data))


def check_archives(item_zip, corrupt_zip):
    with zipfile.ZipFile(item_zip) as z:
        for info in z.infolist():
            assert info.flag_bits & 1, info.filename
            assert info.compress_type == zipfile.ZIP_DEFLATED or info.file_size == 0, info.filename
        assert z.read("Users/a/doc.txt", pwd=PASSWORD) == ITEM_ENTRIES["Users/a/doc.txt"]
        assert z.read("a/../../x.dll", pwd=PASSWORD) == PATCHED_NAMES["a/pp/qq/x.dll"][1]
    with zipfile.ZipFile(corrupt_zip) as z:
        try:
            z.read("Users/a/doc.txt", pwd=PASSWORD)
        except zlib.error:
            return
    raise AssertionError("the damaged entry still inflates")


def make_share(out):
    prefix = os.environ.get("WINEPREFIX") or os.path.join(os.environ["VONDREL_SOURCE_DIR"], "build", "wine")
    share = os.path.join(out, "share")
    os.makedirs(share)
    server = os.path.join(prefix, "dosdevices", "unc", SHARE_SERVER)
    os.makedirs(server, exist_ok=True)
    link = os.path.join(server, SHARE_NAME)
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(share, link)


GUID_FILES = "6f1c2b3a-0000-4000-8000-00000000a001"
GUID_NOTHING = "6f1c2b3a-0000-4000-8000-00000000b002"
GUID_REGISTRY = "6f1c2b3a-0000-4000-8000-00000000c003"

SCHEMA = [
    "CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, "
    "additionalInfo);",
    "CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);",
    "CREATE TABLE BackupAttrs(guid, attribute, value);",
    "CREATE TABLE BackupFiles(guid, itemIndex, bupOrSql, originalPath, backupFilename, size, createTime, modifyTime, "
    "accessTime, actorProcessName, isCreated, FileAttribute);",
    "CREATE TABLE BackupCustomStream(guid STRING, data BINARY, name TEXT);",
    "CREATE TABLE BackupRegistry(guid, keyRoot, keyName, valueName, valueType, keyIs64Bit, wasAdded, registryValue);",
    "CREATE INDEX BackupFiles_idx on BackupFiles (guid, itemIndex );",
    "CREATE INDEX BackupRegistry_idx on BackupRegistry (guid);",
    "CREATE INDEX BackupVersions_idx on BackupVersions (guid,itemid,scanner);",
]


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def make_catalogue(out, item_zip):
    folder = os.path.join(out, "store")
    os.makedirs(folder)
    db = sqlite3.connect(os.path.join(folder, "Quarantine.db"))
    for statement in SCHEMA:
        db.execute(statement)
    for number, guid in enumerate([GUID_FILES, GUID_NOTHING, GUID_REGISTRY]):
        db.execute("INSERT INTO BackupItems VALUES (?, '2024-03-05 10:20:30', 1, 'Test.Detection', 0, 2, 0, NULL)",
                   (guid,))
        db.execute("INSERT INTO BackupVersions VALUES (?, ?, 0, 1, 2, 133000000000000000, '')", (guid, number))
    for index, name in enumerate(["doc.txt", "second.txt"]):
        db.execute("INSERT INTO BackupFiles VALUES (?, ?, 1, ?, ?, 0, 1, 2, 3, 'C:\\Windows\\explorer.exe', 0, 32)",
                   (GUID_FILES, index, "C:\\Users\\a\\" + name, winpath(item_zip)))
    db.execute("INSERT INTO BackupRegistry VALUES (?, 'HKLM', 'SOFTWARE\\Test', 'Run', 1, 1, 0, 'x')", (GUID_REGISTRY,))
    db.commit()
    db.close()


def main():
    out = sys.argv[1]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    source = os.path.join(out, "source")
    write_sources(source, ITEM_ENTRIES)
    write_sources(source, {old: content for old, (_, content) in PATCHED_NAMES.items() if "/qq/" in old})

    item_zip = os.path.join(out, "item.zip")
    make_zip(item_zip, source, list(ITEM_ENTRIES) + ["a/pp/qq/x.dll"])
    # "a/pp" is a folder in the source tree, so that entry comes from an archive of its own content.
    short_root = os.path.join(out, "short")
    write_sources(short_root, {"a/pp": PATCHED_NAMES["a/pp"][1]})
    make_zip(item_zip, short_root, ["a/pp"])
    patch_names(item_zip, {old: new for old, (new, _) in PATCHED_NAMES.items()})

    corrupt_zip = os.path.join(out, "corrupt.zip")
    make_zip(corrupt_zip, source, ["Users/a/doc.txt"])
    damage_first_block(corrupt_zip, "Users/a/doc.txt")
    check_archives(item_zip, corrupt_zip)
    run("/usr/bin/unzip", "-q", "-t", "-P", PASSWORD.decode(), item_zip)

    os.makedirs(os.path.join(out, "linktarget"))
    os.symlink(os.path.join(out, "linktarget"), os.path.join(out, "linked"))
    make_catalogue(out, item_zip)
    make_share(out)


if __name__ == "__main__":
    main()
