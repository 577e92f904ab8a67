"""upload_folder of many small files with 50 workers against moto_server.

kestro's Storvane.upload_folder against a reference: the same algorithm in
plain Python with boto3 (a new session and client per file task, the
standard thread pool, BMOBJ.clog for every record). moto_server runs in its
own process. Every file task writes at least one record, and every record
pauses its thread 0.5 s, so the floor is files x 0.5 / workers, plus the
folder's own two records (its summary before the tasks and its closing
line after them): 2 x 0.5 s that nothing overlaps.

    .venv/bin/python bench/bench_storvane.py [--files 1000] [--size 16384] [--workers 50]
        [--rounds 1] [--plain] [--override] [--skip-reference]

--rounds N runs kestro's upload N times (each into an empty prefix) and
prints the min and median. --plain makes botocore report a release kestro
has never seen (kestro does not look at it: the figures must not move).
--override runs kestro through a subclass that replaces get_s3_client, so
that every file task makes its own client as described, instead of sharing
the one client Storvane's own factories make for the call. The peak RSS
and the collector's time are those of the first kestro run (with
--files 10000 --skip-reference for the memory figures).
"""
import argparse
import os
import resource
import statistics
import random
import shutil
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

REGION = "us-east-1"


class Reference:
    """The upload as described, in plain Python."""

    def __init__(self, ctx, ak, sk, bucket, region_name, endpoint_url):
        self.ctx, self.access_key, self.secret_key = ctx, ak, sk
        self.bucket, self.region_name, self.endpoint_url = bucket, region_name, endpoint_url

    def get_s3_session(self):
        import boto3

        return boto3.Session(
            aws_access_key_id=self.access_key, aws_secret_access_key=self.secret_key, region_name=self.region_name
        )

    def get_s3_config(self):
        from botocore.config import Config

        return Config(connect_timeout=60, read_timeout=600, retries={"max_attempts": 0}, max_pool_connections=10)

    def get_s3_client(self):
        return self.get_s3_session().client("s3", config=self.get_s3_config(), endpoint_url=self.endpoint_url)

    def delete_folder(self, remote_path):
        resource = self.get_s3_session().resource("s3", config=self.get_s3_config(), endpoint_url=self.endpoint_url)
        resource.Bucket(self.bucket).objects.filter(Prefix=remote_path).delete()
        return True

    def _upload_i(self, remote_file, local_file, retry_count):
        from kestro.common.defines import BMOBJ, Et

        ctx = self.ctx
        client = self.get_s3_client()
        for i in range(retry_count):
            try:
                t0 = time.time()
                client.upload_file(local_file, self.bucket, remote_file)
                t1 = time.time()
                BMOBJ.clog(ctx, local_file + " upload success, sub time " + str(t1 - t0))
                return
            except Exception as e:
                BMOBJ.clog(ctx, local_file + " upload  fail, repeat " + str(i) + ", error: " + str(e))
                if i < retry_count - 1:
                    time.sleep(random.randint(60, 120))
                else:
                    BMOBJ.clog(ctx, local_file + " upload  finally fail: " + str(e))
                    raise Et(2, "upload fail " + remote_file + " " + local_file)

    def upload_folder(self, local_path, remote_path, add_success=False, add_empty=False, max_workers=50, isrm=True,
                      isdel=True, retry_count=5):
        from kestro.common.defines import BMOBJ

        ctx = self.ctx
        start = time.time()
        self.delete_folder(remote_path)
        walk = Path(local_path).rglob("*") if isrm else Path(local_path).glob("*")
        files = [str(p) for p in walk if not p.is_dir()]
        total, lines = 0, []
        for f in files:
            size = round(os.path.getsize(f) / 1024 / 1024, 4)
            total += size
            lines.append(str(size) + "M " + os.path.basename(f))
        BMOBJ.clog(ctx, "upload file info *  file total count " + str(len(files)) + "  file total size "
                   + str(total) + "M", "\n".join(lines))
        if files:
            pool = ThreadPoolExecutor(max_workers=max_workers)
            futures = []
            for f in files:
                rel = os.path.relpath(f, local_path) if isrm else os.path.basename(f)
                futures.append(pool.submit(self._upload_i, os.path.join(remote_path, rel), f, retry_count))
            for fut in as_completed(futures):
                fut.result()
        end = time.time()
        if isdel:
            BMOBJ.remove_folder(local_path)
        BMOBJ.clog(ctx, remote_path + " upload all time", end - start)


def make_files(folder, count, size):
    os.makedirs(folder)
    payload = os.urandom(size)
    for i in range(count):
        with open(os.path.join(folder, "part-%05d.csv" % i), "wb") as f:
            f.write(payload)


class CollectorClock:
    """Time the cyclic garbage collector runs (it holds the GIL, so every
    worker waits meanwhile), per generation, through gc.callbacks; the
    collector's settings are left as they are."""

    def __init__(self):
        self.runs = [[0, 0.0] for _ in range(3)]
        self._began = 0.0

    def __call__(self, phase, info):
        if phase == "start":
            self._began = time.perf_counter()
        else:
            run = self.runs[info["generation"]]
            run[0] += 1
            run[1] += time.perf_counter() - self._began

    def __enter__(self):
        import gc

        gc.callbacks.append(self)
        return self

    def __exit__(self, *exc):
        import gc

        gc.callbacks.remove(self)

    def seconds(self):
        return sum(s for _, s in self.runs)

    def summary(self):
        return ", ".join("gen%d %d x %.2f s" % (g, n, s) for g, (n, s) in enumerate(self.runs))


def timed_upload(store, work, count, size, workers, check, remote="bench/out"):
    folder = os.path.join(work, "src")
    make_files(folder, count, size)
    real_stdout = sys.stdout
    sys.stdout = open(os.devnull, "w")  # "local" mode prints every record
    try:
        with CollectorClock() as collector:
            began = time.perf_counter()
            store.upload_folder(folder, remote, max_workers=workers)
            elapsed = time.perf_counter() - began
    finally:
        sys.stdout.close()
        sys.stdout = real_stdout
    sent = check(remote)
    if sent != count or os.path.exists(folder):
        raise SystemExit("upload incomplete: %d of %d keys" % (sent, count))
    return elapsed, collector


def objects_per_client(store):
    """Objects the collector tracks that one more client of `store` (with its
    session) keeps alive, caches already warm; the collector's settings are
    left as they are."""
    import gc

    store.get_s3_client()
    store.get_s3_client()
    gc.collect()
    before = gc.get_objects()  # kept, so no id is reused meanwhile
    known = set(map(id, before))
    client = store.get_s3_client()
    gc.collect()
    alive = sum(1 for o in gc.get_objects() if id(o) not in known)
    del client, before
    return alive - 1  # the list gc.get_objects() returned


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def botocore_version():
    import botocore

    return botocore.__version__


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--workers", type=int, default=50)
    parser.add_argument("--skip-reference", action="store_true")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--plain", action="store_true", help="as on a botocore release kestro has never seen")
    parser.add_argument("--override", action="store_true",
                        help="a subclass replacing get_s3_client: one client per file task")
    args = parser.parse_args()
    import botocore

    real_version = botocore.__version__
    if args.plain:
        botocore.__version__ = "0.0.0"  # before kestro.s3.storvane loads

    os.environ.pop("DJANGO_SETTINGS_MODULE", None)  # "local" mode: records are printed
    import boto3

    from kestro.s3.storvane import Storvane

    class OwnClient(Storvane):
        def get_s3_client(self):
            return super().get_s3_client()

    kestro_cls = OwnClient if args.override else Storvane
    from servers.moto import moto_server

    work = tempfile.mkdtemp(prefix="kestro-bench-s3-")
    try:
        with moto_server() as endpoint:
            raw = boto3.client("s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name=REGION,
                               endpoint_url=endpoint)
            raw.create_bucket(Bucket="bench")

            def check(remote):
                pages = raw.get_paginator("list_objects_v2").paginate(Bucket="bench", Prefix=remote + "/")
                return sum(len(p.get("Contents", [])) for p in pages)

            kestro_store = kestro_cls({}, "ak", "sk", "bench", REGION, endpoint_url=endpoint)
            kestro_rss_before = peak_rss_mib()
            kestro, kestro_gc = timed_upload(kestro_store, work, args.files, args.size, args.workers, check)
            kestro_rss = peak_rss_mib()
            rounds = [kestro]
            for i in range(1, args.rounds):
                rounds.append(timed_upload(kestro_store, work, args.files, args.size, args.workers, check,
                                           remote="bench/out%d" % i)[0])
            # into a target as empty as the main run's was
            empty, _ = timed_upload(kestro_store, work, 0, args.size, args.workers, check, remote="bench/empty")
            kestro_objects = objects_per_client(kestro_store)
            reference_objects = objects_per_client(Reference({}, "ak", "sk", "bench", REGION, endpoint))
            reference = reference_gc = None
            if not args.skip_reference:
                reference_store = Reference({}, "ak", "sk", "bench", REGION, endpoint)
                reference, reference_gc = timed_upload(reference_store, work, args.files, args.size, args.workers,
                                                       check)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    # Every pause the call must wait: the file records', spread over the
    # workers, and the folder's own two records (the summary before the
    # tasks, the closing line after them), which nothing overlaps.
    files_floor = args.files * 0.5 / args.workers
    floor = files_floor + 2 * 0.5
    print("upload_folder: %d files of %d bytes, %d workers, moto_server in its own process"
          % (args.files, args.size, args.workers))
    print("botocore %s%s; kestro: %s" % (real_version, " (reported as %s)" % botocore_version() if args.plain else "",
                                          "one client per file task (get_s3_client replaced)" if args.override
                                          else "one client per call, shared by its file tasks"))
    print("kestro     %7.2f s  (%.2f x floor; %.2f x the file records' pauses alone)"
          % (kestro, kestro / floor, kestro / files_floor))
    if len(rounds) > 1:
        print("kestro, %d rounds: min %.2f s (%.2f x floor), median %.2f s (%.2f x floor)"
              % (len(rounds), min(rounds), min(rounds) / floor, statistics.median(rounds),
                 statistics.median(rounds) / floor))
    print("kestro peak RSS %.1f MiB (%.1f MiB before the upload)" % (kestro_rss, kestro_rss_before))
    if reference is not None:
        print("reference  %7.2f s  (%.2f x floor; %.2f x the file records' pauses alone)"
              % (reference, reference / floor, reference / files_floor))
    print("floor      %7.2f s  (%d x 0.5 s / %d workers for the file records, + 2 x 0.5 s for the folder's"
          " summary and closing records)" % (floor, args.files, args.workers))
    print("empty folder %5.2f s  (the folder's two records and the target's emptying, no file task)" % empty)
    if reference is not None:
        print("reference / kestro = %.2f" % (reference / kestro))
    # where the time beyond the floor goes
    print("beyond the floor, kestro: %.2f s; the garbage collector ran %.2f s of it with the GIL held (%s)"
          % (kestro - floor, kestro_gc.seconds(), kestro_gc.summary()))
    print("objects a new client and its session keep alive for the collector: kestro %d, plain boto3 %d"
          % (kestro_objects, reference_objects))
    if reference is not None:
        print("beyond the floor, reference: %.2f s; the garbage collector ran %.2f s (%s)"
              % (reference - floor, reference_gc.seconds(), reference_gc.summary()))


if __name__ == "__main__":
    main()
