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



# --- Test tiers (TESTING.md) ------------------------------------------------------
# A test that compares with programs or libraries of others (FFmpeg, SoX,
# soundfile, or the benchmark run that times them) is marked `peers` and
# runs in the full tier only; every other test is marked `quick`.
PEER_WORDS = ("ffmpeg", "sox", "soundfile", "peer")


def pytest_configure(config):
    config.addinivalue_line("markers", "quick: runs in every tier (scripts/test.sh --quick)")
    config.addinivalue_line("markers", "peers: compares with FFmpeg, SoX or soundfile; full tier only")


def pytest_collection_modifyitems(items):
    for item in items:
        name = item.name.lower()
        if (item.path.name == "test_sonavert_peers.py" or any(w in name for w in PEER_WORDS)
                or "short_run" in getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.peers)
        else:
            item.add_marker(pytest.mark.quick)
