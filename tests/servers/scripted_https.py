"""An HTTPS server that answers a fixed sequence of responses and records every request it gets
(method, path as received, headers, body). It stands for the back end where a test needs exact
statuses and challenges.

    with ScriptedHttpsServer([Reply(401, {"WWW-Authenticate": 'Basic realm="x"'}), Reply(201)]) as server:
        ...
        server.requests  # [Request(method="PUT", path="/ostrel%5Cx.zip", ...), ...]
"""
import http.server
import ssl
import threading
from dataclasses import dataclass, field
from urllib.parse import urlsplit

from servers.common import LOOPBACK, SERVER_CERT, SERVER_KEY, InThreadServer


@dataclass
class Reply:
    status: int
    headers: dict = field(default_factory=dict)
    body: bytes = b""


@dataclass
class Request:
    method: str
    path: str       # the request target exactly as it came
    headers: dict   # names in lower case
    body: bytes

    @property
    def object_name(self):
        """The path of the target, also when a proxy tunnel made it absolute (https://host/path)."""
        if self.path.startswith("/"):
            return self.path
        return urlsplit(self.path).path


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        reply = self.server.scripted.record(Request(self.command, self.path,
                                                    {k.lower(): v for k, v in self.headers.items()}, body))
        self.send_response(reply.status)
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(reply.body)))
        self.end_headers()
        if self.command != "HEAD" and reply.body:
            self.wfile.write(reply.body)

    do_GET = do_HEAD = do_PUT = do_POST = do_DELETE = _answer


class _TlsServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, context, scripted):
        self.context = context
        self.scripted = scripted
        super().__init__(address, _Handler)

    def finish_request(self, request, client_address):
        # The handshake runs in the request's thread, so a slow client cannot hold up the others.
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(tls, client_address)


class ScriptedHttpsServer(InThreadServer):
    """Answers requests with `replies` in order; once they run out the last one is repeated."""

    def __init__(self, replies, port=443, cert=SERVER_CERT, key=SERVER_KEY):
        self.replies = list(replies) or [Reply(201)]
        self.port = port
        self.requests = []
        self._lock = threading.Lock()
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(str(cert), str(key))

    def record(self, request):
        with self._lock:
            index = len(self.requests)
            self.requests.append(request)
            return self.replies[min(index, len(self.replies) - 1)]

    def make_server(self):
        return _TlsServer((LOOPBACK, self.port), self._context, self)
