#!/usr/bin/env bash
# scripts/zig_toolchain.sh ZIG GLIBC -- writes build/zig-GLIBC/{cc,c++,ar,ranlib}: zig's
# C/C++ compiler targeting x86_64 Linux with glibc GLIBC, as programs CMake can name;
# prints that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
zig="$1"
glibc="$2"
tc="$PWD/build/zig-$glibc"
mkdir -p "$tc/include"
# CPython 3.8 to 3.10's Python.h includes <crypt.h>, which glibc's own headers no longer
# carry (zig's neither); only its one declaration is needed, and only when asked for
printf '#pragma once\nchar *crypt(const char *key, const char *salt);\n' > "$tc/include/crypt.h.tmp"
mv -f "$tc/include/crypt.h.tmp" "$tc/include/crypt.h"
for lang in cc c++; do
  # zig keeps every object it compiles in its cache (so the core and simdjson compile
  # once for all interpreters), but not when asked for a dependency file: the wrapper
  # writes that itself, empty, as a one-shot build in a new folder needs none.
  cat > "$tc/$lang.tmp" <<WRAP
#!/bin/sh
mf=""; mt=""; skip=""
for a; do
  shift
  case "\$skip" in
    mf) mf="\$a"; skip=""; continue ;;
    mt) mt="\$a"; skip=""; continue ;;
  esac
  case "\$a" in
    -MD|-MMD) continue ;;
    -MF) skip=mf; continue ;;
    -MT|-MQ) skip=mt; continue ;;
  esac
  set -- "\$@" "\$a"
done
if [ -n "\$mf" ]; then printf '%s:\n' "\$mt" > "\$mf"; fi
exec "$zig" $lang -target x86_64-linux-gnu.$glibc -idirafter "$tc/include" "\$@"
WRAP
done
for t in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$t" > "$tc/$t.tmp"
done
# replaced whole, never rewritten in place: another build may be running them
for t in cc c++ ar ranlib; do
  chmod +x "$tc/$t.tmp"
  mv -f "$tc/$t.tmp" "$tc/$t"
done
echo "$tc"
