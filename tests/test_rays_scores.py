"""direction_ray_scores against a scorer written here (test_rays' traversal, hits read as entries and exits,
the pairwise sum in the module's order), bit for bit; chords; the box filters; checks in order."""

import re
import struct

import numpy as np
import pytest
from reference_ccd import max_as_written, min_as_written
from support import DTYPE, INF, NAN, soup, sphere, torus
from test_rays import trace

import _zet_native as zn
import zet_native

NAMES = ("vertices", "triangles", "node_min", "node_max", "node_meta", "order", "usable", "points", "bounds_min",
         "bounds_max", "epsilon")


def pairwise(a):
    if len(a) < 8:
        total = 0.0
        for x in a:
            total += x
        return total
    if len(a) <= 128:
        s, whole = list(a[:8]), len(a) - len(a) % 8
        for i in range(8, whole, 8):
            for k in range(8):
                s[k] += a[i + k]
        total = ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]))
        for x in a[whole:]:
            total += x
        return total
    h = len(a) // 2 - len(a) // 2 % 8
    return pairwise(a[:h]) + pairwise(a[h:])


class Mesh:
    """An 11-tuple as Python lists."""

    def __init__(self, mesh):
        for name, x in zip(NAMES, mesh):
            setattr(self, name, float(x) if name == "epsilon" else np.asarray(x).tolist())

    def trace(self, o, d, eps, length):
        """Depths of one ray's hits, in traversal order."""
        return [depth for _, depth in trace(self.node_min, self.node_max, self.node_meta, self.order, self.vertices,
                                            self.triangles, self.usable, o, d, eps, length)]


def ref_penetration(source, target, d, length, eps, lo, hi):
    traced, hits, paired, tail = False, 0, [], []
    for p in source.points:
        v = source.vertices[p]
        w = [v[a] + d[a] * length for a in range(3)]
        if all(min_as_written(v[a], w[a]) <= hi[a] and max_as_written(v[a], w[a]) >= lo[a] for a in range(3)):
            traced, run = True, sorted(target.trace(v, d, eps, length))
            hits += len(run)
            for r, depth in enumerate(run):
                if r % 2 == 0 and r == len(run) - 1:
                    tail.append(length - depth)
                else:
                    paired.append(depth if r % 2 else -depth)
    return (hits, pairwise(paired) + pairwise(tail)) if traced else (0, 0.0)


def reference(directions, length, moving, obstacles):
    """(counts, scores) packed as the module packs them."""
    mv, obs, counts, scores = Mesh(moving), [Mesh(o) for o in obstacles], [], []
    for d in np.asarray(directions).tolist():
        smin = [min_as_written(mv.bounds_min[a], mv.bounds_min[a] + d[a] * length) for a in range(3)]
        smax = [max_as_written(mv.bounds_max[a], mv.bounds_max[a] + d[a] * length) for a in range(3)]
        count, score = 0, 0.0
        for ob in obs:
            e = ob.epsilon
            if not all(smin[a] <= ob.bounds_max[a] + e and ob.bounds_min[a] <= smax[a] + e for a in range(3)):
                continue
            h1, s1 = ref_penetration(mv, ob, d, length, e, [x - e for x in ob.bounds_min],
                                     [x + e for x in ob.bounds_max])
            h2, s2 = ref_penetration(ob, mv, [-x for x in d], length, e, [x - e for x in mv.bounds_min],
                                     [x + e for x in mv.bounds_max])
            if h1 + h2 > 0:
                count, score = count + 1, score + s1 + s2
        counts.append(count)
        scores.append(score)
    return struct.pack(f"={len(counts)}q", *counts), struct.pack(f"={len(scores)}d", *scores)


def same(directions, length, moving, obstacles):
    """The module's result equals the reference's; (counts, scores) as lists."""
    directions = np.asarray(directions, np.float64).reshape(-1, 3)
    r = zn.direction_ray_scores(directions, length, moving, tuple(obstacles))
    assert r == reference(directions, length, moving, obstacles)
    return np.frombuffer(r[0], np.int64).tolist(), np.frombuffer(r[1]).tolist()


def ray_mesh(vertices, triangles, points=None, eps=1e-9, leaf=2, usable=None):
    return zet_native.ray_mesh(zet_native.build_tree(vertices, triangles, leaf_size=leaf), points, eps, usable)


def cloud(points):
    """A mesh of vertices only (no triangles, no nodes: never hit), every vertex a ray origin."""
    v = np.asarray(points, np.float64).reshape(-1, 3)
    return (v, np.zeros((0, 3), np.uint32), np.zeros((0, 3)), np.zeros((0, 3)), np.zeros((0, 5), np.int32),
            np.zeros(0, np.uint32), np.zeros(0, np.uint8), np.arange(len(v)), v.min(0), v.max(0), 0.0)


def directions(rng, q):
    d = rng.normal(size=(q, 3)) * rng.uniform(0.5, 2, (q, 1))
    d[:3] = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, -0.0, -1.5)]
    return d


@pytest.mark.parametrize("seed", range(4))
def test_matches_reference(seed):
    """A torus among spheres, a torus and a soup (epsilons 0, 1e-9, 0.05, -0.01; random usable
    flags and origin points, one obstacle without points); seed 3 a cloud of 300 origins from
    1.6 to 1000 below one sphere, so that the sums recurse over depths of every magnitude
    (their bits change with any other grouping)."""
    rng = np.random.default_rng(seed)
    if seed == 3:
        d = rng.normal(size=(4, 3)) * 1e-4 + (0, 0, 1)
        origins = np.column_stack([rng.uniform(-0.7, 0.7, (300, 2)), -10 ** rng.uniform(0.2, 3, 300)])
        assert same(d, 1000.5, cloud(origins), [ray_mesh(*sphere(12), leaf=3)])[0] == [1] * 4
        return
    v, t = torus(8, 4, 0.6, 0.2)
    moving = ray_mesh(v, t, rng.permutation(len(v))[:20], eps=7.0, usable=rng.random(len(t)) < 0.9)
    sv, st = soup(30, seed)
    obstacles = [
        ray_mesh(*sphere(8, 0.5, (1.3, 0.2, 0.0)), eps=0.0, leaf=1 + seed),
        ray_mesh(*torus(8, 4, 0.5, 0.2, (0.1, 1.2, 0.3)), np.arange(0, 32, 3), usable=rng.random(64) < 0.8),
        ray_mesh(*sphere(6, 0.4, (-1.0, -0.9, 0.2)), np.zeros(0, np.int64), eps=0.05),
        ray_mesh(sv * 0.15, st, eps=-0.01, leaf=3),
    ]
    counts, scores = same(directions(rng, 24), 2.0 + seed, moving, obstacles)
    assert counts[0] == 0 and scores[0] == 0.0  # direction 0: no triangle can be hit
    assert sum(counts) > 10 and sum(s > 0 for s in scores) > 5


def test_chords_through_closed_obstacles():
    """From below a closed sphere: through it gives the chord, into it (ending inside) gives
    length - entry depth; the obstacle has no points and still counts; the moving mesh's
    epsilon must convert but is not used."""
    rng = np.random.default_rng(5)
    ball, up = ray_mesh(*sphere(32), np.zeros(0, np.int64), leaf=4), np.array([[0.0, 0.0, 2.0]])
    for (x, y), length in zip(rng.uniform(-0.6, 0.6, (6, 2)), [3.0, 3.0, 3.0, 1.0, 1.0, 1.0]):
        moving = cloud([[x, y, -2.5]])
        hits = zet_native.ray_hits(moving[0], up[0], length, zet_native.build_tree(*sphere(32), leaf_size=4),
                                   epsilon=1e-9)
        counts, scores = same(up, length, moving, [ball])
        assert counts == [1] and same(up, length, moving[:-1] + (-7,), [ball]) == (counts, scores)
        if length == 3.0:  # in and out, in units of the direction's length (2)
            assert scores[0] == hits.depths.max() - hits.depths.min()
            assert abs(2 * scores[0] - 2 * np.sqrt(1 - x * x - y * y)) < 0.03
        else:  # in only
            assert len(hits.depths) == 1 and scores[0] == length - hits.depths[0]
    v, t = sphere(8)
    twice = ray_mesh(v, np.vstack([t, t]), eps=0.0)  # every crossing twice at one depth, no exit within length
    assert same([[0.0, 0.0, 1.0]], 1.5, cloud([[0.05, 0.02, -2.0]]), [twice]) == ([1], [0.0])


def test_filters_and_empty_inputs():
    ball, two, up = ray_mesh(*sphere(16), eps=0.0), cloud([[0.1, 0.03, -3.0], [-0.2, 0.11, -3.0]]), [[0.0, 0.0, 1.0]]
    both = same(up, 6.0, two, [ball])
    assert both[0] == [1] and both[1][0] > 3.0
    far = ball[:8] + (np.full(3, 10.0), np.full(3, 11.0), 0.0)  # its stated box misses the swept box
    assert same(up, 6.0, two, [far]) == ([0], [0.0])
    assert same(up, 6.0, two[:8] + (np.full(3, 50.0), np.full(3, 51.0), 0.0), [ball]) == ([0], [0.0])
    near = ball[:8] + (np.array([0.05, -1.0, -1.0]), np.array([0.3, 1.0, 1.0]), 0.0)  # meets one ray's segment
    one = same(up, 6.0, two, [near])
    assert one[0] == [1] and 1.0 < one[1][0] < both[1][0] - 1.0
    assert same(up, 6.0, two, [near[:10] + (0.25 + 1e-9,)]) == both  # widened by epsilon, it meets both
    for lo, hi in [(0.3, 0.5), (-0.6, -0.4)]:  # beyond the swept box on either side, within epsilon 0.25
        assert same(up, 6.0, two, [ball[:8] + (np.array([lo, -1, -1]), np.array([hi, 1, 1]), 0.25)])[0] == [1]
    no_points = ray_mesh(*sphere(16), np.zeros(0, np.int64))
    assert same([[0.0, 0.0, -1.0]], 6.0, no_points, [two]) == both  # only the obstacle's rays, into the moving tree
    shrunk = no_points[:8] + (np.array([0.15, -1, -1]), np.ones(3), 0.0)  # the moving box, widened by 0.06, meets one
    assert same([[0.0, 0.0, -1.0]], 6.0, shrunk, [two[:10] + (0.06,)]) == one
    assert same([[0.0, 0.0, -1.0]], 6.0, no_points, [two[:7] + (np.zeros(0, np.int64),) + two[8:]]) == ([0], [0.0])
    assert zn.direction_ray_scores(np.ones((4, 3)), 6.0, two, ()) == (bytes(32), bytes(32))
    assert zn.direction_ray_scores(np.zeros((0, 3)), 6.0, two, (ball,)) == (b"", b"")
    assert same([[0.0, 0.0, 0.0]], 6.0, cloud([[0.0, 0.0, 0.5]]), [ball]) == ([0], [0.0])


LENGTH, LENGTHS, LEAF = "length must be finite and non-negative", "%s tree arrays have inconsistent lengths", \
    "leaf triangle is outside the triangle array"
NODE, ORIGIN = "%s tree node %d is malformed", "%s ray origin is outside the vertex array"
MV, OB = "moving mesh", "obstacle mesh"
SHARED = [[1, 2, 0, 0, 0], [2, 3, 0, 0, 0], [-1, -1, 0, 1, 0], [-1, -1, 1, 1, 0]]  # node 2 named twice


def base():
    """Valid arguments as a dict: two obstacles over three triangles in two leaves (k = 3)."""
    v = np.array([[0, 0, 1], [1, 0, 1], [0, 1, 1], [0, 0, 2], [1, 0, 2], [0, 1, 2]], np.float64)
    mesh = dict(zip(NAMES, ray_mesh(v, np.array([[0, 1, 2], [3, 4, 5], [0, 4, 2]], np.uint32), [0, 5], leaf=2)))
    return dict(directions=np.array([[0.0, 0, 1], [1, 0, 0]]), length=1.0, moving=mesh, obstacles=(mesh, mesh))


def call(change=(), a=None):
    """change: whole arguments by name, or 'moving.<element>' and 'obstacle.<element>' (the second)."""
    a = dict(a or base())
    for key, value in dict(change).items():
        role, _, name = key.partition(".")
        if not name:
            a[key] = value
        elif role == "moving":
            a["moving"] = a["moving"] | {name: value}
        else:
            a["obstacles"] = (a["obstacles"][0], a["obstacles"][1] | {name: value})
    pack = lambda m: tuple(m.values()) if isinstance(m, dict) else m  # noqa: E731
    obstacles = a["obstacles"]
    obstacles = type(obstacles)(map(pack, obstacles)) if isinstance(obstacles, tuple) else obstacles
    return zn.direction_ray_scores(a["directions"], a["length"], pack(a["moving"]), obstacles)


def nodes(role, rows):
    k = len(rows)
    return {f"{role}.node_meta": np.array(rows, np.int32), f"{role}.node_min": np.zeros((k, 3)),
            f"{role}.node_max": np.ones((k, 3))}


@pytest.mark.parametrize("change, error, message", [
    (dict(length=NAN, obstacles=[]), ValueError, LENGTH), (dict(length=INF), ValueError, LENGTH),
    (dict(length=-1e-300), ValueError, LENGTH),
    (dict(obstacles=[], directions=np.zeros((2, 3), np.float32)), TypeError, "obstacles must be a tuple"),
    (dict(moving=(), obstacles=(5,)), TypeError, f"{MV} must be an 11-tuple"),
    (dict(moving=list(base()["moving"].values())), TypeError, f"{MV} must be an 11-tuple"),
    ({"moving.triangles": np.full((3, 3), 6, np.uint32), "moving.node_min": 0}, ValueError,
     f"{MV} triangle index is outside the vertex array"),
    ({"moving.bounds_max": np.zeros((1, 3)), "moving.epsilon": "x"}, ValueError, DTYPE % "bounds_max"),
    ({"moving.epsilon": "x", "moving.usable": np.zeros(4, np.uint8)}, TypeError, None),
    ({"moving.node_max": np.zeros((4, 3)), "moving.order": np.full(3, 3, np.uint32)}, ValueError, LENGTHS % MV),
    ({"moving.usable": np.zeros(2, bool)}, ValueError, LENGTHS % MV),
    (nodes("moving", SHARED) | {"moving.order": np.full(3, 3, np.uint32)}, ValueError, LEAF),
    # Every way a node record can be malformed: test_collision_path's tree checks (the same rules).
    (nodes("moving", SHARED) | {"moving.points": np.array([-1])}, ValueError, NODE % (MV, 1)),
    ({"moving.points": np.array([0, -1]), "obstacles": 0}, TypeError, "obstacles must be a tuple"),
    ({"moving.points": np.array([0, -1]), "obstacle.points": 0}, ValueError, ORIGIN % MV),
    ({"moving.points": np.array([6])}, ValueError, ORIGIN % MV),
    (dict(obstacles=(base()["obstacles"][0], 5)), TypeError, f"{OB} must be an 11-tuple"),
    ({"obstacle.epsilon": None}, TypeError, None),
    ({"obstacle.usable": np.zeros(4, np.uint8)}, ValueError, LENGTHS % OB),
    (nodes("obstacle", SHARED), ValueError, NODE % (OB, 1)),
    ({"obstacle.points": np.array([0, 6])}, ValueError, ORIGIN % OB),
])
def test_argument_checks_in_order(change, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$" if message else None) as caught:
        call(change)
    assert message or not any(word in str(caught.value) for word in ("mesh", "11-tuple", "obstacles"))


def test_accepted_edge_arguments():
    """-0.0 length; trees without nodes; only the sign of field 0 makes a leaf; epsilon as any
    number; tuple subclasses."""
    assert call(dict(length=-0.0)) == (bytes(16), bytes(16))
    empty = {"moving.node_meta": np.zeros((0, 5), np.int32), "moving.node_min": np.zeros((0, 3)),
             "moving.node_max": np.zeros((0, 3))}
    assert call(empty | {"moving.epsilon": np.float32(0.5), "obstacle.epsilon": 2})
    assert call(nodes("obstacle", [[-7, 5, 1, 2, 0]]) | {"obstacle.points": np.zeros(0, np.int64)})
    Tuple = type("Tuple", (tuple,), {})
    mesh = Tuple(base()["moving"].values())
    assert call(dict(moving=mesh, obstacles=Tuple([mesh, mesh]))) == call()
