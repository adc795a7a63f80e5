"""cells_bound_batch against a Python port of the batch visit on the reference margin and cap tables, byte for
byte in both modes; brute-force margins; thread limits; edge cases; checks in order; the companion helper."""

import math

import numpy as np
import pytest
from support import DTYPE, INF, SHAPE, refused
from test_cones_margins import HALF_PI, caps_ref, margins_ref, unit

import _zet_native as zn
import zet_native

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
BIG = 2**63 - 1


def cone_groups(n, seed, kinds=0):
    """Narrow cones around random axes with dead slots, a whole-space group and the octant."""
    rng = np.random.default_rng(seed)
    axes = unit(rng.normal(size=(n, 1, 3)))
    g = unit(axes + rng.uniform(0.05, 0.4, (n, 1, 1)) * rng.normal(size=(n, 9, 3)))
    mask = rng.random((n, 9)) < 0.7
    mask[:, 0] = True
    g[~mask] = 0.0  # dead rows are zero, as pair_cones makes them: the rank test sees live ones only
    g[0], mask[0] = np.vstack([np.eye(3), -np.eye(3), np.zeros((3, 3))]), np.arange(9) < 6
    g[1, :3], mask[1] = np.eye(3), np.arange(9) < 3
    kinds = (rng.random(n) < kinds).astype(np.int8)
    return zet_native.generator_cone_groups(g, mask, 1e-9, 1e-9, kinds=kinds, shifts=rng.uniform(-0.05, 0.05, n))


def cells(sizes, seed, spread=0.1):
    """Cells of each batch clustered around a direction of their own."""
    rng = np.random.default_rng(seed)
    centers = np.vstack([unit(unit(rng.normal(size=3)) + spread * rng.normal(size=(k, 3))) for k in sizes])
    n = len(centers)
    return centers, rng.uniform(0, 0.05, n), rng.uniform(0, 0.1, n)


def offsets(sizes):
    return np.concatenate([[0], np.cumsum(sizes)]).astype(np.int64)


def call(centers, radii, angular, cell_off, relevant, rel_off, chunk, groups, common=0.0):
    values, flags = zn.cells_bound_batch(centers, radii, angular, cell_off, np.asarray(relevant, np.int64), rel_off,
                                         chunk, *groups, common)
    return np.frombuffer(values), np.frombuffer(flags, np.uint8)


def nan_min(running, x):
    return np.where(np.isnan(running), running, np.where(np.isnan(x) | (x < running), x, running))


class Tables:
    """Margins and cap bounds (angular radius 0 and the cells' own) of cells against every group."""

    def __init__(self, centers, angular, groups, common, parts=None):
        if parts is not None:
            self.margin, self.bound, self.reach = parts
            return
        every, caps = np.arange(len(groups.kinds)), (groups.cap_axes, groups.cap_cos, groups.blocks_all, groups.shifts)
        pieces = [(margins_ref(centers[i:i + 100], every, groups, common),
                   caps_ref(centers[i:i + 100], every, *caps, np.zeros(len(centers[i:i + 100])), common),
                   caps_ref(centers[i:i + 100], every, *caps, angular[i:i + 100], common))
                  for i in range(0, len(centers), 100)]
        self.margin, self.bound, self.reach = (np.vstack([p[k] for p in pieces]) for k in range(3))

    def rows(self, c0, nc):
        return Tables(None, None, None, None, [a[c0:c0 + nc] for a in (self.margin, self.bound, self.reach)])


def batch_ref(t, radii, c0, nc, gl, chunk, single, threads):
    """One batch: (values, flags, groups evaluated, margins skipped) exactly as the native visit."""
    ng, rows = len(gl), slice(c0, c0 + nc)
    key = [float(t.bound[rows, g].min(initial=INF)) for g in gl]  # NaN-absorbing
    order = sorted(range(ng), key=lambda j: (math.isnan(key[j]), 0.0 if math.isnan(key[j]) else key[j], j))
    blk = min(max(threads * 32768 // (nc * chunk), 1) * chunk if single else chunk, max(ng, 1))
    values, history, skipped, stop, s = np.full(nc, INF), {}, 0, False, 0
    while s < ng and not stop:
        nb = min(ng - s, blk)
        if key[order[s]] >= values.max(initial=-INF):
            break
        snapshot, block = values.copy(), []
        for m in range(nb):
            g = gl[order[s + m]]
            skip = (t.bound[rows, g] >= snapshot) if single else np.zeros(nc, bool)
            skipped += int(skip.sum())
            block.append((skip, np.where(skip, math.nan, t.margin[rows, g])))
        for start in range(0, nb, chunk):
            if start > 0 and key[order[s + start]] >= values.max(initial=-INF):
                stop = True
                break
            for m in range(start, min(nb, start + chunk)):
                values = np.where(block[m][0], values, nan_min(values, block[m][1]))
                history[order[s + m]] = block[m][1]
        s += nb
    r = radii[rows]
    reach, flags = values + r, np.zeros((nc, ng), np.uint8)
    for j, g in enumerate(gl):
        recorded, lb, m = history.get(j, np.full(nc, math.nan)), t.reach[rows, g], t.margin[rows, g]
        fallback = np.where(reach > lb, np.isnan(m) | (reach > m - r), False) if single else reach > lb
        flags[:, j] = np.where(np.isnan(recorded), fallback, reach > recorded - r)
    return values, flags.ravel(), len(history), skipped


def run_ref(t, radii, sizes, lists, chunk, threads=1):
    """The whole call: every batch, single-batch mode when there is one."""
    out = [batch_ref(t, radii, c0, nc, gl, chunk, len(sizes) == 1, threads)
           for c0, nc, gl in zip(offsets(sizes)[:-1], sizes, lists)]
    values = np.concatenate([o[0] for o in out]) if out else np.zeros(0)
    flags = np.concatenate([o[1] for o in out]) if out else np.zeros(0, np.uint8)
    return values, flags, sum(o[2] for o in out), sum(o[3] for o in out)


def scene(seed, sizes, groups=120, kinds=0.0, common=0.02):
    rng = np.random.default_rng(seed)
    g = cone_groups(groups, seed, kinds)
    centers, radii, angular = cells(sizes, seed + 1)
    lists = [rng.integers(0, groups, rng.integers(0, 40)).tolist() for _ in sizes]
    lists = [lst + [0] if i == 2 else lst for i, lst in enumerate(lists)]  # whole space somewhere
    return g, centers, radii, angular, lists, Tables(centers, angular, g, common), common


SIZES = [1, 40, 7, 3, 25, 2, 12]


def args_of(g, centers, radii, angular, lists, sizes, chunk):
    relevant = np.array([x for lst in lists for x in lst], np.int64)
    return centers, radii, angular, offsets(sizes), relevant, offsets([len(x) for x in lists]), chunk, g


@pytest.mark.parametrize("chunk", [1, 3, 8, 1000, BIG])
@pytest.mark.parametrize("kinds", [0.0, 0.3])
def test_batches_match_reference_in_both_modes(chunk, kinds):
    g, centers, radii, angular, lists, t, common = scene(5, SIZES, kinds=kinds)
    values, flags = call(*args_of(g, centers, radii, angular, lists, SIZES, chunk), common)
    ref_values, ref_flags, evaluated, _ = run_ref(t, radii, SIZES, lists, chunk)
    assert values.tobytes() == ref_values.tobytes() and flags.tobytes() == ref_flags.tobytes()
    assert (evaluated < sum(map(len, lists))) == (chunk <= 8) and 0 < flags.sum() < len(flags)
    for b, (c0, nc) in enumerate(zip(offsets(SIZES), SIZES)):  # each batch alone: single-batch mode
        one = (centers[c0:c0 + nc], radii[c0:c0 + nc], angular[c0:c0 + nc], offsets([nc]),
               lists[b], offsets([len(lists[b])]), chunk, g)
        v, f = call(*one, common)
        rv, rf, _, _ = run_ref(t.rows(c0, nc), one[1], [nc], [lists[b]], chunk, zn.thread_limit())
        assert v.tobytes() == rv.tobytes() and f.tobytes() == rf.tobytes()
        if kinds == 0.0:  # every margin is at least its cap bound: the exact minimum
            assert (t.margin >= t.bound).all()
            brute = zet_native.margins(one[0], lists[b], g, common).min(1, initial=INF)
            assert v.tobytes() == brute.tobytes() == values[c0:c0 + nc].tobytes()


def test_single_batch_thread_limits():
    sizes, common = [1000], 0.02
    g = cone_groups(150, 11)
    centers, radii, angular = cells(sizes, 12, spread=0.3)
    radii = radii * 6  # wide enough for evaluated and skipped groups to settle relevance differently
    lists = [list(range(1, 150)) + list(range(2, 150, 3))]  # 199 positions, no whole-space group
    t = Tables(centers, angular, g, common)
    seen = []
    for limit in (1, 2, 5, 32):
        zn.set_thread_limit(limit)
        got = call(*args_of(g, centers, radii, angular, lists, sizes, 1), common)
        ref_values, ref_flags, evaluated, _ = run_ref(t, radii, sizes, lists, 1, limit)
        assert got[0].tobytes() == ref_values.tobytes() and got[1].tobytes() == ref_flags.tobytes()
        assert 0 < evaluated < len(lists[0])
        seen.append(got)
    # Which margins are evaluated, and so some flags, depend on the thread count; values never do.
    assert len({s[1].tobytes() for s in seen}) > 1
    assert all(s[0].tobytes() == seen[0][0].tobytes() for s in seen)


def test_edge_cases():
    g = cone_groups(10, 3)
    empty = np.zeros(0)
    assert zn.cells_bound_batch(np.zeros((0, 3)), empty, empty, offsets([]), offsets([])[:0], offsets([]), 1,
                                *g, 0.0) == (b"", b"")
    centers, radii, angular = cells([2, 1], 4)
    values, flags = call(centers, radii, angular, offsets([2, 1]), [3, 4], offsets([0, 2]), 1, g)
    assert values[:2].tolist() == [INF, INF] and len(flags) == 2 and np.isfinite(values[2])
    # A whole-space group (key -inf) comes first; with chunk 1 the visit then stops at once.
    centers, radii, angular = cells([5], 6)
    g = g._replace(shifts=np.zeros(10))  # every key is at least -1 - 0.5
    for batches in ([5], [3, 2]):
        values, flags = call(centers, radii, angular, offsets(batches), [4, 5, 0, 6, 7] * len(batches),
                             offsets([5] * len(batches)), 1, g, 0.5)
        assert (values == -1.0 - (g.shifts[0] + 0.5)).all()
        ref = run_ref(Tables(centers, angular, g, 0.5), radii, batches, [[4, 5, 0, 6, 7]] * len(batches), 1)
        assert ref[2] == len(batches) and flags.tobytes() == ref[1].tobytes()
    # NaN shifts: NaN keys go last, a NaN margin makes the cell value NaN and stops the pruning.
    g, centers, radii, angular, lists, _, common = scene(17, SIZES)
    g = g._replace(shifts=np.where(np.arange(120) % 9 == 4, np.nan, g.shifts))
    t = Tables(centers, angular, g, common)
    for chunk, sizes in ((2, SIZES), (1000, SIZES), (2, [90]), (1000, [90])):
        per_batch = lists if len(sizes) > 1 else [sum(lists, [])]
        values, flags = call(*args_of(g, centers, radii, angular, per_batch, sizes, chunk), common)
        ref = run_ref(t, radii, sizes, per_batch, chunk, zn.thread_limit())
        assert (np.isnan(values) == np.isnan(ref[0])).all() and np.isnan(values).any() == (chunk > 2)
        assert values[~np.isnan(values)].tobytes() == ref[0][~np.isnan(values)].tobytes()
        assert flags.tobytes() == ref[1].tobytes()


C, R, A = cells([2, 1], 8)
G = cone_groups(6, 9)
BASE = (C, R, A, offsets([2, 1]), np.array([0, 5, 1], np.int64), offsets([2, 1]), 2, *G, 0.0)
INCONSISTENT, WEDGES = "cell batch arrays have inconsistent shapes", "wedge arrays have inconsistent shapes"
CONSTRAINT = "cone constraint arrays have inconsistent shapes"
SPAN = "batch offsets must span the cell and group arrays"
EMPTY = "every batch needs at least one cell and non-negative groups"


def changed(**kw):
    names = ["centers", "radii", "angular", "cell_offsets", "relevant", "relevant_offsets", "chunk",
             *zet_native.ConeGroups._fields, "common_shift"]
    args = list(BASE)
    for k, v in kw.items():
        args[names.index(k)] = v
    return tuple(args)


@pytest.mark.parametrize("args, error, message", [
    (changed(centers=C.astype("f4"), chunk=0), ValueError, DTYPE % "centers"),
    (changed(cap_axes=np.ascontiguousarray(G.cap_axes[:, :2]), chunk=0), ValueError, SHAPE % "cap_axes"),
    (changed(chunk=0, radii=R[:2]), ValueError, "chunk must be positive"),
    (changed(chunk=-3, shifts=G.shifts[:2]), ValueError, "chunk must be positive"),
    (changed(radii=R[:2], shifts=G.shifts[:2]), ValueError, INCONSISTENT),
    (changed(cell_offsets=np.zeros(0, np.int64), relevant_offsets=np.zeros(0, np.int64)), ValueError, INCONSISTENT),
    (changed(relevant_offsets=offsets([3])), ValueError, INCONSISTENT),
    (changed(cap_cos=G.cap_cos[:5], wedge_normals=G.wedge_normals[:5]), ValueError, CONSTRAINT),
    (changed(generator_mask=np.ascontiguousarray(G.generator_mask[:, :8])), ValueError, CONSTRAINT),
    (changed(wedge_second_sides=np.ascontiguousarray(G.wedge_second_sides[:, :35]), cell_offsets=offsets([1, 1])),
     ValueError, WEDGES),
    (changed(cell_offsets=np.array([1, 2, 3]), relevant=np.array([9])), ValueError, SPAN),
    (changed(cell_offsets=np.array([0, 2, 4])), ValueError, SPAN),
    (changed(relevant_offsets=np.array([0, 2, 4])), ValueError, SPAN),
    (changed(cell_offsets=np.array([0, 3, 3]), relevant=np.array([-1, 0, 0])), ValueError, EMPTY),
    (changed(relevant_offsets=np.array([0, 4, 3])), ValueError, EMPTY),
    (changed(cell_offsets=np.array([0, 2, -2**63, 3]), relevant_offsets=np.array([0, 1, 2, 3])), ValueError, EMPTY),
    (changed(relevant=np.array([0, 6, 1])), IndexError, "relevant group index is out of range"),
    (changed(relevant=np.array([0, -1, 1])), IndexError, "relevant group index is out of range"),
])
def test_checks_in_order(args, error, message):
    refused(zn.cells_bound_batch, args, error, message, ("centers", "radii", "chunk", "offsets", "relevant"))


def test_companion_cell_bounds():
    g, centers, radii, angular, lists, _, common = scene(21, SIZES)
    args = args_of(g, centers, radii, angular, lists, SIZES, 3)
    values, flags = zet_native.cell_bounds(*args, common_shift=common)
    raw = call(*args, common)
    assert values.dtype == np.float64 and flags.dtype == np.uint8 and len(values) == sum(SIZES)
    assert values.tobytes() == raw[0].tobytes() and flags.tobytes() == raw[1].tobytes()
    bare = g._replace(wedge_normals=None, wedge_first_sides=None, wedge_second_sides=None, wedge_mask=None)
    again = zet_native.cell_bounds(centers.tolist(), radii, angular, args[3].tolist(), args[4], args[5], 3, bare,
                                   common)
    assert again[0].tobytes() == values.tobytes() and again[1].tobytes() == flags.tobytes()


def test_relevance_decided_at_the_cap_bound_itself():
    """Cells whose reach lands one ulp below, on and one ulp above the cap bound of a pruned
    group, for directions a hair either side of the angles where the bound's cheap range is
    used (theta = rho + alpha and rho + alpha + pi/2) and well inside it, with caps up to almost
    a quarter turn and radii around the range's limits: every flag is the exact comparison's, in
    both modes. A whole-space group with the largest shift sorts first and stops the visit after
    it, so every other group is decided by its bound."""
    rng = np.random.default_rng(21)
    cap_angles = [0.2, 0.9, 1.45, 1.52, 1.5707] * 2  # rows of 8 bounds or more take the cheap range
    axes = unit(rng.normal(size=(len(cap_angles), 3)))
    n = len(cap_angles) + 1
    g = cone_groups(n, 3)  # the shapes; caps, whole-space flags and shifts are set below
    g = g._replace(cap_axes=np.vstack([[0.0, 0, 1], axes]), cap_cos=np.r_[-2.0, np.cos(cap_angles)],
                   blocks_all=np.r_[True, np.zeros(n - 1, bool)], shifts=np.r_[0.2, rng.uniform(-0.1, 0.1, n - 1)])
    common = 0.01
    u, alpha, target = [], [], []
    for k, (axis, rho) in enumerate(zip(axes, cap_angles)):
        side = unit(np.cross(axis, rng.normal(size=3)))
        for a in (0.0, 0.05, 0.6, 1.45, 1.5):
            for edge in (0.0, HALF_PI, 0.7):
                for step in (-1e-8, -1e-9, 1e-9, 1e-8, 1e-3):
                    theta = rho + a + edge + step
                    if 0 < theta < math.pi:
                        u.append(math.cos(theta) * axis + math.sin(theta) * side)
                        alpha.append(a)
                        target.append(k + 1)
    u, alpha, target = np.array(u), np.array(alpha), np.array(target)
    every = np.arange(n)
    lb = np.vstack([caps_ref(u[i:i + 1], every, g.cap_axes, g.cap_cos, g.blocks_all, g.shifts, alpha[i:i + 1], common)
                    for i in range(len(u))])
    v = -1.0 - (g.shifts[0] + common)
    radii = np.empty(len(u))
    for i, bound in enumerate(lb[np.arange(len(u)), target]):  # reach one ulp below, on or above the bound
        want = [np.nextafter(bound, -INF), bound, np.nextafter(bound, INF)][i % 3]
        r = want - v
        while v + r < want:
            r = np.nextafter(r, INF)
        while v + r > want:
            r = np.nextafter(r, -INF)
        radii[i] = r
    reach = v + radii
    assert (reach == lb[np.arange(len(u)), target]).sum() > 20
    sizes = [len(u), 1]
    centers, cell_radii = np.vstack([u, [[0.0, 0, 1]]]), np.r_[radii, 0.1]
    angular = np.r_[alpha, 0.0]
    lists = [list(range(n)), [1]]
    values, flags = call(*args_of(g, centers, cell_radii, angular, lists, sizes, 1), common)
    assert (values[:-1] == v).all()
    expected = np.hstack([(reach > v - radii)[:, None], reach[:, None] > lb[:, 1:]])
    assert flags[:len(u) * n].tobytes() == expected.astype(np.uint8).tobytes()
    assert 0 < expected[np.arange(len(u)), target].sum() < len(u)
    # Single-batch mode: an exact margin has the last word.
    values, flags = call(*args_of(g, u, radii, alpha, lists[:1], [len(u)], 1), common)
    m = margins_ref(u, every, g, common)
    single = np.where(reach[:, None] > lb, np.isnan(m) | (reach[:, None] > m - radii[:, None]), False)
    single[:, 0] = reach > v - radii
    assert flags.tobytes() == single.astype(np.uint8).tobytes()

