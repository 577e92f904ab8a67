#!/usr/bin/env bash
# scripts/run.sh main | test [pytest args] -- set up, then run the main job or every test.
# test: the C++ tests and a bounded run of every fuzz target once, then each leg of the matrix
# (KESTRO_LEGS, comma-separated; default: all of oldest,default,newest,wheel), the default leg
# first while the wheels and sdist that the other chosen legs install build beside it; extra
# args go to pytest in each leg that runs it. Every leg runs; the command fails if one did.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

# The host database: every test on SQLite, then the server-mode tests of
# the task log and the folder transfers (or the tests named in the
# arguments) on a private PostgreSQL cluster; KESTRO_TEST_DB=sqlite or
# =postgresql runs one of the two only. (An if-condition too.)
run_host_dbs() {
  local py="$1" rc arg pg_tests
  shift
  if [ "${KESTRO_TEST_DB:-sqlite}" = sqlite ]; then
    # exit 5 (no test ran) is a failure too
    KESTRO_TEST_DB=sqlite "$py" -m pytest "$@" || return 1
  fi
  if [ "${KESTRO_TEST_DB:-postgresql}" = postgresql ]; then
    pg_tests=(tests/python/test_defines.py::TestClogServer tests/python/test_oss_folder.py
              tests/python/test_storvane_folder.py tests/python/test_folder_rerun.py
              tests/python/test_hostile_folders.py tests/python/test_tasklog_db.py tests/python/test_tasklog_fleet.py)
    for arg in "$@"; do
      if [ "${arg#-}" = "$arg" ] && [ -e "${arg%%::*}" ]; then pg_tests=(); break; fi
    done
    rc=0
    KESTRO_TEST_DB=postgresql "$py" -m pytest "${pg_tests[@]}" "$@" || rc=$?
    # tests chosen in the arguments may include none that reach the database
    if [ "$rc" -ne 0 ] && ! { [ "$rc" -eq 5 ] && [ $# -gt 0 ]; }; then return 1; fi
  fi
}

# (called as an if-condition, where set -e does not act: every step is checked)
run_leg() {
  local leg="$1" py
  shift
  py="$(leg_venv "$leg")/bin/python"
  bash scripts/setup.sh "$leg" || return 1
  # the wheel leg's checks and main-job runs happen in its set-up
  [ "$leg" != wheel ] || return 0
  "$py" scripts/leg_versions.py "$leg" || return 1
  case "$leg" in
    # a wheel runs where no compiler is
    oldest|newest) PATH="$PWD/$(leg_venv "$leg")/bin:$(nocc_path)" run_host_dbs "$py" "$@" ;;
    *) run_host_dbs "$py" "$@" ;;
  esac
}

# The release files the chosen legs install, built once for this run: the wheels of
# the oldest and newest legs' interpreters, and for the wheel leg the others' and the sdist.
build_release_files() {
  local versions=() leg
  for leg in ${1//,/ }; do
    case "$leg" in
      oldest|newest) versions+=("$(leg_python_version "$leg")") ;;
      wheel) read -r -a more <<< "$(wheel_leg_versions)"; versions+=("${more[@]}") ;;
    esac
  done
  [ ${#versions[@]} -gt 0 ] || return 0
  case ",$1," in *,wheel,*) sdist=1 ;; *) sdist=0 ;; esac
  KESTRO_SDIST=$sdist bash scripts/build_wheel.sh "${versions[@]}"
}

case "${1:-}" in
  main)
    bash scripts/setup.sh
    .venv/bin/python scripts/main_job.py
    ;;
  test)
    legs="${KESTRO_LEGS:-${ALL_LEGS// /,}}"
    for leg in ${legs//,/ }; do
      case " $ALL_LEGS " in *" $leg "*) ;; *) die "unknown leg '$leg' in KESTRO_LEGS (legs: $ALL_LEGS)" ;; esac
    done
    bash scripts/setup.sh
    export PATH="$PWD/.venv/bin:$PATH"  # cmake and ninja of the default venv
    cmake -S . -B build/cpp -G Ninja -DKESTRO_PYTHON=OFF -DKESTRO_TESTS=ON >/dev/null
    cmake --build build/cpp
    .venv/bin/python tests/cpp/gen_vectors.py build/cpp/vectors.txt
    KESTRO_TEXT_VECTORS="$PWD/build/cpp/vectors.txt" ctest --test-dir build/cpp --output-on-failure
    # each fuzz target for KESTRO_FUZZ_SECONDS (default 30); a finding fails
    bash scripts/fuzz.sh "${KESTRO_FUZZ_SECONDS:-30}"
    summary=""
    failed=0
    release_pid=""
    case ",$legs," in
      *,oldest,*|*,newest,*|*,wheel,*)
        # the default leg builds from source and mostly waits on its servers: the
        # release files build meanwhile, and the legs that install them wait for them
        echo "=== release files (building in the background: build/release-files.log)"
        mkdir -p build
        release_start=$SECONDS
        build_release_files "$legs" > build/release-files.log 2>&1 &
        release_pid=$!
        ;;
    esac
    ordered=""
    case ",$legs," in *,default,*) ordered=default ;; esac
    for leg in ${legs//,/ }; do [ "$leg" = default ] || ordered="$ordered $leg"; done
    for leg in $ordered; do
      if [ "$leg" != default ] && [ -n "$release_pid" ]; then
        echo "=== release files"
        if wait "$release_pid"; then status=passed; else status=FAILED; failed=1; fi
        cat build/release-files.log
        summary="$summary$(printf '\n  %-8s %-7s %4ds' wheels "$status" $((SECONDS - release_start)))"
        release_pid=""
      fi
      echo "=== leg $leg ==="
      start=$SECONDS
      if run_leg "$leg" "${@:2}"; then status=passed; else status=FAILED; failed=1; fi
      summary="$summary$(printf '\n  %-8s %-7s %4ds' "$leg" "$status" $((SECONDS - start)))"
    done
    echo "=== legs:$summary"
    exit "$failed"
    ;;
  *)
    echo "usage: scripts/run.sh main|test [pytest args]" >&2
    exit 2
    ;;
esac
