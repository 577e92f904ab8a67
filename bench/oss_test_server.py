"""The suite's OSS protocol server (tests/servers/oss_server.py) in its own
process, for the benchmarks: start_oss_server() returns the process and its
URL once it listens."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_oss_server(bucket="bench"):
    proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "servers", "oss_server.py"),
                             "--bucket", bucket], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("READY"):
        proc.kill()
        proc.wait()
        raise RuntimeError("OSS server did not start: %r" % line)
    return proc, "http://127.0.0.1:%s" % line.split()[1]
