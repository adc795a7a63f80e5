"""Branch-and-bound search over the sphere of directions for the direction with the largest
margin against a set of cone groups (the blocked-direction cones of contacts).

The objective is F(u) = min over groups g of margin(u, g), to be maximised over unit u.
Cells are spherical triangles: the search starts from the 20 faces of an icosahedron
projected on the sphere and splits a cell into four by the midpoints of its edges. Each
cell is described to ``cells_bound_batch`` by

- its center: the normalised mean of its three corners;
- its angular radius: the largest angle between the center and a corner. A spherical
  triangle smaller than a hemisphere is the geodesic hull of its corners and a cap of
  angular radius below 90 degrees is geodesically convex, so the cap around the center
  through the farthest corner holds the whole cell;
- its radius, the bound on how much a margin can change between the center and any
  direction of the cell: the chord 2 sin(angular / 2). Every group margin is 1-Lipschitz
  in the Euclidean (chord) distance between unit directions: inside a cone it is the
  largest dot product with unit facet normals (a maximum of 1-Lipschitz linear maps),
  outside it is the Euclidean distance to the cone, both are 0 on its boundary, and the
  shifts are constants; so F, a minimum of such maps, is 1-Lipschitz too. The chord is
  never longer than the arc (the angular radius), so it is the tighter of the two valid
  choices.

A cell's value is F at its center (exact: the groups left out of its batch cannot give the
minimum there), a lower bound of the best margin; value + radius bounds F from above over
the cell. Each round expands the open cells with the largest upper bounds: the four
children of one parent form one batch whose groups are the parent's relevant groups (the
relevance flags of the parent's row), since a group that cannot give the minimum anywhere
in the parent cannot give it in a child. Cells whose upper bound is not above the best
value found (plus the tolerance) are pruned.
"""

from __future__ import annotations

import heapq
import time
from typing import NamedTuple

import numpy as np

import zet_native


class SearchResult(NamedTuple):
    direction: np.ndarray  # float64 (3,): center of the best cell
    margin: float  # F at ``direction``
    upper_bound: float  # no direction has a margin above this (largest open upper bound)
    best_cell: tuple  # (center, radius, angular radius, relevant groups) of the best cell
    cells: int  # cells evaluated (cells_bound_batch rows)
    calls: int  # cells_bound_batch calls
    offered: int  # sum over batches of cells x relevant groups (what a brute force would evaluate)
    depth: int  # deepest subdivision level reached (0 = icosahedron faces)
    seconds: float
    time_to_best: float  # seconds from the start until the final best value was first found
    final_centers: np.ndarray  # float64 (n, 3): centers of every evaluated cell
    batches: list  # per call: (centers, radii, angular, cell_offsets, relevant, relevant_offsets)


def icosahedron():
    """Corners (12, 3) on the unit sphere and faces (20, 3) of an icosahedron."""
    p = (1 + 5 ** 0.5) / 2
    v = np.array([[-1, p, 0], [1, p, 0], [-1, -p, 0], [1, -p, 0], [0, -1, p], [0, 1, p],
                  [0, -1, -p], [0, 1, -p], [p, 0, -1], [p, 0, 1], [-p, 0, -1], [-p, 0, 1]], dtype=np.float64)
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    f = np.array([[0, 11, 5], [0, 5, 1], [0, 1, 7], [0, 7, 10], [0, 10, 11], [1, 5, 9], [5, 11, 4],
                  [11, 10, 2], [10, 7, 6], [7, 1, 8], [3, 9, 4], [3, 4, 2], [3, 2, 6], [3, 6, 8],
                  [3, 8, 9], [4, 9, 5], [2, 4, 11], [6, 2, 10], [8, 6, 7], [9, 8, 1]])
    return v, f


def _unit(x):
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


def cell_geometry(corners):
    """Centers (n, 3), radii (n,) and angular radii (n,) of spherical triangles (n, 3, 3)."""
    centers = _unit(corners.sum(axis=1))
    cos = np.einsum("nij,nj->ni", corners, centers).min(axis=1)
    angular = np.arccos(np.clip(cos, -1.0, 1.0)) * (1 + 1e-12) + 1e-15  # rounding of the corners
    return centers, 2.0 * np.sin(angular / 2.0), angular


def split(corners):
    """The four children (n, 4, 3, 3) of each spherical triangle of corners (n, 3, 3)."""
    a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
    ab, bc, ca = _unit(a + b), _unit(b + c), _unit(c + a)
    return np.stack([np.stack(t, axis=1) for t in ((a, ab, ca), (ab, b, bc), (ca, bc, c), (ab, bc, ca))], axis=1)


def search(groups, *, tolerance=1e-3, max_depth=12, max_cells=200_000, expand_per_call=64, chunk=16,
           common_shift=0.0, keep_batches=False):
    """Best direction (largest smallest margin) over the groups of a ``ConeGroups``.

    Stops when no open cell's upper bound exceeds the best value by more than ``tolerance``
    or every open cell is at ``max_depth``, or once ``max_cells`` cells were evaluated (the
    upper bound then says how far the answer may be from the best). Each ``cells_bound_batch`` call takes the
    children of up to ``expand_per_call`` open cells (one batch per parent)."""
    if groups.wedge_mask is None:
        groups = zet_native.with_wedges(groups)
    start = time.perf_counter()
    n_groups = len(groups.kinds)
    vertices, faces = icosahedron()
    corners = vertices[faces]
    pending = [(corners[i:i + 1], np.arange(n_groups, dtype=np.int64), 0) for i in range(len(faces))]
    # Root: one batch per face, every group relevant.
    best_value, best_cell, time_to_best = -np.inf, None, 0.0
    open_heap = []  # (-upper bound, tie, corners, center, radius, angular, relevant, depth)
    tie = 0
    cells = calls = offered = depth_reached = 0
    dropped_upper = -np.inf  # largest upper bound of a cell left unsplit at max_depth
    all_centers, batches = [], []
    while True:
        if pending:
            tri = np.concatenate([p[0] for p in pending])
            counts = [len(p[0]) for p in pending]
            centers, radii, angular = cell_geometry(tri)
            cell_offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
            relevant = np.concatenate([p[1] for p in pending]).astype(np.int64)
            relevant_offsets = np.concatenate([[0], np.cumsum([len(p[1]) for p in pending])]).astype(np.int64)
            values, flags = zet_native.cell_bounds(centers, radii, angular, cell_offsets, relevant,
                                                   relevant_offsets, chunk, groups, common_shift)
            if keep_batches:
                batches.append((centers, radii, angular, cell_offsets, relevant, relevant_offsets))
            calls += 1
            cells += len(centers)
            all_centers.append(centers)
            flag_at = 0
            for b, (_, rel, depth) in enumerate(pending):
                ng = len(rel)
                offered += counts[b] * ng
                depth_reached = max(depth_reached, depth)
                for i in range(cell_offsets[b], cell_offsets[b + 1]):
                    row = flags[flag_at:flag_at + ng].view(bool)
                    flag_at += ng
                    child_relevant = rel[row]
                    v = values[i]
                    if v > best_value:
                        best_value = v
                        best_cell = (centers[i], radii[i], angular[i], child_relevant)
                        time_to_best = time.perf_counter() - start
                    upper = v + radii[i] if not np.isnan(v) else np.inf
                    heapq.heappush(open_heap, (-upper, tie, tri[i], depth, child_relevant))
                    tie += 1
            pending = []
        # Pick the next parents: largest upper bounds first; prune the rest that cannot win.
        parents = []
        while (open_heap and -open_heap[0][0] > best_value + tolerance and len(parents) < expand_per_call
               and cells + 4 * (len(parents) + 1) <= max_cells):
            negative_upper, _, tri_i, depth, rel = heapq.heappop(open_heap)
            if depth >= max_depth:
                dropped_upper = max(dropped_upper, -negative_upper)
                continue
            parents.append((tri_i, rel, depth + 1))
        if not parents:
            break
        children = split(np.array([p[0] for p in parents]))  # every parent's four in one go
        pending = [(children[k], rel, depth) for k, (_, rel, depth) in enumerate(parents)]
    upper = max([best_value, dropped_upper] + [-h[0] for h in open_heap])
    return SearchResult(best_cell[0], float(best_value), float(upper), best_cell, cells, calls, offered,
                        depth_reached, time.perf_counter() - start, time_to_best,
                        np.concatenate(all_centers), batches)


class CellCheck(NamedTuple):
    margin: float  # smallest margin over every group at the cell's center
    cap_bound: float  # largest cap lower bound over the cell, over the groups
    caps_below_margins: bool  # every group's cap bound is at most its margin at the center


def check_best_cell(result, groups):
    """Re-scores the best cell of a search against every group, not only the ones its batch
    kept: its center's smallest margin must be the search's value, and the cap lower bounds
    over the whole cell (its angular radius) can never exceed the margins at its center."""
    center, _, angular, _ = result.best_cell
    everything = np.arange(len(groups.kinds))
    margins = zet_native.margins(center[None], everything, groups)[0]
    caps = zet_native.cap_bounds(center[None], everything, groups, angular)[0]
    return CellCheck(float(margins.min()), float(caps.max()), bool(np.all(caps <= margins)))
