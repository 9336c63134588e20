"""The version is written once, in pyproject.toml; the module built by CMake
and the package report it."""

import re
from pathlib import Path

import sonavert
import sonavert_native

REPO = Path(__file__).resolve().parents[2]


def test_module_and_package_report_the_pyproject_version():
    text = (REPO / "pyproject.toml").read_text()
    declared = re.search(r'^version = "([0-9.]+)"$', text, re.MULTILINE).group(1)
    assert sonavert_native.__version__ == declared
    assert sonavert.__version__ == declared
