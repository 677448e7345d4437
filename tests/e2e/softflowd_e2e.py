#!/usr/bin/env python3
"""End to end with a real exporter: softflowd reads a capture of ordinary traffic that we make
ourselves and exports its flows as NetFlow v5 and then v9 to 127.0.0.1:9996, where the real
collector binary runs headless from a temporary directory. tshark captures the same datagrams and
decodes them independently. The daily CSV file must hold exactly one line per exported IPv4 flow,
with the addresses, ports, protocols and byte counts that both the capture and tshark say.
"""
import collections
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testsupport"))
from e2e_collector import PORT, csv_lines, fail, port_taken, wait_for  # noqa: E402

PROBE_PORT = 9997


def wait_until_stable(directory, expected_at_least):
    last, since = -1, time.monotonic()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        n = len(csv_lines(directory))
        if n != last:
            last, since = n, time.monotonic()
        elif n >= expected_at_least and time.monotonic() - since > 1.0:
            return n
        elif time.monotonic() - since > 5.0:
            return n
        time.sleep(0.1)
    return last


def tshark_records(capture):
    """(version, (src, sport, dst, dport, proto, octets)) for every IPv4 flow record tshark sees."""
    out = subprocess.run(["tshark", "-r", capture, "-d", "udp.port==%d,cflow" % PORT, "-T", "json"],
                         check=True, capture_output=True, text=True).stdout
    records = []

    def walk(node, version):
        if isinstance(node, dict):
            if "cflow.srcaddr" in node and "cflow.octets" in node:
                records.append((version, (node["cflow.srcaddr"], int(node.get("cflow.srcport", 0)),
                                          node["cflow.dstaddr"], int(node.get("cflow.dstport", 0)),
                                          int(node["cflow.protocol"]), int(node["cflow.octets"]))))
                return
            for value in node.values():
                walk(value, version)
        elif isinstance(node, list):
            for value in node:
                walk(value, version)

    for packet in json.loads(out or "[]"):
        layer = packet["_source"]["layers"].get("cflow")
        if layer:
            walk(layer, int(layer["cflow.version"]))
    return records


def run_softflowd(pcap, version, work):
    # softflowd waits on its control socket instead of ending after the capture when that socket's
    # path is longer than about a dozen characters, so it runs in the work directory with short names.
    subprocess.run(["softflowd", "-d", "-r", pcap, "-n", "127.0.0.1:%d" % PORT, "-v", str(version),
                    "-p", "sf.pid", "-c", "sf.ctl"],
                   cwd=work, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: softflowd_e2e.py COLLECTOR_BINARY MAKE_TEST_PCAP_SCRIPT")
    collector_binary, pcap_script = sys.argv[1], sys.argv[2]
    for tool in ("softflowd", "tshark"):
        if not shutil.which(tool):
            fail(tool + " is not installed (scripts/install-deps.sh --test installs it)")
    if port_taken():
        fail("UDP port %d is already in use" % PORT)

    work = tempfile.mkdtemp(prefix="nf-e2e-")
    program_dir = os.path.join(work, "program")
    os.mkdir(program_dir)
    collector = os.path.join(program_dir, "netflow-collector")
    shutil.copy2(collector_binary, collector)
    pcap, flows_file = os.path.join(work, "traffic.pcap"), os.path.join(work, "flows.csv")
    subprocess.run([sys.executable, pcap_script, pcap, flows_file], check=True)
    expected = collections.Counter()
    with open(flows_file) as f:
        for line in f:
            src, sport, dst, dport, proto, octets, family = line.strip().split(",")
            if family == "4":
                expected[(src, dst, int(proto), int(octets))] += 1

    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # Started from another directory: its files must still land beside the program.
    proc = subprocess.Popen([collector], cwd=work, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    capture = os.path.join(work, "export.pcapng")
    tshark = None
    try:
        wait_for(port_taken, 30, "the collector to bind UDP %d" % PORT)
        tshark_log = open(os.path.join(work, "tshark.log"), "w+")
        tshark = subprocess.Popen(["tshark", "-i", "lo", "-f", "udp dst port %d or udp dst port %d" % (PORT, PROBE_PORT),
                                   "-w", capture], stdout=subprocess.DEVNULL, stderr=tshark_log)
        wait_for(lambda: "Capturing on" in open(tshark_log.name).read(), 30, "tshark to start capturing")
        # tshark says it is capturing a little before it really is: probe a port nobody listens on
        # until a probe shows up in the capture file.
        empty_size = os.path.getsize(capture) if os.path.exists(capture) else 0
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

        def probe_captured():
            probe.sendto(b"probe", ("127.0.0.1", PROBE_PORT))
            time.sleep(0.05)
            return os.path.exists(capture) and os.path.getsize(capture) > empty_size

        wait_for(probe_captured, 30, "tshark to capture a probe")
        probe.close()

        run_softflowd(pcap, 5, work)
        after_v5 = wait_until_stable(program_dir, sum(expected.values()))
        run_softflowd(pcap, 9, work)
        wait_until_stable(program_dir, after_v5 + sum(expected.values()))
        time.sleep(0.5)
    finally:
        if tshark:
            tshark.send_signal(signal.SIGINT)
            tshark.wait(timeout=30)
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            fail("the collector did not end on SIGTERM")
    if proc.returncode != 0:
        fail("the collector exited with %d: %s" % (proc.returncode, proc.stderr.read().decode(errors="replace")))

    lines = csv_lines(program_dir)
    if glob.glob(os.path.join(work, "NetFlow-*.csv")):
        fail("a CSV file landed in the start directory, not beside the program")
    csv_v5, csv_v9 = collections.Counter(), collections.Counter()
    for line in lines:
        fields = line.split(",")
        if len(fields) == 8:
            first, diff, src, sport, dst, dport, prot, octets = fields
            csv_v5[(src, int(sport), dst, int(dport), int(prot), int(octets))] += 1
        elif len(fields) == 7:
            src, sport, dst, dport, proto, octets, octets2 = fields
            if octets != octets2:
                fail("v9 line with two different byte counts: " + line)
            csv_v9[(src, int(sport), dst, int(dport), int(proto), int(octets))] += 1
        else:
            fail("unexpected CSV line: " + line)

    seen_v5, seen_v9 = collections.Counter(), collections.Counter()
    for version, record in tshark_records(capture):
        (seen_v5 if version == 5 else seen_v9)[record] += 1

    def summary(records):
        return collections.Counter((r[0], r[2], r[4], r[5]) for r in records.elements())

    problems = []
    for name, csv, seen in (("v5", csv_v5, seen_v5), ("v9", csv_v9, seen_v9)):
        if csv != seen:
            problems.append("%s: CSV and tshark differ: only in CSV %s, only in tshark %s"
                            % (name, dict(csv - seen), dict(seen - csv)))
        if summary(csv) != expected:
            problems.append("%s: CSV and the capture's IPv4 flows differ: only in CSV %s, only in capture %s"
                            % (name, dict(summary(csv) - expected), dict(expected - summary(csv))))
    trace = os.path.join(program_dir, "debug-v9-packet.txt")
    if not os.path.exists(trace) or not open(trace, "rb").read().startswith(b"kFunction=NetFlowLib.DecodeV9Packet ("):
        problems.append("no version 9 packet trace beside the program")
    reports = glob.glob(os.path.join(program_dir, "Exception-Netflow-*.xml"))
    if reports:
        problems.append("exception reports were written: %s" % reports)
    print("capture: %d IPv4 flows; softflowd exported, tshark decoded: v5 %d, v9 %d IPv4 records; "
          "collector CSV: v5 %d lines, v9 %d lines"
          % (sum(expected.values()), sum(seen_v5.values()), sum(seen_v9.values()),
             sum(csv_v5.values()), sum(csv_v9.values())))
    if problems:
        fail("\n".join(problems))
    shutil.rmtree(work, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
