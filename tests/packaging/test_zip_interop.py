"""Archives written by AddFileToZip under Wine, checked with Info-ZIP unzip/zipinfo, 7-Zip and
Python's zipfile; and backups written by 7-Zip read back by CopyFromZIPFile."""
import datetime
import os
import random
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

from archive_password import ARCHIVE_PASSWORD as PASSWORD
from e2e.vondrel_env import wine, winpath

BUILD_DIR = Path(os.environ["VONDREL_BINARY_DIR"])
TOOL = BUILD_DIR / "tools" / "zip_tool.exe"
# Debian 12's 7zip package names its command 7zz.
SEVENZIP = shutil.which("7zz") or shutil.which("7z") or "7z"


def zip_tool(*args):
    return wine(TOOL, *(a if isinstance(a, str) else winpath(a) for a in args))


def add(file, archive):
    assert zip_tool("add", file, archive).returncode == 0


def run(*command):
    return subprocess.run(command, capture_output=True, timeout=300)


def unzip_content(archive, name):
    r = run("unzip", "-p", "-P", PASSWORD, str(archive), name)
    assert r.returncode == 0, r.stderr
    return r.stdout


def sevenzip_content(archive, name):
    r = run(SEVENZIP, "x", "-so", "-p" + PASSWORD, str(archive), name)
    assert r.returncode == 0, r.stderr
    return r.stdout


def assert_tools_accept(archive):
    r = run("unzip", "-t", "-P", PASSWORD, str(archive))
    assert r.returncode == 0 and b"No errors detected" in r.stdout, r.stdout + r.stderr
    r = run(SEVENZIP, "t", "-p" + PASSWORD, str(archive))
    assert r.returncode == 0 and b"Everything is Ok" in r.stdout, r.stdout + r.stderr


def zipinfo_entries(archive):
    """zipinfo -v's central directory blocks, one dict of 'key: value' lines per entry."""
    text = run("zipinfo", "-v", str(archive)).stdout.decode("utf-8", "replace")
    entries = []
    for block in re.split(r"\nCentral directory entry #\d+:\n-+\n", text)[1:]:
        fields = {}
        for line in block.splitlines():
            key, sep, value = line.partition(":")
            if sep and value.strip():
                fields.setdefault(key.strip(), value.strip())
        entries.append(fields)
    return entries


@pytest.fixture
def files(tmp_path):
    rng = random.Random(99)
    folder = tmp_path / "work"
    folder.mkdir()
    content = {
        "report.xml": b"<r>" + b"compressible text " * 5000 + b"</r>",
        "random.bin": bytes(rng.getrandbits(8) for _ in range(150_000)),
        "mixed.dat": b"".join(bytes(rng.getrandbits(8) for _ in range(1000)) + b"\0" * 30000 for _ in range(5)),
        "block.bin": bytes(rng.getrandbits(8) for _ in range(32768)),  # exactly one read block
        "empty.txt": b"",
    }
    for name, data in content.items():
        (folder / name).write_bytes(data)
    return folder, content


def test_tools_extract_what_the_writer_packed(files, tmp_path):
    folder, content = files
    archive = tmp_path / "work.zip"
    for name in content:
        add(folder / name, archive)
    assert_tools_accept(archive)
    with zipfile.ZipFile(archive) as z:
        assert [i.filename for i in z.infolist()] == list(content)
    for name, data in content.items():
        assert unzip_content(archive, name) == data, name
        assert sevenzip_content(archive, name) == data, name


def test_entries_are_deflated_encrypted_and_bare(files, tmp_path):
    folder, content = files
    archive = tmp_path / "work.zip"
    for name in content:
        add(folder / name, archive)
    for fields in zipinfo_entries(archive):
        assert fields["compression method"] == "deflated"
        assert fields["file security status"] == "encrypted"
        assert fields["extended local header"] == "no"
        assert fields["length of extra field"] == "0 bytes"
        assert fields["file system or operating system of origin"].startswith("MS-DOS")
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            assert info.flag_bits == 1, info.filename
            assert info.compress_type == zipfile.ZIP_DEFLATED
            assert info.extra == b"" and info.comment == b""
            # We pass 0; minizip itself marks entries whose deflated content looked like text.
            assert info.internal_attr in (0, 1) and info.external_attr == 0
            assert info.create_version == 0 and info.create_system == 0
            data = content[info.filename]
            assert info.file_size == len(data)


def test_empty_file_gives_an_encrypted_entry_of_size_zero(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    archive = tmp_path / "e.zip"
    add(empty, archive)
    assert_tools_accept(archive)
    with zipfile.ZipFile(archive) as z:
        (info,) = z.infolist()
    assert (info.file_size, info.CRC, info.flag_bits, info.compress_type) == (0, 0, 1, zipfile.ZIP_DEFLATED)
    assert info.compress_size >= 12  # the encryption header at least
    assert unzip_content(archive, "empty.txt") == b""


def test_entry_time_is_the_modification_time_without_time_zone(tmp_path):
    file = tmp_path / "dated.txt"
    file.write_bytes(b"dated")
    when = datetime.datetime(2019, 3, 17, 8, 45, 31, tzinfo=datetime.timezone.utc).timestamp()
    os.utime(file, (when, when))
    archive = tmp_path / "t.zip"
    add(file, archive)
    with zipfile.ZipFile(archive) as z:
        assert z.getinfo("dated.txt").date_time == (2019, 3, 17, 8, 45, 30)  # DOS times count 2 s


def test_two_adds_of_one_name_leave_two_entries(tmp_path):
    file = tmp_path / "same.txt"
    file.write_bytes(b"first")
    archive = tmp_path / "s.zip"
    add(file, archive)
    file.write_bytes(b"second version")
    add(file, archive)
    assert run("zipinfo", "-1", str(archive)).stdout.splitlines() == [b"same.txt", b"same.txt"]
    r = run("unzip", "-t", "-P", PASSWORD, str(archive))
    assert r.returncode == 0, r.stdout
    with zipfile.ZipFile(archive) as z:
        assert [i.file_size for i in z.infolist()] == [5, 14]


def test_adding_keeps_entries_and_comment_of_an_existing_archive(tmp_path):
    (tmp_path / "old.txt").write_bytes(b"old entry")
    archive = tmp_path / "c.zip"
    r = subprocess.run(["zip", "-q", "-z", "-P", PASSWORD, str(archive), "old.txt"], cwd=tmp_path,
                       input=b"kept comment\n.\n", capture_output=True)
    assert r.returncode == 0, r.stderr
    new = tmp_path / "new.txt"
    new.write_bytes(b"new entry")
    add(new, archive)
    assert_tools_accept(archive)
    with zipfile.ZipFile(archive) as z:
        assert [i.filename for i in z.infolist()] == ["old.txt", "new.txt"]
        assert z.comment.startswith(b"kept comment")
    assert unzip_content(archive, "old.txt") == b"old entry"
    assert sevenzip_content(archive, "new.txt") == b"new entry"


def test_a_file_that_is_not_a_zip_is_replaced_by_a_one_entry_archive(tmp_path):
    archive = tmp_path / "junk.zip"
    archive.write_bytes(b"not an archive at all\n" * 100)
    file = tmp_path / "only.txt"
    file.write_bytes(b"the only entry")
    add(file, archive)
    assert_tools_accept(archive)
    assert run("zipinfo", "-1", str(archive)).stdout.splitlines() == [b"only.txt"]


UTF8_NAME_FLAG = 0x800


def listed_names(archive):
    """The entry names as Info-ZIP, 7-Zip and Python's zipfile read them, each tool on its own."""
    env = dict(os.environ, LC_ALL="C.UTF-8")
    r = subprocess.run(["unzip", "-Z1", str(archive)], capture_output=True, env=env)
    assert r.returncode == 0, r.stderr
    by_unzip = r.stdout.decode("utf-8").splitlines()
    r = subprocess.run([SEVENZIP, "l", "-slt", "-p" + PASSWORD, str(archive)], capture_output=True, env=env)
    assert r.returncode == 0, r.stderr
    by_7zip = [line[len("Path = "):] for line in r.stdout.decode("utf-8").splitlines()
               if line.startswith("Path = ")][1:]  # the first Path is the archive's own
    with zipfile.ZipFile(archive) as z:
        by_python = [i.filename for i in z.infolist()]
    return by_unzip, by_7zip, by_python


def test_names_read_right_and_only_non_ascii_ones_carry_the_utf8_flag(tmp_path):
    names = {  # name: whether its entry must carry the flag
        "R\u00e9sum\u00e9_\u00c5ngstr\u00f6m.pdf": True,
        "Gr\u00fc\u00dfe \u017e.txt": True,
        "\u8cc7\u6599.doc": True,                 # characters of three UTF-8 bytes
        "\U0001f600 smile.txt": True,             # a surrogate pair in UTF-16, four bytes in UTF-8
        "plain-ascii_name (1).txt": False,
    }
    folder = tmp_path / "names"
    folder.mkdir()
    archive = tmp_path / "u.zip"
    for name in names:
        (folder / name).write_bytes(name.encode("utf-8"))
        add(folder / name, archive)
    assert_tools_accept(archive)
    for tool, listed in zip(("unzip -Z1", "7zz l", "zipfile"), listed_names(archive)):
        assert listed == list(names), tool
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            flagged = names[info.filename]
            assert info.flag_bits == (UTF8_NAME_FLAG | 1 if flagged else 1), info.filename
            # Made on NTFS: Info-ZIP reads the names of FAT-made entries as OEM text despite the flag.
            assert (info.create_system, info.create_version) == ((11, 0) if flagged else (0, 0)), info.filename
            assert info.orig_filename.encode("utf-8") == info.filename.encode("utf-8")
            assert z.read(info, pwd=PASSWORD.encode()) == info.filename.encode("utf-8")
    for name in names:
        assert unzip_content(archive, name) == name.encode("utf-8"), name


def test_pack_failures_report_nine(tmp_path):
    assert zip_tool("add", tmp_path / "missing.txt", tmp_path / "m.zip").returncode == 9
    assert not (tmp_path / "m.zip").exists()


@pytest.mark.parametrize("method", ["Deflate", "Copy"])
def test_reader_extracts_backups_that_7zip_encrypted(tmp_path, method):
    tree = tmp_path / "tree"
    (tree / "Users" / "b").mkdir(parents=True)
    data = b"".join(b"record %06d\n" % i for i in range(20000))
    (tree / "Users" / "b" / "notes.txt").write_bytes(data)
    archive = tmp_path / "b.zip"
    r = run(SEVENZIP, "a", "-tzip", "-p" + PASSWORD, "-mem=ZipCrypto", "-mm=" + method, str(archive),
            str(tree / "Users"))
    assert r.returncode == 0, r.stdout
    out = tmp_path / "notes.out"
    assert zip_tool("extract", archive, "users\\B\\NOTES.txt", out).returncode == 0
    assert out.read_bytes() == data
    assert zip_tool("extract", archive, "Users/b/notes", tmp_path / "none.out").returncode == 1
    assert not (tmp_path / "none.out").exists()
