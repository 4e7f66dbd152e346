"""The demo behind scripts/demo: one real submission to the local back end, then a second run that
finds nothing new."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tests" / "e2e")]

from sample_store import QFile, QItem, make_store  # noqa: E402
from servers.nginx import NginxBackend  # noqa: E402
from servers.squid import SquidProxy  # noqa: E402
from vondrel_env import (BUILD_DIR, DRIVE_C, LogTail, legacy_writer, run_vondrel, set_agent_guid,  # noqa: E402
                         unzip)

from upload_settings import PASSWORD, USER  # noqa: E402
STORE = DRIVE_C / "Quarantine"
EMAIL = "soc@example.com"


def heading(text):
    print(f"\n== {text}")


def sample_items():
    return [
        QItem(detection="Trojan.Win32.Agent", files=[
            QFile("C:\\Users\\alice\\Downloads\\invoice.exe", b"MZ" + bytes(range(256)) * 64),
            QFile("C:\\Users\\alice\\AppData\\Roaming\\invoice.dll", b"MZ\x90\x00" * 2048)]),
        QItem(detection="Exploit.PDF.Generic", virus_type=3, files=[
            QFile("C:\\Users\\Jos\u00e9\\Documents\\R\u00e9sum\u00e9_\u00c5ngstr\u00f6m.pdf", b"%PDF-1.4\n" + b"0" * 3000,
                  actor="C:\\Program Files\\Reader\\reader.exe")]),
        QItem(detection="Backdoor.Legacy", created="2019-11-02 23:59:58", files=[
            QFile("C:\\Windows\\Temp\\svch0st.exe", b"MZ legacy compound backup content" * 40, legacy=True)]),
        QItem(detection="Adware.RunKey", registry=[
            ("HKCU", "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "updater", 1, "C:\\x\\updater.exe")]),
    ]


def show_run(title, args):
    heading(title)
    print("scripts/vondrel " + " ".join(args))
    tail = LogTail()
    code = run_vondrel(*args)
    print(f"exit code: {code}")
    print("log:")
    for line in tail.lines():
        print("   ", line)
    return code


def show_received(backend):
    heading("what the back end received")
    received = backend.received()
    if not received:
        print("nothing")
        return
    for name, data in received.items():
        print(f"{name}: {len(data)} bytes")
        with tempfile.TemporaryDirectory() as work:
            archive = Path(work, "upload.zip")
            archive.write_bytes(data)
            # unzip prints UTF-8 flagged names in the locale's character set.
            listing = subprocess.run(["unzip", "-l", str(archive)], capture_output=True,
                                     env=dict(os.environ, LC_ALL="C.UTF-8")).stdout
            print(listing.decode("utf-8", errors="replace"))
            out = unzip(archive, Path(work, "out"))
            for doc in ("quarantined_metadata.json", "Ostrel.xml"):
                print(f"--- {doc}")
                print((out / doc).read_bytes().decode("latin-1").replace("\r\n", "\n"))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--proxy", action="store_true", help="send the upload through a local squid")
    options = parser.parse_args()

    heading("a sample quarantine store at C:\\Quarantine")
    if STORE.exists():
        shutil.rmtree(STORE)
    items = sample_items()
    make_store(STORE, "C:\\Quarantine", items, legacy_writer())
    for item in items:
        what = ", ".join(f.original for f in item.files) or "registry rows only"
        print(f"  {item.registry_text} {item.detection}: {what}")
    set_agent_guid("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}")

    received_dir = BUILD_DIR / "demo" / "received"
    if received_dir.exists():
        shutil.rmtree(received_dir)
    args = [f"--Email={EMAIL}"]
    with NginxBackend(received_dir, USER, PASSWORD) as backend:
        proxy = SquidProxy().start() if options.proxy else None
        try:
            if proxy:
                args += ["--Proxy-server=127.0.0.1", f"--Proxy-port={proxy.port}"]
            first = show_run("first run: every item is new", args)
            show_received(backend)
            second = show_run("second run: nothing new, nothing sent twice", args)
            if proxy:
                heading("through the proxy")
                for line in proxy.access_log():
                    print("   ", line)
        finally:
            if proxy:
                proxy.stop()
        count = len(backend.received())
    heading("summary")
    print(f"first run exit code {first}, second run exit code {second}, archives received: {count}")
    return 0 if first == 0 and second == 0 and count == 1 else 1


if __name__ == "__main__":
    sys.exit(main())
