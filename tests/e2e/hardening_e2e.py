#!/usr/bin/env python3
"""What an unfriendly machine does to a running collector, tried on the real binary, headless:

1. a backlog queued while the collector was stopped reaches the CSV when SIGTERM ends it;
2. the reader of its standard error going away does not end it (no death by SIGPIPE);
3. a FIFO planted as today's CSV neither hangs the listener nor keeps SIGTERM from ending it;
4. capture files named like a planted link are never written through the link, and every save
   gets a file of its own, even many in one second;
5. datagrams longer than the listener takes are reported on standard error.

Usage: hardening_e2e.py COLLECTOR TESTSUPPORT_DIR
"""
import glob
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, sys.argv[2])
from e2e_collector import Collector, Stderr, csv_lines, fail, wait_for  # noqa: E402

COLLECTOR = sys.argv[1]
PORT = 9996
RECORDS = 30


def v5_datagram(sequence):
    header = struct.pack("!HHIIIIBBH", 5, RECORDS, 1000, 1700000000, 0, sequence, 0, 0, 0)
    records = b""
    for n in range(RECORDS):
        records += struct.pack("!IIIHHIIIIHHBBBBHHBBH", 0x0A000001 + n, 0xC0A80001, 0, 1, 2, 10, 1000 + n, 500, 900,
                               1024 + n, 80, 0, 0x18, 6, 0, 0, 0, 24, 24, 0)
    return header + records


def send(datagrams):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    for d in datagrams:
        s.sendto(d, ("127.0.0.1", PORT))
    s.close()


def backlog_reaches_the_csv_at_sigterm():
    queued = 3000
    with tempfile.TemporaryDirectory() as directory:
        collector = Collector(COLLECTOR, directory)
        said = Stderr(collector.proc)
        try:
            collector.proc.send_signal(signal.SIGSTOP)
            send(v5_datagram(n * RECORDS) for n in range(queued))
            time.sleep(0.2)
            # Both at once: the stop request and the backlog race for the collector.
            collector.proc.send_signal(signal.SIGCONT)
            collector.proc.send_signal(signal.SIGTERM)
            status = collector.proc.wait(timeout=30)
        finally:
            if collector.proc.poll() is None:
                collector.proc.kill()
                collector.proc.wait()
        if status != 0:
            fail("the collector ended with status %d at SIGTERM" % status)
        lines = len(csv_lines(directory))
        if lines != queued * RECORDS:
            fail("%d of %d queued flows reached the CSV at SIGTERM; stderr: %s" % (lines, queued * RECORDS, said.said()))
        return "a backlog of %d datagrams all reached the CSV at SIGTERM" % queued


def stderr_reader_going_away():
    with tempfile.TemporaryDirectory() as directory:
        collector = Collector(COLLECTOR, directory)
        try:
            collector.proc.stderr.close()
            # Each save says where it went on standard error, which now has no reader.
            collector.proc.send_signal(signal.SIGUSR1)
            wait_for(lambda: glob.glob(os.path.join(directory, "recent-datagrams-*.pcap")), 30, "the capture")
            time.sleep(0.3)
            if collector.proc.poll() is not None:
                fail("the collector ended with status %d once its stderr reader went away" % collector.proc.returncode)
            send([v5_datagram(0)])
            wait_for(lambda: len(csv_lines(directory)) == RECORDS, 30, "the CSV lines after stderr went away")
        finally:
            collector.proc.send_signal(signal.SIGTERM)
            status = collector.proc.wait(timeout=30)
        if status != 0:
            fail("the collector ended with status %d" % status)
        return "a collector whose stderr reader went away kept collecting"


def fifo_as_todays_csv():
    with tempfile.TemporaryDirectory() as directory:
        for day in (time.localtime(), time.localtime(time.time() + 3600)):
            path = os.path.join(directory, time.strftime("NetFlow-%Y%m%d.csv", day))
            if not os.path.exists(path):
                os.mkfifo(path)
        collector = Collector(COLLECTOR, directory)
        said = Stderr(collector.proc)
        send([v5_datagram(0)])
        time.sleep(1.0)
        started = time.monotonic()
        collector.proc.send_signal(signal.SIGTERM)
        try:
            collector.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            collector.proc.kill()
            collector.proc.wait()
            fail("a FIFO as today's CSV kept the collector from ending at SIGTERM")
        if time.monotonic() - started > 5:
            fail("the collector took %.1f s to end" % (time.monotonic() - started))
        return "a FIFO as today's CSV was refused and SIGTERM still ended the collector; it said: " + \
            said.said().strip().replace("\n", " | ")[:200]


def captures_never_follow_links_and_never_overwrite():
    with tempfile.TemporaryDirectory() as directory, tempfile.TemporaryDirectory() as outside:
        victim = os.path.join(outside, "victim")
        with open(victim, "w") as f:
            f.write("keep me")
        # Every name a save in the next minute and a half could take: a link to the outside file, or a
        # dangling one into the outside folder.
        now = time.time()
        for s in range(0, 90):
            stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now + s))
            target = victim if s % 2 == 0 else os.path.join(outside, "created-%d" % s)
            os.symlink(target, os.path.join(directory, "recent-datagrams-%s.pcap" % stamp))
        collector = Collector(COLLECTOR, directory)
        said = Stderr(collector.proc)
        try:
            send([v5_datagram(0)])
            wait_for(lambda: len(csv_lines(directory)) == RECORDS, 30, "the CSV lines")
            saves = 20
            for _ in range(saves):
                collector.proc.send_signal(signal.SIGUSR1)
                time.sleep(0.05)
            wait_for(lambda: said.said().count("Recent datagrams") >= saves, 30, "an answer to every save")
        finally:
            collector.stop()
        with open(victim) as f:
            if f.read() != "keep me":
                fail("a save wrote through a planted link")
        if os.listdir(outside) != ["victim"]:
            fail("a save created files outside its folder: %s" % os.listdir(outside))
        written = [p for p in glob.glob(os.path.join(directory, "recent-datagrams-*.pcap")) if not os.path.islink(p)]
        saved_lines = said.said().count("Recent datagrams saved to ")
        if saved_lines != len(written):
            fail("stderr announced %d saves but %d capture files exist" % (saved_lines, len(written)))
        # Signals sent close together may be served as one save; none may overwrite another.
        if len(written) < 2:
            fail("only %d capture files for %d saves" % (len(written), saves))
        return "%d saves gave %d files of their own; planted links were left alone" % (saves, len(written))


def oversize_datagrams_are_reported():
    with tempfile.TemporaryDirectory() as directory:
        collector = Collector(COLLECTOR, directory)
        said = Stderr(collector.proc)
        try:
            send([b"\x00\x05" + b"\x00" * 8100] * 3)
            wait_for(lambda: "longer than" in said.said() or "oversize" in said.said().lower(), 30,
                     "a report of the oversize datagrams")
        finally:
            collector.stop()
        return "oversize datagrams reported: " + said.said().strip().splitlines()[-1][:120]


def main():
    for case in (backlog_reaches_the_csv_at_sigterm, stderr_reader_going_away, fifo_as_todays_csv,
                 captures_never_follow_links_and_never_overwrite, oversize_datagrams_are_reported):
        print(case(), flush=True)


if __name__ == "__main__":
    main()
