"""build_aabb_tree: reference build, invariants, thread counts, split order, argument checks, cancellation."""

import numpy as np
import pytest
from support import (
    BIG_M,
    F64,
    PARALLEL_M,
    SANITIZED,
    Asker,
    BadTruth,
    Refusal,
    lattice,
    node_count,
    own_vertices,
    refused,
    soup,
    tree_arrays,
)

import _zet_native as zn


def reference_tree(vertices, triangles, leaf_size):
    """Median split on the longest box axis by a full sort (leaves list their triangles in order)."""
    corners = vertices[triangles.astype(np.intp)]
    tmin, tmax = corners.min(axis=1), corners.max(axis=1)
    centre = (tmin + tmax) * 0.5
    mins, maxs, metas, order = [], [], [], []

    def build(ids):
        node = len(metas)
        lo, hi = tmin[ids].min(axis=0), tmax[ids].max(axis=0)
        mins.append(lo), maxs.append(hi), metas.append((-1, -1, len(order), len(ids), 0))
        if len(ids) <= leaf_size:
            order.extend(sorted(ids))
            return node
        e = hi - lo
        axis = 2 if e[2] > e[int(e[1] > e[0])] else int(e[1] > e[0])
        ranked = ids[np.lexsort((ids, centre[ids, axis]))]
        metas[node] = (build(ranked[:len(ids) // 2]), build(ranked[len(ids) // 2:]), 0, len(ids), 0)
        return node

    if len(triangles):
        build(np.arange(len(triangles)))
    return (np.array(mins).reshape(-1, 3).tobytes(), np.array(maxs).reshape(-1, 3).tobytes(),
            np.array(metas, np.int32).reshape(-1, 5).tobytes(), np.array(order, np.uint32).tobytes())


def check_invariants(vertices, triangles, leaf_size, result, boxes=True):
    """What every built tree satisfies, checked without rebuilding it."""
    node_min, node_max, meta, order = tree_arrays(result)
    m, k = len(triangles), len(meta)
    assert k == node_count(m, leaf_size) and np.array_equal(np.sort(order), np.arange(m))
    # Pre-order: a walk, left before right, meets nodes 0, 1, 2, ... and leaves covering `order` in turn.
    visit, next_start, stack = 0, 0, [0] * (k > 0)
    while stack:
        i = stack.pop()
        left, right, start, count, reserved = meta[i].tolist()
        assert i == visit and reserved == 0
        visit += 1
        if left < 0:
            assert (left, right, start) == (-1, -1, next_start) and 0 < count <= leaf_size
            assert np.all(np.diff(order[start:start + count].astype(np.int64)) > 0)
            next_start += count
        else:
            assert start == 0 and i < left < right < k and count > leaf_size
            assert (meta[left, 3], meta[right, 3]) == (count // 2, count - count // 2)
            stack += [right, left]
    assert visit == k and next_start == m
    if boxes and k:
        corners = vertices[triangles.astype(np.intp)][order]
        leaf = meta[:, 0] < 0
        kids = meta[~leaf, 0], meta[~leaf, 1]
        for box, fold, reduce in ((node_min, np.minimum, np.min), (node_max, np.maximum, np.max)):
            assert np.array_equal(box[leaf], fold.reduceat(reduce(corners, axis=1), meta[leaf, 2]))
            assert np.array_equal(box[~leaf], fold(box[kids[0]], box[kids[1]]))


@pytest.mark.parametrize("leaf_size", [1, 3, 4, 16])
@pytest.mark.parametrize("mesh", [soup(1, 1), soup(2, 2), soup(5, 3), soup(17, 4, unused=9), soup(1000, 5),
                                  lattice(300, 6), lattice(3000, 7), soup(500, 8, flat=True)],
                         ids=lambda mesh: f"m{len(mesh[1])}")
def test_matches_reference_build(mesh, leaf_size):
    result = zn.build_aabb_tree(*mesh, leaf_size, None, 1)
    assert result == reference_tree(*mesh, leaf_size)
    check_invariants(*mesh, leaf_size, result)


def test_builds_in_a_row_match_the_reference():
    """Working memory passes from one build to the next: larger, smaller, flat and again larger
    meshes each give their own tree, whatever the build before left behind."""
    meshes = [lattice(3000, 21), soup(40, 22), soup(700, 23, flat=True), soup(2500, 24), lattice(3000, 21)]
    for leaf_size in (1, 4):
        for mesh in meshes:
            assert zn.build_aabb_tree(*mesh, leaf_size, None, 1) == reference_tree(*mesh, leaf_size)


def specials(m, seed):
    vertices, triangles = lattice(m, seed)
    picks = np.random.default_rng(seed).random(vertices.shape) < 0.05
    vertices[picks] = np.resize([np.nan, -np.nan, np.inf, -np.inf, -0.0], picks.sum())
    return vertices, triangles


@pytest.mark.parametrize("make, leaf_size", [(soup, 4), (lattice, 1), (specials, 3)])
def test_same_bytes_for_every_thread_limit(make, leaf_size):
    mesh = make(BIG_M, 11)
    results = []
    for limit in (1, 2, 7, 32):
        zn.set_thread_limit(limit)
        results.append(zn.build_aabb_tree(*mesh, leaf_size, None, 1))
    assert all(result == results[0] for result in results)
    # The boxes of meshes with NaN are not pinned down; their structure is.
    check_invariants(*mesh, leaf_size, results[0], boxes=make is not specials)


@pytest.mark.parametrize("leaf_size", [16, 5000, 10**6])
def test_parallel_build_matches_reference(leaf_size):
    mesh = soup(PARALLEL_M + 123, 12)
    zn.set_thread_limit(2)
    assert zn.build_aabb_tree(*mesh, leaf_size, None, 1) == reference_tree(*mesh, leaf_size)


def boxes_at(centres, half=0.125):
    """Flat triangles whose boxes are centred on the given points."""
    return own_vertices(np.asarray(centres, float)[:, None, :] + [[-half, -half, 0], [half, -half, 0], [0, half, 0]])


# Centres for which a split on x, y or z sends a different pair of triangles left.
PATTERN = np.array([[0, 1, 1], [1, 0, 1], [1, 1, 0], [0, 0, 0]], float)


@pytest.mark.parametrize("centres, leaf_size, order", [
    (PATTERN * (1, 1, 0), 2, [0, 3, 1, 2]),  # flat, equal x and y extents: x
    (PATTERN * (1, 2, 0), 2, [1, 3, 0, 2]),  # flat, y longer
    (PATTERN * (0, 1, 1), 2, [1, 3, 0, 2]),  # y and z tied: y
    (PATTERN * (1, 1, 2), 2, [2, 3, 0, 1]),  # z longest
    (np.zeros((37, 3)), 3, list(range(37))),  # identical centres: lower indices go left
    ([[4, 0, 0], [3, 0, 0], [2, 0, 0], [1, 0, 0], [0, 0, 0]], 1, [4, 3, 2, 1, 0]),
])
def test_split_axis_and_ties(centres, leaf_size, order):
    mesh = boxes_at(centres)
    node_min, node_max, meta, got = tree_arrays(zn.build_aabb_tree(*mesh, leaf_size, None, 1))
    assert got.tolist() == order
    assert (node_min[0].tolist(), node_max[0].tolist()) == (mesh[0].min(0).tolist(), mesh[0].max(0).tolist())
    if len(order) == 5:  # the root splits 2 / 3
        assert len(meta) == 9 and meta[0].tolist() == [1, 4, 0, 5, 0]


def test_split_order_of_special_keys():
    # Points on the x axis, so every node splits on x. Keys: NaN, 3, -NaN, 1, 2, +inf, -inf, +0, -0;
    # NaNs are one key above +inf, +0 and -0 are one key.
    xs = np.repeat([np.nan, 3.0, -np.nan, 1.0, 2.0, np.inf, -np.inf, 0.0, -0.0], 3)
    vertices, triangles = own_vertices(np.stack([xs, np.zeros(27), np.zeros(27)], 1))
    assert tree_arrays(zn.build_aabb_tree(vertices, triangles, 1, None, 1))[3].tolist() == [6, 7, 8, 3, 4, 1, 5, 0, 2]
    # +0 then -0: the box fold starts at the first triangle and -0 < +0 is false.
    node_min, _, _, order = tree_arrays(zn.build_aabb_tree(vertices[21:], triangles[:2], 1, None, 1))
    assert not np.signbit(node_min[0, 0]) and order.tolist() == [0, 1]


def test_empty_mesh_skips_should_cancel():
    for vertices in (np.zeros((0, 3)), np.ones((5, 3))):
        assert zn.build_aabb_tree(vertices, np.zeros((0, 3), np.uint32), 1, Asker(1, Refusal()), 1) == (b"",) * 4


V, T = soup(6, 20)
UINT32 = "triangles must be a C-contiguous uint32 array"


@pytest.mark.parametrize("args, error, message", [
    ((V, T, 2**31, None, 1), OverflowError, None),
    ((V, T, 0, 5, 0), ValueError, "leaf_size must be positive"),
    ((V, T, 1, 5, 0), ValueError, "cancel_check_interval must be positive"),
    ((V.astype("f4"), T, 1, 5, 1), TypeError, "should_cancel must be callable or None"),
    ((V.astype("f4"), T.astype("i4"), 1, None, 1), ValueError, F64 % "vertices"),
    ((V, T + 2**31, 1, None, 1), ValueError, "triangle index is outside the vertex array"),
])
def test_argument_errors_and_their_order(args, error, message):
    refused(zn.build_aabb_tree, args, error, message, ("vertices", "triangles", "leaf_size", "positive"))


@pytest.mark.skipif(SANITIZED, reason="allocates 12 GB of untouched virtual memory")
def test_too_many_triangles_refused_before_index_check():
    with pytest.raises(ValueError, match=r"^triangles has too many rows for a tree \(at most 1073741823\)$"):
        zn.build_aabb_tree(np.zeros((0, 3)), np.zeros((2**30, 3), np.uint32), 4, None, 1)


SMALL, BIG = soup(200, 21), soup(BIG_M, 22)  # SMALL with leaf size 1: 399 nodes
OUTCOMES = {"stop": (InterruptedError, "native BVH build cancelled"), "raise": (Refusal, "call"),
            "truth": (Refusal, "truth")}


@pytest.mark.parametrize("mesh, leaf_size, limit, interval", [
    (SMALL, 1, 2, 1), (SMALL, 1, 2, 2), (SMALL, 1, 2, 5), (SMALL, 1, 2, 398), (SMALL, 1, 7, 1024),
    (BIG, 4, 1, 1000), (BIG, 4, 2, 1), (BIG, 4, 2, 1000), (BIG, 4, 7, 1), (BIG, 10**6, 2, 1),
])
def test_cancel_consultations(mesh, leaf_size, limit, interval):
    """Serial: at node creations 1, 1 + interval, ...; parallel: once per wave (at most as often)."""
    zn.set_thread_limit(limit)
    expected, serial = None, -(-node_count(len(mesh[1]), leaf_size) // interval)
    for stop_at, answer in [(None, ""), (1, "stop"), ("second", "stop"), ("last", "stop"), ("second", "raise"),
                            ("last", "truth")]:
        stop_at = {"second": expected and min(2, expected), "last": expected}.get(stop_at, stop_at)
        calls = []

        def should_cancel():  # falsy and truthy non-bool answers, or an exception at stop_at
            calls.append(1)
            if len(calls) == stop_at and answer == "raise":
                raise Refusal("call")
            return ("", {"stop": "stop", "truth": BadTruth()}.get(answer))[len(calls) == stop_at]
        if stop_at is None:
            assert zn.build_aabb_tree(*mesh, leaf_size, should_cancel, interval) == \
                zn.build_aabb_tree(*mesh, leaf_size, None, 1)
            expected = len(calls)
            assert expected == serial if limit == 1 or len(mesh[1]) < PARALLEL_M else 1 <= expected <= serial
        else:
            with pytest.raises(OUTCOMES[answer][0], match=f"^{OUTCOMES[answer][1]}$"):
                zn.build_aabb_tree(*mesh, leaf_size, should_cancel, interval)
        assert len(calls) == (stop_at or expected)
