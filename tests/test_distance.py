"""triangle_distance_batch against reference_distance, an independent solver and exact crossings; hand cases;
arguments."""

import math
from fractions import Fraction

import numpy as np
import pytest
from reference_distance import conservative_triangle_distance
from support import F64, refused

import _zet_native as zn
import zet_native

NAMES = ("moving", "obstacle")


def records(moving, obstacle, abs_tol=0.0, rel_tol=1e-12):
    moving, obstacle = (np.array(x, np.float64).reshape(-1, 3, 3) for x in (moving, obstacle))
    return np.frombuffer(zn.triangle_distance_batch(moving, obstacle, abs_tol, rel_tol), np.float64).reshape(-1, 9)


def kernel(A, B, abs_tol, rel_tol, crossings=True):
    """The nine values of one record from reference_distance, for arrays of corners."""
    A, B = (tuple(tuple(float(x) for x in p) for p in t) for t in (A, B))
    lower, upper, point_a, point_b, code = conservative_triangle_distance(A, B, abs_tol, rel_tol, crossings)
    return (lower, upper, *point_a, *point_b, float(code))


def nearby_pairs(n, rng):
    """Families: free floats; lattice points (parallel edges, coplanar faces, shared and collinear vertices),
    also nudged by 1e-10; collinear, doubled and point triangles; parallel planes; tiny triangles whose
    edges count as points; coordinates near 1000."""
    family = rng.integers(0, 8, n)
    centre = rng.uniform(-3, 3, (n, 1, 3))
    a = centre + rng.uniform(-1, 1, (n, 3, 3)) * rng.choice([0.1, 1.0, 5.0], (n, 1, 1))
    b = centre + rng.uniform(-1.5, 1.5, (n, 3, 3))
    for k, f in enumerate(family):
        if f in (1, 2):
            a[k], b[k] = rng.integers(-2, 3, (2, 3, 3))
            a[k] += rng.normal(0, 1e-10, (3, 3)) * (f == 2)
        elif f == 3:
            a[k, 2] = a[k, 0] + rng.choice([-0.5, 0.5, 2.0]) * (a[k, 1] - a[k, 0])
        elif f == 4:
            a[k, 1] = a[k, 0]
            a[k, 2] = a[k, 0] if rng.random() < 0.4 else a[k, 2]
        elif f == 5:
            a[k, :, 2], b[k, :, 2] = 0.5, rng.choice([0.5, 0.5 + 1e-12, 0.0, -0.25])
        elif f == 6:
            a[k] = a[k, 0] + (a[k] - a[k, 0]) * rng.choice([1e-12, 1e-9, 1e-7])
        elif f == 7:
            a[k] += 1000.0
            b[k] += 1000.0
        if f in (3, 4, 6) and rng.random() < 0.5:
            a[k], b[k] = b[k].copy(), a[k].copy()
    return a, b


@pytest.mark.parametrize("seed, tols", [(1, (0.0, 1e-12)), (2, (1e-9, 1e-6)), (3, (0.0, 0.0)), (4, (-1e-3, 1e-9))])
def test_bit_exact_against_python_kernel(seed, tols):
    a, b = nearby_pairs(800, np.random.default_rng(seed))
    got = records(a, b, *tols)
    expected = np.array([kernel(p, q, *tols) for p, q in zip(a, b)])
    differ = np.flatnonzero((got.view(np.uint64) != expected.view(np.uint64)).any(axis=1))
    assert differ.size == 0, (differ[:5], got[differ[:1]], expected[differ[:1]])
    # Every code occurs but 20: crossing triangles meet along a segment whose ends are two crossing edges, so
    # the obstacle's edge 2 comes first only where rounding hides the other one.
    assert set(got[:, 8]) == set(map(float, range(20))) and list(zet_native.DistanceFeature) == list(range(21))


# ---------------------------------------------------------------- an independent solver

def project_on_triangles(p, t):
    """Nearest point of each triangle t[i] to p[i]: the foot on the plane if inside, else the nearest edge point."""
    a, b, c = t[:, 0], t[:, 1], t[:, 2]
    n = np.cross(b - a, c - a)
    foot = p - (np.einsum("ij,ij->i", p - a, n) / np.einsum("ij,ij->i", n, n))[:, None] * n
    inside = np.ones(len(p), bool)
    best, best_d = None, np.full(len(p), np.inf)
    for s0, s1 in ((a, b), (b, c), (c, a)):
        inside &= np.einsum("ij,ij->i", np.cross(s1 - s0, foot - s0), n) >= 0
        e = s1 - s0
        q = s0 + np.clip(np.einsum("ij,ij->i", p - s0, e) / np.einsum("ij,ij->i", e, e), 0, 1)[:, None] * e
        d = np.linalg.norm(p - q, axis=1)
        best = q if best is None else np.where((d < best_d)[:, None], q, best)
        best_d = np.minimum(d, best_d)
    return np.where(inside[:, None], foot, best)


def solver_distance(a, b, steps=20, rounds=200):
    """Distance of each pair from above: the closest barycentric grid samples, then alternating projections."""
    i, j = np.meshgrid(np.arange(steps + 1), np.arange(steps + 1), indexing="ij")
    keep = i + j <= steps
    w = np.stack([steps - i[keep] - j[keep], i[keep], j[keep]], 1) / steps
    sa, sb = np.einsum("sk,nkd->nsd", w, a), np.einsum("sk,nkd->nsd", w, b)
    gaps = np.linalg.norm(sa[:, :, None] - sb[:, None], axis=3).reshape(len(a), -1)
    first, second = np.divmod(gaps.argmin(axis=1), len(w))
    pa, pb = sa[np.arange(len(a)), first], sb[np.arange(len(a)), second]
    for _ in range(rounds):
        pa = project_on_triangles(pb, a)
        pb = project_on_triangles(pa, b)
    return np.linalg.norm(pa - pb, axis=1)


def separated_pairs(n, rng):
    """Triangles gap / 2 either side of a random plane (gaps from 0 up), B slid along it until its
    nearest vertex is within 0, 1e-3 or 0.3 of A's."""
    normal = rng.normal(size=(n, 3))
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    gap = rng.choice([0.0, 1e-6, 0.01, 0.3], n)[:, None]
    sides, nearest = [], []
    for sign, pts in zip((-1, 1), rng.uniform(-1, 1, (2, n, 3, 3))):
        h = np.einsum("nkd,nd->nk", pts, normal)
        height = sign * (np.abs(h) - np.abs(h).min(axis=1, keepdims=True) + gap / 2)
        sides.append(pts + (height - h)[..., None] * normal[:, None])
        nearest.append(sides[-1][np.arange(n), np.abs(height).argmin(axis=1)])
    slide = nearest[0] - nearest[1] + rng.uniform(-1, 1, (n, 3)) * rng.choice([0, 1e-3, 0.3], (n, 1))
    slide -= np.einsum("nd,nd->n", slide, normal)[:, None] * normal
    return sides[0], sides[1] + slide[:, None]


def test_distance_within_bracket_of_independent_solver():
    a, b = separated_pairs(150, np.random.default_rng(11))
    got = records(a, b, 0.0, 1e-9)
    true_from_above = solver_distance(a, b)
    assert (got[:, 0] <= true_from_above).all()  # lower <= true distance <= estimate
    assert (true_from_above <= got[:, 1] + 1e-9).all()  # the estimate's own error
    # The reported closest points lie on their triangles and realise the distance.
    for k, t in ((2, a), (5, b)):
        assert np.allclose(project_on_triangles(got[:, k:k + 3], t), got[:, k:k + 3], atol=1e-9)
    tau = 1e-9 * np.maximum(1.0, np.abs(np.concatenate([a, b], 1)).max(axis=(1, 2)))
    assert np.allclose(np.linalg.norm(got[:, 2:5] - got[:, 5:8], axis=1), got[:, 1] - tau, rtol=0, atol=1e-12)


# ---------------------------------------------------------------- hand-derived cases

FLOOR = [[0, 0, 0], [10, 0, 0], [0, 10, 0]]
ROOF = [[0, 0, 0], [4, 0, 0], [0, 4, 0]]
SLANTED = [[0.1, 0.2, 0.3], [0.9, -0.4, 0.5], [-0.6, 0.7, 0.8]]
PLATE = [[-10, -10, 0], [10, -10, 0], [0, 10, 0]]
STANDING = [[-0.5, 0, -1], [0.5, 0, -1], [0, 0, 1]]  # edges 1 and 2 pass through PLATE
LINK_A = [[0, 0, 0], [4, 0, 0], [0, 0, 4]]  # edge 0 passes through LINK_B at (1, 0, 0)
LINK_B = [[1, -1, 1], [1, 1, 1], [1, 0, -3]]  # edge 0 passes through LINK_A at (1, 0, 1)
TOLS = (0.0, 1e-12)


def crossed(ra, rb, h=0.25):
    """A in y = 0, edge 0 on the x axis; B in x = 0, edge 0 parallel to y at height h: the edges pass at
    distance h, every vertex is farther. Rotating the vertex lists renumbers the crossing edges."""
    a = np.roll([[-1, 0, 0], [1, 0, 0], [0, 0, -2]], -ra, axis=0)
    b = np.roll([[0, -1, h], [0, 1, h], [0, 0, h + 2]], -rb, axis=0)
    return a, b, 6 + 3 * ((-ra) % 3) + (-rb) % 3, h, [0, 0, 0], [0, 0, h], TOLS


def shifted(shift, abs_tol, rel_tol):
    """A 0.25 above B at vertices 0 and 1, so d = 0.25 exactly at any shift."""
    a, b = np.array([[0, 0, 0.25], [1, 0, 0.25], [0, 1, 0.5]]) + shift, np.array(FLOOR) / 10 + shift
    return a.tolist(), b.tolist(), 0, 0.25, a[0].tolist(), b[0].tolist(), (abs_tol, rel_tol)


@pytest.mark.parametrize("a, b, code, d, point_a, point_b, tols", [
    # Vertex 1 of A at height 4 over the interior of B, the others higher.
    ([[3, 1, 6], [2, 2, 4], [1, 3, 7]], FLOOR, 1, 4.0, [2, 2, 4], [2, 2, 0], TOLS),
    # The same seen from B: vertex k of B against triangle A.
    (FLOOR, [[3, 1, 6], [1, 3, 7], [2, 2, 4]], 5, 4.0, [2, 2, 0], [2, 2, 4], TOLS),
    # Parallel faces 0.5 apart: vertices 1 and 2 and A's edge 0 over B's edge 2 tie; the lowest code wins.
    ([[-1, 1, 0.5], [1, 1, 0.5], [1, 2, 0.5]], ROOF, 1, 0.5, [1, 1, 0.5], [1, 1, 0], TOLS),
    # A translated copy of B: every vertex and the three parallel edge pairs tie at 0.5.
    ([[0, 0, 0.5], [4, 0, 0.5], [0, 4, 0.5]], ROOF, 0, 0.5, [0, 0, 0.5], [0, 0, 0], TOLS),
    crossed(0, 0), crossed(1, 0), crossed(0, 2), crossed(2, 1),
    # A small triangle standing through a large one: distance 0 however high its vertices are, at the
    # point where the first of its two crossing edges meets the plane, whichever triangle is which.
    (STANDING, PLATE, 16, 0.0, [0.25, 0, 0], [0.25, 0, 0], TOLS),
    (np.roll(STANDING, -2, axis=0).tolist(), PLATE, 15, 0.0, [-0.25, 0, 0], [-0.25, 0, 0], TOLS),
    (PLATE, STANDING, 19, 0.0, [0.25, 0, 0], [0.25, 0, 0], TOLS),
    # Linked triangles, each with one edge through the other: the moving triangle's edge 2 comes before the
    # obstacle's edge 0.
    (np.roll(LINK_B, -1, axis=0).tolist(), LINK_A, 17, 0.0, [1, 0, 1], [1, 0, 1], TOLS),
    (LINK_A, np.roll(LINK_B, -1, axis=0).tolist(), 15, 0.0, [1, 0, 0], [1, 0, 0], (0.0, 0.0)),
    (LINK_A, LINK_B, 15, 0.0, [1, 0, 0], [1, 0, 0], (1e-3, 0.0)),
    # Identical triangles: vertex 0 of A lies on B; lower 0, upper tau.
    (ROOF, ROOF, 0, 0.0, [0, 0, 0], [0, 0, 0], TOLS),
    (SLANTED, SLANTED, 0, 0.0, SLANTED[0], SLANTED[0], TOLS),
    # tau = abs_tol + rel_tol * max(1, largest |coordinate|); lower = max(d - tau, +0), tolerances unchecked.
    shifted(0.0, 0.0, 1e-9), shifted(999.0, 0.0, 1e-9), shifted(-999.5, 0.0, 1e-9), shifted(999.0, 1e-6, 1e-9),
    shifted(0.0, 0.25, 0.0), shifted(0.0, 0.5, 0.0), shifted(0.0, -0.01, 0.0),
])
def test_feature_codes_and_bracket(a, b, code, d, point_a, point_b, tols):
    r = records(a, b, *tols)[0]
    tau = tols[0] + tols[1] * max(1.0, np.abs(np.array([a, b], float)).max())
    assert r[8] == code and r[1] == d + tau
    assert r[0] == (d - tau if d - tau > 0 else 0.0) and math.copysign(1.0, r[0]) == 1.0
    assert r[2:5].tolist() == point_a and r[5:8].tolist() == point_b


@pytest.mark.parametrize("a", [
    [[0, 0, 1], [1, 1, 1], [2, 2, 1]],  # collinear
    [[0, 0, 1], [0, 0, 1], [2, 2, 1]],  # two vertices equal
    [[0.5, 0.5, 1], [0.5, 0.5, 1], [0.5, 0.5, 1]],  # a point over the face
    [[3, 3, 0], [3, 3, 0], [3, 3, 0]],  # a point beside it, in its plane
    [[0, 0, 1], [1e-9, 0, 1], [0, 1e-9, 1]],  # edges too short to count as segments
])
def test_degenerate_triangles_stay_finite(a):
    for first, second in ((a, FLOOR), (FLOOR, a), (a, a)):
        r = records(first, second)[0]
        assert np.isfinite(r).all() and 0 <= r[0] <= r[1]
        assert r.tolist() == list(kernel(first, second, 0.0, 1e-12))


def test_nan_coordinate_gives_nan_bounds():
    assert np.isnan(records([[3, 1, 6], [2, 2, 4], [1, 3, math.nan]], FLOOR)[0, :2]).all()
    # Crossing pairs with a NaN anywhere, even off the crossing edges: NaN bounds and no crossing code.
    for a, b in ((STANDING, PLATE), (LINK_A, LINK_B)):
        pair = np.array([a, b], np.float64)
        for k in range(18):
            spoiled = pair.copy()
            spoiled.reshape(-1)[k] = math.nan
            r = records(spoiled[0], spoiled[1])[0]
            assert np.isnan(r[:2]).all() and r[8] < 15, k


# ---------------------------------------------------------------- crossings against exact arithmetic

def exact_crossing(A, B):
    """(code, point) of the first edge, A's 0, 1, 2 then B's, whose ends lie strictly on opposite sides of the
    other triangle's plane and which meets that plane inside the closed triangle (barycentric coordinates of
    the meeting point, in rational arithmetic); None if there is none. A triangle of zero area has no inside."""
    def sub(u, v):
        return [u[i] - v[i] for i in range(3)]

    def cross(u, v):
        return [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]

    def dot(u, v):
        return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]

    A, B = ([[Fraction(float(x)) for x in p] for p in t] for t in (A, B))
    for side, (E, T) in enumerate(((A, B), (B, A))):
        n = cross(sub(T[1], T[0]), sub(T[2], T[0]))
        if dot(n, n) == 0:
            continue
        for k in range(3):
            p, q = E[k], E[(k + 1) % 3]
            hp, hq = dot(n, sub(p, T[0])), dot(n, sub(q, T[0]))
            if hp * hq >= 0:
                continue
            x = [p[i] + hp / (hp - hq) * (q[i] - p[i]) for i in range(3)]
            if all(dot(n, cross(sub(T[(j + 1) % 3], x), sub(T[(j + 2) % 3], x))) >= 0 for j in range(3)):
                return 15 + 3 * side + k, x
    return None


def crossing_pairs(n, rng):
    """Unit triangles around nearby centres, about one pair in five crossing, half of them near 1000; one
    triangle in six a thin sliver, one in six collinear but for rounding (a normal of rounding noise, which
    says nothing about which side of it the other triangle lies on, while its edges still pass through the
    other triangle) and one in six with a repeated vertex (no area at all)."""
    centre = rng.uniform(-3, 3, (n, 1, 3)) + rng.choice([0.0, 1000.0], (n, 1, 1))
    a = centre + rng.uniform(-1, 1, (n, 3, 3))
    b = centre + rng.uniform(-0.4, 0.4, (n, 1, 3)) + rng.uniform(-1, 1, (n, 3, 3))
    for k in range(n):
        f = rng.integers(0, 6)
        if f == 0:
            a[k, 2] = a[k, 0] + 0.5 * (a[k, 1] - a[k, 0]) + rng.uniform(-1e-3, 1e-3, 3)
        elif f == 1:
            a[k, 2] = a[k, 0] + rng.uniform(-1, 2) * (a[k, 1] - a[k, 0])
        elif f == 2:
            a[k, 1] = a[k, 0]
        if rng.random() < 0.5:
            a[k], b[k] = b[k].copy(), a[k].copy()
    return a, b


@pytest.mark.parametrize("seed", [21, 22])
def test_crossings_against_exact_arithmetic(seed):
    a, b = crossing_pairs(700, np.random.default_rng(seed))
    got = records(a, b)
    counts = {}
    for k in range(len(a)):
        exact = exact_crossing(a[k], b[k])
        r = got[k]
        if exact is None:
            # The fifteen features alone, to the bit.
            expected = np.array(kernel(a[k], b[k], 0.0, 1e-12, crossings=False))
            assert r.view(np.uint64).tolist() == expected.view(np.uint64).tolist(), k
            counts["apart"] = counts.get("apart", 0) + 1
            continue
        code, point = exact
        scale = max(1.0, np.abs([a[k], b[k]]).max())
        assert r[0] == 0.0 and r[8] == code, (k, r, code)
        assert r[2:5].tolist() == r[5:8].tolist()
        assert np.abs(r[2:5] - np.array([float(x) for x in point])).max() <= 1e-12 * scale, (k, r, point)
        counts[code] = counts.get(code, 0) + 1
    assert counts["apart"] > 300 and all(counts.get(c, 0) > 5 for c in range(15, 20)), counts


# ---------------------------------------------------------------- arguments and result

M1, O1, TWO = np.array([ROOF], np.float64), np.array([ROOF], np.float64) + [0, 0, 1], np.zeros((2, 3, 3))


@pytest.mark.parametrize("args, error, message", [
    ((M1.astype(np.float32), O1), ValueError, F64 % "moving"),
    ((TWO, M1.astype(np.float32)), ValueError, F64 % "obstacle"),  # lengths later
    ((TWO, O1), ValueError, "batch dimensions must match"),
    ((M1, TWO), ValueError, "batch dimensions must match"),
])
def test_argument_checks_in_order(args, error, message):
    refused(zn.triangle_distance_batch, args + (0.0, 1e-12) * (len(args) == 2), error, message, NAMES)


def test_result_layout_and_helper():
    empty = np.zeros((0, 3, 3))
    assert zn.triangle_distance_batch(empty, empty, 0.0, 1e-12) == b""
    a, b = nearby_pairs(64, np.random.default_rng(5))
    raw = zn.triangle_distance_batch(a, b, 1e-9, 1e-12)
    table = zet_native.triangle_distances(a, b, 1e-9, 1e-12)
    assert type(raw) is bytes and table.dtype.itemsize == 72 and table.tobytes() == raw
