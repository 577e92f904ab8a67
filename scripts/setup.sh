#!/usr/bin/env bash
# scripts/setup.sh [LEG...] -- idempotent set-up: system packages, then for
# each leg (default: the default leg, venv .venv) its venv, kestro built and
# installed, its dependencies. Legs: see scripts/legs.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

# system packages: the compiler and C++ libraries, venv for Debian's python3.11
apt_pkgs="g++ libsimdjson-dev libgtest-dev python3-venv"
missing=""
for p in $apt_pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
fi

for leg in "${@:-default}"; do
  setup_leg "$leg"
done
