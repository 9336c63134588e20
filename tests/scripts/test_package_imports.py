"""The package's modules import one another one way (scripts/check_rooms.py
checks it in every tier): no cycle, counting the imports made inside
functions too."""

import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
from check_rooms import PACKAGE, cycle, import_graph, package_graph  # noqa: E402


def test_the_package_has_no_import_cycle():
    graph = package_graph(PACKAGE)
    assert graph["_api"] and graph["_reading"], "the graph lost the package's own imports"
    assert cycle(graph) is None


@pytest.mark.parametrize("sources, expected", [
    ({"a": "from .b import x", "b": "def f():\n    from .a import y"}, ["a", "b", "a"]),
    ({"a": "from . import b", "b": "import sonavert.a"}, ["a", "b", "a"]),
    ({"a": "from .b import x", "b": "from sonavert.a import y"}, ["a", "b", "a"]),
    ({"a": "if TYPE_CHECKING:\n    from .b import x", "b": "from .a import y"}, None),
    ({"a": "from .b import x", "b": "from .c import y", "c": "import os"}, None),
])
def test_the_check_sees_cycles_through_every_kind_of_import(sources, expected):
    assert cycle(import_graph(sources)) == expected
