"""clearance_candidate_pairs and clearance_pairs against implementations written here under budgets and
cancellation; worked cases; huge depth limits; argument checks."""

import functools
import math
import resource
import struct

import numpy as np
import pytest
from reference_ccd import swept_box
from reference_distance import conservative_triangle_distance
from support import DEEPEST, DTYPE, INF, NAN, SANITIZED, UNLIMITED, Asker, BadTruth, Poller, Refusal, Tree, both, sphere, torus

import _zet_native as zn
import zet_native

WITNESS = np.dtype([("pair", "=u4"), ("clear_after", "=u4"), ("start", "=f8"), ("end", "=f8"), ("t", "=f8"),
                    ("lower", "=f8"), ("upper", "=f8"), ("point_a", "=f8", 3), ("point_b", "=f8", 3)])


# ---------------------------------------------------------------- candidate traversal

def ref_candidates(moving, obstacle, v, length, box_tol, box_static, margin, interval, cancel):
    m, o, v = Tree(moving), Tree(obstacle), [float(x) for x in v]
    poller, found, stack, status = Poller(cancel, interval, interval), [], [(0, 0, 0.0, length)], 0
    while stack:
        a, b, t0, t1 = stack.pop()
        if poller.poll(1):
            status = 2
            break
        if (w := swept_box(m.lo[a], m.hi[a], o.lo[b], o.hi[b], v, t0, t1, box_tol, box_static, margin)) is None:
            continue
        ma, mb = m.meta[a], o.meta[b]
        if mb[0] >= 0 and (ma[0] < 0 or ma[3] < mb[3]):
            stack += [(a, mb[1]) + w, (a, mb[0]) + w]
        elif ma[0] >= 0:
            stack += [(ma[1], b) + w, (ma[0], b) + w]
        else:
            found += [(i, j) for i in m.leaf(a) for j in o.leaf(b)
                      if swept_box(*m.box[i], *o.box[j], v, *w, box_tol, box_static, margin)]
            poller.work += ma[3] * mb[3]
    return status, np.array(found, np.uint32).reshape(-1, 2).tobytes()


def candidates(moving, obstacle, v, *scalars):
    return zn.clearance_candidate_pairs(tuple(moving), tuple(obstacle), np.asarray(v, np.float64), *scalars)


def tree(corners, leaf_size=4, **change):
    """A tree over triangles given by their corners, with some of its arrays replaced."""
    triangles = np.arange(len(corners), dtype=np.uint32).reshape(-1, 3)
    built = zet_native.build_tree(np.array(corners, np.float64).reshape(-1, 3), triangles, leaf_size)
    return built._replace(**change)


MESHES = {"ball": sphere(8, 0.5, (-2.2, 0.1, 0.05)), "near": sphere(8, 0.5, (-1.7, 0.0, 0.0)),
          "twin": sphere(8, 0.5, (-1.2, 0.0, 0.0)), "sphere": sphere(8, 0.5), "torus": torus(10, 6, 1.0, 0.3)}
CAND_CASES = {  # meshes, leaf sizes, velocity, path length, box_tol, box_static, clearance, excluded
    "through": ("ball", "torus", 4, 4, (1.0, 0.0, 0.0), 4.4, 1e-9, 0.0, 0.05, False),
    "oblique": ("ball", "torus", 1, 3, (0.9, 0.25, -0.1), 3.5, 0.0, 0.25, 0.2, True),  # y static
    "at_rest": ("near", "torus", 2, 8, (0.0, 0.0, 0.0), 1.0, 1e-9, 0.0, 0.1, False),
    "instant": ("near", "torus", 3, 2, (1.0, 0.0, 0.0), 0.0, 1e-9, 0.0, 0.1, True),
    "twins": ("twin", "sphere", 4, 4, (1.0, 0.02, 0.0), 2.0, 1e-9, 0.0, 0.0, False),  # equal counts
    "chain": ("chain", "sphere", 0, 2, (0.0, 0.1, 0.3), 1.0, 1e-9, 0.0, 0.05, False),  # a deep stack
}


@functools.cache
def cand_case(name):
    a, b, la, lb, *args, exclude = CAND_CASES[name]
    trees = [chain(150)] if a == "chain" else []
    for mesh, leaf, step in ((a, la, 5), (b, lb, 7))[len(trees):]:
        excluded = np.arange(len(MESHES[mesh][1])) % step == 2 if exclude else None
        trees.append(zet_native.build_tree(*MESHES[mesh], leaf, excluded))
    return (*trees, *args)


def chain(depth):
    """A valid tree no build writes: a left spine of `depth` nodes with one-triangle right leaves (a deep stack)."""
    vertices = np.array([(0.0, 0.0, 0.0), (0.5, 0.0, 0.0), (0.0, 0.5, 0.0)] * (depth + 1))
    vertices[:, 0] += np.repeat(np.arange(depth + 1) * 0.004, 3)
    k, m = 2 * depth + 1, depth + 1
    meta = np.array([[i + 1, m + i, 0, m - i, 0] for i in range(depth)] + [[-1, -1, j, 1, 0] for j in range(m)])
    corners = np.tile(vertices.min(0), (k, 1)), np.tile(vertices.max(0), (k, 1))
    return zet_native.TriangleTree(vertices, np.arange(3 * m, dtype=np.uint32).reshape(-1, 3), np.zeros(m, np.uint8),
                                   *corners, meta.astype(np.int32), np.arange(m, dtype=np.uint32))


@pytest.mark.parametrize("interval, yes_at, answer", [(1, None, True), (1, 1, True), (5, 1, True), (1, 9, True),
                                                     (17, 4, True), (3, INF, True), (2, 6, Refusal("no"))])
@pytest.mark.parametrize("case", CAND_CASES)
def test_candidates_match_reference(case, interval, yes_at, answer):
    args = cand_case(case)
    expected = both(candidates, ref_candidates, *args, yes_at=yes_at, answer=answer, interval=interval)
    if yes_at in (None, INF):
        found = np.frombuffer(expected[1], np.uint32).reshape(-1, 2)
        assert expected[0] == 0 and len(found) > 10
        assert not args[0].excluded[found[:, 0]].any() and not args[1].excluded[found[:, 1]].any()


def test_static_axes():
    chip = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]
    one, pair = tree(chip), np.array([[0, 0]], np.uint32).tobytes()
    # Along (1, -1, 0) the boxes never meet at one t, but a component up to box_static is tested over the whole path.
    far = tree([(3, -0.9, 0), (4, -0.9, 0), (3, -0.6, 0)])
    for box_static, listed in ((1.0, True), (np.nextafter(1.0, 0.0), False), (0.0, False)):
        assert candidates(one, far, (1.0, -1.0, 0.0), 4.0, 0.0, box_static, 0.0, 1, None) == (0, pair * listed)


# ---------------------------------------------------------------- interval search

distance = functools.lru_cache(maxsize=200000)(conservative_triangle_distance)


def ref_clearance(mv, mt, ov, ot, pairs, lowers, v, length, clear, at, rt, min_width, max_depth, evaluations,
                  limit, interval, cancel):
    poller, count, v = Poller(cancel, interval, 0), [evaluations], [float(x) for x in v]
    speed = math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])

    def search(A, B, lo, hi, depth):
        if poller.poll(1):
            return (4,)
        if count[0] >= limit:
            return (3,)
        count[0] += 1
        mid = (lo + hi) * 0.5
        d = distance(tuple(tuple(p[k] + mid * v[k] for k in range(3)) for p in A), B, at, rt)
        half = (hi - lo) * 0.5
        x = d[0] - (half * speed if speed > 1.0 else half)  # the distance travelled from mid
        if (0.0 if 0.0 > x else x) >= clear:
            return (0,)
        if min_width >= hi - lo or depth >= max_depth:
            return (1, 1, lo, hi, mid, d) if clear > d[1] else (2,)
        r1 = search(A, B, mid, hi, depth + 1)
        if r1[0] in (1, 3, 4):
            return r1
        r2 = search(A, B, lo, mid, depth + 1)
        if r2[0] == 1:
            return (1, int(r1[0] == 0 and r2[1] == 1)) + r2[2:]
        return r2 if r2[0] in (3, 4) else (2,) if 2 in (r1[0], r2[0]) else (0,)

    status = searched = unresolved = 0
    out = b""
    for k, (i, j) in enumerate(np.asarray(pairs).tolist()):
        if poller.poll(1):
            status = 4
            break
        searched += 1
        A = tuple(map(tuple, np.asarray(mv)[np.asarray(mt)[i]].tolist()))
        B = tuple(map(tuple, np.asarray(ov)[np.asarray(ot)[j]].tolist()))
        r = search(A, B, float(lowers[k]), length, 0)
        if r[0] == 1:
            out += struct.pack("=II11d", k, *r[1:5], r[5][0], r[5][1], *r[5][2], *r[5][3])
        unresolved += r[0] == 2
        if r[0] in (3, 4):
            status = r[0]
            break
    return status, searched, count[0], unresolved, out


def clearance(mv, mt, ov, ot, pairs, lowers, v, *scalars):
    f, u = functools.partial(np.asarray, dtype=np.float64), functools.partial(np.asarray, dtype=np.uint32)
    return zn.clearance_pairs(f(mv), u(mt), f(ov), u(ot), u(pairs).reshape(-1, 2), f(lowers), f(v), *scalars)


@functools.cache
def search_pairs():
    moving, obstacle, *_ = cand_case("through")
    found = np.frombuffer(candidates(moving, obstacle, (1, 0, 0), 4.4, 1e-9, 0.0, 0.3, 1, None)[1], np.uint32)
    lowers = np.random.default_rng(7).uniform(0.0, 1.0, len(found) // 2)[::len(found) // 160].copy()
    lowers[::9] = 1.0
    pairs = found.reshape(-1, 2)[::len(found) // 160].copy()  # about 80 pairs
    return moving.vertices, moving.triangles, obstacle.vertices, obstacle.triangles, pairs, lowers


SEARCH_CASES = {  # velocity, path length, clearance, tolerances, min_width, max_depth
    "deep": ((1.0, 0.0, 0.0), 4.4, 0.1, (1e-9, 1e-12), 1e-3, 7),
    "shallow": ((1.0, 0.0, 0.0), 4.4, 0.1, (1e-9, 1e-12), 0.0, 1),
    "wide": ((1.0, 0.0, 0.0), 4.4, 0.25, (0.0, 1e-6), 0.6, 30),
    "slanted": ((1.3, 0.02, -0.01), 3.4, 0.1, (1e-3, 0.0), 1e-2, 5),  # not of unit length
    "still": ((0.0, 0.0, 0.0), 0.0, 0.45, (1e-9, 1e-12), 0.0, 3),
    "slow": ((0.6, 0.0, 0.0), 7.3, 0.1, (1e-9, 1e-12), 1e-3, 7),  # below unit speed: the plain test
    "nan": ((1.0, 0.0, 0.0), 4.4, 0.0, (NAN, 1e-12), 0.0, 2),  # max(0, NaN) stays NaN: never clear
}


@pytest.mark.parametrize("case", SEARCH_CASES)
def test_search_matches_reference(case):
    v, length, clear, tols, min_width, max_depth = SEARCH_CASES[case]
    mv, mt, ov, ot, pairs, lowers = search_pairs()
    lowers = length - (1.0 - lowers) * (length + 0.3)  # some negative, some equal to the length
    args = [mv, mt, ov, ot, pairs, lowers, v, length, clear, *tols, min_width, max_depth, 1000]
    status, searched, spent, unresolved, records = both(clearance, ref_clearance, *args, UNLIMITED)
    assert status == 0 and searched == len(pairs) > 40 and (case != "shallow" or spent - 1000 <= 3 * len(pairs))
    if case == "nan":
        assert unresolved == len(pairs) and not records
    else:
        witnesses = len(records) // 96
        assert witnesses and (unresolved or case == "still") and witnesses + unresolved < len(pairs)
    for cut in (1000, 1001, (1000 + spent) // 2, spent - 1, spent):
        got = both(clearance, ref_clearance, *args, cut)
        assert got[0] == 3 * (cut < spent) and got[2] == cut
    for interval, yes_at, answer in [(1, 1, True), (1, 40, True), (7, 5, True), (3, INF, True),
                                     (2, 30, Refusal("stop")), (1, 3, BadTruth())]:
        got = both(clearance, ref_clearance, *args, UNLIMITED, yes_at=yes_at, answer=answer, interval=interval)
        assert got is None or got[0] == 4 * (yes_at < INF)


@pytest.mark.parametrize("threads", [2, 5])
def test_search_on_threads_matches_one_thread(threads):
    # Pairs searched ahead on worker threads must give the one-thread result, counters and
    # consultations included, wherever a budget or should_cancel stops the call.
    v, length, clear, tols, min_width, max_depth = SEARCH_CASES["deep"]
    mv, mt, ov, ot, pairs, lowers = search_pairs()
    # More pairs than one slice searched ahead holds, so that several slices run on threads.
    pairs, lowers = np.tile(pairs, (16, 1)), np.tile(lowers, 16)
    args = [mv, mt, ov, ot, pairs, lowers, v, length, clear, *tols, min_width, max_depth, 1000]
    spent = clearance(*args, UNLIMITED, 1, None)[2]
    for limit, interval, yes_at, answer in [(UNLIMITED, 1, INF, True), ((1000 + spent) // 2, 5, INF, True),
                                            (UNLIMITED, 1, 60, True), (UNLIMITED, 7, 9, True),
                                            (spent - 1, 3, 25, Refusal("stop"))]:
        results = []
        for limit_threads in (1, threads):
            zn.set_thread_limit(limit_threads)
            asker = Asker(yes_at, answer)
            try:
                results.append((clearance(*args, limit, interval, asker), asker.calls))
            except Refusal:
                results.append(("refused", asker.calls))
        assert results[0] == results[1]


FLOOR = [(-5.0, -5.0, 0.0), (5.0, -5.0, 0.0), (0.0, 5.0, 0.0)]
CHIP = [(0.0, 0.0, 0.0), (0.5, 0.0, 0.0), (0.0, 0.5, 0.0)]  # lies on the floor at t = 0
SLIDE = ((1, 0, 0), 1.25, 0.1)  # touching all the way
UP = ((0, 0, 1), 2.0, 1.0)  # rising at unit speed: clear from about t = 1 on


def chip(lowers, v, length, clear, min_width, max_depth, evaluations=0):
    return [CHIP, [[0, 1, 2]], FLOOR, [[0, 1, 2]], [[0, 0]] * len(lowers), lowers, v, length, clear, 0.0, 1e-12,
            min_width, max_depth, evaluations]


@pytest.mark.parametrize("lowers, path, min_width, max_depth, evaluations, limit, yes_at, expected, witness", [
    # Later halves only, down to the last interval, after max_depth + 1 evaluations.
    *[([0.25], SLIDE, 0.0, d, 0, UNLIMITED, None, (0, 1, d + 1, 0), (1.25 - 2.0**-d, 1.25, 1))
      for d in (1, 6, 30, 45)],
    # The earlier half violates; the later one stays unresolved (L = 2) or is clear (L = 3).
    ([0.0], UP, 0.0, 1, 0, UNLIMITED, None, (0, 1, 3, 0), (0.0, 1.0, 0)),
    ([0.0], ((0, 0, 1), 3.0, 1.0), 0.0, 1, 0, UNLIMITED, None, (0, 1, 3, 0), (0.0, 1.5, 1)),
    ([0.25] * 150, SLIDE, 0.0, 3, 0, UNLIMITED, None, (0, 150, 600, 0), (1.125, 1.25, 1)),  # > 64 records
    ([], SLIDE, 0.0, 4, 5, UNLIMITED, 1, (0, 0, 5, 0), None),  # nothing searched, nothing polled
    ([0.25] * 2, SLIDE, 0.0, 4, 7, 7, None, (3, 1, 7, 0), None),
    ([0.25] * 2, SLIDE, 0.0, 4, 9, 7, None, (3, 1, 9, 0), None),
    ([0.25] * 2, SLIDE, 0.0, 4, 7, UNLIMITED, 1, (4, 0, 7, 0), None),  # the first poll, before any pair
    ([0.25] * 2, SLIDE, 0.0, 4, 7, UNLIMITED, 2, (4, 1, 7, 0), None),
    # Huge depth limits: min_width negative never ends a zero-width or stalled interval.
    ([1.25], SLIDE, -1.0, DEEPEST, 0, 60, None, (3, 1, 60, 0), None),
    ([0.25], SLIDE, -1.0, DEEPEST, 0, 300, None, (3, 1, 300, 0), None),  # halving stalls after ~50 levels
    ([0.0], UP, -1.0, DEEPEST, 0, 300, None, (3, 1, 300, 0), None),  # clear later halves: both phases
    ([0.25, 1.25], SLIDE, -1.0, DEEPEST, 0, 400, 150, (4, 1, 148, 0), None),
    ([1.25], SLIDE, 0.0, DEEPEST, 0, 60, None, (0, 1, 1, 0), (1.25, 1.25, 1)),  # zero width: final at once
    ([2.0], UP, 0.0, DEEPEST, 0, 60, None, (0, 1, 1, 0), None),
])
def test_worked_cases(lowers, path, min_width, max_depth, evaluations, limit, yes_at, expected, witness):
    args = chip(lowers, *path, min_width, max_depth, evaluations)
    got = both(clearance, ref_clearance, *args, limit, yes_at=yes_at)
    assert got[:4] == expected
    witnesses = np.frombuffer(got[4], WITNESS)
    assert witnesses[["start", "end", "clear_after"]].tolist() == [witness] * (len(lowers) if witness else 0)
    assert witnesses["pair"].tolist() == list(range(len(witnesses)))


# A fin standing upright through the floor's inside, its vertices 0.5 from it, slides 2 across it: only its
# edges through the floor come within the clearance, so the search must find them. Raised 0.75, it passes 0.25
# above the floor and stays clear.
FIN = np.array([(-0.5, 0.0, -0.5), (0.5, 0.0, -0.5), (0.0, 0.0, 0.5)])


@pytest.mark.parametrize("speed, direction", [(0.5, (1.0, 0.0, 0.0)), (1.0, (0.6, 0.8, 0.0)), (2.0, (0.0, 1.0, 0.0))])
@pytest.mark.parametrize("height, clear", [(0.0, 0.1), (0.75, 0.2)])
def test_fin_through_the_floor_is_never_clear(speed, direction, height, clear):
    start = FIN + (0.0, 0.0, height) - direction
    args = [start, [[0, 1, 2]], FLOOR, [[0, 1, 2]], [[0, 0]], [0.0], np.multiply(direction, speed), 2.0 / speed,
            clear, 0.0, 1e-12, 1e-6, 20, 0]
    status, searched, _, unresolved, out = both(clearance, ref_clearance, *args, UNLIMITED)
    witnesses = np.frombuffer(out, WITNESS)
    assert (status, searched, unresolved) == (0, 1, 0)
    if height:
        assert len(witnesses) == 0
    else:
        w = witnesses[0]
        assert len(witnesses) == 1 and w["lower"] == 0.0 and w["upper"] < clear
        assert (w["point_a"] == w["point_b"]).all() and abs(w["point_b"][2]) == 0.0  # on the floor


@pytest.mark.parametrize("lower", [1.25, 0.25])
def test_millions_of_levels_in_bounded_memory(lower):
    # A frame per level would exhaust the thread's stack; merged levels keep the memory flat.
    levels, samples = 200_000 if SANITIZED else 2_000_000, []

    def resident():
        with open("/proc/self/statm") as f:
            samples.append(int(f.read().split()[1]) * resource.getpagesize())

    got = clearance(*chip([lower], *SLIDE, -1.0, DEEPEST), levels, levels // 4, resident)
    assert got == (3, 1, levels, 0, b"") and len(samples) == 5
    assert samples[-1] - samples[0] < max(4 << 20, 8 * levels)


# ---------------------------------------------------------------- argument checks and buffers

def pair_args(**change):
    args = dict(mv=np.array(CHIP), mt=np.array([[0, 1, 2]], np.uint32), ov=np.array(FLOOR),
                ot=np.array([[0, 1, 2]], np.uint32), pairs=np.zeros((1, 2), np.uint32), lowers=np.zeros(1),
                velocity=np.array([1.0, 0, 0]), length=1.0, clear=0.1, at=0.0, rt=1e-12, min_width=1e-3,
                max_depth=4, evaluations=0, limit=100, interval=1, cancel=None)
    return list({**args, **change}.values())


def cand_args(**change):
    args = dict(moving=tree(CHIP), obstacle=tree(FLOOR), velocity=np.array([1.0, 0, 0]), length=1.0,
                box_tol=0.0, box_static=0.0, clear=0.1, interval=1, cancel=None)
    return [tuple(x) if isinstance(x, tuple) else x for x in {**args, **change}.values()]


P, C, NONE7 = zn.clearance_pairs, zn.clearance_candidate_pairs, (None,) * 7
U32, F32, I32 = np.uint32, np.float32, np.int32
COUNTERS = "invalid clearance counters, depth or cancel interval"
PATH = "invalid path length or cancel interval"
INDEX = "clearance pair index is outside the triangle array"
BOUND = "clearance interval lower bound exceeds the path length"
OUTSIDE = "%s triangle index is outside the vertex array"
DOUBLE = [[0, 0], [1, 0]]


@pytest.mark.parametrize("function, change, error, message", [  # a None argument fails if it is looked at
    *[(P, dict(mv=None, cancel=5, **c), ValueError, COUNTERS)
      for c in ({"evaluations": -1}, {"limit": -1}, {"interval": 0}, {"max_depth": 0})],
    (P, dict(mv=np.array(CHIP, F32), ov=None), ValueError, DTYPE % "moving"),
    (P, dict(mt=np.array([[0, 1, 3]], U32), ov=None), ValueError, OUTSIDE % "moving"),
    (P, dict(ot=np.array([[0, 1, 3]], U32), pairs=None), ValueError, OUTSIDE % "obstacle"),
    (P, dict(velocity=np.zeros(4), lowers=np.zeros(2)), ValueError, "velocity has an invalid shape"),
    (P, dict(lowers=np.zeros(2), pairs=np.array([[5, 5]], U32)), ValueError,
     "lowers must have one value per pair"),
    (P, dict(velocity=np.array([0.0, 0.0, -INF]), pairs=np.array([[5, 5]], U32)), ValueError, "velocity must be finite"),
    (P, dict(pairs=np.array([[1, 0]], U32)), IndexError, INDEX),  # index == m
    (P, dict(pairs=np.array([[0, 1]], U32)), IndexError, INDEX),  # index == m'
    (P, dict(pairs=np.array(DOUBLE, U32), lowers=np.array([0.0, 5.0])), IndexError, INDEX),  # pair by pair
    (P, dict(pairs=np.array(DOUBLE, U32), lowers=np.array([5.0, 0.0])), ValueError, BOUND),
    *[(P, dict(lowers=np.array([x])), ValueError, BOUND) for x in (np.nextafter(1.0, 2.0), INF, -INF, NAN)],
    (P, dict(length=NAN), ValueError, BOUND),
    (P, dict(lowers=np.array([1.0])), None, None),  # zero width
    (P, dict(lowers=np.array([-3.0]), length=INF, clear=NAN, min_width=NAN), None, None),
    *[(C, dict(moving=NONE7, cancel=5, **c), ValueError, PATH)
      for c in ({"length": INF}, {"length": NAN}, {"length": -1.0}, {"interval": 0})],
    (C, dict(moving=tree(CHIP, vertices=np.array(CHIP, F32)), obstacle=NONE7), ValueError, DTYPE % "moving"),
    (C, dict(moving=tree(CHIP, excluded=np.zeros(2, np.uint8)), obstacle=NONE7), ValueError,
     "moving tree arrays have inconsistent lengths"),
    (C, dict(obstacle=tree(CHIP, node_meta=np.zeros((1, 5), U32)), velocity=None), ValueError,
     DTYPE % "obstacle"),
    (C, dict(obstacle=tree(CHIP, node_meta=np.zeros((1, 5), I32))), ValueError,
     "obstacle tree node 0 is malformed"),
    (C, dict(velocity=np.array([0.0, INF, 0.0])), ValueError, "velocity must be finite"),
    (C, dict(length=-0.0, box_tol=NAN, box_static=NAN, clear=NAN), None, None),
])
def test_arguments(function, change, error, message):
    args = (pair_args if function is P else cand_args)(**change)
    if error is None:
        assert function(*args)[0] == 0
    else:
        with pytest.raises(error, match=message and f"^{message}$"):
            function(*args)
