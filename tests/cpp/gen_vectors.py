"""Writes Python's own answers for the C++ text tests (the oracle).

Lines: "repr <hex bits> <repr(x)>", "round <hex bits> <repr(round(x, 4))>",
"norm <path> <posixpath.normpath>" (paths never contain spaces).
"""
import os
import posixpath
import random
import struct
import sys


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def main(out_path):
    rnd = random.Random(20261208)
    values = [0.0, -0.0, 1.0, 100.0, 1e16, 1e-05, 1e-4, 0.0001, 123456789012345680.0, 1.5e-07, 0.1, 0.2 + 0.1,
              2.0, 1e15, 9999999999999998.0, 1e22, 5e-324, 1.7976931348623157e308, 0.0015, 0.00015, 1048576 / 1048576]
    for _ in range(20000):
        values.append(struct.unpack("<d", struct.pack("<Q", rnd.getrandbits(64)))[0])
    for _ in range(20000):
        values.append(rnd.uniform(-1e6, 1e6))
    for _ in range(20000):
        values.append(rnd.randint(0, 10**9) / 1024 / 1024)
    for e in range(-30, 30):
        values.append(10.0 ** e)
        values.append(rnd.random() * 10.0 ** e)
    with open(out_path, "w") as f:
        for x in values:
            if x != x or x in (float("inf"), float("-inf")):
                continue
            f.write("repr %x %s\n" % (bits(x), repr(x)))
            if abs(x) < 1e300:
                f.write("round %x %s\n" % (bits(x), repr(round(x, 4))))
        parts = ["a", "b", ".", "..", "", "c"]
        for _ in range(5000):
            p = "/".join(rnd.choice(parts) for _ in range(rnd.randint(0, 6)))
            if rnd.random() < 0.3:
                p = "/" * rnd.randint(1, 3) + p
            if p and " " not in p:
                f.write("norm %s %s\n" % (p, posixpath.normpath(p)))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "cpp", "vectors.txt"))
