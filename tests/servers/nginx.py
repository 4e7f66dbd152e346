"""nginx as the real back end: HTTPS with the test server certificate on 127.0.0.1:443, Basic
authentication, and PUT into a folder through its DAV module, which keeps every file it receives.

    with NginxBackend(tmp_path / "received", "user", "password") as backend:
        ...
        backend.received()  # {"ostrel\\vdrel_....zip": b"PK..."}
"""
import shutil
import subprocess
import tempfile
from pathlib import Path

from servers.common import LOOPBACK, SERVER_CERT, SERVER_KEY, stop_process, wait_for_port

NGINX = "/usr/sbin/nginx"
HTPASSWD = "/usr/bin/htpasswd"

_CONFIG = """\
daemon off;
master_process on;
worker_processes 1;
user root root;
pid {work}/nginx.pid;
error_log {work}/error.log info;
events {{ worker_connections 64; }}
http {{
    access_log {work}/access.log;
    client_body_temp_path {work}/body;
    proxy_temp_path {work}/proxy;
    fastcgi_temp_path {work}/fastcgi;
    uwsgi_temp_path {work}/uwsgi;
    scgi_temp_path {work}/scgi;
    server {{
        listen {host}:{port} ssl;
        server_name localhost;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        client_max_body_size 64m;
        root {root};
        location {location} {{
            auth_basic "Ostrel";
            auth_basic_user_file {work}/htpasswd;
            dav_methods PUT;
            create_full_put_path on;
            dav_access user:rw group:r all:r;
        }}
    }}
}}
"""


class NginxBackend:
    """Takes PUT requests under `location` into `root` for the one user it knows."""

    def __init__(self, root, user, password, port=443, location="/ostrel", cert=SERVER_CERT, key=SERVER_KEY):
        self.root = Path(root)
        self.user = user
        self.password = password
        self.port = port
        self.location = location
        self.cert = cert
        self.key = key
        self.work = None
        self._process = None

    def start(self):
        self.root.mkdir(parents=True, exist_ok=True)
        self.work = Path(tempfile.mkdtemp(prefix="vondrel-nginx-"))
        subprocess.run([HTPASSWD, "-b", "-c", "-B", str(self.work / "htpasswd"), self.user, self.password],
                       check=True, capture_output=True)
        config = self.work / "nginx.conf"
        config.write_text(_CONFIG.format(work=self.work, host=LOOPBACK, port=self.port, cert=self.cert,
                                         key=self.key, root=self.root, location=self.location))
        self._process = subprocess.Popen([NGINX, "-p", str(self.work), "-c", str(config)],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=open(self.work / "stderr.log", "wb"))
        try:
            wait_for_port(self.port, self._process, what="nginx")
        except RuntimeError as error:
            raise RuntimeError(f"{error}: {self.log()}") from None
        return self

    def stop(self):
        stop_process(self._process)
        self._process = None
        if self.work is not None:
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None

    def log(self):
        """nginx's own error log and its start-up output, for failure messages."""
        parts = [p.read_text(errors="replace") for p in (self.work / "stderr.log", self.work / "error.log")
                 if p.exists()]
        return "\n".join(parts)

    def access_log(self):
        path = self.work / "access.log"
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def received(self):
        """Every file the back end has kept, by its path under root."""
        return {str(p.relative_to(self.root)): p.read_bytes() for p in self.root.rglob("*") if p.is_file()}

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
