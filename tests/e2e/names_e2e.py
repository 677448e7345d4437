#!/usr/bin/env python3
"""Names for numbers, tried on the real binary, headless, against servers of the test's own:

1. flows with public addresses are stored with the flow history, and nf-query ranks them by the
   country and AS of the location database (8.8.8.8: US, AS15169 GOOGLE) and lists both beside the
   exporter's own AS fields;
2. with the Traffic window open (offscreen), the addresses it shows are looked up at the DNS server
   given (a dnsmasq with a hosts file of the test's own), and nf-query --resolve names them too;
3. with --no-dns, no DNS query leaves the collector: a socket standing in for the server given
   receives nothing while the window shows the same flows;
4. with --snmp-community, the exporter's SNMP agent (an snmpd of the test's own on the exporter's
   address) is polled for its interface names, and says so on standard error; a wrong community
   times out and says that;
5. a missing location database turns the countries off with one line on standard error, and the
   collector goes on collecting.

Usage: names_e2e.py COLLECTOR NF_QUERY TESTSUPPORT_DIR
"""
import csv
import io
import os
import socket
import struct
import sys
import tempfile
import time

sys.path.insert(0, sys.argv[3])
from dns_server import DnsServer  # noqa: E402
import e2e_collector  # noqa: E402
from e2e_collector import PORT, Collector, Stderr, csv_lines, fail, wait_for  # noqa: E402
from snmp_agent import SnmpAgent  # noqa: E402

COLLECTOR = os.path.abspath(sys.argv[1])
NF_QUERY = os.path.abspath(sys.argv[2])

# (source, destination, bytes, source AS as the exporter sent it)
FLOWS = [
    ("203.0.113.7", "8.8.8.8", 7000, 0),
    ("8.8.8.8", "203.0.113.7", 5000, 15169),
    ("198.51.100.20", "1.1.1.1", 3000, 0),
    ("10.0.0.5", "9.9.9.9", 1000, 0),
]
HOSTS = {"203.0.113.7": "mail.example.org", "198.51.100.20": "www.example.net"}


def v5_datagram(flows, sequence=0):
    now = time.time()
    header = struct.pack("!HHIIIIBBH", 5, len(flows), 100000, int(now), int(now % 1 * 1e9), sequence, 0, 0, 0)
    records = b""
    for src, dst, octets, src_as in flows:
        records += struct.pack("!4s4s4sHHIIIIHHBBBBHHBBH", socket.inet_aton(src), socket.inet_aton(dst),
                               socket.inet_aton("0.0.0.0"), 1, 2, octets // 500 + 1, octets, 99000, 99900,
                               40000, 443, 0, 0x18, 6, 0, src_as, 0, 24, 24, 0)
    return header + records


def send_flows(times=1):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for n in range(times):
            s.sendto(v5_datagram(FLOWS, n * len(FLOWS)), ("127.0.0.1", PORT))


def nf_query(workdir, *arguments):
    return e2e_collector.nf_query(NF_QUERY, workdir, *arguments)


def csv_rows(text):
    return list(csv.DictReader(io.StringIO(text)))


def places_and_host_names(workdir):
    with DnsServer(hosts=HOSTS, ttl=600) as dns:
        c = Collector(COLLECTOR, workdir, ["--traffic", "--dns-server", dns.address])
        said = Stderr(c.proc)
        send_flows()
        wait_for(lambda: len(csv_lines(workdir)) == len(FLOWS), 10, "the flows in the CSV")
        # The window refreshes once a second and asks for the names of what it shows.
        wait_for(lambda: any(name == "7.113.0.203.in-addr.arpa" for _, name in dns.queries("PTR")), 15,
                 "the window to ask for 203.0.113.7's name")
        time.sleep(1.5)  # a second of the history written
        c.stop()
        if said.lines("Countries and AS numbers: off"):
            fail("the location database was not found: " + said.said())

        top = csv_rows(nf_query(workdir, "--top", "dst-asn", "--format", "csv"))
        google = [r for r in top if "15169" in ",".join(r.values())]
        if not google or "GOOGLE" not in ",".join(google[0].values()):
            fail("nf-query --top dst-asn does not rank AS15169 GOOGLE: %s" % top)
        countries = nf_query(workdir, "--top", "src-country")
        if "US" not in countries:
            fail("nf-query --top src-country does not name the US:\n" + countries)
        print("ok: nf-query ranks by the location database's AS numbers and countries")

        listed = nf_query(workdir, "--flows", "--format", "csv")
        if "GOOGLE" not in listed or "15169" not in listed:
            fail("the flow listing lacks the AS of 8.8.8.8:\n" + listed)
        resolved = nf_query(workdir, "--flows", "--resolve", "--dns-server", dns.address)
        if "mail.example.org" not in resolved or "www.example.net" not in resolved:
            fail("nf-query --resolve does not name the hosts:\n" + resolved)
        print("ok: the window's addresses were looked up, and nf-query --resolve names them")


def no_dns_means_no_query(workdir):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
        silent.bind(("127.0.0.1", 0))
        silent.settimeout(0.2)
        server = "127.0.0.1:%d" % silent.getsockname()[1]
        c = Collector(COLLECTOR, workdir, ["--traffic", "--no-dns", "--dns-server", server])
        send_flows()
        wait_for(lambda: len(csv_lines(workdir)) == len(FLOWS), 10, "the flows in the CSV")
        deadline = time.monotonic() + 4  # four refreshes of the window
        received = 0
        while time.monotonic() < deadline:
            try:
                silent.recv(512)
                received += 1
            except socket.timeout:
                pass
        c.stop()
        if received:
            fail("with --no-dns, %d datagrams reached the DNS server given" % received)
    print("ok: with --no-dns no DNS query leaves the collector")


def interface_names_by_snmp(workdir):
    with SnmpAgent(community="nfc-e2e") as agent:
        port = agent.address.rsplit(":", 1)[1]
        c = Collector(COLLECTOR, workdir, ["--no-dns", "--snmp-community", "nfc-e2e", "--snmp-port", port])
        said = Stderr(c.proc)
        send_flows()
        wait_for(lambda: said.lines("SNMP: 127.0.0.1"), 15, "the agent's answer on standard error")
        c.stop()
        line = said.lines("SNMP: 127.0.0.1")[0]
        if "interfaces" not in line or " 0 interfaces" in line:
            fail("the agent named no interfaces: " + line)
        print("ok: " + line)

        c = Collector(COLLECTOR, workdir, ["--no-dns", "--snmp-community", "wrong", "--snmp-port", port])
        said = Stderr(c.proc)
        send_flows()
        wait_for(lambda: said.lines("SNMP: 127.0.0.1"), 20, "the time-out on standard error")
        c.stop()
        line = said.lines("SNMP: 127.0.0.1")[0]
        if "did not answer" not in line:
            fail("a wrong community was not reported as unanswered: " + line)
        print("ok: " + line)


def missing_database(workdir):
    c = Collector(COLLECTOR, workdir, ["--no-dns", "--location-db", os.path.join(workdir, "none.db")])
    said = Stderr(c.proc)
    send_flows()
    wait_for(lambda: len(csv_lines(workdir)) == len(FLOWS), 10, "the flows in the CSV")
    c.stop()
    off = said.lines("Countries and AS numbers: off")
    if len(off) != 1 or "none.db" not in off[0]:
        fail("a missing database was not said in one line: " + said.said())
    print("ok: " + off[0])


for step in (places_and_host_names, no_dns_means_no_query, interface_names_by_snmp, missing_database):
    with tempfile.TemporaryDirectory() as d:
        step(d)
