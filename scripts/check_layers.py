#!/usr/bin/env python3
"""Checks that includes point one way only.

driver/: each folder is a layer and includes only its own folder and the
layers below it (the order is LAYERS below; folders on one line are peers and
do not include each other). No file of the driver takes part in an include
cycle. sim/ and lib/ never reach up: the simulation includes of the driver
only its platform boundary (driver/platform/), and neither includes tools/
or tests/.

Prints every violation with the file and the line, and exits 1 if there is
one. Run from anywhere: python3 scripts/check_layers.py [ROOT]
"""
import os
import re
import sys

LAYERS = [
    ["platform"],
    ["base"],
    ["usb"],
    ["firmware", "command", "port"],
    ["service", "diag"],
    ["core"],
]
RANK = {folder: rank for rank, peers in enumerate(LAYERS) for folder in peers}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def sources(root, top):
    for folder, _, names in os.walk(os.path.join(root, top)):
        for name in sorted(names):
            if name.endswith((".h", ".cpp")):
                yield os.path.relpath(os.path.join(folder, name), root)


def includes(root, path):
    """(line number, repository path or None, text) of each quoted include."""
    with open(os.path.join(root, path), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            text = m.group(1)
            local = os.path.normpath(os.path.join(os.path.dirname(path), text))
            if os.path.exists(os.path.join(root, local)):
                yield number, local, text
            elif os.path.exists(os.path.join(root, text)):
                yield number, os.path.normpath(text), text
            else:
                yield number, None, text


def layer_of(path):
    parts = path.split(os.sep)
    return parts[1] if len(parts) > 2 and parts[0] == "driver" else None


def check_driver(root, problems):
    graph = {}
    for path in sources(root, "driver"):
        mine = layer_of(path)
        if mine not in RANK:
            problems.append(f"{path}: folder driver/{mine} has no place in the layer order")
            continue
        graph[path] = []
        for number, target, text in includes(root, path):
            if target is None or not target.startswith("driver" + os.sep):
                if target is not None:
                    problems.append(f"{path}:{number}: the driver includes {text}, outside driver/")
                continue
            graph[path].append(target)
            theirs = layer_of(target)
            if theirs == mine:
                continue
            if theirs not in RANK or RANK[theirs] >= RANK[mine]:
                way = "a peer" if RANK.get(theirs) == RANK[mine] else "a layer above"
                problems.append(f"{path}:{number}: includes {text}, {way} (driver/{theirs} from driver/{mine})")
    find_cycles(graph, problems)


def find_cycles(graph, problems):
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == "open":
                cycle = stack[stack.index(nxt):] + [nxt]
                problems.append("include cycle: " + " -> ".join(cycle))
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)


def check_below_tools(root, top, problems):
    for path in sources(root, top):
        for number, target, text in includes(root, path):
            if target is None:
                continue
            first = target.split(os.sep)[0]
            if first in ("tools", "tests"):
                problems.append(f"{path}:{number}: includes {text}; {top}/ is below {first}/")
            elif first == "driver" and not target.startswith(os.path.join("driver", "platform") + os.sep):
                problems.append(f"{path}:{number}: includes {text}, a driver internal; only driver/platform/ "
                                "is shared with the platform")
            elif top == "lib" and first == "sim":
                problems.append(f"{path}:{number}: includes {text}; lib/ is below sim/")


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    check_driver(root, problems)
    check_below_tools(root, "sim", problems)
    check_below_tools(root, "lib", problems)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} problem(s)")
        return 1
    print("check_layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
