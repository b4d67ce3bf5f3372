#!/usr/bin/env python3
"""Checks that built wheels need nothing their platform tags do not promise.

    python3 scripts/wheel_check.py WHEEL...

Every ELF file in a wheel may name libc alone among the libraries it needs
(the C++ runtime is linked in, the interpreter's symbols come from the
process), and no glibc symbol version newer than the oldest glibc that the
wheel's manylinux tags name. A tag that is not manylinux promises nothing a
user can rely on, and fails too. The shared objects are read here, with no
other tool, so that the check does not trust the one that made the tags.
Prints one line per wheel; exits 1 if any wheel fails.
"""
import re
import struct
import sys
import zipfile

ALLOWED = {"libc.so.6"}
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
MACHINES = {"x86_64": 62, "i686": 3, "aarch64": 183}
DT_NEEDED, SHT_DYNAMIC, SHT_GNU_VERNEED = 1, 6, 0x6FFFFFFE


def tag_promise(platform):
    """(glibc (major, minor), architecture) that a platform tag promises, or None."""
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", platform)
    if m:
        return (int(m.group(1)), int(m.group(2))), m.group(3)
    m = re.fullmatch(r"(manylinux1|manylinux2010|manylinux2014)_(\w+)", platform)
    if m:
        return LEGACY[m.group(1)], m.group(2)
    return None


def elf_needs(data):
    """(machine, needed libraries in order, {library: set of version names}) of an ELF file."""
    if data[:4] != b"\x7fELF":
        raise ValueError("not an ELF file")
    wide, order = data[4] == 2, "<" if data[5] == 1 else ">"
    if wide:
        header, section, dyn = order + "HHIQQQIHHHHHH", order + "IIQQQQIIQQ", order + "qQ"
    else:
        header, section, dyn = order + "HHIIIIIHHHHHH", order + "IIIIIIIIII", order + "iI"
    fields = struct.unpack_from(header, data, 16)
    machine, shoff, shentsize, shnum = fields[1], fields[5], fields[10], fields[11]
    # name, type, flags, addr, offset, size, link, info, addralign, entsize
    sections = [struct.unpack_from(section, data, shoff + i * shentsize) for i in range(shnum)]

    def string(strtab, offset):
        start = sections[strtab][4] + offset
        return data[start:data.index(b"\0", start)].decode("ascii")

    needed, versions = [], {}
    for _, kind, _, _, offset, size, link, info, _, _ in sections:
        if kind == SHT_DYNAMIC:
            step = struct.calcsize(dyn)
            for at in range(offset, offset + size, step):
                tag, value = struct.unpack_from(dyn, data, at)
                if tag == 0:
                    break
                if tag == DT_NEEDED:
                    needed.append(string(link, value))
        elif kind == SHT_GNU_VERNEED:
            at = offset
            for _ in range(info):
                _, count, file, aux, following = struct.unpack_from(order + "HHIII", data, at)
                names = versions.setdefault(string(link, file), set())
                entry = at + aux
                for _ in range(count):
                    _, _, _, name, step = struct.unpack_from(order + "IHHII", data, entry)
                    names.add(string(link, name))
                    entry += step
                at += following
    return machine, needed, versions


def glibc_version(name):
    m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)*", name)
    return (int(m.group(1)), int(m.group(2))) if m else None


def check(path):
    """(platform tags, what the wheel needs, [problems]) of one wheel file."""
    problems = []
    with zipfile.ZipFile(path) as whl:
        info = [n for n in whl.namelist() if re.fullmatch(r"[^/]+\.dist-info/WHEEL", n)]
        if len(info) != 1:
            return [], "", ["no single .dist-info/WHEEL"]
        lines = whl.read(info[0]).decode("utf-8").splitlines()
        platforms = sorted({line.split(":", 1)[1].strip().split("-")[2] for line in lines if line.startswith("Tag:")})
        elves = {}
        for name in whl.namelist():
            with whl.open(name) as member:
                if member.read(4) == b"\x7fELF":
                    elves[name] = whl.read(name)
    promises = {}
    for platform in platforms:
        promise = tag_promise(platform)
        if promise is None:
            problems.append("platform tag %s names no glibc" % platform)
        else:
            promises[platform] = promise
    if not platforms:
        problems.append("no Tag lines")
    if not elves:
        problems.append("no shared object")
    glibc = min((p[0] for p in promises.values()), default=None)
    newest, libraries = None, set()
    for name, data in sorted(elves.items()):
        machine, needed, versions = elf_needs(data)
        libraries.update(needed)
        for platform, (_, arch) in sorted(promises.items()):
            if MACHINES.get(arch) != machine:
                problems.append("%s is for machine %d, tag %s is %s" % (name, machine, platform, arch))
        for library in needed:
            if library not in ALLOWED:
                problems.append("%s needs %s" % (name, library))
        for library, names in sorted(versions.items()):
            for version in sorted(names):
                number = glibc_version(version)
                if library not in ALLOWED or number is None:
                    problems.append("%s needs %s from %s" % (name, version, library))
                    continue
                newest = max(newest or number, number)
                if glibc is not None and number > glibc:
                    problems.append("%s needs %s, newer than glibc %d.%d of its tag" % ((name, version) + glibc))
    needs = "needs %s, glibc %s" % (" ".join(sorted(libraries)) or "no library", "%d.%d" % newest if newest else "any")
    if glibc is not None:
        needs += ", tag allows %d.%d" % glibc
    return platforms, needs, problems


def main(paths):
    failed = 0
    for path in paths:
        platforms, needs, problems = check(path)
        name = path.rsplit("/", 1)[-1]
        if problems:
            failed += 1
            print("FAIL %s: %s" % (name, "; ".join(problems)))
        else:
            print("ok   %s: %s (%s)" % (name, needs, ", ".join(platforms)))
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
