"""An independent writer and reader of package archives, for tests.

Written from the format description alone, with Python's struct and zlib, so that the C++
reader and writer are checked against something that is not themselves.
"""
import struct
import zlib

REGULAR = 0xBAD0F11E
PLAIN = 0xA1100FFB

PACKAGE_HEADER, DESCRIPTION, DEPENDS, FILE_DATA = 1, 2, 3, 4
INSTALL_SCRIPT, UNINSTALL_SCRIPT, SIGNATURE = 7, 8, 9
ARCHITECTURE, CONFLICTS, BUNDLE_HEADER, PROVIDES, BUNDLE_CONTENTS, IMAGE = 16, 17, 18, 19, 20, 21


def version(major, minor, stage="f", build=0):
    return major << 24 | minor << 16 | ord(stage) << 8 | build


def name16(name):
    raw = name.encode() if isinstance(name, str) else name
    return raw[:16].ljust(16, b"\0")


def part(ptype, body):
    return struct.pack("<HI", ptype, len(body)) + body


def header_record(name, ver, build=0):
    return name16(name) + struct.pack("<II", ver, build) + b"\0" * 8


def ref(name, lo=0, hi=0, prio=0):
    return name16(name) + struct.pack("<IIIi", lo, 0, hi, prio)


def ref_list(refs):
    return struct.pack("<H", len(refs)) + b"".join(ref(*r) for r in refs)


def file_record(name, mode, content=b"", uid=0, gid=0, mtime=0, skip=0):
    raw = name.encode() if isinstance(name, str) else name
    head = struct.pack("<HHHHI11sBIH", mode, uid, gid, 0, mtime, b"\0" * 11, skip,
                       len(content), len(raw))
    assert len(head) == 30
    return head + raw + content


def device(major, minor):
    return struct.pack("<I", (minor & 0xFF) | (major & 0xFFF) << 8 | (minor & ~0xFF) << 12)


def compress(records, level=6):
    return zlib.compress(records, level)


def archive(parts, magic=REGULAR, length=None):
    body = b"".join(parts)
    return struct.pack("<II", magic, len(body) if length is None else length) + body


def parse(data):
    """Splits an archive into (magic, length, [(type, body), ...]); raises on damage."""
    magic, length = struct.unpack_from("<II", data, 0)
    parts, at = [], 8
    while at < len(data):
        ptype, plen = struct.unpack_from("<HI", data, at)
        at += 6
        body = data[at:at + plen]
        if len(body) != plen:
            raise ValueError("part cut short")
        parts.append((ptype, body))
        at += plen
    return magic, length, parts


def parse_files(body):
    """Decodes a FileData body into a list of dicts."""
    raw = zlib.decompress(body)
    out, at = [], 0
    while at + 30 <= len(raw):
        mode, uid, gid, _, mtime, _, skip, size, nlen = struct.unpack_from("<HHHHI11sBIH", raw, at)
        at += 30
        name = raw[at:at + nlen]
        at += nlen
        content = raw[at:at + size]
        at += size
        out.append(dict(name=name.decode(), mode=mode, uid=uid, gid=gid, mtime=mtime,
                        skip=skip, content=content))
    return out
