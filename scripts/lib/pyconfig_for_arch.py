"""Writes a CPython version's pyconfig.h for another architecture.

usage: pyconfig_for_arch.py VERSION_PYCONFIG HOST_REFERENCE ARCH_REFERENCE

VERSION_PYCONFIG is the version's own pyconfig.h, built for the host. The two
references are one other CPython version's pyconfig.h for the host and for
the target architecture. Every macro the references set differently (type
sizes, alignment, byte order, the host's assembler features) is set as the
target's reference has it; the rest stays as the version has it. The output
goes to stdout.
"""
import re
import sys

MACRO = re.compile(r"^\s*(?:#\s*define\s+(\w+)(.*)|/\*\s*#\s*undef\s+(\w+)\s*\*/)\s*$")


def macros(text):
    """{name: (line, defined)} for each macro line, in file order."""
    found = {}
    for line in text.splitlines():
        match = MACRO.match(line)
        if match:
            name = match.group(1) or match.group(3)
            found[name] = (line, match.group(1) is not None)
    return found


def main(version_path, host_path, arch_path):
    with open(host_path) as f:
        host = macros(f.read())
    with open(arch_path) as f:
        arch = macros(f.read())
    differing = {name: arch.get(name, ("/* #undef %s */" % name, False))
                 for name in set(host) | set(arch)
                 if host.get(name, (None, False))[0] != arch.get(name, (None, False))[0]}
    out = []
    with open(version_path) as f:
        for line in f.read().splitlines():
            match = MACRO.match(line)
            name = match and (match.group(1) or match.group(3))
            if name in differing:
                line = differing.pop(name)[0]
            out.append(line)
    # what the version's own file does not mention at all
    for name in sorted(differing):
        if differing[name][1]:
            out.append(differing[name][0])
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
