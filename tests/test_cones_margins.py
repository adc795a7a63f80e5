"""cone_margins and cone_cap_lower_bounds against numpy ports, byte for byte; worked values; distances to
cones; cap bounds below nearby margins; empty slot counts; checks in order; the companion helpers."""

import math

import numpy as np
import pytest
from support import DTYPE, INF, NAN, refused
from test_cones import dot

import _zet_native as zn
import zet_native

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN and inf in the ports
HALF_PI = math.pi / 2


def unit(v):
    return v / np.sqrt(dot(v, v))[..., None]


def margins_ref(u, selected, groups, common_shift=0.0):
    """The margin of every direction against every selected group, all (N, S) at once."""
    kinds, gen, gmask, facets, fmask, blocks, shifts, planes, first, second, wmask = \
        (np.asarray(a)[selected] for a in groups[:11])
    u = u[:, None, None, :]
    fd = dot(facets[None], u)
    f = np.full(fd.shape[:2], -INF)
    for s in range(fd.shape[2]):
        f = np.where(fmask[None, :, s] & (fd[..., s] > f), fd[..., s], f)
    d = dot(gen[None], u)
    ray = np.where(d >= 0, np.sqrt(np.maximum(0.0, 1.0 - d * d)), 1.0)
    over = (dot(first[None], u) >= 0) & (dot(second[None], u) >= 0)
    wedge = np.abs(dot(planes[None], u))
    candidates = np.concatenate([np.where(gmask[None] & ~np.isnan(ray), ray, INF),
                                 np.where(wmask[None] & over & ~np.isnan(wedge), wedge, INF)], 2)
    outside = candidates.min(2, initial=INF)
    value = np.where((kinds != 0) | (fmask.any(1) & (f <= 0)), f, outside)
    return np.where(blocks, -1.0, value) - (shifts + common_shift)


def caps_ref(u, selected, axes, cos, blocks, shifts, radius, common_shift=0.0):
    """Cap lower bounds with acos and sin from libm, clamps that keep a NaN."""
    def clamped_acos(c):
        c = np.where(-1.0 > c, -1.0, c)
        return np.array(list(map(math.acos, np.where(1.0 < c, 1.0, c).ravel().tolist()))).reshape(c.shape)
    axes, cos, blocks, shifts = axes[selected], cos[selected], blocks[selected], shifts[selected]
    x = clamped_acos(dot(axes[None], u[:, None])) - clamped_acos(cos) - (radius[:, None] if len(radius) > 1 else radius[0])
    capped = np.where(x < HALF_PI, x, HALF_PI)
    v = np.where(x > 0, np.array(list(map(math.sin, capped.ravel().tolist()))).reshape(x.shape), -1.0)
    return np.where((cos > 1e-9) & ~blocks, v, -INF) - (shifts + common_shift)


def margins(u, selected, groups, common_shift=0.0):
    raw = zn.cone_margins(u, np.asarray(selected, np.int64), *groups[:11], common_shift)
    return np.frombuffer(raw).reshape(len(u), len(selected))


def caps(u, selected, groups, radius, common_shift=0.0):
    raw = zn.cone_cap_lower_bounds(u, np.asarray(selected, np.int64), groups.cap_axes, groups.cap_cos, groups.blocks_all,
                                   groups.shifts, radius, common_shift)
    return np.frombuffer(raw).reshape(len(u), len(selected))


def pair_groups(n, seed, facet_tolerance=0.0):
    """Groups of random triangle pairs: near and far obstacles, vertices closer than epsilon."""
    rng = np.random.default_rng(seed)
    moving = rng.normal(size=(n, 3, 3))
    obstacle = moving + rng.normal(size=(n, 1, 3)) * rng.uniform(0.2, 4, (n, 1, 1)) + 0.4 * rng.normal(size=(n, 3, 3))
    obstacle[::5, 0] = moving[::5, 1]  # a dead slot
    epsilon = np.where(rng.random(n) < 0.2, 1.0, 0.0)
    return zet_native.pair_cone_groups(moving, obstacle, epsilon, facet_tolerance=facet_tolerance, kinds=rng.random(n) < 0.2,
                                       shifts=rng.uniform(-0.1, 0.1, n)).groups


def input_groups(n, seed):
    """Groups of random unit generators whose dead rows keep their values, plus two fixed groups."""
    rng = np.random.default_rng(seed)
    g = unit(rng.normal(size=(n, 9, 3)) + rng.normal(size=(n, 1, 3)) * rng.uniform(0, 3, (n, 1, 1)))
    mask = rng.random((n, 9)) < 0.6
    g[0], mask[0] = 0.0, False
    g[0, :6], mask[0, :6] = np.vstack([np.eye(3), -np.eye(3)]), True  # blocks_all
    g[1], mask[1] = np.vstack([np.eye(3), np.zeros((6, 3))]), np.arange(9) < 3  # the positive octant
    return zet_native.generator_cone_groups(g, mask, kinds=(rng.random(n) < 0.2).astype(np.int8),
                                            shifts=rng.uniform(-0.1, 0.1, n))


def directions(n, seed, groups=None):
    rng = np.random.default_rng(seed)
    u = unit(rng.normal(size=(n, 3)))
    if groups is not None:  # exactly on generators, exactly opposite, and a NaN
        u[:20] = groups.generators[:20, 0]
        u[20:40] = -groups.generators[:20, 1]
        u[40] = NAN
    return np.ascontiguousarray(u)


@pytest.mark.parametrize("make", [pair_groups, input_groups])
def test_margins_and_caps_match_reference(make):
    groups = make(400, 1)
    assert groups.blocks_all.any() and groups.facet_mask.any() and (groups.kinds != 0).any()
    u = directions(120, 2, groups)
    selected = np.random.default_rng(3).integers(0, len(groups.kinds), 150)
    got = margins(u, selected, groups, 0.25)
    assert got.tobytes() == margins_ref(u, selected, groups, 0.25).tobytes()
    assert (got > 0).any() and (got < -0.25).any() and np.isinf(got).any()
    radius = np.random.default_rng(4).uniform(0, 0.3, len(u))
    for r in (radius, radius[:1], np.array([0.0])):
        got = caps(u, selected, groups, r, -0.5)
        expected = caps_ref(u, selected, groups.cap_axes, groups.cap_cos, groups.blocks_all, groups.shifts, r, -0.5)
        assert got.tobytes() == expected.tobytes()
    assert np.isinf(got).any() and (got == -1.0 - (groups.shifts[selected] - 0.5)).any() and (got > 0).any()


def test_few_directions_take_the_slot_lanes():
    """One or two directions at a time (their margins take a group's slots on the lanes) against
    the reference, the zero direction included: its facet values are -0 and +0 in slot order,
    and the first largest zero decides the sign of a kinds != 0 margin."""
    groups = input_groups(300, 7)
    fmask = groups.facet_mask.copy()
    fmask[1::2, 0], fmask[2::4, :2] = False, False  # the first live facet in another lane than slot 0's
    groups = groups._replace(shifts=np.where(np.arange(300) % 3 == 0, 0.0, groups.shifts), facet_mask=fmask)
    u = np.vstack([np.zeros((1, 3)), directions(60, 8, groups)[15:45], [[0.0, -0.0, 1.0]]])
    selected = np.r_[np.arange(300), np.arange(300)[::-7]]
    expected = margins_ref(u, selected, groups)
    for rows in ([0], [0, 1], [3], [4, 5], list(range(len(u)))):
        got = margins(u[rows], selected, groups)
        assert got.tobytes() == expected[rows].tobytes()
    zero = expected[0][groups.kinds[selected] != 0]
    assert (np.signbit(zero) & (zero == 0)).any() and (~np.signbit(zero) & (zero == 0)).any()


def test_worked_values():
    groups = input_groups(2, 0)  # group 1: e_x, e_y, e_z
    assert groups.facets[1, :3].tolist() == [[0, -1, 0], [0, 0, -1], [-1, 0, 0]]
    s = 1 / np.sqrt(3.0)
    u = np.array([[s, s, s], [-1, 0, 0], [s, s, -s], [1, 0, 0]])
    plain = groups._replace(shifts=np.zeros(2), kinds=np.zeros(2, np.int8))
    assert margins(u, [1], plain).ravel().tolist() == [-s, 1.0, s, 0.0]
    assert margins(u, [0, 0], plain, 0.5).tolist() == [[-1.5, -1.5]] * 4  # blocks_all
    assert margins(u, [0], plain._replace(shifts=np.array([0.25, 0.0]))).ravel().tolist() == [-1.25] * 4
    flat = plain._replace(facet_mask=np.zeros_like(plain.facet_mask), kinds=np.ones(2, np.int8))
    assert margins(u, [1], flat).ravel().tolist() == [-INF] * 4  # kinds != 0 without a live facet
    cap = plain._replace(cap_axes=np.array([[0, 0, 1.0]] * 2), cap_cos=np.array([math.cos(0.1)] * 2),
                         blocks_all=np.zeros(2, bool))
    e = np.array([[1.0, 0, 0], [1, 0, 0], [0, 0, 1], [0, 0, -1]])
    got = caps(e, [1], cap, np.array([0, 0.2, 0, 0])).ravel()
    assert got[0] == pytest.approx(math.cos(0.1), abs=1e-15) and got[1] == pytest.approx(math.cos(0.3), abs=1e-15)
    assert got[2:].tolist() == [-1.0, 1.0]
    for cos, blocks in ((-2.0, False), (1e-9, False), (0.5, True)):
        none = cap._replace(cap_cos=np.array([cos] * 2), blocks_all=np.array([blocks] * 2))
        assert caps(e, [1], none, np.zeros(1), 3.0).ravel().tolist() == [-INF] * 4


def test_caps_at_the_edges_of_their_certain_outcomes():
    """Directions a hair inside and outside the angles where the bound turns -1 (theta = rho + alpha)
    and where it stops growing (theta = rho + alpha + pi/2), for caps from 0 to almost 90 degrees and
    radii inside, at the edge of and outside [0, 1.5], NaN included: every bound is the formula's."""
    rng = np.random.default_rng(11)
    cap_cos = np.array([1.0, 1.5, math.cos(0.3), math.cos(1.2), 2e-9, math.nextafter(1.0, 0.0)])
    axes = unit(rng.normal(size=(len(cap_cos), 3)))
    radii = [0.0, 1e-3, 0.7, 1.5, math.nextafter(1.5, 2), 3.0, -0.1, NAN]
    steps = [0.0, 1e-16, 1e-12, 5e-10, 1e-9, 2e-9, 1e-8, 1e-6]
    u, r = [], []
    for axis, c in zip(axes, cap_cos):
        side = unit(np.cross(axis, rng.normal(size=3)))
        for alpha in radii:
            for edge in (0.0, HALF_PI):
                for step in steps + [-s for s in steps[1:]]:
                    theta = math.acos(min(1.0, c)) + alpha + edge + step
                    u.append(math.cos(theta) * axis + math.sin(theta) * side)
                    r.append(alpha)
    u, r = np.array(u), np.array(r)
    blocks, shifts = np.zeros(len(cap_cos), bool), rng.uniform(-0.1, 0.1, len(cap_cos))
    for selected in (np.arange(len(cap_cos)), np.repeat(np.arange(len(cap_cos)), 3)):  # short and long rows
        for radius in (r, r[:1], np.array([0.7])):
            got = zn.cone_cap_lower_bounds(u, selected, axes, cap_cos, blocks, shifts, radius, 0.25)
            expected = caps_ref(u, selected, axes, cap_cos, blocks, shifts, radius, 0.25)
            assert got == expected.tobytes()
    assert (expected == -1.25 - shifts[selected]).any() and (expected == 0.75 - shifts[selected]).any()


def wedge_distance(u, a, b):
    """Distance from u to the cone of a and b: the nearest of the apex, the rays and the plane
    projection when its coefficients are non-negative, each a norm of a difference."""
    best = np.linalg.norm(u)
    for r in (a, b):
        best = min(best, np.linalg.norm(u - max(0.0, u @ r) * r))
    coef = np.linalg.lstsq(np.stack([a, b], 1), u, rcond=None)[0]
    if (coef >= 0).all():
        best = min(best, np.linalg.norm(u - coef[0] * a - coef[1] * b))
    return best


def test_margin_outside_is_distance_to_cone():
    rng = np.random.default_rng(5)
    g, mask = np.zeros((40, 9, 3)), np.zeros((40, 9), bool)
    g[:, :2], mask[:, :2] = unit(rng.normal(size=(40, 2, 3))), True
    groups = zet_native.generator_cone_groups(g, mask)
    assert not groups.facet_mask.any()
    u = directions(60, 6)
    got = margins(u, np.arange(40), groups)
    expected = [[wedge_distance(d, *g[j, :2]) for j in range(40)] for d in u]
    assert got == pytest.approx(np.array(expected), abs=1e-12)
    octant = input_groups(2, 0)._replace(shifts=np.zeros(2), kinds=np.zeros(2, np.int8))
    octant = margins(u, [1], octant).ravel()
    outside = (u < 0).any(1)
    assert octant[outside] == pytest.approx(np.linalg.norm(np.minimum(u[outside], 0), axis=1), abs=1e-15)
    assert octant[~outside].tolist() == (-u[~outside].min(1)).tolist()


def test_cap_bound_never_exceeds_nearby_margin():
    rng = np.random.default_rng(7)
    groups = pair_groups(300, 8, 1e-12)  # no facet lost to rounding
    groups = groups._replace(kinds=np.zeros_like(groups.kinds), shifts=np.zeros_like(groups.shifts))
    selected = np.flatnonzero(groups.cap_cos > 1e-9)
    centres = directions(30, 9)
    for alpha in (0.0, 0.05, 0.3):
        bound = caps(centres, selected, groups, np.array([alpha]))
        assert (bound > 0).any()
        for i, c in enumerate(centres):
            side = unit(np.cross(c, rng.normal(size=(40, 3))))
            turn = rng.uniform(0, alpha, (40, 1))
            turn[:5] = alpha
            near = np.ascontiguousarray(np.cos(turn) * c + np.sin(turn) * side)
            assert (bound[i] <= margins(near, selected, groups).min(0) + 1e-12).all()


def test_empty_slot_counts_and_grids():
    g = 3
    slots, flags = np.zeros((g, 0, 3)), np.zeros((g, 0), bool)
    empty = zet_native.ConeGroups(np.array([0, 1, 0], np.int8), slots, flags, slots, flags, np.array([0, 0, 1], bool),
                                  np.array([0.5, 0.0, 0.0]), slots, slots, slots, flags, np.zeros((g, 3)), np.full(g, -2.0))
    u = directions(4, 14)
    assert margins(u, [0, 1, 2], empty).tolist() == [[INF, -INF, -1.0]] * 4
    assert caps(u, [0, 2], empty, np.zeros(4)).tolist() == [[-INF, -INF]] * 4
    groups = input_groups(5, 15)
    for k, f, w in ((0, 2, 3), (9, 0, 36), (9, 4, 0)):
        cut = groups._replace(facets=np.zeros((5, f, 3)), facet_mask=np.zeros((5, f), bool), **{
            name: getattr(groups, name)[:, :k if name.startswith("generator") else w].copy() for name in
            ("generators", "generator_mask", "wedge_normals", "wedge_first_sides", "wedge_second_sides", "wedge_mask")})
        assert margins(u, np.arange(5), cut).tobytes() == margins_ref(u, np.arange(5), cut).tobytes()
    none = np.zeros(0, np.int64)
    assert zn.cone_margins(np.zeros((0, 3)), np.array([0]), *groups[:11], 0.0) == b""
    assert zn.cone_margins(u, none, *groups[:11], 0.0) == b""
    assert zn.cone_margins(u, none, *[a[:0] for a in empty[:11]], 0.0) == b""
    assert zn.cone_cap_lower_bounds(np.zeros((0, 3)), np.array([0]), np.zeros((1, 3)), np.ones(1), np.zeros(1, bool),
                                    np.zeros(1), np.zeros(0), 0.0) == b""
    assert zn.cone_cap_lower_bounds(u, none, np.zeros((0, 3)), np.zeros(0), np.zeros(0, bool), np.zeros(0),
                                    np.zeros(1), 0.0) == b""


GR = input_groups(3, 16)
MARGIN_ARGS = [directions(2, 17), np.array([0, 2]), *GR[:11], 0.0]
MARGIN_CASES = [  # (argument, bad value, error, message) in the order of the checks
    (12, GR.wedge_mask.astype(float), ValueError, DTYPE % "wedge_mask"),
    (3, np.zeros((4, 9, 3)), ValueError, "cone constraint arrays have inconsistent shapes"),
    (4, np.ones((3, 8), bool), ValueError, "cone constraint arrays have inconsistent shapes"),
    (8, np.zeros(2), ValueError, "cone constraint arrays have inconsistent shapes"),
    (12, np.ones((3, 35), bool), ValueError, "cone constraint arrays have inconsistent shapes"),
    (10, np.zeros((3, 35, 3)), ValueError, "wedge arrays have inconsistent shapes"),
    (11, np.zeros((2, 36, 3)), ValueError, "wedge arrays have inconsistent shapes"),
    (1, np.array([0, 3]), IndexError, "selected group index is out of range"),
    (1, np.array([-1]), IndexError, "selected group index is out of range"),
]
CAP_ARGS = [directions(3, 18), np.array([0, 2]), GR.cap_axes, GR.cap_cos, GR.blocks_all, GR.shifts, np.ones(3), 0.0]
CAP_CASES = [
    (6, np.ones((3, 1)), ValueError, DTYPE % "angular_radius"),
    (3, np.zeros(4), ValueError, "cap bound arrays have inconsistent shapes"),
    (5, np.zeros(2), ValueError, "cap bound arrays have inconsistent shapes"),
    (6, np.ones(2), ValueError, "cap bound arrays have inconsistent shapes"),
    (1, np.array([-1, 0]), IndexError, "selected group index is out of range"),
]


@pytest.mark.parametrize("call, base, cases", [(zn.cone_margins, MARGIN_ARGS, MARGIN_CASES),
                                               (zn.cone_cap_lower_bounds, CAP_ARGS, CAP_CASES)])
def test_checks_in_order(call, base, cases):
    for i, (at, bad, error, message) in enumerate(cases):
        args = list(base)
        for later, value, _, _ in reversed(cases[i + 1:]):  # every later failure too: the first wins
            if later != at:
                args[later] = value
        args[at] = bad
        refused(call, args, error, message, ())
    refused(call, base[:-1], TypeError, None, ("vectors", "directions"))


def test_companion_helpers():
    groups = pair_groups(80, 19)
    u, selected = directions(30, 20), np.arange(0, len(groups.kinds), 3)
    got = zet_native.margins(u, selected, groups, 0.5)
    assert got.shape == (30, len(selected)) and got.tobytes() == margins(u, selected, groups, 0.5).tobytes()
    assert zet_native.margins(u, selected, groups._replace(wedge_mask=None)).tobytes() == margins(u, selected, groups).tobytes()
    bound = zet_native.cap_bounds(u, selected.tolist(), groups, 0.1, 0.5)
    assert bound.shape == (30, len(selected)) and bound.tobytes() == caps(u, selected, groups, np.array([0.1]), 0.5).tobytes()
    per = np.linspace(0, 0.2, 30)
    assert zet_native.cap_bounds(u, selected, groups, per).tobytes() == caps(u, selected, groups, per).tobytes()
