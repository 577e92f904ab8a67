"""upload_oss then download_oss of 2,000, 10,000 and 20,000 files of 16 KiB,
kestro against the plain-SDK loop of bench_oss.py, with every task-log
pause recorded rather than waited (time.sleep replaced, as the tests do).

Each (size, implementation) runs in a fresh child process against the
suite's OSS server (its own process), so the peak RSS is the run's own. It
prints per direction the wall time, the client's CPU seconds per file, the
server's CPU seconds, the peak RSS, and kestro / reference of the client's
CPU per file; then how kestro's time and RSS grow from the smallest size.

    .venv/bin/python bench/bench_oss_scale.py [--sizes 2000,10000,20000] [--size 16384] [--workers 200]
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
from oss_test_server import start_oss_server  # noqa: E402
from scale_runs import measure, scale_main  # noqa: E402



def child(who, url, src, work, workers, server_pid):
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)
    pauses = []
    time.sleep = pauses.append  # recorded, not waited
    import bench_oss

    if who == "kestro":
        from kestro.oss.oss import AliyunOss

        client = AliyunOss("bench", "a", "b", url, retry_time_sleep=0)
        up = lambda: client.upload_oss({}, src, "s/", False, False, workers, False, False)  # noqa: E731
        down = lambda: client.download_oss({}, os.path.join(work, "d"), "s/", workers, False, False)  # noqa: E731
    else:
        client = bench_oss.ReferenceOss("bench", url)
        up = lambda: client.upload_oss({}, src, "s/", workers)  # noqa: E731
        down = lambda: client.download_oss({}, os.path.join(work, "d"), "s/", workers)  # noqa: E731
    measure(server_pid, up, down, pauses, src, os.path.join(work, "d"))


def main():
    scale_main(__file__, child, 200, start_oss_server, "the suite's OSS server")


if __name__ == "__main__":
    main()
