"""The upload trusts only a back end whose certificate chains to a trusted root, names the host of the
endpoint and is in date: nginx serves each refused certificate (tests/pki/make-bad-certs) and the run
must fail, log why, send nothing and leave the sent-item cache as it was."""
import re
import sys

import pytest

from hardening_support import fresh_start, log_without_secrets, own_nginx, run_bounded  # noqa: F401
from vondrel_env import CACHE, DRIVE_C, SOURCE_DIR, UPLOAD, LogTail, upload_archives

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.common import SERVER_CERT, SERVER_KEY  # noqa: E402

pytestmark = pytest.mark.usefixtures("log_without_secrets")

STORE_WIN = "C:\\TlsQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")
BAD = SOURCE_DIR / "tests" / "pki" / "bad"
OLD_CACHE = b"{0A0A0A0A-0000-0000-0000-000000000001}\r\n"
UPLOADING = re.compile(r"Uploading file (C:\\ProgramData\\Norvane\\Vondrel\\Upload\\vdrel_\w+\.zip) to Norvane backend")
# Ways WinHTTP reports a refused server certificate: a secure channel error (what Wine gives for all
# three), the secure failure, an invalid CA, a name that does not match, a date out of range.
CERTIFICATE_ERRORS = {12157, 12175, 12045, 12038, 12037}


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE, [("C:\\Users\\u\\tls.bin", b"sample for the back end")])
    UPLOAD.mkdir(parents=True)
    CACHE.write_bytes(OLD_CACHE)
    yield


def backend(tmp_path, cert, key):
    return own_nginx(tmp_path / "received", cert=cert, key=key)


@pytest.mark.parametrize("certificate", ["untrusted", "otherhost", "expired"])
def test_a_back_end_with_a_refused_certificate_gets_nothing(tmp_path, certificate):
    with backend(tmp_path, BAD / f"{certificate}.pem", BAD / f"{certificate}.key") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS)
        assert code == 1, stderr
        requests = server.access_log()
        received = server.received()
    lines = tail.lines()
    [archive] = [m.group(1) for m in map(UPLOADING.fullmatch, lines) if m]
    failure = re.compile(re.escape(f"Failed to upload file {archive}, 0x") + "([0-9a-f]+)")
    [error] = [int(m.group(1), 16) for m in map(failure.fullmatch, lines) if m]
    assert error in CERTIFICATE_ERRORS, lines
    assert f"Failed to upload file {archive} to Norvane backend" in lines
    assert requests == [] and received == {}  # not even a request line reached the server
    assert CACHE.read_bytes() == OLD_CACHE
    assert upload_archives() == []


def test_the_same_back_end_with_the_good_certificate_takes_the_archive(tmp_path):
    # The check above is only worth something if this very setting succeeds with the right certificate.
    with backend(tmp_path, SERVER_CERT, SERVER_KEY) as server:
        code, stderr = run_bounded(*ARGS)
        assert code == 0, stderr
        assert len(server.received()) == 1
    assert CACHE.read_bytes() != OLD_CACHE and CACHE.read_bytes().startswith(OLD_CACHE)
