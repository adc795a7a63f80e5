"""Named status and reason codes of the native results.

Every code is an ``enum.IntEnum``, so it compares equal to the plain integer the native
module returns (``PathStatus.CANCELLED == 2``) and prints with its name.
"""

from __future__ import annotations

import enum


class SearchStatus(enum.IntEnum):
    """How a traversal or search ended. A search that stopped early returns what it found up to
    then; every result of the companion also says so as ``result.cancelled`` (True only for
    the two cancelled codes)."""

    COMPLETE = 0
    """Ran to its end: every node pair, candidate or pair was examined."""
    PAIR_BUDGET_EXHAUSTED = 1
    """Path query or self-intersection: ``pair_budget`` triangle pairs were evaluated."""
    CANCELLED = 2
    """Path query, clearance candidates or self-intersection: ``should_cancel`` returned true."""
    EVALUATION_LIMIT_REACHED = 3
    """Clearance search: the distance evaluations reached ``evaluation_limit``."""
    SEARCH_CANCELLED = 4
    """Clearance search: ``should_cancel`` returned true."""


CANCELLED_CODES = frozenset({SearchStatus.CANCELLED, SearchStatus.SEARCH_CANCELLED})


class CcdStatus(enum.IntEnum):
    """Outcome of the translating triangle pair kernel (``ccd_batch``'s ``status`` field)."""

    CONTACT = 0
    """Every candidate axis was usable and none separates the pair within the interval: the
    triangles are in contact during [enter, exit]."""
    SEPARATED = 1
    """An axis separates the triangles over the whole interval."""
    UNCERTAIN = 2
    """Nothing was decided (degenerate triangle, no usable axis) or some axes were untested."""


class CcdReason(enum.IntEnum):
    """Why the kernel decided as it did (``ccd_batch``'s ``reason`` field)."""

    OK = 0
    """Contact, with every axis tested (status CONTACT)."""
    MOVING_DEGENERATE = 1
    """The moving triangle has (nearly) collinear vertices; nothing tested (status UNCERTAIN)."""
    OBSTACLE_DEGENERATE = 2
    """The obstacle triangle is degenerate; nothing tested (status UNCERTAIN)."""
    NO_AXIS = 3
    """Every candidate axis was rejected as unreliable (status UNCERTAIN)."""
    SEPARATED_STATIC_AXIS = 4
    """An axis along which the pair does not move separates it (status SEPARATED)."""
    SEPARATED_WINDOW = 5
    """The contact windows of the tested axes do not meet (status SEPARATED)."""
    UNTESTED_AXES = 6
    """A contact window was found, but some axes were too unreliable to test, so the pair may
    in fact stay apart (status UNCERTAIN)."""


class DistanceFeature(enum.IntEnum):
    """The pair of features that gave a conservative triangle distance (``feature`` field of
    ``triangle_distances``, stored there as a float64). Codes 6 to 14 are edge i of the moving
    triangle against edge j of the obstacle, 6 + 3 i + j. Codes 15 to 20 are triangles that cross
    each other: the distance is 0 and both points lie where the first edge found passing through
    the other triangle meets that triangle's plane, the moving triangle's edges 0, 1, 2 before the
    obstacle's."""

    MOVING_VERTEX_0 = 0
    MOVING_VERTEX_1 = 1
    MOVING_VERTEX_2 = 2
    OBSTACLE_VERTEX_0 = 3
    OBSTACLE_VERTEX_1 = 4
    OBSTACLE_VERTEX_2 = 5
    EDGE_0_EDGE_0 = 6
    EDGE_0_EDGE_1 = 7
    EDGE_0_EDGE_2 = 8
    EDGE_1_EDGE_0 = 9
    EDGE_1_EDGE_1 = 10
    EDGE_1_EDGE_2 = 11
    EDGE_2_EDGE_0 = 12
    EDGE_2_EDGE_1 = 13
    EDGE_2_EDGE_2 = 14
    MOVING_EDGE_0_THROUGH_OBSTACLE = 15
    """The moving triangle's edge 0 (vertex 0 to 1) passes through the obstacle triangle."""
    MOVING_EDGE_1_THROUGH_OBSTACLE = 16
    """The moving triangle's edge 1 (vertex 1 to 2) passes through the obstacle triangle."""
    MOVING_EDGE_2_THROUGH_OBSTACLE = 17
    """The moving triangle's edge 2 (vertex 2 to 0) passes through the obstacle triangle."""
    OBSTACLE_EDGE_0_THROUGH_MOVING = 18
    """The obstacle's edge 0 passes through the moving triangle, and none of the moving one's
    edges through the obstacle."""
    OBSTACLE_EDGE_1_THROUGH_MOVING = 19
    """The obstacle's edge 1 passes through the moving triangle (its edge 0 does not)."""
    OBSTACLE_EDGE_2_THROUGH_MOVING = 20
    """The obstacle's edge 2 alone passes through the moving triangle; since crossing triangles
    meet along a segment whose ends are two crossing edges, only where rounding hides the other."""


class ConeKind(enum.IntEnum):
    """How a cone group measures the margin of a direction (``kinds``)."""

    DISTANCE = 0
    """The margin outside the cone is the distance-based one (facets, wedges and generators)."""
    FACETS = 1
    """Any other value: the facets alone decide the margin."""
