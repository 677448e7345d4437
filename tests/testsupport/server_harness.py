"""What the harnesses of the tests' own servers (ClickHouse, DNS, SNMP) share: a free port that no
client takes meanwhile, a server that dies with its test, and the `run -- COMMAND` form that starts
a server, hands its address over in the environment, runs the command and stops the server."""
import ctypes
import os
import random
import shutil
import signal
import socket
import subprocess
import sys

COLLECTOR_PORT = 9996


def _free(port, kind):
    with socket.socket(socket.AF_INET, kind) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_ports(count=1, udp=True, tcp=False):
    """Ports free on 127.0.0.1 for the protocols asked, below the kernel's ephemeral range where it
    leaves room (a port inside it could be taken by some client's outgoing socket while a server is
    stopped for a restart), never the collector's, which other tests use."""
    low, high = 32768, 60999
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
    except (OSError, ValueError):
        pass
    if low > 20000:
        bottom, top = 20000, low - 1
    elif high < 60000:
        bottom, top = high + 1, 65535
    else:
        bottom, top = 40000, 65535
    chosen = []
    for _ in range(1000):
        port = random.randint(bottom, top)
        if port == COLLECTOR_PORT or port in chosen:
            continue
        if (udp and not _free(port, socket.SOCK_DGRAM)) or (tcp and not _free(port, socket.SOCK_STREAM)):
            continue
        chosen.append(port)
        if len(chosen) == count:
            return chosen
    raise RuntimeError("no free ports on 127.0.0.1 between %d and %d" % (bottom, top))


def port_taken(port, tables=("/proc/net/udp", "/proc/net/udp6")):
    """Whether some socket holds `port`, read from the kernel's tables. Binding a probe socket would
    hold the port itself for a moment, and a server starting in that moment fails."""
    wanted = ":%04X" % port
    for table in tables:
        try:
            with open(table) as f:
                next(f)
                if any(line.split()[1].endswith(wanted) for line in f):
                    return True
        except FileNotFoundError:
            continue
    return False


def dying_with(parent):
    """For the child between fork and exec: a test runner that kills the test on a time-out must
    not leave its server behind."""

    def arrange():
        PR_SET_PDEATHSIG = 1
        try:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        except (OSError, AttributeError):
            pass
        # The parent may have gone between the fork and the prctl.
        if os.getppid() != parent:
            os._exit(1)

    return arrange


class ServerProcess:
    """A server process with a folder of its own: subclasses set `proc`, `dir` and, where the
    server writes through a file of ours, `_output`, and say in `stop_timeout` how long it may take
    to end."""

    stop_timeout = 10

    def __init__(self):
        self.dir = None
        self.proc = None
        self._output = None

    def stop(self):
        """SIGTERM, then SIGKILL after stop_timeout seconds. True when it ended by SIGTERM."""
        gently = True
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=self.stop_timeout)
            except subprocess.TimeoutExpired:
                gently = False
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if self._output is not None:
            self._output.close()
            self._output = None
        return gently

    def cleanup(self):
        self.stop()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()
        return False


def _ends_by_exception(signum, frame):
    raise SystemExit(128 + signum)


def end_cleanly_on_signals():
    """SIGTERM and SIGHUP raise SystemExit, so that the finally blocks stop the servers."""
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, _ends_by_exception)


def run_with_server(program, argv, missing, server, environment, failures=(RuntimeError, OSError)):
    """The `PROGRAM run -- COMMAND ARGS...` form: `missing` says why no server can start here (or
    None), `server` is a server not started yet, `environment(server)` what COMMAND learns of it.
    Returns COMMAND's status, or 1 when no server started, 2 on a usage error."""
    if len(argv) < 3 or argv[0] != "run" or argv[1] != "--":
        print("usage: %s run -- COMMAND [ARGS...]" % program, file=sys.stderr)
        return 2
    if missing:
        print("%s: %s" % (program, missing), file=sys.stderr)
        return 1
    end_cleanly_on_signals()
    try:
        try:
            server.start()
        except failures as e:
            print("%s: %s" % (program, e), file=sys.stderr)
            return 1
        child = subprocess.Popen(argv[2:], env=dict(os.environ, **environment(server)))
        try:
            status = child.wait()
            # A command ended by a signal ends this one with the shell's status for it.
            return status if status >= 0 else 128 - status
        finally:
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
    finally:
        server.cleanup()
