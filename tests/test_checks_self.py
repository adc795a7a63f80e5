"""self_intersection_pairs against a self-join written here (pair set checked by brute force); meshes with
and without crossings; adjacency, coincidence, witness order, budget, NaN, arguments."""

import functools
import itertools
import math
import struct

import numpy as np
import pytest
from reference_ccd import ref_kernel
from support import CALLABLE, TOLS, UNLIMITED, BadTruth, Poller, Refusal, Tree, both, own_vertices, refused, torus

import _zet_native as zn
import zet_native

INVALID = "invalid self-intersection budget, witness limit, interval or epsilon"


def self_join(tree, epsilon=0.0, budget=UNLIMITED, limit=1024, interval=4096, cancel=None):
    return zn.self_intersection_pairs(tuple(tree), epsilon, *TOLS, budget, limit, interval, cancel)


def overlap(lo1, hi1, lo2, hi2, epsilon):
    return all(hi1[d] + epsilon >= lo2[d] and hi2[d] + epsilon >= lo1[d] for d in range(3))


class ReferenceSelfJoin:
    """The walk once, as pops (None) and evaluated pairs with their kernel status; run()
    replays them under a budget, a witness limit and polling."""

    def __init__(self, tree, epsilon):
        w = Tree(tree)
        meta, order, excluded, n_lo, n_hi, ids, tri, box = w.meta, w.order, w.excluded, w.lo, w.hi, w.ids, w.tri, w.box
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
        status = evaluated = intersecting = undecided = 0
        poller, witnesses = Poller(cancel, interval, interval), []
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
            if poller.poll(1):
                status = 2
                break
        return status, evaluated, intersecting, undecided, b"".join(struct.pack("=II", *w) for w in witnesses)


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
    """Random triangles packed into a small cube; every tenth is collinear (undecided wherever tested)."""
    rng = np.random.default_rng(seed)
    corners = rng.uniform(-2, 2, (m, 1, 3)) + rng.uniform(-0.6, 0.6, (m, 3, 3))
    corners[::10, 2] = (corners[::10, 0] + corners[::10, 1]) / 2
    return own_vertices(corners)


def rings(minor):
    """Two linked tori, the second in the xz plane: core circles 1 apart, so tubes cross if minor > 0.5."""
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
    module = functools.partial(self_join, tree, epsilon)
    full = both(module, ref.run, UNLIMITED, 1024, interval=4096)
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
            got = both(module, ref.run, budget, limit, interval=4096)
            assert got[:2] == (int(budget < total), budget)
    assert both(module, ref.run, UNLIMITED, 4, yes_at=1) == (2, 0, 0, 0, b"")  # asked at the first pop
    for interval, yes_at, answer in [(1, 1, True), (1, 50, True), (3, 20, True), (100, 3, True),
                                     (1000, math.inf, True), (7, 3, Refusal("call")), (7, 3, BadTruth())]:
        for budget in (UNLIMITED, total // 2):
            both(module, ref.run, budget, 5, interval=interval, yes_at=yes_at, answer=answer)


# ---------------------------------------------------------------- constructed cases

def crossing(at, flip=False):
    """Two triangles through each other near `at`: one flat, one standing through it."""
    flat = np.array([[-1.0, -1, 0], [2, -1, 0], [-1, 2, 0]])
    standing = np.array([[0.0, -0.5, -1], [0, 0.5, -1], [0, 0, 1]])
    pair = (standing, flat) if flip else (flat, standing)
    return [p + at for p in pair]


def single_leaf(vertices, triangles, order):
    excluded = np.zeros(len(triangles), np.uint8)
    meta = np.array([[-1, -1, 0, len(order), 0]], np.int32)
    return (vertices, triangles, excluded, vertices.min(0, keepdims=True), vertices.max(0, keepdims=True), meta,
            np.array(order, np.uint32))


def witness_mesh():
    """5 and 9, 1 and 7, 3 and 4 cross, found in that order in a single leaf; 0, 2, 6, 8 stand alone."""
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
    assert got == ReferenceSelfJoin(zet_native.TriangleTree(*mesh), 0.0).run(budget, limit)


def test_single_and_coincident_triangles():
    # (Shared vertex indices and excluded triangles: the closed and excluding meshes above.)
    flat, standing = crossing([0.0, 0, 0])
    assert self_join(zet_native.build_tree(*own_vertices([flat]))) == (0, 0, 0, 0, b"")  # the root leaf alone
    vertices, ids = own_vertices([flat, flat, standing + [5, 0, 0]])  # coincident, own vertices: they intersect
    assert self_join(zet_native.build_tree(vertices, ids)) == (0, 1, 1, 0, struct.pack("=II", 0, 1))


def test_nan_coordinates():
    vertices, ids = own_vertices(crossing([0.0, 0, 0]) + crossing([9.0, 0, 0]) + crossing([20.0, 0, 0]))
    vertices[7, 2] = np.nan  # in the second pair
    vertices[13] = np.nan  # in the last pair
    tree = zet_native.build_tree(vertices, ids, 1)
    got = self_join(tree, 0.0)
    assert got == ReferenceSelfJoin(tree, 0.0).run() and pairs(got[4]) == [(0, 1)]


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
    (0.0, 0, 1, 1, 5, CALLABLE),  # before the tree
])
def test_argument_checks(epsilon, budget, limit, interval, cancel, error):
    tree = list(mesh_case("torus")[0])
    if cancel is not None:
        tree[5] = tree[5][:, :4]
    if error is None:
        assert self_join(tree, epsilon, budget, limit, interval, cancel)[:2] == (1, 0)
    else:
        error_type = TypeError if error == CALLABLE else ValueError
        refused(self_join, (tree, epsilon, budget, limit, interval, cancel), error_type, error, ())

