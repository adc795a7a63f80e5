"""The cone groups of a part's seat against one other part: the directions in which its
touching triangle pairs block it, as the margins and the search for the best direction use
them.

The seat's pairs are already float64 corner arrays of the right layout, so the module is
called directly: the companion's coercions and the copies of its packed results would cost
about as much as the cones of a few hundred pairs.
"""

import functools
from typing import Any

import numpy as np

import _zet_native
import zet_native
from zet_native._interrupt import PAIRS_PER_SLICE

RANK_TOLERANCE = 1e-9  # of a group's generators (as the module's default)
FACET_TOLERANCE = 1e-12  # facets of the seat's cones: seats are exact contacts, not rounding noise
GENERATOR_SLOTS = 9  # vertex differences of a triangle pair
WEDGE_SLOTS = GENERATOR_SLOTS * (GENERATOR_SLOTS - 1) // 2


def seat_cone_groups(moving: np.ndarray, obstacle: np.ndarray) -> zet_native.ConeGroups | None:
    """The cone groups of the seat pairs (corners (n, 3, 3)), or None when no pair makes one.

    A seat with a group that blocks every direction keeps all its groups and no wedges: such
    a group's margin is -1 along every direction, and a wedge only ever gives a margin of 0 or
    more (a distance outside a cone), so the seat's smallest margin is the same without them,
    the search for its best direction stops at that -1 before any cell, and no repeated cone
    needs leaving out. Every other seat keeps its distinct groups, with their wedges."""
    groups = _pair_cone_groups(moving, obstacle)
    if not len(groups.kinds):
        return None
    if groups.blocks_all.any():
        g = len(groups.kinds)
        return groups._replace(wedge_normals=np.zeros((g, 0, 3)), wedge_first_sides=np.zeros((g, 0, 3)),
                               wedge_second_sides=np.zeros((g, 0, 3)), wedge_mask=np.zeros((g, 0), dtype=bool))
    return _with_wedges(distinct_groups(groups))


def _pair_cone_groups(moving: np.ndarray, obstacle: np.ndarray) -> zet_native.ConeGroups:
    """``zet_native.pair_cone_groups(moving, obstacle, 0.0, RANK_TOLERANCE, FACET_TOLERANCE,
    wedges=False).groups``, in one call of the module when the seat is small enough to answer
    Ctrl-C at once (the companion slices larger ones)."""
    n = len(moving)
    moving, obstacle = np.ascontiguousarray(moving, dtype=np.float64), np.ascontiguousarray(obstacle, dtype=np.float64)
    if n > PAIRS_PER_SLICE:
        return zet_native.pair_cone_groups(moving, obstacle, 0.0, RANK_TOLERANCE, FACET_TOLERANCE, wedges=False).groups
    _, width, generators, generator_mask, facets, facet_mask, blocks_all, cap_axes, cap_cos = _zet_native.pair_cones(
        moving, obstacle, np.zeros(n), RANK_TOLERANCE, FACET_TOLERANCE)
    g = len(cap_cos) // 8
    return zet_native.ConeGroups(
        np.zeros(g, dtype=np.int8), _view(generators, np.float64, (g, GENERATOR_SLOTS, 3)),
        _view(generator_mask, bool, (g, GENERATOR_SLOTS)), _view(facets, np.float64, (g, width, 3)),
        _view(facet_mask, bool, (g, width)), _view(blocks_all, bool, (g,)), np.zeros(g), None, None, None, None,
        _view(cap_axes, np.float64, (g, 3)), _view(cap_cos, np.float64, (g,)))


def _with_wedges(groups: zet_native.ConeGroups) -> zet_native.ConeGroups:
    """``zet_native.with_wedges(groups)`` for groups whose arrays are contiguous already."""
    normals, first, second, usable = _zet_native.cone_wedges(groups.generators, groups.generator_mask)
    g = len(groups.kinds)
    return groups._replace(wedge_normals=_view(normals, np.float64, (g, WEDGE_SLOTS, 3)),
                           wedge_first_sides=_view(first, np.float64, (g, WEDGE_SLOTS, 3)),
                           wedge_second_sides=_view(second, np.float64, (g, WEDGE_SLOTS, 3)),
                           wedge_mask=_view(usable, bool, (g, WEDGE_SLOTS)))


def _view(packed: bytes, dtype: Any, shape: tuple[int, ...]) -> np.ndarray:
    """A packed result of the module as a read-only array over its bytes (nothing writes to a
    seat's groups, so they need no copy of their own)."""
    return np.frombuffer(packed, dtype=dtype).reshape(shape)


def distinct_groups(groups: zet_native.ConeGroups) -> zet_native.ConeGroups:
    """The groups with repeated cones left out: the face contacts of two flat faces give the
    same half-space over and over, and each copy would cost the search a margin per cell.
    Groups are the same cone when they have the same facet planes (to 1e-9) and block the
    same; rows are compared through two fixed random projections of their keys."""
    facets = np.round(np.where(groups.facet_mask[..., None], groups.facets, 0.0), 9) + 0.0
    keys = np.concatenate([facets.reshape(len(facets), -1), groups.blocks_all[:, None],
                           groups.kinds[:, None]], axis=1)
    mix = _projections(keys.shape[1])
    hashed = keys @ mix
    order = np.lexsort((hashed[:, 1], hashed[:, 0]))
    ordered = hashed[order]
    new = np.ones(len(order), dtype=bool)
    new[1:] = np.any(ordered[1:] != ordered[:-1], axis=1)
    first = np.sort(order[new])
    return _take(groups, first)


@functools.cache
def _projections(width: int) -> np.ndarray:
    """Two fixed random projections of keys of ``width`` numbers (made once per width)."""
    mix = np.random.default_rng(7).standard_normal((width, 2))
    mix.flags.writeable = False
    return mix


def _take(groups: zet_native.ConeGroups, rows: np.ndarray) -> zet_native.ConeGroups:
    taken: list[Any] = [None if x is None else np.ascontiguousarray(x[rows]) for x in groups]
    return type(groups)(*taken)
