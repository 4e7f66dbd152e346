"""Where the upload goes: over TLS whenever the endpoint URL's scheme is https, whatever its port (a
variant of the program built for https://localhost:8443/ostrel against nginx serving only TLS there),
and never on to where a redirect points (a back end that answers the PUT with 307 and a Location on
another server of ours, which must receive nothing)."""
import re
import sys

import pytest

from hardening_support import fresh_start, log_without_secrets, own_nginx, run_bounded  # noqa: F401
from vondrel_env import AGENT, BUILD_DIR, CACHE, DRIVE_C, SOURCE_DIR, UPLOAD, LogTail, upload_archives, wine, winpath

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.common import free_port  # noqa: E402
from servers.scripted_https import Reply, ScriptedHttpsServer  # noqa: E402

pytestmark = pytest.mark.usefixtures("log_without_secrets")

PORT8443_EXE = BUILD_DIR / "tools" / "port8443" / "Vondrel.exe"
STORE_WIN = "C:\\EndpointQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
OLD_CACHE = b"{0B0B0B0B-0000-0000-0000-000000000001}\r\n"
UPLOADING = re.compile(r"Uploading file (C:\\ProgramData\\Norvane\\Vondrel\\Upload\\(vdrel_\w+\.zip)) to Norvane backend")


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE, [("C:\\Users\\u\\endpoint.bin", b"sample for the back end")])
    UPLOAD.mkdir(parents=True)
    CACHE.write_bytes(OLD_CACHE)
    yield


def archive_of(lines):
    [m] = [m for m in map(UPLOADING.fullmatch, lines) if m]
    return m.group(1), m.group(2)


def test_an_https_endpoint_on_port_8443_is_reached_over_tls(tmp_path):
    # nginx listens with TLS only: a request sent in clear text would get 400 and fail the run.
    with own_nginx(tmp_path / "received", port=8443) as server:
        tail = LogTail()
        result = wine(AGENT, winpath(PORT8443_EXE), *ARGS, timeout=120)
        assert result.returncode == 0, result.stderr[-3000:]
        received = server.received()
    lines = tail.lines()
    path, name = archive_of(lines)
    assert [f"Successfully uploaded file {path}", f"Successfully uploaded file {path} to Norvane backend"] == \
        [l for l in lines if l.startswith("Successfully uploaded")]
    assert list(received) == [f"ostrel\\{name}"]
    assert CACHE.read_bytes().startswith(OLD_CACHE) and CACHE.read_bytes() != OLD_CACHE
    assert upload_archives() == []


def test_a_redirect_is_not_followed():
    with ScriptedHttpsServer([Reply(201)], port=free_port()) as elsewhere:
        location = f"https://localhost:{elsewhere.port}/ostrel/elsewhere"
        with ScriptedHttpsServer([Reply(307, {"Location": location})]) as backend:
            tail = LogTail()
            code, stderr = run_bounded(*ARGS)
            assert code == 1, stderr[-3000:]
    lines = tail.lines()
    path, name = archive_of(lines)
    assert [(r.method, r.object_name) for r in backend.requests] == [("PUT", f"/ostrel%5C{name}")]
    assert len(backend.requests[0].body) > 0
    assert elsewhere.requests == []
    assert lines[lines.index("Upload status 100 %") + 1:] == [
        "Unknown status code received during file upload",
        f"Failed to upload file {path}, 0x0",
        f"Failed to upload file {path} to Norvane backend",
        f"Successfully deleted zip file {path}",
        "Stopping Vondrel.exe utility"]
    assert CACHE.read_bytes() == OLD_CACHE
    assert upload_archives() == []
