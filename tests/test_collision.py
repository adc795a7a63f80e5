"""translation_triangle_ccd_batch: a second kernel written here, compared bit for bit on
random nearby pairs; contact windows against an exact brute force
over sampled parameters; hand-derived outcomes; the argument checks and their order."""

import ctypes
import math

import numpy as np
import pytest

import _zet_native as zn
from reference_ccd import max_as_written as _max, min_as_written as _min, ref_kernel

TOLS = (1e-9, 1e-9, 1e-6)  # abs_tol, rel_tol, sin_tol


def batch(moving, obstacle, velocity, paths, tols=TOLS):
    moving = np.ascontiguousarray(moving, np.float64).reshape(-1, 3, 3)
    obstacle = np.ascontiguousarray(obstacle, np.float64).reshape(-1, 3, 3)
    paths = np.ascontiguousarray(paths, np.float64).reshape(-1, 2)
    return zn.translation_triangle_ccd_batch(moving, obstacle, np.array(velocity, np.float64),
                                             paths, *tols)


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
    """Triangles around nearby centres in several families: free floats, lattice points
    (exactly parallel edges, coplanar faces, collinear vertices), lattice points nudged by
    1e-10 (nearly parallel edges), both in one plane, and tiny or needle triangles."""
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
    p[small, 2] = np.where(rng.random((small.sum(), 1)) < 0.5,
                           (p[small, 0] + p[small, 1]) / 2 + 1e-11, p[small, 2])
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
    rng = np.random.default_rng(seed)
    n = 1000
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
    """The z = 0 / z = 5 result: only the face normal moves; the window is where the gap
    5 is within 2 tol, evaluated as the widened bounds are."""
    enter, exit_ = _max(t0, (5.0 - tol) - (0.0 + tol)), _min(t1, (5.0 + tol) - (0.0 - tol))
    return (status, enter, exit_, strict, _max(t0, 5.0), _min(t1, 5.0), axes, skipped, reason)


@pytest.mark.parametrize("tols", [TOLS, (1e-6, 1e-3, 1e-6), (0.0, 0.0, 0.0)])
@pytest.mark.parametrize("flip_moving, flip_obstacle", [(False, False), (True, False), (False, True)])
def test_worked_example_exact_window(tols, flip_moving, flip_obstacle):
    moving = P[::-1] if flip_moving else P  # either orientation of the face normals
    obstacle = Q5[::-1] if flip_obstacle else Q5
    tol = 5.0 * tols[1] + tols[0]
    got = one(moving, obstacle, [0, 0, 1], 0, 10, tols)
    assert got == lifted(tol)
    assert got[1] == pytest.approx(5 - 2 * tol, abs=1e-15) and got[2] == pytest.approx(5 + 2 * tol, abs=1e-15)
    # Moving away: the face normal's window lies before t0, so the first axis separates.
    assert one(moving, obstacle, [0, 0, -1], 0, 10, tols) == (1, 0.0, 10.0, 0, 0.0, 10.0, 1, 0, 5)
    # Standing still: the first axis separates with its gap of 5.
    assert one(moving, obstacle, [0, 0, 0], 0, 10, tols) == (1, 0.0, 10.0, 0, 0.0, 10.0, 1, 0, 4)


@pytest.mark.parametrize("velocity, reason", [
    ([0, 0, 7e-4], 4),    # |s| within max(1, speed) * rel_tol: the gap of 5 never closes
    ([0, 0, 1.5e-3], 5),  # moving, but it would take 5 / 1.5e-3 > 10 to arrive
    ([3000, 0, 2.5], 4),  # the limit grows with the speed: 3000 * rel_tol
    ([3000, 0, 3.5], 5),
])
def test_static_limit(velocity, reason):
    got = one(P, Q5, velocity, 0, 10, (0.0, 1e-3, 1e-6))
    assert got == (1, 0.0, 10.0, 0, 0.0, 10.0, 1 if reason == 4 else got[6], 0, reason)


TOL = 5.0 * 1e-9 + 1e-9


@pytest.mark.parametrize("t0, t1, expected", [
    (5.0, 5.0, lifted(TOL, 5.0, 5.0)),
    (4.0, 4.0, (1, 4.0, 4.0, 0, 4.0, 4.0, 1, 0, 5)),
    # Inside the widened window only: the strict window keeps narrowing to [5 + tol, 5].
    (5.0 + TOL, 5.0 + TOL, lifted(TOL, 5.0 + TOL, 5.0 + TOL, strict=0)),
    (5.5, 7.0, (1, 5.5, 7.0, 0, 5.5, 7.0, 1, 0, 5)),
    (-3.0, 5.0, lifted(TOL, -3.0, 5.0)),
])
def test_worked_example_on_short_intervals(t0, t1, expected):
    assert one(P, Q5, [0, 0, 1], t0, t1) == expected


@pytest.mark.parametrize("delta, sin_tol, skipped, axes", [
    (1e-9, 1e-6, 1, 6),  # sine 5e-10: rejected and counted
    (1e-9, 0.0, 0, 6),   # accepted, then dropped as a repeat of the face normal
    (1e-3, 1e-6, 0, 7),  # clearly not parallel
    (0.0, 1e-6, 0, 6),   # exactly parallel: no direction at all, not counted
])
def test_nearly_parallel_edges(delta, sin_tol, skipped, axes):
    # f0 = (2, delta, 0) against e0 = (4, 0, 0). Unless delta is large, the in-plane normals
    # nA x e0 and nB x f0 repeat each other and the list has 6 axes instead of 7.
    obstacle = [[1, 1, 5], [3, 1 + delta, 5], [1.2, 3, 5]]
    tols = (1e-9, 1e-9, sin_tol)
    status, reason = (2, 6) if skipped else (0, 0)
    expected = lifted(TOL, axes=axes, skipped=skipped, status=status, reason=reason)
    assert one(P, obstacle, [0, 0, 1], 0, 10, tols) == expected


@pytest.mark.parametrize("obstacle, count", [(Q5, 17), ([[1, 1, 5], [3, 1, 5], [1.2, 3, 5]], 16)])
def test_no_usable_axis(obstacle, count):
    # A sine is never above 2, so every candidate with a direction is skipped.
    got = one(P, obstacle, [0, 0, 1], 0.25, 0.75, (1e-9, 1e-9, 2.0))
    assert got == (2, 0.25, 0.75, 0, 0.25, 0.75, count, count, 3)


@pytest.mark.parametrize("moving, obstacle, expected_axis", [
    (P, [[1, 1, 5], [3, 1, 5], [1, 3, 5]], 1),
    # Coplanar, side by side along x: normals and edge directions coincide or repeat;
    # the list is nA, nA x e0 = y (overlap), nA x e1 = -(x + y)/sqrt 2, which separates.
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[5, 0, 0], [6, 0, 0], [5, 1, 0]], 3),
    # A tilted obstacle that crosses the plane z = 0 beside the moving triangle: its own
    # normal (-2, -2, 1) / 3 puts it at -3 and the moving triangle within [-2/3, 0].
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[2, 2, -1], [3, 2, 1], [2, 3, 1]], 2),
])
def test_static_separated(moving, obstacle, expected_axis):
    got = one(moving, obstacle, [0, 0, 0], 0.5, 2.0)
    assert got == (1, 0.5, 2.0, 0, 0.5, 2.0, expected_axis, 0, 4)
    assert same(got, ref_kernel(moving, obstacle, [0.0] * 3, 0.5, 2.0, *TOLS))


@pytest.mark.parametrize("moving, obstacle, strict", [
    # Crossing planes: the obstacle pierces the moving triangle along a short segment.
    ([[-1, -1, 0], [2, -1, 0], [-1, 2, 0]], [[0, -0.5, -1], [0, 0.5, -1], [0, 0, 1]], 1),
    # Coplanar, overlapping with positive area.
    (P, [[1, 1, 0], [5, 1, 0], [1, 5, 0]], 1),
    # Coplanar, identical.
    (P, P, 1),
    # Sharing one vertex, in different planes.
    (P, [[0, 0, 0], [-1, -1, 3], [-2, 1, 2]], None),
    # Apart by 1e-10, below the tolerance: contact, but no exact overlap.
    (P, [[1, 1, 1e-10], [3, 1.5, 1e-10], [1.2, 3, 1e-10]], 0),
])
def test_static_intersecting(moving, obstacle, strict):
    got = one(moving, obstacle, [0, 0, 0], 0.25, 0.75)
    assert got[:3] == (0, 0.25, 0.75) and got[4:6] == (0.25, 0.75) and got[7:] == (0, 0)
    assert strict is None or got[3] == strict


@pytest.mark.parametrize("moving, obstacle, tols, reason", [
    ([[0, 0, 0], [1, 1, 1], [2, 2, 2]], [[NAN] * 3] * 3, TOLS, 1),  # obstacle never read
    (P, [[0, 0, 5], [1, 0, 5], [3, 0, 5]], TOLS, 2),
    (P, [[1, 1, 1]] * 3, TOLS, 2),
    # Longest edge 5e-10, not above abs_tol: degenerate whatever the shape.
    ([[0, 0, 0], [5e-10, 0, 0], [0, 5e-10, 0]], P, TOLS, 1),
    ([[0, 0, 0], [5e-10, 0, 0], [0, 5e-10, 0]], P, (0.0, 0.0, 0.0), None),
    # Needle: doubled area 1e-10 against rel_tol * L^2 = 1e-9.
    ([[0, 0, 0], [1, 0, 0], [0.5, 1e-10, 0]], P, TOLS, 1),
    ([[0, 0, 0], [1, 0, 0], [0.5, 1e-10, 0]], P, (1e-12, 1e-12, 1e-12), None),
])
def test_degenerate_triangles(moving, obstacle, tols, reason):
    got = one(moving, obstacle, [0, 0, 1], -1.0, 3.0, tols)
    if reason is None:
        assert got[8] not in (1, 2)
    else:
        assert got == (2, -1.0, 3.0, 0, -1.0, 3.0, 0, 0, reason)


# ---------------------------------------------------------------- brute force

def int_axes(p, q):
    """The 17 candidate axes of integer triangles, exactly, as (n, 17, 3) int64."""
    e = np.stack([p[:, 1] - p[:, 0], p[:, 2] - p[:, 1], p[:, 0] - p[:, 2]], 1)
    f = np.stack([q[:, 1] - q[:, 0], q[:, 2] - q[:, 1], q[:, 0] - q[:, 2]], 1)
    na = np.cross(p[:, 1] - p[:, 0], p[:, 2] - p[:, 0])
    nb = np.cross(q[:, 1] - q[:, 0], q[:, 2] - q[:, 0])
    edge_edge = np.cross(e[:, :, None], f[:, None, :]).reshape(-1, 9, 3)
    return np.concatenate([na[:, None], nb[:, None], edge_edge,
                           np.cross(na[:, None], e), np.cross(nb[:, None], f)], 1)


def brute_force(p, q, v, ks, n_steps):
    """Whether the closed triangles p + (k / n_steps) v and q meet, for every k of ks, as
    (n, len(ks)) bools, by separating axes on exact integers (axis pairs with no direction
    project everything to 0 and separate nothing). Also "deep": every axis with a direction
    overlaps by a positive amount, so no rounding can make the pair look apart."""
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
    rng = np.random.default_rng(7)
    n_steps, per_velocity = 32, 60
    ks = np.arange(-n_steps, n_steps + 1)
    ts = ks / n_steps
    velocities = [[0, 0, 0], [0, 0, 1], [3, -2, 1], [-4, 4, -3], [1, 0, 0], [2, 3, 4]]
    tols = (1e-9, rel_tol, 1e-9)
    counts = dict.fromkeys(["contact", "separated", "sampled hits", "deep"], 0)
    for velocity in velocities:
        p = rng.integers(-3, 4, (per_velocity, 3, 3))
        q = rng.integers(-3, 4, (per_velocity, 3, 3))
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
F64 = "%s must be a C-contiguous float64 array"
SHAPE = "%s has an invalid shape"


def unaligned(a):
    out = np.frombuffer(bytearray(a.nbytes + 1), np.float64, offset=1).reshape(a.shape)
    out[...] = a
    return out


@pytest.mark.parametrize("which, make, message", [
    (2, lambda a: a.reshape(1, 3), F64),
    (2, lambda a: np.zeros(4), SHAPE),
    (0, lambda a: (ctypes.c_double * 3 * 3 * len(a)).from_buffer_copy(a), F64),  # '<d'
    (0, unaligned, F64),  # '=d'
    (1, lambda a: a.astype(">f8"), F64),
    (1, lambda a: a.astype(np.float32), F64),
    (0, lambda a: a.reshape(len(a), 9), F64),
    (0, lambda a: np.zeros((1, 3, 2)), SHAPE),
    (3, lambda a: np.zeros((1, 3)), SHAPE),
    (3, lambda a: np.zeros((2, 2, 2))[:, 0], None),  # not contiguous: the exporter refuses
    (0, lambda a: a.tolist(), None),
])
def test_refused_arrays(which, make, message):
    args = [M1, O1, V, T1]
    args[which] = make(args[which])
    with pytest.raises((ValueError, TypeError, BufferError)) as caught:
        zn.translation_triangle_ccd_batch(*args, *TOLS)
    names = ("moving", "obstacle", "velocity", "paths")
    if message is None:
        assert not any(name in str(caught.value) for name in names)
    else:
        assert caught.type is ValueError and str(caught.value) == message % names[which]


BAD_F32 = M1.astype(np.float32)


@pytest.mark.parametrize("args, error, message", [
    ((BAD_F32, O1.astype(np.float32), V, T1) + TOLS, ValueError, F64 % "moving"),
    ((M1, np.zeros((2, 3, 2)), V.reshape(1, 3), T1) + TOLS, ValueError, SHAPE % "obstacle"),
    ((M1, O1, V.reshape(1, 3), np.zeros((1, 3))) + TOLS, ValueError, F64 % "velocity"),
    ((M1, np.zeros((2, 3, 3)), V, np.zeros((2, 3))) + TOLS, ValueError, SHAPE % "paths"),
    ((M1, np.zeros((2, 3, 3)), V, T1) + TOLS, ValueError, "batch dimensions must match"),
    ((M1, O1, V, np.zeros((2, 2))) + TOLS, ValueError, "batch dimensions must match"),
    ((np.zeros((2, 3, 3)), O1, V, T1) + TOLS, ValueError, "batch dimensions must match"),
    ((M1, O1, V, T1, 1e-9, 1e-9), TypeError, None),
    ((M1, O1, V, T1, 1e-9, "1e-9", 1e-6), TypeError, None),
    ((BAD_F32, O1, V, T1, 1e-9, "1e-9", 1e-6), TypeError, None),  # parsing comes first
])
def test_check_order(args, error, message):
    with pytest.raises(error) as caught:
        zn.translation_triangle_ccd_batch(*args)
    assert message is None or str(caught.value) == message


def test_empty_batch_and_result_shape():
    empty = np.zeros((0, 3, 3))
    assert zn.translation_triangle_ccd_batch(empty, empty, V, np.zeros((0, 2)), *TOLS) == []
    got = zn.translation_triangle_ccd_batch(np.repeat(M1, 3, 0), np.repeat(O1, 3, 0), V,
                                            np.array([[0.0, 10], [10, 0], [5, 5]]), *TOLS)
    assert isinstance(got, list) and len(got) == 3
    assert [type(x) for x in got[0]] == [int, float, float, int, float, float, int, int, int]
    assert got[0] == lifted(TOL) and got[2] == lifted(TOL, 5.0, 5.0)
    assert got[1][8] == 5  # t0 > t1 is not refused; the window is empty at once
