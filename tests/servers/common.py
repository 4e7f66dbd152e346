"""What the test servers share: the test PKI, free loopback ports and waiting for a server to listen."""
import os
import socket
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


def stop_process(process, timeout=15.0):
    """Ends a server process that we started: a polite signal first, then a kill."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout)
    except Exception:
        process.kill()
        process.wait(timeout)
