"""Just enough of the ELF format to build the medium: the module information of a kernel
module (its name and what it depends on) and the shared libraries a program needs.
Both 32- and 64-bit little-endian files are read; anything else raises ValueError."""
import struct


class Elf:
    def __init__(self, data):
        if data[:4] != b"\x7fELF" or data[5] != 1:
            raise ValueError("not a little-endian ELF file")
        self.data = data
        self.wide = data[4] == 2
        if self.wide:
            shoff, = struct.unpack_from("<Q", data, 0x28)
            shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
        else:
            shoff, = struct.unpack_from("<I", data, 0x20)
            shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x2E)
        self.sections = []
        for i in range(shnum):
            at = shoff + i * shentsize
            if self.wide:
                name, kind, _, _, offset, size, link = struct.unpack_from("<IIQQQQI", data, at)
            else:
                name, kind, _, _, offset, size, link = struct.unpack_from("<IIIIIII", data, at)
            self.sections.append([name, kind, offset, size, link])
        if shnum:
            names = self.sections[shstrndx]
            for s in self.sections:
                s[0] = self._string(names[2], s[0])

    def _string(self, table_offset, index):
        start = table_offset + index
        return self.data[start:self.data.index(b"\0", start)].decode()

    def section(self, name):
        for s in self.sections:
            if s[0] == name:
                return s
        return None

    def modinfo(self):
        """The module's "key=value" entries; a key that occurs more than once keeps its last."""
        s = self.section(".modinfo")
        if s is None:
            raise ValueError("no module information")
        info = {}
        for entry in self.data[s[2]:s[2] + s[3]].split(b"\0"):
            if b"=" in entry:
                key, value = entry.decode(errors="replace").split("=", 1)
                info[key] = value
        return info

    def needed(self):
        """Names of the shared libraries the program or library needs (DT_NEEDED)."""
        s = self.section(".dynamic")
        if s is None:
            return []
        strings = self.sections[s[4]][2]
        fmt, step = ("<qQ", 16) if self.wide else ("<iI", 8)
        names = []
        for at in range(s[2], s[2] + s[3], step):
            tag, value = struct.unpack_from(fmt, self.data, at)
            if tag == 0:
                break
            if tag == 1:  # DT_NEEDED
                names.append(self._string(strings, value))
        return names

    def interpreter(self):
        s = self.section(".interp")
        return None if s is None else self.data[s[2]:s[2] + s[3]].rstrip(b"\0").decode()


def read(path):
    with open(path, "rb") as f:
        return Elf(f.read())
