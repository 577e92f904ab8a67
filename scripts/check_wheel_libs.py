"""Run with an installed kestro wheel: every module loads, and each shared
library it maps that is not a platform library comes from the wheel's own
kestro.libs folder, not from the machine."""
import importlib
import os
import sys

MODULES = ["kestro.common.defines", "kestro.oss.oss", "kestro.s3.storvane",
           "kestro.quorel.quorel", "kestro.pyspark_k8s.podwarden"]

for name in MODULES:
    importlib.import_module(name)

import kestro  # noqa: E402

site = os.path.dirname(os.path.dirname(os.path.abspath(kestro.__file__)))
libs = os.path.join(site, "kestro.libs")
with open("/proc/self/maps") as f:
    mapped = {line.split()[-1] for line in f if "/" in line}
simdjson = sorted(p for p in mapped if "libsimdjson" in os.path.basename(p))
if not simdjson:
    sys.exit("no simdjson library mapped after loading kestro's modules")
outside = [p for p in simdjson if not p.startswith(libs + os.sep)]
if outside:
    sys.exit("simdjson loaded from outside the wheel: %s" % outside)
print("kestro modules load; simdjson from", simdjson[0])
