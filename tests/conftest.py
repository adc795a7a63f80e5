"""The fixture every test runs under; shared helpers live in support.py."""

import sys
from pathlib import Path

import pytest

import _zet_native as zn

# The generated meshes and assemblies of the examples serve the tests too.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))


@pytest.fixture(autouse=True)
def thread_settings():
    """Every test leaves the process-wide limit and this thread's stage as it found them."""
    previous = zn.set_thread_limit(0)
    zn.set_thread_limit(previous)
    yield
    zn.leave_stage()
    zn.set_thread_limit(previous)
