#!/usr/bin/env python3
"""Writes curve_vectors.txt: reference values for the curve arithmetic, computed with plain
affine point arithmetic (with y-coordinates) in Python's integers, independently of the C++
code. Deterministic: rerunning gives the same file.

Line formats (hex is little-endian, 32 bytes):
  combination <key x> <v> <h> <x(v*P + h*G)>   P: the point with x = key x and even y
  twist <u> <k> <x(k*U)>                        U on the quadratic twist (x-only ladder)
  field_mul <a> <b> <a*b mod p>
  field_inv <a> <1/a mod p>
"""
import random
import sys

p = 2**255 - 19
A = 486662
L = 2**252 + 27742317777372353535851937790883648493


def inv(a):
    return pow(a, p - 2, p)


def rhs(x):
    return (x * x * x + A * x * x + x) % p


def is_square(a):
    a %= p
    return a == 0 or pow(a, (p - 1) // 2, p) == 1


def sqrt(a):
    a %= p
    r = pow(a, (p + 3) // 8, p)
    if r * r % p != a:
        r = r * pow(2, (p - 1) // 4, p) % p
    assert r * r % p == a
    return r


def even_point(x):
    x %= p
    y = sqrt(rhs(x))
    if y % 2:
        y = p - y
    return (x, y)


def add(P, Q):
    if P is None:
        return Q
    if Q is None:
        return P
    (x1, y1), (x2, y2) = P, Q
    if x1 == x2:
        if (y1 + y2) % p == 0:
            return None
        lam = (3 * x1 * x1 + 2 * A * x1 + 1) * inv(2 * y1) % p
    else:
        lam = (y2 - y1) * inv(x2 - x1) % p
    x3 = (lam * lam - A - x1 - x2) % p
    y3 = (lam * (x1 - x3) - y1) % p
    return (x3, y3)


def mul(k, P):
    R = None
    for bit in bin(k)[2:] if k else "":
        R = add(R, R)
        if bit == "1":
            R = add(R, P)
    return R


def x_of(P):
    return 0 if P is None else P[0]


def ladder(k, u):
    """The x-only Montgomery ladder, for points of the twist."""
    x1, x2, z2, x3, z3 = u % p, 1, 0, u % p, 1
    for t in reversed(range(256)):
        bit = k >> t & 1
        if bit:
            x2, x3, z2, z3 = x3, x2, z3, z2
        a, b = (x2 + z2) % p, (x2 - z2) % p
        c, d = (x3 + z3) % p, (x3 - z3) % p
        da, cb = d * a % p, c * b % p
        x3, z3 = (da + cb) ** 2 % p, x1 * (da - cb) ** 2 % p
        x2, z2 = a * a * b * b % p, (a * a - b * b) * (a * a + 121665 * (a * a - b * b)) % p
        if bit:
            x2, x3, z2, z3 = x3, x2, z3, z2
    return x2 * inv(z2) % p


def hx(n):
    return n.to_bytes(32, "little").hex()


def clamp(n):
    return (n & ~7 & ~(1 << 255)) | (1 << 254)


def main():
    rng = random.Random(25519)
    G = even_point(9)
    lines = []

    def combination(key_bytes_value, v, h):
        P = even_point(key_bytes_value)
        Y = add(mul(v, P), mul(h, G))
        lines.append("combination %s %s %s %s" % (hx(key_bytes_value), hx(v), hx(h), hx(x_of(Y))))

    def random_curve_x():
        while True:
            x = rng.randrange(p)
            if is_square(rhs(x)):
                return x

    T2 = (0, 0)
    order4 = even_point(1)
    order8_x = [x for x in (
        325606250916557431795983626356110631294008115727848805560023387167927233504,
        39382357235489614581723060781553021112529911719440698176882885853963445705823)]
    special_scalars = [0, 1, 2, 3, 7, 8, L - 1, L, L + 1, 8 * L, 8 * L - 1, 2**255,
                       2**256 - 1, 2**252, clamp(2**256 - 1), clamp(0)]

    # Random keys of every kind of order, random and clamped scalars.
    for i in range(40):
        x = random_curve_x()
        v = rng.randrange(2**256)
        h = clamp(rng.randrange(2**256)) if i % 2 else rng.randrange(2**256)
        combination(x, v, h)
    # Keys in the prime-order group and scalars that cancel to the point at infinity, or to
    # a point of small order.
    for i in range(6):
        s = rng.randrange(1, L)
        Px = x_of(mul(s, G))
        P = even_point(Px)
        sign = 1 if mul(s, G) == P else -1
        v = rng.randrange(1, L)
        h = (-sign * v * s) % L
        combination(Px, v, h)
        combination(Px, v, h + L * rng.randrange(1, 8))
    for i in range(4):  # P = T + s*G for T of order 2, 4, 8: v*P + h*G = v*T
        s = rng.randrange(1, L)
        T = [T2, order4, even_point(order8_x[0]), even_point(order8_x[1])][i]
        Q = add(T, mul(s, G))
        P = even_point(Q[0])
        v = rng.randrange(1, 2**256)
        # -v*s*G cancels the G-part of v*P when P = Q; when P = -Q, use v*s instead.
        h = (-v * s) % L if P == Q else (v * s) % L
        combination(P[0], v, h)
    # Special keys: G itself, x = 1/9 (P - G has order two), small-order points, and keys
    # written with bit 255 set or at least p.
    inv9 = inv(9)
    for key in [9, inv9, 0, 1, order8_x[0], order8_x[1], 9 + p, inv9 + 2**255 - 19 if inv9 + p < 2**256 else inv9]:
        for v in special_scalars[:6] + [rng.randrange(2**256)]:
            combination(key, v, rng.randrange(2**256))
        combination(key, rng.randrange(2**256), 0)
        combination(key, 0, rng.randrange(2**256))
        combination(key, L - 1, 1)
    for v in special_scalars:
        for h in special_scalars:
            if rng.random() < 0.3:
                combination(random_curve_x(), v, h)
    # A key with bit 255 set standing for a small value.
    x = random_curve_x()
    while x + p >= 2**256:
        x = random_curve_x()
    combination(x + p, rng.randrange(2**256), rng.randrange(2**256))
    small = next(x for x in range(2, 1000) if is_square(rhs(x)) and x != 9)
    combination(small + p, rng.randrange(2**256), rng.randrange(2**256))

    # Points of the twist, h = 0.
    for i in range(8):
        while True:
            u = rng.randrange(p)
            if not is_square(rhs(u)):
                break
        k = rng.randrange(2**256)
        lines.append("twist %s %s %s" % (hx(u), hx(k), hx(ladder(k, u))))

    for i in range(20):
        a = rng.randrange(2**256)
        b = rng.randrange(2**256)
        if i < 4:
            a = [p - 1, p, 2**255 - 1, 2**256 - 1][i]
            b = [p - 1, 2, p + 1, 2**256 - 1][i]
        lines.append("field_mul %s %s %s" % (hx(a), hx(b), hx(a * b % p)))
        if a % p:
            lines.append("field_inv %s %s" % (hx(a), hx(inv(a % p))))

    sys.stdout.write("# Generated by make_curve_vectors.py; do not edit.\n")
    sys.stdout.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
