import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def corpus():
    """The shared folder of real decks; tests that need it skip without it."""
    path = pathlib.Path(os.environ.get("VANTRELL_CORPUS") or ROOT.parent / "shared" / "corpus")
    if not path.is_dir():
        pytest.skip("deck corpus not available")
    return path
