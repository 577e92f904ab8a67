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
    # The host database: every test on SQLite, then the server-mode tests
    # of the task log and the folder transfers (or the tests named in the
    # arguments) on a private PostgreSQL cluster; KESTRO_TEST_DB=sqlite or
    # =postgresql runs one of the two only.
    if [ "${KESTRO_TEST_DB:-sqlite}" = sqlite ]; then
      # exit 5 (no test ran) is a failure too
      KESTRO_TEST_DB=sqlite .venv/bin/python -m pytest "${@:2}"
    fi
    if [ "${KESTRO_TEST_DB:-postgresql}" = postgresql ]; then
      pg_tests=(tests/python/test_defines.py::TestClogServer tests/python/test_oss_folder.py
                tests/python/test_storvane_folder.py tests/python/test_tasklog_db.py)
      for arg in "${@:2}"; do
        if [ "${arg#-}" = "$arg" ] && [ -e "${arg%%::*}" ]; then pg_tests=(); break; fi
      done
      rc=0
      KESTRO_TEST_DB=postgresql .venv/bin/python -m pytest "${pg_tests[@]}" "${@:2}" || rc=$?
      # tests chosen in the arguments may include none that reach the database
      if [ "$rc" -ne 0 ] && ! { [ "$rc" -eq 5 ] && [ $# -gt 1 ]; }; then exit "$rc"; fi
    fi
    ;;
  *)
    echo "usage: scripts/run.sh main|test [pytest args]" >&2
    exit 2
    ;;
esac
