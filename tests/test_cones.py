"""pair_cones, cone_groups and cone_wedges against numpy ports, byte for byte; worked groups; checks in
order; the companion ConeGroups helpers."""

import numpy as np
import pytest
from support import INF, NAN, refused

import _zet_native as zn
import zet_native

EPS52, SWEEPS = 2.0**-52, 60
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NaN and inf in the ports
PAIRS = [(i, j) for i in range(9) for j in range(i + 1, 9)]


def dot(x, y):
    return x[..., 0] * y[..., 0] + x[..., 1] * y[..., 1] + x[..., 2] * y[..., 2]


def cross(a, b):
    return np.stack([a[..., 1] * b[..., 2] - a[..., 2] * b[..., 1], a[..., 2] * b[..., 0] - a[..., 0] * b[..., 2],
                     a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]], -1)


def column_dot(x, y):
    s = np.zeros(len(x))
    for r in range(9):
        s = s + x[:, r] * y[:, r]
    return s


def full_rank(g, tol):
    """One-sided Jacobi on the columns of every 9 x 3 matrix at once; groups stop one by one."""
    a, n = np.ascontiguousarray(np.moveaxis(g, 2, 1)), len(g)
    active = np.ones(n, bool)
    for _ in range(SWEEPS):
        rotated = np.zeros(n, bool)
        for p, q in ((0, 1), (0, 2), (1, 2)):
            ap, aq = a[:, p].copy(), a[:, q].copy()
            alpha, beta, gamma = column_dot(ap, ap), column_dot(aq, aq), column_dot(ap, aq)
            rot = active & ~(EPS52 * np.sqrt(alpha * beta) >= np.abs(gamma))
            zeta = (beta - alpha) / (2.0 * gamma)
            t = np.where(zeta >= 0, 1.0, -1.0) / (np.abs(zeta) + np.sqrt(1.0 + zeta * zeta))
            c = 1.0 / np.sqrt(1.0 + t * t)
            s = c * t
            a[:, p] = np.where(rot[:, None], c[:, None] * ap - s[:, None] * aq, ap)
            a[:, q] = np.where(rot[:, None], s[:, None] * ap + c[:, None] * aq, aq)
            rotated |= rot
        active &= rotated
        if not active.any():
            break
    norms = np.sqrt(np.stack([column_dot(a[:, c], a[:, c]) for c in range(3)], 1))
    bad = np.isnan(norms).any(1)
    smax, smin = np.where(bad, NAN, norms.max(1)), np.where(bad, NAN, norms.min(1))
    return (smax > 0) & (smin > smax * tol)


def groups_ref(g, live, rank_tol, facet_tol):
    """Facets, blocks_all, cap axes and cap cosines of groups given as (n, 9, 3) rows and live flags."""
    n = len(g)
    full = full_rank(g, rank_tol)
    normals = cross(g[:, [i for i, _ in PAIRS]], g[:, [j for _, j in PAIRS]])
    length = np.sqrt(dot(normals, normals))
    usable = length > rank_tol
    normals = np.where(usable[..., None], normals / length[..., None], normals)
    facets, count = np.zeros((n, 73, 3)), np.zeros(n, np.int64)
    for k in range(72):
        cand = (1.0 if k < 36 else -1.0) * normals[:, k % 36]
        m = np.full(n, -INF)
        for s in range(9):
            d = dot(cand, g[:, s])
            m = np.where(live[:, s] & ((d > m) | np.isnan(d)), d, m)
        hit = full & usable[:, k % 36] & (facet_tol >= m)
        facets[np.flatnonzero(hit), count[hit]] = cand[hit]
        count += hit
    f = int(count.max(initial=0))
    blocks = full & (count == 0)
    s = np.zeros((n, 3))
    for k in range(9):
        s = s + np.where(live[:, k], 1.0, 0.0)[:, None] * g[:, k]
    length = np.sqrt(dot(s, s))
    normalised = length > 1e-12
    axis = np.where(normalised[:, None], s / length[:, None], s)
    c = np.full(n, INF)
    for k in range(9):
        d = dot(axis, g[:, k])
        c = np.where(live[:, k] & ((d < c) | np.isnan(d)), d, c)
    return [f, g, live, facets[:, :f], np.arange(f) < count[:, None], blocks, axis,
            np.where(normalised & ~blocks, c, -2.0)]


def pair_ref(moving, obstacle, epsilon, rank_tol, facet_tol):
    d = obstacle[:, [0, 0, 0, 1, 1, 1, 2, 2, 2]] - moving[:, [0, 1, 2] * 3]
    length = np.sqrt(dot(d, d))
    live = length > epsilon[:, None]
    g = np.where(live[..., None], d / length[..., None], 0.0)
    has = live.any(1)
    return [has] + groups_ref(g[has], live[has], rank_tol, facet_tol)


def packed(values):
    """Reference arrays in the packed layout of the result tuple."""
    has, f, *arrays = values
    return [has.astype(np.uint8).tobytes(), f] + [np.ascontiguousarray(
        a.astype(np.uint8) if a.dtype == bool else a).tobytes() for a in arrays]


def random_pairs(n, seed):
    """Random pairs with short differences, shared vertices, coplanar and non-finite pairs mixed in."""
    rng = np.random.default_rng(seed)
    moving = rng.normal(size=(n, 3, 3))
    obstacle = moving[:, ::-1] + rng.normal(size=(n, 1, 3)) * rng.uniform(0, 2, (n, 1, 1))
    epsilon = rng.choice([0.0, 1e-9, 0.3, 1.0], n)
    tiny = rng.random(n) < 0.15  # every difference below epsilon: no group
    obstacle[tiny] = moving[tiny][:, rng.permutation(3)] + rng.normal(scale=1e-10, size=(tiny.sum(), 3, 3))
    epsilon[tiny] = rng.choice([1e-9, 1e-6], tiny.sum())
    shared = rng.random(n) < 0.1  # some differences vanish, others do not
    obstacle[shared, 0] = moving[shared, 1]
    flat = rng.random(n) < 0.1
    moving[flat, :, 2] = obstacle[flat, :, 2] = 0.5
    special = rng.random((n, 3, 3)) < 0.003
    obstacle[special] = np.resize([NAN, INF, -INF, 1e300], special.sum())
    epsilon[rng.random(n) < 0.02] = NAN
    return moving, obstacle, epsilon


def random_groups(n, seed):
    """Unit generators with dead slots holding rows; coplanar, opposite, axis and NaN groups."""
    rng = np.random.default_rng(seed)
    g = rng.normal(size=(n, 9, 3))
    g /= np.sqrt(dot(g, g))[..., None]
    g[rng.random(n) < 0.2, :, 2] *= 1e-12  # nearly coplanar
    flat = rng.random(n) < 0.1
    g[flat, :, 1] = 0.0
    narrow = rng.random(n) < 0.2
    g[narrow] = g[narrow] * 0.1 + [0.0, 0.0, 1.0]
    opposite = rng.random(n) < 0.1
    g[opposite, 1] = -g[opposite, 0]
    axes = np.vstack([np.eye(3), -np.eye(3), np.zeros((3, 3))])
    g[rng.random(n) < 0.05] = axes
    g[rng.random((n, 9)) < 0.005] = NAN
    mask = rng.random((n, 9)) < rng.uniform(0.2, 1.0, (n, 1))
    mask[opposite, :2], mask[opposite, 2:] = True, False
    return g, mask


TOLS = [(1e-9, 0.0), (1e-9, -1e-9), (1e-3, 1e-9), (0.3, 0.05)]


@pytest.mark.parametrize("rank_tol, facet_tol", TOLS)
def test_pair_cones_bytes_match_reference(rank_tol, facet_tol):
    moving, obstacle, epsilon = random_pairs(700, 1)
    got = zn.pair_cones(moving, obstacle, epsilon, rank_tol, facet_tol)
    expected = packed(pair_ref(moving, obstacle, epsilon, rank_tol, facet_tol))
    assert list(got) == expected
    has = np.frombuffer(got[0], np.uint8)
    assert 0 < has.sum() < len(has) and (got[1] > 0) == (facet_tol >= 0)  # no facet below its own plane


@pytest.mark.parametrize("rank_tol, facet_tol", TOLS)
def test_cone_groups_bytes_match_reference(rank_tol, facet_tol):
    g, mask = random_groups(700, 2)
    got = zn.cone_groups(g, mask, rank_tol, facet_tol)
    assert list(got) == packed([np.ones(len(g), bool)] + groups_ref(g, mask, rank_tol, facet_tol))
    blocks = np.frombuffer(got[6], np.uint8)
    assert 0 < blocks.sum() < len(blocks)


def groups_of(g, mask, rank_tol=1e-9, facet_tol=0.0):
    r = zn.cone_groups(np.asarray(g, float).reshape(-1, 9, 3), np.asarray(mask, bool).reshape(-1, 9),
                       rank_tol, facet_tol)
    return (r[1], np.frombuffer(r[4]).reshape(len(r[0]), r[1], 3), np.frombuffer(r[6], np.uint8),
            np.frombuffer(r[7]).reshape(-1, 3), np.frombuffer(r[8]))


def padded(rows, live=None):
    g = np.zeros((9, 3))
    g[:len(rows)] = rows
    mask = np.zeros(9, bool)
    mask[:len(rows)] = True if live is None else live
    return g, mask


def test_worked_groups():
    f, facets, blocks, axis, cap = groups_of(*padded(np.eye(3)))
    assert f == 3 and facets[0].tolist() == [[0, -1, 0], [0, 0, -1], [-1, 0, 0]]
    assert blocks[0] == 0 and axis[0] == pytest.approx([3**-0.5] * 3) and cap[0] == pytest.approx(3**-0.5)
    assert np.array_equal(axis[0], np.ones(3) / np.sqrt(3.0)) and cap[0] == axis[0] @ [1.0, 0, 0]
    f, _, blocks, _, cap = groups_of(*padded(np.eye(3)), facet_tol=-1e-9)
    assert (f, blocks[0], cap[0]) == (0, 1, -2.0)
    f, _, blocks, _, cap = groups_of(*padded(np.vstack([np.eye(3), -np.eye(3)])))  # +-e: all blocked
    assert (f, blocks[0], cap[0]) == (0, 1, -2.0)
    f, _, blocks, axis, cap = groups_of(*padded([[1, 0, 0], [0, 1, 0], [0.6, 0.8, 0]]))  # coplanar
    assert (f, blocks[0]) == (0, 0) and cap[0] == 1.6 / np.sqrt(1.6 * 1.6 + 1.8 * 1.8)
    f, _, blocks, axis, cap = groups_of(*padded([[0, 0, 1], [0, 0, -1]]))  # opposite
    assert (f, blocks[0], cap[0]) == (0, 0, -2.0) and np.all(axis[0] == 0)
    g, mask = padded(np.eye(3))
    r = zn.cone_groups(g[None], (mask.view(np.uint8) * 2).view(bool)[None], 1e-9, 0.0)  # any nonzero byte is live
    assert r[3] == bytes([1, 1, 1] + [0] * 6) and r[1] == 3
    f, facets, blocks, _, cap = groups_of(*padded(np.eye(3), live=False))  # rows seen, no live generator
    assert f == 6 and blocks[0] == 0 and cap[0] == -2.0  # every usable candidate is a facet


def test_compaction_and_empty_input():
    moving = np.zeros((5, 3, 3))
    obstacle = moving.copy()
    obstacle[[1, 3], 0] = [[1, 0, 0], [0, 2, 0]]  # only pairs 1 and 3 have generators
    r = zn.pair_cones(moving, obstacle, np.full(5, 1e-9), 1e-9, 0.0)
    assert r[0] == bytes([0, 1, 0, 1, 0]) and r[1] == 0 and len(r[2]) == 2 * 27 * 8
    gens = np.frombuffer(r[2]).reshape(2, 9, 3)
    assert gens[:, :3].tolist() == [[[1, 0, 0]] * 3, [[0, 1, 0]] * 3] and not gens[:, 3:].any()
    assert r[3] == bytes([1, 1, 1, 0, 0, 0, 0, 0, 0] * 2) and np.frombuffer(r[8]).tolist() == [1.0, 1.0]
    assert zn.pair_cones(np.zeros((0, 3, 3)), np.zeros((0, 3, 3)), np.zeros(0), 1e-9, 0.0) == \
        (b"", 0, b"", b"", b"", b"", b"", b"", b"")
    assert zn.cone_groups(np.zeros((0, 9, 3)), np.zeros((0, 9), bool), 1e-9, 0.0)[1:] == (0,) + (b"",) * 7


def wedges_ref(g, mask):
    out = [[], [], [], []]
    for i in range(g.shape[1]):
        for j in range(i + 1, g.shape[1]):
            a, b = g[:, i], g[:, j]
            n = cross(a, b)
            length = np.sqrt(dot(n, n))
            use = mask[:, i] & mask[:, j] & (length > 1e-12)
            u = n / np.where(use, length, 1.0)[:, None]
            for k, v in enumerate((u, cross(b, u), cross(u, a), use.astype(np.uint8))):
                out[k].append(v)
    return [np.stack(v, 1).tobytes() if v else b"" for v in out]


@pytest.mark.parametrize("k", [0, 1, 2, 4, 9, 13])
def test_wedges_match_reference(k):
    rng = np.random.default_rng(k)
    g, mask = random_groups(300, k)
    g = np.ascontiguousarray(np.concatenate([g, g[:, ::-1]], 1)[:, :k])
    mask = np.ascontiguousarray(np.concatenate([mask, mask], 1)[:, :k])
    g[rng.random(300) < 0.1, :, :] = g[:1]  # parallel copies
    got = zn.cone_wedges(g, mask)
    assert list(got) == wedges_ref(g, mask)
    assert len(got[3]) == 300 * k * (k - 1) // 2


def test_wedge_order_geometry_and_empty():
    g = np.array([[[1.0, 0, 0], [0, 1, 0], [0, 0, 2], [2, 0, 0]]])
    planes, first, second, usable = (np.frombuffer(x, t) for x, t in zip(
        zn.cone_wedges(g, np.array([[True, True, True, False]])), ["d"] * 3 + ["u1"]))
    planes = planes.reshape(6, 3)
    assert usable.tolist() == [1, 1, 0, 1, 0, 0]  # (0,1) (0,2) (0,3) (1,2) (1,3) (2,3)
    assert planes[:4].tolist() == [[0, 0, 1], [0, -1, 0], [0, 0, 0], [1, 0, 0]]
    assert planes[4].tolist() == [0, 0, -2] and planes[5].tolist() == [0, 4, 0]  # raw when unusable
    assert first.reshape(6, 3)[0].tolist() == [1, 0, 0] and second.reshape(6, 3)[0].tolist() == [0, 1, 0]
    assert zn.cone_wedges(np.zeros((3, 1, 3)), np.ones((3, 1), bool)) == (b"",) * 4
    huge = np.zeros((0, 2**40, 3))  # K (K - 1) / 2 would overflow; with no group nothing is made
    assert zn.cone_wedges(huge, np.zeros((0, 2**40), bool)) == (b"",) * 4


M, O, E = random_pairs(4, 3)
G, K = random_groups(4, 3)


@pytest.mark.parametrize("args, error, message", [
    ((M, O[:1], E, 1e-9, 0.0), ValueError, "pair arrays must have the same length"),
    ((M, O, E[:3], 1e-9, 0.0), ValueError, "pair arrays must have the same length"),
])
def test_pair_cones_check_order(args, error, message):
    refused(zn.pair_cones, args, error, message, ("moving", "obstacle", "epsilon"))


@pytest.mark.parametrize("call, args, message", [
    ("cone_groups", (np.zeros((4, 8, 3)), K), "generators has an invalid shape"),
    ("cone_groups", (G, K.view("u1")), "generator_mask has an unsupported dtype or rank"),
    ("cone_groups", (G, np.ones((4, 8), bool)), "generator_mask has an invalid shape"),
    ("cone_groups", (G, np.ones((5, 9), bool)), "generator mask shape does not match generators"),
    ("cone_wedges", (G, K.view("i1")), "generator_mask has an unsupported dtype or rank"),
    ("cone_wedges", (G, np.ones((4, 10), bool)), "generator mask shape does not match generators"),
    ("cone_wedges", (G, np.ones((3, 9), bool)), "generator mask shape does not match generators"),
])
def test_group_checks_in_order(call, args, message):
    extra = (1e-9, 0.0) if call == "cone_groups" else ()
    refused(getattr(zn, call), args + extra, ValueError, message, ("generators", "generator_mask"))


def test_companion_cone_groups():
    moving, obstacle, epsilon = random_pairs(60, 9)
    has, groups = zet_native.pair_cone_groups(moving, obstacle, epsilon, kinds=np.arange(60) % 2,
                                              shifts=np.arange(60.0))
    raw = zn.pair_cones(moving, obstacle, epsilon, 1e-9, zet_native.FACET_TOLERANCE)
    g = int(has.sum())
    assert has.dtype == bool and has.tobytes() == raw[0] and 0 < g < 60
    assert groups.kinds.dtype == np.int8 and groups.kinds.tolist() == (np.arange(60) % 2)[has].tolist()
    assert groups.shifts.tolist() == np.arange(60.0)[has].tolist()
    assert groups.generators.shape == (g, 9, 3) and groups.facets.shape == (g, raw[1], 3)
    assert groups.facet_mask.dtype == bool and groups.cap_axes.shape == (g, 3) and groups.wedge_mask.shape == (g, 36)
    assert groups.wedge_normals.tobytes() == zn.cone_wedges(groups.generators, groups.generator_mask)[0]
    assert groups.cap_cos.tobytes() == raw[8] and groups.blocks_all.tobytes() == raw[6]
    bare = zet_native.generator_cone_groups(G, K, kinds=1, shifts=0.5, wedges=False)
    assert bare.wedge_mask is None and bare.kinds.tolist() == [1] * 4 and bare.shifts.tolist() == [0.5] * 4
    full = zet_native.with_wedges(bare)
    assert full.wedge_first_sides.shape == (4, 36, 3) and all(a is b for a, b in zip(full[:7], bare[:7]))
    assert full.wedge_second_sides.tobytes() == zn.cone_wedges(G, K)[2]
    assert [f for f in zet_native.ConeGroups._fields][:7] == [
        "kinds", "generators", "generator_mask", "facets", "facet_mask", "blocks_all", "shifts"]
