"""Big files through the OSS per-file workers, against curl and the plain SDK.

A fast object server (bench/fast_object_server.py: whole-object PUT/GET,
files on disk, sendfile) runs in its own process; each transfer runs in a
fresh child process, which reports its wall time, CPU seconds and peak RSS.
kestro's `_upload_oss`/`_download_oss` (task-log pause recorded, not waited)
and the plain SDK's `put_object_from_file`/`get_object_to_file` (its CRC-64
check on, as the bucket has it by default) move the same file as `curl`;
the script prints MB/s, the ratio to curl and the peak RSS. With --pure the
SDK's rows run again with crcmod's C extension hidden, as on a machine
without a compiler (kestro's rows too: it does not use crcmod). --text MIB
also sends a text of that size through `upload`/`download` and prints the
peak RSS against the text's size.

    .venv/bin/python bench/bench_oss_big.py [--size-mib 1024] [--rounds 1] [--pure] [--crc] [--multipart] [--text 256]
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from oss_test_server import start_oss_server  # noqa: E402


class HideCrcExtension:
    """Import hook that makes crcmod fall back to its pure-Python CRC."""

    def find_spec(self, name, path=None, target=None):
        if name == "crcmod._crcfunext":
            raise ImportError("hidden by the benchmark")
        return None


def child(argv):
    method, url, key, path = argv[:4]
    if os.environ.get("BENCH_PURE_CRCMOD"):
        sys.meta_path.insert(0, HideCrcExtension())
    import oss2

    start_cpu = time.process_time()
    if method.startswith("kestro"):
        import time as time_mod

        time_mod.sleep = lambda s: None  # the task-log pause, recorded rather than waited
        from kestro.oss.oss import AliyunOss

        client = AliyunOss("bench", "a", "b", url, retry_time_sleep=0)
        sys.stdout = open(os.devnull, "w")
        start = time.perf_counter()
        if method == "kestro-up":
            client._upload_oss({}, key, path)
        elif method == "kestro-multipart-up":
            client._upload_oss({}, key, path, multipart_threshold=64 << 20)  # 64 MiB parts
        elif method == "kestro-down":
            client._download_oss({}, key, path)
        elif method == "kestro-text-up":
            text = "x" * (int(argv[4]) << 20)
            start = time.perf_counter()
            client.upload(text, key)
        elif method == "kestro-text-down":
            n = len(client.download(key))
            assert n == int(argv[4]) << 20, n
        elapsed = time.perf_counter() - start
        sys.stdout = sys.__stdout__
    else:
        bucket = oss2.Bucket(oss2.Auth("a", "b"), url, "bench")
        start = time.perf_counter()
        if method == "sdk-up":
            bucket.put_object_from_file(key, path)
        else:
            bucket.get_object_to_file(key, path)
        elapsed = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"wall": elapsed, "cpu": time.process_time() - start_cpu, "rss_mib": usage.ru_maxrss / 1024}))


def run_child(method, url, key, path, pure=False, extra=()):
    env = dict(os.environ)
    if pure:
        env["BENCH_PURE_CRCMOD"] = "1"
    out = subprocess.run([sys.executable, __file__, "--child", method, url, key, path] + list(extra),
                         stdout=subprocess.PIPE, text=True, env=env, check=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_curl(direction, url, key, path):
    cmd = ["curl", "-s", "-f", "-o", "/dev/null" if direction == "up" else path, "-w", "%{time_total}"]
    if direction == "up":
        cmd += ["-T", path]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd + ["%s/bench/%s" % (url, key)], check=True, stdout=subprocess.PIPE)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"wall": wall, "cpu": cpu, "rss_mib": after.ru_maxrss / 1024}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        return child(sys.argv[2:])
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--pure", action="store_true", help="also with crcmod's C extension hidden")
    parser.add_argument("--crc", action="store_true", help="the server sends CRC-64 headers (slower server)")
    parser.add_argument("--multipart", action="store_true",
                        help="also upload the file (64 MiB or more) as a multipart upload: 64 MiB parts, four at a time")
    parser.add_argument("--text", type=int, default=0, help="MiB of text through upload/download")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kestro-bench-big-")
    store = os.path.join(work, "store")
    os.makedirs(store)
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "fast_object_server.py"), store]
                              + (["--crc"] if args.crc else []), stdout=subprocess.PIPE, text=True)
    try:
        url = "http://127.0.0.1:%s" % server.stdout.readline().split()[1]
        src = os.path.join(work, "src.bin")
        with open(src, "wb") as f:
            for _ in range(args.size_mib):
                f.write(os.urandom(1 << 20))
        size = args.size_mib << 20
        os.environ["KESTRO_DATA_ROOT"] = os.path.join(work, "data")
        os.environ["HOME"] = work
        rows = []
        variants = [False, True] if args.pure else [False]
        for rnd in range(args.rounds):
            for direction in ("up", "down"):
                path = src if direction == "up" else os.path.join(work, "dst.bin")
                if direction == "down":
                    shutil.copyfile(src, os.path.join(store, "obj"))
                curl = run_curl(direction, url, "obj", path)
                rows.append((rnd, direction, "curl", curl, curl))
                if direction == "up" and args.multipart:
                    r = run_child("kestro-multipart-up", url, "obj", path)
                    rows.append((rnd, direction, "kestro multipart", r, curl))
                for pure in variants:
                    for who in ("kestro", "sdk"):
                        r = run_child("%s-%s" % (who, direction), url, "obj", path, pure=pure)
                        if direction == "down":
                            assert os.path.getsize(path) == size
                        rows.append((rnd, direction, who + (" (pure crcmod)" if pure else ""), r, curl))
        print("load average:", open("/proc/loadavg").read().split()[:3])
        print("%d MiB file, server %s CRC headers" % (args.size_mib, "with" if args.crc else "without"))
        print("%-5s %-5s %-22s %9s %9s %8s %9s" % ("round", "dir", "who", "MB/s", "of curl", "CPU-s", "RSS MiB"))
        for rnd, direction, who, r, curl in rows:
            print("%-5d %-5s %-22s %9.0f %8.2fx %8.2f %9.0f" % (rnd, direction, who, size / r["wall"] / 1e6,
                                                              curl["wall"] / r["wall"], r["cpu"], r["rss_mib"]))
        if args.text:
            # resumable transfers take parts: the suite's OSS server speaks them
            suite, suite_url = start_oss_server()
            try:
                up = run_child("kestro-text-up", suite_url, "text", "-", extra=[str(args.text)])
                down = run_child("kestro-text-down", suite_url, "text", "-", extra=[str(args.text)])
                base = run_child("kestro-text-up", suite_url, "t0", "-", extra=["0"])
            finally:
                suite.kill()
                suite.wait()
            print("text of %d MiB: upload peak RSS %.0f MiB, download %.0f MiB (a 0-byte text: %.0f MiB)"
                  % (args.text, up["rss_mib"], down["rss_mib"], base["rss_mib"]))
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
