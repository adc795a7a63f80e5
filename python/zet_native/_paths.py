"""Translations along a path: contacts, clearance, and the triangle pair batches and mesh
checks."""

from __future__ import annotations

import math
from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _zet_native

from ._arrays import in_chunks, index_array, real_array, unpack
from ._interrupt import PAIRS_PER_SLICE, ShouldCancel, keep_going
from ._trees import tree_tuple
from .codes import CANCELLED_CODES, SearchStatus
from .records import CCD_RESULT_DTYPE, CLEARANCE_WITNESS_DTYPE, CONTACT_DTYPE, DISTANCE_DTYPE, UNCERTAIN_WINDOW_DTYPE


def _velocity(velocity: npt.ArrayLike) -> np.ndarray:
    v = real_array(velocity, "velocity", (3,))
    # The kernels square the speed: beyond about 1e154 that overflows and every axis counts as
    # still, so every pair comes back apart. (Non-finite components keep the module's own rules.)
    x, y, z = (float(c) for c in v)
    if np.isfinite(v).all() and not math.isfinite(x * x + y * y + z * z):
        raise ValueError(f"velocity {tuple(v.tolist())} is too long: its squared length overflows "
                         "(give a shorter velocity over a longer interval)")
    return v


class PathQueryResult(NamedTuple):
    """What ``path_query`` returns.

    ``contacts`` (CONTACT_DTYPE) come latest exit first; a contact's window [enter, exit]
    is where the triangles are within the kernel's tolerance of each other (touching counts),
    and ``strict`` is 1.0 when they truly overlap during [strict_enter, strict_exit].
    ``uncertain_windows`` are the pairs whose window was found with some axes untested, in
    the order they were consumed. A query stopped by the pair budget or by ``should_cancel``
    returns what it found so far (``status``, ``cancelled``)."""

    status: SearchStatus  # COMPLETE, PAIR_BUDGET_EXHAUSTED or CANCELLED
    pairs_used: int  # candidate triangle pairs consumed (what the budget counts)
    uncertain: int  # consumed pairs whose outcome was uncertain
    contacts: np.ndarray  # CONTACT_DTYPE
    uncertain_windows: np.ndarray  # UNCERTAIN_WINDOW_DTYPE
    node_pairs: int
    leaf_pairs: int
    candidate_pairs: int
    chunks: int
    max_heap: int

    @property
    def cancelled(self) -> bool:
        """True when ``should_cancel`` stopped the query."""
        return self.status in CANCELLED_CODES

    @property
    def first_contact(self) -> float:
        """The earliest path parameter at which a reported pair touches (comes within the
        kernel's tolerance), or inf when no pair does."""
        return float(self.contacts["enter"].min()) if len(self.contacts) else math.inf

    @property
    def first_strict_contact(self) -> float:
        """The earliest path parameter at which a reported pair truly overlaps, or inf."""
        strict = self.contacts[self.contacts["strict"] != 0]
        return float(strict["strict_enter"].min()) if len(strict) else math.inf


def path_query(moving: Any, obstacle: Any, velocity: npt.ArrayLike, t_begin: float, t_end: float, *,
               box_tol: float = 1e-9, box_static: float = 0.0, abs_tol: float = 1e-12,
               rel_tol: float = 1e-12, sin_tol: float = 1e-9, pair_budget: int = 2**62,
               cancel_interval: int = 4096,
               should_cancel: ShouldCancel = keep_going) -> PathQueryResult:
    """Contacts of the moving tree translating by t * velocity, t in [t_begin, t_end], with the
    obstacle tree (both ``TriangleTree`` or 7-tuples).

    ``velocity``: three finite numbers. ``box_tol`` widens every node box on every side;
    ``box_static``: a velocity component of at most this magnitude counts as zero in the box
    tests. ``abs_tol`` and ``rel_tol`` make the kernel's contact tolerance
    (abs_tol + rel_tol times the coordinates' size): pairs that come that close count as
    touching. ``sin_tol``: a separating axis from two edges whose sine is at most this is too
    unreliable to test (the pair is then uncertain). At most ``pair_budget`` triangle pairs
    are evaluated. ``should_cancel`` is consulted every ``cancel_interval`` work units; the
    default lets Ctrl-C through.

    A separating axis along which the moving triangle's speed |axis . velocity| is at most
    max(1, |velocity|) * rel_tol + abs_tol counts as still: a speed compared with a length.
    With a unit velocity over a long path and an abs_tol of the model's size (a path of 1e12
    at abs_tol 1, say), axes that move a long way count as still and contacts are missed; give
    the velocity the path's whole length instead (t from 0 to 1), so that abs_tol compares
    with the travel.
    """
    r = _zet_native.bvh_path_query(
        tree_tuple(moving, "moving"), tree_tuple(obstacle, "obstacle"), _velocity(velocity),
        t_begin, t_end, box_tol, box_static, abs_tol, rel_tol, sin_tol, pair_budget, cancel_interval,
        should_cancel,
    )
    return PathQueryResult(
        SearchStatus(r[0]), r[1], r[2], unpack(r[3], CONTACT_DTYPE),
        unpack(r[4], UNCERTAIN_WINDOW_DTYPE), *r[5:],
    )


class SelfIntersectionResult(NamedTuple):
    """What ``self_intersections`` returns: the witnesses as an (n, 2) uint32 array of
    triangle index pairs (low, high), sorted."""

    status: SearchStatus  # COMPLETE, PAIR_BUDGET_EXHAUSTED or CANCELLED
    evaluated: int
    intersecting: int
    undecided: int
    witnesses: np.ndarray

    @property
    def cancelled(self) -> bool:
        return self.status in CANCELLED_CODES


def self_intersections(mesh: Any, epsilon: float = 0.0, *, abs_tol: float = 1e-12, rel_tol: float = 1e-12,
                       sin_tol: float = 1e-9, pair_budget: int = 2**62, witness_limit: int = 1024,
                       cancel_interval: int = 4096,
                       should_cancel: ShouldCancel = keep_going) -> SelfIntersectionResult:
    """Intersecting triangle pairs of one mesh (a ``TriangleTree`` or 7-tuple) that share no
    vertex. ``epsilon`` (at least 0) widens the box tests; the tolerances are the kernel's (see
    ``path_query``); at most ``witness_limit`` witnesses are kept (the smallest pairs)."""
    r = _zet_native.self_intersection_pairs(
        tree_tuple(mesh, "mesh"), epsilon, abs_tol, rel_tol, sin_tol, pair_budget, witness_limit,
        cancel_interval, should_cancel,
    )
    return SelfIntersectionResult(SearchStatus(r[0]), *r[1:4], unpack(r[4], np.uint32, (-1, 2)))


def _triangles(value: npt.ArrayLike, name: str, corner: int = 3) -> np.ndarray:
    return real_array(value, name, (-1, 3, corner), rows=True)


def ccd_batch(moving: npt.ArrayLike, obstacle: npt.ArrayLike, velocity: npt.ArrayLike,
              paths: npt.ArrayLike, abs_tol: float = 1e-12, rel_tol: float = 1e-12,
              sin_tol: float = 1e-9) -> np.ndarray:
    """The translating triangle kernel on each pair (moving[i], obstacle[i]) (n x 3 x 3 each)
    translating by t * velocity over the interval paths[i] = (t0, t1), as a CCD_RESULT_DTYPE
    array (``status`` a CcdStatus, ``reason`` a CcdReason)."""
    moving, obstacle = _triangles(moving, "moving"), _triangles(obstacle, "obstacle")
    paths = real_array(paths, "paths", (-1, 2), rows=True)
    reversed_rows = np.flatnonzero(paths[:, 0] > paths[:, 1])  # the kernel takes t0 <= t1 (NaN aside)
    if len(reversed_rows):
        k = int(reversed_rows[0])
        raise ValueError(f"paths rows must run forwards (t0 <= t1): row {k} is {tuple(paths[k].tolist())}")
    v = _velocity(velocity)
    if not len(moving) == len(obstacle) == len(paths):
        raise ValueError("moving, obstacle and paths must have one row per pair")

    def run(lo: int, hi: int) -> list[tuple[Any, ...]]:
        return _zet_native.translation_triangle_ccd_batch(moving[lo:hi], obstacle[lo:hi], v, paths[lo:hi],
                                                          abs_tol, rel_tol, sin_tol)

    rows = [row for part in in_chunks(len(moving), PAIRS_PER_SLICE, run) for row in part]
    return np.array(rows, dtype=CCD_RESULT_DTYPE).reshape(-1)


def triangle_distances(moving: npt.ArrayLike, obstacle: npt.ArrayLike, absolute_tolerance: float = 0.0,
                       relative_tolerance: float = 1e-12) -> np.ndarray:
    """Conservative distance of each triangle pair (moving[i], obstacle[i]) (n x 3 x 3 each), as
    a DISTANCE_DTYPE array: the true distance lies in [lower, upper], which are widened by
    absolute_tolerance + relative_tolerance times the coordinates' size."""
    moving, obstacle = _triangles(moving, "moving"), _triangles(obstacle, "obstacle")
    if len(moving) != len(obstacle):
        raise ValueError("moving and obstacle must have one row per pair")

    def run(lo: int, hi: int) -> bytes:
        return _zet_native.triangle_distance_batch(moving[lo:hi], obstacle[lo:hi], absolute_tolerance,
                                                   relative_tolerance)

    out = np.empty(len(moving), DISTANCE_DTYPE)
    in_chunks(len(moving), PAIRS_PER_SLICE, run, into=out)
    return out


def overlap_areas(subject: npt.ArrayLike, clip: npt.ArrayLike, tolerance: float = 0.0) -> np.ndarray:
    """Overlap area of each planar triangle pair (subject[i], clip[i]) (n x 3 x 2 each, in one
    2D frame), as float64. ``tolerance`` is the inside tolerance of the clipping half-planes."""
    subject, clip = _triangles(subject, "subject", 2), _triangles(clip, "clip", 2)
    if len(subject) != len(clip):
        raise ValueError("subject and clip must have one row per pair")

    def run(lo: int, hi: int) -> bytes:
        return _zet_native.clipped_overlap_areas(subject[lo:hi], clip[lo:hi], tolerance)

    out = np.empty(len(subject), np.float64)
    in_chunks(len(subject), 4 * PAIRS_PER_SLICE, run, into=out)
    return out


class ClearanceResult(NamedTuple):
    """What ``clearance_search`` returns: the witnesses (CLEARANCE_WITNESS_DTYPE) of the pairs
    that come closer than the clearance, in pair order, and the pairs left unresolved."""

    status: SearchStatus  # COMPLETE, EVALUATION_LIMIT_REACHED or SEARCH_CANCELLED
    pairs_searched: int
    evaluations: int  # pass back as `evaluations` to share one budget across calls
    unresolved: int
    witnesses: np.ndarray

    @property
    def cancelled(self) -> bool:
        return self.status in CANCELLED_CODES


class ClearanceReport(NamedTuple):
    """A clearance check of one moving tree against several obstacles (``check_clearance``)."""

    status: SearchStatus  # COMPLETE, CANCELLED (listing candidates), EVALUATION_LIMIT_REACHED, SEARCH_CANCELLED
    evaluations: int
    candidates: list[np.ndarray]  # per obstacle checked: (n, 2) uint32 candidate pairs
    results: list[ClearanceResult]  # per obstacle searched

    @property
    def cancelled(self) -> bool:
        return self.status in CANCELLED_CODES

    @property
    def clear(self) -> bool:
        """True when every obstacle was checked to the end with no witness and nothing
        unresolved: the path keeps the clearance."""
        return self.status == SearchStatus.COMPLETE and all(
            len(r.witnesses) == 0 and r.unresolved == 0 for r in self.results)


class ClearanceCandidates(NamedTuple):
    """What ``clearance_candidates`` returns."""

    status: SearchStatus  # COMPLETE or CANCELLED
    pairs: np.ndarray  # (n, 2) uint32: moving triangle, obstacle triangle

    @property
    def cancelled(self) -> bool:
        return self.status in CANCELLED_CODES


def clearance_candidates(moving: Any, obstacle: Any, velocity: npt.ArrayLike, path_length: float,
                         clearance: float, *, box_tol: float = 1e-9, box_static: float = 0.0,
                         cancel_interval: int = 4096,
                         should_cancel: ShouldCancel = keep_going) -> ClearanceCandidates:
    """The triangle pairs whose boxes come within ``clearance`` while the moving tree translates
    by t * velocity, t in [0, path_length] (trees as ``TriangleTree`` or 7-tuples)."""
    status, pairs = _zet_native.clearance_candidate_pairs(
        tree_tuple(moving, "moving"), tree_tuple(obstacle, "obstacle"), _velocity(velocity),
        path_length, box_tol, box_static, clearance, cancel_interval, should_cancel,
    )
    return ClearanceCandidates(SearchStatus(status), unpack(pairs, np.uint32, (-1, 2)))


def clearance_search(moving: Any, obstacle: Any, pairs: npt.ArrayLike, velocity: npt.ArrayLike,
                     path_length: float, clearance: float, *, lowers: npt.ArrayLike | None = None,
                     absolute_tolerance: float = 0.0, relative_tolerance: float = 1e-12,
                     min_width: float = 1e-6, max_depth: int = 20, evaluations: int = 0,
                     evaluation_limit: int = 2**62, cancel_interval: int = 4096,
                     should_cancel: ShouldCancel = keep_going) -> ClearanceResult:
    """Searches each candidate pair's stretch of the path [lowers[k], path_length] (0 by default)
    for places where the two triangles come closer than ``clearance``, by bisection with a
    conservative distance: a witness is reported only where the distance is surely below the
    clearance, an interval is clear only where it is surely not, and what neither proves down to
    ``min_width`` or ``max_depth`` is unresolved. Any velocity works: above unit speed the clear
    test accounts for the longer distance travelled. ``pairs`` are (moving, obstacle) triangle
    indices as from ``clearance_candidates``; ``evaluations`` and ``evaluation_limit`` let calls
    share one budget of distance evaluations."""
    moving_mesh, obstacle_mesh = tree_tuple(moving, "moving"), tree_tuple(obstacle, "obstacle")
    pair_array = index_array(pairs, "pairs", (-1, 2))
    lower_array = (np.zeros(len(pair_array)) if lowers is None
                   else real_array(lowers, "lowers", (len(pair_array),)))
    if np.isnan(lower_array).any():
        raise ValueError(f"lowers must be numbers, got NaN at row {int(np.flatnonzero(np.isnan(lower_array))[0])}")
    r = _zet_native.clearance_pairs(
        moving_mesh[0], moving_mesh[1], obstacle_mesh[0], obstacle_mesh[1], pair_array, lower_array,
        _velocity(velocity), path_length, clearance, absolute_tolerance, relative_tolerance, min_width,
        max_depth, evaluations, evaluation_limit, cancel_interval, should_cancel,
    )
    return ClearanceResult(SearchStatus(r[0]), *r[1:4], unpack(r[4], CLEARANCE_WITNESS_DTYPE))


def check_clearance(moving: Any, obstacles: Iterable[Any], velocity: npt.ArrayLike, path_length: float,
                    clearance: float, *, evaluation_limit: int = 2**62,
                    should_cancel: ShouldCancel = keep_going, **search_options: Any) -> ClearanceReport:
    """Both steps (candidates, then their search) for a moving tree against each obstacle tree in
    turn, the obstacles sharing one budget of distance evaluations. Stops at the first obstacle
    whose check was cut short (budget or cancellation). ``box_tol`` and ``box_static`` go to
    the candidates, every other option to the search. ``report.clear`` says whether the whole
    path keeps the clearance."""
    v = _velocity(velocity)
    evaluations = 0
    candidates: list[np.ndarray] = []
    results: list[ClearanceResult] = []
    box_options = {k: search_options.pop(k) for k in ("box_tol", "box_static") if k in search_options}
    for obstacle in obstacles:
        listed = clearance_candidates(moving, obstacle, v, path_length, clearance,
                                      should_cancel=should_cancel, **box_options)
        candidates.append(listed.pairs)
        if listed.status != SearchStatus.COMPLETE:
            return ClearanceReport(listed.status, evaluations, candidates, results)
        result = clearance_search(moving, obstacle, listed.pairs, v, path_length, clearance,
                                  evaluations=evaluations, evaluation_limit=evaluation_limit,
                                  should_cancel=should_cancel, **search_options)
        results.append(result)
        evaluations = result.evaluations
        if result.status != SearchStatus.COMPLETE:
            return ClearanceReport(result.status, evaluations, candidates, results)
    return ClearanceReport(SearchStatus.COMPLETE, evaluations, candidates, results)
