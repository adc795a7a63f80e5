"""Candidate directions of removal: the six axes, an even grid over the sphere, and the
direction with the largest margin against the cones of blocked directions of a part's
touching pairs, found by branch and bound over the sphere.

The branch and bound splits spherical triangles (from the faces of an icosahedron) into
four; ``cell_bounds`` gives each cell the smallest margin at its center and says which cone
groups can still matter inside it. Margins are 1-Lipschitz in the chord distance between
unit directions, so value + chord radius bounds a cell from above and cells that cannot beat
the best center found are dropped.
"""

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import _zet_native
import zet_native
from zet_native._interrupt import CELLS_PER_SLICE

from .depth import lengths

AXES = (("+x", (1.0, 0.0, 0.0)), ("-x", (-1.0, 0.0, 0.0)), ("+y", (0.0, 1.0, 0.0)),
        ("-y", (0.0, -1.0, 0.0)), ("+z", (0.0, 0.0, 1.0)), ("-z", (0.0, 0.0, -1.0)))


def sphere_grid(count: int) -> np.ndarray:
    """``count`` unit directions spread evenly over the sphere (a Fibonacci spiral)."""
    k = np.arange(count) + 0.5
    z = 1.0 - 2.0 * k / count
    r = np.sqrt(np.maximum(0.0, 1.0 - z * z))
    angle = np.pi * (3.0 - np.sqrt(5.0)) * k
    return np.stack([r * np.cos(angle), r * np.sin(angle), z], axis=1)


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
    cos = np.einsum("nij,nj->ni", corners, centers).min(axis=1)
    angular = np.arccos(np.clip(cos, -1.0, 1.0)) * (1 + 1e-12) + 1e-15
    return centers, 2.0 * np.sin(angular / 2.0), angular


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
                   chunk: int = 16) -> tuple[np.ndarray | None, float, float]:
    """(direction, margin, upper) with the largest smallest margin against the cone groups
    (one set or several), within ``tolerance`` of the best or after ``max_cells`` cells; no
    direction has a margin above ``upper``. Without groups: (None, -inf, inf)."""
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
        popped, relevant, widths = queue.pop(best_value + tolerance, min(per_call, max(0, (max_cells - cells) // 4)))
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


def _ranges(starts: np.ndarray, sizes: np.ndarray) -> np.ndarray:
    """The indices start, start + 1, ... of each run (starts[i], sizes[i]), run after run."""
    ends = np.cumsum(sizes)
    ranges: np.ndarray = np.repeat(starts - (ends - sizes), sizes) + np.arange(int(ends[-1]) if len(ends) else 0)
    return ranges


class _Queue:
    """The cells of the branch and bound waiting to be split, popped as a heap of (bound,
    order of arrival) would pop them: smallest bound first, the earliest on a tie. Held as
    arrays, round after round, so that a round of hundreds of cells costs a few numpy calls, and
    a cell's groups are picked out of its batch's flags only when it is split (most never are)."""

    def __init__(self) -> None:
        self.bounds = np.zeros(0)
        self.waiting = np.zeros(0, dtype=bool)
        # Per cell, into the rounds' arrays one after the other: its corners' row, where its
        # flags start, where its batch's groups start, and how many groups the batch has.
        self.cells = np.zeros((0, 4), dtype=np.int64)
        self.corners = np.zeros((0, 3, 3))
        self.relevant = np.zeros(0, dtype=np.int64)
        self.kept = np.zeros(0, dtype=bool)

    def add(self, corners: np.ndarray, bounds: np.ndarray, valid: np.ndarray, counts: np.ndarray,
            widths: np.ndarray, relevant: np.ndarray, kept: np.ndarray) -> None:
        """A round's cells with their bounds (batch b: counts[b] cells and widths[b] groups, a row
        of ``kept`` flags per cell); those without a valid bound never come back."""
        batch = np.repeat(np.arange(len(counts)), counts)
        first_flag = np.cumsum(counts * widths) - counts * widths
        first_cell = np.cumsum(counts) - counts
        row = np.arange(len(batch))
        flag_start = first_flag[batch] + (row - first_cell[batch]) * widths[batch]
        group_start = (np.cumsum(widths) - widths)[batch]
        ids = np.flatnonzero(valid)
        table = np.stack([row + len(self.corners), flag_start + len(self.kept), group_start + len(self.relevant),
                          widths[batch]], 1)
        self.corners = np.concatenate([self.corners, corners])
        self.relevant = np.concatenate([self.relevant, relevant])
        self.kept = np.concatenate([self.kept, kept])
        self.bounds = np.concatenate([self.bounds, bounds[ids]])
        self.waiting = np.concatenate([self.waiting, np.ones(len(ids), dtype=bool)])
        self.cells = np.concatenate([self.cells, table[ids]])

    def pop(self, threshold: float, most: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Up to ``most`` waiting cells with -bound above ``threshold``, smallest bound first (a
        stable sort keeps the order of arrival on ties): their corners (k, 3, 3), the groups
        that can still matter in each (one after the other) and how many each has."""
        ready = np.flatnonzero(self.waiting & (-self.bounds > threshold)) if most > 0 else np.zeros(0, np.int64)
        chosen = ready[np.argsort(self.bounds[ready], kind="stable")[:most]]
        self.waiting[chosen] = False
        row, flag_start, group_start, width = self.cells[chosen].T
        flags = self.kept[_ranges(flag_start, width)]
        running = np.concatenate([[0], np.cumsum(flags)])
        ends = np.cumsum(width)
        counts: np.ndarray = running[ends] - running[ends - width]
        groups: np.ndarray = self.relevant[_ranges(group_start, width)][flags]
        corners: np.ndarray = self.corners[row]
        return corners, groups, counts

    def largest(self) -> float:
        """The largest -bound of the cells still waiting (-inf without any)."""
        return float(np.max(-self.bounds[self.waiting], initial=-np.inf))


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
