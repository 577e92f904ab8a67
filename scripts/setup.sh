#!/usr/bin/env bash
# scripts/setup.sh [LEG...] -- idempotent set-up: system packages, then for
# each leg (default: the default leg, venv .venv) its venv, kestro built and
# installed, its dependencies. Legs: see scripts/legs.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

# system packages: the compiler and C++ libraries, venv for Debian's python3.11,
# the PostgreSQL server of the suite's second host database, clang with
# libFuzzer and the sanitizer runtimes for scripts/fuzz.sh
apt_pkgs="g++ libsimdjson-dev libgtest-dev python3-venv postgresql clang-14 libfuzzer-14-dev libclang-rt-14-dev"
missing=""
for p in $apt_pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi

# PostgreSQL refuses to run as root: the suite's private cluster runs as
# this unprivileged user (tests/servers/pg_cluster.py)
if [ "$(id -u)" = 0 ] && ! id kestro-pg >/dev/null 2>&1; then
  useradd --system --no-create-home --shell /usr/sbin/nologin kestro-pg
fi

for leg in "${@:-default}"; do
  setup_leg "$leg"
done
