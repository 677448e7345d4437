#!/usr/bin/env python3
"""Drives a NetFlow collector with nf-loadgen at rising rates and finds its highest loss-free rate.

Versions 5, 9 and 10 (IPFIX); 9 and 10 send the same template and records, so their rates compare.

Called by bench/run-bench.sh once the binaries are built; Python 3 standard library only.
Targets:
  collector  the project's collector, a fresh copy in its own directory per step (its files land
             beside it), headless, on its fixed port 9996; flows counted as lines of NetFlow-*.csv
             (one line per IPv4 flow, whatever the version)
  nfcapd     Debian's nfcapd on a free loopback port, a fresh process per step, taking every version
             on that one socket; flows counted from the summary it prints when stopped
With --names (run-bench.sh --names starts a DNS server and an SNMP agent of its own), the collector
looks up countries, AS numbers, host names and interface names while it collects.
With --clickhouse-url (run-bench.sh --clickhouse starts a server of its own for it), each collector
step also sends its flows to a database of its own on that server, and is loss-free only when
ClickHouse holds every flow once the collector has ended.
Every process started here is stopped on exit, also on Ctrl-C, and dies with this script.
"""

import argparse
import ctypes
import datetime
import glob
import json
import os
import platform
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

COLLECTOR_PORT = 9996
VERSIONS = (5, 9, 10)
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")

_children = []


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def _die_with_parent():
    # Children must not outlive the benchmark, even if it is killed outright.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def start(cmd, **kw):
    proc = subprocess.Popen(cmd, preexec_fn=_die_with_parent, **kw)
    _children.append(proc)
    return proc


def stop(proc, grace=10.0):
    """SIGTERM, then SIGKILL after the grace time. Returns how it ended."""
    if proc.poll() is not None:
        how = "had exited (%d)" % proc.returncode
    else:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=grace)
            how = "stopped by SIGTERM"
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=10)
            how = "killed (SIGTERM ignored for %.0f s)" % grace
    if proc in _children:
        _children.remove(proc)
    return how


def stop_all():
    for proc in list(_children):
        try:
            stop(proc, grace=3.0)
        except Exception:  # noqa: BLE001 - best effort on the way out
            pass


def on_signal(signum, _frame):
    raise KeyboardInterrupt("signal %d" % signum)


# ------------------------------------------------------------------ /proc helpers

def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def machine_busy_ticks():
    """Busy jiffies of all CPUs together (everything but idle and iowait)."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    return sum(v[:8]) - v[3] - v[4]


def peak_rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def socket_inodes(pid):
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            m = re.match(r"socket:\[(\d+)\]", target)
            if m:
                inodes.add(int(m.group(1)))
    except OSError:
        pass
    return inodes


def udp_sockets(port):
    """(inode, rx_queue_bytes, drops) of every UDP socket bound to the local port."""
    found = []
    for table in ("/proc/net/udp", "/proc/net/udp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    local_port = int(parts[1].rsplit(":", 1)[1], 16)
                    if local_port != port:
                        continue
                    rx_queue = int(parts[4].split(":")[1], 16)
                    found.append((int(parts[9]), rx_queue, int(parts[12])))
        except OSError:
            pass
    return found


def own_socket(pid, port):
    mine = socket_inodes(pid)
    for inode, rx_queue, drops in udp_sockets(port):
        if inode in mine:
            return rx_queue, drops
    return None


def wait_until(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ------------------------------------------------------------------ load generator

def run_loadgen(args, version, rate, port):
    cmd = [args.loadgen, "--netflow-version", str(version), "--host", "127.0.0.1", "--port", str(port),
           "--rate", str(rate), "--duration", str(args.step_seconds), "--records", str(args.records),
           "--quiet", "--burst", str(args.burst)] + (["--public-addresses"] if args.public_addresses else [])
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=args.step_seconds * 2 + 30,
                         preexec_fn=_die_with_parent)
    if out.returncode != 0:
        raise RuntimeError("nf-loadgen failed (%d): %s" % (out.returncode, out.stderr.strip()))
    text = out.stdout

    def grab(pattern, cast=float):
        m = re.search(pattern, text, re.M)
        return cast(m.group(1)) if m else None

    return {
        "datagrams": grab(r"^datagrams:\s+(\d+)", int),
        "flows": grab(r"^flows:\s+(\d+)", int),
        "seconds": grab(r"^seconds:\s+([\d.]+)"),
        "achieved": grab(r"^rate:\s+([\d.]+)"),
        "late_mean_us": grab(r"^lateness:\s+mean ([\d.]+)"),
        "late_p99_us": grab(r"p99 < (\d+)", int),
        "late_max_us": grab(r"max ([\d.]+) us"),
        "send_errors": grab(r"^send errors:\s+(\d+)", int),
        "loadgen_cpu_s": grab(r"^cpu seconds:\s+([\d.]+)"),
    }


# ------------------------------------------------------------------ targets

def history_counts(directory):
    """Flows in the raw day files and in the minute summaries of a collector's history folder."""
    import sqlite3
    files = glob.glob(os.path.join(directory, "history", "flows-*.sqlite"))
    summary = os.path.join(directory, "history", "summary.sqlite")
    if not files and not os.path.exists(summary):
        return None, None
    stored = 0
    for path in files:
        db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
        stored += db.execute("SELECT count(*) FROM flows").fetchone()[0]
        db.close()
    summed = 0
    if os.path.exists(summary):
        db = sqlite3.connect("file:%s?mode=ro" % summary, uri=True)
        summed = db.execute("SELECT coalesce(sum(flows), 0) FROM minute_totals").fetchone()[0]
        db.close()
    return stored, summed


def clickhouse(url, sql):
    """Runs one statement over the server's HTTP interface; its answer, stripped."""
    import urllib.request
    with urllib.request.urlopen(urllib.request.Request(url, data=sql.encode()), timeout=120) as answer:
        return answer.read().decode().strip()


def clickhouse_base(url):
    """The URL without its database, for statements about databases."""
    import urllib.parse
    parts = urllib.parse.urlsplit(url)
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query) if k != "database"]
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


class Collector:
    name = "collector"

    def __init__(self, args, base):
        self.args, self.base = args, base

    def port_free(self):
        return not udp_sockets(COLLECTOR_PORT)

    def launch(self, step_dir):
        self.proc = None
        # Another program (a test elsewhere on the machine) may hold the fixed port for a while.
        if not wait_until(self.port_free, self.args.port_wait, 0.5):
            raise RuntimeError("UDP port %d stays in use by another program" % COLLECTOR_PORT)
        exe = os.path.join(step_dir, os.path.basename(self.args.collector))
        shutil.copy2(self.args.collector, exe)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.out = open(os.path.join(step_dir, "collector-output.txt"), "wb")
        options = (["--traffic"] if self.args.traffic else []) + (["--no-history"] if self.args.no_history else [])
        if self.args.names:
            # Every name on: the window open, so that what it shows is looked up at the test's DNS
            # server, and the exporter's interfaces polled at the test's SNMP agent.
            agent = os.environ["NFC_SNMP_AGENT"]
            options += ["--traffic", "--dns-server", os.environ["NFC_DNS_SERVER"],
                        "--snmp-community", os.environ["NFC_SNMP_COMMUNITY"], "--snmp-port", agent.rsplit(":", 1)[1]]
        self.database = None
        if self.args.clickhouse_url:
            # A database a step, so that a step counts only its own flows and leaves nothing behind.
            self.database = "bench_" + os.path.basename(step_dir).replace("-", "_")
            clickhouse(clickhouse_base(self.args.clickhouse_url), "CREATE DATABASE " + self.database)
            options += ["--clickhouse", "%s?database=%s" % (clickhouse_base(self.args.clickhouse_url).split("?")[0],
                                                              self.database)]
        self.proc = start([exe] + options, cwd=step_dir, env=env,
                          stdout=self.out, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL)
        self.dir = step_dir
        return COLLECTOR_PORT

    def csv_bytes(self):
        return sum(os.path.getsize(p) for p in glob.glob(os.path.join(self.dir, "NetFlow-*.csv")))

    def clickhouse_count(self):
        try:
            return int(clickhouse(clickhouse_base(self.args.clickhouse_url),
                                  "SELECT count() FROM %s.flows" % self.database) or 0)
        except (OSError, ValueError):
            return 0  # the tables are not there yet

    def progress(self):
        # With ClickHouse the step has drained only when the server holds still too.
        if self.database:
            return self.csv_bytes(), self.clickhouse_count()
        return self.csv_bytes()

    def finish(self):
        how = stop(self.proc)
        self.out.close()
        lines = 0
        for path in glob.glob(os.path.join(self.dir, "NetFlow-*.csv")):
            with open(path, "rb") as f:
                while True:
                    chunk = f.read(1 << 22)
                    if not chunk:
                        break
                    lines += chunk.count(b"\n")
        reports = len(glob.glob(os.path.join(self.dir, "Exception-*.xml")))
        note = how + ("; %d exception reports" % reports if reports else "")
        stored, summed = history_counts(self.dir)
        if stored is not None:
            note += "; history: %d stored, %d summed" % (stored, summed)
            # With --count-history a step is only loss-free when the history kept every flow too.
            if self.args.count_history:
                lines = min(lines, stored, summed)
        if self.database:
            sent = self.clickhouse_count()
            note += "; ClickHouse: %d" % sent
            lines = min(lines, sent)
            clickhouse(clickhouse_base(self.args.clickhouse_url), "DROP DATABASE IF EXISTS " + self.database)
        return lines, note


class Nfcapd:
    name = "nfcapd"

    def __init__(self, args, base):
        self.args, self.base = args, base

    def launch(self, step_dir):
        self.proc = None
        self.flowdir = os.path.join(step_dir, "flows")
        os.makedirs(self.flowdir)
        port = free_udp_port()
        cmd = [self.args.nfcapd, "-b", "127.0.0.1", "-p", str(port), "-w", self.flowdir]
        if self.args.nfcapd_buffer:
            cmd += ["-B", str(self.args.nfcapd_buffer)]
        self.err_path = os.path.join(step_dir, "nfcapd-output.txt")
        self.out = open(self.err_path, "wb")
        self.proc = start(cmd, cwd=step_dir, stdout=self.out, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL)
        return port

    def progress(self):
        # nfcapd keeps flows in memory blocks, so its output file is no gauge; its CPU time is.
        return cpu_ticks(self.proc.pid)

    def finish(self):
        how = stop(self.proc)
        self.out.close()
        with open(self.err_path, errors="replace") as f:
            text = f.read()
        # One summary line per flow file: nfcapd starts a new file at every rotation boundary.
        lines = re.findall(r"Flows:\s*(\d+).*?Sequence Errors:\s*(\d+)", text)
        if lines:
            sequence_errors = sum(int(e) for _, e in lines)
            note = how + ("; %d sequence errors" % sequence_errors if sequence_errors else "")
            return sum(int(f) for f, _ in lines), note
        # No summary printed: read the flow file's own statistics instead.
        info = subprocess.run([self.args.nfdump, "-R", self.flowdir, "-I"], capture_output=True, text=True,
                              timeout=120)
        m = re.search(r"^Flows:\s*(\d+)", info.stdout, re.M)
        return (int(m.group(1)) if m else 0), how + "; counted with nfdump -I"


def run_step(args, target, version, rate):
    step_dir = tempfile.mkdtemp(prefix="%s-v%d-%d-" % (target.name, version, rate), dir=target.base)
    try:
        # The machine's file-system speed drifts by a third over minutes on a shared host; the
        # contract limit measured just before each collector step puts that step's rate in scale.
        contract_now = None
        if args.contract and target.name == "collector":
            contract_now = probe_contract(args, step_dir)
            os.sync()
        port = target.launch(step_dir)
        proc = target.proc
        if not wait_until(lambda: proc.poll() is None and own_socket(proc.pid, port) is not None,
                          args.start_wait, 0.1):
            how = stop(proc)
            raise RuntimeError("%s did not bind UDP port %d within %.0f s (%s)" %
                               (target.name, port, args.start_wait, how))
        time.sleep(0.5)  # let start-up work settle before the clock runs
        cpu0, t0, all0 = cpu_ticks(proc.pid), time.monotonic(), machine_busy_ticks()
        sent = run_loadgen(args, version, rate, port)

        # Drained when the socket queue is empty and the target's progress gauge holds still.
        last, stable_since = None, time.monotonic()
        drain_deadline = time.monotonic() + args.max_drain
        drained = False
        while time.monotonic() < drain_deadline and proc.poll() is None:
            sock = own_socket(proc.pid, port)
            gauge = target.progress()
            now = time.monotonic()
            if gauge != last or (sock and sock[0] > 0):
                last, stable_since = gauge, now
            elif now - stable_since >= args.settle:
                drained = True
                break
            time.sleep(0.2)
        alive = proc.poll() is None
        sock = own_socket(proc.pid, port) if alive else None
        cpu1, t1 = (cpu_ticks(proc.pid), time.monotonic()) if alive else (cpu0, t0)
        all1 = machine_busy_ticks()
        hwm = peak_rss_kb(proc.pid) if alive else 0
        counted, note = target.finish()
        if not alive:
            note = "exited during the step; " + note
        elif not drained:
            note = "still busy after %.0f s; " % args.max_drain + note
        busy = t1 - t0
        return {
            "target": target.name, "version": version, "rate": rate, "records": args.records, **sent,
            "counted": counted, "lost": sent["flows"] - counted,
            "kernel_drops": sock[1] if sock else None,
            "cpu_pct": 100.0 * (cpu1 - cpu0) / CLK_TCK / busy if busy > 0 else 0.0,
            "wall_s": busy, "peak_rss_mb": hwm / 1024.0, "note": note, "contract_now": contract_now,
            # Whatever else kept the CPUs busy meanwhile, in cores: a gauge of how quiet the machine was.
            "others_cores": max(0.0, ((all1 - all0) - (cpu1 - cpu0)) / CLK_TCK - (sent["loadgen_cpu_s"] or 0))
            / busy if busy > 0 else 0.0,
        }
    except BaseException:
        proc = getattr(target, "proc", None)
        if proc is not None and proc in _children:
            stop(proc, grace=3.0)
        raise
    finally:
        if not args.keep:
            shutil.rmtree(step_dir, ignore_errors=True)
        # A step writes hundreds of MB; what the file system still does with them (writeback,
        # freeing the deleted file) must not run into the next step.
        os.sync()
        time.sleep(args.pause)


def fmt_step(s):
    drops = "-" if s["kernel_drops"] is None else str(s["kernel_drops"])
    contract = ""
    if s.get("contract_now"):
        contract = "  contract %d/s (%.0f%%)" % (s["contract_now"], 100.0 * s["rate"] / s["contract_now"])
    return ("  %-9s v%d %7d/s  sent %9d flows  counted %9d  lost %9d  kernel drops %6s  cpu %5.1f%%  "
            "peak RSS %6.1f MB  pacing %.2f%%  others %.1f cores%s  %s" %
            (s["target"], s["version"], s["rate"], s["flows"], s["counted"], s["lost"], drops, s["cpu_pct"],
             s["peak_rss_mb"], 100.0 * (s["achieved"] or 0) / s["rate"], s["others_cores"], contract, s["note"]))


def climb(args, target, version):
    """Rising rates until the first loss, then bisects between the last good rate and that one."""
    steps, good, bad = [], None, None
    if args.warmup:
        # The first hundreds of MB a fresh run writes land in memory the machine has not touched
        # for a while, which on a virtual machine can cost the first step a tenth of its speed.
        s = run_step(args, target, version, max(1, args.rates[0] // 2))
        log(fmt_step(s) + "  (warm-up, not counted)")
    for rate in args.rates:
        s = run_step(args, target, version, rate)
        steps.append(s)
        log(fmt_step(s))
        if s["lost"] != 0:
            bad = rate
            break
        if s["achieved"] is not None and s["achieved"] < 0.98 * rate:
            log("  (the load generator could not hold %d/s here; stopping this ladder)" % rate)
            s["generator_limited"] = True
            break
        good = s
    lo = good["rate"] if good else 0
    for _ in range(args.refine if bad else 0):
        mid = (lo + bad) // 2
        if mid <= lo or mid >= bad or bad - lo <= max(50, bad // 20):
            break
        s = run_step(args, target, version, mid)
        steps.append(s)
        log(fmt_step(s))
        if s["lost"] == 0:
            lo, good = mid, s
        else:
            bad = mid
    return {"steps": steps, "best": good, "first_loss": bad,
            "top_reached": bad is None and good is not None}


# ------------------------------------------------------------------ CSV contract

def run_contract(args, base):
    out = subprocess.run([args.contract, "--dir=" + base, "--benchmark_repetitions=%d" % args.contract_reps,
                          "--benchmark_format=json", "--benchmark_min_time=%s" % args.contract_min_time],
                         capture_output=True, text=True, timeout=600, preexec_fn=_die_with_parent)
    if out.returncode != 0:
        raise RuntimeError("csv_contract failed: %s" % out.stderr.strip())
    data = json.loads(out.stdout)
    result = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = b["run_name"].replace("/real_time", "")
            result[name] = {"datagrams_per_s": b["datagrams/s"], "flows_per_s": b["flows/s"],
                            "us_per_datagram": b["real_time"]}
    return result


def probe_contract(args, directory):
    """A short measurement of the contract limit alone, in datagrams/s."""
    out = subprocess.run([args.contract, "--dir=" + directory, "--benchmark_filter=^BM_ContractFloor/0",
                          "--benchmark_format=json", "--benchmark_min_time=%s" % args.contract_probe_time],
                         capture_output=True, text=True, timeout=120, preexec_fn=_die_with_parent)
    if out.returncode != 0:
        return None
    runs = json.loads(out.stdout)["benchmarks"]
    return runs[0]["datagrams/s"] if runs else None


# ------------------------------------------------------------------ report

def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    rmem_max = open("/proc/sys/net/core/rmem_max").read().strip()
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(),
            "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
            "loadavg_at_start": load, "rmem_max": rmem_max}


def best_text(r):
    if r is None:
        return "not run"
    b = r["best"]
    if b is None:
        return "none (lost flows at %d/s)" % r["first_loss"]
    sign = ">= " if r["top_reached"] or b.get("generator_limited") else ""
    return "%s%d datagrams/s (%s%d flows/s), cpu %.0f%%, peak RSS %.1f MB" % (
        sign, b["rate"], sign, b["rate"] * b["records"], b["cpu_pct"], b["peak_rss_mb"])


def parse_versions(ap, text):
    # Refused before any step runs: otherwise a typo costs a whole ladder's wait before nf-loadgen says so.
    try:
        versions = [int(v) for v in text.split(",") if v.strip()]
    except ValueError:
        versions = []
    if not versions or any(v not in VERSIONS for v in versions):
        ap.error("--versions: %r is not a list among %s" % (text, ",".join(str(v) for v in VERSIONS)))
    return versions


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--loadgen", required=True)
    ap.add_argument("--collector", help="collector binary (omit to skip it)")
    ap.add_argument("--burst", type=int, default=1,
                    help="datagrams per wake-up of the load generator (its --burst); 1 paces each one,"
                         " busy-waiting the last 20 us, which takes most of a core at high rates")
    ap.add_argument("--traffic", action="store_true",
                    help="start the collector with its Traffic window open (live aggregation on)")
    ap.add_argument("--no-history", action="store_true", help="start the collector with --no-history")
    ap.add_argument("--names", action="store_true",
                    help="start the collector with its Traffic window open, host names looked up at the DNS server "
                         "of NFC_DNS_SERVER and interfaces polled at the SNMP agent of NFC_SNMP_AGENT")
    ap.add_argument("--public-addresses", action="store_true",
                    help="nf-loadgen sends flows between public addresses (their places are looked up)")
    ap.add_argument("--count-history", action="store_true",
                    help="a collector step is loss-free only when its history stored and summed every flow")
    ap.add_argument("--clickhouse-url", default=os.environ.get("NFC_CLICKHOUSE_URL"),
                    help="also send every collector step's flows to this ClickHouse server, a database a step,"
                         " and count a step loss-free only when the server holds every flow")
    ap.add_argument("--contract", help="csv_contract binary (omit to skip it)")
    ap.add_argument("--nfcapd", default=shutil.which("nfcapd"))
    ap.add_argument("--nfdump", default=shutil.which("nfdump") or "nfdump")
    ap.add_argument("--targets", default="collector,nfcapd")
    ap.add_argument("--versions", default="5,9", help="comma-separated, among %s (10 is IPFIX)" %
                    ",".join(str(v) for v in VERSIONS))
    ap.add_argument("--rates", default="500,1000,2000,3000,4000,5000,6000,7000,8000,10000,12000,15000,20000,"
                                       "25000,30000,40000,50000,60000,80000,100000")
    ap.add_argument("--refine", type=int, default=2, help="bisection steps after the first loss")
    ap.add_argument("--warmup", action="store_true",
                    help="one uncounted step at half the first rate before each ladder")
    ap.add_argument("--records", type=int, default=30)
    ap.add_argument("--step-seconds", type=float, default=20.0)
    ap.add_argument("--settle", type=float, default=2.0, help="seconds without progress that mean drained")
    ap.add_argument("--pause", type=float, default=3.0, help="seconds of quiet after each step, after a sync")
    ap.add_argument("--max-drain", type=float, default=90.0)
    ap.add_argument("--start-wait", type=float, default=20.0)
    ap.add_argument("--port-wait", type=float, default=60.0)
    ap.add_argument("--nfcapd-buffer", type=int, default=int(open("/proc/sys/net/core/rmem_max").read()),
                    help="nfcapd -B socket buffer (default: the system maximum; 0 for nfcapd's own)")
    ap.add_argument("--contract-reps", type=int, default=5)
    ap.add_argument("--contract-min-time", default="1")
    ap.add_argument("--contract-probe-time", default="0.5",
                    help="seconds of the contract measurement before each collector step")
    ap.add_argument("--workdir", default=None, help="where step directories go (default: a new temp dir)")
    ap.add_argument("--keep", action="store_true", help="keep step directories")
    ap.add_argument("--json", help="write every measurement to this file")
    ap.add_argument("--soak-flows", type=int, default=0,
                    help="after the ladders, pass this many v5 flows through one collector and report its peak RSS")
    ap.add_argument("--soak-rate", type=int, default=0,
                    help="datagrams/s of the soak (default: the collector's best v5 rate, else 2000)")
    args = ap.parse_args()
    args.rates = [int(r) for r in args.rates.split(",") if r]
    versions = parse_versions(ap, args.versions)
    targets = [t for t in args.targets.split(",") if t]

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    base = tempfile.mkdtemp(prefix="nfc-bench-", dir=args.workdir)
    results = {"machine": machine(), "config": {
        "step_seconds": args.step_seconds, "records": args.records, "rates": args.rates,
        "nfcapd_buffer": args.nfcapd_buffer}, "runs": {}, "contract": None}
    m = results["machine"]
    log("machine: %s x %d, kernel %s, %s, load average %s" % (m["cpu"], m["nproc"], m["kernel"], m["date"],
                                                               m["loadavg_at_start"]))
    log("work directory: %s" % base)
    try:
        if args.contract:
            log("CSV contract: 30 x (open, append, close) per datagram ...")
            results["contract"] = run_contract(args, base)
        for version in versions:
            for name in targets:
                if name == "collector" and not args.collector:
                    continue
                if name == "nfcapd" and not args.nfcapd:
                    log("nfcapd not found; skipped")
                    continue
                target = Collector(args, base) if name == "collector" else Nfcapd(args, base)
                log("%s, version %d, %d records per datagram, %.0f s per step:" %
                    (name, version, args.records, args.step_seconds))
                try:
                    results["runs"]["%s-v%d" % (name, version)] = climb(args, target, version)
                except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                    log("  %s v%d: %s" % (name, version, e))
                    results["runs"]["%s-v%d" % (name, version)] = {"error": str(e)}
        if args.soak_flows and args.collector and "collector" in targets:
            best = (results["runs"].get("collector-v5") or {}).get("best")
            rate = args.soak_rate or (best["rate"] if best else 2000)
            seconds = args.soak_flows / float(rate * args.records)
            log("collector soak: %d v5 flows at %d datagrams/s (%.0f s):" % (args.soak_flows, rate, seconds))
            saved, args.step_seconds = args.step_seconds, seconds
            try:
                s = run_step(args, Collector(args, base), 5, rate)
                log(fmt_step(s))
                results["soak"] = s
            except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                log("  soak: %s" % e)
            args.step_seconds = saved
    except KeyboardInterrupt:
        log("interrupted; stopping what was started")
        stop_all()
        raise SystemExit(130)
    finally:
        stop_all()
        if not args.keep:
            shutil.rmtree(base, ignore_errors=True)

    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)

    print()
    print("Machine: %d x %s, kernel %s, %s (load average at start %s)" %
          (m["nproc"], m["cpu"], m["kernel"], m["date"], m["loadavg_at_start"]))
    print("Each step: %.0f s of traffic, %d records per datagram; highest rate with zero loss:" %
          (args.step_seconds, args.records))
    for version in versions:
        runs = {t: results["runs"].get("%s-v%d" % (t, version)) for t in ("collector", "nfcapd")}
        for t in ("collector", "nfcapd"):
            r = runs[t]
            text = r["error"] if r and "error" in r else best_text(r)
            print("  v%d %-9s %s" % (version, t, text))
        c, n = runs["collector"], runs["nfcapd"]
        if c and n and c.get("best") and n.get("best"):
            more = " (nfcapd's is a lower bound)" if n["top_reached"] or n["best"].get("generator_limited") else ""
            print("  v%d collector/nfcapd: %.2f%s" % (version, c["best"]["rate"] / n["best"]["rate"], more))
    soak = results.get("soak")
    if soak:
        print("  collector soak: %d v5 flows at %d datagrams/s: %d lost, peak RSS %.1f MB, cpu %.0f%%" %
              (soak["flows"], soak["rate"], soak["lost"], soak["peak_rss_mb"], soak["cpu_pct"]))
    steps = [s for r in results["runs"].values() for s in r.get("steps", [])]
    if steps:
        acc = [100.0 * (s["achieved"] or 0) / s["rate"] for s in steps]
        p99 = [s["late_p99_us"] for s in steps if s["late_p99_us"] is not None]
        print("  load generator (%d datagram%s per wake-up): achieved/asked rate %.2f%% to %.2f%% over %d steps;"
              " p99 lateness %d to %d us" % (args.burst, "" if args.burst == 1 else "s", min(acc), max(acc),
                                             len(steps), min(p99 or [0]), max(p99 or [0])))
    con = results["contract"]
    if con and "BM_ContractFloor/0" in con:
        floor = con["BM_ContractFloor/0"]
        print("  CSV contract limit: %.0f datagrams/s (%.0f flows/s, %.1f us per datagram); "
              "through the project's writer: %.0f datagrams/s; with an existence check per line: %.0f datagrams/s" %
              (floor["datagrams_per_s"], floor["flows_per_s"], floor["us_per_datagram"],
               con.get("BM_AppendToTextFile", {}).get("datagrams_per_s", 0),
               con.get("BM_ContractFloor/1", {}).get("datagrams_per_s", 0)))
        c5 = results["runs"].get("collector-v5")
        if c5 and c5.get("best"):
            print("  collector v5 as a share of the CSV contract limit: %.0f%%" %
                  (100.0 * c5["best"]["rate"] / floor["datagrams_per_s"]))
            if c5["best"].get("contract_now"):
                print("  ... and of the limit measured just before that step: %.0f%% (%d datagrams/s)" %
                      (100.0 * c5["best"]["rate"] / c5["best"]["contract_now"], c5["best"]["contract_now"]))
    probes = [s["contract_now"] for r in results["runs"].values() for s in r.get("steps", []) if s.get("contract_now")]
    if probes:
        print("  contract limit before the collector steps: %d to %d datagrams/s" % (min(probes), max(probes)))


if __name__ == "__main__":
    main()
