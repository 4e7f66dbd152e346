"""Writes the encrypted zip backups the reader tests extract, the way the anti-malware product makes
them: Info-ZIP zip with the archive password, deflated, entry names relative to the drive. Also the
damaged and foreign archives the reader must refuse, and the expected contents as plain files."""
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
from pathlib import Path

from archive_password import ARCHIVE_PASSWORD as PASSWORD

out = Path(sys.argv[1])
shutil.rmtree(out, ignore_errors=True)
tree = out / "tree"
expected = out / "expected"
tree.mkdir(parents=True)
expected.mkdir()

rng = random.Random(4711)
CONTENT = {
    # stored name -> (expected file name, bytes)
    "Users/a/doc.txt": ("doc.txt", b"".join(b"line %d of the document\r\n" % i for i in range(200))),
    "Windows\\System32\\drivers\\x.sys": ("x.sys", bytes(rng.getrandbits(8) for _ in range(200_000))),
    "Users/a/big.log": ("big.log", b"".join(b"%08d compressible log text, again and again\n" % i for i in range(40_000))),
    "Users/a/empty.txt": ("empty.txt", b""),
    "Users/\u00c4rger/\u00d6lfa\u00df.txt": ("umlaut.txt", "Grüße aus Köln\n".encode() * 50),
}


def zip_tree(archive, names, *options, password=PASSWORD):
    subprocess.run(["zip", "-q", "-X", "-P", password, *options, str(archive), *names], cwd=tree, check=True)


for name, (plain, data) in CONTENT.items():
    path = tree / name  # a backslash is an ordinary character of a Unix file name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    (expected / plain).write_bytes(data)

zip_tree(out / "backup.zip", list(CONTENT))
zip_tree(out / "wrong_password.zip", ["Users/a/big.log"], password="not" + PASSWORD)
zip_tree(out / "stored_wrong_password.zip", ["Users/a/doc.txt"], "-0", password="not" + PASSWORD)
# Without a password: the reader opens every entry as an encrypted one.
subprocess.run(["zip", "-q", "-X", str(out / "plain.zip"), "Users/a/doc.txt"], cwd=tree, check=True)


def patch_central_crc(source, target, entry):
    """A copy whose central directory claims another CRC for entry: the content inflates cleanly."""
    data = bytearray(source.read_bytes())
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        name_length = struct.unpack_from("<H", data, at + 28)[0]
        if data[at + 46:at + 46 + name_length] == entry.encode():
            crc = struct.unpack_from("<I", data, at + 16)[0]
            struct.pack_into("<I", data, at + 16, crc ^ 0x00010000)
            target.write_bytes(data)
            return
        at = data.find(b"PK\x01\x02", at + 4)
    raise SystemExit("entry not found: " + entry)


def corrupt_compressed_data(source, target, entry):
    """A copy with bytes in the middle of entry's compressed data overwritten."""
    with zipfile.ZipFile(source) as z:
        info = z.getinfo(entry)
    data = bytearray(source.read_bytes())
    name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
    start = info.header_offset + 30 + name_length + extra_length
    middle = start + info.compress_size // 2
    data[middle:middle + 64] = bytes(64)
    target.write_bytes(data)


def claim_larger_size(source, target, entry):
    """A copy whose headers claim more bytes for entry than its deflate stream holds: the stream ends
    cleanly before the stated size, the way a damaged stream can end at a spurious last block."""
    data = bytearray(source.read_bytes())
    for signature, size_at, name_length_at, name_at in ((b"PK\x03\x04", 22, 26, 30), (b"PK\x01\x02", 24, 28, 46)):
        at = data.find(signature)
        while at >= 0:
            name_length = struct.unpack_from("<H", data, at + name_length_at)[0]
            if data[at + name_at:at + name_at + name_length] == entry.encode():
                size = struct.unpack_from("<I", data, at + size_at)[0]
                if size:  # zero in a local header followed by a data descriptor
                    struct.pack_into("<I", data, at + size_at, size + 4096)
            at = data.find(signature, at + 4)
    target.write_bytes(data)


patch_central_crc(out / "backup.zip", out / "bad_crc.zip", "Users/a/doc.txt")
claim_larger_size(out / "backup.zip", out / "short_stream.zip", "Users/a/big.log")
corrupt_compressed_data(out / "backup.zip", out / "corrupt.zip", "Users/a/big.log")
with zipfile.ZipFile(out / "no_entries.zip", "w"):
    pass
(out / "not_a_zip.zip").write_bytes(b"this is not a zip archive\n" * 10)
