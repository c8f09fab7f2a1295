"""Checks that the rooms of src/ are the architecture's seam, and prints them.

A room is a folder directly under src/. A source file is Python-facing when its includes reach
<Python.h> or NumPy's headers, directly or through the project's own headers; otherwise it is
Python-free. The rules:
  - every room is wholly Python-free or wholly Python-facing;
  - no file of a Python-free room includes a file of a Python-facing room;
  - the includes between rooms form no cycle;
  - inside a room, the includes between its units (a header with its source file) form no cycle;
  - every source file of a Python-facing room names something of Python or NumPy (a file that
    does not belongs in a Python-free room);
  - every project include names a file that exists.
Exits 1 and lists what is wrong when a rule is broken.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

SRC = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
PYTHON_HEADERS = re.compile(r"^(Python\.h|numpy/)")
# A name of CPython's or NumPy's C interface, or of the project's own handle for PyObject*.
PYTHON_NAMES = re.compile(r"\b(_?Py[A-Za-z_]\w*|npy_\w+|NPY_\w+)")
COMMENT = re.compile(r"//[^\n]*|/\*.*?\*/", re.DOTALL)


def names_python(path: Path) -> bool:
    code = COMMENT.sub("", path.read_text(encoding="utf-8"))
    code = INCLUDE.sub("", code)
    return PYTHON_NAMES.search(code) is not None


def find_cycles(edges: dict[str, set[str]]) -> list[list[str]]:
    """The cycles that a depth-first search over `edges` meets, each as a closed path."""
    state: dict[str, int] = {}
    stack: list[str] = []
    cycles = []

    def visit(node: str) -> None:
        state[node] = 1
        stack.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                cycles.append(stack[stack.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = 2

    for node in sorted(edges):
        if node not in state:
            visit(node)
    return cycles


def read_sources() -> dict[str, tuple[list[str], list[str], int]]:
    """Path under src/ -> (project includes, system includes, non-blank lines)."""
    sources = {}
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".cpp", ".hpp", ".h", ".cc"):
            continue
        text = path.read_text(encoding="utf-8")
        project, system = [], []
        for kind, name in INCLUDE.findall(text):
            (project if kind == '"' else system).append(name)
        lines = sum(1 for line in text.splitlines() if line.strip())
        sources[path.relative_to(SRC).as_posix()] = (project, system, lines)
    return sources


def room_of(name: str) -> str:
    return name.split("/", 1)[0] if "/" in name else "."


def main() -> int:
    sources = read_sources()
    problems = []
    for name, (project, _, _) in sources.items():
        for target in project:
            if target not in sources:
                problems.append(f"{name}: includes \"{target}\", which is not a file under src/")

    facing: dict[str, bool] = {}

    def is_facing(name: str, seen: frozenset[str] = frozenset()) -> bool:
        if name in facing:
            return facing[name]
        project, system, _ = sources[name]
        result = any(PYTHON_HEADERS.match(h) for h in system) or any(
            is_facing(t, seen | {name}) for t in project if t in sources and t not in seen
        )
        facing[name] = result
        return result

    rooms: dict[str, list[str]] = {}
    for name in sources:
        rooms.setdefault(room_of(name), []).append(name)

    room_facing = {}
    for room, names in sorted(rooms.items()):
        kinds = {is_facing(n) for n in names}
        if len(kinds) > 1:
            mixed = ", ".join(n for n in names if is_facing(n))
            problems.append(f"room {room} mixes Python-free files and Python-facing ones ({mixed})")
        room_facing[room] = any(kinds)

    edges: dict[str, set[str]] = {room: set() for room in rooms}
    for name, (project, _, _) in sources.items():
        for target in project:
            if target not in sources:
                continue
            a, b = room_of(name), room_of(target)
            if a != b:
                edges[a].add(b)
            if not is_facing(name) and room_facing.get(b) and not room_facing.get(a):
                problems.append(f"{name} (Python-free) includes {target} (a Python-facing room)")

    for cycle in find_cycles(edges):
        problems.append("rooms include each other in a cycle: " + " -> ".join(cycle))

    # Units of one room: a header and its source file are one unit.
    units: dict[str, set[str]] = {}
    for name, (project, _, _) in sources.items():
        unit = name.rsplit(".", 1)[0]
        units.setdefault(unit, set())
        for target in project:
            other = target.rsplit(".", 1)[0]
            if target in sources and room_of(target) == room_of(name) and other != unit:
                units[unit].add(other)
    for cycle in find_cycles(units):
        problems.append("files include each other in a cycle: " + " -> ".join(cycle))

    for name in sources:
        if name.endswith(".cpp") and room_facing.get(room_of(name)):
            if not names_python(SRC / name):
                problems.append(f"{name} names nothing of Python or NumPy: it belongs in a "
                                "Python-free room")

    print(f"{'room':<10} {'kind':<15} {'files':>5} {'lines':>6}  includes")
    for room, names in sorted(rooms.items()):
        kind = "Python-facing" if room_facing[room] else "Python-free"
        lines = sum(sources[n][2] for n in names)
        print(f"{room:<10} {kind:<15} {len(names):>5} {lines:>6}  {', '.join(sorted(edges[room])) or '-'}")
    for problem in problems:
        print("error:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
