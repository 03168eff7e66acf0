#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The includes between the folders of a tree, drawn as a Mermaid flowchart,
and every circle among them or among the files of one folder.

    scripts/includes.py [DIR] [--doc FILE]     # default: src

With --doc, FILE must hold the drawing word for word (the architecture
page's, which the test suite holds to the code this way).

A folder is a room: src/bmc/lan is one, src/bmc another; a file at the top
of the tree (sim/seam.h) is a room of its own, since the top holds what
stands above and below the folders. An arrow A --> B
says a file of A includes a file of B (with the number of such includes).
The exit status is 1 when there is a circle, so that a check can hold the
house to having none, or when FILE does not hold the drawing.
"""
import re
import sys
from collections import defaultdict
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def includes_of(root):
    """(including file, included file) for every quoted include that names a file of the tree."""
    files = [p for p in root.rglob("*") if p.suffix in (".cpp", ".h")]
    known = {p.resolve() for p in files}
    for path in files:
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = (path.parent / name).resolve()
            if target in known:
                yield path.resolve(), target


def circles(edges):
    """Every strongly connected group of more than one node (Tarjan)."""
    index, low, stack, on_stack, found, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in edges.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for v in list(edges):
        if v not in index:
            visit(v)
    return found


def main():
    args = sys.argv[1:]
    doc = None
    if "--doc" in args:
        at = args.index("--doc")
        doc = Path(args[at + 1])
        del args[at:at + 2]
    root = Path(args[0] if args else "src").resolve()
    rooms = defaultdict(lambda: defaultdict(int))
    files = defaultdict(set)
    def room(path):
        return (path if path.parent == root else path.parent).relative_to(root.parent)

    for a, b in includes_of(root):
        files[a].add(b)
        ra, rb = room(a), room(b)
        if ra != rb:
            rooms[str(ra)][str(rb)] += 1
    names = sorted(set(rooms) | {r for t in rooms.values() for r in t})
    ids = {n: "r%d" % i for i, n in enumerate(names)}
    drawing = ["```mermaid", "flowchart TD"]
    drawing += [f'    {ids[n]}["{n}"]' for n in names]
    drawing += [f"    {ids[a]} -->|{count}| {ids[b]}" for a in sorted(rooms) for b, count in sorted(rooms[a].items())]
    drawing = "\n".join(drawing + ["```"]) + "\n"
    print(drawing, end="")
    stale = doc is not None and drawing not in doc.read_text()
    if stale:
        print(f"includes.py: {doc} does not hold this drawing; put the text above in its place", file=sys.stderr)
    room_circles = circles({a: set(t) for a, t in rooms.items()})
    file_circles = circles({a: b for a, b in files.items()})
    for group in room_circles:
        print("circle of folders: " + " -> ".join(group), file=sys.stderr)
    for group in file_circles:
        print("circle of files: " + " -> ".join(str(Path(g).relative_to(root.parent)) for g in group), file=sys.stderr)
    print(f"includes.py: {len(names)} folders, {sum(len(t) for t in rooms.values())} arrows between them, "
          f"{len(room_circles)} circles of folders, {len(file_circles)} of files", file=sys.stderr)
    sys.exit(1 if room_circles or file_circles or stale else 0)


if __name__ == "__main__":
    main()
