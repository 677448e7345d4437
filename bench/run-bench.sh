#!/usr/bin/env bash
# Load benchmark: the collector's highest loss-free rate for v5 and v9 (and IPFIX, v10, on request),
# next to nfcapd's on the same traffic, and the ceiling that one open, append and close per flow line
# sets.
#
# Builds the release binaries in build/bench, then runs bench/loadrun.py. Sends to 127.0.0.1 only.
# Not part of the test command: a full run takes 15 to 40 minutes and wants a quiet machine.
# The collector binds its fixed UDP port 9996 while it runs; nothing else on the machine may.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
Usage: bench/run-bench.sh [options]
  --quick             try it out: 3 s steps, a coarse ladder, no bisection (about 3 minutes)
  --step-seconds S    seconds of traffic per rate step (default 20)
  --rates R1,R2,...   the rising datagram rates to try (default 500 ... 100000)
  --refine N          bisection steps between the last loss-free rate and the first lossy one (default 2)
  --versions LIST     NetFlow versions to run, among 5, 9 and 10 (IPFIX) (default 5,9)
  --targets LIST      collector,nfcapd (default both)
  --no-contract       skip the CSV-contract measurement
  --no-build          use the binaries already in build/bench
  --json FILE         also write every measurement to FILE
  --soak              also pass 10 million v5 flows through one collector and report its peak RSS
  --traffic           start the collector with its Traffic window open (the live aggregation on)
  --no-history        start the collector with --no-history (its flow history is on by default)
  --count-history     a collector step is loss-free only when its history stored and summed every flow
  --clickhouse        start a ClickHouse server of its own (loopback, temporary folder) and send every
                      collector step's flows to it too; a step is loss-free only when the server has them all
  --names             start a DNS server and an SNMP agent of its own (loopback, temporary folders) and the
                      collector with every name on: its Traffic window open, host names looked up there,
                      the exporter's interfaces polled there, countries and AS numbers looked up
  --public-addresses  the load generator's flows go between public addresses, whose places are looked up
  --burst B           the load generator sends B datagrams per wake-up (default 1)
  --keep              keep the step directories (CSV files can be hundreds of MB each)
Environment: BENCH_CMAKE_ARGS adds arguments to the cmake configure step.
USAGE
}

py_args=()
with_clickhouse=0
with_names=0
build=1
contract=1
while (($#)); do
    case "$1" in
        --quick) py_args+=(--step-seconds 3 --rates 1000,4000,16000,64000 --refine 0 --settle 1 --contract-reps 3
                           --contract-min-time 0.3) ;;
        --step-seconds|--rates|--refine|--versions|--targets|--json|--burst)
            (($# >= 2)) || { echo "run-bench.sh: $1 needs a value" >&2; exit 2; }
            # Checked before the build, which takes minutes, rather than by loadrun.py after it.
            if [[ $1 == --versions && ! $2 =~ ^(5|9|10)(,(5|9|10))*$ ]]; then
                echo "run-bench.sh: --versions takes a list among 5, 9 and 10, such as 5,9,10" >&2
                exit 2
            fi
            py_args+=("$1" "$2"); shift ;;
        --soak) py_args+=(--soak-flows 10000000) ;;
        --traffic) py_args+=(--traffic) ;;
        --no-history) py_args+=(--no-history) ;;
        --count-history) py_args+=(--count-history) ;;
        --clickhouse) with_clickhouse=1 ;;
        --names) with_names=1; py_args+=(--names) ;;
        --public-addresses) py_args+=(--public-addresses) ;;
        --no-contract) contract=0 ;;
        --no-build) build=0 ;;
        --keep) py_args+=(--keep) ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run-bench.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    esac
    shift
done

build_dir=build/bench
if ((build)); then
    scripts/install-deps.sh --bench
    # shellcheck disable=SC2086 # BENCH_CMAKE_ARGS is a list of words on purpose
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNFC_BUILD_TESTS=OFF -DNFC_BUILD_BENCH=ON \
        ${BENCH_CMAKE_ARGS:-} >/dev/null
    cmake --build "$build_dir" --target nf-loadgen -j 2
    # The other two are built one by one, so that one failing still leaves the rest of the run.
    cmake --build "$build_dir" --target netflow-collector -j 2 ||
        echo "run-bench.sh: the collector did not build; its rows are skipped" >&2
    if ((contract)); then
        cmake --build "$build_dir" --target csv_contract -j 2 ||
            echo "run-bench.sh: csv_contract did not build; the CSV-contract figure is skipped" >&2
    fi
fi

loadgen=$build_dir/tools/nf-loadgen
collector=$build_dir/collector/app/netflow-collector
[[ -x $loadgen ]] || { echo "run-bench.sh: $loadgen is missing" >&2; exit 1; }
[[ -x $collector ]] && py_args+=(--collector "$collector")
((contract)) && [[ -x $build_dir/bench/csv_contract ]] && py_args+=(--contract "$build_dir/bench/csv_contract")

# loadrun.py stops its own children on SIGTERM/SIGINT and they die with it; the trap covers the
# case where this shell is the one being stopped.
runner_pid=
cleanup() {
    if [[ -n $runner_pid ]] && kill -0 "$runner_pid" 2>/dev/null; then
        kill -TERM "$runner_pid" 2>/dev/null || true
        for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$runner_pid" 2>/dev/null || break; sleep 0.5; done
        kill -KILL "$runner_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

runner=(python3 bench/loadrun.py --loadgen "$loadgen" "${py_args[@]}")
# The harness starts the server, hands its URL over in NFC_CLICKHOUSE_URL and stops it afterwards.
((with_clickhouse)) && runner=(python3 tests/testsupport/clickhouse_server.py run -- "${runner[@]}")
# The same for the DNS server and the SNMP agent, which hand over NFC_DNS_SERVER, NFC_SNMP_AGENT and
# NFC_SNMP_COMMUNITY.
((with_names)) && runner=(python3 tests/testsupport/snmp_agent.py run -- python3 tests/testsupport/dns_server.py run --
                          "${runner[@]}")
"${runner[@]}" &
runner_pid=$!
status=0
wait "$runner_pid" || status=$?
runner_pid=
exit "$status"
