"""Every case of the hostile corpus (hostile/corpus.py) through a whole run under Wine, started by the
signed agent against the nginx back end, within a time bound: the tool ends by itself with the exit
code the case gives (never a crash code), logs what happened, sends what it could, records only what
it restored, and writes nothing on C: outside its data folder (the catalogue's own repair aside)."""
import re
import shutil
import zipfile

import pytest

from hardening_support import (AGENT_GUID, WINE_CRASH_HINT, archives_of_run, changes, log_size,  # noqa: F401
                               log_since, log_without_secrets, own_nginx, run_bounded, snapshot)
from hostile.corpus import STORE_WIN, Store, bup_writer, cases
from sample_store import QFile, QItem
from vondrel_env import (CACHE, DRIVE_C, MAKE_BUP, reset_data_folder, set_agent_guid, upload_archives, unzip, wine,
                         work_folders)

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
STOPPING = "Stopping Vondrel.exe utility"
STAMP = re.compile(r"^\d{1,2}:\d{1,2}:\d{1,2} \d{1,2}-\d{1,2}-\d{4} ")
RUN_TIME_BOUND = 240  # seconds; the largest case takes about a tenth of it
CORPUS = cases()


@pytest.fixture(scope="module")
def backend(tmp_path_factory):
    """One back end for every case: each case looks only at the archive its own run uploaded."""
    set_agent_guid(AGENT_GUID)
    with own_nginx(tmp_path_factory.mktemp("received")) as server:
        yield server


def clean_start():
    reset_data_folder()
    if STORE.exists():
        shutil.rmtree(STORE)


def companion():
    return QItem(files=[QFile("C:\\Users\\u\\companion.bin", b"a plain sample beside the hostile one")])


def build_store(case):
    store = Store(STORE, bup_writer(MAKE_BUP, wine))
    hostile = case.build(store)
    plain = store.add(companion()) if case.companion else None
    store.close()
    return hostile, plain


def messages(text):
    """The run's log lines without their time stamps (a line that has none is kept as it is)."""
    return [STAMP.sub("", line) for line in text.split("\r\n")[:-1]]


def cache_entries():
    return set(CACHE.read_bytes().decode("latin-1").split("\r\n")[:-1]) if CACHE.exists() else set()


def check_archive(received, tmp_path, plain):
    """The archive the back end got is whole, and its entries are plain names at its top."""
    [data] = received.values()
    archive = tmp_path / "got.zip"
    archive.write_bytes(data)
    out = unzip(archive, tmp_path / "out")
    with zipfile.ZipFile(archive) as z:
        names = [i.filename for i in z.infolist()]
    assert all("/" not in n and "\\" not in n and n not in (".", "..") for n in names), names
    assert (out / "companion.bin").read_bytes() == plain.files[0].content


@pytest.mark.parametrize("case", CORPUS, ids=[c.name for c in CORPUS])
def test_hostile_store(case, backend, tmp_path):
    clean_start()
    hostile, plain = build_store(case)
    before = snapshot()
    start = log_size()

    code, stderr = run_bounded(*ARGS, timeout=RUN_TIME_BOUND)

    text = log_since(start)
    lines = messages(text)
    assert WINE_CRASH_HINT not in stderr, stderr[-3000:]
    assert code in (0, 1), f"exit code {code}: {stderr[-3000:]} log: {lines[-20:]}"
    assert STOPPING in lines, lines[-20:]
    for pattern in case.lines:
        assert any(re.fullmatch(pattern, line) for line in lines), (pattern, lines[-40:])
    for pattern in case.absent:
        assert not any(re.fullmatch(pattern, line) for line in lines), pattern
    assert code == case.exit_code, lines[-40:]

    repaired = tuple(f"{STORE.name}/{path}" for path in case.store_changes)
    changed = [p for p in changes(before, snapshot()) if not p.startswith(repaired)]
    assert changed == [], changed
    assert upload_archives() == []
    assert len(work_folders()) == (0 if case.opens else 1)

    sent = cache_entries()
    if hostile is not None and case.hostile_sent is not None:
        assert (hostile.registry_text in sent) == case.hostile_sent
    received = archives_of_run(backend.received(), text)
    if plain is not None and (code == 0 or case.companion_despite_failure):
        assert plain.registry_text in sent
        check_archive(received, tmp_path, plain)
    if code == 1 and not case.companion_despite_failure:
        assert received == {} and sent == set()
