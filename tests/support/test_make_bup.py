"""make_bup, the writer of the legacy backup fixtures, read back by an independent reader: 7-Zip's
compound-file support, with the scrambling undone here."""
import os
import subprocess
from pathlib import Path

import pytest

import wine_prefix

BUILD_DIR = Path(os.environ.get("VONDREL_BINARY_DIR", Path(__file__).resolve().parents[2] / "build"))
SOURCE_DIR = Path(os.environ.get("VONDREL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
MAKE_BUP = BUILD_DIR / "tools" / "make_bup.exe"
SEVEN_ZIP = "/usr/bin/7zz"


def wine(*args):
    env = wine_prefix.wine_env(SOURCE_DIR / "build" / "wine")
    return subprocess.run(["wine", *map(str, args)], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=120)


def win(path):
    return wine_prefix.winpath(path)


def descrambled(data):
    return bytes(b ^ 0xA7 for b in data)


def streams_of(bup, out):
    subprocess.run([SEVEN_ZIP, "x", "-y", f"-o{out}", str(bup)], check=True, capture_output=True)
    return {p.name: descrambled(p.read_bytes()) for p in Path(out).iterdir()}


@pytest.fixture
def work(tmp_path):
    details = tmp_path / "details.txt"
    details.write_bytes(b"[Details]\r\nNumberOfFiles=3\r\n[File_2]\r\nWasAdded=1\r\n")
    contents = [bytes(range(256)) * 40, b"", bytes([0xA7]) * 9000]
    paths = []
    for i, data in enumerate(contents):
        paths.append(tmp_path / f"content{i}.bin")
        paths[-1].write_bytes(data)
    return tmp_path, details, contents, paths


def test_writes_details_and_numbered_content_streams(work):
    folder, details, contents, paths = work
    bup = folder / "item.bup"
    r = wine(MAKE_BUP, win(bup), win(details), *map(win, paths))
    assert r.returncode == 0, r.stderr
    assert bup.read_bytes()[:8] == bytes.fromhex("D0CF11E0A1B11AE1")
    expected = {"Details": details.read_bytes(), **{f"File_{i}": data for i, data in enumerate(contents)}}
    assert streams_of(bup, folder / "out") == expected


def test_dash_leaves_out_the_details_stream(work):
    folder, _, contents, paths = work
    bup = folder / "no_details.bup"
    r = wine(MAKE_BUP, win(bup), "-", win(paths[0]))
    assert r.returncode == 0, r.stderr
    assert streams_of(bup, folder / "out") == {"File_0": contents[0]}


@pytest.mark.parametrize("args, code", [((), 2), (("only_out.bup",), 2), (("x.bup", "missing_details.txt"), 1)])
def test_reports_bad_arguments_and_failures(work, args, code):
    folder = work[0]
    r = wine(MAKE_BUP, *[win(folder / a) for a in args])
    assert r.returncode == code
