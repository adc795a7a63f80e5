"""Candidate directions of removal: the six axes, an even grid over the sphere, and the
direction with the largest margin against the cones of blocked directions of a part's
touching pairs, found by branch and bound over the sphere.

The branch and bound splits spherical triangles (from the faces of an icosahedron) into
four; ``cell_bounds`` gives each cell the smallest margin at its center and says which cone
groups can still matter inside it. Margins are 1-Lipschitz in the chord distance between
unit directions, so value + chord radius bounds a cell from above and cells that cannot beat
the best center found are dropped.
"""

import math
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _zet_native
import zet_native
from zet_native._interrupt import CELLS_PER_SLICE

from .depth import lengths, of_three

AXES = (("+x", (1.0, 0.0, 0.0)), ("-x", (-1.0, 0.0, 0.0)), ("+y", (0.0, 1.0, 0.0)),
        ("-y", (0.0, -1.0, 0.0)), ("+z", (0.0, 0.0, 1.0)), ("-z", (0.0, 0.0, -1.0)))


def sphere_grid(count: int) -> np.ndarray:
    """``count`` unit directions spread evenly over the sphere (a Fibonacci spiral)."""
    k = np.arange(count) + 0.5
    z = 1.0 - 2.0 * k / count
    r = np.sqrt(np.maximum(0.0, 1.0 - z * z))
    angle = np.pi * (3.0 - np.sqrt(5.0)) * k
    return np.stack([r * libm(math.cos, angle), r * libm(math.sin, angle), z], axis=1)


def libm(function: Callable[[float], float], x: np.ndarray) -> np.ndarray:
    """``function`` (one of Python's ``math``, the C library's) of every element of x. Not
    numpy's own: on some processors numpy picks vector versions of a few of these (its
    arccos on AVX-512, for one) whose last bits differ from the C library's, and the planner's
    directions and bounds must be the same bits on every machine. The arrays here are small."""
    return np.fromiter(map(function, x.ravel().tolist()), np.float64, x.size).reshape(x.shape)


def _unit(x: np.ndarray) -> np.ndarray:
    unit: np.ndarray = x / lengths(x)[..., None]
    return unit


def _icosahedron_faces() -> np.ndarray:
    p = (1 + 5 ** 0.5) / 2
    v = _unit(np.array([[-1, p, 0], [1, p, 0], [-1, -p, 0], [1, -p, 0], [0, -1, p], [0, 1, p],
                        [0, -1, -p], [0, 1, -p], [p, 0, -1], [p, 0, 1], [-p, 0, -1], [-p, 0, 1]], dtype=float))
    f = np.array([[0, 11, 5], [0, 5, 1], [0, 1, 7], [0, 7, 10], [0, 10, 11], [1, 5, 9], [5, 11, 4],
                  [11, 10, 2], [10, 7, 6], [7, 1, 8], [3, 9, 4], [3, 4, 2], [3, 2, 6], [3, 6, 8],
                  [3, 8, 9], [4, 9, 5], [2, 4, 11], [6, 2, 10], [8, 6, 7], [9, 8, 1]])
    faces: np.ndarray = v[f]
    return faces


_ICOSAHEDRON = _icosahedron_faces()  # the first cells of every search (never written to)


def _cells(corners: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Centers, chord radii and angular radii of spherical triangles (n, 3, 3); the angular
    radius is widened a hair so that rounding of the corners cannot leave a corner outside."""
    centers = _unit(corners[:, 0] + corners[:, 1] + corners[:, 2])  # the sum over the corners, in their order
    cos = of_three(np.minimum, np.einsum("nij,nj->ni", corners, centers))
    angular = libm(math.acos, np.clip(cos, -1.0, 1.0)) * (1 + 1e-12) + 1e-15
    return centers, 2.0 * libm(math.sin, angular / 2.0), angular


def _split(c: np.ndarray) -> np.ndarray:
    """Each spherical triangle of c (n, 3, 3) as four, by its edges' midpoints: (4 n, 3, 3), the
    four of each in turn."""
    # take() picks the same rows as indexing, sooner on these small arrays.
    points = np.concatenate([c, _unit(c + c.take(_NEXT, axis=1))], axis=1)  # a, b, d, then ab, bd, da
    split: np.ndarray = points.take(_CHILDREN, axis=1).reshape(-1, 3, 3)
    return split


_NEXT = np.array([1, 2, 0])
_CHILDREN = np.array([0, 3, 5, 3, 1, 4, 5, 4, 2, 3, 4, 5])  # of a, b, d, ab, bd, da, three corners each


GroupSets = zet_native.ConeGroups | Sequence[zet_native.ConeGroups]  # one set, or several taken together


def _sets(groups: GroupSets | None) -> list[zet_native.ConeGroups]:
    if groups is None:
        return []
    sets = [groups] if isinstance(groups, zet_native.ConeGroups) else list(groups)
    return [g for g in sets if len(g.kinds)]


def best_direction(groups: GroupSets, *, tolerance: float = 1e-2, max_cells: int = 2000, per_call: int = 64,
                   chunk: int = 16, floor: float = -np.inf) -> tuple[np.ndarray | None, float, float]:
    """(direction, margin, upper) with the largest smallest margin against the cone groups
    (one set or several), within ``tolerance`` of the best or after ``max_cells`` cells; no
    direction has a margin above ``upper``. Without groups: (None, -inf, inf).

    ``floor``: margins at or below it are of no interest. The search ends once no cell can
    beat ``max(margin, floor) + tolerance``, so ``upper`` is at most that (unless
    ``max_cells`` ends it): within ``tolerance`` of the best, as without a floor, whenever
    the best is above ``floor``; else a proof that nothing beats ``floor`` by more than
    ``tolerance``, found without narrowing the bound of a margin of no interest. A planner
    that wants only a direction with a positive margin learns that none has one after a
    round or two, where a seat blocks every direction widely or where the best direction
    slides along a face (margin 0, which the cells' bounds approach only by halves)."""
    sets = _sets(groups)
    if not sets:
        return None, -np.inf, np.inf
    # A group that blocks every direction gives each one the margin -1 - its shift, whatever
    # the others give: no direction beats that, so there is nothing to search for (a tight
    # seat of thousands of contacts would otherwise spend the whole cell budget proving it).
    ceiling = min(float(np.min(-1.0 - g.shifts[g.blocks_all], initial=np.inf)) for g in sets)
    if ceiling < 0:
        return None, ceiling, ceiling
    groups = sets[0] if len(sets) == 1 else joined_groups(sets)
    if groups.wedge_mask is None:
        groups = zet_native.with_wedges(groups)
    arrays = [np.ascontiguousarray(x) for x in groups]
    # A round bounds batches of cells: batch b holds counts[b] cells (corners (n, 3, 3)) and the
    # widths[b] groups that can matter inside them (``relevant``, batch after batch). The first
    # round is the icosahedron's faces, one batch each; each split cell gives a batch of its four.
    corners = _ICOSAHEDRON
    counts = np.ones(len(corners), dtype=np.int64)
    everything = np.arange(len(groups.kinds), dtype=np.int64)
    relevant = np.tile(everything, len(corners))
    widths = np.full(len(corners), len(groups.kinds), dtype=np.int64)
    best: np.ndarray | None = None
    best_value, cells = -np.inf, 0
    queue = _Queue()
    while len(corners):
        centers, radii, angular = _cells(corners)
        values, flags = _cell_bounds(centers, radii, angular, counts, widths, relevant, chunk, groups, arrays)
        cells += len(centers)
        # The first cell with the largest value improves the best (NaN never does).
        undefined = np.isnan(values)
        if len(values) and not undefined.all():
            top = int(np.argmax(np.where(undefined, -np.inf, values)))  # as np.nanargmax
            if values[top] > best_value:
                best, best_value = centers[top], float(values[top])
        queue.add(corners, -(values + radii), ~undefined, counts, widths, relevant, flags.view(bool))
        popped, relevant, widths = queue.pop(max(best_value, floor) + tolerance,
                                             min(per_call, max(0, (max_cells - cells) // 4)))
        corners = _split(popped)
        counts = np.full(len(popped), 4, dtype=np.int64)
    return best, best_value, max(best_value, queue.largest())


def _cell_bounds(centers: np.ndarray, radii: np.ndarray, angular: np.ndarray, counts: np.ndarray, widths: np.ndarray,
                 relevant: np.ndarray, chunk: int, groups: zet_native.ConeGroups,
                 arrays: Sequence[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """``zet_native.cell_bounds`` of a round (batch b: counts[b] cells and widths[b] groups).
    A round the companion would evaluate in one call (at most two batches, or fewer cell-group
    pairs than one slice holds) goes to the module directly: its arrays are of the right types
    already (``arrays``: the groups' own, contiguous), and its results need no copies."""
    cell_offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    relevant_offsets = np.concatenate([[0], np.cumsum(widths)]).astype(np.int64)
    if len(counts) > 2 and int(np.sum(counts * np.maximum(widths, 1))) >= CELLS_PER_SLICE:
        return zet_native.cell_bounds(centers, radii, angular, cell_offsets, relevant, relevant_offsets, chunk, groups)
    args: Any = (centers, radii, angular, cell_offsets, relevant, relevant_offsets, chunk, *arrays, 0.0)
    values, flags = _zet_native.cells_bound_batch(*args)
    return np.frombuffer(values, np.float64), np.frombuffer(flags, np.uint8)


class _Rows:
    """Rows appended round after round into one array that doubles when full, so that each
    round copies only its own rows (joining the whole array again each round copies it all)."""

    def __init__(self, tail: tuple[int, ...], dtype: npt.DTypeLike) -> None:
        self.data = np.empty((0,) + tail, dtype=dtype)
        self.size = 0

    def add(self, rows: np.ndarray) -> None:
        end = self.size + len(rows)
        if end > len(self.data):
            grown = np.empty((max(end, 2 * len(self.data)),) + self.data.shape[1:], dtype=self.data.dtype)
            grown[:self.size] = self.data[:self.size]
            self.data = grown
        self.data[self.size:end] = rows
        self.size = end

    @property
    def rows(self) -> np.ndarray:
        rows: np.ndarray = self.data[:self.size]
        return rows


class _Queue:
    """The cells of the branch and bound waiting to be split, popped as a heap of (bound,
    order of arrival) would pop them: smallest bound first, the earliest on a tie. Held as
    arrays, round after round, so that a round of hundreds of cells costs a few numpy calls, and
    a cell's groups are picked out of its batch's flags only when it is split (most never are)."""

    def __init__(self) -> None:
        self.bounds = _Rows((), np.float64)
        self.waiting = _Rows((), bool)
        # Per cell, into the rounds' arrays one after the other: its corners' row, where its
        # flags start, where its batch's groups start, and how many groups the batch has.
        self.cells = _Rows((4,), np.int64)
        self.corners = _Rows((3, 3), np.float64)
        self.relevant = _Rows((), np.int64)
        self.kept = _Rows((), bool)

    def add(self, corners: np.ndarray, bounds: np.ndarray, valid: np.ndarray, counts: np.ndarray,
            widths: np.ndarray, relevant: np.ndarray, kept: np.ndarray) -> None:
        """A round's cells with their bounds (batch b: counts[b] cells and widths[b] groups, a row
        of ``kept`` flags per cell); those without a valid bound never come back."""
        # Per cell: its batch's group count, where its flags start (the cells' rows one after
        # the other) and where its batch's groups start.
        width = np.repeat(widths, counts)
        table = np.empty((len(width), 4), dtype=np.int64)
        table[:, 0] = np.arange(self.corners.size, self.corners.size + len(width))
        table[:, 1] = np.cumsum(width) - width + self.kept.size
        table[:, 2] = np.repeat(np.cumsum(widths) - widths + self.relevant.size, counts)
        table[:, 3] = width
        ids = np.flatnonzero(valid)
        self.corners.add(corners)
        self.relevant.add(relevant)
        self.kept.add(kept)
        self.bounds.add(bounds[ids])
        self.waiting.add(np.ones(len(ids), dtype=bool))
        self.cells.add(table[ids])

    def pop(self, threshold: float, most: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Up to ``most`` waiting cells with -bound above ``threshold``, smallest bound first (a
        stable sort keeps the order of arrival on ties): their corners (k, 3, 3), the groups
        that can still matter in each (one after the other) and how many each has."""
        bounds, waiting = self.bounds.rows, self.waiting.rows
        ready = np.flatnonzero(waiting & (-bounds > threshold)) if most > 0 else np.zeros(0, np.int64)
        chosen = ready[np.argsort(bounds[ready], kind="stable")[:most]]
        waiting[chosen] = False
        row, flag_start, group_start, width = self.cells.rows[chosen].T
        # A cell's flags and its batch's groups are runs of the same length: one count of places
        # within the runs serves both.
        ends = np.cumsum(width)
        within = np.arange(int(ends[-1]) if len(ends) else 0) - np.repeat(ends - width, width)
        flags = self.kept.rows[np.repeat(flag_start, width) + within]
        running = np.concatenate([[0], np.cumsum(flags)])
        counts: np.ndarray = running[ends] - running[ends - width]
        groups: np.ndarray = self.relevant.rows[np.repeat(group_start, width) + within][flags]
        corners: np.ndarray = self.corners.rows[row]
        return corners, groups, counts

    def largest(self) -> float:
        """The largest -bound of the cells still waiting (-inf without any)."""
        return float(np.max(-self.bounds.rows[self.waiting.rows], initial=-np.inf))


def smallest_margins(directions: npt.ArrayLike, groups: GroupSets | None) -> np.ndarray:
    """Each direction's smallest margin against every group of one set or several (1.0 when
    there are none: nothing touches, nothing blocks)."""
    directions = np.ascontiguousarray(directions, dtype=np.float64).reshape(-1, 3)
    sets = _sets(groups)
    if not sets:
        return np.ones(len(directions))
    smallest: np.ndarray = np.minimum.reduce(
        [zet_native.margins(directions, np.arange(len(g.kinds), dtype=np.int64), g).min(axis=1) for g in sets])
    return smallest


def joined_groups(parts: Sequence[zet_native.ConeGroups]) -> zet_native.ConeGroups:
    """Cone groups of several calls as one, the facet arrays padded to the widest."""
    width = max(g.facets.shape[1] for g in parts)
    pad: Callable[[np.ndarray, float], np.ndarray] = lambda x, fill: np.concatenate(  # noqa: E731
        [x, np.full((len(x), width - x.shape[1]) + x.shape[2:], fill, dtype=x.dtype)], axis=1)
    fields: list[Any] = []
    for name in parts[0]._fields:
        arrays = [getattr(g, name) for g in parts]
        if arrays[0] is None:
            fields.append(None)
            continue
        if name in ("facets", "facet_mask"):
            arrays = [pad(x, 0) for x in arrays]
        fields.append(np.ascontiguousarray(np.concatenate(arrays)))
    return type(parts[0])(*fields)
