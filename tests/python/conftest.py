import os
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def corpus_dir() -> Path:
    """The folder of real SPHERE files beside the project, if present."""
    return Path(os.environ.get("SONAVERT_CORPUS", REPO.parent / "shared" / "corpus"))


@pytest.fixture
def tidigits() -> Path:
    folder = corpus_dir() / "tidigits"
    if not folder.is_dir():
        pytest.skip("real SPHERE corpus not present")
    return folder

