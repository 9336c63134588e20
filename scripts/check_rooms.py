"""Checks that the rooms of src/ depend one way: lists which room includes
which (from the #include "room/..." lines) and fails when two rooms reach
each other, directly or through others. Usage: python scripts/check_rooms.py"""

import re
import sys
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.MULTILINE)


def room_graph(src: Path) -> dict:
    graph = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp", ".inc", ".h") or not path.is_file():
            continue
        room = path.relative_to(src).parts[0]
        targets = graph.setdefault(room, set())
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            if target != room and (src / target).is_dir():
                targets.add(target)
    return graph


def cycle(graph: dict):
    """A list of rooms that form a cycle, or None."""
    state = {}

    def visit(room, path):
        state[room] = "open"
        for target in sorted(graph.get(room, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                found = visit(target, path + [target])
                if found:
                    return found
        state[room] = "done"
        return None

    for room in sorted(graph):
        if room not in state:
            found = visit(room, [room])
            if found:
                return found
    return None


def main() -> int:
    graph = room_graph(SRC)
    for room in sorted(graph):
        print(f"{room:10} -> {', '.join(sorted(graph[room])) or '(nothing)'}")
    found = cycle(graph)
    if found:
        print("cycle between rooms: " + " -> ".join(found))
        return 1
    print("no cycle between rooms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
