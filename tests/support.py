"""Helpers shared by the tests: run settings, meshes, should_cancel callables, exporters, buffer checks.

ZET_SANITIZED=1 marks a run under AddressSanitizer (slower; no huge virtual allocations);
ZET_FUZZ_EXAMPLES sets the hypothesis examples per property (default 50)."""

import functools
import math
import os
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import settings

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from meshes import sphere, torus  # noqa: E402,F401

SANITIZED = os.environ.get("ZET_SANITIZED") == "1"
fuzz = settings(max_examples=int(os.environ.get("ZET_FUZZ_EXAMPLES", "50")), deadline=None)
PARALLEL_M = 16384  # the smallest mesh whose tree is built in parallel waves
BIG_M = PARALLEL_M if SANITIZED else 40000
UNLIMITED, DEEPEST, NAN, INF = 2**63 - 1, 2**31 - 1, math.nan, math.inf
TOLS = (1e-12, 1e-12, 1e-9)  # abs_tol, rel_tol, sin_tol of the path and self-intersection queries
F64 = "%s must be a C-contiguous float64 array"
DTYPE, SHAPE = "%s has an unsupported dtype or rank", "%s has an invalid shape"
CALLABLE = "should_cancel must be callable or None"

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


def own_vertices(triangles):
    """A mesh of the given triangles (sequences of three corners), each with vertices of its own."""
    vertices = np.vstack(triangles).astype(np.float64).reshape(-1, 3)
    return vertices, np.arange(len(vertices), dtype=np.uint32).reshape(-1, 3)


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


class Tree:
    """A TriangleTree as Python lists, with the box of every triangle."""

    def __init__(self, tree):
        self.meta, self.order = tree.node_meta.tolist(), tree.order.tolist()
        self.lo, self.hi = tree.node_min.tolist(), tree.node_max.tolist()
        self.excluded, self.ids = tree.excluded.tolist(), tree.triangles.tolist()
        self.tri = tree.vertices[tree.triangles].tolist()
        self.box = [([min(c) for c in zip(*t)], [max(c) for c in zip(*t)]) for t in self.tri]

    def leaf(self, node):
        _, _, start, count, _ = self.meta[node]
        return [t for t in self.order[start:start + count] if not self.excluded[t]]

class Refusal(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Refusal("truth")


class Asker:
    """should_cancel: False, then `answer` from call yes_at on (raised if an exception); counts calls."""

    def __init__(self, yes_at=INF, answer=True):
        self.calls, self.yes_at, self.answer = 0, yes_at, answer

    def __call__(self):
        self.calls += 1
        if self.calls >= self.yes_at and isinstance(self.answer, Exception):
            raise self.answer
        return self.calls >= self.yes_at and self.answer


class Poller:
    """Consults should_cancel once the work reaches the next check, then one interval later."""

    def __init__(self, cancel, interval, next_check):
        self.cancel, self.interval, self.work, self.next = cancel, interval, 0, next_check

    def poll(self, units):
        self.work += units
        if self.cancel is None or self.work < self.next:
            return False
        self.next = self.work + self.interval
        return bool(self.cancel())


def both(module, reference, *args, yes_at=None, answer=True, interval=1):
    """Equal results (or the same Refusal) after as many consultations; the result."""
    mine, theirs = (None, None) if yes_at is None else (Asker(yes_at, answer), Asker(yes_at, answer))
    try:
        expected = reference(*args, interval, mine)
    except Refusal:
        with pytest.raises(Refusal):
            module(*args, interval, theirs)
        expected = None
    else:
        assert module(*args, interval, theirs) == expected
    assert mine is None or mine.calls == theirs.calls
    return expected

def exported(array, letter=None):
    """A bytearray copy of the array and a memoryview of it in the array's shape."""
    array = np.asarray(array)
    storage = bytearray(array.tobytes())
    return storage, memoryview(storage).cast(letter or array.dtype.char, array.shape)


def assert_released(*exports):
    """BufferError while the module still holds an export of a view or of its bytearray."""
    for storage, view in exports:
        if view is not storage:
            view.release()
        storage.extend(b"\0")


def refused(call, args, error, message, names):
    """The call raises `error` with exactly `message`; with no message, one naming no argument (not ours)."""
    with pytest.raises(error or (ValueError, TypeError, BufferError)) as caught:
        call(*args)
    if message is None:
        assert not any(name in str(caught.value) for name in names)
    else:
        assert caught.type is error and str(caught.value) == message


def assert_same_bits(got, expected, dtype=None, what="result"):
    """Asserts that two arrays (or packed byte strings, read with ``dtype``) hold the same bits,
    NaN payloads and signed zeros included. On a difference it names the first differing
    record, its field and both values, instead of printing two walls of bytes."""
    def as_array(x):
        if isinstance(x, (bytes, bytearray, memoryview)):
            return np.frombuffer(x, dtype=dtype if dtype is not None else np.uint8)
        return np.asarray(x)

    a, b = as_array(got), as_array(expected)
    assert a.shape == b.shape and a.dtype == b.dtype, f"{what}: {a.dtype}{a.shape} against {b.dtype}{b.shape}"
    if a.tobytes() == b.tobytes():
        return
    fields = a.dtype.names or (None,)
    for index in np.ndindex(a.shape):
        for field in fields:
            x, y = (a[index], b[index]) if field is None else (a[index][field], b[index][field])
            if np.asarray(x).tobytes() != np.asarray(y).tobytes():
                name = "" if field is None else f" field {field!r}"
                raise AssertionError(f"{what} differs first at record {index}{name}: {x!r} against {y!r}")
    raise AssertionError(f"{what} differs in padding bytes only")
