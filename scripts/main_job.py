"""The main job: a short end-to-end run of every module against local servers.

Each module has a scripts/demo_<name>.py with a run() function; they run in
the order below, each in a private "/mydata" (KESTRO_DATA_ROOT).
"""
import importlib
import os
import sys
import tempfile

DEMOS = ["demo_defines", "demo_oss", "demo_storvane", "demo_quorel", "demo_presto", "demo_podwarden"]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    sys.path.insert(0, os.path.join(os.path.dirname(here), "tests"))
    os.environ.setdefault("KESTRO_DATA_ROOT", tempfile.mkdtemp(prefix="kestro-main-"))
    for name in DEMOS:
        if not os.path.exists(os.path.join(here, name + ".py")):
            continue
        print("==", name[len("demo_"):], "==", flush=True)
        importlib.import_module(name).run()
    print("main job done")


if __name__ == "__main__":
    main()
