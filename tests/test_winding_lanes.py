"""The vector walk of ray_winding_batch tests a leaf's usable triangles four at a time and
then takes the lanes in leaf-row order: counting the crossings before the first ambiguous
triangle and stopping there. These leaves stack planes crossed with either orientation, a
triangle parallel to the rays and a plane through the points in every slot of rows wider
than four, with empty and unusable entries between them, and put points on vertices, edges
and faces; counts and ambiguity are compared with the reference walk of test_rays_winding,
in the widest build and, in a process of its own, in the scalar one."""

import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest
from test_rays_winding import reference, run, same

import zet_native

DIRECTIONS = ((1.0, 1.0, 1.0), (0.25, -0.5, 1.0))
BOX = 50.0


def layered_triangles(rng):
    """Quads over [-8, 8]^2 at z = 1 .. 4, split along x = y, each triangle wound either way;
    a plane at z = 0 through points there; and a triangle that holds direction (1, 1, 1)."""
    corners = []
    for z in (1.0, 2.0, 3.0, 4.0, 0.0):
        a, b, c, d = ([x, y, z] for x, y in ((-8, -8), (8, -8), (8, 8), (-8, 8)))
        for tri in ((a, b, c), (a, c, d)):
            corners.append(tri if rng.random() < 0.5 else tri[::-1])
    corners.append(([0.25, 0.75, -20.0], [1.25, 1.75, -19.0], [0.25, 0.75, 20.0]))
    return np.array(corners, np.float64)


def leaf_tree(corners, rows, usable):
    """A root whose children are leaves with the given rows (one row: the root is that leaf),
    every box the same cube so that every ray reaches every leaf."""
    k = 1 if len(rows) == 1 else 1 + len(rows)
    width = max(len(r) for r in rows)
    table = np.full((k, width), -1, np.int64)
    for i, row in enumerate(rows):
        table[k - len(rows) + i, :len(row)] = row
    if k == 1:
        left = right = np.array([-1])
        leaf = np.ones(1, np.uint8)
    else:  # a root over two leaves
        assert len(rows) == 2
        left, right = np.full(k, -1), np.full(k, -1)
        leaf = np.ones(k, np.uint8)
        left[0], right[0], leaf[0] = 1, 2, 0
    return (np.full((k, 3), -BOX), np.full((k, 3), BOX), np.asarray(left, np.int64), np.asarray(right, np.int64),
            leaf, table, corners, usable)


def grid_points():
    """Points whose rays along (1, 1, 1) meet the quads at vertices, on the diagonal edge and
    inside; some of them on a plane (t = 0) or between planes."""
    x = np.arange(-3.0, 3.5, 0.5)
    z = np.array([-2.0, 0.0, 0.5, 1.0, 2.25])
    return np.stack(np.meshgrid(x, x, z, indexing="ij"), -1).reshape(-1, 3)


def cases():
    """(points, direction, tree) of every case: rows with the triangles shuffled, some rows
    wider than four with empty and unusable entries between the used ones."""
    rng = np.random.default_rng(11)
    out = []
    for trial in range(8):
        corners = layered_triangles(rng)
        n = len(corners)
        usable = (rng.random(n) < 0.85).astype(np.uint8)
        order = list(rng.permutation(n if trial % 2 else n - 3))  # some without z = 0 and the parallel one
        if trial % 4 == 1:  # the parallel triangle second, crossings before and after it
            order.remove(n - 1)
            order.insert(1, n - 1)
        slots = [int(j) for j in order]
        for _ in range(int(rng.integers(0, 4))):  # empty entries anywhere in the row
            slots.insert(int(rng.integers(0, len(slots) + 1)), -1)
        rows = [slots] if trial < 4 else [slots[: len(slots) // 2], slots[len(slots) // 2:]]
        tree = leaf_tree(corners, rows, usable)
        for d in DIRECTIONS:
            out.append((grid_points(), d, tree))
    return out


def results():
    return [run(points, d, tree) for points, d, tree in cases()]


def digest(found):
    return hashlib.sha256(repr(found).encode()).hexdigest()


def test_leaf_lanes_count_and_stop_as_the_row_walk():
    seen = set()
    for (points, d, tree), got in zip(cases(), results()):
        assert got == reference(points, d, tree, 1e-12, 1e-12)
        crossings = np.frombuffer(got[0], np.int64)
        ambiguous = np.frombuffer(got[1], np.uint8).astype(bool)
        seen.update((int(c), bool(a)) for c, a in zip(crossings, ambiguous))
    # the cases reach clean counts of both signs and stops with and without a partial count
    assert {(-1, False), (1, False), (0, True)} <= seen
    assert any(a and c != 0 for c, a in seen)


def test_wide_rows_and_empty_leaves_on_a_real_tree():
    """Leaves of 5 to 7 triangles (two vector groups) and a leaf with no usable triangle."""
    rng = np.random.default_rng(3)
    corners = layered_triangles(rng)
    v, t = corners.reshape(-1, 3), np.arange(3 * len(corners)).reshape(-1, 3)
    usable = np.ones(len(t), np.uint8)
    usable[:2] = 0  # a z = 1 quad left out
    tree = zet_native.winding_tree(zet_native.build_tree(v, t, 7), usable)
    points = grid_points()
    for d in DIRECTIONS:
        assert run(points, d, tree) == reference(points, d, tree, 1e-12, 1e-12)


def test_whole_packets_that_end_in_one_leaf():
    """Packets of points that all stop at the same leaf (on the z = 0 plane, its triangles
    first in the row), then points that walk on: every point's own count and stop."""
    rng = np.random.default_rng(5)
    corners = layered_triangles(rng)
    n = len(corners)
    rows = [[n - 3, n - 2, *range(n - 3)]]  # the z = 0 quad first, no parallel triangle
    tree = leaf_tree(corners, rows, np.ones(n, np.uint8))
    on_plane = np.column_stack([rng.uniform(-3, 3, (2, 128)).T, np.zeros(128)])
    walking = np.column_stack([rng.uniform(-3, 3, (2, 70)).T, rng.uniform(0.1, 0.9, 70)])
    points = np.vstack([on_plane, walking])
    for d in DIRECTIONS:
        crossings, ambiguous = same(points, d, tree)
        assert ambiguous[:128].all() and not ambiguous[128:].any()
        assert (crossings[128:] != 0).any()


SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
import _zet_native, test_winding_lanes as w
print(_zet_native.vector_build, w.digest(w.results()))
"""


@pytest.mark.parametrize("lanes", ["1", "4"])
def test_same_results_in_each_build(lanes):
    env = dict(os.environ, ZET_NATIVE_LANES=lanes)
    code = SCRIPT.format(tests=os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split()[-1] == digest(results())
