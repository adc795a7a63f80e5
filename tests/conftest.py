"""Fixtures and mesh generators shared by the tests.

ZET_SANITIZED=1 marks a run under AddressSanitizer (slower; no huge virtual allocations);
ZET_FUZZ_EXAMPLES sets the hypothesis examples per property (default 50).
"""

import functools
import os

import numpy as np
import pytest
from hypothesis import settings

import _zet_native as zn

SANITIZED = os.environ.get("ZET_SANITIZED") == "1"
fuzz = settings(max_examples=int(os.environ.get("ZET_FUZZ_EXAMPLES", "50")), deadline=None)
PARALLEL_M = 16384  # the smallest mesh whose tree is built in parallel waves
BIG_M = PARALLEL_M if SANITIZED else 40000


@pytest.fixture(autouse=True)
def thread_settings():
    """Every test leaves the process-wide limit and this thread's stage as it found them."""
    previous = zn.set_thread_limit(0)
    zn.set_thread_limit(previous)
    yield
    zn.leave_stage()
    zn.set_thread_limit(previous)


def soup(m, seed, flat=False, unused=0):
    """m small random triangles with vertices of their own, plus unused vertices."""
    rng = np.random.default_rng(seed)
    corners = rng.uniform(-10, 10, (m, 1, 3)) + rng.uniform(-0.5, 0.5, (m, 3, 3))
    vertices = np.vstack([corners.reshape(-1, 3), rng.uniform(-1, 1, (unused, 3))])
    if flat:
        vertices[:, 2] = 1.5
    return vertices, np.arange(3 * m, dtype=np.uint32).reshape(m, 3)


def lattice(m, seed):
    """Shared vertices on a coarse integer lattice: many equal centres and equal extents."""
    rng = np.random.default_rng(seed)
    vertices = rng.integers(0, 4, (max(3, m // 4), 3)).astype(np.float64)
    return vertices, rng.integers(0, len(vertices), (m, 3)).astype(np.uint32)


def tree_arrays(result):
    """The packed build result as (node_min, node_max, node_meta, order) arrays."""
    return (np.frombuffer(result[0], np.float64).reshape(-1, 3),
            np.frombuffer(result[1], np.float64).reshape(-1, 3),
            np.frombuffer(result[2], np.int32).reshape(-1, 5), np.frombuffer(result[3], np.uint32))


@functools.cache
def node_count(m, leaf_size):
    """Nodes of a median-split tree over m triangles, straight from the recursion."""
    if m <= leaf_size:
        return min(m, 1)
    return 1 + node_count(m // 2, leaf_size) + node_count(m - m // 2, leaf_size)
