"""Runs killed part-way (after a file is restored, between two files of the packing, after the upload's
request is sent, after the cache's temporary file is written, after the cache is replaced), then a
normal run: every item the cache did not record is sent by the later run, no item recorded before the
kill is sent again, and the cache is never empty or torn.

Each test first sends items A with a normal run, adds items B, and runs the test build of the program,
which stops at the named test point and waits there; the test checks that the run stands where it
claims, kills it by its processes' ids and runs once more against the nginx back end."""
import re
import sqlite3

import pytest

from hardening_support import (TESTPOINTS_EXE, Run, archives_of_run, fresh_start, log_since, log_size,  # noqa: F401
                               log_without_secrets, own_nginx, run_bounded)
from sample_store import QFile, QItem, add_item, make_store
from vondrel_env import CACHE, EXE, DRIVE_C, UPLOAD, unzip

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE_WIN = "C:\\CrashQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
TEMPORARY = UPLOAD / "guid_cache.txt.tmp"
ITEM_KEY = re.compile(r'^\t"(\{[0-9A-F-]{36}\})" : \{$', re.M)
POINT_TEXTS = ("VONDREL_TEST_POINT", "file-restored", "file-packed", "request-sent", "cache-written",
               "archive-recorded")


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE)
    yield


def small_items(tag, n):
    return [QItem(files=[QFile(f"C:\\Users\\u\\{tag}{i}.bin", f"{tag} item {i}".encode() * 50)]) for i in range(n)]


def add_items(items):
    db = sqlite3.connect(STORE / "Quarantine.db")
    for item in items:
        add_item(db, STORE, STORE_WIN, item)
    db.commit()
    db.close()


def cache_bytes():
    return CACHE.read_bytes() if CACHE.exists() else None


def cache_of(items):
    return b"".join(t.encode() + b"\r\n" for t in sorted(i.registry_text for i in items))


def texts(items):
    return {i.registry_text for i in items}


def run_and_collect(server):
    """A normal run; the archives the back end kept of it."""
    start = log_size()
    code, stderr = run_bounded(*ARGS)
    assert code == 0, stderr
    return archives_of_run(server.received(), log_since(start))


def items_in(received, tmp_path):
    """The item GUIDs of the one archive the back end got, from its metadata file."""
    assert len(received) == 1, sorted(received)
    [data] = received.values()
    tmp_path.mkdir(parents=True, exist_ok=True)
    archive = tmp_path / "got.zip"
    archive.write_bytes(data)
    out = unzip(archive, tmp_path / "got")
    return set(ITEM_KEY.findall((out / "quarantined_metadata.json").read_text("latin-1")))


def first_run_sends(items_a, tmp_path):
    make_store(STORE, STORE_WIN, items_a)
    with own_nginx(tmp_path / "first") as server:
        assert items_in(run_and_collect(server), tmp_path / "a") == texts(items_a)
    assert cache_bytes() == cache_of(items_a)


def work_folder():
    [work] = [p for p in UPLOAD.glob("vdrel_*") if p.is_dir()]
    return work


# ---- where each kill lands: what must be true while the run stands at its point ----

def one_file_restored(ctx):
    """The first of B's files is in the work folder, the others not yet; no archive."""
    restored = sorted(p.name for p in work_folder().iterdir() if p.name.endswith(".bin"))
    assert restored == ["b0.bin"], restored
    assert not list(UPLOAD.glob("vdrel_*.zip"))


def archive_half_written(ctx):
    """The archive has been started beside its work folder, which still holds every file."""
    work = work_folder()
    archive = work.with_name(work.name + ".zip")
    assert archive.exists() and archive.stat().st_size > 0
    assert {"b0.bin", "b1.bin", "b2.bin"} <= {p.name for p in work.iterdir()}
    assert "Successfully zipped folder" not in log_since(ctx["start"])


def back_end_has_the_archive(ctx):
    """The whole PUT reached the back end, which has kept the archive; the tool has read no answer."""
    ctx["server"].wait_for_files(1)
    assert "Successfully uploaded file" not in log_since(ctx["start"])
    assert cache_bytes() == ctx["old"]


def temporary_cache_written(ctx):
    """The new cache stands complete beside the old one, which is still in place."""
    assert TEMPORARY.read_bytes() == ctx["new"]
    assert cache_bytes() == ctx["old"]


def cache_replaced(ctx):
    assert cache_bytes() == ctx["new"] and not TEMPORARY.exists()


KILL_POINTS = [
    # id, test point and arrival, what shows the run stands there, whether the cache then holds B
    ("after-a-restored-file", ("file-restored", 1), one_file_restored, False),
    ("between-packed-files", ("file-packed", 1), archive_half_written, False),
    ("after-the-request-was-sent", ("request-sent", 1), back_end_has_the_archive, False),
    ("after-the-temporary-cache-was-written", ("cache-written", 1), temporary_cache_written, False),
    ("after-the-cache-was-replaced", ("archive-recorded", 1), cache_replaced, True),
]


@pytest.mark.parametrize("point, check, recorded", [k[1:] for k in KILL_POINTS], ids=[k[0] for k in KILL_POINTS])
def test_a_killed_run_leaves_exactly_the_unrecorded_items_for_the_next(tmp_path, point, check, recorded):
    items_a = small_items("a", 2)
    first_run_sends(items_a, tmp_path)
    items_b = small_items("b", 3)
    add_items(items_b)
    ctx = {"old": cache_bytes(), "new": cache_of(items_a + items_b), "start": log_size()}

    with own_nginx(tmp_path / "killed") as server:
        ctx["server"] = server
        run = Run(*ARGS, stop_at=point)
        assert run.wait_for_point() == f"{point[0]}:{point[1]}"
        check(ctx)
        run.kill()
    after_kill = cache_bytes()
    assert after_kill == (ctx["new"] if recorded else ctx["old"])

    with own_nginx(tmp_path / "later") as server:
        received = run_and_collect(server)
    if recorded:
        assert received == {}
    else:
        assert items_in(received, tmp_path / "later") == texts(items_b)
    assert cache_bytes() == ctx["new"]


def test_a_released_run_goes_on_to_its_normal_end(tmp_path):
    """The test point only waits: released, the run ends as the product's would."""
    items_a = small_items("a", 1)
    make_store(STORE, STORE_WIN, items_a)
    with own_nginx(tmp_path / "released") as server:
        run = Run(*ARGS, stop_at=("cache-written", 1))
        run.wait_for_point()
        run.release()
        assert run.wait(120) == 0, run.stderr
        assert len(server.received()) == 1
    assert cache_bytes() == cache_of(items_a)


def test_the_product_program_carries_no_test_points():
    product, test_build = EXE.read_bytes(), TESTPOINTS_EXE.read_bytes()
    for text in POINT_TEXTS:
        forms = (text.encode(), text.encode("utf-16-le"))
        assert any(form in test_build for form in forms), f"the test build lacks {text!r}: the check would miss it"
        assert not any(form in product for form in forms), f"{EXE.name} carries {text!r}"
