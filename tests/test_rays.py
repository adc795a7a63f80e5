"""ray_tree_hits against a recursive traversal written here, byte for byte (hit order, depths) on soups,
lattices and a deep tree; chords through closed meshes; depth bounds; cancellation; checks in order."""

import math
import re
import struct

import numpy as np
import pytest
from reference_ccd import _cross as cross
from reference_ccd import _dot as dot
from reference_ccd import _sub as sub
from reference_ccd import ieee_div, max_as_written, min_as_written
from support import DTYPE, INF, NAN, Asker, Poller, Refusal, both, lattice, soup, sphere, torus, tree_arrays

import _zet_native as zn
import zet_native

NONE = (0, b"", b"", b"")


def ref_depth(a, b, c, o, d, eps, length):
    e1, e2 = sub(b, a), sub(c, a)
    p = cross(d, e2)
    det = dot(e1, p)
    if abs(det) <= math.sqrt(dot(e1, e1)) * math.sqrt(dot(e2, e2)) * 1e-12:
        return None
    inv = ieee_div(1.0, det)
    s = sub(o, a)
    q = cross(s, e1)
    u, v, t = dot(s, p) * inv, dot(d, q) * inv, dot(e2, q) * inv
    return t if u >= -1e-9 and v >= -1e-9 and u + v <= 1.000000001 and eps < t <= eps + length else None


def ref_enters(lo, hi, o, d, eps, length):
    near, far = -INF, INF
    for a in range(3):
        low, high = lo[a] - eps, hi[a] + eps
        if d[a] == 0.0:
            if not (low <= o[a] and o[a] <= high):
                return False
        else:
            t1, t2 = (low - o[a]) * (1.0 / d[a]), (high - o[a]) * (1.0 / d[a])
            near, far = max_as_written(near, min_as_written(t1, t2)), min_as_written(far, max_as_written(t1, t2))
    return far >= max_as_written(near, 0.0) and near <= eps + length


def trace(nmin, nmax, meta, order, verts, tris, usable, o, d, eps, length):
    """(triangle, depth) of one ray's hits in the order of a recursive walk, left subtree
    first (the tree's arrays as lists)."""
    hits = []

    def visit(j):
        if not ref_enters(nmin[j], nmax[j], o, d, eps, length):
            return
        left, right, start, count, _ = meta[j]
        if left >= 0:
            visit(left)
            return visit(right)
        for t in order[start:start + count]:
            depth = ref_depth(*(verts[i] for i in tris[t]), o, d, eps, length) if usable[t] else None
            if depth is not None:
                hits.append((t, depth))

    if meta:
        visit(0)
    return hits


def reference(origins, direction, length, eps, nmin, nmax, meta, order, verts, tris, usable, interval, cancel):
    """(cancelled, rays, triangles, depths) packed as the module packs them."""
    tree = [np.asarray(x).tolist() for x in (nmin, nmax, meta, order, verts, tris, usable)]
    d, hits, poller = np.asarray(direction).tolist(), [], Poller(cancel, interval, 0)
    cancelled = 0
    for ray, o in enumerate(np.asarray(origins).tolist() if tree[2] else []):
        if poller.poll(1):
            cancelled = 1
            break
        hits += [(ray, t, depth) for t, depth in trace(*tree, o, d, eps, length)]
    columns = list(zip(*hits)) or [(), (), ()]
    return (cancelled, struct.pack(f"={len(hits)}q", *columns[0]), struct.pack(f"={len(hits)}q", *columns[1]),
            struct.pack(f"={len(hits)}d", *columns[2]))


def make_tree(vertices, triangles, leaf_size=2):
    vertices, triangles = np.asarray(vertices, np.float64), np.asarray(triangles, np.uint32)
    return (vertices, triangles, *tree_arrays(zn.build_aabb_tree(vertices, triangles, leaf_size, None, 1024)))


def args(origins, direction, length, tree, usable=None, eps=0.0):
    """The arguments before cancel_interval and should_cancel."""
    v, t, nmin, nmax, meta, order = tree
    usable = np.ones(len(t), np.uint8) if usable is None else usable
    return (np.asarray(origins, np.float64).reshape(-1, 3), np.asarray(direction, np.float64), length, eps,
            nmin, nmax, meta, order, v, t, usable)


def same(*a, **options):
    """The module's result equals the reference's (after as many consultations); the result."""
    return both(zn.ray_tree_hits, reference, *a, **options)


def deep_tree(vertices, triangles, rng):
    """A left spine of m - 1 internal nodes (the stack grows to m - 1), one triangle per leaf."""
    depth = len(triangles) - 1
    meta = [[i + 1, 2 * depth - i, 0, 0, 0] for i in range(depth)]
    meta += [[-1, -1, i, 1, 0] for i in range(depth + 1)]
    meta = np.array(meta, np.int32)
    return (vertices, triangles, np.full((2 * depth + 1, 3), -11.0), np.full((2 * depth + 1, 3), 11.0), meta,
            rng.permutation(depth + 1).astype(np.uint32))


DIRECTIONS = [(0.3, -0.5, 0.8), (1.0, 0.0, 0.0), (0.0, -0.0, -2.0), (0.6, 0.0, -0.7), (0.0, 0.0, 0.0)]


@pytest.mark.parametrize("seed", range(6))
def test_matches_reference(seed):
    """Soups (odd seeds) and integer lattices hit at their vertices and edges by rays from
    lattice points (even seeds); seed 5 on a deep hand-made tree that grows the stack."""
    rng = np.random.default_rng(seed)
    v, t = (soup if seed % 2 else lattice)(150, seed)
    tree = make_tree(v, t, 1 + seed % 4) if seed < 5 else deep_tree(v, t, rng)
    if seed == 3:  # NaN and infinite box corners: the slab ends are taken exactly as written
        nmin, nmax = tree[2].copy(), tree[3].copy()
        nmin[rng.integers(0, len(nmin), 9), rng.integers(0, 3, 9)] = [NAN, NAN, NAN, -INF, -INF, INF, NAN, INF, -INF]
        nmax[rng.integers(0, len(nmax), 9), rng.integers(0, 3, 9)] = [NAN, NAN, NAN, INF, INF, -INF, NAN, INF, -INF]
        tree = (*tree[:2], nmin, nmax, *tree[4:])
    usable = (rng.random(len(tree[1])) < 0.8).astype(np.uint8 if seed % 3 else bool)
    total = 0
    for d, eps, length in zip(DIRECTIONS, (0.0, 0.05, -0.02, 0.3, 0.0), (30.0, 8.0, 30.0, 4.0, 30.0)):
        d = np.array(d) * rng.uniform(0.5, 2)
        if seed % 2:  # aimed at points of random triangles, from up to 12 units away
            targets = (v[t[rng.integers(0, len(t), 120)]] * rng.dirichlet((1, 1, 1), 120)[:, :, None]).sum(1)
            origins = targets - d * rng.uniform(-1, 12, (120, 1)) / max(np.linalg.norm(d), 1e-300)
        else:
            origins = rng.integers(-1, 5, (120, 3)).astype(float)
        total += len(same(*args(origins, d, length, tree, usable, eps))[1]) // 8
    assert total >= 100


def test_chords_through_closed_meshes():
    tree = make_tree(*sphere(32), 4)
    rng = np.random.default_rng(7)
    xy = rng.uniform(-0.6, 0.6, (200, 2))
    origins = np.column_stack([xy, np.full(200, -3.0)])
    cancelled, rays, _, depths = same(*args(origins, (0.0, 0.0, 2.0), 3.0, tree))
    rays, depths = np.frombuffer(rays, np.int64), np.frombuffer(depths)
    assert cancelled == 0 and np.array_equal(rays, np.repeat(np.arange(200), 2))  # in and out
    pairs = np.sort(depths.reshape(-1, 2), axis=1) * 2  # depths count lengths of the direction (2)
    chord = 2 * np.sqrt(1 - (xy ** 2).sum(1))
    assert np.allclose(pairs[:, 1] - pairs[:, 0], chord, atol=0.03) and np.all(pairs[:, 0] > 2)
    hits = zet_native.ray_hits(origins, (0.0, 0.0, 2.0), 3.0, zet_native.build_tree(*sphere(32), leaf_size=4))
    assert hits.cancelled == 0 and hits.rays.dtype == np.int64 and np.array_equal(hits.depths, depths)
    ring = make_tree(*torus(24, 12))  # both tube sections along the x axis; nothing in the hole
    r = same(*args([[-3.0, 0.013, 0.021], [0.0, 0.013, -3.0]], (1.0, 0.0, 0.0), 6.0, ring))
    assert np.array_equal(np.frombuffer(r[1], np.int64), [0, 0, 0, 0])
    assert same(*args([[0.011, 0.023, -3.0]], (0.0, 0.0, 1.0), 6.0, ring)) == NONE


FLOOR = ([[-1.0, -1.0, 1.0], [3.0, -1.0, 1.0], [-1.0, 3.0, 1.0]], [[0, 1, 2]])  # at depth 1.0 exactly


@pytest.mark.parametrize("eps, length, speed, hit", [
    (1.0, 5.0, 1, False), (0.5, 0.5, 1, True), (0.0, 1.0, 1, True), (0.5, 0.4999999, 1, False),
    (0.0, 0.9999999, 1, False), (-0.5, 1.5, 1, True),
    (0.25, 0.25, 2, True),  # the widened box is entered at t = 0.375, past the length but within eps + length
])
def test_depth_bounds(eps, length, speed, hit):
    r = same(*args([[0.25, 0.5, 0.0]], (0.0, 0.0, speed), length, make_tree(*FLOOR), eps=eps))
    assert r == ((0, struct.pack("=q", 0), struct.pack("=q", 0), struct.pack("=d", 1.0 / speed)) if hit else NONE)


def test_zero_direction_degenerate_and_hidden_triangles():
    tree = make_tree(*FLOOR)
    asker = Asker()
    assert zn.ray_tree_hits(*args([[0.25, 0.5, 1.0]], (0.0, 0.0, 0.0), 5.0, tree), 1, asker) == NONE
    assert asker.calls == 1  # the box holds the origin, but det is 0
    v = [[0.0, 0.0, 1.0], [1.0, 0.0, 1.0], [0.0, 0.0, 1.0], [2.0, 0.0, 1.0], [0.0, 1.0, 2.0], [0.0, 2.0, 3.0],
         [0.5, 1e-13, 1.0]]
    degenerate = make_tree(v, [[0, 1, 2], [0, 4, 5], [0, 1, 6]])  # equal corners; corners on a line; a sliver
    origins = [[0.5, 0.0, 0.0], [0.0, 1.0, 0.0], [0.5, 5e-14, 0.0]]  # det of the sliver: -1e-13, not 0
    assert same(*args(origins, (0.0, 0.0, 1.0), 5.0, degenerate)) == NONE
    assert same(*args([[0.25, 0.5, 0.0]], (0.0, 0.0, 1.0), 5.0, tree, np.zeros(1, bool))) == NONE
    for d in [(-0.0, 0.0, 1.0), (0.0, -0.0, 1.0)]:  # on the box face x = -1: containment, not 0 * inf
        assert same(*args([[-1.0, 0.5, 0.0]], d, 5.0, tree))[3] == struct.pack("=d", 1.0)


def test_empty_inputs_never_ask():
    asker = Asker(1, Refusal("asked"))
    assert zn.ray_tree_hits(*args(np.zeros((0, 3)), (0.0, 0.0, 1.0), 5.0, make_tree(*FLOOR)), 1, asker) == NONE
    empty = (np.zeros((0, 3)), np.zeros((0, 3)), np.zeros((0, 5), np.int32), np.zeros(0, np.uint32))
    nodeless = (np.array(FLOOR[0]), np.array(FLOOR[1], np.uint32), *empty)
    assert zn.ray_tree_hits(*args([[0.25, 0.5, 0.0]], (0.0, 0.0, 1.0), 5.0, nodeless), 1, asker) == NONE
    assert asker.calls == 0


@pytest.mark.parametrize("interval, yes_at, asked", [(1, 1, 1), (3, INF, 4), (3, 2, 2), (3, 4, 4), (1, 7, 7),
                                                     (100, 2, 1)])
def test_cancellation(interval, yes_at, asked):
    """Asked before rays 0, interval, 2 interval, ...; a true answer keeps the rays before it."""
    origins = np.column_stack([np.linspace(-0.5, 0.5, 10), np.linspace(0.4, -0.3, 10), np.full(10, -2.0)])
    a = args(origins, (0.1, 0.0, 1.0), 4.0, make_tree(*sphere(12)))
    r = same(*a, interval=interval, yes_at=yes_at)
    counter = Asker(yes_at)
    zn.ray_tree_hits(*a, interval, counter)
    assert counter.calls == asked and r[0] == (yes_at <= asked)
    assert np.array_equal(np.frombuffer(r[1], np.int64), np.repeat(np.arange(min(10, interval * (yes_at - 1))), 2))


def base():
    """A valid argument dict over three triangles in two leaves (k = 3)."""
    v = np.array([[0, 0, 1], [1, 0, 1], [0, 1, 1], [0, 0, 2], [1, 0, 2], [0, 1, 2]], np.float64)
    _, t, nmin, nmax, meta, order = make_tree(v, [[0, 1, 2], [3, 4, 5], [0, 4, 2]], 2)
    return dict(origins=np.zeros((2, 3)), direction=np.array([0.0, 0, 1]), length=1.0, eps=0.0, node_min=nmin,
                node_max=nmax, node_meta=meta.copy(), order=order, vertices=v, triangles=t,
                usable=np.ones(3, np.uint8), interval=1, cancel=None)


SCALARS, MESH, LENGTHS = "invalid ray length, epsilon or cancel interval", "tree mesh", \
    "ray tree arrays have inconsistent lengths"
BAD_NODE = "ray tree node %d is malformed"
SHARED = [[1, 2, 0, 0, 0], [2, 3, 0, 0, 0], [-1, -1, 0, 1, 0], [-1, -1, 1, 1, 0]]  # node 2 named twice


def meta(rows):
    return dict(node_meta=np.array(rows, np.int32), node_min=np.zeros((len(rows), 3)),
                node_max=np.ones((len(rows), 3)))


@pytest.mark.parametrize("change, error, message", [
    (dict(interval=0, cancel=5, origins=None), ValueError, SCALARS),
    (dict(length=INF), ValueError, SCALARS),
    (dict(eps=NAN), ValueError, SCALARS),
    (dict(length=-INF, interval=-3), ValueError, SCALARS),
    (dict(triangles=np.full((3, 3), 6, np.uint32), usable=np.zeros(3, np.int16)), ValueError,
     MESH + " triangle index is outside the vertex array"),
    (dict(usable=np.zeros(3, np.int16), node_min=np.zeros((2, 3))), ValueError, DTYPE % "usable"),
    (dict(node_min=np.zeros((2, 3)), order=np.full(3, 3, np.uint32)), ValueError, LENGTHS),
    (dict(node_max=np.zeros((4, 3))), ValueError, LENGTHS),
    (dict(usable=np.zeros(4, np.uint8)), ValueError, LENGTHS),
    (meta(SHARED) | dict(order=np.full(3, 3, np.uint32)), ValueError, "leaf triangle is outside the triangle array"),
    # Every way a node record can be malformed: test_collision_path's tree checks (the same rules).
    (meta(SHARED), ValueError, BAD_NODE % 1),
    (meta([[-7, 5, -1, 1, 0]]), ValueError, BAD_NODE % 0),
])
def test_argument_checks_in_order(change, error, message):
    with pytest.raises(error, match=message and f"^{re.escape(message)}$"):
        zn.ray_tree_hits(*(base() | change).values())


def test_accepted_edge_arguments():
    """Negative length and epsilon; only the sign of field 0 makes a leaf; an order longer
    than m; bool usable."""
    a = base()
    assert zn.ray_tree_hits(*(a | dict(length=-1.0, eps=-2.0)).values())[0] == 0
    leaf = meta([[-7, 5, 1, 2, 0]]) | dict(node_max=np.full((1, 3), 2.0), order=np.arange(3, dtype=np.uint32))
    r = zn.ray_tree_hits(*(a | leaf | dict(origins=np.array([[0.3, 0.3, 0.0]]), length=2.0)).values())
    assert np.array_equal(np.frombuffer(r[2], np.int64), [1, 2])
    assert zn.ray_tree_hits(*(a | dict(usable=np.ones(3, bool), order=np.zeros(9, np.uint32))).values())[0] == 0
