"""An independent signer and verifier of package signature records, for tests.

Written from the scheme's description with Python's integers and hashlib: the signature hash
(SHA-256 with its constants as parameters), Curve25519 in affine coordinates with y, and the
record check: digest copy, m = H(digest), h = m with bytes 8..23 XORed with r and clamped,
Y = v*P + h*G, r == first 16 bytes of H(x(Y)).
"""
import hashlib
import os
import struct

P = 2**255 - 19
A = 486662
L = 2**252 + 27742317777372353535851937790883648493


def _rotr(x, n):
    return ((x >> n) | (x << (32 - n))) & 0xffffffff


def signature_hash(data, initial, rounds):
    data = bytes(data)
    padded = data + b"\x80" + b"\0" * ((55 - len(data)) % 64) + struct.pack(">Q", 8 * len(data))
    h = list(initial)
    for off in range(0, len(padded), 64):
        w = list(struct.unpack(">16I", padded[off:off + 64]))
        for i in range(16, 64):
            s0 = _rotr(w[i - 15], 7) ^ _rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)
            s1 = _rotr(w[i - 2], 17) ^ _rotr(w[i - 2], 19) ^ (w[i - 2] >> 10)
            w.append((w[i - 16] + s0 + w[i - 7] + s1) & 0xffffffff)
        a, b, c, d, e, f, g, hh = h
        for i in range(64):
            t1 = (hh + (_rotr(e, 6) ^ _rotr(e, 11) ^ _rotr(e, 25)) + ((e & f) ^ (~e & g))
                  + rounds[i] + w[i]) & 0xffffffff
            t2 = ((_rotr(a, 2) ^ _rotr(a, 13) ^ _rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c))) \
                & 0xffffffff
            a, b, c, d, e, f, g, hh = (t1 + t2) & 0xffffffff, a, b, c, (d + t1) & 0xffffffff, e, f, g
        h = [(x + y) & 0xffffffff for x, y in zip(h, [a, b, c, d, e, f, g, hh])]
    return struct.pack(">8I", *h)


def read_hex_words(path):
    words = []
    with open(path) as f:
        for line in f:
            words += line.split("#")[0].split()
    return words


class Trust:
    """The public key and signature hash constants of a trust directory."""

    def __init__(self, trust_dir):
        words = [int(w, 16) for w in read_hex_words(os.path.join(trust_dir, "signature_hash.hex"))]
        self.initial, self.rounds = words[:8], words[8:]
        (key,) = read_hex_words(os.path.join(trust_dir, "public_key.hex"))
        self.public_key = bytes.fromhex(key)
        self.trusted = {bytes.fromhex(w) for w in
                        read_hex_words(os.path.join(trust_dir, "trusted_digests.hex"))}

    def hash(self, data):
        return signature_hash(data, self.initial, self.rounds)


def _inv(a):
    return pow(a, P - 2, P)


def _sqrt(a):
    a %= P
    r = pow(a, (P + 3) // 8, P)
    if r * r % P != a:
        r = r * pow(2, (P - 1) // 4, P) % P
    if r * r % P != a:
        raise ValueError("not a square")
    return r


def even_point(x):
    x %= P
    y = _sqrt(x ** 3 + A * x * x + x)
    return (x, P - y if y % 2 else y)


def _add(p1, p2):
    if p1 is None:
        return p2
    if p2 is None:
        return p1
    (x1, y1), (x2, y2) = p1, p2
    if x1 == x2:
        if (y1 + y2) % P == 0:
            return None
        lam = (3 * x1 * x1 + 2 * A * x1 + 1) * _inv(2 * y1) % P
    else:
        lam = (y2 - y1) * _inv(x2 - x1) % P
    x3 = (lam * lam - A - x1 - x2) % P
    return (x3, (lam * (x1 - x3) - y1) % P)


def _mul(k, pt):
    r = None
    for bit in bin(k)[2:]:
        r = _add(r, r)
        if bit == "1":
            r = _add(r, pt)
    return r


G = even_point(9)


def _le(b):
    return int.from_bytes(b, "little")


def challenge(trust, digest, r, offset=8):
    h = bytearray(trust.hash(digest))
    for i in range(16):
        h[offset + i] ^= r[i]
    h[0] &= 0xF8
    h[31] = (h[31] & 0x7F) | 0x40
    return _le(h)


def verify_record(trust, digest, record, public_key=None):
    """The check of a 68-byte record against the digest the reader computed."""
    if len(record) != 68 or record[:20] != digest:
        return False
    r, v = record[20:36], _le(record[36:68])
    key = _le(public_key if public_key is not None else trust.public_key)
    y = _add(_mul(v, even_point(key)), _mul(challenge(trust, digest, r), G))
    x = 0 if y is None else y[0]
    return trust.hash(x.to_bytes(32, "little"))[:16] == r


def public_key_of(scalar):
    """The public key of a private scalar, and whether its point has the even y."""
    pt = _mul(scalar, G)
    return pt[0].to_bytes(32, "little"), pt == even_point(pt[0])


def sign(trust, scalar, digest, nonce=None, offset=8):
    """A record for digest, with an explicit or random nonce; offset 0 makes the faulty
    signer that XORs r into bytes 0..15."""
    _, even = public_key_of(scalar)
    x = scalar if even else L - scalar
    k = nonce if nonce is not None else _le(os.urandom(64)) % L
    r = trust.hash(_mul(k, G)[0].to_bytes(32, "little"))[:16]
    h = challenge(trust, digest, r, offset)
    v = (k - h) * pow(x, -1, L) % L
    return bytes(digest) + r + v.to_bytes(32, "little")


def sha1(data):
    return hashlib.sha1(data).digest()
