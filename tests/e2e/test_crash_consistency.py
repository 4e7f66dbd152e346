"""Runs killed part-way (during a restore, during the packing, during the upload, while the sent-item
cache is written), then a normal run: every item the cache did not record is sent by the later run,
no item recorded before the kill is sent again, and the cache is never empty or torn.

Each test first sends items A with a normal run, adds items B (the last one large, so that its restore
and its packing take a while), kills a run at a log line by killing its Wine processes by id, and then
runs once more against the nginx back end."""
import re
import socket
import ssl
import sys
import threading
import uuid

import pytest

from hardening_support import (Run, archives_of_run, fresh_start, kill_at, log_since, log_size,  # noqa: F401
                               log_without_secrets, own_nginx, run_bounded, wait_until_port_free)
from hostile.corpus import encrypted_zip
from sample_store import QFile, QItem, add_item, make_store, win_join
from vondrel_env import CACHE, DRIVE_C, SOURCE_DIR, UPLOAD, unzip

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.common import LOOPBACK, SERVER_CERT, SERVER_KEY  # noqa: E402

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE_WIN = "C:\\CrashQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
LARGE = "C:\\big\\large.bin"
LARGE_SIZE = 256 << 20
WORK = r"C:\\ProgramData\\Norvane\\Vondrel\\Upload\\vdrel_[0-9A-F]{12}_\d{6}_\d{6}"
ITEM_KEY = re.compile(r'^\t"(\{[0-9A-F-]{36}\})" : \{$', re.M)
FILLER_ENTRIES = 300000  # a cache this long takes a while to write


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE)
    yield


def small_items(tag, n):
    return [QItem(files=[QFile(f"C:\\Users\\u\\{tag}{i}.bin", f"{tag} item {i}".encode() * 50)]) for i in range(n)]


def add_large_item(db):
    """The last item of B: one large file, written here because add_item would stage it twice."""
    item = QItem()
    g = item.guid_text
    db.execute("INSERT INTO BackupItems VALUES (?,?,?,?,?,?,?,?)", (g, item.created, 2, "Big.One", 1, 1, 0, b""))
    db.execute("INSERT INTO BackupVersions VALUES (?,?,?,?,?,?,?)", (g, 1, 0, 1, 0, 0, ""))
    encrypted_zip(STORE / "quarantine" / f"{g}.zip", {"big/large.bin": bytes(LARGE_SIZE)})
    db.execute("INSERT INTO BackupFiles VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
               (g, 0, 1, LARGE, win_join(STORE_WIN, "quarantine", f"{g}.zip"), LARGE_SIZE, 1, 2, 3, "C:\\x.exe", 0, 32))
    return item


def add_items_b():
    import sqlite3
    items = small_items("b", 2)
    db = sqlite3.connect(STORE / "Quarantine.db")
    for item in items:
        add_item(db, STORE, STORE_WIN, item)
    items.append(add_large_item(db))
    db.commit()
    db.close()
    return items


def cache_bytes():
    return CACHE.read_bytes() if CACHE.exists() else None


def cache_of(texts):
    return b"".join(t.encode() + b"\r\n" for t in sorted(texts))


def nginx(root):
    return own_nginx(root)


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


class StallingHttpsServer:
    """Takes the TLS handshake and the whole request, then answers nothing until it is stopped."""

    def __init__(self, port=443):
        self.port = port
        self.requests = []
        self._stop = threading.Event()
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(SERVER_CERT), str(SERVER_KEY))
        self._listener = None
        self._threads = []

    def __enter__(self):
        wait_until_port_free(self.port)
        self._listener = socket.create_server((LOOPBACK, self.port))
        self._listener.settimeout(0.2)
        self._threads.append(threading.Thread(target=self._accept, daemon=True))
        self._threads[0].start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        for thread in self._threads:
            thread.join(10)
        self._listener.close()

    def _accept(self):
        while not self._stop.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            thread = threading.Thread(target=self._hold, args=(connection,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _hold(self, connection):
        try:
            with self._context.wrap_socket(connection, server_side=True) as tls:
                tls.settimeout(0.2)
                head = b""
                while not self._stop.is_set():
                    try:
                        chunk = tls.recv(65536)
                    except (socket.timeout, ssl.SSLWantReadError):
                        continue
                    if not chunk:
                        break
                    if head is not None:
                        head += chunk
                    if head is not None and b"\r\n\r\n" in head:
                        self.requests.append(head.split(b"\r\n", 1)[0])
                        head = None  # the body follows; it is read and dropped
        except (ssl.SSLError, OSError):
            pass


def first_run_sends_a(tmp_path):
    items_a = small_items("a", 2)
    make_store(STORE, STORE_WIN, items_a)
    with nginx(tmp_path / "first") as server:
        assert items_in(run_and_collect(server), tmp_path / "a") == {i.registry_text for i in items_a}
    assert cache_bytes() == cache_of(i.registry_text for i in items_a)
    return items_a


def killed_run(pattern, delay, not_yet):
    """A run killed delay seconds after pattern was logged; the log up to the kill must not hold not_yet."""
    start = log_size()
    run = Run(*ARGS)
    seen = kill_at(run, pattern, start, delay=delay)
    assert not re.search(not_yet, seen), f"the run went past {not_yet!r} before the kill"
    return seen


def later_run_sends(tmp_path, expected_texts):
    with nginx(tmp_path / "later") as server:
        received = run_and_collect(server)
    if not expected_texts:
        assert received == {}
        return
    assert items_in(received, tmp_path / "later") == expected_texts


def partial_large_file():
    """The kill came while the large file was being written: it is there, and short."""
    [work] = [p for p in UPLOAD.glob("vdrel_*") if p.is_dir()]
    return 0 <= (work / "large.bin").stat().st_size < LARGE_SIZE


def partial_archive():
    """The kill came while the archive was being written: it is there, beside its work folder."""
    return len(list(UPLOAD.glob("vdrel_*.zip"))) == 1


KILL_POINTS = [
    # name, the line after which the run is killed, seconds to wait, a line that must not come first,
    # and what shows that the kill came where it was meant to
    ("restore", re.escape(f"QuarManager::RestoreFiles : Destination path {LARGE}"), 0.3,
     rf"Sucessfully restored file to : {WORK}\\large\.bin", partial_large_file),
    ("packing", rf"Sucessfully restored file to : {WORK}\\large\.bin: ", 0.3, "Successfully zipped folder",
     partial_archive),
]


@pytest.mark.parametrize("name, pattern, delay, not_yet, landed", KILL_POINTS, ids=[k[0] for k in KILL_POINTS])
def test_a_run_killed_before_the_upload_leaves_everything_for_the_next(tmp_path, name, pattern, delay, not_yet,
                                                                      landed):
    items_a = first_run_sends_a(tmp_path)
    recorded = cache_bytes()
    items_b = add_items_b()
    killed_run(pattern, delay, not_yet)
    assert landed()
    assert cache_bytes() == recorded
    later_run_sends(tmp_path, {i.registry_text for i in items_b})
    assert cache_bytes() == cache_of(i.registry_text for i in items_a + items_b)


def test_a_run_killed_while_the_back_end_stalls_leaves_everything_for_the_next(tmp_path):
    items_a = first_run_sends_a(tmp_path)
    recorded = cache_bytes()
    items_b = add_items_b()
    with StallingHttpsServer() as stalling:
        killed_run(re.escape("Upload status 100 %"), 0.5, "Successfully uploaded file")
        assert len(stalling.requests) == 1 and stalling.requests[0].startswith(b"PUT /ostrel")
    assert cache_bytes() == recorded
    later_run_sends(tmp_path, {i.registry_text for i in items_b})
    assert cache_bytes() == cache_of(i.registry_text for i in items_a + items_b)


def filler(n):
    return [str(uuid.UUID(int=(7 << 120) + i)).upper().join("{}") for i in range(n)]


# The write takes about a second here: the first delays land inside it, the last one near its end.
@pytest.mark.parametrize("delay", [0.0, 0.05, 0.2, 0.5, 1.0])
def test_a_run_killed_while_writing_the_cache_leaves_the_old_or_the_new_cache(tmp_path, delay):
    items_a = first_run_sends_a(tmp_path)
    old_texts = [i.registry_text for i in items_a] + filler(FILLER_ENTRIES)
    CACHE.write_bytes(cache_of(old_texts))
    old = cache_bytes()
    items_b = small_items("b", 2)
    import sqlite3
    db = sqlite3.connect(STORE / "Quarantine.db")
    for item in items_b:
        add_item(db, STORE, STORE_WIN, item)
    db.commit()
    db.close()
    new = cache_of(old_texts + [i.registry_text for i in items_b])

    with nginx(tmp_path / "killed"):
        killed_run(rf"Successfully uploaded file {WORK}\.zip to Norvane backend", delay, "Successfully deleted zip file")
    after_kill = cache_bytes()
    print(f"delay {delay}: cache {'old' if after_kill == old else 'new' if after_kill == new else 'TORN'},"
          f" temporary file {'left' if (UPLOAD / 'guid_cache.txt.tmp').exists() else 'absent'}")
    assert after_kill in (old, new), f"the cache is torn: {len(after_kill or b'')} bytes"

    # Whatever the kill left, the items B are recorded after the next run and A are never sent again.
    later_run_sends(tmp_path, set() if after_kill == new else {i.registry_text for i in items_b})
    assert cache_bytes() == new
