#!/usr/bin/env bash
# Idempotent set-up: system packages, virtual environment, build, install.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_pkgs="g++ libsimdjson-dev libgtest-dev postgresql"
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

[ -x .venv/bin/python ] || python3 -m venv .venv
# build tools in the venv, since the package is built without isolation so
# that its build folder is reused between runs
.venv/bin/python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pybind11>=2.12" cmake ninja wheel
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation ".[test]"
