"""Writes Python's own answers for the C++ text tests (the oracle).

Lines: "repr <hex bits> <repr(x)>", "round <hex bits> <repr(round(x, 4))>",
"norm <path> <posixpath.normpath>" (paths never contain spaces),
"token <JSON number token> <repr(float(token))>",
"crc64 <offset> <length> <CRC>": the SDK's own CRC-64 (oss2.utils.Crc64) of
bytes offset..offset+length of the splitmix64 stream that test_crc64.cpp
rebuilds.
"""
import os
import posixpath
import random
import struct
import sys


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def number_tokens(rnd, values):
    """JSON float tokens of every shape a server may write: shortest or not,
    padded with zeros, long mantissas, any exponent spelling, out of range."""
    tokens = ["1.50", "0.000100", "100.000", "-0.00", "0.0", "0e10", "-0.0E-3", "1000000000000000.0",
              "123456789012345.0", "0.123456789012345", "-9478.65", "0.00001", "1e5", "1.5E-3", "1E+16",
              "12345678901234567.0", "1234567890123456.7", "0.1234567890123456", "1234567890123456.0",
              "1e400", "-1e400", "1e-400", "4.9e-324", "2.2250738585072014e-308", "2.225073858507201e-308",
              "9.99999999999999e307", "1.79769313486232e308", "1e-307", "1e-308", "1e307", "1e308",
              "0.20000000000000000001", "123456789012345678901234567890.5", "1" + "0" * 25 + ".0",
              "0." + "0" * 30 + "1", "1.000000000000000000000000001", "9007199254740993.0", "1e0000000000000000005"]
    for x in rnd.sample(values, 20000):
        if x != x or x in (float("inf"), float("-inf")):
            continue
        tokens.append(repr(x))
        if "e" in repr(x):  # repr's digits with the exponent spelled otherwise
            mantissa, e = repr(x).split("e")
            n = int(e)
            tokens += ["%se%d" % (mantissa, n), "%se%s%03d" % (mantissa, "-" if n < 0 else "", abs(n)),
                       "%sE%+03d" % (mantissa, n), "%se%+04d" % (mantissa, n)]
        k = rnd.randint(0, 20)
        tokens.append("%.*e" % (k, x))
        tokens.append(("%.*E" % (k, x)).replace("E+", "E"))
        if abs(x) < 1e20:
            tokens.append("%.*f" % (rnd.randint(1, 25), x))
    for _ in range(20000):
        digits = "".join(rnd.choice("0123456789") for _ in range(rnd.randint(1, 19)))
        point = rnd.randint(0, len(digits))
        body = (digits[:point] or "0") + "." + (digits[point:] or "0")
        body = body.lstrip("0") or "0"
        if body.startswith("."):
            body = "0" + body
        exp = rnd.choice(["", "e%d" % rnd.randint(-330, 330), "E+%03d" % rnd.randint(0, 320), "e-%d" % rnd.randint(0, 20)])
        tokens.append(rnd.choice(["", "-"]) + body + exp)
    return tokens


def splitmix_bytes(n):
    """Little-endian words of splitmix64 from seed 0, as test_crc64.cpp makes them."""
    mask = (1 << 64) - 1
    state, out = 0, bytearray()
    while len(out) < n:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        out += struct.pack("<Q", z ^ (z >> 31))
    return bytes(out[:n])


def crc64_lines(rnd):
    import oss2

    def sdk_crc(data):
        crc = oss2.utils.Crc64(0)
        crc.update(data)
        return crc.crc

    data = splitmix_bytes(3 << 20)
    # every length up to 4096 at every alignment, then big random pieces
    cases = [(n % 16, n) for n in range(4097)]
    cases += [(rnd.randint(0, 64), rnd.randint(4097, (3 << 20) - 64)) for _ in range(24)]
    cases += [(0, len(data))]
    return ["crc64 %d %d %d\n" % (off, n, sdk_crc(data[off:off + n])) for off, n in cases]


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
        for t in number_tokens(rnd, values):
            f.write("token %s %s\n" % (t, repr(float(t))))
        parts = ["a", "b", ".", "..", "", "c"]
        for _ in range(5000):
            p = "/".join(rnd.choice(parts) for _ in range(rnd.randint(0, 6)))
            if rnd.random() < 0.3:
                p = "/" * rnd.randint(1, 3) + p
            if p and " " not in p:
                f.write("norm %s %s\n" % (p, posixpath.normpath(p)))
        f.writelines(crc64_lines(rnd))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "cpp", "vectors.txt"))
