#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...] -- builds the libFuzzer targets of
# tests/fuzz (clang, AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for SECONDS (default 30) from its seed corpus
# tests/fuzz/corpus/<name>/; fails on the first finding, whose input is
# kept under build/fuzz/artifacts/. New inputs go to build/fuzz/work/, never
# into the seeds. FUZZ_ARGS adds libFuzzer options (e.g. -runs=N).
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-30}"
shift || true
export PATH="$PWD/.venv/bin:$PATH"  # cmake and ninja of the default venv
cxx="${KESTRO_FUZZ_CXX:-clang++-14}"
cmake -S . -B build/fuzz -G Ninja -DKESTRO_PYTHON=OFF -DKESTRO_FUZZ=ON -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
for target in "${targets[@]}"; do
  name="${target#fuzz_}"
  work="build/fuzz/work/$name"
  artifacts="build/fuzz/artifacts/$name/"
  mkdir -p "$work" "$artifacts"
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  echo "=== fuzz $name (${secs}s)"
  # -timeout: one input running 10 s is a hang, and a finding
  set +e
  "build/fuzz/$target" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts" ${FUZZ_ARGS:-} "$work" "${seeds[@]}" 2>&1 |
    grep -E "^(INFO: Seed|stat::number_of_executed_units|==[0-9]+==|SUMMARY|.*(ERROR|Deadly|Test unit written|runtime error))"
  rc="${PIPESTATUS[0]}"
  set -e
  if [ "$rc" -ne 0 ]; then
    echo "fuzz $name: finding (exit $rc), input under $artifacts" >&2
    exit 1
  fi
done
