"""The real collector binary run headless from a directory of its own, for the end-to-end tests
written in Python: it makes its own directory current, so its files land there."""
import glob
import os
import shutil
import signal
import subprocess
import threading
import time

import server_harness

PORT = 9996


def fail(message):
    print("FAIL: " + message, flush=True)
    raise SystemExit(1)


def port_taken(port=PORT):
    return server_harness.port_taken(port)


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def nf_query(binary, workdir, *arguments):
    """nf-query's output over the last hour of the history in workdir; a failure ends the test."""
    run = subprocess.run([binary, "--data-dir", workdir, "--from", "-1h", *arguments], capture_output=True,
                         text=True, timeout=60)
    if run.returncode != 0:
        fail("nf-query %s ended with %d: %s" % (" ".join(arguments), run.returncode, run.stderr))
    return run.stdout


def csv_files(directory):
    return sorted(glob.glob(os.path.join(directory, "NetFlow-*.csv")))


def csv_lines(directory):
    lines = []
    for name in csv_files(directory):
        with open(name, "rb") as f:
            data = f.read()
        if data and not data.endswith(b"\r\n"):
            fail(name + " does not end with CR LF")
        lines += [l.decode("latin-1") for l in data.split(b"\r\n") if l]
    return lines


class Collector:
    """A copy of the binary in Directory, started headless; stop() ends it with SIGTERM."""

    def __init__(self, binary, directory, arguments=()):
        wait_for(lambda: not port_taken(), 60, "UDP %d to be free" % PORT)
        self.exe = os.path.join(directory, "netflow-collector")
        shutil.copy2(binary, self.exe)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen([self.exe, *arguments], cwd=directory, env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        wait_for(lambda: port_taken() or self.proc.poll() is not None, 30, "the collector to listen")
        if self.proc.poll() is not None:
            fail("the collector ended at start-up: " + self.proc.stderr.read().decode(errors="replace"))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            fail("the collector did not end within 30 s of SIGTERM")
        if status != 0:
            fail("the collector ended with status %d: %s" % (status, self.proc.stderr.read().decode(errors="replace")))


class Stderr:
    """Collects what a process says on standard error as it says it, on a thread of its own, so that
    the pipe never fills and a case can wait for a line."""

    def __init__(self, proc):
        self.text = ""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, args=(proc.stderr,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in iter(stream.readline, b""):
            with self.lock:
                self.text += line.decode(errors="replace")

    def said(self):
        with self.lock:
            return self.text

    def lines(self, prefix):
        return [line for line in self.said().splitlines() if line.startswith(prefix)]
