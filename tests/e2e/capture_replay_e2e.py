#!/usr/bin/env python3
"""Recent datagrams saved as a capture and replayed, end to end with the real programs:

1. a headless collector receives version 5, version 9 and IPFIX datagrams;
2. SIGUSR1 makes it write them as a capture beside its CSV and name the file on standard error;
3. tshark reads the capture as NetFlow/IPFIX with every datagram intact;
4. nf-loadgen --replay sends the capture to a second collector, whose CSV lines are the first one's.

Usage: capture_replay_e2e.py COLLECTOR NF_LOADGEN TESTSUPPORT_DIR
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

sys.path.insert(0, sys.argv[3])
from e2e_collector import Collector, csv_lines, fail, wait_for  # noqa: E402

COLLECTOR, LOADGEN = sys.argv[1], sys.argv[2]
PORT = 9996


def ipfix_message(sequence):
    """One IPFIX message: a template set (id 2) with template 256 and a data set of two flows."""
    fields = [(8, 4), (12, 4), (7, 2), (11, 2), (4, 1), (1, 8)]
    template = struct.pack("!HH", 256, len(fields)) + b"".join(struct.pack("!HH", t, l) for t, l in fields)
    template_set = struct.pack("!HH", 2, 4 + len(template)) + template
    records = b""
    for n in range(2):
        records += bytes([10, 9, 0, n + 1]) + bytes([192, 168, 9, n + 1])
        records += struct.pack("!HHBQ", 40000 + n, 443, 6, 5000 + n)
    data_set = struct.pack("!HH", 256, 4 + len(records)) + records
    body = template_set + data_set
    return struct.pack("!HHIII", 10, 16 + len(body), 1700000000, sequence, 77) + body


def send_traffic():
    for version in ("5", "9"):
        subprocess.run([LOADGEN, "--netflow-version", version, "--rate", "200", "--count", "5", "--records", "4",
                        "--quiet"], check=True, timeout=60, stdout=subprocess.DEVNULL)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for sequence in (0, 2):
        s.sendto(ipfix_message(sequence), ("127.0.0.1", PORT))
    s.close()


def settled_lines(directory, expected):
    wait_for(lambda: len(csv_lines(directory)) >= expected, 30, "%d CSV lines in %s" % (expected, directory))
    time.sleep(0.5)
    return csv_lines(directory)


def main():
    expected = 5 * 4 + 5 * 4 + 2 * 2
    with tempfile.TemporaryDirectory() as first_dir, tempfile.TemporaryDirectory() as second_dir:
        first = Collector(COLLECTOR, first_dir)
        try:
            send_traffic()
            first_lines = settled_lines(first_dir, expected)
            first.proc.send_signal(signal.SIGUSR1)
            wait_for(lambda: glob.glob(os.path.join(first_dir, "recent-datagrams-*.pcap")), 30, "the capture file")
            time.sleep(0.5)
        finally:
            first.stop()
        said = first.proc.stderr.read().decode(errors="replace")
        capture = glob.glob(os.path.join(first_dir, "recent-datagrams-*.pcap"))[0]
        if "Recent datagrams saved to " + os.path.realpath(capture) not in said and \
                "Recent datagrams saved to " + capture not in said:
            fail("standard error does not name the capture: " + said)
        if len(first_lines) != expected:
            fail("the first collector wrote %d lines, not %d" % (len(first_lines), expected))

        versions = subprocess.run(["tshark", "-r", capture, "-d", "udp.port==%d,cflow" % PORT, "-T", "fields",
                                   "-e", "cflow.version"], capture_output=True, text=True, timeout=120)
        if versions.returncode != 0:
            fail("tshark could not read the capture: " + versions.stderr)
        seen = [v for v in versions.stdout.split() if v]
        if sorted(set(seen)) != ["10", "5", "9"] or len(seen) != 12:
            fail("tshark saw versions %s in %d datagrams, not 5, 9 and 10 in 12" % (sorted(set(seen)), len(seen)))

        second = Collector(COLLECTOR, second_dir)
        try:
            subprocess.run([LOADGEN, "--replay", capture, "--speed", "10", "--quiet"], check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            second_lines = settled_lines(second_dir, expected)
        finally:
            second.stop()
        if second_lines != first_lines:
            fail("the replayed capture gave other CSV lines:\n%s\nagainst\n%s" % (second_lines, first_lines))
    print("capture saved on SIGUSR1, read by tshark, replayed into a second collector: same %d CSV lines"
              % expected)


if __name__ == "__main__":
    main()
