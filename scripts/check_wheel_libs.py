"""Run with an installed kestro: every module loads, and the shared libraries they map
are the ones the release should bring.

    check_wheel_libs.py --simdjson inside   a wheel: simdjson is compiled into the modules,
                                            so no libsimdjson is mapped at all; each module
                                            needs only glibc's libraries (ldd); no compiler
                                            is on PATH and LD_LIBRARY_PATH is unset
    check_wheel_libs.py --simdjson system   a source build (sdist): the system's libsimdjson
"""
import argparse
import importlib
import os
import re
import shutil
import subprocess
import sys

MODULES = ["kestro.common.defines", "kestro.oss.oss", "kestro.s3.storvane",
           "kestro.quorel.quorel", "kestro.pyspark_k8s.podwarden"]
COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++", "zig", "nvcc", "cmake", "ninja"]
GLIBC_LIB = re.compile(r"^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2"
                       r"|librt\.so\.1|/lib(64)?/ld-linux-x86-64\.so\.2|ld-linux-x86-64\.so\.2)$")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--simdjson", choices=["inside", "system"], required=True)
    args = ap.parse_args()
    errors = []

    loaded = [importlib.import_module(name) for name in MODULES]
    with open("/proc/self/maps") as f:
        mapped = {line.split()[-1] for line in f if "/" in line}
    simdjson = sorted(p for p in mapped if "libsimdjson" in os.path.basename(p))

    if args.simdjson == "inside":
        if simdjson:
            errors.append("a simdjson library is loaded: %s" % simdjson)
        found = [c for c in COMPILERS if shutil.which(c)]
        if found:
            errors.append("build tools on PATH: %s" % ", ".join(shutil.which(c) for c in found))
        if os.environ.get("LD_LIBRARY_PATH"):
            errors.append("LD_LIBRARY_PATH is set: %s" % os.environ["LD_LIBRARY_PATH"])
        for mod in loaded:
            out = subprocess.run(["ldd", mod.__file__], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=True).stdout
            for line in out.splitlines():
                name = line.split()[0] if line.split() else ""
                if name and not GLIBC_LIB.match(name):
                    errors.append("%s needs %s" % (os.path.basename(mod.__file__), line.strip()))
        where = "inside the modules"
    else:
        outside = [p for p in simdjson if not p.startswith(("/usr/lib/", "/lib/"))]
        if not simdjson or outside:
            errors.append("expected the system's libsimdjson, mapped: %s" % simdjson)
        where = simdjson[0] if simdjson else "?"

    for e in errors:
        print("error: " + e, file=sys.stderr)
    if errors:
        sys.exit(1)
    print("kestro's %d modules load; simdjson %s" % (len(loaded), where))


if __name__ == "__main__":
    main()
