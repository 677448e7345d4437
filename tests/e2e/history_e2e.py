#!/usr/bin/env python3
"""The flow history of a running collector, tried on the real binary, headless:

1. every flow that reaches the CSV is in the day files, with the same byte sums per source, and in
   the minute summaries once the collector has stopped;
2. killed with SIGKILL while flows pour in, the store is never damaged: every file passes SQLite's
   integrity check, it holds no flow the CSV lacks and loses at most the last moments, and the next
   collector carries on with the same files (nothing set aside);
3. --no-history writes no history at all;
4. nf-query counts, ranks and lists the same flows as the CSV, also while the collector runs.

Usage: history_e2e.py COLLECTOR NF_LOADGEN NF_QUERY TESTSUPPORT_DIR
"""
import glob
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, sys.argv[4])
import e2e_collector  # noqa: E402
from e2e_collector import Collector, csv_lines, fail, wait_for  # noqa: E402

COLLECTOR = os.path.abspath(sys.argv[1])
LOADGEN = os.path.abspath(sys.argv[2])
NF_QUERY = os.path.abspath(sys.argv[3])


def nf_query(workdir, *arguments):
    return e2e_collector.nf_query(NF_QUERY, workdir, *arguments)


def day_files(directory):
    return sorted(glob.glob(os.path.join(directory, "history", "flows-*.sqlite")))


def query(path, sql):
    # Read-only, as any SQL tool would open it beside a running collector.
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        return db.execute(sql).fetchall()
    finally:
        db.close()


def stored_flows(directory):
    return sum(query(f, "SELECT count(*) FROM flows")[0][0] for f in day_files(directory))


def loadgen(rate, seconds):
    return subprocess.Popen([LOADGEN, "--rate", str(rate), "--duration", str(seconds), "--burst", "8"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def csv_bytes_by_source(lines):
    # A version 5 line ends with srcaddr,srcport,dstaddr,dstport,prot,dOctets.
    sums = {}
    for line in lines:
        fields = line.split(",")
        sums[fields[-6]] = sums.get(fields[-6], 0) + int(fields[-1])
    return sums


def everything_reaches_the_store(workdir):
    c = Collector(COLLECTOR, workdir)
    gen = loadgen(500, 3)
    gen.wait()
    time.sleep(1.5)
    c.stop()
    lines = csv_lines(workdir)
    if len(lines) != 500 * 3 * 30:
        fail("the CSV has %d lines, not the %d sent" % (len(lines), 500 * 3 * 30))
    if stored_flows(workdir) != len(lines):
        fail("%d flows stored, %d in the CSV" % (stored_flows(workdir), len(lines)))
    stored = {}
    for f in day_files(workdir):
        for src, total in query(f, "SELECT src, sum(bytes) FROM flows_text GROUP BY src"):
            stored[src] = stored.get(src, 0) + total
    if stored != csv_bytes_by_source(lines):
        fail("bytes per source differ between the store and the CSV")
    summary = os.path.join(workdir, "history", "summary.sqlite")
    flows, = query(summary, "SELECT sum(flows) FROM minute_totals")[0]
    if flows != len(lines):
        fail("the minute summaries count %s flows, the CSV %d" % (flows, len(lines)))
    print("ok: %d flows in the CSV, the day files and the summaries alike" % len(lines))

    if int(nf_query(workdir, "--count")) != len(lines):
        fail("nf-query --count differs from the CSV")
    ranked = {}
    for row in nf_query(workdir, "--top", "src", "-n", "1000000", "--format", "csv").splitlines()[1:]:
        fields = row.split(",")
        if fields[0] == "top":
            ranked[fields[2]] = int(fields[4])
    if ranked != csv_bytes_by_source(lines):
        fail("nf-query --top src differs from the CSV's bytes per source")
    listed = nf_query(workdir, "--flows", "-n", "0", "--format", "json").splitlines()
    if len(listed) != len(lines) or '"version":5' not in listed[0]:
        fail("nf-query --flows listed %d flows for %d CSV lines" % (len(listed), len(lines)))
    print("ok: nf-query counts, ranks and lists what the CSV holds")


def kill_under_load_leaves_a_sound_store(workdir):
    c = Collector(COLLECTOR, workdir)
    rate = 3000  # 90,000 flows/s
    gen = loadgen(rate, 6)
    wait_for(lambda: stored_flows(workdir) > 0, 10, "the first flows to be stored")
    time.sleep(1)
    if int(nf_query(workdir, "--count")) <= 0:
        fail("nf-query counts nothing while the collector writes")
    time.sleep(1)
    c.proc.send_signal(signal.SIGKILL)
    c.proc.wait()
    gen.wait()
    lines = len(csv_lines(workdir))
    for f in glob.glob(os.path.join(workdir, "history", "*.sqlite")):
        verdict = query(f, "PRAGMA integrity_check")[0][0]
        if verdict != "ok":
            fail("%s after SIGKILL: %s" % (f, verdict))
    stored = stored_flows(workdir)
    # One transaction a second, and what the hand-over held: at most about two seconds of flows.
    if stored > lines or stored < lines - 2 * rate * 30:
        fail("after SIGKILL %d flows stored against %d in the CSV" % (stored, lines))
    print("ok: killed under load, the store is sound with %d of %d flows" % (stored, lines))

    c = Collector(COLLECTOR, workdir)
    gen = loadgen(100, 1)
    gen.wait()
    time.sleep(1.5)
    c.stop()
    if glob.glob(os.path.join(workdir, "history", "*.bad-*")):
        fail("a file was set aside after the restart")
    if stored_flows(workdir) != stored + 100 * 30:
        fail("the next collector did not carry on: %d flows, expected %d" % (stored_flows(workdir), stored + 3000))
    print("ok: the next collector carries on with the same files")


def no_history_means_none(workdir):
    c = Collector(COLLECTOR, workdir, ["--no-history"])
    loadgen(100, 1).wait()
    time.sleep(0.5)
    c.stop()
    if os.path.exists(os.path.join(workdir, "history")):
        fail("--no-history made a history folder")
    if len(csv_lines(workdir)) != 3000:
        fail("--no-history changed the CSV")
    print("ok: --no-history keeps nothing beside the CSV")


for step in (everything_reaches_the_store, kill_under_load_leaves_a_sound_store, no_history_means_none):
    with tempfile.TemporaryDirectory() as d:
        step(d)
