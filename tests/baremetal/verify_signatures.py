"""Checks the image's signatures with an independent P-256 ECDSA/SHA-256
implementation (plain Python integers, no libcrypto). Reads lines
"signature X Y R||S MESSAGE" (hex; "-" for the empty message) on standard
input; exits 1 unless there are exactly as many as the argument says and
every one is valid."""
import hashlib
import sys

P = 2**256 - 2**224 + 2**192 + 2**96 - 1
A = P - 3
B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551
G = (0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296,
     0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5)


def add(p, q):
    if p is None:
        return q
    if q is None:
        return p
    if p[0] == q[0] and (p[1] + q[1]) % P == 0:
        return None
    if p == q:
        slope = (3 * p[0] * p[0] + A) * pow(2 * p[1], -1, P)
    else:
        slope = (q[1] - p[1]) * pow(q[0] - p[0], -1, P)
    x = (slope * slope - p[0] - q[0]) % P
    return x, (slope * (p[0] - x) - p[1]) % P


def times(k, point):
    result = None
    while k:
        if k & 1:
            result = add(result, point)
        point = add(point, point)
        k >>= 1
    return result


def valid(x, y, r, s, message):
    if (y * y - x * x * x - A * x - B) % P != 0 or not (0 < r < N and 0 < s < N):
        return False
    e = int.from_bytes(hashlib.sha256(message).digest(), "big")
    w = pow(s, -1, N)
    point = add(times(e * w % N, G), times(r * w % N, (x, y)))
    return point is not None and point[0] % N == r


expected = int(sys.argv[1])
checked = failed = 0
for line in sys.stdin:
    _, x, y, sig, message = line.split()
    if len(x) != 64 or len(y) != 64 or len(sig) != 128:
        sys.exit(f"host check: malformed line: {line.strip()}")
    message = b"" if message == "-" else bytes.fromhex(message)
    ok = valid(int(x, 16), int(y, 16), int(sig[:64], 16), int(sig[64:], 16), message)
    checked += 1
    failed += not ok
    if not ok:
        print(f"host check: INVALID signature over {len(message)} bytes: {sig}")
print(f"host check: {checked - failed} of {checked} signatures valid (independent P-256)")
sys.exit(1 if failed or checked != expected else 0)
