"""A writer of the "newc" cpio format the kernel unpacks into its initial RAM file system.
Everything is owned by root and dated at a fixed time, so the same inputs give the same
archive; device nodes need no privileges here."""
import gzip
import stat


class Archive:
    def __init__(self, mtime=0):
        self.entries = {}  # path -> (mode, data, rdev major, rdev minor)
        self.mtime = mtime

    def directory(self, path, mode=0o755):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            sub = "/".join(parts[:i])
            if sub not in self.entries:
                self.entries[sub] = (stat.S_IFDIR | (mode if i == len(parts) else 0o755),
                                     b"", 0, 0)

    def _parent(self, path):
        parent = path.strip("/").rsplit("/", 1)
        if len(parent) == 2:
            self.directory(parent[0])
        return path.strip("/")

    def file(self, path, data, mode=0o644):
        self.entries[self._parent(path)] = (stat.S_IFREG | mode, data, 0, 0)

    def host_file(self, path, host, mode=None):
        st = __import__("os").stat(host)
        with open(host, "rb") as f:
            self.file(path, f.read(), mode if mode is not None else stat.S_IMODE(st.st_mode))

    def symlink(self, path, target):
        self.entries[self._parent(path)] = (stat.S_IFLNK | 0o777, target.encode(), 0, 0)

    def char_device(self, path, major, minor, mode=0o600):
        self.entries[self._parent(path)] = (stat.S_IFCHR | mode, b"", major, minor)

    def bytes(self):
        out = bytearray()
        ino = 1
        # Parents sort before their contents, as the kernel needs them when unpacking.
        for path in sorted(self.entries) + ["TRAILER!!!"]:
            mode, data, major, minor = self.entries.get(path, (0, b"", 0, 0))
            name = path.encode() + b"\0"
            nlink = 2 if stat.S_ISDIR(mode) else 1
            fields = (ino, mode, 0, 0, nlink, self.mtime, len(data), 0, 0, major, minor,
                      len(name), 0)
            out += b"070701" + b"".join(b"%08X" % v for v in fields)
            out += name
            out += b"\0" * (-len(out) % 4)
            out += data
            out += b"\0" * (-len(out) % 4)
            ino += 1
        return bytes(out)

    def gzip(self):
        return gzip.compress(self.bytes(), compresslevel=9, mtime=0)
