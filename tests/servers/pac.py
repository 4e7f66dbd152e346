"""A server of one proxy auto-config script over plain HTTP on loopback; it records each fetch.

    with PacServer('function FindProxyForURL(url, host) { return "DIRECT"; }') as pac:
        pac.url        # http://127.0.0.1:<port>/proxy.pac
        pac.fetches    # paths fetched
"""
import http.server

from servers.common import LOOPBACK, InThreadServer, free_port

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


class PacServer(InThreadServer):
    def __init__(self, script, port=None, path="/proxy.pac"):
        self.script = script
        self.port = port or free_port()
        self.path = path
        self.fetches = []

    @property
    def url(self):
        return f"http://{LOOPBACK}:{self.port}{self.path}"

    def make_server(self):
        server = http.server.ThreadingHTTPServer((LOOPBACK, self.port), _Handler)
        server.daemon_threads = True
        server.pac = self
        return server
