"""The walks of trees collapsed per call into four-slot nodes (ray_tree_hits, the rays of
direction_ray_scores, ray_winding_batch) against the binary walks written in test_rays,
test_rays_scores and test_rays_winding, hit for hit and count for count in their order, on
trees whose boxes break what the collapse relies on: children sticking out of their parents,
NaN, infinite and inverted boxes, margins that invert small boxes; single leaves, empty
leaves; unusable and parallel triangles; origins that are not finite; directions whose inverse
is infinite or zero (the binary walk serves them). Each call has enough rays for the collapse
(at least an eighth of the node count). test_lanes compares the vector builds on these boxes."""

import numpy as np
import pytest
from support import INF, NAN, soup, sphere, torus
from test_rays import args, make_tree
from test_rays import same as same_hits
from test_rays_scores import ray_mesh
from test_rays_scores import same as same_scores
from test_rays_winding import same as same_winding
from test_rays_winding import voxels, wtree

import _zet_native as zn


def altered(node_min, node_max, kind, rng):
    """Copies of a tree's boxes broken in one way."""
    lo, hi = node_min.copy(), node_max.copy()
    k = len(lo)
    pick = rng.choice(k, max(1, k // 4), replace=False)
    if kind == "loose":  # parents smaller than their children: no node may be left out for them
        centre = (lo[pick] + hi[pick]) / 2
        lo[pick], hi[pick] = centre - (centre - lo[pick]) * 0.6, centre + (hi[pick] - centre) * 0.6
    elif kind == "nan":
        lo[pick[::2], rng.integers(0, 3, len(pick[::2]))] = NAN
        hi[pick[1::2], rng.integers(0, 3, len(pick[1::2]))] = NAN
    elif kind == "inverted":
        lo[pick], hi[pick] = hi[pick].copy(), lo[pick].copy()
    elif kind == "infinite":
        lo[pick[::2]] = -INF
        hi[pick[1::2], 2] = INF
    return lo, hi


KINDS = ("built", "loose", "nan", "inverted", "infinite")


@pytest.mark.parametrize("kind", KINDS)
def test_ray_hits_on_broken_boxes(kind):
    rng = np.random.default_rng(len(kind))
    v, t = soup(120, 3)
    tree = make_tree(v, t, 2)
    lo, hi = altered(tree[2], tree[3], kind, rng)
    tree = (*tree[:2], lo, hi, *tree[4:])
    usable = (rng.random(len(t)) < 0.85).astype(np.uint8)
    targets = (v[t[rng.integers(0, len(t), 200)]] * rng.dirichlet((1, 1, 1), 200)[:, :, None]).sum(1)
    total = 0
    # a negative epsilon inverts the boxes of the smallest nodes
    for d, eps in (((0.3, -0.5, 0.8), 0.0), ((0.0, 1.0, 0.0), 0.05), ((0.6, 0.0, -0.7), -0.3)):
        d = np.array(d)
        origins = targets - d * rng.uniform(-1, 8, (200, 1))
        origins[::37] = [[NAN, 0, 0], [INF, 1, 2], [0, -INF, 1], [1e300, 0, 0], [0, 0, 1e-300], [0, 0, 0]][:len(origins[::37])]
        total += len(same_hits(*args(origins, d, 12.0, tree, usable, eps), interval=64)[1]) // 8
    assert total >= 50


def test_ray_hits_single_leaf_and_empty_leaves():
    v, t = sphere(6)
    m = len(t)
    rng = np.random.default_rng(2)
    origins = rng.uniform(-2, 2, (60, 3))
    single = (v, t, v.min(0)[None], v.max(0)[None], np.array([[-1, -1, 0, m, 0]], np.int32), np.arange(m, dtype=np.uint32))
    assert len(same_hits(*args(origins, (0.2, 0.3, 0.9), 5.0, single), interval=1)[1]) > 0
    # two internal nodes over three leaves, the first of them empty
    meta = np.array([[1, 2, 0, 0, 0], [-1, -1, 0, 0, 0], [3, 4, 0, 0, 0], [-7, -1, 0, m // 2, 0],
                     [-1, -1, m // 2, m - m // 2, 0]], np.int32)
    boxes = np.repeat(v.min(0)[None], 5, 0), np.repeat(v.max(0)[None], 5, 0)
    shaped = (v, t, *boxes, meta, np.arange(m, dtype=np.uint32))
    assert len(same_hits(*args(origins, (0.2, 0.3, 0.9), 5.0, shaped), interval=1)[1]) > 0


def overlapping(tree, spread):
    """The tree with each leaf's range grown by spread positions to either side (clipped), so
    that neighbouring leaves share positions: a leaf's triangles are found by its own range."""
    v, t, nmin, nmax, meta, order = tree
    meta = meta.copy()
    leaf = meta[:, 0] < 0
    start = np.maximum(meta[leaf, 2] - spread, 0)
    meta[leaf, 3] = np.minimum(meta[leaf, 2] + meta[leaf, 3] + spread, len(order)) - start
    meta[leaf, 2] = start
    return v, t, nmin, nmax, meta, order


@pytest.mark.parametrize("leaf_size", [3, 5, 11])
def test_ray_hits_leaves_of_several_blocks(leaf_size):
    """Leaves of one to three groups of four positions, the last one partial, in shuffled
    positions, with unusable triangles and triangles the direction runs parallel to; leaves that
    share positions, and leaves that overlap so much that the rays walk the binary tree."""
    rng = np.random.default_rng(leaf_size)
    v, t = torus(16, 9)
    d = np.array([0.3, 0.4, 0.5])
    flat = rng.choice(len(t), len(t) // 6, replace=False)  # corners moved onto their edge along d
    v = np.vstack([v, v[t[flat, 0]] + d * rng.uniform(-0.1, 0.1, (len(flat), 1))])
    t = t.copy()
    t[flat, 1] = len(v) - len(flat) + np.arange(len(flat))
    t[flat[::2], 2] = t[flat[::2], 0]  # and half of them without area
    tree = make_tree(v, t, leaf_size)
    usable = (rng.random(len(t)) < 0.85).astype(np.uint8)
    origins = np.vstack([v[t].mean(1) - d, rng.uniform(-1.5, 1.5, (200, 3))])
    for shaped in (tree, overlapping(tree, 2), overlapping(tree, len(t))):
        assert len(same_hits(*args(origins, d, 4.0, shaped, usable), interval=32)[1]) > 8 * len(origins)


def test_scores_with_obstacles_of_different_leaf_sizes():
    """Every obstacle's prepared triangles sit after the moving mesh's and the obstacles'
    before it: leaves of different sizes put them at offsets that are not multiples of one."""
    rng = np.random.default_rng(21)
    moving = ray_mesh(*sphere(6), leaf=5)
    obstacles = [ray_mesh(torus(12, 6)[0] * s + rng.uniform(-0.3, 0.3, 3), torus(12, 6)[1], leaf=leaf, eps=1e-6)
                 for s, leaf in ((0.7, 1), (0.9, 7), (1.1, 3))]
    directions = rng.normal(size=(16, 3))
    counts, _ = same_scores(directions, 1.5, moving, obstacles)
    assert sum(counts) > 0


def test_scores_with_trees_laid_out_or_walked_binary():
    """Only the trees that enough rays can meet get leaf blocks, one tree's after another's:
    an obstacle whose leaves overlap too much for blocks (walked as a binary tree) before
    collapsed ones, one whose leaves share positions, one that no direction's swept box meets
    and one that a single direction meets; the moving tree's blocks come after those of the
    obstacles laid out before it."""
    rng = np.random.default_rng(31)
    moving = ray_mesh(*sphere(6, 0.8), leaf=3)
    v, t = torus(12, 6)

    def obstacle(scale, shift, leaf, eps=1e-6, spread=0):
        m = list(ray_mesh(v * scale + shift, t, leaf=leaf, eps=eps))
        if spread:
            m[:6] = overlapping(tuple(m[:6]), spread)
        return tuple(m)
    obstacles = [obstacle(0.8, (0.2, 0.0, 0.0), 2, spread=len(t)), obstacle(1.0, (0.0, 0.2, 0.0), 5),
                 obstacle(0.5, (40.0, 0.0, 0.0), 3), obstacle(0.9, (0.0, 0.0, 0.1), 4, eps=1e-3, spread=2),
                 obstacle(0.6, (0.0, 0.0, 2.4), 3, eps=0.0)]
    directions = np.vstack([rng.normal(size=(11, 3)) * (1, 1, 0.05), [(0.0, 0.0, 1.0)]])
    counts, _ = same_scores(directions, 1.5, moving, obstacles)

    def meets(d, ob):  # the swept box test, as the reference makes it
        lo, hi = np.asarray(moving[8]), np.asarray(moving[9])
        smin, smax = np.minimum(lo, lo + d * 1.5), np.maximum(hi, hi + d * 1.5)
        return bool(np.all((smin <= np.asarray(ob[9]) + ob[10]) & (np.asarray(ob[8]) <= smax + ob[10])))
    met = [sum(meets(d, ob) for d in directions) for ob in obstacles]
    assert met[2] == 0 and met[4] == 1 and min(met[:2]) > 6
    assert sum(counts) > 10


@pytest.mark.parametrize("direction", [(5e-324, 0.6, 0.8), (NAN, 0.0, 1.0), (INF, 0.0, 0.0), (0.0, 0.0, 0.0)])
def test_ray_hits_directions_the_collapse_cannot_serve(direction):
    v, t = torus(12, 8)
    tree = make_tree(v, t, 2)
    origins = np.vstack([v, v[t].mean(1)]) + 0.01
    same_hits(*args(origins, direction, 3.0, tree), interval=16)


def test_ray_hits_cancelled_between_rays_of_a_group():
    v, t = torus(12, 8)
    tree = make_tree(v, t, 2)
    origins = np.vstack([v, v]) * 0.97
    for stop in (0, 1, 2, 5, 6):
        asked = []

        def cancel():
            asked.append(1)
            return len(asked) > stop
        result = zn.ray_tree_hits(*args(origins, (0.3, 0.4, 0.5), 3.0, tree), 7, cancel)
        # every ray before the stopping consultation (7 rays per consultation) traced in full
        full = same_hits(*args(origins[:7 * stop], (0.3, 0.4, 0.5), 3.0, tree), interval=7)
        assert result == (1, *full[1:]) and len(asked) == stop + 1


@pytest.mark.parametrize("kind", KINDS)
def test_winding_on_broken_boxes(kind):
    rng = np.random.default_rng(10 + len(kind))
    v, t = torus(14, 9)
    tree = list(wtree(v, t, 2, (rng.random(len(t)) < 0.9).astype(np.uint8)))
    tree[0], tree[1] = altered(np.asarray(tree[0]), np.asarray(tree[1]), kind, rng)
    points = np.vstack([rng.uniform(-1.5, 1.5, (300, 3)), v[:20], [[NAN, 0, 0], [INF, 0, 0], [0, -INF, INF]]])
    for d, eps in (((0.37, -0.52, 0.77), 1e-12), ((0.0, 0.6, 0.8), 1e-12), ((0.5, 0.1, 0.3), -0.02)):
        same_winding(points, d, tree, eps)


def test_winding_parallel_triangles_and_leaf_rows_with_gaps():
    rng = np.random.default_rng(4)
    v, t = sphere(8)
    tree = list(wtree(v, t, 3))
    table = np.asarray(tree[5]).copy()
    table[::3, 0] = -1  # empty slots before used ones
    tree[5] = table
    flat = np.asarray(tree[6]).copy()
    flat[::5, :, 2] = flat[::5, :1, 2]  # triangles parallel to a direction along x
    tree[6] = flat
    points = rng.uniform(-1.2, 1.2, (400, 3))
    for d in ((1.0, 1e-3, 2e-3), (0.3, 0.4, 0.5), (5e-324, 1.0, 1.0)):
        same_winding(points, d, tree)


def test_scores_on_broken_boxes():
    rng = np.random.default_rng(8)
    moving = list(ray_mesh(*sphere(6)))
    moving[2], moving[3] = altered(np.asarray(moving[2]), np.asarray(moving[3]), "loose", rng)
    ring = list(ray_mesh(torus(12, 6)[0] * 0.7 + [0.3, 0.1, 0.0], torus(12, 6)[1], eps=-1e-3))
    ring[2], ring[3] = altered(np.asarray(ring[2]), np.asarray(ring[3]), "nan", rng)
    ball = ray_mesh(*sphere(4), eps=1e-3)
    directions = rng.normal(size=(12, 3))
    directions[::5] = [5e-324, 0.0, 1.0]
    same_scores(directions, 1.5, tuple(moving), (tuple(ring), ball, tuple(ring)))


# Rays that graze box faces and edges: voxel surfaces put every box face on an integer plane,
# and the origins sit on grown faces (or one ulp to either side), far from the origin of
# coordinates too, where a box test that rounds differently from the binary walk's (a
# single-precision pre-test, for one) would let a ray into a box it misses or out of one it
# enters.
GRAZING_DIRECTIONS = ((1.0, 1e-9, -1e-7), (-3e5, 1.0, 2.0), (0.0, 0.0, 1.0), (1.0, -1.0, 0.0), (-0.6, 0.0, -0.8),
                      (1e-12, -1.0, 1e-12), (0.48, -0.36, 0.8))


def voxel_solid(offset, rng):
    filled = rng.random((4, 4, 3)) < 0.6
    filled[1, 1, 1] = True
    v, t = voxels(filled)
    return v + offset, t


def on_faces(lo, hi, rng, n):
    """n points of the boxes [lo, hi] with each coordinate on a face, inside, or one ulp off a face."""
    k = rng.integers(0, len(lo), n)
    pick = rng.integers(0, 3, (n, 3))
    p = np.where(pick == 0, lo[k], np.where(pick == 1, hi[k], (lo[k] + hi[k]) / 2))
    step = rng.integers(-1, 2, (n, 3))
    return np.where(step < 0, np.nextafter(p, -INF), np.where(step > 0, np.nextafter(p, INF), p))


@pytest.mark.parametrize("offset", (0.0, 1e6, -3e7))
def test_ray_hits_grazing_box_faces(offset):
    rng = np.random.default_rng(int(offset) % 97)
    v, t = voxel_solid(offset, rng)
    tree = make_tree(v, t, 2)
    for eps in (0.0, 1e-9, 0.25):
        lo, hi = tree[2] - eps, tree[3] + eps
        starts = on_faces(lo, hi, rng, 120)
        for d in GRAZING_DIRECTIONS:
            d = np.array(d)
            # from the faces themselves, and from a little before them along the ray
            origins = np.vstack([starts, starts - d / np.abs(d).max() * rng.uniform(0, 2, (len(starts), 1))])
            same_hits(*args(origins, d, 5.0, tree, None, eps), interval=64)


@pytest.mark.parametrize("offset", (0.0, 1e6))
def test_winding_grazing_box_faces(offset):
    rng = np.random.default_rng(5 + int(offset) % 89)
    v, t = voxel_solid(offset, rng)
    tree = wtree(v, t, 2)
    for eps in (1e-12, 1e-3):
        lo, hi = np.asarray(tree[0]) - 8 * eps, np.asarray(tree[1]) + 8 * eps
        points = on_faces(lo, hi, rng, 300)
        for d in GRAZING_DIRECTIONS:
            if 0.0 not in d:  # a winding direction needs every component
                same_winding(points, d, tree, eps)


def parted(near, far, n, rng):
    """n points taken in turn from two far-apart clouds, so that consecutive rays (the rays of
    a packet) enter different slots and leaves, and part ways at different depths."""
    k = np.arange(n)
    return np.where((k % 3 == 1)[:, None], far[rng.integers(0, len(far), n)], near[rng.integers(0, len(near), n)])


@pytest.mark.parametrize("count", (2, 7, 8, 9, 16, 17, 41))
def test_ray_hits_packets_whose_rays_part_ways(count):
    """Calls of every size around a packet's (partial packets at the end), rays of one packet
    entering different subtrees, and origins that are not finite in the middle of a packet (the
    binary walk takes them between the rays before and after): each ray keeps its own hits in
    its own order."""
    rng = np.random.default_rng(count)
    v, t = torus(10, 6)
    for leaf_size in (1, 3):
        tree = make_tree(v, t, leaf_size)
        d = np.array((0.31, 0.52, -0.8))
        near = v[t].mean(1) - 2 * d  # behind the surface: every ray crosses it
        far = v[t].mean(1) * np.array((-1.0, 1.0, 0.5)) + 3 * d
        origins = parted(near, far, count, rng)
        if count > 8:
            origins[[3, 8]] = [[NAN, 0.0, 0.0], [0.0, INF, 0.0]]
        hits = same_hits(*args(origins, d, 6.0, tree), interval=5)[1]
        assert len(hits) > 0


@pytest.mark.parametrize("count", (3, 8, 13, 64, 100))
def test_winding_packets_where_some_points_stop(count):
    """Points on the surface's vertices and edges (ambiguous: their walks stop there with the
    count reached) between points inside and outside: the points of a packet that go on keep
    counting as their own walks do, those that stopped count no further."""
    rng = np.random.default_rng(100 + count)
    filled = np.ones((3, 3, 2), bool)
    filled[1, 1, 1] = False
    v, t = voxels(filled)
    tree = wtree(v, t, 2)
    inner = rng.uniform(0.2, 2.8, (count, 3)) * (1, 1, 0.66)
    outer = rng.uniform(-3, 6, (count, 3))
    on = v[rng.integers(0, len(v), count)]
    k = np.arange(count)[:, None]
    points = np.where(k % 4 == 0, on, np.where(k % 4 == 2, outer, inner))
    for d in ((1.0, 1.0, 1.0), (0.3, -0.45, 0.84)):
        counts, ambiguous = same_winding(points, d, tree)
        if d[0] == d[1] == d[2]:
            assert ambiguous.any() and not ambiguous.all()


def test_ray_hits_in_ray_order_across_gathered_windows():
    """More rays than the batch gathers at once (it traces them in a coherent order, window by
    window, and puts their hits back in ray order), scattered so that the coherent order is far
    from the given one, with origins that are not finite inside and at the edge of a window:
    the hits equal those of the binary walk, which takes calls of a few rays ray by ray."""
    rng = np.random.default_rng(17)
    v, t = torus(24, 12)
    tree = make_tree(v, t, 2)
    n, step = 16384 + 1500, 5  # a call of 5 rays is too small to collapse the tree
    d = np.array((0.2, -0.3, 0.93))
    origins = rng.uniform(-1.6, 1.6, (n, 3)) - 1.5 * d
    origins[[5, 9000, 16383, 16384]] = [[NAN, 0, 0], [0, INF, 0], [0, 0, -INF], [NAN, NAN, NAN]]
    whole = zn.ray_tree_hits(*args(origins, d, 3.0, tree), 1 << 30, None)
    parts = [zn.ray_tree_hits(*args(origins[i:i + step], d, 3.0, tree), 1 << 30, None) for i in range(0, n, step)]
    rays = np.concatenate([np.frombuffer(p[1], np.int64) + k * step for k, p in enumerate(parts)])
    assert whole[0] == 0 and np.array_equal(np.frombuffer(whole[1], np.int64), rays)
    for field in (2, 3):
        assert b"".join(p[field] for p in parts) == whole[field]
    assert len(rays) > n // 2 and rays[-1] > 16384


def test_ray_hits_calls_after_calls_along_other_directions():
    """Every call prepares its leaves for its own direction: the blocks that the call before
    prepared for another one (memory the allocator often hands straight back) never pass for
    prepared."""
    v, t = torus(16, 9)
    tree = make_tree(v, t, 5)
    origins = np.vstack([v[t].mean(1) * 1.01, v * 0.99])
    directions = [(0.3, 0.4, 0.5), (-0.5, 0.2, 0.7), (0.6, -0.6, -0.1), (0.3, 0.4, 0.5)]
    found = [same_hits(*args(origins, d, 4.0, tree), interval=64)[1] for d in directions]
    assert all(len(hits) // 8 > len(origins) // 2 for hits in found)  # 8 bytes a hit
    assert found[0] == found[3]
