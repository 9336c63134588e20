"""Checks that the rooms of src/ depend one way: lists which room includes
which (from the #include "room/..." lines) and fails when two rooms reach
each other, directly or through others. The modules of the Python package
likewise: no import cycle, counting imports made inside functions (those
that only type checkers see do not run and do not count).
Usage: python scripts/check_rooms.py"""

import ast
import re
import sys
from pathlib import Path

SRC = Path(__file__).resolve().parents[1] / "src"
PACKAGE = Path(__file__).resolve().parents[1] / "python" / "sonavert"
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


def _imported(tree: ast.Module, modules: set) -> set:
    """The package's modules that a module's code imports."""
    found = set()
    pending = list(tree.body)
    while pending:
        node = pending.pop()
        if isinstance(node, ast.If) and getattr(node.test, "id", None) == "TYPE_CHECKING":
            pending.extend(node.orelse)
            continue
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 and node.module:
                found.add(node.module)
            elif node.level == 1:
                found.update(a.name for a in node.names)
            elif node.module and node.module.startswith("sonavert."):
                found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found.update(a.name.split(".")[1] for a in node.names if a.name.startswith("sonavert."))
        pending.extend(ast.iter_child_nodes(node))
    return found & modules


def import_graph(sources: dict) -> dict:
    """Which module imports which, from {module name: source text}."""
    return {name: _imported(ast.parse(text), set(sources)) for name, text in sources.items()}


def package_graph(package: Path) -> dict:
    return import_graph({p.stem: p.read_text() for p in sorted(package.glob("*.py"))
                         if p.stem != "__init__"})


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
    found = cycle(package_graph(PACKAGE))
    if found:
        print("import cycle in the package: " + " -> ".join(found))
        return 1
    print("no import cycle in the package")
    return 0


if __name__ == "__main__":
    sys.exit(main())
