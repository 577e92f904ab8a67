"""upload_folder then download_folder of 2,000, 10,000 and 20,000 files of
16 KiB through Storvane, against a plain boto3 loop doing the same calls,
with every task-log pause recorded rather than waited (time.sleep replaced,
as the tests do).

The reference is what a boto3 user writes: one client for the call (its
pool sized to the workers), a thread pool, client.upload_file or
download_file per file, one task-log record per file and the folder's
summary through BMOBJ.clog. Each (size, implementation) runs in a fresh
child process against one moto_server (its own process), so the peak RSS
is the run's own. It prints per direction the wall time, the client's CPU
milliseconds per file, the server's CPU seconds, the peak RSS and kestro /
reference of the client's CPU per file; then how kestro's time and RSS grow
from the smallest size.

    .venv/bin/python bench/bench_storvane_scale.py [--sizes 2000,10000,20000] [--size 16384] [--workers 50]
"""
import os
import socket
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from scale_runs import measure, scale_main  # noqa: E402

REGION = "us-east-1"
BUCKET = "bench"



class Reference:
    """The two folder calls in plain Python over one boto3 client."""

    def __init__(self, url, workers):
        import boto3
        from botocore.config import Config

        self.client = boto3.Session(aws_access_key_id="ak", aws_secret_access_key="sk", region_name=REGION).client(
            "s3", endpoint_url=url, config=Config(max_pool_connections=10 * workers))
        self.workers = workers

    def _keys(self, prefix):
        pages = self.client.get_paginator("list_objects_v2").paginate(Bucket=BUCKET, Prefix=prefix)
        return [o["Key"] for p in pages for o in p.get("Contents", [])]

    def _run(self, word, calls):
        from kestro.common.defines import BMOBJ

        def task(local, remote, fn):
            t0 = time.time()
            fn()
            BMOBJ.clog({}, local + " " + word + " success, sub time " + str(time.time() - t0))

        with ThreadPoolExecutor(self.workers) as pool:
            for f in [pool.submit(task, *c) for c in calls]:
                f.result()

    def upload_folder(self, local, remote):
        from kestro.common.defines import BMOBJ

        files = sorted(os.listdir(local))
        BMOBJ.clog({}, "upload file info *  file total count %d" % len(files),
                   "\n".join("%sM %s" % (round(os.path.getsize(os.path.join(local, f)) / 1048576, 4), f)
                             for f in files))
        self._run("upload", [(os.path.join(local, f), remote + f,
                              (lambda p, k: lambda: self.client.upload_file(p, BUCKET, k))(os.path.join(local, f),
                                                                                        remote + f))
                             for f in files])

    def download_folder(self, local, remote):
        from kestro.common.defines import BMOBJ

        keys = self._keys(remote)
        os.makedirs(local, exist_ok=True)
        BMOBJ.clog({}, "download file info *  file total count %d" % len(keys))
        self._run("download", [(os.path.join(local, k[len(remote):]), k,
                                (lambda k, p: lambda: self.client.download_file(BUCKET, k, p))(
                                    k, os.path.join(local, k[len(remote):])))
                               for k in keys])


def child(who, url, src, work, workers, server_pid):
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)  # "local" mode: records are printed
    pauses = []
    time.sleep = pauses.append  # recorded, not waited
    remote = "s-%s-%d/" % (who, len(os.listdir(src)))  # a fresh prefix: nothing to clear first
    if who == "kestro":
        from kestro.s3.storvane import Storvane

        store = Storvane({}, "ak", "sk", BUCKET, REGION, endpoint_url=url)
        up = lambda: store.upload_folder(src, remote, max_workers=workers, isdel=False)  # noqa: E731
        down = lambda: store.download_folder(os.path.join(work, "d"), remote, max_workers=workers,  # noqa: E731
                                             isdel=False)
    else:
        store = Reference(url, workers)
        up = lambda: store.upload_folder(src, remote)  # noqa: E731
        down = lambda: store.download_folder(os.path.join(work, "d"), remote)  # noqa: E731
    measure(server_pid, up, down, pauses, src, os.path.join(work, "d"))


def start_moto():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    exe = os.path.join(os.path.dirname(sys.executable), "moto_server")
    proc = subprocess.Popen([exe, "-H", "127.0.0.1", "-p", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return proc, "http://127.0.0.1:%d" % port
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                raise SystemExit("moto_server did not start")
            time.sleep(0.05)


def create_bucket(url):
    import boto3

    boto3.client("s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name=REGION,
                 endpoint_url=url).create_bucket(Bucket=BUCKET)


def main():
    scale_main(__file__, child, 50, start_moto, "moto_server", create_bucket)


if __name__ == "__main__":
    main()
