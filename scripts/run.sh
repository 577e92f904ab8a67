#!/usr/bin/env bash
# scripts/run.sh main | test  -- set up, then run the main job or every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
case "${1:-}" in
  main)
    .venv/bin/python scripts/main_job.py
    ;;
  test)
    cmake -S . -B build/cpp -G Ninja -DKESTRO_PYTHON=OFF -DKESTRO_TESTS=ON >/dev/null
    cmake --build build/cpp
    .venv/bin/python tests/cpp/gen_vectors.py build/cpp/vectors.txt
    KESTRO_TEXT_VECTORS="$PWD/build/cpp/vectors.txt" ctest --test-dir build/cpp --output-on-failure
    # exit 5 (no test ran) is a failure too
    .venv/bin/python -m pytest "${@:2}"
    ;;
  *)
    echo "usage: scripts/run.sh main|test [pytest args]" >&2
    exit 2
    ;;
esac
