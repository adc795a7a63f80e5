"""self_intersection_pairs: a second self-join written here (the same depth-first walk,
budget, bounded witness list and polling) compared on the whole result, its pair set checked
against a brute force over all pairs; meshes with known crossings and closed meshes without;
the edge cases of adjacency, coincidence, witness order, budget, cancellation and arguments."""

import functools
import itertools
import math
import re
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

import _zet_native as zn
import zet_native
from reference_ccd import ref_kernel
from test_collision_path import TOLS, UNLIMITED, Asker, BadTruth, Refusal

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from meshes import torus  # noqa: E402

INVALID = "invalid self-intersection budget, witness limit, interval or epsilon"


def self_join(tree, epsilon=0.0, budget=UNLIMITED, limit=1024, interval=4096, cancel=None):
    return zn.self_intersection_pairs(tuple(tree), epsilon, *TOLS, budget, limit, interval, cancel)


def overlap(lo1, hi1, lo2, hi2, epsilon):
    return all(hi1[d] + epsilon >= lo2[d] and hi2[d] + epsilon >= lo1[d] for d in range(3))


class ReferenceSelfJoin:
    """Walks the whole tree once, recording each pop (None) and each evaluated pair with its
    kernel status; run() replays them under a budget, a witness limit and polling."""

    def __init__(self, tree, epsilon):
        meta, order, excluded = tree.node_meta.tolist(), tree.order.tolist(), tree.excluded.tolist()
        n_lo, n_hi, ids = tree.node_min.tolist(), tree.node_max.tolist(), tree.triangles.tolist()
        tri = tree.vertices[tree.triangles].tolist()
        box = [([min(c) for c in zip(*t)], [max(c) for c in zip(*t)]) for t in tri]
        self.events, stack = [], [(0, 0)]
        while stack:
            self.events.append(None)
            a, b = stack.pop()
            if a != b and not overlap(n_lo[a], n_hi[a], n_lo[b], n_hi[b], epsilon):
                continue
            (al, ar, a_start, a_count, _), (bl, br, b_start, b_count, _) = meta[a], meta[b]
            if al < 0 and bl < 0:
                for i in range(a_count):
                    for j in range(i + 1 if a == b else 0, b_count):
                        s, t = order[a_start + i], order[b_start + j]
                        if excluded[s] or excluded[t] or not overlap(*box[s], *box[t], epsilon) \
                                or set(ids[s]) & set(ids[t]):
                            continue
                        low, high = min(s, t), max(s, t)
                        status = ref_kernel(tri[low], tri[high], [0.0] * 3, 0.0, 0.0, *TOLS)[0]
                        self.events.append((low, high, status))
            elif a == b:
                stack += [(al, ar), (ar, ar), (al, al)]
            elif bl < 0 or (al >= 0 and a_count >= b_count):
                stack += [(ar, b), (al, b)]
            else:
                stack += [(a, br), (a, bl)]

    def pairs(self):
        return {e[:2] for e in self.events if e is not None}

    def run(self, budget=UNLIMITED, limit=1024, interval=4096, cancel=None):
        status = evaluated = intersecting = undecided = work = 0
        next_check, witnesses = interval, []
        for event in self.events:
            if event is not None:
                low, high, kernel_status = event
                if evaluated >= budget:
                    status = 1
                    break
                evaluated += 1
                intersecting += kernel_status == 0
                undecided += kernel_status == 2
                if kernel_status != 1:
                    witnesses = sorted(witnesses + [(low, high)])[:limit]
            work += 1
            if cancel is not None and work >= next_check:
                next_check = work + interval
                if cancel():
                    status = 2
                    break
        return (status, evaluated, intersecting, undecided,
                b"".join(struct.pack("=II", *w) for w in witnesses))


def brute_force_pairs(tree, epsilon):
    corners = tree.vertices[tree.triangles]
    lo, hi = corners.min(1), corners.max(1)
    meets = ((hi[:, None] + epsilon >= lo[None]) & (hi[None] + epsilon >= lo[:, None])).all(2)
    shared = (tree.triangles[:, None, :, None] == tree.triangles[None, :, None, :]).any((2, 3))
    used = tree.excluded == 0
    i, j = np.nonzero(np.triu(meets & ~shared & used[:, None] & used[None], 1))
    return set(zip(i.tolist(), j.tolist()))


def merge(*meshes):
    offsets = np.cumsum([0] + [len(v) for v, _ in meshes])
    return (np.vstack([v for v, _ in meshes]),
            np.vstack([t + np.uint32(o) for (_, t), o in zip(meshes, offsets)]))


def cube(n, corner):
    """A closed unit cube surface, n x n squares per face, two triangles each, shared vertices."""
    index, triangles = {}, []
    for axis, side, i, j in itertools.product(range(3), (0, n), range(n), range(n)):
        quad = [index.setdefault(tuple(np.roll([side, i + di, j + dj], axis).tolist()), len(index))
                for di, dj in ((0, 0), (1, 0), (1, 1), (0, 1))]
        triangles += [quad[:3], [quad[0], quad[2], quad[3]]]
    return np.array(list(index), np.float64) / n + corner, np.array(triangles, np.uint32)


def jumble(m, seed):
    """Random triangles packed into a small cube, each with vertices of its own; every tenth
    is collinear, so undecided wherever it is tested."""
    rng = np.random.default_rng(seed)
    corners = rng.uniform(-2, 2, (m, 1, 3)) + rng.uniform(-0.6, 0.6, (m, 3, 3))
    corners[::10, 2] = (corners[::10, 0] + corners[::10, 1]) / 2
    return own_vertices(corners)


def rings(minor):
    """Two linked tori: the second stands in the xz plane through the first one's hole. Their
    core circles stay 1 apart, so the tubes cross when minor > 0.5."""
    first = torus(12, 6, 1.0, minor)
    return merge(first, (first[0][:, [0, 2, 1]] + [1.0, 0.0, 0.0], first[1]))


MESHES = {  # name: (vertices and triangles, parts, leaf size, epsilon, excluded every k-th)
    "thick_rings": (lambda: rings(0.6), 2, 4, 0.0, 0),
    "thin_rings": (lambda: rings(0.3), 2, 2, 0.05, 0),
    "boxes": (lambda: merge(cube(3, 0.0), cube(3, [0.5, 0.37, 0.29])), 2, 3, 0.0, 11),
    "torus": (lambda: torus(16, 8), 1, 4, 0.02, 0),
    "jumble": (lambda: jumble(200, 3), 0, 4, 0.0, 9),
}


@functools.cache
def mesh_case(name):
    make, parts, leaf, epsilon, every = MESHES[name]
    vertices, triangles = make()
    excluded = (np.arange(len(triangles)) % every == 5) if every else None
    tree = zet_native.build_tree(vertices, triangles, leaf, excluded)
    return tree, parts, epsilon, ReferenceSelfJoin(tree, epsilon)


@pytest.mark.parametrize("name", MESHES)
def test_matches_reference(name):
    tree, parts, epsilon, ref = mesh_case(name)
    assert ref.pairs() == brute_force_pairs(tree, epsilon)

    def both(budget=UNLIMITED, limit=1024, interval=4096, yes_at=None):
        mine, theirs = (None, None) if yes_at is None else (Asker(yes_at), Asker(yes_at))
        expected = ref.run(budget, limit, interval, mine)
        assert self_join(tree, epsilon, budget, limit, interval, theirs) == expected
        assert mine is None or mine.calls == theirs.calls
        return expected

    full = both()
    total = full[1]
    assert full[0] == 0 and total == len(ref.pairs()) > 50
    witnesses = np.frombuffer(full[4], np.uint32).reshape(-1, 2)
    assert not tree.excluded[witnesses].any()
    if parts == 2:  # each part alone is closed and clean: every crossing is between the parts
        first_part = len(tree.triangles) // 2
        assert ((witnesses[:, 0] < first_part) & (witnesses[:, 1] >= first_part)).all()
        assert (full[2] > 10) == name.startswith(("thick", "boxes"))
    if parts == 1:
        assert full[2:] == (0, 0, b"")
    if parts == 0:
        assert full[2] > 50 and full[3] > 10
    for budget in (0, 1, total // 2, total - 1, total):
        for limit in (0, 1, 2, 7, 1048576):
            got = both(budget, limit)
            assert got[:2] == (int(budget < total), budget)
    for interval, yes_at in [(1, 1), (1, 50), (3, 20), (100, 3), (1000, math.inf)]:
        both(UNLIMITED, 5, interval, yes_at)
        both(total // 2, 5, interval, yes_at)


# ---------------------------------------------------------------- constructed cases

def crossing(at, flip=False):
    """Two triangles through each other near `at`: one flat, one standing through it."""
    flat = np.array([[-1.0, -1, 0], [2, -1, 0], [-1, 2, 0]])
    standing = np.array([[0.0, -0.5, -1], [0, 0.5, -1], [0, 0, 1]])
    pair = (standing, flat) if flip else (flat, standing)
    return [p + at for p in pair]


def own_vertices(triangles):
    vertices = np.vstack(triangles).astype(np.float64)
    return vertices, np.arange(len(vertices), dtype=np.uint32).reshape(-1, 3)


def single_leaf(vertices, triangles, order):
    excluded = np.zeros(len(triangles), np.uint8)
    meta = np.array([[-1, -1, 0, len(order), 0]], np.int32)
    return (vertices, triangles, excluded, vertices.min(0, keepdims=True),
            vertices.max(0, keepdims=True), meta, np.array(order, np.uint32))


def witness_mesh():
    """Triangles 5 and 9, 1 and 7, 3 and 4 cross; 0, 2, 6, 8 stand alone. A single leaf
    lists them so that the crossings are found in the order (5, 9), (1, 7), (3, 4)."""
    triangles = [None] * 10
    for k, (s, t) in enumerate([(5, 9), (1, 7), (3, 4)]):
        triangles[s], triangles[t] = crossing([10.0 * k, 0, 0], flip=k == 1)
    for k, s in enumerate([0, 2, 6, 8]):
        triangles[s] = crossing([10.0 * k, 50, 0])[0]
    vertices, ids = own_vertices(triangles)
    return single_leaf(vertices, ids, [5, 9, 1, 7, 3, 4, 0, 2, 6, 8])


def pairs(witnesses):
    return [tuple(p) for p in np.frombuffer(witnesses, np.uint32).reshape(-1, 2).tolist()]


@pytest.mark.parametrize("budget, limit, expected", [
    (UNLIMITED, 2, (0, 3, 3, 0, [(1, 7), (3, 4)])),
    (UNLIMITED, 1, (0, 3, 3, 0, [(1, 7)])),
    (UNLIMITED, 0, (0, 3, 3, 0, [])),
    (UNLIMITED, 1048576, (0, 3, 3, 0, [(1, 7), (3, 4), (5, 9)])),
    (0, 2, (1, 0, 0, 0, [])),
    (1, 2, (1, 1, 1, 0, [(5, 9)])),
    (2, 1, (1, 2, 2, 0, [(1, 7)])),
    (3, 2, (0, 3, 3, 0, [(1, 7), (3, 4)])),
])
def test_witness_order_and_budget(budget, limit, expected):
    mesh = witness_mesh()
    got = self_join(mesh, 0.0, budget, limit)
    assert got[:4] + (pairs(got[4]),) == expected
    ref = ReferenceSelfJoin(zet_native.TriangleTree(*mesh), 0.0)
    assert got == ref.run(budget, limit)


def test_adjacency_and_coincidence():
    flat, standing = crossing([0.0, 0, 0])
    # One triangle: the root leaf against itself forms no pair.
    vertices, ids = own_vertices([flat])
    assert self_join(zet_native.build_tree(vertices, ids)) == (0, 0, 0, 0, b"")
    # Crossing triangles that share a vertex index are never evaluated...
    vertices = np.vstack([flat, standing[:2], flat[0]])
    shared = zet_native.build_tree(vertices, np.array([[0, 1, 2], [3, 4, 0]], np.uint32))
    assert self_join(shared) == (0, 0, 0, 0, b"")
    # ...while without the shared index they cross.
    apart = zet_native.build_tree(vertices, np.array([[0, 1, 2], [3, 4, 5]], np.uint32))
    assert self_join(apart)[:4] == (0, 1, 1, 0)
    # Coincident triangles with their own vertices intersect; excluded ones take no part.
    vertices, ids = own_vertices([flat, flat, standing + [5, 0, 0]])
    assert self_join(zet_native.build_tree(vertices, ids)) == (0, 1, 1, 0, struct.pack("=II", 0, 1))
    excluded = zet_native.build_tree(vertices, ids, 4, np.array([0, 1, 0], np.uint8))
    assert self_join(excluded) == (0, 0, 0, 0, b"")


def test_nan_coordinates():
    vertices, ids = own_vertices(crossing([0.0, 0, 0]) + crossing([9.0, 0, 0]) + crossing([20.0, 0, 0]))
    vertices[7, 2] = np.nan  # in the second pair
    vertices[13] = np.nan  # in the last pair
    tree = zet_native.build_tree(vertices, ids, 1)
    got = self_join(tree, 0.0)
    assert got == ReferenceSelfJoin(tree, 0.0).run() and pairs(got[4]) == [(0, 1)]


def test_cancellation_and_errors():
    tree = mesh_case("thick_rings")[0]
    asker = Asker(1)
    assert self_join(tree, 0.0, UNLIMITED, 4, 1, asker) == (2, 0, 0, 0, b"") and asker.calls == 1
    asker = Asker()
    assert self_join(tree, 0.0, 0, 4, 10**6, asker)[:2] == (1, 0) and asker.calls == 0
    for answer in (Refusal("call"), BadTruth()):
        with pytest.raises(Refusal):
            self_join(tree, 0.0, UNLIMITED, 4, 7, Asker(3, answer))


@pytest.mark.parametrize("epsilon, budget, limit, interval, cancel, error", [
    (0.0, 0, 1048576, 1, None, None),
    (-0.5, 0, 1, 1, None, INVALID),
    (math.inf, 0, 1, 1, None, INVALID),
    (math.nan, 0, 1, 1, None, INVALID),
    (0.0, 0, 1048577, 1, None, INVALID),
    (0.0, 0, -1, 1, None, INVALID),
    (0.0, -1, 1, 1, None, INVALID),
    (0.0, 0, 1, 0, 5, INVALID),  # values before should_cancel
    (-0.5, 0, 1, 1, 5, INVALID),
    (0.0, 0, 1, 1, 5, "should_cancel must be callable or None"),  # before the tree
])
def test_argument_checks(epsilon, budget, limit, interval, cancel, error):
    tree = list(mesh_case("torus")[0])
    if cancel is not None:
        tree[5] = tree[5][:, :4]
    if error is None:
        assert self_join(tree, epsilon, budget, limit, interval, cancel)[:2] == (1, 0)
        return
    with pytest.raises(ValueError if error == INVALID else TypeError, match=f"^{re.escape(error)}$"):
        self_join(tree, epsilon, budget, limit, interval, cancel)

