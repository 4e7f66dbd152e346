"""nginx as the real back end: HTTPS with the test server certificate on 127.0.0.1:443, Basic
authentication, and PUT into a folder through its DAV module, which keeps every file it receives.

    with NginxBackend(tmp_path / "received", "user", "password") as backend:
        ...
        backend.received()  # {"ostrel\\vdrel_....zip": b"PK..."}
"""
import subprocess
import time
from pathlib import Path

from servers.common import LOOPBACK, SERVER_CERT, SERVER_KEY, ServerProcess

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


class NginxBackend(ServerProcess):
    """Takes PUT requests under `location` into `root` for the one user it knows."""

    log_names = ("stderr.log", "error.log")

    def __init__(self, root, user, password, port=443, location="/ostrel", cert=SERVER_CERT, key=SERVER_KEY):
        super().__init__()
        self.root = Path(root)
        self.user = user
        self.password = password
        self.port = port
        self.location = location
        self.cert = cert
        self.key = key

    def start(self):
        self.root.mkdir(parents=True, exist_ok=True)
        self._make_work("vondrel-nginx-")
        subprocess.run([HTPASSWD, "-b", "-c", "-B", str(self.work / "htpasswd"), self.user, self.password],
                       check=True, capture_output=True)
        config = self.work / "nginx.conf"
        config.write_text(_CONFIG.format(work=self.work, host=LOOPBACK, port=self.port, cert=self.cert,
                                         key=self.key, root=self.root, location=self.location))
        self._launch([NGINX, "-p", str(self.work), "-c", str(config)], self.port, "nginx")
        return self

    def access_log(self):
        return self.work_lines("access.log")

    def received(self):
        """Every file the back end has kept, by its path under root."""
        return {str(p.relative_to(self.root)): p.read_bytes() for p in self.root.rglob("*") if p.is_file()}

    def wait_for_files(self, count, timeout=60.0):
        """Waits until the back end has kept count files (nginx moves each into place whole once its
        body is in); raises when that takes longer than timeout."""
        deadline = time.monotonic() + timeout
        while len(self.received()) < count:
            if time.monotonic() > deadline:
                raise RuntimeError(f"the back end kept {len(self.received())} files, not {count}, in {timeout} s")
            time.sleep(0.05)
        return self.received()
