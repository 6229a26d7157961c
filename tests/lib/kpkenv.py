"""What the tests of the package tool share: where kpk and the trust anchors are, the
development key, a signature part made as a signer makes it, and console text as a person
reads it."""
import os
import re

import kpkfmt as k
import kpksig

HERE = os.path.dirname(os.path.abspath(__file__))
KPK = os.environ.get("KPK", "build/bin/kpk")
SOURCE = os.environ.get("KEST_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
TRUST = kpksig.Trust(os.environ.get("KEST_TRUST_DIR", os.path.join(SOURCE, "trust")))
(_KEY,) = kpksig.read_hex_words(os.path.join(SOURCE, "trust", "development.key"))
DEV_SCALAR = int.from_bytes(bytes.fromhex(_KEY), "little")


def signed(parts):
    """A package's parts followed by its signature part, signed with the development key."""
    header = k.part(k.SIGNATURE, b"")[:2] + (68).to_bytes(4, "little")
    digest = kpksig.sha1(b"".join(parts) + header)
    return list(parts) + [header + kpksig.sign(TRUST, DEV_SCALAR, digest)]


def lines(text):
    """What a person reads: escape sequences gone, a carriage return starts the line afresh."""
    out = []
    for raw in re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", text).split("\n"):
        line = raw.split("\r")[-1].rstrip()
        if line:
            out.append(line)
    return out
