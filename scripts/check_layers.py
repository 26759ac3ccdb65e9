#!/usr/bin/env python3
"""Checks that includes point one way only.

driver/: each folder is a layer and includes only its own folder and the
layers below it (the order is LAYERS below; folders on one line are peers and
do not include each other). No file of the driver takes part in an include
cycle. sim/ and lib/ never reach up: the simulation includes of the driver
only its platform boundary (driver/platform/), and neither includes tools/
or tests/.

Include spelling inside the driver: a file of the same folder by its bare
name ("context.h", or "host/wdm.h" below it), a file of another layer as
"../layer/name.h" from a file directly in its layer's folder. Never
"driver/..." from the root, never a way out and back into one's own folder:
the mutant builds (tests/mutant) compile a copy of driver/ elsewhere, and
only these spellings keep every include of the copy inside the copy.

The model's own words: the tests of the device models (MODEL_TESTS) include
of the driver only its platform boundary and the URB builders they use to
act as a function driver, and name none of the driver's protocol constants
(the names driver/base/protocol.h and driver/service/serial_settings.h
define): a model checked against the driver's own codes would agree with a
wrong driver.

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
# Tests whose subject is a device model, not the driver.
MODEL_TESTS = ["tests/adapter", "tests/firmware/ezusb_chip_test.cpp"]
# Of the driver, what a test of a model may include.
MODEL_TEST_MAY_INCLUDE = ("driver/platform/", "driver/usb/transport.h")
# Headers whose names are the driver's words for the protocol.
DRIVER_WORDS = ["driver/base/protocol.h", "driver/service/serial_settings.h"]
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


def spelling_problem(path, text):
    """Why the include text is not spelled as the driver spells includes, or None."""
    parts = text.split("/")
    if parts[0] == "driver":
        return "spelled from the root; inside the driver a folder's own files go by bare name, others as ../layer/"
    if ".." not in parts:
        return None
    own = path.split(os.sep)
    if parts[0] != ".." or ".." in parts[1:] or len(parts) != 3:
        return "only one step up, into another layer's folder (../layer/name.h)"
    if len(own) != 3:
        return "a file below its layer's folder reaches other layers only through its folder's headers"
    if parts[1] == own[1]:
        return f"reaches its own folder through ../{own[1]}/; its own files go by bare name"
    return None


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
            wrong = spelling_problem(path, text)
            if wrong:
                problems.append(f"{path}:{number}: includes {text}: {wrong}")
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


def model_tests(root):
    for entry in MODEL_TESTS:
        if os.path.isdir(os.path.join(root, entry)):
            yield from sources(root, entry)
        elif os.path.exists(os.path.join(root, entry)):
            yield entry


def defined_names(root, header):
    path = os.path.join(root, header)
    if not os.path.exists(path):
        return set()
    with open(path, encoding="utf-8") as f:
        return set(re.findall(r"^\s*#\s*define\s+([A-Z][A-Z0-9_]+)", f.read(), re.M))


def check_model_tests(root, problems):
    words = set()
    for header in DRIVER_WORDS:
        words |= defined_names(root, header)
    for path in model_tests(root):
        for number, target, text in includes(root, path):
            if target and target.startswith("driver" + os.sep) and not target.startswith(MODEL_TEST_MAY_INCLUDE):
                problems.append(f"{path}:{number}: includes {text}; a test of a model takes its words from the model")
        with open(os.path.join(root, path), encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                code = line.split("//")[0]
                for name in sorted(words & set(re.findall(r"\b[A-Z][A-Z0-9_]+\b", code))):
                    problems.append(f"{path}:{number}: names the driver's {name}; the model has its own word for it")


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = []
    check_driver(root, problems)
    check_below_tools(root, "sim", problems)
    check_below_tools(root, "lib", problems)
    check_model_tests(root, problems)
    for problem in problems:
        print(problem)
    if problems:
        print(f"check_layers: {len(problems)} problem(s)")
        return 1
    print("check_layers: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
