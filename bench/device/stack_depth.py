#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The deepest stack of each named function of the device build, from the
call graphs and frame sizes that gcc writes with -fcallgraph-info=su (one
.ci file beside each object of lib/device/device.cmake's libraries).

Usage: stack_depth.py DIR FUNCTION...

A function's depth is its own frame plus the deepest of its callees'.
Calls that leave the library (the C library's memcpy, memcmp, malloc,
snprintf) have no graph here and count as zero; the result is then a lower
bound, and the script names them.  Indirect calls would be missed, but the
library makes none.
"""
import glob
import os
import re
import sys

NODE = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
FRAME = re.compile(r"\\n(\d+) bytes \((static|dynamic[^)]*)\)")


def load(folder):
    frames, edges = {}, {}
    for path in glob.glob(os.path.join(folder, "**", "*.ci"), recursive=True):
        with open(path) as f:
            text = f.read()
        for title, label in NODE.findall(text):
            m = FRAME.search(label)
            if m:
                frames[title] = int(m.group(1))
        for src, dst in EDGE.findall(text):
            edges.setdefault(src, set()).add(dst)
    return frames, edges


def resolve(name, frames):
    """A callee as the graph names it, to the node that defines it: the
    same title, or a file-local one ending in ':' + name."""
    if name in frames:
        return name
    for title in frames:
        if title.endswith(":" + name):
            return title
    return None


def depth(name, frames, edges, outside, seen=()):
    node = resolve(name, frames)
    if node is None:
        outside.add(name)
        return 0
    if node in seen:
        raise SystemExit("recursion through " + node)
    deepest = 0
    for callee in edges.get(node, ()):
        deepest = max(deepest, depth(callee, frames, edges, outside, seen + (node,)))
    return frames[node] + deepest


def main():
    folder, names = sys.argv[1], sys.argv[2:]
    frames, edges = load(folder)
    for name in names:
        outside = set()
        d = depth(name, frames, edges, outside)
        extra = " (plus %s)" % ", ".join(sorted(outside)) if outside else ""
        print("%-24s %4d bytes%s" % (name, d, extra))


if __name__ == "__main__":
    main()
