"""The cone functions in numpy, the reference they are timed and checked against (no peer
library computes them): pair_cones vectorised over the pairs, with the module's formulas in the
module's order (the same sums term by term, the same NaN rules), so that the results can be
compared byte for byte; cone margins and cap lower bounds vectorised over directions x groups."""

import math
from functools import partial

import numpy as np

from zet_native.disassembly.directions import libm as c_library

SLOTS, PAIRS = 9, 36
JACOBI_EPSILON, MAX_SWEEPS, CAP_AXIS_FLOOR = 2.0 ** -52, 60, 1e-12
SLOT_PAIRS = [(i, j) for i in range(SLOTS) for j in range(i + 1, SLOTS)]


def _dot3(a, b):
    return a[..., 0] * b[..., 0] + a[..., 1] * b[..., 1] + a[..., 2] * b[..., 2]


def _generators(moving, obstacle, epsilon):
    """(n, 9, 3) unit directions from moving vertex k % 3 to obstacle vertex k // 3, live flags."""
    d = obstacle[:, [k // 3 for k in range(SLOTS)]] - moving[:, [k % 3 for k in range(SLOTS)]]
    length = np.sqrt(_dot3(d, d))
    live = length > epsilon[:, None]
    with np.errstate(invalid="ignore", divide="ignore"):
        g = np.where(live[..., None], d / length[..., None], 0.0)
    return g, live


def _column_dot(a, b):
    total = np.zeros(a.shape[0])
    for r in range(SLOTS):
        total = total + a[:, r] * b[:, r]
    return total


def _full_rank(g, rank_tolerance):
    """The one-sided Jacobi sweeps over the three columns, each item until a sweep rotates nothing."""
    a = np.ascontiguousarray(np.transpose(g, (2, 0, 1)))  # (3, n, 9)
    active = np.ones(g.shape[0], bool)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        for _ in range(MAX_SWEEPS):
            rotated = np.zeros_like(active)
            for p, q in ((0, 1), (0, 2), (1, 2)):
                ap, aq = a[p], a[q]
                alpha, beta, gamma = _column_dot(ap, ap), _column_dot(aq, aq), _column_dot(ap, aq)
                turn = active & ~(JACOBI_EPSILON * np.sqrt(alpha * beta) >= np.abs(gamma))
                if not turn.any():
                    continue
                rotated |= turn
                zeta = (beta - alpha) / (2.0 * gamma)
                t = np.where(zeta >= 0.0, 1.0, -1.0) / (np.abs(zeta) + np.sqrt(1.0 + zeta * zeta))
                c = 1.0 / np.sqrt(1.0 + t * t)
                s = c * t
                new_p, new_q = c[:, None] * ap - s[:, None] * aq, s[:, None] * ap + c[:, None] * aq
                a[p] = np.where(turn[:, None], new_p, ap)
                a[q] = np.where(turn[:, None], new_q, aq)
            active &= rotated
            if not active.any():
                break
        norms = np.sqrt(np.stack([_column_dot(a[c], a[c]) for c in range(3)]))
    nan = np.isnan(norms).any(axis=0)
    largest = np.where(nan, np.nan, norms.max(axis=0))
    smallest = np.where(nan, np.nan, norms.min(axis=0))
    return (largest > 0.0) & (smallest > largest * rank_tolerance)


def _facet_tests(g, live, rank_tolerance, facet_tolerance):
    """(n, 72) facet flags in candidate order and the (n, 36, 3) unit normals."""
    i, j = np.array(SLOT_PAIRS).T
    a, b = g[:, i], g[:, j]
    n = np.stack([a[..., 1] * b[..., 2] - a[..., 2] * b[..., 1], a[..., 2] * b[..., 0] - a[..., 0] * b[..., 2],
                  a[..., 0] * b[..., 1] - a[..., 1] * b[..., 0]], axis=-1)
    length = np.sqrt(_dot3(n, n))
    usable = length > rank_tolerance
    with np.errstate(invalid="ignore", divide="ignore"):
        n = np.where(usable[..., None], n / length[..., None], n)
        d = _dot3(n[:, :, None, :], g[:, None, :, :])  # (n, 36, 9)
    nan = (np.isnan(d) & live[:, None, :]).any(axis=2)
    high = np.where(nan, np.nan, np.where(live[:, None, :], d, -np.inf).max(axis=2))
    low = np.where(nan, np.nan, np.where(live[:, None, :], d, np.inf).min(axis=2))
    with np.errstate(invalid="ignore"):
        facet = np.concatenate([usable & (facet_tolerance >= high), usable & (facet_tolerance >= -low)], axis=1)
    return facet, n


def _caps(g, live, blocks_all):
    s = np.zeros((g.shape[0], 3))
    w = live.astype(float)
    for k in range(SLOTS):
        s = s + w[:, k, None] * g[:, k]
    length = np.sqrt(_dot3(s, s))
    normalised = length > CAP_AXIS_FLOOR
    with np.errstate(invalid="ignore", divide="ignore"):
        axis = np.where(normalised[:, None], s / length[:, None], s)
        d = _dot3(axis[:, None, :], g)
    nan = (np.isnan(d) & live).any(axis=1)
    lowest = np.where(nan, np.nan, np.where(live, d, np.inf).min(axis=1))
    return axis, np.where(normalised & ~blocks_all, lowest, -2.0)


def numpy_pair_cones(moving, obstacle, epsilon, rank_tolerance, facet_tolerance):
    """The module's 9-tuple as arrays: has_group, F, then the groups' arrays in pair order."""
    g, live = _generators(moving, obstacle, epsilon)
    has_group = live.any(axis=1)
    g, live = g[has_group], live[has_group]
    full = _full_rank(g, rank_tolerance)
    facet, normals = _facet_tests(g, live, rank_tolerance, facet_tolerance)
    facet &= full[:, None]
    count = facet.sum(axis=1)
    capacity = int(count.max()) if len(count) else 0
    candidates = np.concatenate([normals, -normals], axis=1)
    facets = np.zeros((len(g), capacity, 3))
    facet_mask = np.zeros((len(g), capacity), bool)
    rows, slots = np.nonzero(facet)
    order = np.cumsum(facet, axis=1)[rows, slots] - 1
    facets[rows, order] = candidates[rows, slots]
    facet_mask[rows, order] = True
    blocks_all = full & (count == 0)
    axes, cap_cos = _caps(g, live, blocks_all)
    return has_group.astype(np.uint8), capacity, g, live, facets, facet_mask, blocks_all, axes, cap_cos


def contact_pairs(n, seed):
    """Moving triangles (size about 0.1) and obstacle triangles 0.3 away along a unit normal
    drawn in the lower part of the sphere: contact-like pairs whose cones leave room upwards."""
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 1, 3))
    normal = rng.normal(size=(n, 1, 3))
    normal[..., 2] = -np.abs(normal[..., 2]) * 3 - 1.0
    normal /= np.linalg.norm(normal, axis=-1, keepdims=True)
    moving = p + 0.1 * rng.normal(size=(n, 3, 3))
    obstacle = p + 0.3 * normal + 0.1 * rng.normal(size=(n, 3, 3))
    return np.ascontiguousarray(moving), np.ascontiguousarray(obstacle)


def numpy_margins(directions, selected, g, common_shift=0.0, chunk=100):
    """The margin formula, vectorised over (directions, groups)."""
    out = np.empty((len(directions), len(selected)))
    kinds, gens, gmask, facets, fmask, blocks, shifts = (a[selected] for a in g[:7])
    planes, first, second, wmask = (a[selected] for a in g[7:11])
    live_facet = fmask.any(axis=1)
    for s in range(0, len(directions), chunk):
        u = directions[s:s + chunk, None, None, :]
        fd = _dot3(facets[None], u)
        f = np.where(fmask[None] & ~np.isnan(fd), fd, -np.inf).max(axis=2)
        d = _dot3(gens[None], u)
        ray = np.where(d >= 0, np.sqrt(np.maximum(0.0, 1.0 - d * d)), 1.0)
        ray = np.where(gmask[None], ray, np.inf).min(axis=2)
        over = wmask[None] & (_dot3(first[None], u) >= 0) & (_dot3(second[None], u) >= 0)
        wedge = np.where(over, np.abs(_dot3(planes[None], u)), np.inf).min(axis=2)
        outside = np.fmin(ray, wedge)
        value = np.where(kinds[None] != 0, f, np.where(live_facet[None] & (f <= 0), f, outside))
        value = np.where(blocks[None], -1.0, value)
        out[s:s + chunk] = value - (shifts[None] + common_shift)
    return out


def numpy_caps(directions, selected, g, angular, common_shift=0.0, libm=False):
    """The cap lower bound formula, vectorised over (directions, groups). ``libm``: arccos and
    sin of the C library, element by element, as ours computes them; numpy's own (the timed
    peer's) are vector versions on some processors (arccos on AVX-512) whose last bits differ."""
    arccos, sin = (partial(c_library, math.acos), partial(c_library, math.sin)) if libm else (np.arccos, np.sin)
    axes, cos, blocks, shifts = g.cap_axes[selected], g.cap_cos[selected], g.blocks_all[selected], g.shifts[selected]
    rho = arccos(np.minimum(1.0, np.maximum(-1.0, cos)))
    theta = arccos(np.minimum(1.0, np.maximum(-1.0, _dot3(axes[None], directions[:, None, :]))))
    x = theta - rho[None] - angular
    v = np.where(x > 0, sin(np.minimum(x, np.pi / 2)), -1.0)
    v = np.where(((cos > 1e-9) & ~blocks)[None], v, -np.inf)
    return v - (shifts[None] + common_shift)
