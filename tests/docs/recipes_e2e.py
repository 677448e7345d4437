#!/usr/bin/env python3
"""The user guide's loading recipes on a CSV file the collector wrote: the real collector runs
headless from a temporary directory, nf-loadgen sends it version 5 and version 9 datagrams over
loopback, and both recipes must find every flow in its own table with the right byte totals.

    recipes_e2e.py COLLECTOR NF_LOADGEN RECIPES_DIR TESTSUPPORT_DIR
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, sys.argv[4])
from e2e_collector import Collector, csv_lines, fail, wait_for  # noqa: E402

SKIP = 77
V5_DATAGRAMS, V5_RECORDS = 3, 4
V9_DATAGRAMS, V9_RECORDS = 2, 5


def send(loadgen, version, datagrams, records):
    out = subprocess.run([loadgen, "--netflow-version", str(version), "--rate", "50", "--count", str(datagrams),
                          "--records", str(records)], capture_output=True, text=True, timeout=60)
    if out.returncode != 0 or "send errors: 0" not in out.stdout:
        fail("nf-loadgen --netflow-version %d: %s%s" % (version, out.stdout, out.stderr))


def expected_totals(lines):
    """Flows and bytes per layout, counted here independently of the recipes."""
    totals = {8: [0, 0], 7: [0, 0]}
    for line in lines:
        fields = line.split(",")
        if len(fields) not in totals:
            fail("a line of %d fields: %r" % (len(fields), line))
        totals[len(fields)][0] += 1
        totals[len(fields)][1] += int(fields[-1]) % 2**32
    return totals


def run(args, cwd):
    out = subprocess.run([sys.executable] + args, capture_output=True, text=True, cwd=cwd, timeout=120)
    if out.returncode != 0:
        fail("%s: %s%s" % (" ".join(args), out.stdout, out.stderr))
    return out.stdout


def main():
    collector_binary, loadgen, recipes = sys.argv[1:4]
    try:
        import pandas  # noqa: F401
    except ImportError:
        print("SKIP: pandas is missing (scripts/install-deps.sh --test installs python3-pandas)")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="nfc-recipes-") as work:
        collector = Collector(collector_binary, work)
        try:
            send(loadgen, 5, V5_DATAGRAMS, V5_RECORDS)
            send(loadgen, 9, V9_DATAGRAMS, V9_RECORDS)
            flows = V5_DATAGRAMS * V5_RECORDS + V9_DATAGRAMS * V9_RECORDS
            wait_for(lambda: len(csv_lines(work)) >= flows, 30, "%d CSV lines" % flows)
        finally:
            collector.stop()
        lines = csv_lines(work)
        totals = expected_totals(lines)
        if totals[8][0] != V5_DATAGRAMS * V5_RECORDS or totals[7][0] != V9_DATAGRAMS * V9_RECORDS:
            fail("the collector wrote %d version 5 and %d version 9 lines" % (totals[8][0], totals[7][0]))
        csv_name = sorted(n for n in os.listdir(work) if n.startswith("NetFlow-"))[0]

        out = run([os.path.join(recipes, "load-pandas.py"), csv_name], work)
        for version, fields in ((5, 8), (9, 7)):
            want = "version %d flows: %d, bytes: %d" % (version, totals[fields][0], totals[fields][1])
            if want not in out:
                fail("load-pandas.py printed %r, not %r" % (out, want))
        if "top sources by bytes:" not in out:
            fail("load-pandas.py lists no top sources")

        out = run([os.path.join(recipes, "load-sqlite.py"), "flows.db", csv_name], work)
        for table, fields in (("v5_flows", 8), ("v9_flows", 7)):
            want = "%s: %d flows, bytes: %d" % (table, totals[fields][0], totals[fields][1])
            if want not in out:
                fail("load-sqlite.py printed %r, not %r" % (out, want))
    print("recipes: %d version 5 and %d version 9 flows in both" % (totals[8][0], totals[7][0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
