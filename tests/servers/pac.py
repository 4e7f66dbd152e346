"""A server of one proxy auto-config script over plain HTTP on loopback; it records each fetch.

    with PacServer('function FindProxyForURL(url, host) { return "DIRECT"; }') as pac:
        pac.url        # http://127.0.0.1:<port>/proxy.pac
        pac.fetches    # paths fetched
"""
import http.server
import threading

from servers.common import LOOPBACK, free_port

PAC_CONTENT_TYPE = "application/x-ns-proxy-autoconfig"


def proxy_script(answer):
    """A script that gives `answer` ("DIRECT", "PROXY 127.0.0.1:3128", ...) for every URL."""
    return 'function FindProxyForURL(url, host) { return "%s"; }\n' % answer


class _Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server.pac
        server.fetches.append(self.path)
        body = server.script.encode()
        self.send_response(200)
        self.send_header("Content-Type", PAC_CONTENT_TYPE)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class PacServer:
    def __init__(self, script, port=None, path="/proxy.pac"):
        self.script = script
        self.port = port or free_port()
        self.path = path
        self.fetches = []
        self._server = None
        self._thread = None

    @property
    def url(self):
        return f"http://{LOOPBACK}:{self.port}{self.path}"

    def start(self):
        self._server = http.server.ThreadingHTTPServer((LOOPBACK, self.port), _Handler)
        self._server.daemon_threads = True
        self._server.pac = self
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(10)
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
