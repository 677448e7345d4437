#!/usr/bin/env python3
"""The numbers of a running collector, tried on the real binary, headless:

1. version 9 and IPFIX data that comes before its template reaches the CSV when the template comes,
   before the flows of the datagram that brought it;
2. a well-formed datagram of hundreds of small records keeps every one of them;
3. a malformed --sampling-rate ends the program at once with exit status 2, naming the option.

Usage: numbers_e2e.py COLLECTOR TESTSUPPORT_DIR
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, sys.argv[2])
from e2e_collector import Collector, csv_lines, fail, wait_for  # noqa: E402

COLLECTOR = os.path.abspath(sys.argv[1])
PORT = 9996
# src, dst, src port, dst port, protocol, bytes, packets
TEMPLATE = [(8, 4), (12, 4), (7, 2), (11, 2), (4, 1), (1, 4), (2, 4)]


def record(n):
    return struct.pack("!IIHHBII", 0x0A000000 + n, 0xC0A80001, 1024 + n, 80, 6, 1000 + n, 2)


def flowset(set_id, body):
    return struct.pack("!HH", set_id, len(body) + 4) + body


def template(template_id, fields):
    return struct.pack("!HH", template_id, len(fields)) + b"".join(struct.pack("!HH", t, l) for t, l in fields)


def v9(body, sequence, count=0):
    return struct.pack("!HHIIII", 9, count, 3600000, int(time.time()), sequence, 7) + body


def ipfix(body, sequence):
    return struct.pack("!HHIII", 10, 16 + len(body), int(time.time()), sequence, 7) + body


def send(*datagrams):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for d in datagrams:
        s.sendto(d, ("127.0.0.1", PORT))
        time.sleep(0.05)
    s.close()


def sources(lines):
    # The CSV line's fields after the sender: the source address is the first dotted quad of 10.x.
    return [next(f for f in line.split(",") if f.startswith("10.")) for line in lines]


def late_data_reaches_the_csv_when_its_template_comes():
    with tempfile.TemporaryDirectory() as directory:
        collector = Collector(COLLECTOR, directory)
        try:
            send(v9(flowset(256, record(1) + record(2)), 1, 2), ipfix(flowset(300, record(11)), 1))
            time.sleep(0.5)
            if csv_lines(directory):
                fail("data without its template gave lines before the template came")
            send(v9(flowset(0, template(256, TEMPLATE)) + flowset(256, record(3)), 2, 2),
                 ipfix(flowset(2, template(300, TEMPLATE)) + flowset(300, record(12)), 2))
            wait_for(lambda: len(csv_lines(directory)) >= 5, 10, "five CSV lines")
        finally:
            collector.stop()
        got = sources(csv_lines(directory))
        if got != ["10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.11", "10.0.0.12"]:
            fail("late flows in the wrong order or missing: %s" % got)
        print("ok: data before its template reached the CSV, in order, when the template came")


def a_datagram_of_many_small_records_keeps_every_one():
    small = [(8, 4)]
    records = 1990  # 7,960 bytes of four-byte records in one data flowset
    body = b"".join(struct.pack("!I", 0x0A000000 + n) for n in range(records))
    with tempfile.TemporaryDirectory() as directory:
        collector = Collector(COLLECTOR, directory)
        try:
            send(v9(flowset(0, template(260, small)), 1), v9(flowset(260, body), 2))
            wait_for(lambda: len(csv_lines(directory)) >= records, 10, "%d CSV lines" % records)
            time.sleep(0.3)
        finally:
            collector.stop()
        if len(csv_lines(directory)) != records:
            fail("%d CSV lines for %d records" % (len(csv_lines(directory)), records))
        print("ok: one datagram of %d records gave %d CSV lines" % (records, records))


def malformed_sampling_rate_is_a_usage_error():
    with tempfile.TemporaryDirectory() as directory:
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        for bad in (["--sampling-rate", "192.0.2.1=0"], ["--sampling-rate=router=10"], ["--sampling-rate"]):
            proc = subprocess.run([COLLECTOR, *bad], cwd=directory, env=env, capture_output=True, timeout=30)
            if proc.returncode != 2 or b"--sampling-rate" not in proc.stderr:
                fail("%s: status %d, stderr %r" % (bad, proc.returncode, proc.stderr))
        print("ok: a malformed --sampling-rate ends the program with status 2 and names the option")


late_data_reaches_the_csv_when_its_template_comes()
a_datagram_of_many_small_records_keeps_every_one()
malformed_sampling_rate_is_a_usage_error()
