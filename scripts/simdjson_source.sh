#!/usr/bin/env bash
# scripts/simdjson_source.sh -- the simdjson single-file sources that the wheels compile
# into their modules (Debian ships simdjson as a shared library only). Taken from a pinned
# PyPI sdist that carries them, checked against its hash, unpacked once into
# build/simdjson-<version>/; prints that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/legs.sh

carrier=pysimdjson
carrier_version=7.0.2
carrier_sha256=44cf276e48912a3b9c7ca362c14da8420a7ac15a9f1a16ec95becff86db3904a
simdjson_version=3.12.3
out="build/simdjson-$simdjson_version"

if [ ! -f "$out/simdjson.cpp" ] || [ ! -f "$out/simdjson.h" ]; then
  {
    tools="$(wheel_tools)"
    dl="build/simdjson-download"
    rm -rf "$dl" "$out.tmp"
    # the sdist only: nothing of it is built or installed
    "$tools/bin/python" -m pip download -q --disable-pip-version-check --no-deps \
      --no-binary "$carrier" -d "$dl" "$carrier==$carrier_version"
    archive="$dl/$carrier-$carrier_version.tar.gz"
    echo "$carrier_sha256  $archive" | sha256sum -c --quiet - || die "$archive: unexpected hash"
    mkdir -p "$out.tmp"
    tar -xzf "$archive" -C "$out.tmp" --strip-components=2 \
      "$carrier-$carrier_version/simdjson/simdjson.h" "$carrier-$carrier_version/simdjson/simdjson.cpp"
    tar -xzf "$archive" -C "$out.tmp" --strip-components=1 "$carrier-$carrier_version/LICENSE"
    grep -q "#define SIMDJSON_VERSION \"$simdjson_version\"" "$out.tmp/simdjson.h" \
      || die "$archive does not carry simdjson $simdjson_version"
    rm -rf "$out" "$dl"
    mv "$out.tmp" "$out"
  } >&2
fi
echo "$PWD/$out"
