"""Cones of blocked directions: groups from triangle pairs or generators, their wedges, and the
margins and bounds of directions against them."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _zet_native

from ._arrays import at_least_zero, in_chunks, index_array, join, mask_array, real_array, scalar_or_rows, selection, unpack
from ._interrupt import CELLS_PER_SLICE, EVALUATIONS_PER_SLICE, PAIRS_PER_SLICE

# A facet candidate is a plane through two unit generators; in exact arithmetic both lie on it,
# but the computed normal.generator products come out a few ulp either side of zero, and far
# more for nearly parallel generator pairs (the cross product's error over its length). A
# tolerance of 0 lets that rounding drop true facets, and a pointed cone without facets reads
# as blocking every direction. 1e-9, the default rank tolerance, admits the rounding of every
# pair that the rank tolerance admits at lengths down to about 1e-7 while moving a facet by
# at most a nanoradian.
FACET_TOLERANCE = 1e-9

# Vertex differences shorter than this fraction of a pair's largest one are no generators: two
# vertices that coincide up to rounding give a difference whose direction is noise.
RELATIVE_GENERATOR_EPSILON = 1e-9


class ConeGroups(NamedTuple):
    """Cone groups of blocked directions as numpy arrays, indexed by group first.

    The fields follow the argument order of the consumers: ``groups[:11]`` are the group arrays
    of ``cone_margins`` (after ``vectors`` and ``selected``) and the whole tuple those of
    ``cells_bound_batch`` (after ``chunk``). K = 9 generator slots; F is the largest facet count
    of the call; W = K (K - 1) / 2. The wedge fields are None until ``with_wedges`` fills them.
    """

    kinds: np.ndarray  # int8 (G,): ConeKind.DISTANCE (0) or facets alone (any other value)
    generators: np.ndarray  # float64 (G, K, 3)
    generator_mask: np.ndarray  # bool (G, K)
    facets: np.ndarray  # float64 (G, F, 3), facets first, zero rows after them
    facet_mask: np.ndarray  # bool (G, F)
    blocks_all: np.ndarray  # bool (G,): the group blocks every direction
    shifts: np.ndarray  # float64 (G,), subtracted from every margin of the group
    wedge_normals: np.ndarray | None  # float64 (G, W, 3)
    wedge_first_sides: np.ndarray | None  # float64 (G, W, 3)
    wedge_second_sides: np.ndarray | None  # float64 (G, W, 3)
    wedge_mask: np.ndarray | None  # bool (G, W)
    cap_axes: np.ndarray  # float64 (G, 3)
    cap_cos: np.ndarray  # float64 (G,), -2.0 for a group without a cap


class PairConeGroups(NamedTuple):
    """What ``pair_cone_groups`` returns: which pairs made a group, and the groups in pair order."""

    has_group: np.ndarray  # bool (n,)
    groups: ConeGroups


def _per_group(value: npt.ArrayLike, dtype: npt.DTypeLike, groups: int,
               producing: np.ndarray | None = None) -> np.ndarray:
    """A scalar, one value per group, or (with ``producing``) one value per input item."""
    array = np.asarray(value, dtype=dtype)
    if array.ndim == 1 and producing is not None and len(array) == len(producing):
        array = array[producing]
    return np.ascontiguousarray(np.broadcast_to(array, (groups,)))


def _join_groups(parts: list[tuple[Any, ...]]) -> tuple[np.ndarray, ...]:
    """The native results of consecutive slices of one call, as the arrays of one call: facet
    rows are padded to the largest facet count of all slices (zero rows, unset mask), which is
    what a single call lays out."""
    capacity = max(int(p[1]) for p in parts)
    flags, generators, generator_mask, facets, facet_mask, blocks_all, cap_axes, cap_cos = ([] for _ in range(8))
    for has_group, own, gens, gmask, fac, fmask, blocks, axes, cosines in parts:
        g = len(cosines) // 8
        flags.append(unpack(has_group, np.uint8).view(bool))
        generators.append(unpack(gens, np.float64, (g, 9, 3)))
        generator_mask.append(unpack(gmask, np.uint8, (g, 9)).view(bool))
        padded = np.zeros((g, capacity, 3))
        padded[:, :own] = unpack(fac, np.float64, (g, own, 3))
        facets.append(padded)
        padded_mask = np.zeros((g, capacity), dtype=bool)
        padded_mask[:, :own] = unpack(fmask, np.uint8, (g, own)).view(bool)
        facet_mask.append(padded_mask)
        blocks_all.append(unpack(blocks, np.uint8).view(bool))
        cap_axes.append(unpack(axes, np.float64, (g, 3)))
        cap_cos.append(unpack(cosines, np.float64))
    return tuple(np.concatenate(a) for a in (flags, generators, generator_mask, facets, facet_mask,
                                             blocks_all, cap_axes, cap_cos))


def _cone_groups(parts: list[tuple[Any, ...]], kinds: npt.ArrayLike, shifts: npt.ArrayLike,
                 per_pair: bool, wedges: bool) -> tuple[np.ndarray, ConeGroups]:
    flags, generators, generator_mask, facets, facet_mask, blocks_all, cap_axes, cap_cos = _join_groups(parts)
    g = len(cap_cos)
    producing = flags if per_pair else None
    groups = ConeGroups(
        _per_group(kinds, np.int8, g, producing), generators, generator_mask, facets, facet_mask,
        blocks_all, _per_group(shifts, np.float64, g, producing), None, None, None, None, cap_axes,
        cap_cos,
    )
    return flags, with_wedges(groups) if wedges else groups


def relative_generator_epsilon(moving: np.ndarray, obstacle: np.ndarray) -> np.ndarray:
    """Per pair, RELATIVE_GENERATOR_EPSILON times the longest of its nine vertex differences."""
    differences = obstacle[:, None, :, :] - moving[:, :, None, :]
    longest: np.ndarray = np.sqrt((differences**2).sum(axis=-1)).reshape(len(moving), -1).max(axis=1, initial=0.0)
    return RELATIVE_GENERATOR_EPSILON * longest


def pair_cone_groups(moving: npt.ArrayLike, obstacle: npt.ArrayLike, epsilon: npt.ArrayLike | None = None,
                     rank_tolerance: float = 1e-9, facet_tolerance: float = FACET_TOLERANCE, *,
                     kinds: npt.ArrayLike = 0, shifts: npt.ArrayLike = 0.0,
                     wedges: bool = True) -> PairConeGroups:
    """Cone groups of the directions in which moving triangle i (n x 3 x 3) cannot translate
    without entering obstacle triangle i, with wedges.

    The generators of a pair are its nine unit vertex differences (obstacle vertex minus
    moving vertex). ``epsilon`` (a scalar or one value per pair): a difference no longer than
    it is no generator; by default RELATIVE_GENERATOR_EPSILON times the pair's longest
    difference, so that vertices that coincide up to rounding give none. A group has full rank
    when its generators' smallest singular value exceeds ``rank_tolerance`` times the largest;
    a plane through two generators is a facet when no generator lies more than
    ``facet_tolerance`` beyond it (default FACET_TOLERANCE: with 0, rounding drops true facets
    and a pointed cone reads as blocking every direction). ``kinds`` and ``shifts`` are
    scalars, one value per group, or one value per pair (the values of pairs that make no group
    are dropped).
    """
    a, b = real_array(moving, "moving", (-1, 3, 3), rows=True), real_array(obstacle, "obstacle", (-1, 3, 3), rows=True)
    if len(a) != len(b):
        raise ValueError("moving and obstacle must have one row per pair")
    eps = relative_generator_epsilon(a, b) if epsilon is None else scalar_or_rows(epsilon, "epsilon", len(a))

    def run(lo: int, hi: int) -> tuple[Any, ...]:
        return _zet_native.pair_cones(a[lo:hi], b[lo:hi], eps[lo:hi], rank_tolerance, facet_tolerance)

    flags, groups = _cone_groups(in_chunks(len(a), PAIRS_PER_SLICE, run), kinds, shifts, True, wedges)
    return PairConeGroups(flags, groups)


def generator_cone_groups(generators: npt.ArrayLike, generator_mask: npt.ArrayLike,
                          rank_tolerance: float = 1e-9, facet_tolerance: float = FACET_TOLERANCE, *,
                          kinds: npt.ArrayLike = 0, shifts: npt.ArrayLike = 0.0,
                          wedges: bool = True) -> ConeGroups:
    """Cone groups of given generators (G x 9 x 3, unit vectors for the facet tolerance to mean
    an angle) and their mask (G x 9, bool or integer: which slots are live), with wedges;
    tolerances as for ``pair_cone_groups``; ``kinds`` and ``shifts`` scalars or one value per
    group."""
    gens = real_array(generators, "generators", (-1, 9, 3), rows=True)
    mask = np.ascontiguousarray(
        mask_array(np.asarray(generator_mask).reshape(-1), "generator_mask", 9 * len(gens)).reshape(-1, 9),
        dtype=bool)

    def run(lo: int, hi: int) -> tuple[Any, ...]:
        r = _zet_native.cone_groups(gens[lo:hi], mask[lo:hi], rank_tolerance, facet_tolerance)
        return r

    return _cone_groups(in_chunks(len(gens), PAIRS_PER_SLICE, run), kinds, shifts, False, wedges)[1]


def with_wedges(groups: ConeGroups) -> ConeGroups:
    """``groups`` with the wedge arrays of its generators filled in."""
    generators = np.ascontiguousarray(groups.generators, dtype=np.float64)
    mask = np.ascontiguousarray(groups.generator_mask, dtype=bool)
    normals, first, second, usable = _zet_native.cone_wedges(generators, mask)
    g, k = mask.shape
    w = k * (k - 1) // 2
    return groups._replace(
        wedge_normals=unpack(normals, np.float64, (g, w, 3)),
        wedge_first_sides=unpack(first, np.float64, (g, w, 3)),
        wedge_second_sides=unpack(second, np.float64, (g, w, 3)),
        wedge_mask=unpack(usable, np.uint8, (g, w)).view(bool),
    )


def _group_arrays(groups: ConeGroups) -> Any:
    """The thirteen group arrays, contiguous, wedges made when missing (typed loosely: they
    spread over the native functions' fixed argument lists)."""
    if groups.wedge_mask is None:
        groups = with_wedges(groups)
    return [np.ascontiguousarray(a) for a in groups]


def margins(directions: npt.ArrayLike, selected: npt.ArrayLike, groups: ConeGroups,
            common_shift: float = 0.0) -> np.ndarray:
    """Margins (float64 (N, S)) of unit directions (N x 3) against the groups ``selected`` (S
    indices, or a boolean mask over the groups) of a ``ConeGroups``: positive outside a
    group's cone (free), negative inside (blocked); its wedges are made first when missing."""
    d = real_array(directions, "directions", (-1, 3), rows=True)
    chosen = selection(selected, "selected", len(groups.kinds))
    arrays = _group_arrays(groups)[:11]
    per_slice = max(1, EVALUATIONS_PER_SLICE // max(len(chosen), 1))

    def run(lo: int, hi: int) -> bytes:
        args: Any = (d[lo:hi], chosen, *arrays, common_shift)
        return _zet_native.cone_margins(*args)

    out = np.empty((len(d), len(chosen)), np.float64)
    in_chunks(len(d), per_slice, run, into=out)
    return out


def cap_bounds(directions: npt.ArrayLike, selected: npt.ArrayLike, groups: ConeGroups,
               angular_radius: npt.ArrayLike, common_shift: float = 0.0) -> np.ndarray:
    """Cap lower bounds (float64 (N, S)) of the margins of every direction within
    ``angular_radius`` (radians: a scalar, or one per direction) of each unit direction (N x 3),
    against the groups ``selected`` (indices or a boolean mask) of a ``ConeGroups``."""
    d = real_array(directions, "directions", (-1, 3), rows=True)
    chosen = selection(selected, "selected", len(groups.kinds))
    radius = np.atleast_1d(np.asarray(angular_radius))
    radius = (real_array(radius, "angular_radius", (1,)) if radius.shape == (1,)
              else real_array(radius, "angular_radius", (len(d),)))
    at_least_zero(radius, "angular_radius")
    arrays: Any = [np.ascontiguousarray(a) for a in (groups.cap_axes, groups.cap_cos, groups.blocks_all,
                                                     groups.shifts)]
    per_slice = max(1, EVALUATIONS_PER_SLICE // max(len(chosen), 1))

    def run(lo: int, hi: int) -> bytes:
        r = radius if len(radius) == 1 and len(d) != 1 else radius[lo:hi]
        args: Any = (d[lo:hi], chosen, *arrays, r, common_shift)
        return _zet_native.cone_cap_lower_bounds(*args)

    out = np.empty((len(d), len(chosen)), np.float64)
    in_chunks(len(d), per_slice, run, into=out)
    return out


def _batch_slices(cell_offsets: np.ndarray, relevant_offsets: np.ndarray) -> list[tuple[int, int]]:
    """Consecutive runs of batches of about CELLS_PER_SLICE cell-group pairs each. A call of one
    batch is evaluated differently from a call of several, so a run never holds a single batch
    unless the whole call does."""
    batches = len(cell_offsets) - 1
    if batches <= 2:
        return [(0, batches)]
    work = np.diff(cell_offsets) * np.maximum(np.diff(relevant_offsets), 1)
    runs, start, load = [], 0, 0
    for b in range(batches):
        load += int(work[b])
        if load >= CELLS_PER_SLICE and b + 1 - start >= 2 and batches - (b + 1) != 1:
            runs.append((start, b + 1))
            start, load = b + 1, 0
    if start < batches:
        runs.append((start, batches))
    return runs


def cell_bounds(centers: npt.ArrayLike, radii: npt.ArrayLike, angular: npt.ArrayLike,
                cell_offsets: npt.ArrayLike, relevant: npt.ArrayLike, relevant_offsets: npt.ArrayLike,
                chunk: int, groups: ConeGroups, common_shift: float = 0.0) -> tuple[np.ndarray, np.ndarray]:
    """(values, flags) of sibling cell batches against the groups of a ``ConeGroups``.

    Batch b owns the cells ``cell_offsets[b]:cell_offsets[b + 1]`` (unit centers N x 3, radii
    and angular radii N values) and the groups ``relevant[relevant_offsets[b]:
    relevant_offsets[b + 1]]``. ``chunk`` groups are taken between two pruning checks.
    Returns values float64 (N,), each cell's smallest margin at its center over its batch's
    groups, and flags uint8 (P,): per batch, nc rows of ng bytes, 1 where the group may still
    give the smallest margin somewhere in the cell. Wedges are made first when missing."""
    c = real_array(centers, "centers", (-1, 3), rows=True)
    r, a = real_array(radii, "radii", (len(c),)), real_array(angular, "angular", (len(c),))
    at_least_zero(r, "radii")
    at_least_zero(a, "angular")

    cells = index_array(cell_offsets, "cell_offsets", (-1,), dtype=np.int64)
    listed = index_array(relevant, "relevant", (-1,), dtype=np.int64)
    lists = index_array(relevant_offsets, "relevant_offsets", (-1,), dtype=np.int64)
    arrays = _group_arrays(groups)
    if (len(cells) < 2 or len(lists) != len(cells) or np.any(np.diff(cells) < 0) or np.any(np.diff(lists) < 0)
            or cells[-1] > len(c) or lists[-1] > len(listed)):
        # Malformed offsets: one call, so that the native checks report them as they stand.
        whole: Any = (c, r, a, cells, listed, lists, chunk, *arrays, common_shift)
        values, flags = _zet_native.cells_bound_batch(*whole)
        return unpack(values, np.float64), unpack(flags, np.uint8)
    values_parts, flag_parts = [], []
    for lo, hi in _batch_slices(cells, lists):
        c0, c1, g0, g1 = int(cells[lo]), int(cells[hi]), int(lists[lo]), int(lists[hi])
        part: Any = (c[c0:c1], r[c0:c1], a[c0:c1], cells[lo:hi + 1] - c0, listed[g0:g1], lists[lo:hi + 1] - g0,
                     chunk, *arrays, common_shift)
        values, flags = _zet_native.cells_bound_batch(*part)
        values_parts.append(values)
        flag_parts.append(flags)
    return join(values_parts, np.float64), join(flag_parts, np.uint8)
