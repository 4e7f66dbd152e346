"""The upload password never reaches the log, also on the path where the credentials are used most:
a back end that refuses them answers 401 twice. (Every run of the hardening suites checks the whole
log the same way, through the log_without_secrets fixture.)"""
import sys

import pytest

from hardening_support import USER, assert_log_has_no_secret, fresh_start, run_bounded, secret_forms, wait_until_port_free
from vondrel_env import CACHE, DRIVE_C, LOG, SOURCE_DIR, LogTail

sys.path.insert(0, str(SOURCE_DIR / "tests"))
from servers.nginx import NginxBackend  # noqa: E402

STORE_WIN = "C:\\SecretQuarantine"
STORE = DRIVE_C / STORE_WIN[3:]
ARGS = ("--Email=soc@example.com", f"--Quarantine-Folder={STORE_WIN}")


@pytest.fixture(autouse=True)
def clean():
    fresh_start(STORE, [("C:\\Users\\u\\secret.bin", b"sample")])
    yield


def test_refused_credentials_leave_no_password_in_the_log(tmp_path):
    wait_until_port_free()
    with NginxBackend(tmp_path / "received", USER, "another-password") as server:
        tail = LogTail()
        code, stderr = run_bounded(*ARGS)
        assert code == 1, stderr
        assert server.received() == {}
    lines = tail.lines()
    assert "Unable to upload sample 401" in lines
    assert not CACHE.exists()
    assert_log_has_no_secret()


def test_the_check_finds_a_password_written_into_the_log():
    # The check itself: each form it looks for is found when it stands in the log.
    LOG.parent.mkdir(parents=True, exist_ok=True)
    for form in secret_forms():
        LOG.write_bytes(b"1:2:3 4-5-2026 header " + form + b"\r\n")
        with pytest.raises(AssertionError):
            assert_log_has_no_secret()
    LOG.unlink()
