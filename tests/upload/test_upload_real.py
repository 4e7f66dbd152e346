"""The real upload under Wine: upload_tool.exe (the run's upload with the built-in endpoint and
credentials) against a scripted HTTPS server and nginx on 127.0.0.1:443, through squid, with PAC
scripts served on loopback."""
import base64

import pytest

from e2e.vondrel_env import BUILD_DIR, DATA, LogTail, wine, winpath
from servers.nginx import NginxBackend
from servers.pac import PacServer, proxy_script
from servers.scripted_https import Reply, ScriptedHttpsServer
from servers.squid import SquidProxy
from upload_settings import settings

TOOL = BUILD_DIR / "tools" / "upload_tool.exe"
SETTINGS = settings(BUILD_DIR)
USER = SETTINGS["user"]
PASSWORD = SETTINGS["password"]
BASIC = "Basic " + base64.b64encode(f"{USER}:{PASSWORD}".encode()).decode()
LIMIT = 52428800
ARCHIVE_NAME = "vdrel_3FA2C41B0D97_120526_142530.zip"
OBJECT_NAME = "/ostrel%5C" + ARCHIVE_NAME  # the "\" before the file name, as WinHTTP encodes it

SENDING = "Uploading samples to Norvane back-end"
ALL_SENT = "Upload status 100 %"
NO_DETECTION = "No auto proxy configuration info found, 0x2f94"
DIRECT = "Using direct connection for communication"
UNKNOWN = "Unknown status code received during file upload"
BASIC_CHALLENGE = {"WWW-Authenticate": 'Basic realm="Ostrel"'}


@pytest.fixture(autouse=True)
def data_folder():
    """The upload tool logs into the data folder but, unlike Vondrel.exe, does not create it."""
    DATA.mkdir(parents=True, exist_ok=True)


def make_archive(folder, size):
    path = folder / ARCHIVE_NAME
    path.write_bytes(bytes((i * 7 + i // 251) & 0xFF for i in range(size)) if size < 4 << 20
                     else (b"PK\x03\x04" + bytes(range(256)) * (size // 256 + 1))[:size])
    return path


def upload(archive, *options):
    """Runs the tool; returns its exit code and the log lines it wrote."""
    tail = LogTail()
    code = wine(TOOL, winpath(archive), *options).returncode
    return code, tail.lines()


def uploading(archive):
    return f"Uploading file {winpath(archive)}"


def uploaded(archive):
    return f"Successfully uploaded file {winpath(archive)}"


def failed_prefix(archive):
    return f"Failed to upload file {winpath(archive)}, 0x"


def test_an_archive_goes_out_in_256_kib_chunks_as_one_authenticated_put(tmp_path):
    archive = make_archive(tmp_path, 600000)
    with ScriptedHttpsServer([Reply(201)]) as server:
        code, lines = upload(archive)
    assert code == 0
    assert lines == [uploading(archive), NO_DETECTION, DIRECT, SENDING, "Upload status 43 %", "Upload status 87 %",
                     ALL_SENT, uploaded(archive)]
    [request] = server.requests
    assert (request.method, request.path) == ("PUT", OBJECT_NAME)
    assert request.headers["authorization"] == BASIC
    assert request.headers["content-length"] == "600000"
    assert request.body == archive.read_bytes()


@pytest.mark.parametrize("size, sent", [(LIMIT, True), (LIMIT + 1, False)])
def test_the_limit_is_50_mib(tmp_path, size, sent):
    archive = make_archive(tmp_path, size)
    with ScriptedHttpsServer([Reply(201)]) as server:
        code, lines = upload(archive)
    if sent:
        assert code == 0 and lines[-1] == uploaded(archive)
        assert [len(r.body) for r in server.requests] == [LIMIT]
        assert server.requests[0].body == archive.read_bytes()
    else:
        assert code == 1
        assert lines == [uploading(archive),
                         "Zip file size is more than permissible upload limit, aborting file upload"]
        assert server.requests == []


@pytest.mark.parametrize("replies, code, tail, sends", [
    ([Reply(201)], 0, [SENDING, ALL_SENT], 1),
    ([Reply(200)], 0, [SENDING, ALL_SENT], 1),
    ([Reply(401, BASIC_CHALLENGE), Reply(201)], 0, [SENDING, ALL_SENT, SENDING, ALL_SENT], 2),
    ([Reply(401, BASIC_CHALLENGE)], 1, [SENDING, ALL_SENT, SENDING, ALL_SENT, "Unable to upload sample 401"], 2),
    ([Reply(500)], 1, [SENDING, ALL_SENT, UNKNOWN], 1),
    ([Reply(403)], 1, [SENDING, ALL_SENT, UNKNOWN], 1),
], ids=["201", "200", "401-then-201", "401-twice", "500", "403"])
def test_statuses_decide_the_outcome(tmp_path, replies, code, tail, sends):
    archive = make_archive(tmp_path, 1000)
    with ScriptedHttpsServer(replies) as server:
        got, lines = upload(archive)
    assert got == code
    assert lines[:3] == [uploading(archive), NO_DETECTION, DIRECT]
    assert lines[3:-1] == tail
    if code == 0:
        assert lines[-1] == uploaded(archive)
    else:
        assert lines[-1] == failed_prefix(archive) + "0"
    assert [(r.method, r.path) for r in server.requests] == [("PUT", OBJECT_NAME)] * sends
    # The answer to the challenge carries the built-in credentials.
    assert server.requests[-1].headers.get("authorization") == BASIC


def test_nginx_keeps_the_archive_under_its_object_name(tmp_path):
    archive = make_archive(tmp_path, 300000)
    with NginxBackend(tmp_path / "received", USER, PASSWORD) as backend:
        code, lines = upload(archive)
        received = backend.received()
    assert code == 0, lines
    assert lines[-1] == uploaded(archive)
    assert received == {"ostrel\\" + ARCHIVE_NAME: archive.read_bytes()}


def test_nginx_refusing_our_credentials_fails_after_the_second_401(tmp_path):
    archive = make_archive(tmp_path, 1000)
    with NginxBackend(tmp_path / "received", "someone-else", "other", port=443) as backend:
        code, lines = upload(archive)
        received = backend.received()
    assert code == 1
    assert lines[-2:] == ["Unable to upload sample 401", failed_prefix(archive) + "0"]
    assert received == {}


def proxied(proxy):
    return ["Trying proxy " + proxy.address, "Using proxy for communication"]


def test_through_an_explicit_proxy_the_back_end_sees_head_then_put(tmp_path):
    archive = make_archive(tmp_path, 1000)
    with ScriptedHttpsServer([Reply(404), Reply(201)]) as server, SquidProxy() as proxy:
        code, lines = upload(archive, "--Proxy-server=127.0.0.1", f"--Proxy-port={proxy.port}")
        tunnels = proxy.requests()
    assert code == 0, lines
    assert lines == [uploading(archive), "Proxy is enabled for communication", *proxied(proxy),
                     SENDING, ALL_SENT, uploaded(archive)]
    assert [(r.method, r.object_name) for r in server.requests] == [("HEAD", OBJECT_NAME), ("PUT", OBJECT_NAME)]
    assert server.requests[1].body == archive.read_bytes()
    assert ("CONNECT", "localhost:443", "TCP_TUNNEL/200") in tunnels


def test_a_proxy_demanding_credentials_fails_the_upload(tmp_path):
    archive = make_archive(tmp_path, 1000)
    with ScriptedHttpsServer([Reply(201)]) as server, SquidProxy(users={"proxy-user": "proxy-pass"}) as proxy:
        code, lines = upload(archive, "--Proxy-server=127.0.0.1", f"--Proxy-port={proxy.port}")
        tunnels = proxy.requests()
    assert code == 1
    assert lines[:-1] == [uploading(archive), "Proxy is enabled for communication", *proxied(proxy)]
    # The error of the call that failed, not a stale or empty one.
    assert lines[-1].startswith(failed_prefix(archive)) and lines[-1] != failed_prefix(archive) + "0"
    assert server.requests == []
    assert tunnels and all(status == "TCP_DENIED/407" for _, _, status in tunnels)


def test_a_pac_script_naming_the_proxy_is_used(tmp_path):
    archive = make_archive(tmp_path, 1000)
    with ScriptedHttpsServer([Reply(404), Reply(201)]) as server, SquidProxy() as proxy, \
            PacServer(proxy_script(f"PROXY {proxy.address}")) as pac:
        code, lines = upload(archive, f"--Config-script={pac.url}")
        tunnels = proxy.requests()
    assert code == 0, lines
    assert lines == [uploading(archive), "Using proxy auto config script", f"Using pac file URL {pac.url}",
                     *proxied(proxy), SENDING, ALL_SENT, uploaded(archive)]
    assert pac.fetches
    assert [(r.method, r.object_name) for r in server.requests] == [("HEAD", OBJECT_NAME), ("PUT", OBJECT_NAME)]
    assert ("CONNECT", "localhost:443", "TCP_TUNNEL/200") in tunnels


def test_a_pac_script_answering_direct_falls_back_to_detection_then_direct(tmp_path):
    archive = make_archive(tmp_path, 1000)
    with ScriptedHttpsServer([Reply(404), Reply(201)]) as server, PacServer(proxy_script("DIRECT")) as pac:
        code, lines = upload(archive, f"--Config-script={pac.url}")
    assert code == 0, lines
    assert lines[:3] == [uploading(archive), "Using proxy auto config script", f"Using pac file URL {pac.url}"]
    assert lines[3].startswith("Unable to get proxy configuration using PAC file, 0x")
    assert lines[4:] == [NO_DETECTION, DIRECT, SENDING, ALL_SENT, uploaded(archive)]
    # A script was given, so the HEAD still comes first.
    assert [(r.method, r.path) for r in server.requests] == [("HEAD", OBJECT_NAME), ("PUT", OBJECT_NAME)]


@pytest.mark.parametrize("program", [BUILD_DIR / "Vondrel.exe", TOOL], ids=["Vondrel.exe", "upload_tool.exe"])
def test_the_credentials_are_not_in_the_program(program):
    image = program.read_bytes()
    for secret in (USER, PASSWORD):
        assert secret.encode("utf-8") not in image
        assert secret.encode("utf-16-le") not in image
