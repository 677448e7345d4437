#!/usr/bin/env bash
# Fails when a C++ file drifts from .clang-format, or when the product code trips a check of
# .clang-tidy. Needs a configured build with compile_commands.json (default build/test).
#   scripts/check-style.sh [BUILD_DIR]       check
#   scripts/check-style.sh --fix             reformat every file in place
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
    clang-format -i "${sources[@]}"
    exit 0
fi
build=${1:-build/test}

if [[ ${NFC_SKIP_FORMAT:-} != 1 ]]; then
echo "=== format (.clang-format)"
drift=()
for f in "${sources[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || drift+=("$f")
done
if ((${#drift[@]})); then
    printf 'Not formatted: %s\n' "${drift[@]}"
    echo "Run scripts/check-style.sh --fix"
    exit 1
fi
fi

echo "=== static checks (.clang-tidy)"
mapfile -t product < <(git ls-files 'support/*.cpp' 'flowdecode/*.cpp' 'collector/*.cpp' 'tools/*.cpp')
# Files the build does not compile (benchmarks, fuzzing) are not in the database; tidy needs them there.
mapfile -t compiled < <(python3 - "$build/compile_commands.json" "${product[@]}" <<'PY'
import json, os, sys
db = {os.path.realpath(e["file"]) for e in json.load(open(sys.argv[1]))}
for f in sys.argv[2:]:
    if os.path.realpath(f) in db:
        print(f)
PY
)
status=0
printf '%s\n' "${compiled[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet > "$build/clang-tidy.log" 2>&1 ||
    status=$?
if ((status)); then
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated' "$build/clang-tidy.log" || true
    exit 1
fi
echo "style checks passed"
