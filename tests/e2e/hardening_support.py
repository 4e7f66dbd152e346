"""What the hardening suites share: runs of the tool that can be bounded in time or stopped at a test
point, snapshots of the prefix's C: drive, and the check that no log line carries a secret."""
import base64
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import uuid
from contextlib import contextmanager
from pathlib import Path

import pytest

from vondrel_env import AGENT, BUILD_DIR, DATA, DRIVE_C, EXE, LOG, wine_env, winpath

from upload_settings import PASSWORD, USER
RUN_TAG = "VONDREL_HARDENING_RUN"
WINE_CRASH_HINT = "wine: Unhandled"
TESTPOINTS_EXE = BUILD_DIR / "tools" / "testpoints" / "Vondrel.exe"
POINT_VARIABLE, POINT_FOLDER_VARIABLE = "VONDREL_TEST_POINT", "VONDREL_TEST_POINT_DIR"


# ---- runs ----

class Run:
    """One run of the tool through the signed agent. Every Wine process that belongs to it carries a
    tag in its environment, so that it can be found and killed by its id without touching other runs
    in the shared prefix.

    With stop_at=(point, arrival) the run is the test build of the program, which stops at that
    arrival at the named test point and waits there until it is killed or released: see
    wait_for_point."""

    def __init__(self, *args, agent=AGENT, stop_at=None):
        self.tag = uuid.uuid4().hex
        env = wine_env()
        env[RUN_TAG] = self.tag
        exe = EXE
        self.points = None
        if stop_at is not None:
            point, arrival = stop_at
            self.points = Path(tempfile.mkdtemp(prefix="vondrel-point-"))
            env[POINT_VARIABLE] = f"{point}:{arrival}"
            env[POINT_FOLDER_VARIABLE] = winpath(self.points)
            exe = TESTPOINTS_EXE
        self.process = subprocess.Popen(["wine", str(agent), winpath(exe), *map(str, args)], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)

    def pids(self):
        """The processes of this run: the wine launcher, the agent and Vondrel.exe."""
        marker = f"{RUN_TAG}={self.tag}".encode()
        found = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                if marker in (entry / "environ").read_bytes().split(b"\0"):
                    found.append(int(entry.name))
            except OSError:
                continue
        return found

    def wait_for_point(self, timeout=180):
        """Waits until the run stands at its test point; fails when it ended first or never got there.
        The run stays there, whatever the machine's speed, until kill() or release()."""
        reached = self.points / "reached"
        deadline = time.monotonic() + timeout
        while not reached.exists():
            if self.process.poll() is not None:
                pytest.fail(f"the run ended with {self.process.returncode} before its test point")
            if time.monotonic() > deadline:
                self.kill()
                pytest.fail(f"the run did not reach its test point within {timeout} s")
            time.sleep(0.01)
        return reached.read_bytes().decode("utf-16-le")

    def release(self):
        (self.points / "release").touch()

    def kill(self):
        for pid in self.pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.wait(30)

    def wait(self, timeout):
        """The exit code; a run that outlives the timeout is killed and fails the test."""
        try:
            out, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            pytest.fail(f"the run did not end within {timeout} s")
        self.stderr = err.decode(errors="replace")
        return self.process.returncode


def run_bounded(*args, timeout=120):
    """Runs the tool to its end within the time bound; returns (exit code, Wine's stderr)."""
    run = Run(*args)
    code = run.wait(timeout)
    return code, run.stderr


def log_since(start):
    if not LOG.exists():
        return ""
    return LOG.read_bytes()[start:].decode("latin-1")


def log_size():
    return LOG.stat().st_size if LOG.exists() else 0


# ---- a clean start ----

AGENT_GUID = "{11111111-2222-3333-4444-555555555555}"


def fresh_start(store, files=()):
    """A fresh data folder, the agent's GUID, and the store folder made anew: with one item holding
    the (path, content) pairs in files, or empty when there are none."""
    from sample_store import QFile, QItem, make_store
    from vondrel_env import reset_data_folder, set_agent_guid
    reset_data_folder()
    set_agent_guid(AGENT_GUID)
    if store.exists():
        shutil.rmtree(store)
    if files:
        make_store(store, "C:\\" + store.name, [QItem(files=[QFile(path, data) for path, data in files])])


# ---- the shared port ----

def wait_until_port_free(port=443, timeout=600):
    """Other runs in this machine's shared prefix bind the back end's port too; a server of ours must
    not mistake theirs for its own."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind(("127.0.0.1", port))
                return
            except OSError:
                pass
        time.sleep(0.5)
    pytest.fail(f"port {port} stayed taken for {timeout} s")


@contextmanager
def own_nginx(root, password=PASSWORD, **options):
    """The nginx back end on the shared port; it fails to start unless it is the one listening there."""
    from servers.nginx import NginxBackend
    wait_until_port_free(options.get("port", 443))
    with NginxBackend(root, USER, password, **options) as server:
        yield server


UPLOADING = re.compile(r"Uploading file C:\\ProgramData\\Norvane\\Vondrel\\Upload\\(vdrel_\w+\.zip) to Norvane backend")


def archives_of_run(received, log_text):
    """What the back end kept of this run's own archive: runs of other suites in the shared prefix
    may reach the same port."""
    names = {f"ostrel\\{m.group(1)}" for m in map(UPLOADING.search, log_text.split("\r\n")) if m}
    return {name: data for name, data in received.items() if name in names}


# ---- snapshots ----

# The temporary folders, where the unit-test programs that may run beside a suite make their files.
TEMP_FOLDERS = tuple(DRIVE_C.glob("users/*/Temp")) + tuple(DRIVE_C.glob("users/*/AppData/Local/Temp"))


def snapshot(root=DRIVE_C, skip=(DATA,) + TEMP_FOLDERS):
    """Every file and folder below root (outside skip) with its size and modification time."""
    skip = [Path(s) for s in skip]
    state = {}
    for folder, dirs, files in os.walk(root):
        here = Path(folder)
        dirs[:] = [d for d in dirs if here / d not in skip]
        for name in dirs:
            state[str((here / name).relative_to(root)) + "/"] = None
        for name in files:
            path = here / name
            try:
                st = path.lstat()
            except OSError:
                continue
            state[str(path.relative_to(root))] = (st.st_size, st.st_mtime_ns)
    return state


def changes(before, after):
    """Paths added, removed or changed between two snapshots."""
    return sorted(p for p in before.keys() | after.keys() if before.get(p, "gone") != after.get(p, "gone"))


# ---- secrets ----

def secret_forms():
    """The upload password as the log could carry it: as text, as UTF-16 and inside a Basic header."""
    basic = base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
    return [PASSWORD.encode(), PASSWORD.encode("utf-16-le"), basic.encode(), PASSWORD.lower().encode()]


def assert_log_has_no_secret():
    if not LOG.exists():
        return
    data = LOG.read_bytes()
    lowered = data.lower()
    for form in secret_forms():
        assert form.lower() not in lowered, f"the log carries the upload password ({form!r})"


@pytest.fixture
def log_without_secrets():
    """Checks the whole log after the test, before the next one resets the data folder."""
    yield
    assert_log_has_no_secret()
