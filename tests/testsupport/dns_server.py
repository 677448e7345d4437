#!/usr/bin/env python3
"""A DNS server of the tests' own (dnsmasq): its own folder and hosts file, loopback only, on a free
port, never the system's service, its configuration or its resolv.conf.

It answers PTR (and A/AAAA) questions from its hosts file alone, with the TTL given, and NXDOMAIN
for every other reverse name (it asks no other server). Every question it gets is logged, so a test
can count what reached it.

As a module:
    with DnsServer(hosts={"203.0.113.7": "mail.example.org"}, ttl=600) as server:
        server.address      # "127.0.0.1:PORT"
        server.queries()    # [("PTR", "7.113.0.203.in-addr.arpa"), ...], oldest first

As a command, for test programs that want a server from the test runner:
    dns_server.py run -- COMMAND ARGS...
starts a server with DEFAULT_HOSTS and DEFAULT_TTL, runs COMMAND with NFC_DNS_SERVER=127.0.0.1:PORT
and NFC_DNS_QUERY_LOG (the server's log, one "query[TYPE] NAME from ..." line per question), stops
and removes the server and exits with COMMAND's status.

DEFAULT_HOSTS (TTL 600 s):
    203.0.113.7     mail.example.org
    198.51.100.20   www.example.net
    198.51.100.21   cache.example.net
    2001:db8::10    v6host.example.org
    192.0.2.33      sixty-three-octets-make-the-longest-label-a-name-may-have-00063.example.org
Addresses not listed (192.0.2.99, 2001:db8::99, ...) have no name: NXDOMAIN.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from server_harness import ServerProcess, dying_with, free_ports, port_taken, run_with_server

DNSMASQ = "/usr/sbin/dnsmasq"
INSTALL_HINT = "scripts/install-deps.sh --test installs it (Debian package dnsmasq-base)"
START_TIMEOUT = 20
STOP_TIMEOUT = 10
DEFAULT_TTL = 600
DEFAULT_HOSTS = {
    "203.0.113.7": "mail.example.org",
    "198.51.100.20": "www.example.net",
    "198.51.100.21": "cache.example.net",
    "2001:db8::10": "v6host.example.org",
    "192.0.2.33": "sixty-three-octets-make-the-longest-label-a-name-may-have-00063.example.org",
}
_QUERY = re.compile(r"query\[(\w+)\] (\S+) from ")


def server_binary():
    """dnsmasq's path, or None when it is not installed. NFC_DNSMASQ names another binary."""
    chosen = os.environ.get("NFC_DNSMASQ")
    if chosen:
        return chosen if os.access(chosen, os.X_OK) else None
    if os.access(DNSMASQ, os.X_OK):
        return DNSMASQ
    return shutil.which("dnsmasq")


def available():
    return server_binary() is not None


class DnsServer(ServerProcess):
    """One dnsmasq in a temporary folder of its own; cleanup() (or leaving the with block) stops it
    and removes the folder."""

    stop_timeout = STOP_TIMEOUT

    def __init__(self, hosts=None, ttl=DEFAULT_TTL, log_queries=True, parent=None):
        super().__init__()
        self.binary = server_binary()
        self.hosts = dict(DEFAULT_HOSTS if hosts is None else hosts)
        self.ttl = ttl
        self.log_queries = log_queries
        self.parent = parent
        self.port = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    @property
    def log_path(self):
        return os.path.join(self.dir, "dnsmasq.log")

    def start(self):
        if self.binary is None:
            raise RuntimeError("dnsmasq is not installed; " + INSTALL_HINT)
        if self.running():
            return self
        self.dir = tempfile.mkdtemp(prefix="nfc-dns-", dir=self.parent)
        # Readable to whatever user dnsmasq ends up as; the log is written by this side of a pipe.
        os.chmod(self.dir, 0o755)
        hosts_file = os.path.join(self.dir, "hosts")
        with open(hosts_file, "w") as f:
            for address, name in self.hosts.items():
                f.write("%s %s\n" % (address, name))
        os.chmod(hosts_file, 0o644)
        # dnsmasq takes the port for TCP as well as UDP.
        self.port = free_ports(udp=True, tcp=True)[0]
        command = [
            self.binary, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
            "--no-poll", "--addn-hosts=" + hosts_file, "--listen-address=127.0.0.1", "--bind-interfaces",
            "--port=%d" % self.port, "--local=/in-addr.arpa/", "--local=/ip6.arpa/",
            "--local-ttl=%d" % self.ttl, "--neg-ttl=%d" % self.ttl, "--cache-size=0",
            "--pid-file=" + os.path.join(self.dir, "dnsmasq.pid"), "--log-facility=-"
        ]
        if self.log_queries:
            command.append("--log-queries")
        if os.geteuid() == 0:
            # As root it would drop to nobody (and a group that may not exist); the folder is a
            # temporary one of its own on loopback, so it may as well stay who started it.
            command += ["--user=root", "--group=root"]
        self._output = open(self.log_path, "ab")
        self.proc = subprocess.Popen(command, cwd=self.dir, stdin=subprocess.DEVNULL, stdout=self._output,
                                     stderr=subprocess.STDOUT, preexec_fn=dying_with(os.getpid()))
        try:
            self._wait_until_up()
        except BaseException:
            self.cleanup()
            raise
        return self

    def log_text(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def queries(self, kind=None):
        """The questions that reached the server, oldest first, as (TYPE, NAME); only those of TYPE
        when kind is given."""
        found = [(m.group(1), m.group(2)) for m in _QUERY.finditer(self.log_text())]
        return [q for q in found if kind is None or q[0] == kind]

    def _wait_until_up(self):
        started = time.monotonic()
        hosts_file = os.path.join(self.dir, "hosts")
        while time.monotonic() - started < START_TIMEOUT:
            if self.proc.poll() is not None:
                raise RuntimeError("dnsmasq ended at start-up with status %d\n%s" %
                                   (self.proc.returncode, self.log_text()[-3000:]))
            # It binds its port, then reads the hosts file, then answers.
            if port_taken(self.port) and ("read " + hosts_file) in self.log_text():
                return
            time.sleep(0.05)
        raise RuntimeError("dnsmasq did not start within %d s\n%s" % (START_TIMEOUT, self.log_text()[-3000:]))


def main(argv):
    return run_with_server("dns_server.py", argv, None if available() else "dnsmasq is not installed; " + INSTALL_HINT,
                           DnsServer(),
                           lambda server: {"NFC_DNS_SERVER": server.address, "NFC_DNS_QUERY_LOG": server.log_path})


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
