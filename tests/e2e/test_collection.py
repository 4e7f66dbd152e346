"""A whole collection pass on stores made by independent writers, up to the archive (kept through the
no-upload switch), checked with Info-ZIP and Python's own digests."""
import re
import shutil

import pytest

from expected import metadata
from sample_store import QFile, QItem, make_store
from vondrel_env import (CACHE, DRIVE_C, UPLOAD, LogTail, collect, reset_data_folder, set_agent_guid,
                         unzip, upload_archives, work_folders)

AGENT_GUID = "{5D3C0A8E-1F2B-4C6D-9E7A-0B1C2D3E4F50}"
STORE = DRIVE_C / "Q"
STORE_WIN = "C:\\Q"


@pytest.fixture(autouse=True)
def clean():
    reset_data_folder()
    if STORE.exists():
        shutil.rmtree(STORE)
    set_agent_guid(AGENT_GUID)
    yield
    if STORE.exists():
        shutil.rmtree(STORE)


def three_items():
    two = QItem(detection="Trojan.Two", files=[
        QFile("C:\\Users\\a\\doc.txt", b"first file\r\n" * 50),
        QFile("C:\\Users\\a\\Documents\\r\u00e9sum\u00e9.pdf", bytes(range(256)) * 40, attribute=0x21,
              actor="C:\\Program Files\\Office\\winword.exe")])
    one = QItem(detection="Worm.One", virus_type=0xFFFFFFFF, created="2021-07-05 09:03:07",
                files=[QFile("D:\\tools\\payload.exe", b"MZ" + b"\x90" * 5000)])
    registry_only = QItem(detection="Adware.Reg", registry=[("HKLM", "Software\\Run", "x", 1, "c:\\x.exe")])
    return [two, one, registry_only]


def test_a_store_of_three_items_becomes_one_archive_with_files_metadata_and_report(tmp_path):
    items = three_items()
    make_store(STORE, STORE_WIN, items)
    tail = LogTail()
    assert collect("noupload", STORE_WIN) == 0
    [archive] = upload_archives()
    assert work_folders() == []
    out = unzip(archive, tmp_path / "out")
    restored = [f for item in items for f in item.files]
    names = sorted(p.name for p in out.iterdir())
    assert names == sorted([f.original.rsplit("\\", 1)[1] for f in restored] + ["Ostrel.xml", "quarantined_metadata.json"])
    for f in restored:
        assert (out / f.original.rsplit("\\", 1)[1]).read_bytes() == f.content
    expected = metadata(AGENT_GUID, [(item, item.files) for item in items])
    assert (out / "quarantined_metadata.json").read_bytes() == expected
    report = (out / "Ostrel.xml").read_bytes()
    assert report.count(b"\r\n") == 36
    assert report.count(b'value="3" />') == 2  # identified and suspicious files
    assert b'<email-id value="soc@example.com" />' in report
    lines = tail.lines()
    assert f"Successfully opened quarantine backup {STORE_WIN}" in lines
    assert "Extract only option supplied, skipping Ostrel upload" in lines
    assert any(re.fullmatch(r"Successfully zipped folder .*\\Upload\\vdrel_[0-9A-F]{12}_\d{6}_\d{6}", l) for l in lines)
    # Without an upload the pass records what it collected itself.
    assert CACHE.read_bytes().split(b"\r\n")[:-1] == sorted(i.registry_text.encode() for i in items)


def test_new_items_are_collected_wherever_the_sent_ones_stand(tmp_path):
    items = [QItem(files=[QFile(f"C:\\in\\f{i}.bin", bytes([i]) * (100 + i))]) for i in range(5)]
    make_store(STORE, STORE_WIN, items)
    UPLOAD.mkdir(parents=True)
    sent = [items[0], items[2], items[4]]  # before, between and after the new ones
    CACHE.write_bytes(b"".join(i.registry_text.encode() + b"\r\n" for i in sent))
    tail = LogTail()
    assert collect("noupload", STORE_WIN) == 0
    [archive] = upload_archives()
    out = unzip(archive, tmp_path / "out")
    assert sorted(p.name for p in out.iterdir() if p.suffix == ".bin") == ["f1.bin", "f3.bin"]
    expected = metadata(AGENT_GUID, [(items[1], items[1].files), (items[3], items[3].files)])
    assert (out / "quarantined_metadata.json").read_bytes() == expected
    assert [l for l in tail.lines() if l.startswith("Skipping already sent guid")] == \
        [f"Skipping already sent guid {i.registry_text}" for i in sent]


@pytest.mark.parametrize("cached", [False, True])
def test_nothing_to_send_makes_no_archive_and_succeeds(cached):
    items = [QItem(files=[QFile("C:\\a\\x.txt", b"x")])] if cached else []
    make_store(STORE, STORE_WIN, items)
    UPLOAD.mkdir(parents=True)
    if cached:
        CACHE.write_bytes(items[0].registry_text.encode() + b"\r\n")
    tail = LogTail()
    assert collect("noupload", STORE_WIN) == 0
    assert upload_archives() == [] and work_folders() == []
    if not cached:
        assert "Empty quarantined folder, nothing to extract, skipping further action" in tail.lines()


def test_an_item_whose_rows_are_all_unusable_still_gets_its_block(tmp_path):
    bad = QItem(files=[QFile("relative\\x.txt", b"x")])  # no zip entry name: skipped
    good = QItem(files=[QFile("C:\\a\\good.txt", b"good")])
    make_store(STORE, STORE_WIN, [bad, good])
    assert collect("noupload", STORE_WIN) == 0
    [archive] = upload_archives()
    out = unzip(archive, tmp_path / "out")
    assert (out / "quarantined_metadata.json").read_bytes() == metadata(AGENT_GUID, [(bad, []), (good, good.files)])


def test_the_extract_only_path_packs_every_item_on_its_own(tmp_path):
    items = three_items()[:2]
    make_store(STORE, STORE_WIN, items)
    assert collect("segregate", STORE_WIN) == 0
    extracted = UPLOAD.parent / "ExtractedItems"
    archives = sorted(p.name for p in extracted.iterdir())
    assert archives == sorted(str(i.guid).upper() + ".zip" for i in items)
    for item in items:
        out = unzip(extracted / (str(item.guid).upper() + ".zip"), tmp_path / str(item.guid))
        assert sorted(p.name for p in out.iterdir()) == sorted(
            [f.original.rsplit("\\", 1)[1] for f in item.files] + ["quarantined_metadata.json"])
