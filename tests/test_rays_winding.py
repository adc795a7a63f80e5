"""ray_winding_batch against a traversal and classifier written here, exactly; closed solids inside and
outside; surface points and parallel faces ambiguous; large batches point by point; checks in order."""

import math
import re
import struct

import numpy as np
import pytest
from reference_ccd import _cross as cross
from reference_ccd import _dot as dot
from reference_ccd import _sub as sub
from reference_ccd import ieee_div
from support import DTYPE, INF, NAN, lattice, own_vertices, soup, sphere, torus

import _zet_native as zn
import zet_native

LENGTHS, LEAF = "winding tree arrays have inconsistent lengths", "leaf triangle is outside the triangle array"
BAD_NODE = "winding tree node %d is malformed"
DIRECTION = (0.37, -0.52, 0.77)


def nan_min(x, y):
    return NAN if x != x or y != y else (x if x < y else y)


def nan_max(x, y):
    return NAN if x != x or y != y else (x if x > y else y)


def ref_classify(p, d, corners, tol):
    """(count change, ambiguous) of one triangle."""
    v0, v1, v2 = corners
    e1, e2 = sub(v1, v0), sub(v2, v0)
    q, n = cross(d, e2), cross(e1, e2)
    det = dot(e1, q)
    if abs(det) <= 1e-9 * math.sqrt(dot(n, n)):
        return 0, True
    inv, s = ieee_div(1.0, det), sub(p, v0)
    w = cross(s, e1)
    u, v, t = dot(s, q) * inv, dot(d, w) * inv, dot(e2, w) * inv
    m = nan_min(nan_min(u, v), 1.0 - u - v)
    if m > 1e-9 and t > tol:
        return (1 if det > 0 else -1), False
    return 0, m >= -1e-9 and t >= -tol


def reference(points, direction, tree, eps, tol):
    """(crossings, ambiguous) packed as the module packs them."""
    lo, hi, left, right, leaf, table, corners, usable = (np.asarray(a).tolist() for a in tree)
    d = [float(x) for x in direction]
    r, g = [ieee_div(1.0, x) for x in d], 8 * eps
    counts, flags = [], []
    for p in np.asarray(points).tolist():
        count, ambiguous, stack = 0, False, [0] if lo else []
        while stack and not ambiguous:
            n = stack.pop()
            slabs = [((lo[n][k] - g - p[k]) * r[k], (hi[n][k] + g - p[k]) * r[k]) for k in range(3)]
            near = nan_max(nan_max(nan_max(nan_min(*slabs[0]), nan_min(*slabs[1])), nan_min(*slabs[2])), 0.0)
            far = nan_min(nan_min(nan_max(*slabs[0]), nan_max(*slabs[1])), nan_max(*slabs[2]))
            if far >= near and not leaf[n]:
                stack += [right[n], left[n]]
            for j in table[n] if far >= near and leaf[n] else []:
                if j >= 0 and usable[j] and not ambiguous:
                    change, ambiguous = ref_classify(p, d, corners[j], tol)
                    count += change
        counts.append(count)
        flags.append(int(ambiguous))
    return struct.pack(f"={len(counts)}q", *counts), bytes(flags)


def run(points, direction, tree, eps=1e-12, tol=1e-12):
    return zn.ray_winding_batch(np.ascontiguousarray(points, np.float64).reshape(-1, 3), np.asarray(direction, np.float64),
                                *tree, eps, tol)


def same(points, direction, tree, eps=1e-12, tol=1e-12):
    """The module's result equals the reference's; as (crossings, ambiguous) arrays."""
    got = run(points, direction, tree, eps, tol)
    assert got == reference(points, direction, tree, eps, tol)
    return np.frombuffer(got[0], np.int64), np.frombuffer(got[1], np.uint8).astype(bool)


def wtree(vertices, triangles, leaf_size=2, usable=None):
    return zet_native.winding_tree(zet_native.build_tree(vertices, triangles, leaf_size), usable)


def voxels(filled):
    """The outward-wound surface of a set of unit cubes, two triangles per exposed face."""
    triangles = []
    for cell in np.argwhere(filled):
        for axis in range(3):
            for side in (0, 1):
                nb = cell.copy()
                nb[axis] += 2 * side - 1
                if 0 <= nb[axis] < filled.shape[axis] and filled[tuple(nb)]:
                    continue
                a = cell.astype(float)
                a[axis] += side
                eu, ev = np.eye(3)[(axis + 1) % 3], np.eye(3)[(axis + 2) % 3]
                quad = [a, a + eu, a + eu + ev, a + ev] if side else [a, a + ev, a + eu + ev, a + eu]
                triangles += [quad[:3], [quad[0], quad[2], quad[3]]]
    return own_vertices(triangles)


def one_leaf(corners, lo=None, hi=None):
    """A single leaf over the given triangles, boxed by them unless told otherwise."""
    corners = np.asarray(corners, np.float64)
    lo = corners.min((0, 1))[None] if lo is None else np.full((1, 3), lo)
    hi = corners.max((0, 1))[None] if hi is None else np.full((1, 3), hi)
    return zet_native.WindingTree(lo, hi, np.array([-1]), np.array([-1]), np.ones(1, bool),
                                  np.arange(len(corners))[None], corners, np.ones(len(corners), bool))


def deep_tree(corners, rng):
    """A left spine of D internal nodes (the stack grows to D), one triangle per leaf."""
    depth, k = len(corners) - 1, 2 * len(corners) - 1
    left = np.r_[np.arange(1, depth + 1), np.full(depth + 1, -1)]
    right = np.r_[2 * depth - np.arange(depth), np.full(depth + 1, -1)]
    table = np.full((k, 2), -1)
    table[depth:, 1] = rng.permutation(depth + 1)
    return (np.full((k, 3), -11.0), np.full((k, 3), 11.0), left, right, (left < 0).view(np.uint8), table,
            corners, np.ones(len(corners), np.uint8))


@pytest.mark.parametrize("seed", range(5))
def test_matches_reference(seed):
    """Soups hit near their edges and corners (odd seeds), integer lattices hit at vertices and
    edges along axis directions (even seeds); NaN and infinite boxes (seed 3); a deep tree (seed 4)."""
    rng = np.random.default_rng(seed)
    v, t = (soup if seed % 2 else lattice)(120, seed)
    usable = (rng.random(len(t)) < 0.85).astype(np.uint8 if seed % 2 else bool)
    tree = wtree(v, t, 1 + seed % 4, usable) if seed < 4 else deep_tree(v[t], rng)
    if seed == 3:
        lo, hi = tree.node_min.copy(), tree.node_max.copy()
        lo[rng.integers(3, len(lo), 6), rng.integers(0, 3, 6)] = [NAN, NAN, -INF, INF, NAN, -INF]
        hi[rng.integers(3, len(hi), 6), rng.integers(0, 3, 6)] = [NAN, INF, INF, -INF, NAN, NAN]
        corners = tree.triangle_vertices.copy()  # and corners at infinity or NaN
        corners[rng.integers(0, len(corners), 12), rng.integers(0, 3, 12), rng.integers(0, 3, 12)] = [INF, -INF, NAN] * 4
        tree = tree._replace(node_min=lo, node_max=hi, triangle_vertices=corners)
    seen = np.zeros(2, int)
    for d, eps, tol in [(DIRECTION, 1e-12, 1e-12), ((1.0, 0.0, 0.0), 0.0, 0.0), ((0.0, -0.0, -2.0), 0.05, 0.5),
                        ((0.6, 0.0, -0.7), -0.01, -1e-3), ((0.0, 0.0, 0.0), 1e-12, 1e-12)]:
        if seed % 2:  # aimed at points of triangles, a third of them on an edge or a corner
            w = rng.dirichlet((1, 1, 1), 90) * (rng.random((90, 3)) > 0.2)
            w /= np.maximum(w.sum(1, keepdims=True), 1e-300)
            targets = (v[t[rng.integers(0, len(t), 90)]] * w[:, :, None]).sum(1)
            points = targets - np.asarray(d) * rng.uniform(-1, 6, (90, 1))
        else:
            points = rng.integers(-1, 5, (90, 3)).astype(float) + rng.choice([0.0, 0.5], (90, 3))
        crossings, ambiguous = same(points, d, tree, eps, tol)
        seen += [np.sum(crossings != 0), np.sum(ambiguous)]
    assert seen[0] >= 5 and seen[1] >= 10, seen


def solid(name, rng):
    """Vertices, triangles, 300 points inside and 300 outside."""
    def shell(n, r0, r1):
        x = rng.normal(size=(n, 3))
        return x * rng.uniform(r0, r1, (n, 1)) / np.linalg.norm(x, axis=1, keepdims=True)

    def around_z(n, r0, r1, z0, z1):
        a, r = rng.uniform(0, 2 * np.pi, n), rng.uniform(r0, r1, n)
        return np.column_stack([r * np.cos(a), r * np.sin(a), rng.uniform(z0, z1, n)])

    if name == "sphere":
        return (*sphere(24), shell(300, 0, 0.9), shell(300, 1.05, 3))
    if name == "torus":  # the tube around the unit circle; the hole and beyond
        return (*torus(24, 12), around_z(300, 1, 1, 0, 0) + shell(300, 0, 0.2),
                np.vstack([around_z(150, 0, 0.6, -0.2, 0.2), around_z(150, 1.45, 2.5, -0.5, 0.5)]))
    filled = np.ones((3, 3, 1), bool)  # a box with a hole: 3 x 3 x 1 unit cubes without the middle one
    filled[1, 1, 0] = False
    cells = np.argwhere(filled)[rng.integers(0, 8, 300)]
    return (*voxels(filled), cells + rng.uniform(0.05, 0.95, (300, 3)),
            np.vstack([rng.uniform(1.05, 1.95, (150, 3)), rng.uniform(-2, 5, (150, 3)) + [0, 0, 3]]))


@pytest.mark.parametrize("name", ["sphere", "torus", "box with a hole"])
def test_closed_solids_inside_and_outside(name):
    """Outward winding: -1 inside, 0 outside; flipped: +1 inside. Through the companion helpers."""
    v, t, inside, outside = solid(name, np.random.default_rng(3))
    points = np.vstack([inside, outside])
    expected = np.r_[np.full(300, -1), np.zeros(300, int)]
    for triangles, sign in [(t, 1), (t[:, ::-1].copy(), -1)]:
        tree = zet_native.winding_tree(zet_native.build_tree(v, triangles, 4))
        crossings, ambiguous = zet_native.winding(points, DIRECTION, tree)
        assert crossings.dtype == np.int64 and ambiguous.dtype == bool and not ambiguous.any()
        assert np.array_equal(crossings, sign * expected)
    assert same(points[::25], DIRECTION, tree)[0].tolist() == (-expected[::25]).tolist()


def test_surface_points_shared_edges_and_parallel_axes():
    v, t = sphere(16)
    tree = wtree(v, t, 4)
    corners = v[t]
    centroids = corners.mean(1)
    crossings, ambiguous = same(centroids, DIRECTION, tree)
    assert ambiguous.all()  # a point on a face meets it at t = 0
    midpoints = (corners[:, 0] + corners[:, 1]) / 2  # through a shared edge, from outside and from inside
    for back in (3.0, 0.5):
        assert same(midpoints - back * np.array(DIRECTION), DIRECTION, tree)[1].all()
    cube = wtree(*voxels(np.ones((1, 1, 1), bool)), 1)  # one triangle per leaf
    # The bottom face's diagonal x = y; just off it; a zero component with the point inside, and
    # exactly on a side face's plane: the slab is 0 * inf there, so the node is missed without
    # growth; with growth the parallel side face in a hit leaf makes it ambiguous.
    cases = [([0.5, 0.5, 0.5], (0.1, 0.1, -1.0), 1e-12, (0, True)), ([0.5, 0.6, 0.5], (0.1, 0.1, -1.0), 1e-12,
             (-1, False)), ([0.3, 0.6, 0.5], (0.0, -0.0, 1.0), 1e-12, (-1, False)),
             ([0.3, 0.6, -2.0], (0.0, 0.0, 1.0), 0.0, (0, False)), ([0.0, 0.6, 0.5], (0.0, 0.0, 1.0), 0.0, (0, False)),
             ([0.0, 0.6, 0.5], (0.0, 0.0, 1.0), 1e-12, (0, True)), ([0.3, 0.6, 0.0], (0.1, 0.2, 1.0), 1e-12, (0, True))]
    for point, d, eps, (count, amb) in cases:
        c, a = same([point], d, cube, eps)
        assert (c[0], a[0]) == (count, amb), (point, d, eps)
    assert same([[0.3, 0.6, 0.0]], (0.1, 0.2, 1.0), cube, tol=0.0)[1][0]  # t is exactly 0


def test_parallel_face_usable_and_empty_slots():
    """One leaf: a crossed triangle and a far parallel one that the ray misses."""
    crossed, parallel = [[0, 0, 1], [2, 0, 1], [0, 2, 1]], [[5, 5, 0], [6, 5, 0], [5, 5, 3]]
    tree = one_leaf([crossed, parallel])
    p, d = [[0.5, 0.5, 0.0]], (0.0, 0.0, 1.0)
    assert same(p, d, tree)[1][0]
    assert same(p, d, tree._replace(usable=np.array([True, False])))[0][0] == -1  # along the normal
    assert same(p, d, tree._replace(leaf_table=np.array([[0, -1]])))[0][0] == -1  # -1 is not the last triangle
    before = tree._replace(triangle_vertices=np.array([parallel, crossed, parallel], np.float64)[1:],
                           usable=np.ones(3, np.uint8)[1:], leaf_table=np.array([[-1, 0, -1]]))
    assert run(p, d, before) == (struct.pack("=q", -1), b"\0")  # nor what lies just before the arrays
    assert same(p, d, tree._replace(leaf_table=np.array([[-2**63, 0, -7]])))[0][0] == -1
    assert same(p, d, tree._replace(leaf_table=np.array([[1, 0]])))[0][0] == 0  # stops at the first ambiguity
    assert run(p, d, tree._replace(leaf_table=np.zeros((1, 0), np.int64))) == (bytes(8), bytes(1))


@pytest.mark.parametrize("scale", [1.0, 1e3, 1e-3])
def test_parallel_threshold_is_on_the_unit_normal(scale):
    """A sliver (sin of its angle 1e-3) met at a grazing slope s: ambiguous for s <= 1e-9
    whatever its size or edge lengths, a crossing above."""
    sliver = np.array([[[0, 0, 0], [2, 0, 0], [2, 2e-3, 0]]], np.float64) * scale
    tree = one_leaf(sliver)
    target = sliver[0].mean(0)
    for slope, ambiguous in [(1e-8, False), (3e-9, False), (5e-10, True), (0.0, True)]:
        d = np.array([1.0, 0.0, slope]) / math.sqrt(1 + slope * slope)
        c, a = same([target - d * scale], d, tree, eps=scale)
        assert (c[0], a[0]) == ((0, True) if ambiguous else (-1, False)), slope


def test_nan_barycentric_is_no_crossing():
    """v is 0 * inf here (NaN) while u is finite: m is NaN, neither a crossing nor ambiguous."""
    corners = np.array([[[1e200, 0, 0], [-1, -1e200, 0], [1e300, 1e200, 0.5]]])
    crossings, ambiguous = same([[2.0, 1e200, 0.0]], (1.0, -1.0, 0.0), one_leaf(corners, -INF, INF))
    assert crossings.tolist() == [0] and ambiguous.tolist() == [False]


def test_no_nodes_or_no_points_give_zeros():
    empty = zet_native.winding_tree(zet_native.build_tree(np.zeros((0, 3)), np.zeros((0, 3), np.uint32)))
    assert len(empty.node_min) == 0 and empty.leaf_table.shape == (0, 0)
    assert run(np.ones((5, 3)), DIRECTION, empty) == (bytes(40), bytes(5))
    nodeless = (np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(0, np.int64), np.zeros(0, np.int64), np.zeros(0, bool),
                np.zeros((0, 4), np.int64), np.zeros((2, 3, 3)), np.ones(2, np.uint8))
    assert run(np.ones((70, 3)), DIRECTION, nodeless) == (bytes(560), bytes(70))
    assert run(np.zeros((0, 3)), DIRECTION, wtree(*sphere(8))) == (b"", b"")


def many_points(v, t, rng):
    """Enough points for the walk to reorder them (more than 4096): inside, outside, on the
    surface (ambiguous, with partial counts), NaN and infinite ones, in a random order."""
    points = np.vstack([rng.normal(size=(64 * 70 + 5, 3)) * 0.8, v[t].mean(1)[::3],
                        [[NAN, 0, 0], [INF, 0, 0], [0, -INF, 0]] * 7])
    return points[rng.permutation(len(points))]


def test_same_bits_in_any_chunks():
    """Taken whole, a large batch is walked in a spatial order: each point's result must stay
    that of the point alone, as small chunks (walked as they come) give it."""
    v, t = sphere(32)
    tree = wtree(v, t, 4)
    points = many_points(v, t, np.random.default_rng(11))
    crossings, ambiguous = run(points, DIRECTION, tree)
    chunks = [run(points[i:i + 999], DIRECTION, tree) for i in range(0, len(points), 999)]
    assert crossings == b"".join(c for c, _ in chunks) and ambiguous == b"".join(a for _, a in chunks)
    counts = np.frombuffer(crossings, np.int64)
    assert 0 < sum(ambiguous) < len(points) and np.sum(counts == -1) > 500
    assert np.sum((counts != 0) & (np.frombuffer(ambiguous, np.uint8) == 1)) > 10  # partial counts



def test_same_bits_split_over_threads():
    """A solid of 72k triangles and 2^18 + 7 points: the spatial order and the prepared leaves
    are then split over threads. Every thread limit gives the bytes of one thread, and those
    are the points' own results, as chunks too small for the prepared leaves give them."""
    v, t = torus(200, 180)
    tree = wtree(v, t, 4, usable=np.arange(len(t)) % 97 != 0)
    rng = np.random.default_rng(5)
    points = np.vstack([rng.uniform(-1.4, 1.4, (2**18, 3)) * [1, 1, 0.3], [[NAN, 0, 0]] * 7])
    points = points[rng.permutation(len(points))]
    previous = zn.set_thread_limit(1)
    try:
        whole = run(points, DIRECTION, tree)
        for limit in (2, 3):
            zn.set_thread_limit(limit)
            assert run(points, DIRECTION, tree) == whole
    finally:
        zn.set_thread_limit(previous)
    picked = np.r_[0:999, len(points) - 999:len(points)]
    crossings, ambiguous = (np.frombuffer(b, d) for b, d in zip(whole, ("=i8", np.uint8)))
    alone = [run(points[picked[i:i + 999]], DIRECTION, tree) for i in (0, 999)]
    assert crossings[picked].tobytes() == b"".join(c for c, _ in alone)
    assert ambiguous[picked].tobytes() == b"".join(a for _, a in alone)
    assert np.sum(crossings == -1) > 10000

def test_winding_tree_from_a_tree():
    v, t = torus(8, 6)
    excluded = (np.arange(len(t)) % 5 == 0).astype(np.uint8)
    tree = zet_native.build_tree(v, t, 3, excluded=excluded)
    w = zet_native.winding_tree(tree)
    leaf = tree.node_meta[:, 0] < 0
    assert w.leaf_table.shape[1] == tree.node_meta[leaf, 3].max() and w.leaf_table.dtype == np.int64
    for n, (left, right, start, count, _) in enumerate(tree.node_meta.tolist()):
        assert bool(w.is_leaf[n]) == (left < 0) and (left < 0 or (w.child_left[n], w.child_right[n]) == (left, right))
        padding = [-1] * (w.leaf_table.shape[1] - count)
        assert left >= 0 or w.leaf_table[n].tolist() == tree.order[start:start + count].tolist() + padding
    assert np.array_equal(w.triangle_vertices, v[t]) and np.array_equal(w.usable, 1 - excluded)
    assert np.array_equal(w.node_min, tree.node_min) and w.child_left.dtype == np.int64
    assert zet_native.winding_tree(tree, np.ones(len(t), bool)).usable.all()


def rows(nodes, width=2):
    """Tree arrays from (left, right, is_leaf) rows, boxes [0, 1], an all -1 leaf table."""
    left, right, leaf = (np.array(c) for c in zip(*nodes))
    k = len(nodes)
    return dict(node_min=np.zeros((k, 3)), node_max=np.ones((k, 3)), child_left=left.astype(np.int64),
                child_right=right.astype(np.int64), is_leaf=leaf.astype(np.uint8),
                leaf_table=np.full((k, width), -1, np.int64))


def base():
    """A valid argument dict: a root and two leaves over three triangles."""
    return dict(points=np.zeros((2, 3)), direction=np.array([0.0, 0, 1])) | rows(
        [(1, 2, 0), (-1, -1, 1), (-1, -1, 1)]) | dict(
        leaf_table=np.array([[-1, -1], [0, 1], [2, -1]], np.int64), triangle_vertices=np.zeros((3, 3, 3)),
        usable=np.ones(3, np.uint8), epsilon=1e-12, origin_tolerance=1e-12)


SHARED = rows([(1, 2, 0), (2, 3, 0), (-1, -1, 1), (-1, -1, 1)])  # node 2 named by nodes 0 and 1
BAD_ENTRY = dict(leaf_table=np.array([[3, 0], [0, 1], [2, -1]]))


@pytest.mark.parametrize("change, error, message", [
    (dict(usable=np.ones(3), node_max=np.zeros((4, 3))), ValueError, DTYPE % "usable"),
    (SHARED | BAD_ENTRY | dict(node_min=np.zeros((3, 3))), ValueError, LENGTHS),
    (dict(child_left=np.ones(2, np.int64)), ValueError, LENGTHS),
    (dict(child_right=np.ones(4, np.int64)), ValueError, LENGTHS),
    (dict(is_leaf=np.ones(2, bool)), ValueError, LENGTHS),
    (dict(leaf_table=np.ones((4, 2), np.int64)), ValueError, LENGTHS),
    (dict(usable=np.ones(4, np.uint8)), ValueError, LENGTHS),
    (dict(triangle_vertices=np.zeros((2, 3, 3))), ValueError, LENGTHS),
    (SHARED | dict(leaf_table=np.full((4, 2), 9)), ValueError, BAD_NODE % 1),
    (rows([(0, 1, 0), (-1, -1, 1)]), ValueError, BAD_NODE % 0),
    (rows([(1, 2, 0), (-1, -1, 1)]), ValueError, BAD_NODE % 0),
    (rows([(1, 1, 0), (-1, -1, 1)]), ValueError, BAD_NODE % 0),
    (rows([(-1, 1, 0), (-1, -1, 1)]), ValueError, BAD_NODE % 0),
    (rows([(1, 2, 0), (-1, -1, 1), (-1, -1, 0)]), ValueError, BAD_NODE % 2),
    (rows([(1, 2, 0), (3, 4, 0), (4, 5, 0), (0, 0, 1), (-1, -1, 1), (-1, -1, 1)]), ValueError, BAD_NODE % 2),
    # Each node naming the next two: a walk from the root would take about 1.6^90 steps.
    (rows([(i + 1, i + 2, 0) for i in range(88)] + [(-1, -1, 1)] * 2), ValueError, BAD_NODE % 1),
    (BAD_ENTRY, ValueError, LEAF),
    (dict(leaf_table=np.array([[-1, -1], [0, 1], [2, 3]])), ValueError, LEAF),
    (dict(leaf_table=np.array([[-1, -1], [0, 2**62], [2, -1]])), ValueError, LEAF),
])
def test_argument_checks_in_order(change, error, message):
    with pytest.raises(error, match=message and f"^{re.escape(message)}$"):
        zn.ray_winding_batch(*(base() | change).values())


def test_accepted_edge_arguments():
    """Leaves' children are not read; any nonzero is_leaf is a leaf; bool flags; unchecked scalars."""
    a = base() | dict(child_left=np.array([1, 7, -5]), child_right=np.array([2, 0, 2]), is_leaf=np.array([0, 2, 255],
                      np.uint8), usable=np.ones(3, bool), epsilon=NAN, origin_tolerance=-INF)
    assert zn.ray_winding_batch(*a.values()) == (bytes(16), bytes(2))
