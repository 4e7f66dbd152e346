"""A backlog larger than the upload limit, sent by the real Vondrel.exe to the real nginx back end (and
to a scripted one where an upload must fail): several archives, each a whole submission at most the
limit, each recorded once it is sent; an item that is over the limit on its own is named and left."""
import re
import shutil
import subprocess
import sys

import pytest

from archive_password import ARCHIVE_PASSWORD
from hardening_support import AGENT_GUID, Run, own_nginx, run_bounded
from sample_store import QFile, QItem, make_store
from vondrel_env import (CACHE, DRIVE_C, SOURCE_DIR, LogTail, reset_data_folder, set_agent_guid, unzip, upload_archives,
                         work_folders)

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.scripted_https import Reply, ScriptedHttpsServer  # noqa: E402

LIMIT = 52_428_800
MIB = 1024 * 1024
STORE_WIN = "C:\\BacklogQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
ARCHIVE = r"C:\\ProgramData\\Norvane\\Vondrel\\Upload\\(vdrel_[0-9A-F]{12}_\d{6}_\d{6})\.zip"
UPLOADED = re.compile(f"Successfully uploaded file {ARCHIVE} to Norvane backend")
OVER_LIMIT = re.compile(f"Zip file {ARCHIVE} of (\\d+) bytes is larger than the upload limit, sending its items in "
                        "several archives")
ITEM_OVER_LIMIT = "Item {} is larger than the upload limit, it is not sent"


def noise(size, seed):
    """Incompressible content, made fast: a SHA-256 counter stream."""
    import hashlib
    block = hashlib.sha256(seed.encode()).digest()
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(block + counter.to_bytes(8, "little")).digest()
        counter += 1
    return bytes(out[:size])


def item(name, size):
    return QItem(files=[QFile(f"C:\\Users\\u\\{name}", noise(size, name))])


@pytest.fixture(autouse=True)
def clean():
    reset_data_folder()
    set_agent_guid(AGENT_GUID)
    if STORE.exists():
        shutil.rmtree(STORE)
    yield
    if STORE.exists():
        shutil.rmtree(STORE)


def cached():
    return CACHE.read_bytes().decode().split("\r\n")[:-1] if CACHE.exists() else []


def opened(data, into):
    """Info-ZIP tests the archive; returns its metadata's item GUIDs in order, the report's count of
    files and the names of the item files."""
    archive = into.with_suffix(".zip")
    archive.write_bytes(data)
    r = subprocess.run(["unzip", "-tq", "-P", ARCHIVE_PASSWORD, str(archive)], capture_output=True)
    assert r.returncode == 0, r.stdout + r.stderr
    out = unzip(archive, into)
    metadata = (out / "quarantined_metadata.json").read_text("latin-1")
    guids = [line.split('"')[1] for line in metadata.splitlines() if line.startswith('\t"{')]
    report = (out / "Ostrel.xml").read_text("latin-1")
    files = sorted(p.name for p in out.iterdir() if p.suffix == ".bin")
    return guids, report, files


def next_run_sends(tmp_path):
    """A normal run against nginx; the item GUIDs of every archive it delivered."""
    with own_nginx(tmp_path / "next") as server:
        code, stderr = run_bounded(*ARGS, timeout=900)
        received = server.received()
    assert code == 0, stderr
    sent = []
    for n, data in enumerate(received.values()):
        guids, _, _ = opened(data, tmp_path / f"next{n}")
        sent += guids
    return sent


def report_counts(report):
    """The report's counts of identified and suspicious files."""
    return [int(re.search(f'<{tag} value="(\\d+)" />', report).group(1))
            for tag in ("Identified-Files", "Suspicious-Files")]


def test_a_backlog_over_the_limit_goes_out_in_several_archives_each_recorded(tmp_path):
    store = [item("big0.bin", 20 * MIB), item("small0.bin", 3000), item("big1.bin", 20 * MIB),
             item("big2.bin", 20 * MIB), item("small1.bin", 5000)]
    make_store(STORE, STORE_WIN, store)
    with own_nginx(tmp_path / "received") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS, timeout=900)
        received = server.received()
        puts = [line for line in server.access_log() if '"PUT ' in line]
    assert code == 0, stderr
    lines = tail.lines()
    whole = [m for m in map(OVER_LIMIT.fullmatch, lines) if m]
    assert len(whole) == 1 and int(whole[0].group(2)) > LIMIT, lines
    sent = [m.group(1) for m in map(UPLOADED.fullmatch, lines) if m]
    assert len(sent) >= 2 and len(puts) == len(sent), (lines, puts)
    assert sorted(received) == sorted(f"ostrel\\{name}.zip" for name in sent)
    assert whole[0].group(1) not in sent, "each archive has its own work folder and name"

    delivered = []
    for name in sent:
        data = received[f"ostrel\\{name}.zip"]
        assert len(data) <= LIMIT, name
        guids, report, files = opened(data, tmp_path / name)
        ours = [i for i in store if i.registry_text in guids]
        assert guids == [i.registry_text for i in ours], "only its items, in list order"
        assert files == sorted(i.files[0].original.rsplit("\\", 1)[1] for i in ours)
        assert report_counts(report) == [len(ours), len(ours)], "the report counts its own files"
        for i in ours:
            f = i.files[0]
            assert (tmp_path / name / f.original.rsplit("\\", 1)[1]).read_bytes() == f.content
        delivered += guids
    assert delivered == [i.registry_text for i in store], "every item once, in list order"
    assert cached() == sorted(i.registry_text for i in store)
    assert upload_archives() == [] and work_folders() == []

    with own_nginx(tmp_path / "again") as server:
        code, stderr = run_bounded(*ARGS)
        assert server.received() == {}
    assert code == 0, stderr


def test_an_item_over_the_limit_on_its_own_is_named_and_the_others_go(tmp_path):
    store = [item("huge.bin", 55 * MIB), item("small.bin", 4000)]
    make_store(STORE, STORE_WIN, store)
    with own_nginx(tmp_path / "received") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS, timeout=900)
        received = server.received()
    assert code == 1, stderr
    lines = tail.lines()
    assert ITEM_OVER_LIMIT.format(store[0].registry_text) in lines
    assert len(received) == 1
    guids, _, files = opened(next(iter(received.values())), tmp_path / "small")
    assert guids == [store[1].registry_text] and files == ["small.bin"]
    assert cached() == [store[1].registry_text], "the large item is not recorded"
    assert upload_archives() == [] and work_folders() == []


def test_a_failed_upload_stops_the_sending_and_the_rest_goes_next_run(tmp_path):
    store = [item("big0.bin", 30 * MIB), item("big1.bin", 30 * MIB), item("small.bin", 2000)]
    make_store(STORE, STORE_WIN, store)
    with ScriptedHttpsServer([Reply(201), Reply(500)]) as failing:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS, timeout=900)
        puts = [r for r in failing.requests if r.method == "PUT"]
    assert code == 1, stderr
    lines = tail.lines()
    assert len(puts) == 2, "nothing is sent after the failed upload"
    failed = [line for line in lines if line.startswith("Failed to upload file ") and line.endswith(" backend")]
    assert len(failed) == 1, lines
    first, _, _ = opened(puts[0].body, tmp_path / "first")
    assert first == [store[0].registry_text]
    assert cached() == first, "the archive that was taken is recorded"
    assert upload_archives() == [] and work_folders() == []

    assert sorted(next_run_sends(tmp_path)) == sorted(i.registry_text for i in store[1:])
    assert cached() == sorted(i.registry_text for i in store)


def test_a_run_killed_between_two_archives_leaves_only_the_rest_for_the_next(tmp_path):
    store = [item("big0.bin", 30 * MIB), item("big1.bin", 30 * MIB), item("small.bin", 2000)]
    make_store(STORE, STORE_WIN, store)
    with own_nginx(tmp_path / "killed") as server:
        run = Run(*ARGS, stop_at=("archive-recorded", 1))
        run.wait_for_point(timeout=900)
        # The first archive is delivered and recorded; the next is not yet packed.
        [first] = server.received().values()
        first_items, _, _ = opened(first, tmp_path / "first")
        assert first_items == [store[0].registry_text]
        assert cached() == first_items
        run.kill()
    assert cached() == first_items

    rest = next_run_sends(tmp_path)
    assert sorted(rest) == sorted(i.registry_text for i in store[1:]), "only what the cache had not recorded"
    assert cached() == sorted(i.registry_text for i in store)
