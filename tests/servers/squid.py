"""squid as the real proxy on loopback, either open to local clients or demanding Basic
authentication (so that it answers 407). Its access log tells which requests went through it.

    with SquidProxy() as proxy:                      # no authentication
    with SquidProxy(users={"u": "p"}) as proxy:      # Basic authentication
        proxy.port, proxy.requests()                 # [("CONNECT", "localhost:443", "TCP_TUNNEL/200"), ...]
"""
import os
import pwd
import signal
import subprocess
import time

from servers.common import LOOPBACK, ServerProcess, free_port

SQUID = "/usr/sbin/squid"
BASIC_AUTH_HELPER = "/usr/lib/squid/basic_ncsa_auth"
HTPASSWD = "/usr/bin/htpasswd"
SQUID_USER = "proxy"

_CONFIG = """\
http_port {host}:{port}
pid_filename {work}/squid.pid
cache_log {work}/cache.log
access_log stdio:{work}/access.log
cache_store_log none
netdb_filename none
coredump_dir {work}
cache deny all
cache_effective_user {user}
shutdown_lifetime 0 seconds
buffered_logs off
acl SSL_ports port 443 1025-65535
acl CONNECT method CONNECT
http_access deny CONNECT !SSL_ports
{access}
http_access deny all
"""

_OPEN_ACCESS = "http_access allow localhost"

_AUTH_ACCESS = """\
auth_param basic program {helper} {work}/passwd
auth_param basic realm Vondrel test proxy
acl authenticated proxy_auth REQUIRED
http_access allow localhost authenticated"""


class SquidProxy(ServerProcess):
    """An HTTP proxy on a free loopback port; with `users`, only they get through (Basic)."""

    stop_signal = signal.SIGINT
    log_names = ("stderr.log", "cache.log")

    def __init__(self, users=None, port=None):
        super().__init__()
        self.users = dict(users or {})
        self.port = port or free_port()

    @property
    def address(self):
        return f"{LOOPBACK}:{self.port}"

    def start(self):
        # squid drops to its own user, who must be able to write its logs and pid file.
        self._make_work("vondrel-squid-")
        account = pwd.getpwnam(SQUID_USER)
        os.chown(self.work, account.pw_uid, account.pw_gid)
        access = _OPEN_ACCESS
        if self.users:
            self._write_passwords()
            access = _AUTH_ACCESS.format(helper=BASIC_AUTH_HELPER, work=self.work)
        config = self.work / "squid.conf"
        config.write_text(_CONFIG.format(host=LOOPBACK, port=self.port, work=self.work, user=SQUID_USER,
                                         access=access))
        self._launch([SQUID, "-N", "-f", str(config)], self.port, "squid", timeout=30)
        return self

    def _write_passwords(self):
        passwd = self.work / "passwd"
        for index, (user, password) in enumerate(self.users.items()):
            flags = ["-b", "-c"] if index == 0 else ["-b"]
            subprocess.run([HTPASSWD, *flags, str(passwd), user, password], check=True, capture_output=True)
        account = pwd.getpwnam(SQUID_USER)
        os.chown(passwd, account.pw_uid, account.pw_gid)

    def requests(self, timeout=60.0):
        """(method, URL, result/status) of every client request in the access log. squid writes a line
        when a request ends, some time after the client is done: this waits until there is a first one
        (the start-up probe left out) and raises when none comes within timeout."""
        deadline = time.monotonic() + timeout
        while True:
            found = self._logged_requests()
            if found:
                return found
            if time.monotonic() >= deadline:
                raise RuntimeError(f"squid logged no request within {timeout} s")
            time.sleep(0.1)

    def access_log(self):
        """The access log's lines as squid wrote them."""
        return self.work_lines("access.log")

    def _logged_requests(self):
        out = []
        for line in self.access_log():
            fields = line.split()
            if len(fields) >= 7 and fields[5] != "-":
                out.append((fields[5], fields[6], fields[3]))
        return out
