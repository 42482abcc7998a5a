#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Flash that a program's use of the library costs: the sizes of the
library's input sections (code, constant tables, initialised data) that
the linker kept, read from the program's map file.

Usage: flash.py MAP ARCHIVE_SUBSTRING

Prints the total and the largest pieces.  What the C library adds for the
library's calls (memcpy, memcmp, malloc, snprintf) is not counted: a
program has those anyway, or not at all.
"""
import re
import sys

# An input section: its name, then (on the same line or the next) address,
# size and the object it came from.
SECTION = re.compile(
    r"^ (\.(?:text|rodata|data)[^\s]*)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)$", re.M)


def main():
    path, archive = sys.argv[1], sys.argv[2]
    with open(path) as f:
        text = f.read()
    # What the linker kept; the discarded sections are listed before this.
    text = text[text.index("Linker script and memory map"):]
    # Join the names that ld puts on a line of their own with their sizes.
    text = re.sub(r"^ (\.\S+)\n\s+(0x)", r" \1 \2", text, flags=re.M)
    pieces = []
    for name, size, obj in SECTION.findall(text):
        if archive in obj and int(size, 16) > 0:
            pieces.append((int(size, 16), name, obj.split("(")[-1].rstrip(")")))
    total = sum(p[0] for p in pieces)
    print("%d bytes" % total)
    for size, name, obj in sorted(pieces, reverse=True)[:int(sys.argv[3]) if len(sys.argv) > 3 else 6]:
        print("    %5d  %s (%s)" % (size, name, obj))


if __name__ == "__main__":
    main()
