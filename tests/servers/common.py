"""What the test servers share: the test PKI, free loopback ports and waiting for a server to listen."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("VONDREL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
PKI = SOURCE_DIR / "tests" / "pki"
SERVER_CERT = PKI / "server.pem"
SERVER_KEY = PKI / "server.key"
LOOPBACK = "127.0.0.1"


def free_port():
    """A loopback port that nothing listens on at the moment."""
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def wait_for_port(port, process=None, timeout=20.0, what="server"):
    """Waits until something accepts connections on the loopback port; fails early when the process
    that should listen has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{what} ended with {process.returncode} before listening on {port}")
        try:
            with socket.create_connection((LOOPBACK, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"{what} is not listening on {port} after {timeout} s")


def _listening_inodes(port):
    """The socket inodes listening on the loopback port (IPv4 and IPv6 tables)."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = Path(table).read_text().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            local, state, inode = fields[1], fields[3], fields[9]
            if state == "0A" and int(local.rsplit(":", 1)[1], 16) == port:
                inodes.add(inode)
    return inodes


def listener_pids(port):
    """The processes that hold a socket listening on the port."""
    wanted = {f"socket:[{inode}]" for inode in _listening_inodes(port)}
    pids = set()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            for fd in (entry / "fd").iterdir():
                if os.readlink(fd) in wanted:
                    pids.add(int(entry.name))
                    break
        except OSError:
            continue
    return pids


def _parent_of(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rsplit(")", 1)[1].split()[1])


def check_own_listener(port, root_pid, what="server"):
    """Raises unless every listener on the port is root_pid or one of its descendants: a server a test
    reaches on a shared port must be the one the test started."""
    holders = listener_pids(port)
    foreign = set()
    for pid in holders:
        ancestor = pid
        while ancestor not in (None, 0, 1, root_pid):
            ancestor = _parent_of(ancestor)
        if ancestor != root_pid:
            foreign.add(pid)
    if not holders or foreign:
        raise RuntimeError(f"port {port} is not held by our {what} (pid {root_pid}) but by {sorted(foreign)}")


def stop_process(process, stop_signal=signal.SIGTERM, timeout=15.0):
    """Ends a server process that we started: its own stop signal first, then a kill."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(stop_signal)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout)


class ServerThread:
    """A socketserver serving in a daemon thread of the test process until stopped."""

    def __init__(self, server):
        self.server = server
        check_own_listener(server.server_address[1], os.getpid(), type(server).__name__)
        self._thread = threading.Thread(target=server.serve_forever, daemon=True)
        self._thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self._thread.join(10)


class InThreadServer:
    """A test server of ours that serves in a ServerThread: subclasses build the socketserver in
    make_server(); start() and stop(), or a with block, run it."""

    _serving = None

    def make_server(self):
        raise NotImplementedError

    def start(self):
        self._serving = ServerThread(self.make_server())
        return self

    def stop(self):
        if self._serving is not None:
            self._serving.stop()
            self._serving = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ServerProcess:
    """A server program of ours with a private folder for its configuration and logs; subclasses
    write the configuration in start() and launch the program with _launch()."""

    stop_signal = signal.SIGTERM
    log_names = ("stderr.log",)  # in the work folder, shown when the server does not come up

    def __init__(self):
        self.work = None
        self._process = None

    def _make_work(self, prefix):
        self.work = Path(tempfile.mkdtemp(prefix=prefix))
        return self.work

    def _launch(self, command, port, what, timeout=20.0):
        self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=open(self.work / "stderr.log", "wb"))
        try:
            wait_for_port(port, self._process, timeout=timeout, what=what)
            check_own_listener(port, self._process.pid, what)
        except RuntimeError as error:
            log = self.log()
            self.stop()
            raise RuntimeError(f"{error}: {log}") from None

    def log(self):
        parts = [(self.work / name).read_text(errors="replace") for name in self.log_names
                 if (self.work / name).exists()]
        return "\n".join(parts)

    def work_lines(self, name):
        """The lines of a file in the work folder, none while it does not exist."""
        path = self.work / name
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def stop(self):
        stop_process(self._process, self.stop_signal)
        self._process = None
        if self.work is not None:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
