"""A moto_server in its own process on 127.0.0.1, for the demo and the
benchmarks (the test suite has its own session fixture)."""
import contextlib
import os
import socket
import subprocess
import sys
import time


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def moto_server(timeout=15.0):
    """Starts the venv's moto_server; yields its base URL; stops it."""
    port = _free_port()
    exe = os.path.join(os.path.dirname(sys.executable), "moto_server")
    proc = subprocess.Popen(
        [exe, "-H", "127.0.0.1", "-p", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    try:
        deadline = time.monotonic() + timeout
        while True:
            if proc.poll() is not None:
                raise RuntimeError("moto_server exited with %s" % proc.returncode)
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                    break
            except OSError:
                if time.monotonic() > deadline:
                    raise RuntimeError("moto_server did not open port %d" % port)
                time.sleep(0.05)
        yield "http://127.0.0.1:%d" % port
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
