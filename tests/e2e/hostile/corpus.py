"""The hostile corpus: quarantine stores shaped by malware or by damage, each one a small case built
by independent writers (Python's sqlite3, Info-ZIP zip and zipnote, the structured-storage helper
make_bup under Wine, and byte patches of what they wrote), with what a whole run must do with it.

Most cases put one hostile item before a plain companion item: the hostile item must fail alone (or
be taken up, where nothing is wrong with it for the tool) and the companion must still be sent."""
import random
import re
import sqlite3
import struct
import subprocess
import tempfile
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

from archive_password import ARCHIVE_PASSWORD
from sample_store import SCHEMA, QFile, QItem, add_item, unix_to_win, win_join

# ---- what the log says ----

WORK = r"C:\\ProgramData\\Norvane\\Vondrel\\Upload\\vdrel_[0-9A-F]{12}_\d{6}_\d{6}"
# A folder of its own, so that other suites' stores in the shared prefix are not touched.
STORE_WIN = "C:\\HostileQuarantine"


def logged(text):
    """The text as a log line carries it: control characters written as "?"."""
    return re.escape(re.sub(r"[\x00-\x1f\x7f]", "?", text))


def restored(name):
    return rf"Sucessfully restored file to : {WORK}\\{logged(name)}: "


def row_failed(code, name):
    return rf"Failed to \(retVal {code}\) restore file to : {WORK}\\{logged(name)}: "


def any_row_failed(name):
    return rf"Failed to \(retVal \d+\) restore file to : {WORK}\\{logged(name)}: "


def destination(original):
    return "QuarManager::RestoreFiles : Destination path " + logged(original)


def list_failed(code):
    return re.escape(f"Failed to get quarantined items 0x{code:x}")


def open_failed(code):
    return re.escape(f"Failed to open quarantine backup {STORE_WIN} 0x{code:x}")


SPLIT_BACKLOG = (r"Zip file C:\\ProgramData\\Norvane\\Vondrel\\Upload\\vdrel_\w+\.zip of \d+ bytes is larger than the "
                 r"upload limit, sending its items in several archives")
ITEM_OVER_LIMIT = r"Item \{[0-9A-F-]{36}\} is larger than the upload limit, it is not sent"
COPY_FAILED = re.escape("Failed to CopyFromZIPFile")
TO_STREAM_FAILED = re.escape("QuarManager::RestoreFiles, RestoreFileToStream failed")
EMPTY_STORE = re.escape("Empty quarantined folder, nothing to extract, skipping further action")


# ---- the store under construction ----

class Store:
    """A quarantine folder being written: the catalogue through Python's sqlite3, backups beside it."""

    def __init__(self, root, bup_writer):
        self.root = Path(root)
        self.quarantine = self.root / "quarantine"
        self.quarantine.mkdir(parents=True, exist_ok=True)
        self._bup_writer = bup_writer
        self._db = None

    @property
    def db(self):
        if self._db is None:
            self._db = sqlite3.connect(self.root / "Quarantine.db")
            for statement in SCHEMA:
                self._db.execute(statement)
        return self._db

    def close(self):
        if self._db is not None:
            self._db.commit()
            self._db.close()
            self._db = None

    def add(self, item):
        """An item as the product writes it, with its zip backup."""
        add_item(self.db, self.root, STORE_WIN, item)
        return item

    def rows(self, table, *rows):
        marks = ",".join("?" * len(rows[0]))
        self.db.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)

    def item_rows(self, guid_text, creation="2026-03-01 09:05:03", detect_type=2, detection="Trojan.Hostile",
                  virus_type=1, info=b"\x01", version=(1, 0, 12, 3, 132000000000000000, "")):
        self.rows("BackupItems", (guid_text, creation, detect_type, detection, 1, virus_type, 0, info))
        if version is not None:
            self.rows("BackupVersions", (guid_text, *version))

    def file_row(self, guid_text, original, backup, kind=1, index=0, size=10, times=(1, 2, 3),
                 actor="C:\\Windows\\explorer.exe", attribute=32):
        self.rows("BackupFiles", (guid_text, index, kind, original, backup, size, *times, actor, 0, attribute))

    def zip_path(self, guid_text):
        return self.quarantine / f"{guid_text}.zip", win_join(STORE_WIN, "quarantine", f"{guid_text}.zip")

    def bup(self, name, details, contents=()):
        """A legacy compound backup written by make_bup; details None leaves out the Details stream."""
        return self._bup_writer(self.root / name, details, contents), win_join(STORE_WIN, name)


def encrypted_zip(path, entries, password=ARCHIVE_PASSWORD):
    """An encrypted zip by Info-ZIP: the contents are zipped under plain names, then zipnote gives
    each entry its real name, so names no file system would take (1000 characters, "..") are kept."""
    with tempfile.TemporaryDirectory() as staging:
        plain = []
        for i, data in enumerate(entries.values()):
            Path(staging, f"e{i}").write_bytes(data)
            plain.append(f"e{i}")
        Path(path).parent.mkdir(parents=True, exist_ok=True)
        Path(path).unlink(missing_ok=True)
        subprocess.run(["zip", "-q", "-X", "-P", password, str(path), *plain], cwd=staging, check=True)
    assert "\n" not in "".join(entries), "zipnote keeps one name a line"
    renames = "".join(f"@ {old}\n@={new}\n@ (comment above this line)\n" for old, new in zip(plain, entries))
    subprocess.run(["zipnote", "-w", str(path)], input=(renames + "@ (zip file comment below this line)\n").encode(),
                   check=True, capture_output=True)
    return Path(path).read_bytes()


def entry_of(original):
    return original[3:].replace("\\", "/")


def noise(size, seed):
    return random.Random(seed).randbytes(size)


# ---- byte surgery on what the writers made ----

def end_of_central_directory(data):
    at = data.rfind(b"PK\x05\x06")
    assert at >= 0
    return at


def central_directory_offset(data):
    return struct.unpack_from("<I", data, end_of_central_directory(data) + 16)[0]


def local_data_offset(data):
    name_length, extra_length = struct.unpack_from("<HH", data, 26)
    return 30 + name_length + extra_length


def flipped(data, start, count):
    out = bytearray(data)
    for i in range(start, start + count):
        out[i] ^= 0x5A
    return bytes(out)


def with_declared_size(data, size):
    """The entry's uncompressed size in both headers replaced by size (CRC and content unchanged)."""
    out = bytearray(data)
    struct.pack_into("<I", out, 22, size)
    struct.pack_into("<I", out, central_directory_offset(data) + 24, size)
    return bytes(out)


def with_stream_size(data, stream, size):
    """A compound file whose directory entry for stream claims size bytes."""
    name = (stream + "\0").encode("utf-16-le")
    at = data.find(name)
    while at >= 0 and (at - 512) % 128 != 0:
        at = data.find(name, at + 1)
    assert at >= 0, stream
    out = bytearray(data)
    struct.pack_into("<Q", out, at + 0x78, size)
    return bytes(out)


# ---- the cases ----

@dataclass
class Case:
    name: str
    build: Callable[[Store], Optional[QItem]]  # returns the hostile item, or None
    exit_code: int
    lines: list = field(default_factory=list)    # patterns some log line of the run must match
    absent: list = field(default_factory=list)   # patterns no log line of the run may match
    hostile_sent: Optional[bool] = False          # the hostile item recorded as sent afterwards
    companion: bool = True                        # a plain item after the hostile one
    store_changes: tuple = ()                     # store paths the run may rewrite (the catalogue's repair)
    opens: bool = True                            # the store session opens
    companion_despite_failure: bool = False       # the run ends with 1 and still delivers the companion


def hostile_guid(name):
    return uuid.uuid5(uuid.NAMESPACE_URL, "vondrel-hostile/" + name)


def zip_item(store, name, original, content=b"hostile content", transform=None, password=ARCHIVE_PASSWORD,
             entry=None, **row):
    """An item of one file in a zip backup, the zip passed through transform before it is stored."""
    item = QItem(guid=hostile_guid(name))
    g = item.guid_text
    store.item_rows(g)
    unix, win = store.zip_path(g)
    data = encrypted_zip(unix, {entry if entry is not None else entry_of(original): content}, password)
    if transform is not None:
        unix.write_bytes(transform(data))
    store.file_row(g, original, win, **row)
    return item


def bup_item(store, name, details, contents=(b"legacy hostile content",), original="C:\\old\\legacy.dll",
             transform=None):
    item = QItem(guid=hostile_guid(name))
    g = item.guid_text
    store.item_rows(g)
    unix, win = store.bup(f"{g}.bup", details, contents)
    if transform is not None:
        unix.write_bytes(transform(unix.read_bytes()))
    store.file_row(g, original, win, kind=2)
    return item


def raw_catalogue(data):
    def build(store):
        (store.root / "Quarantine.db").write_bytes(data)
    return build


def plain_catalogue(count):
    """A catalogue written by sqlite3 with count items (no backups needed for what follows)."""
    def write(store):
        for i in range(count):
            g = str(uuid.UUID(int=i + 1))
            store.item_rows(g, detection="D" * 200)
            store.file_row(g, f"C:\\many\\f{i}.bin", store.zip_path(g)[1])
        store.close()
        return (store.root / "Quarantine.db").read_bytes()
    return write


def damaged_catalogue(count, damage):
    def build(store):
        data = plain_catalogue(count)(store)
        (store.root / "Quarantine.db").write_bytes(damage(data))
    return build


def item_with_rows(name, item=None, files=(), registry=(), streams=(), version=True):
    """An item written column by column, each value with the storage type Python gives it."""
    def build(store):
        guid = hostile_guid(name)
        g = str(guid)
        values = dict(creation="2026-03-01 09:05:03", detect_type=2, detection="Trojan.Hostile", virus_type=1,
                      info=b"\x01")
        values.update(item or {})
        store.item_rows(g, version=(1, 0, 12, 3, 132000000000000000, "") if version else None, **values)
        unix, win = store.zip_path(g)
        zipped = {}
        for original, content, row in files:
            if isinstance(original, str) and original[1:3] == ":\\" and "\n" not in original:
                zipped[entry_of(original)] = content
            store.file_row(g, original, row.pop("backup", win), **row)
        if zipped:
            encrypted_zip(unix, zipped)
        for row in registry:
            store.rows("BackupRegistry", (g, *row))
        for stream in streams:
            store.rows("BackupCustomStream", (g, b"data", stream))
        return QItem(guid=guid)
    return build


def items_with_guid_text(text):
    """Rows whose guid text is not the catalogue's own form; the product writes nothing else with it."""
    def build(store):
        store.item_rows(text)
        store.file_row(text, "C:\\g\\guid.bin", win_join(STORE_WIN, "quarantine", "x.zip"))
        return None
    return build


def two_rows_same_name(store):
    return item_with_rows("same-name", files=[("C:\\a\\twin.bin", b"first", {}),
                                               ("C:\\b\\twin.bin", b"second", {"index": 1})])(store)


def many_rows(store):
    files = [(f"C:\\bulk\\f{i:04}.bin", bytes([i % 256]) * 64, {"index": i}) for i in range(300)]
    return item_with_rows("many-rows", files=files)(store)


def zip_bomb(store):
    # 64 MiB of zeros in a backup of about 64 KiB: restored, digested and packed like any file.
    return zip_item(store, "zip-bomb", "C:\\bomb\\zeros.bin", content=bytes(64 << 20))


def zip_traversal(store):
    return item_with_rows("zip-traversal", files=[
        ("C:\\a/../../x.dll", b"traversal content", {}),
        ("C:\\a\\..\\..\\..\\..\\..\\evil.dll", b"more traversal", {"index": 1}),
    ])(store)


def upper_case_guid(store):
    text = str(hostile_guid("upper")).upper()
    return items_with_guid_text(text)(store)


def duplicated_guid(store):
    item = QItem(guid=hostile_guid("dup"), files=[QFile("C:\\dup\\dup.bin", b"duplicated item")])
    store.add(item)
    store.item_rows(item.guid_text, detection="Second.Row.Same.Guid", version=None)
    return item


def zero_guid_item(store):
    """An item whose GUID is the all-zero one, which closing a session must not take for its own."""
    item = QItem(guid=uuid.UUID(int=0), files=[QFile("C:\\zero\\zero.bin", b"zero guid item")])
    return store.add(item)


def schema_missing_columns(store):
    store.close()
    db = sqlite3.connect(store.root / "Quarantine.db")
    db.execute("CREATE TABLE BackupItems(guid, creationTime, detectType, detectionName, reScannable, virusType, submitted, additionalInfo);")
    db.execute("CREATE TABLE BackupVersions(guid, itemid, scanner, major, minor, creationdate, additional);")
    db.execute("CREATE TABLE BackupFiles(guid, itemIndex);")
    g = str(hostile_guid("schema"))
    db.execute("INSERT INTO BackupItems VALUES (?,?,?,?,?,?,?,?)", (g, "2026-03-01 09:05:03", 1, "X", 1, 1, 0, b""))
    db.execute("INSERT INTO BackupVersions VALUES (?,?,?,?,?,?,?)", (g, 1, 0, 1, 0, 0, ""))
    db.execute("INSERT INTO BackupFiles VALUES (?,?)", (g, 0))
    db.commit()
    db.close()


def catalogue_is_folder(store):
    (store.root / "Quarantine.db").mkdir()


def enormous_legacy_content(store):
    # Incompressible content a little over the upload limit once packed.
    return bup_item(store, "bup-enormous", b"[Details]\r\nNumberOfFiles=1\r\n", [noise(51 << 20, 7)])


NUMBER_OF_FILES = [
    # value, whether the item counts as restored: a count below 1 (2^31 reads as negative) restores
    # nothing and counts as done; a large count fails at the first content stream that is missing
    ("-1", True), ("2147483648", True), ("1000000", False), ("2147483647", False),
    ("99999999999999999999", False), ("0x7fffffff", False), ("many", True),
]

DETAILS_GARBAGE = [
    ("binary", noise(4096, 3)),
    ("no-brackets", b"[Details\r\nNumberOfFiles\r\n=====\r\n[]\r\n]NumberOfFiles=1[\r\n"),
    ("invalid-utf8", b"[Details]\r\nNumberOfFiles=\xff\xfe\xc0\xaf1\r\n\xed\xa0\x80[File_0]\r\n"),
    ("nul-inside", b"[Details]\r\nNumber\x00OfFiles=1\r\n"),
    ("long-line", b"[Details]\r\nNumberOfFiles=1" + b"9" * 200000 + b"\r\n"),
]


def details_case(label, details):
    # What such a text yields as its count is the property bag's business; the run must stay whole.
    return Case(f"bup-details-{label}", lambda s: bup_item(s, f"details-{label}", details), 0, hostile_sent=None)


def cases():
    c = []
    add = c.append

    # -- catalogues --
    add(Case("catalogue-garbage", raw_catalogue(noise(65536, 1)), 1, [open_failed(4)], hostile_sent=None,
             companion=False, store_changes=("Quarantine.db",), opens=False))
    add(Case("catalogue-empty-file", raw_catalogue(b""), 1, [open_failed(4)], hostile_sent=None, companion=False,
             store_changes=("Quarantine.db",), opens=False))
    # A damaged catalogue is kept as it is: the product's records must not be replaced by an empty one.
    add(Case("catalogue-truncated", damaged_catalogue(400, lambda d: d[:len(d) // 2]), 1, [open_failed(3)],
             hostile_sent=None, companion=False, opens=False))
    add(Case("catalogue-header-only", damaged_catalogue(400, lambda d: d[:100]), 1, [open_failed(3)],
             hostile_sent=None, companion=False, opens=False))
    add(Case("catalogue-flipped-pages", damaged_catalogue(400, lambda d: flipped(d, 4096 * 3, 4096 * 4)), 1,
             [list_failed(10)], hostile_sent=None, companion=False))
    add(Case("catalogue-is-a-folder", catalogue_is_folder, 1, [open_failed(2)], hostile_sent=None, companion=False,
             opens=False))
    add(Case("catalogue-missing-columns", schema_missing_columns, 1, [open_failed(3)], hostile_sent=None,
             companion=False, store_changes=("Quarantine.db",), opens=False))

    # -- rows of unexpected storage types --
    add(Case("items-columns-of-other-types", item_with_rows("item-types", item=dict(
        creation=b"\x00blob", detect_type="two", detection=12345, virus_type=3.5, info="text"),
        files=[("C:\\types\\item.bin", b"item types", {})]), 0, [restored("item.bin")], hostile_sent=True))
    add(Case("files-kind-as-text", item_with_rows("kind-text", files=[
        ("C:\\types\\kind.bin", b"kind as text", {"kind": "1"})]), 0, [destination("C:\\types\\kind.bin")],
        absent=[any_row_failed("kind.bin")]))
    add(Case("files-path-as-blob", item_with_rows("path-blob", files=[
        (b"C:\\types\\blob.bin", b"x", {}), (42, b"x", {"index": 1})]), 0, [destination("")]))
    add(Case("files-numbers-of-other-types", item_with_rows("number-types", files=[
        ("C:\\types\\numbers.bin", b"numbers of other types",
         {"index": "zero", "size": b"\xff", "times": ("1", 2.5, None), "attribute": "hidden", "actor": 7})]), 0,
        [restored("numbers.bin")], hostile_sent=True))
    add(Case("backup-path-as-integer", item_with_rows("backup-int", files=[
        ("C:\\types\\nowhere.bin", b"x", {"backup": 12345})]), 0, [row_failed(17, "nowhere.bin")]))
    add(Case("guid-as-blob", items_with_guid_text(hostile_guid("blob").bytes), 1, [list_failed(11)],
             hostile_sent=None))

    # -- texts of any length --
    long_text = "L" * 100000
    add(Case("texts-100k-characters", item_with_rows("long-texts", item=dict(detection=long_text, creation=long_text),
        files=[("C:\\long\\texts.bin", b"long texts", {"actor": long_text})],
        registry=[("HKLM", long_text, long_text, 1, 0, 0, long_text)], streams=[long_text]), 0,
        [restored("texts.bin")], hostile_sent=True))
    add(Case("path-100k-characters", item_with_rows("long-path", files=[
        ("C:\\" + "d" * 100000 + "\\deep.bin", b"x", {})]), 0, [row_failed(17, "deep.bin")]))
    add(Case("path-1000-character-name", zip_item_case("long-name", "C:\\a\\" + "n" * 1000 + ".bin"), 0,
        [any_row_failed("n" * 1000 + ".bin")]))
    add(Case("path-1000-characters-of-folders", zip_item_case("long-folders",
        "C:\\" + "\\".join(["f" * 49] * 20) + "\\fine.bin"), 0, [restored("fine.bin")], hostile_sent=True))

    # -- numbers --
    add(Case("numbers-huge-and-negative", item_with_rows("numbers", item=dict(detect_type=-1, virus_type=1 << 40),
        files=[("C:\\num\\a.bin", b"huge sizes", {"size": -1, "times": (-1, -(1 << 63), (1 << 63) - 1),
                                                  "attribute": -1, "index": -5}),
               ("C:\\num\\b.bin", b"odd attributes", {"index": 1, "size": (1 << 63) - 1, "attribute": (1 << 40) | 7}),
               ("C:\\num\\c.bin", b"flag bits", {"index": 2, "attribute": 0x10 | 0x400 | 0x4000 | 0x40000000})]),
        0, [restored("a.bin"), restored("b.bin"), restored("c.bin")], hostile_sent=True))
    add(Case("creation-time-garbage", item_with_rows("times", item=dict(creation="9999-99-99 99:99:99 and more"),
        files=[("C:\\t\\time.bin", b"x", {})]), 0, [restored("time.bin")], hostile_sent=True))

    # -- GUID texts --
    for label, text in [("empty", ""), ("not-hex", "zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz"),
                        ("braces", "{" + str(hostile_guid("braces")) + "}"),
                        ("too-long", str(hostile_guid("long")) + "x" * 1000)]:
        add(Case(f"guid-{label}", items_with_guid_text(text), 1, [list_failed(11)], hostile_sent=None))
    add(Case("guid-upper-case", upper_case_guid, 1, [list_failed(11)], hostile_sent=None))
    # The second row of the same GUID counts as sent once the first is taken up.
    add(Case("guid-duplicated", duplicated_guid, 0, [restored("dup.bin"), r"Skipping already sent guid \{[0-9A-F-]{36}\}"],
             hostile_sent=True))
    add(Case("guid-all-zero", zero_guid_item, 0, [restored("zero.bin")], hostile_sent=True))
    add(Case("registry-root-unknown", item_with_rows("root", files=[("C:\\r\\r.bin", b"x", {})],
        registry=[("HKEY_LOCAL_MACHINE", "Software\\x", "v", 1, 0, 0, "d")]), 1, [list_failed(10)], hostile_sent=None))
    add(Case("many-file-rows", many_rows, 0, [restored("f0000.bin"), restored("f0299.bin")], hostile_sent=True))
    add(Case("two-rows-one-name", two_rows_same_name, 0, [restored("twin.bin"), row_failed(17, "twin.bin")]))

    # -- zip backups --
    add(Case("zip-truncated-half", zip_item_case("zip-half", "C:\\z\\half.exe", transform=lambda d: d[:len(d) // 2]),
             0, [COPY_FAILED, TO_STREAM_FAILED, row_failed(17, "half.exe")]))
    add(Case("zip-cut-to-header", zip_item_case("zip-head", "C:\\z\\head.exe", transform=lambda d: d[:30]), 0,
             [row_failed(17, "head.exe")]))
    add(Case("zip-flipped-content", zip_item_case("zip-flip", "C:\\z\\flip.exe", content=noise(20000, 5),
        transform=lambda d: flipped(d, local_data_offset(d) + 2000, 64)), 0, [row_failed(17, "flip.exe")]))
    add(Case("zip-flipped-directory", zip_item_case("zip-cd", "C:\\z\\cd.exe",
        transform=lambda d: flipped(d, central_directory_offset(d) + 46, 4)), 0, [row_failed(17, "cd.exe")]))
    add(Case("zip-declared-size-too-small", zip_item_case("zip-size", "C:\\z\\size.exe", content=noise(50000, 6),
        transform=lambda d: with_declared_size(d, 1000)), 0, [row_failed(17, "size.exe")]))
    add(Case("zip-wrong-password", zip_item_case("zip-pw", "C:\\z\\pw.exe", content=noise(5000, 8),
        password="not-the-password"), 0, [row_failed(17, "pw.exe")]))
    add(Case("zip-entry-missing", zip_item_case("zip-missing", "C:\\z\\wanted.exe", entry="z/other.exe"), 0,
             [row_failed(17, "wanted.exe")]))
    add(Case("zip-garbage", zip_item_case("zip-garbage", "C:\\z\\garbage.exe", transform=lambda d: noise(4096, 9)),
             0, [row_failed(17, "garbage.exe")]))
    add(Case("zip-empty-file", zip_item_case("zip-empty", "C:\\z\\empty.exe", transform=lambda d: b""), 0,
             [row_failed(17, "empty.exe")]))
    add(Case("zip-backup-is-device", item_with_rows("zip-nul", files=[
        ("C:\\z\\device.exe", b"x", {"backup": "\\\\.\\NUL"})]), 0, [row_failed(17, "device.exe")]))
    add(Case("zip-bomb", zip_bomb, 0, [restored("zeros.bin")], hostile_sent=True))
    add(Case("zip-traversal-names", zip_traversal, 0, [restored("x.dll"), restored("evil.dll")], hostile_sent=True))

    # -- compound files --
    add(Case("bup-no-details", lambda s: bup_item(s, "no-details", None), 0, [row_failed(19, "legacy.dll")]))
    add(Case("bup-empty-details", lambda s: bup_item(s, "empty-details", b""), 0, [restored("legacy.dll")],
             hostile_sent=True))
    add(Case("bup-enormous-details", lambda s: bup_item(s, "big-details", b"[Details]\r\nNumberOfFiles=1\r\n" +
             b"; filler line of the description text\r\n" * 400000), 0, [restored("legacy.dll")], hostile_sent=True))
    add(Case("bup-details-size-lies", lambda s: bup_item(s, "details-size", b"[Details]\r\nNumberOfFiles=1\r\n",
             transform=lambda d: with_stream_size(d, "Details", 0x7FFFFFF0)), 0, hostile_sent=None))
    add(Case("bup-content-size-lies", lambda s: bup_item(s, "content-size", b"[Details]\r\nNumberOfFiles=1\r\n",
             [noise(10000, 10)], transform=lambda d: with_stream_size(d, "File_0", 0x7FFFFFF0)), 0,
             hostile_sent=None))
    for value, done in NUMBER_OF_FILES:
        add(Case(f"bup-number-of-files-{value}", lambda s, v=value: bup_item(
            s, f"count-{v}", f"[Details]\r\nNumberOfFiles={v}\r\n".encode()), 0,
            [restored("legacy.dll") if done else row_failed(14, "legacy.dll")], hostile_sent=done))
    for label, details in DETAILS_GARBAGE:
        add(details_case(label, details))
    add(Case("bup-empty-content-stream", lambda s: bup_item(s, "empty-content", b"[Details]\r\nNumberOfFiles=1\r\n",
             [b""]), 0, [row_failed(14, "legacy.dll")]))
    add(Case("bup-missing-content-stream", lambda s: bup_item(s, "missing-content",
             b"[Details]\r\nNumberOfFiles=2\r\n"), 0, [row_failed(14, "legacy.dll")]))
    add(Case("bup-was-added", lambda s: bup_item(s, "was-added",
             b"[Details]\r\nNumberOfFiles=1\r\n[File_0]\r\nWasAdded=1\r\n"), 0, [row_failed(13, "legacy.dll")]))
    add(Case("bup-not-compound", lambda s: bup_item(s, "not-compound", b"", transform=lambda d: noise(8192, 11)),
             0, [row_failed(19, "legacy.dll")]))
    add(Case("bup-truncated", lambda s: bup_item(s, "bup-cut", b"[Details]\r\nNumberOfFiles=1\r\n",
             [noise(30000, 12)], transform=lambda d: d[:len(d) // 2]), 0, hostile_sent=None))
    # Too large to be sent at all: named and left, while the companion goes in an archive of its own.
    add(Case("bup-enormous-content", enormous_legacy_content, 1, [restored("legacy.dll"), SPLIT_BACKLOG,
             ITEM_OVER_LIMIT], hostile_sent=False, companion_despite_failure=True))

    # -- original paths --
    for label, original in [("alternate-stream", "C:\\a\\b.txt:evil.exe"),
                            ("control-characters", "C:\\a\\evil\x01\x1f\x7f.exe"),
                            ("device-con", "C:\\a\\CON"), ("device-nul-extension", "C:\\a\\nul.txt"),
                            ("device-com1", "C:\\a\\COM1.dll"), ("device-lpt9-blank", "C:\\a\\LPT9 .sys"),
                            ("dot-dot-name", "C:\\a\\..")]:
        add(Case(f"path-{label}", zip_item_case(f"path-{label}", original), 0,
                 [row_failed(17, original.rsplit("\\", 1)[1])]))
    # A path that would write a line of its own, time stamp and all: the path stays inside its one line,
    # its line breaks written as "?", and no piece of it stands as a line.
    forged = "1:2:3 4-5-2026 Successfully uploaded file C:\\fake.zip"
    add(Case("path-line-breaks", item_with_rows("line-breaks", files=[
        (f"C:\\a\\x\r\n{forged}\r\n.exe", b"x", {})]), 0,
        [destination(f"C:\\a\\x\r\n{forged}\r\n.exe")],
        absent=[re.escape("Successfully uploaded file C:\\fake.zip") + ".*", r"\.exe.*", r".*C:\\a\\x\r?"]))
    add(Case("path-only-dots", zip_item_case("path-only-dots", "C:\\a\\...", entry="a/..."), 0,
             [row_failed(17, "...")]))
    for label, original in [("trailing-dot", "C:\\a\\evil.exe."), ("trailing-blank", "C:\\a\\evil.exe "),
                            ("forward-slashes", "C:/a/b/slashes.exe"),
                            ("unc", "\\\\server\\share\\unc.exe"), ("prefixed", "\\\\?\\C:\\p\\prefixed.exe")]:
        name = re.split(r"[\\/]", original)[-1]
        add(Case(f"path-{label}", zip_item_case(f"path-{label}", original,
                                                entry=entry_for(original)), 0, [restored(name)], hostile_sent=True))
    add(Case("path-device-form", item_with_rows("device-form", files=[("\\\\.\\PhysicalDrive0", b"x", {})]), 0,
             [destination("\\\\.\\PhysicalDrive0")], absent=[any_row_failed("PhysicalDrive0")]))
    add(Case("path-empty-and-roots", item_with_rows("roots", files=[
        ("", b"x", {}), ("C:\\", b"x", {"index": 1}), ("C:", b"x", {"index": 2}), ("\\", b"x", {"index": 3})]), 0,
        [destination("C:\\")]))
    return c


def bup_writer(make_bup, wine):
    """Store's legacy writer: make_bup under Wine with the given Details bytes and content streams."""
    def write(unix_path, details, contents):
        with tempfile.TemporaryDirectory() as work:
            details_arg = "-"
            if details is not None:
                Path(work, "details.txt").write_bytes(details)
                details_arg = unix_to_win(Path(work, "details.txt"))
            content_args = []
            for i, data in enumerate(contents):
                Path(work, f"content{i}.bin").write_bytes(data)
                content_args.append(unix_to_win(Path(work, f"content{i}.bin")))
            r = wine(make_bup, unix_to_win(unix_path), details_arg, *content_args)
            assert r.returncode == 0, r.stderr
        return Path(unix_path)
    return write


def entry_for(original):
    """The entry name the restore asks the zip for (the drive, or the server and share, dropped)."""
    if original[1:2] == ":":
        return original[3:].replace("\\", "/")
    parts = original[2:].split("\\", 2)
    return parts[2].replace("\\", "/")


def zip_item_case(name, original, **kwargs):
    return lambda store: zip_item(store, name, original, **kwargs)
