#!/usr/bin/env python3
"""A ClickHouse server of the tests' own: its own folder, configuration and users, loopback only, on
free ports, never the system's service or its files.

As a module:
    with ClickHouseServer() as server:
        server.query("SELECT count() FROM netflow.flows")
        server.stop(); server.start()      # the same data, the same port

As a command, for test programs that want a server from the test runner:
    clickhouse_server.py run -- COMMAND ARGS...
starts a server, runs COMMAND with NFC_CLICKHOUSE_URL (user default, no password),
NFC_CLICKHOUSE_PASSWORD_URL (user flows) and NFC_CLICKHOUSE_PASSWORD set, stops and removes the
server and exits with COMMAND's status.

Users: default without a password and flows with the password s3cret, both from 127.0.0.1 only.
The database netflow exists once start() returns.
"""
import base64
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request
from xml.sax.saxutils import escape

from server_harness import ServerProcess, dying_with, end_cleanly_on_signals, free_ports, run_with_server  # noqa: F401

DATABASE = "netflow"
PASSWORD_USER = "flows"
PASSWORD = "s3cret"
INSTALL_HINT = "scripts/install-deps.sh --test installs it"
START_TIMEOUT = 60
STOP_TIMEOUT = 30


# The server is on loopback: a proxy named in the environment must not stand between.
_direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class ClickHouseError(Exception):
    """The server answered a statement with an error; the message is the server's own."""


def server_command():
    """The command that runs a server in the foreground, or None when none is installed.
    NFC_CLICKHOUSE_SERVER names another binary (a newer release unpacked somewhere)."""
    chosen = os.environ.get("NFC_CLICKHOUSE_SERVER")
    if chosen:
        if not os.access(chosen, os.X_OK):
            return None
        # The single binary of current releases runs the server as a subcommand.
        return [chosen] if "server" in os.path.basename(chosen) else [chosen, "server"]
    if os.access("/usr/sbin/clickhouse-server", os.X_OK):
        return ["/usr/sbin/clickhouse-server"]
    found = shutil.which("clickhouse-server")
    if found:
        return [found]
    found = shutil.which("clickhouse")
    if found:
        return [found, "server"]
    return None


def available():
    """Whether a server can be started here."""
    return server_command() is not None


CONFIG = """<?xml version="1.0"?>
<{root}>
    <logger>
        <level>warning</level>
        <log>{dir}/log/server.log</log>
        <errorlog>{dir}/log/server.err.log</errorlog>
        <size>10M</size>
        <count>2</count>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <http_port>{http_port}</http_port>
    <tcp_port>{tcp_port}</tcp_port>
    <path>{dir}/data/</path>
    <tmp_path>{dir}/tmp/</tmp_path>
    <user_files_path>{dir}/user_files/</user_files_path>
    <format_schema_path>{dir}/format_schemas/</format_schema_path>
    <user_scripts_path>{dir}/user_scripts/</user_scripts_path>
    <access_control_path>{dir}/data/access/</access_control_path>
    <users_config>{dir}/users.xml</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <max_connections>256</max_connections>
    <max_concurrent_queries>50</max_concurrent_queries>
    <keep_alive_timeout>10</keep_alive_timeout>
    <mark_cache_size>67108864</mark_cache_size>
    <uncompressed_cache_size>67108864</uncompressed_cache_size>
    <mlock_executable>false</mlock_executable>
</{root}>
"""

USERS = """<?xml version="1.0"?>
<{root}>
    <profiles>
        <default>
            <max_memory_usage>2000000000</max_memory_usage>
        </default>
    </profiles>
    <users>
        <default>
            <password></password>
            <networks><ip>127.0.0.1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </default>
        <{user}>
            <password>{password}</password>
            <networks><ip>127.0.0.1</ip></networks>
            <profile>default</profile>
            <quota>default</quota>
        </{user}>
    </users>
    <quotas>
        <default>
            <interval>
                <duration>3600</duration>
                <queries>0</queries>
                <errors>0</errors>
                <result_rows>0</result_rows>
                <read_rows>0</read_rows>
                <execution_time>0</execution_time>
            </interval>
        </default>
    </quotas>
</{root}>
"""


class ClickHouseServer(ServerProcess):
    """One server in a temporary folder of its own. start() may follow stop() any number of times:
    the data and the ports stay. cleanup() (or leaving the with block) stops it and removes all."""

    stop_timeout = STOP_TIMEOUT

    def __init__(self, parent=None):
        super().__init__()
        self.command = server_command()
        self.parent = parent
        self.http_port = None
        self.tcp_port = None
        self.start_seconds = None

    # --- life ---

    def start(self):
        if self.command is None:
            raise RuntimeError("no clickhouse-server is installed; " + INSTALL_HINT)
        if self.proc is not None and self.proc.poll() is None:
            return self
        if self.dir is None:
            self._make_folder()
        started = time.monotonic()
        env = dict(os.environ, CLICKHOUSE_WATCHDOG_ENABLE="0", LC_ALL="C")
        if self._output is not None:
            self._output.close()
        self._output = open(os.path.join(self.dir, "log", "console.log"), "ab")
        self.proc = subprocess.Popen([*self.command, "--config-file=" + os.path.join(self.dir, "config.xml")],
                                     cwd=self.dir, env=env, stdin=subprocess.DEVNULL, stdout=self._output,
                                     stderr=subprocess.STDOUT, preexec_fn=dying_with(os.getpid()))
        try:
            self._wait_until_up(started)
            self.query("CREATE DATABASE IF NOT EXISTS " + DATABASE)
        except BaseException:
            self.stop()
            raise
        self.start_seconds = time.monotonic() - started
        return self

    def kill(self):
        """Ends the server at once, as a crash or a pulled plug would."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.stop()

    # --- talking to it ---

    def url(self, database=DATABASE, user=None, password=None):
        credentials = ""
        if user is not None:
            credentials = urllib.parse.quote(user, safe="")
            if password is not None:
                credentials += ":" + urllib.parse.quote(password, safe="")
            credentials += "@"
        return "http://%s127.0.0.1:%d/?database=%s" % (credentials, self.http_port, urllib.parse.quote(database))

    def query(self, sql, database=None, user=None, password=None, timeout=60):
        """Runs one statement; its answer as text. ClickHouseError with the server's message when
        the server refuses it."""
        target = "http://127.0.0.1:%d/" % self.http_port
        if database is not None:
            target += "?" + urllib.parse.urlencode({"database": database})
        request = urllib.request.Request(target, data=sql.encode(), method="POST")
        if user is not None:
            token = base64.b64encode(("%s:%s" % (user, password or "")).encode()).decode()
            request.add_header("Authorization", "Basic " + token)
        try:
            with _direct.open(request, timeout=timeout) as answer:
                return answer.read().decode()
        except urllib.error.HTTPError as e:
            raise ClickHouseError(e.read().decode(errors="replace").strip() or str(e)) from None

    def log_tail(self, lines=30):
        """The end of the server's error log and console output, for a failure message."""
        text = []
        for name in ("server.err.log", "console.log"):
            path = os.path.join(self.dir or "", "log", name)
            try:
                with open(path, errors="replace") as f:
                    tail = f.read().splitlines()[-lines:]
            except OSError:
                continue
            if tail:
                text.append("--- %s:\n%s" % (name, "\n".join(tail)))
        return "\n".join(text) or "(the server wrote no log)"

    # --- inside ---

    def _make_folder(self):
        self.dir = tempfile.mkdtemp(prefix="nfc-clickhouse-", dir=self.parent)
        for sub in ("data", "tmp", "user_files", "format_schemas", "user_scripts", "log"):
            os.mkdir(os.path.join(self.dir, sub))
        self.http_port, self.tcp_port = free_ports(2, udp=False, tcp=True)
        # Every release since 18 reads <yandex>; the newest also accept <clickhouse> but still this.
        values = dict(root="yandex", dir=escape(self.dir), http_port=self.http_port, tcp_port=self.tcp_port,
                      user=PASSWORD_USER, password=escape(PASSWORD))
        with open(os.path.join(self.dir, "config.xml"), "w") as f:
            f.write(CONFIG.format(**values))
        with open(os.path.join(self.dir, "users.xml"), "w") as f:
            f.write(USERS.format(**values))

    def _answers_ping(self):
        try:
            with _direct.open("http://127.0.0.1:%d/ping" % self.http_port, timeout=2) as answer:
                return answer.read().strip() == b"Ok."
        except (OSError, urllib.error.URLError):
            return False

    def _wait_until_up(self, started):
        while time.monotonic() - started < START_TIMEOUT:
            if self.proc.poll() is not None:
                raise RuntimeError("clickhouse-server ended at start-up with status %d\n%s" %
                                   (self.proc.returncode, self.log_tail()))
            if self._answers_ping():
                return
            time.sleep(0.1)
        raise RuntimeError("clickhouse-server did not answer /ping within %d s\n%s" % (START_TIMEOUT, self.log_tail()))


def main(argv):
    return run_with_server(
        "clickhouse_server.py", argv,
        None if available() else "no clickhouse-server is installed; " + INSTALL_HINT, ClickHouseServer(),
        lambda server: {"NFC_CLICKHOUSE_URL": server.url(), "NFC_CLICKHOUSE_PASSWORD_URL": server.url(user=PASSWORD_USER),
                        "NFC_CLICKHOUSE_PASSWORD": PASSWORD},
        failures=(RuntimeError, OSError, ClickHouseError))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
