"""clog's 0.5 s pause must not hold the GIL: 50 threads logging at once.

Runs kestro's BMOBJ.clog and a reference (the same steps in plain Python:
text forms, print, time.sleep(0.5)) from 50 threads each, and prints the
wall times against the 0.5 s floor (25 s if the pauses were serialised).
"""
import os
import sys
import threading
import time


def reference_clog(ctx, *values):
    texts = []
    for v in values:
        try:
            texts.append(str(v))
        except Exception:
            texts.append("log value must be string")
    print(*texts)
    time.sleep(0.5)


def run(fn, threads=50):
    ts = [threading.Thread(target=fn, args=({}, "line", k, 0.25)) for k in range(threads)]
    start = time.perf_counter()
    for t in ts:
        t.start()
    for t in ts:
        t.join()
    return time.perf_counter() - start


def main():
    os.environ.pop("DJANGO_SETTINGS_MODULE", None)  # "local" mode: lines are printed
    from kestro.common.defines import BMOBJ

    real_stdout = sys.stdout
    sys.stdout = open(os.devnull, "w")
    try:
        kestro = min(run(BMOBJ.clog) for _ in range(3))
        reference = min(run(reference_clog) for _ in range(3))
    finally:
        sys.stdout = real_stdout
    floor = 0.5
    print("50 threads x clog (0.5 s pause each)")
    print("kestro     %.3f s  (%.2f x floor)" % (kestro, kestro / floor))
    print("reference  %.3f s  (%.2f x floor)" % (reference, reference / floor))
    print("kestro / reference = %.2f; serialised would be %.1f s" % (kestro / reference, 50 * floor))


if __name__ == "__main__":
    main()
