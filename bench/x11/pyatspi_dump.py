#!/usr/bin/python3
"""The reference walk for the accessibility benchmark: a pyatspi dump of one application's
window (role, name, states, extents and actions of every node).

    pyatspi_dump.py PID REPETITIONS

Prints one JSON line: {"nodes": N, "seconds": [one walk's time per repetition]}. Interpreter
start and module import are not timed; each repetition walks the live tree again.
"""
import json
import sys
import time

import pyatspi


def application_of(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.get_process_id() == pid:
            return app
    return None


def dump(node):
    record = {"role": node.getRoleName(), "name": node.name,
              "states": [int(s) for s in node.getState().getStates()]}
    if node.getState().contains(pyatspi.STATE_SHOWING):
        try:
            record["extents"] = tuple(node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS))
        except NotImplementedError:
            pass
    try:
        action = node.queryAction()
        record["actions"] = [action.getName(i) for i in range(action.nActions)]
    except NotImplementedError:
        pass
    record["children"] = [dump(child) for child in node if child is not None]
    return record


def count(record):
    return 1 + sum(count(child) for child in record["children"])


def main():
    pid, repetitions = int(sys.argv[1]), int(sys.argv[2])
    app = application_of(pid)
    if app is None or app.childCount == 0:
        print(json.dumps({"error": "no accessible window of process %d" % pid}))
        return 1
    seconds = []
    nodes = 0
    for _ in range(repetitions):
        start = time.perf_counter()
        tree = dump(app[0])
        seconds.append(time.perf_counter() - start)
        nodes = count(tree)
    print(json.dumps({"nodes": nodes, "seconds": seconds}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
