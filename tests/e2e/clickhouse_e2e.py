#!/usr/bin/env python3
"""The export to ClickHouse tried on the real binaries against real servers of the test's own:

1. version 5, 9 and IPFIX flows, several batches of them, are in the flows table once the collector
   has stopped, as many and with the same bytes as the CSV, and the minute sums say the same;
2. a server stopped under load and started again a few seconds later loses nothing, neither while
   the collector runs on nor when the collector stops first and sends its spool at the next start;
   standard error tells both episodes;
3. a wrong password is refused and said so without showing the password; the CSV gets every flow,
   the collector ends normally, and the next start with the right password sends what waited;
4. a flows table of another shape, or a database that is not there, is refused and named; the CSV
   goes on;
5. a malformed URL or a missing password file ends the program at once with status 2, naming the
   option, never echoing a password;
6. nf-query --clickhouse counts what the server holds (when this nf-query has the option).

Usage: clickhouse_e2e.py COLLECTOR NF_LOADGEN NF_QUERY TESTSUPPORT_DIR
"""
import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, sys.argv[4])
from e2e_collector import Collector, Stderr, csv_lines, fail, wait_for  # noqa: E402
import clickhouse_server  # noqa: E402
from clickhouse_server import ClickHouseServer  # noqa: E402

COLLECTOR = os.path.abspath(sys.argv[1])
LOADGEN = os.path.abspath(sys.argv[2])
NF_QUERY = os.path.abspath(sys.argv[3])
RECORDS = 30  # flows a datagram: nf-loadgen's default


@contextlib.contextmanager
def collector(workdir, *arguments):
    """A collector for the with block; ended with SIGKILL if the block fails before stopping it."""
    c = Collector(COLLECTOR, workdir, arguments)
    c.said = Stderr(c.proc)
    try:
        yield c
    finally:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.wait()


def stop(c):
    """SIGTERM, status 0, and everything it said."""
    if c.proc.poll() is None:
        c.proc.send_signal(signal.SIGTERM)
    try:
        status = c.proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        fail("the collector did not end within 30 s of SIGTERM; it said:\n" + c.said.said())
    c.said.thread.join(timeout=5)
    if status != 0:
        fail("the collector ended with status %d; it said:\n%s" % (status, c.said.said()))
    return c.said.said()


running_loads = []


def loadgen(version, rate, seconds):
    gen = subprocess.Popen([LOADGEN, "--netflow-version", str(version), "--rate", str(rate), "--duration",
                            str(seconds), "--records", str(RECORDS), "--burst", "8", "--quiet"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    running_loads.append(gen)
    return gen


def send(version, rate, seconds):
    loadgen(version, rate, seconds).wait(timeout=seconds + 60)


def csv_totals(workdir):
    # The byte count is the last field of every line, version 5 and version 9 alike.
    lines = csv_lines(workdir)
    return len(lines), sum(int(line.rsplit(",", 1)[1]) for line in lines)


def numbers(server, sql):
    return tuple(int(x or 0) for x in server.query(sql).split())


def numbers_rows(server, sql):
    return [tuple(int(x) for x in row.split("\t")) for row in server.query(sql).splitlines() if row]


def stored(server, database):
    return numbers(server, "SELECT count(), sum(bytes) FROM %s.flows" % database)


def minute_sums(server, database):
    return numbers(server, "SELECT sum(flows), sum(raw_bytes) FROM %s.flows_minute" % database)


def fresh_database(server, name):
    server.query("DROP DATABASE IF EXISTS " + name)
    server.query("CREATE DATABASE " + name)
    return name


def settled_csv(workdir, seconds=10):
    """The CSV's totals once they have stopped growing for a second."""
    last = None
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        now = csv_totals(workdir)
        if now == last:
            return now
        last = now
        time.sleep(1)
    return last


def catch_up(c, server, database, workdir, seconds):
    """Waits until the server holds what the CSV holds."""
    csv = settled_csv(workdir)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if stored(server, database) == csv:
            return csv
        time.sleep(0.5)
    fail("the server holds %s (flows, bytes), the CSV %s, %d s after the load ended; the collector said:\n%s" %
         (stored(server, database), csv, seconds, c.said.said()))


def expect_same(server, database, workdir, c_said, what):
    csv = csv_totals(workdir)
    if stored(server, database) != csv:
        fail("%s: the flows table holds %s (flows, bytes), the CSV %s; the collector said:\n%s" %
             (what, stored(server, database), csv, c_said))
    if minute_sums(server, database) != csv:
        fail("%s: flows_minute sums to %s (flows, bytes), the CSV %s" % (what, minute_sums(server, database), csv))
    return csv


def expect_said(text, *pieces):
    for piece in pieces:
        if piece not in text:
            fail("standard error lacks %r; it said:\n%s" % (piece, text))


def spooled_at_end(said):
    """What "ClickHouse: 1,234 flows left in the spool for the next start" says, else 0."""
    found = re.findall(r"^ClickHouse: ([\d,]+) flows left in the spool for the next start$", said, re.M)
    return int(found[-1].replace(",", "")) if found else 0


def v5_lines_and_others(workdir):
    # A version 5 line has more fields than a version 9 or IPFIX line.
    counts = {}
    for line in csv_lines(workdir):
        n = line.count(",")
        counts[n] = counts.get(n, 0) + 1
    return counts


# --- the cases ---


def flows_arrive_whole(server, workdir):
    database = fresh_database(server, "whole")
    with collector(workdir, "--clickhouse", server.url(database)) as c:
        # 600,000 version 5 flows at 300,000 a second: a dozen batches by size, then by time.
        send(5, 10000, 2)
        send(9, 1000, 1)
        send(10, 1000, 1)
        # Batches go by time once a second: this is the last one's while it is filled.
        time.sleep(1.5)
        said = stop(c)
    # At SIGTERM what is not sent within a few seconds waits in the spool: on a slow machine it
    # may, and then the next start sends it (case 2); lost it must not be.
    left = spooled_at_end(said)
    csv = csv_totals(workdir)
    if left and stored(server, database)[0] + left == csv[0]:
        print("ok: %d flows were left in the spool at SIGTERM; the next start sends them" % left, flush=True)
        with collector(workdir, "--clickhouse", server.url(database)) as c:
            catch_up(c, server, database, workdir, 120)
            said += stop(c)
    flows, _ = expect_same(server, database, workdir, said, "after SIGTERM")
    if flows < 200000:
        fail("only %d flows reached the CSV: too few to try several batches" % flows)
    expect_said(said, "ClickHouse: sending flows to " + server.url(database),
                "ClickHouse: made the tables flows, flows_minute and flows_minute_mv")
    by_version = dict(numbers_rows(server, "SELECT version, count() FROM %s.flows GROUP BY version" % database))
    shapes = sorted(v5_lines_and_others(workdir).items())
    if len(shapes) != 2 or by_version.get(5) != shapes[1][1] or by_version.get(9, 0) + by_version.get(10, 0) != \
            shapes[0][1] or not by_version.get(9) or not by_version.get(10):
        fail("flows by version %s, CSV lines by shape %s" % (by_version, shapes))
    if "dropped" in said:
        fail("the collector dropped flows with the server up:\n" + said)
    print("ok: %d flows of versions 5, 9 and 10 in the flows table and its minute sums, as in the CSV" % flows,
          flush=True)
    return database


def nf_query_counts_the_server(server, database, workdir):
    helped = subprocess.run([NF_QUERY, "--help"], capture_output=True, text=True, timeout=30).stdout
    if "--clickhouse" not in helped:
        print("ok: nf-query has no --clickhouse; its count is not tried", flush=True)
        return
    flows, _ = csv_totals(workdir)
    with tempfile.NamedTemporaryFile("w", dir=workdir, delete=False) as f:
        f.write(clickhouse_server.PASSWORD + "\n")
    tries = [[server.url(database)],
             [server.url(database, user=clickhouse_server.PASSWORD_USER), "--clickhouse-password-file", f.name]]
    for url in tries:
        run = subprocess.run([NF_QUERY, "--clickhouse", *url, "--from", "-1d", "--count"], capture_output=True,
                             text=True, timeout=120)
        if run.returncode != 0 or run.stdout.strip() != str(flows):
            fail("nf-query --clickhouse %s --count gave %r (status %d, %s), the CSV %d flows" %
                 (" ".join(url), run.stdout.strip(), run.returncode, run.stderr.strip(), flows))
        if clickhouse_server.PASSWORD in run.stdout + run.stderr:
            fail("nf-query showed the password")
    print("ok: nf-query --clickhouse counts the %d flows, with and without a password" % flows, flush=True)


def server_away_under_load(server, workdir):
    database = fresh_database(server, "away")
    arguments = ("--clickhouse", server.url(database))

    def episodes(c, kind):
        return sum(1 for l in c.said.lines("ClickHouse: ") if l.startswith("ClickHouse: %s" % kind))

    with collector(workdir, *arguments) as c:
        # Stopped: a server keeps answering on open connections for a while after SIGTERM, so a
        # second load makes sure that flows come while it is really gone.
        loadgen(5, 1000, 8)
        wait_for(lambda: stored(server, database)[0] > 0, 20, "the first flows in the server")
        time.sleep(1)
        server.stop()
        loadgen(5, 1000, 5)
        wait_for(lambda: episodes(c, "unreachable (") == 1, 20, "the collector to see the server away")
        time.sleep(2)
        server.start()
        for gen in running_loads:
            gen.wait(timeout=60)
        catch_up(c, server, database, workdir, 120)
        # Killed: the insert under way breaks off.
        gen = loadgen(5, 1000, 6)
        time.sleep(1.5)
        server.kill()
        wait_for(lambda: episodes(c, "unreachable (") == 2, 20, "the collector to see the server killed")
        time.sleep(2)
        server.start()
        gen.wait(timeout=60)
        catch_up(c, server, database, workdir, 120)
        if episodes(c, "reachable again after ") != 2 or episodes(c, "spool sent, ") != 2:
            fail("two episodes away, but standard error said:\n" + c.said.said())
        print("ok: the server stopped and killed under load: the collector caught up each time, %d flows" %
              csv_totals(workdir)[0], flush=True)

        # Away again, and the collector stops before it comes back.
        server.stop()
        send(5, 1000, 3)
        settled_csv(workdir)
        said = stop(c)
    left = spooled_at_end(said)
    if not left:
        fail("no flows were left in the spool with the server away at the end; it said:\n" + said)
    server.start()
    with collector(workdir, *arguments) as c:
        catch_up(c, server, database, workdir, 120)
        said = stop(c)
    expect_said(said, " from an earlier run; they go first", "ClickHouse: spool sent, ")
    flows, _ = expect_same(server, database, workdir, said, "after the spool of the earlier run")
    print("ok: %d flows left in the spool at SIGTERM with the server away; the next start sent them: %d flows in "
          "all, as in the CSV" % (left, flows), flush=True)


def wrong_password_is_refused(server, workdir):
    database = fresh_database(server, "creds")
    wrong = "wrong-pass-4711"
    password_file = os.path.join(workdir, "password")
    with open(password_file, "w") as f:
        f.write(wrong + "\n")
    url = server.url(database, user=clickhouse_server.PASSWORD_USER)
    with collector(workdir, "--clickhouse", url, "--clickhouse-password-file", password_file) as c:
        send(5, 1000, 2)
        wait_for(lambda: "wrong user or password" in c.said.said(), 30, "the refusal on standard error")
        said = stop(c)
    expect_said(said, "ClickHouse: refused: wrong user or password (")
    if wrong in said:
        fail("the password is on standard error:\n" + said)
    flows, _ = settled_csv(workdir)
    if flows != 1000 * 2 * RECORDS:
        fail("the CSV has %d lines, not the %d sent" % (flows, 1000 * 2 * RECORDS))
    if server.query("EXISTS TABLE %s.flows" % database).strip() == "1" and stored(server, database) != (0, 0):
        fail("a refused user's flows are in the server")
    print("ok: a wrong password was refused and said so without showing it; the CSV has all %d flows" % flows,
          flush=True)

    # The right password in the URL: what waited goes now, and the password is not shown either.
    right = server.url(database, user=clickhouse_server.PASSWORD_USER, password=clickhouse_server.PASSWORD)
    with collector(workdir, "--clickhouse", right) as c:
        catch_up(c, server, database, workdir, 60)
        said = stop(c)
    if clickhouse_server.PASSWORD in said:
        fail("the password is on standard error:\n" + said)
    expect_same(server, database, workdir, said, "with the right password")
    print("ok: with the right password the waiting flows went to the server", flush=True)


def refusals_name_the_cause(server, workdir):
    mismatch = fresh_database(server, "mismatch")
    server.query("CREATE TABLE %s.flows (start DateTime, bytes UInt32) ENGINE = MergeTree ORDER BY start" % mismatch)
    server.query("DROP DATABASE IF EXISTS absent")
    # The column of the wrong type comes first: it is what the operator must change.
    cases = [(mismatch, r"ClickHouse: refused: the table flows does not match \(bytes is UInt32, not UInt64; "
                        r"missing: start_ms"),
             ("absent", r"ClickHouse: refused: unknown database \(.*absent")]
    for database, expected in cases:
        directory = os.path.join(workdir, database)
        os.mkdir(directory)
        with collector(directory, "--clickhouse", server.url(database)) as c:
            send(5, 500, 1)
            wait_for(lambda: "ClickHouse: refused: " in c.said.said(), 30, "the refusal on standard error")
            said = stop(c)
        if not re.search(expected, said):
            fail("standard error lacks %r; it said:\n%s" % (expected, said))
        flows, _ = settled_csv(directory)
        if flows != 500 * RECORDS:
            fail("the CSV has %d lines, not the %d sent" % (flows, 500 * RECORDS))
    if numbers(server, "SELECT count() FROM %s.flows" % mismatch) != (0,):
        fail("rows went into the table that does not match")
    print("ok: a flows table of another shape and an absent database were refused and named; the CSV went on",
          flush=True)


def usage_errors_end_at_once(workdir):
    secret = "hunter2-not-shown"
    cases = [
        (["--clickhouse", "ftp://x"], "--clickhouse"),
        (["--clickhouse", "not-a-url"], "--clickhouse"),
        (["--clickhouse"], "--clickhouse"),
        (["--clickhouse", "http://flows:%s@127.0.0.1:notaport/?database=netflow" % secret], "--clickhouse"),
        (["--clickhouse", "http://flows:%s@127.0.0.1:8123/?database=netflow" % secret, "--clickhouse-password-file",
          os.path.join(workdir, "no-such-file")], "--clickhouse-password-file"),
    ]
    exe = os.path.join(workdir, "netflow-collector")
    shutil.copy2(COLLECTOR, exe)
    for arguments, option in cases:
        try:
            run = subprocess.run([exe, *arguments], cwd=workdir, capture_output=True, text=True, timeout=20,
                                 env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        except subprocess.TimeoutExpired:
            fail("%s did not end the program" % " ".join(arguments))
        if run.returncode != 2 or option not in run.stderr:
            fail("%s: status %d, stderr %r; expected 2 and %s named" % (" ".join(arguments), run.returncode,
                                                                          run.stderr, option))
        if secret in run.stdout + run.stderr:
            fail("%s echoed the password: %r" % (" ".join(arguments), run.stderr))
    if csv_lines(workdir) or os.path.exists(os.path.join(workdir, "clickhouse-spool")):
        fail("a usage error left files behind")
    print("ok: malformed URLs and a missing password file end the program with status 2, naming the option",
          flush=True)


def main():
    if not clickhouse_server.available():
        fail("no clickhouse-server is installed; " + clickhouse_server.INSTALL_HINT)
    clickhouse_server.end_cleanly_on_signals()
    scratch = tempfile.mkdtemp(prefix="clickhouse-e2e-")
    servers = []
    try:
        def folder(name):
            path = os.path.join(scratch, name)
            os.mkdir(path)
            return path

        usage_errors_end_at_once(folder("usage"))
        server = ClickHouseServer(scratch)
        servers.append(server)
        server.start()
        print("ok: a server of the test's own answered after %.1f s" % server.start_seconds, flush=True)
        whole = folder("whole")
        database = flows_arrive_whole(server, whole)
        nf_query_counts_the_server(server, database, whole)
        wrong_password_is_refused(server, folder("creds"))
        refusals_name_the_cause(server, folder("refusals"))
        away = ClickHouseServer(scratch)
        servers.append(away)
        away.start()
        server_away_under_load(away, folder("away"))
    finally:
        for gen in running_loads:
            if gen.poll() is None:
                gen.kill()
                gen.wait()
        for s in servers:
            s.cleanup()
        shutil.rmtree(scratch, ignore_errors=True)


main()
