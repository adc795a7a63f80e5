"""translation_triangle_ccd_batch against reference_ccd and an exact brute force; hand cases; arguments."""

import math

import numpy as np
import pytest
from reference_ccd import max_as_written as _max
from reference_ccd import min_as_written as _min
from reference_ccd import ref_kernel
from support import SHAPE, refused

import _zet_native as zn
import zet_native

TOLS = (1e-9, 1e-9, 1e-6)  # abs_tol, rel_tol, sin_tol


def batch(moving, obstacle, velocity, paths, tols=TOLS):
    moving, obstacle, velocity, paths = (np.array(x, np.float64) for x in (moving, obstacle, velocity, paths))
    return zn.translation_triangle_ccd_batch(moving.reshape(-1, 3, 3), obstacle.reshape(-1, 3, 3), velocity,
                                             paths.reshape(-1, 2), *tols)


def one(moving, obstacle, velocity, t0, t1, tols=TOLS):
    return batch(moving, obstacle, velocity, [t0, t1], tols)[0]


# ---------------------------------------------------------------- comparison

def same(got, expected):
    """Field by field: equal types, equal ints, equal float bits (any NaN matches a NaN)."""
    assert len(got) == 9
    for g, x in zip(got, expected):
        assert type(g) is type(x)
        if isinstance(x, float) and math.isnan(x):
            assert math.isnan(g)
        else:
            assert g == x and math.copysign(1.0, g) == math.copysign(1.0, x)
    return True


def nearby_pairs(n, rng):
    """Families: free floats, lattice points (parallel edges, coplanar faces, collinear vertices), lattice
    points nudged by 1e-10 (nearly parallel edges), both in one plane, tiny or needle triangles."""
    family = rng.integers(0, 5, n)
    centre = rng.uniform(-1, 1, (n, 1, 3))
    p = centre + rng.uniform(-1, 1, (n, 3, 3)) * rng.choice([0.1, 1, 10], (n, 1, 1))
    q = centre + rng.uniform(-1.5, 1.5, (n, 3, 3))
    lattice = family == 1
    p[lattice], q[lattice] = rng.integers(-2, 3, (2, lattice.sum(), 3, 3))
    nudged = family == 2
    p[nudged] = rng.integers(-2, 3, (nudged.sum(), 3, 3)) + rng.normal(0, 1e-10, (nudged.sum(), 3, 3))
    q[nudged] = rng.integers(-2, 3, (nudged.sum(), 3, 3))
    flat = family == 3
    p[flat, :, 2], q[flat, :, 2] = 0.5, rng.choice([0.5, 0.5 + 1e-12, 2.0], (flat.sum(), 1))
    small = family == 4
    p[small] = p[small, :1] + (p[small] - p[small, :1]) * rng.choice([1e-10, 1e-6], (small.sum(), 1, 1))
    p[small, 2] = np.where(rng.random((small.sum(), 1)) < 0.5, (p[small, 0] + p[small, 1]) / 2 + 1e-11, p[small, 2])
    return p, q


@pytest.mark.parametrize("seed, tols, reasons", [
    (1, TOLS, {0, 1, 2, 4, 5, 6}),
    (2, (0.0, 0.0, 0.0), {0, 1, 2, 4, 5}),
    (3, (1e-3, 1e-4, 1e-2), {0, 1, 2, 4, 5, 6}),
    (4, (1e-12, 1e-12, 1e-9), {0, 1, 2, 4, 5}),
    # Lattice edges at right angles have a sine of exactly 1, which sin_tol = 1 rejects.
    (5, (1e-9, 1e-9, 1.0), {1, 2, 3, 6}),
])
def test_bit_exact_against_reference_kernel(seed, tols, reasons):
    rng, n = np.random.default_rng(seed), 1000
    p, q = nearby_pairs(n, rng)
    paths = np.sort(rng.uniform(-2, 2, (n, 2)), axis=1)
    paths[::17] = paths[::17, ::-1]  # rows with t0 > t1 go to the kernel unchanged
    paths[1::19, 1] = paths[1::19, 0]
    seen = set()
    for velocity in ([0.3, -1.2, 0.7], [0.0, 0.0, 0.0], [0.0, 0.0, 1e-10]):
        got = batch(p, q, velocity, paths, tols)
        for i, result in enumerate(got):
            expected = ref_kernel(p[i].tolist(), q[i].tolist(), velocity, *paths[i].tolist(), *tols)
            assert same(result, expected), i
            if result[8] in (0, 6) and paths[i, 0] <= paths[i, 1]:
                assert paths[i, 0] <= result[1] <= result[2] <= paths[i, 1]
            seen.add(result[8])
    assert seen >= reasons


NAN, INF = math.nan, math.inf
P = [[0, 0, 0], [4, 0, 0], [0, 4, 0]]


def test_non_finite_inputs_match_reference():
    # Every one of the 26 scalar inputs in turn, as NaN, +inf and -inf.
    rows = P + [[1, 1, 5], [3, 1, 5], [1, 3, 5], [0, 0, 1], [0, 10], TOLS]
    base = [float(x) for row in rows for x in row]
    for k in range(26):
        for bad in (NAN, INF, -INF):
            x = base.copy()
            x[k] = bad
            p, q, v = [x[0:3], x[3:6], x[6:9]], [x[9:12], x[12:15], x[15:18]], x[18:21]
            got = one(p, q, v, x[21], x[22], tuple(x[23:26]))
            assert same(got, ref_kernel(p, q, v, *x[21:26])), (k, bad)


# ---------------------------------------------------------------- hand-derived outcomes

Q5 = [[1, 1, 5], [3, 1.5, 5], [1.2, 3, 5]]  # over P in the plane z = 5, no edge parallel to P's


def lifted(tol, t0=0.0, t1=10.0, strict=1, axes=7, skipped=0, status=0, reason=0):
    """P against Q5 moving up: only the face normal moves; the window is where the gap 5 is within 2 tol."""
    enter, exit_ = _max(t0, (5.0 - tol) - (0.0 + tol)), _min(t1, (5.0 + tol) - (0.0 - tol))
    return (status, enter, exit_, strict, _max(t0, 5.0), _min(t1, 5.0), axes, skipped, reason)


TOL = 5.0 * 1e-9 + 1e-9
STATIC = (0.0, 1e-3, 1e-6)
Q5_FLAT = [[1, 1, 5], [3, 1, 5], [1.2, 3, 5]]  # f0 parallel to e0
APART = (1, 0.0, 10.0, 0, 0.0, 10.0, 1, 0, 5)
DEGENERATE = (2, -1.0, 3.0, 0, -1.0, 3.0, 0, 0)


def nudged(delta):  # f0 = (2, delta, 0) against e0 = (4, 0, 0)
    return [[1, 1, 5], [3, 1 + delta, 5], [1.2, 3, 5]]


@pytest.mark.parametrize("moving, obstacle, velocity, t0, t1, tols, expected", [
    # Either orientation of either face normal. Rising, the window is where the gap 5 is within 2 tol;
    # moving away it lies before t0 and standing still the gap stays 5, so the first axis separates.
    *[(m, o, [0, 0, vz], 0, 10, tols, lifted(5.0 * tols[1] + tols[0]) if vz == 1 else APART[:8] + (4 + vz * vz,))
      for m, o in [(P, Q5), (P[::-1], Q5), (P, Q5[::-1])] for vz in (1, -1, 0)
      for tols in [TOLS, (1e-6, 1e-3, 1e-6), (0.0, 0.0, 0.0)]],
    # |s| within max(1, speed) * rel_tol: the gap of 5 never closes; moving, it would take 5 / 1.5e-3 > 10.
    (P, Q5, [0, 0, 7e-4], 0, 10, STATIC, APART[:8] + (4,)),
    (P, Q5, [0, 0, 1.5e-3], 0, 10, STATIC, APART),
    # The limit grows with the speed (3000 * rel_tol); the in-plane axis nA x e1 separates.
    (P, Q5, [3000, 0, 2.5], 0, 10, STATIC, APART[:8] + (4,)),
    (P, Q5, [3000, 0, 3.5], 0, 10, STATIC, APART[:6] + (3, 0, 5)),
    # Short intervals; inside the widened window only, the strict window narrows to [5 + tol, 5].
    (P, Q5, [0, 0, 1], 5.0, 5.0, TOLS, lifted(TOL, 5.0, 5.0)),
    (P, Q5, [0, 0, 1], 4.0, 4.0, TOLS, (1, 4.0, 4.0, 0, 4.0, 4.0, 1, 0, 5)),
    (P, Q5, [0, 0, 1], 5.0 + TOL, 5.0 + TOL, TOLS, lifted(TOL, 5.0 + TOL, 5.0 + TOL, strict=0)),
    (P, Q5, [0, 0, 1], 5.5, 7.0, TOLS, (1, 5.5, 7.0, 0, 5.5, 7.0, 1, 0, 5)),
    (P, Q5, [0, 0, 1], -3.0, 5.0, TOLS, lifted(TOL, -3.0, 5.0)),
    # Nearly parallel edges: unless delta is large, nA x e0 and nB x f0 repeat each other (6 axes).
    (P, nudged(1e-9), [0, 0, 1], 0, 10, TOLS, lifted(TOL, axes=6, skipped=1, status=2, reason=6)),  # sine 5e-10
    (P, nudged(1e-9), [0, 0, 1], 0, 10, (1e-9, 1e-9, 0.0), lifted(TOL, axes=6)),  # accepted, then a repeat
    (P, nudged(1e-3), [0, 0, 1], 0, 10, TOLS, lifted(TOL)),
    (P, nudged(0.0), [0, 0, 1], 0, 10, TOLS, lifted(TOL, axes=6)),  # no direction at all, not counted
    # A sine is never above 2: every candidate with a direction is skipped.
    (P, Q5, [0, 0, 1], 0.25, 0.75, (1e-9, 1e-9, 2.0), (2, 0.25, 0.75, 0, 0.25, 0.75, 17, 17, 3)),
    (P, Q5_FLAT, [0, 0, 1], 0.25, 0.75, (1e-9, 1e-9, 2.0), (2, 0.25, 0.75, 0, 0.25, 0.75, 16, 16, 3)),
    # Static and apart. Coplanar side by side: nA, nA x e0 = y (overlap), nA x e1 separates.
    (P, [[1, 1, 5], [3, 1, 5], [1, 3, 5]], [0, 0, 0], 0.5, 2.0, TOLS, (1, 0.5, 2.0, 0, 0.5, 2.0, 1, 0, 4)),
    (P[:1] + [[1, 0, 0], [0, 1, 0]], [[5, 0, 0], [6, 0, 0], [5, 1, 0]], [0, 0, 0], 0.5, 2.0, TOLS,
     (1, 0.5, 2.0, 0, 0.5, 2.0, 3, 0, 4)),
    # A tilted obstacle crossing z = 0 beside it: its normal (-2, -2, 1) / 3 puts it at -3, the moving
    # triangle within [-2/3, 0].
    (P[:1] + [[1, 0, 0], [0, 1, 0]], [[2, 2, -1], [3, 2, 1], [2, 3, 1]], [0, 0, 0], 0.5, 2.0, TOLS,
     (1, 0.5, 2.0, 0, 0.5, 2.0, 2, 0, 4)),
    # Static and in contact (None: not derived here): crossing planes, the obstacle piercing the moving
    # triangle; coplanar with positive area; identical; one shared vertex; 1e-10 apart, within tolerance.
    ([[-1, -1, 0], [2, -1, 0], [-1, 2, 0]], [[0, -0.5, -1], [0, 0.5, -1], [0, 0, 1]], [0, 0, 0], 0.25, 0.75, TOLS,
     (0, 0.25, 0.75, 1, 0.25, 0.75, None, 0, 0)),
    (P, [[1, 1, 0], [5, 1, 0], [1, 5, 0]], [0, 0, 0], 0.25, 0.75, TOLS, (0, 0.25, 0.75, 1, 0.25, 0.75, None, 0, 0)),
    (P, P, [0, 0, 0], 0.25, 0.75, TOLS, (0, 0.25, 0.75, 1, 0.25, 0.75, None, 0, 0)),
    (P, [[0, 0, 0], [-1, -1, 3], [-2, 1, 2]], [0, 0, 0], 0.25, 0.75, TOLS,
     (0, 0.25, 0.75, None, 0.25, 0.75, None, 0, 0)),
    (P, [[1, 1, 1e-10], [3, 1.5, 1e-10], [1.2, 3, 1e-10]], [0, 0, 0], 0.25, 0.75, TOLS,
     (0, 0.25, 0.75, 0, 0.25, 0.75, None, 0, 0)),
    # Degenerate moving (1; the obstacle is never read) or obstacle (2) triangles: collinear, a point,
    # longest edge 5e-10 (not above abs_tol), a needle of doubled area 1e-10 (against rel_tol L^2 = 1e-9).
    ([[0, 0, 0], [1, 1, 1], [2, 2, 2]], [[NAN] * 3] * 3, [0, 0, 1], -1.0, 3.0, TOLS, DEGENERATE + (1,)),
    (P, [[0, 0, 5], [1, 0, 5], [3, 0, 5]], [0, 0, 1], -1.0, 3.0, TOLS, DEGENERATE + (2,)),
    (P, [[1, 1, 1]] * 3, [0, 0, 1], -1.0, 3.0, TOLS, DEGENERATE + (2,)),
    ([[0, 0, 0], [5e-10, 0, 0], [0, 5e-10, 0]], P, [0, 0, 1], -1.0, 3.0, TOLS, DEGENERATE + (1,)),
    ([[0, 0, 0], [5e-10, 0, 0], [0, 5e-10, 0]], P, [0, 0, 1], -1.0, 3.0, (0.0, 0.0, 0.0), (0,) + (None,) * 6 + (0, 0)),
    ([[0, 0, 0], [1, 0, 0], [0.5, 1e-10, 0]], P, [0, 0, 1], -1.0, 3.0, TOLS, DEGENERATE + (1,)),
    ([[0, 0, 0], [1, 0, 0], [0.5, 1e-10, 0]], P, [0, 0, 1], -1.0, 3.0, (1e-12,) * 3, (0,) + (None,) * 6 + (0, 0)),
])
def test_hand_derived_outcomes(moving, obstacle, velocity, t0, t1, tols, expected):
    got = one(moving, obstacle, velocity, t0, t1, tols)
    floats = [np.array(x, float).tolist() for x in (moving, obstacle, velocity)]
    assert all(e is None or g == e for g, e in zip(got, expected))
    assert same(got, ref_kernel(*floats, float(t0), float(t1), *tols))


# ---------------------------------------------------------------- brute force

def int_axes(p, q):
    """The 17 candidate axes of integer triangles, exactly, as (n, 17, 3) int64."""
    e = np.stack([p[:, 1] - p[:, 0], p[:, 2] - p[:, 1], p[:, 0] - p[:, 2]], 1)
    f = np.stack([q[:, 1] - q[:, 0], q[:, 2] - q[:, 1], q[:, 0] - q[:, 2]], 1)
    na = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    nb = np.cross(q[:, 1] - q[:, 0], q[:, 2] - q[:, 0])
    edge_edge = np.cross(e[:, :, None], f[:, None, :]).reshape(-1, 9, 3)
    return np.concatenate([na[:, None], nb[:, None], edge_edge, np.cross(na[:, None], e), np.cross(nb[:, None], f)], 1)


def brute_force(p, q, v, ks, n_steps):
    """Whether p + (k / n_steps) v and q meet for each k of ks, by separating axes on exact integers; and
    "deep": every axis with a direction overlaps by a positive amount, so no rounding can part them."""
    axes = int_axes(p, q)
    pa = np.einsum("nad,nvd->nav", axes, p)[..., None] * n_steps + \
        np.einsum("nad,d->na", axes, v)[:, :, None, None] * ks  # (n, 17, 3, K)
    pb = np.einsum("nad,nvd->nav", axes, q)[..., None] * n_steps
    lo_a, hi_a, lo_b, hi_b = pa.min(2), pa.max(2), pb.min(2), pb.max(2)
    depth = np.minimum(hi_a - lo_b, hi_b - lo_a)
    has_direction = axes.any(2)[:, :, None]
    meets = (depth >= 0).all(1)
    deep = ((depth > 0) | ~has_direction).all(1)
    return meets, deep


@pytest.mark.parametrize("rel_tol", [1e-15, 1e-9])
def test_window_against_brute_force(rel_tol):
    rng, n_steps, per_velocity, tols = np.random.default_rng(7), 32, 60, (1e-9, rel_tol, 1e-9)
    ks = np.arange(-n_steps, n_steps + 1)
    ts = ks / n_steps
    counts = dict.fromkeys(["contact", "separated", "sampled hits", "deep"], 0)
    for velocity in [[0, 0, 0], [0, 0, 1], [3, -2, 1], [-4, 4, -3], [1, 0, 0], [2, 3, 4]]:
        p, q = rng.integers(-3, 4, (2, per_velocity, 3, 3))
        planar = rng.random(per_velocity) < 0.3  # coplanar or parallel faces
        p[planar, :, 2] = rng.integers(-1, 2, (planar.sum(), 1))
        q[planar, :, 2] = rng.integers(-1, 2, (planar.sum(), 1))
        got = batch(p, q, velocity, np.tile([-1.0, 1.0], (per_velocity, 1)), tols)
        meets, deep = brute_force(p, q, np.array(velocity), ks, n_steps)
        for i, (status, enter, exit_, strict, s_enter, s_exit, _, skipped, reason) in enumerate(got):
            if reason in (1, 2):
                continue
            hits = ts[meets[i]]
            assert skipped == 0  # integer edges are never nearly parallel
            if status == 1:
                counts["separated"] += 1
                assert hits.size == 0, (i, velocity)
                continue
            counts["contact"] += 1
            counts["sampled hits"] += hits.size
            assert status == 0 and np.all((enter <= hits) & (hits <= exit_)), (i, velocity)
            if rel_tol == 1e-15:
                # No two distinct integer axes are this close to parallel, so the list is
                # complete and the window is the contact interval, widened by at most
                # 2 tol / |s| with |s| >= 1 / 3600.
                inside = ts[(ts > enter + 1e-4) & (ts < exit_ - 1e-4)]
                assert np.isin(inside, hits).all(), (i, velocity)
            deep_ts = ts[deep[i]]
            if deep_ts.size:
                counts["deep"] += 1
                assert strict == 1, (i, velocity)
                assert np.all((s_enter - 1e-12 <= deep_ts) & (deep_ts <= s_exit + 1e-12)), (i, velocity)
    assert min(counts.values()) > 20, counts


# ---------------------------------------------------------------- arguments

M1 = np.array([P], np.float64)
O1 = np.array([Q5], np.float64)
V = np.array([0.0, 0.0, 1.0])
T1 = np.array([[0.0, 10.0]])
NAMES = ("moving", "obstacle", "velocity", "paths")


@pytest.mark.parametrize("args, error, message", [
    ((M1, np.zeros((2, 3, 3)), V, np.zeros((2, 3))) + TOLS, ValueError, SHAPE % "paths"),
    ((M1, np.zeros((2, 3, 3)), V, T1) + TOLS, ValueError, "batch dimensions must match"),
    ((M1, O1, V, np.zeros((2, 2))) + TOLS, ValueError, "batch dimensions must match"),
    ((np.zeros((2, 3, 3)), O1, V, T1) + TOLS, ValueError, "batch dimensions must match"),
])
def test_argument_checks_in_order(args, error, message):
    refused(zn.translation_triangle_ccd_batch, args, error, message, NAMES)


def test_result_is_a_list_of_tuples():
    empty = np.zeros((0, 3, 3))
    assert zn.translation_triangle_ccd_batch(empty, empty, V, np.zeros((0, 2)), *TOLS) == []
    got = zn.translation_triangle_ccd_batch(np.repeat(M1, 2, 0), np.repeat(O1, 2, 0), V, np.tile(T1, (2, 1)), *TOLS)
    assert type(got) is list and [type(r) for r in got] == [tuple] * 2 and got[1] == lifted(TOL)


@pytest.mark.parametrize("function, args, message", [
    (zet_native.ccd_batch, (M1, M1, V, np.zeros((2, 2))), "moving, obstacle and paths must have one row per pair"),
    (zet_native.triangle_distances, (M1, np.zeros((2, 3, 3))), "moving and obstacle must have one row per pair"),
    (zet_native.overlap_areas, (np.zeros((2, 3, 2)), np.zeros((1, 3, 2))), "subject and clip must have one row per pair"),
    (zet_native.pair_cone_groups, (M1, np.zeros((2, 3, 3))), "moving and obstacle must have one row per pair"),
])
def test_companion_refuses_unequal_rows(function, args, message):
    refused(function, args, ValueError, message, ())
