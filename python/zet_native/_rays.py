"""Rays against trees: hits, direction scores and winding (inside and outside)."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _zet_native

from ._arrays import in_chunks, real_array, unpack
from ._interrupt import POINTS_PER_SLICE, RAYS_PER_SLICE, ShouldCancel, keep_going
from ._trees import RayMesh, TriangleTree, WindingTree, tree_tuple, usable_of, winding_tree, winding_tuple


class RayHits(NamedTuple):
    """What ``ray_hits`` returns: hit i is ray ``rays[i]`` (a row of the origins) crossing
    triangle ``triangles[i]`` at depth ``depths[i]``, in units of the direction's length. Hits
    come ray by ray in increasing ray order, each ray's in traversal order (not by depth)."""

    cancelled: bool  # True when should_cancel stopped the run; the hits of the rays completed
    rays: np.ndarray  # int64
    triangles: np.ndarray  # int64
    depths: np.ndarray  # float64


def ray_hits(origins: npt.ArrayLike, direction: npt.ArrayLike, ray_length: float, tree: Any,
             usable: npt.ArrayLike | None = None, epsilon: float = 1e-9, cancel_check_interval: int = 4096,
             should_cancel: ShouldCancel = keep_going) -> RayHits:
    """Triangles of ``tree`` (a ``TriangleTree`` or 7-tuple) crossed by a ray from each origin
    (r x 3) along ``direction`` (three numbers) at a depth t with epsilon < t <= epsilon +
    ray_length, t in units of the direction's length.

    ``epsilon`` (default 1e-9) keeps a ray that starts on the surface, such as a vertex ray,
    from hitting the faces at its own origin, where rounding alone would decide. ``usable``
    (bool or integer per triangle, zero skips it) defaults to the triangles that the tree's
    ``excluded`` mask keeps."""
    items = tree_tuple(tree, "tree")
    r = _zet_native.ray_tree_hits(
        real_array(origins, "origins", (-1, 3), rows=True), real_array(direction, "direction", (3,)),
        ray_length, epsilon, items[3], items[4], items[5], items[6], items[0], items[1],
        usable_of(items, usable), cancel_check_interval, should_cancel,
    )
    return RayHits(bool(r[0]), unpack(r[1], "=i8"), unpack(r[2], "=i8"), unpack(r[3], "=f8"))


def winding(points: npt.ArrayLike, direction: npt.ArrayLike, solid: WindingTree | TriangleTree,
            epsilon: float = 1e-12, origin_tolerance: float = 1e-12) -> tuple[np.ndarray, np.ndarray]:
    """(crossings, ambiguous): the signed number of crossings of the ray from each point (P x 3)
    along ``direction`` through the solid (a ``WindingTree``; a ``TriangleTree`` is made into
    one for the call), as int64 (P,), and whether the point's ray was ambiguous, as bool (P,).

    With outward normals a point inside counts -1 and a point outside 0. A ray that grazes an
    edge or vertex, runs parallel to a triangle it reaches, or meets a triangle within
    ``origin_tolerance`` (in lengths of ``direction``) of the point is ambiguous; its count is
    then the partial sum reached when the walk stopped. ``epsilon`` grows every node box by
    8 epsilon for the ray-box test."""
    p = real_array(points, "points", (-1, 3), rows=True)
    d = real_array(direction, "direction", (3,))
    arrays = winding_tuple(solid)

    def run(lo: int, hi: int) -> tuple[bytes, bytes]:
        args: Any = (p[lo:hi], d, *arrays, epsilon, origin_tolerance)
        return _zet_native.ray_winding_batch(*args)

    crossings, ambiguous = np.empty(len(p), "=i8"), np.empty(len(p), np.uint8)
    # A call pays a fixed cost before its first point (the tree is collapsed and its triangles
    # prepared for the direction: some 4 ms for 100k triangles), and its walks cost less a
    # point the more points it has (it orders its points so that neighbours share their walk).
    # So slices are as few as Ctrl-C allows: the first one's pace bears that cost in full, so
    # the next may be up to 32 times as large, and every slice aims at half a second. A copy of
    # nine bytes a point out of cold memory costs less than slices cut to keep it in the cache.
    in_chunks(len(p), POINTS_PER_SLICE, run, seconds=0.5, into=(crossings, ambiguous), growth=32.0,
              hot_bytes=None)
    return crossings, ambiguous.view(bool)


# Directions tried in turn for the points whose ray was ambiguous: irrational-looking
# components, so that a ray along one of them is unlikely to graze the edges of a mesh
# modelled along the axes.
INSIDE_DIRECTIONS = np.array([
    [0.5773502691896258, 0.5773502691896258, 0.5773502691896258],
    [0.2672612419124244, -0.5345224838248488, 0.8017837257372732],
    [-0.7071067811865476, 0.4082482904638631, 0.5773502691896257],
    [0.1336306209562122, 0.9354143466934853, -0.3273268353539886],
    [-0.4850712500726659, -0.2425356250363330, -0.8401680504168059],
])


def contains(tree: Any, points: npt.ArrayLike, solid: WindingTree | None = None) -> np.ndarray:
    """Whether each point (P x 3) lies inside the closed solid of ``tree`` (a ``TriangleTree``
    with outward normals), as bool (P,). A point whose ray is ambiguous (on the surface, or
    grazing an edge) is tried along further directions; a point ambiguous along all of them
    counts as inside when it lies on or within a hair of the surface of a closed mesh.
    ``solid`` reuses a ``winding_tree`` of the tree made before."""
    p = real_array(points, "points", (-1, 3), rows=True)
    solid = winding_tree(tree) if solid is None else solid
    # The walks' tolerances are lengths: 1e-12 of a solid up to a unit in size, 1e-12 of its
    # size below that (a solid of nanometres in metres would otherwise count points well
    # outside it as on its surface).
    # The root's box holds every triangle: its largest side, without a pass over the corners.
    side = np.asarray(solid.node_max[0]) - np.asarray(solid.node_min[0]) if len(solid.node_min) else np.ones(1)
    size = float(side.max())
    tolerance = 1e-12 * min(1.0, size) if size > 0 else 1e-12
    inside = np.zeros(len(p), dtype=bool)
    pending = np.arange(len(p))
    for direction in INSIDE_DIRECTIONS:
        if not len(pending):
            break
        crossings, ambiguous = winding(p[pending], direction, solid, tolerance, tolerance)
        settled = ~ambiguous
        inside[pending[settled]] = crossings[settled] != 0
        pending = pending[ambiguous]
    inside[pending] = True
    return inside


# Seconds a slice of direction scores aims at; see direction_scores.
SCORE_SLICE_SECONDS = 0.8


def direction_scores(directions: npt.ArrayLike, length: float, moving: RayMesh,
                     obstacles: Iterable[RayMesh]) -> tuple[np.ndarray, np.ndarray]:
    """(counts, scores) of each direction (q x 3) for ray meshes made by ``ray_mesh``: counts
    (int64) of the obstacles that the vertex rays of length ``length`` hit, moving vertices
    along the direction and obstacle vertices against it; scores (float64) the total length
    of those rays inside the other solid, in units of the direction's length."""
    d = real_array(directions, "directions", (-1, 3), rows=True)
    mesh = tuple(moving)
    others = tuple(tuple(obstacle) for obstacle in obstacles)
    rays = len(mesh[7]) + sum(len(o[7]) for o in others)
    # Every call collapses and checks the meshes again, so slices here run longer than elsewhere,
    # and that is safe only when a slice's pace predicts the next one's. Directions differ
    # widely in cost (those facing the obstacles trace far deeper), and neighbours in a grid
    # alike, so the slices take the directions in a fixed scattered order: each slice is a fair
    # sample of the rest, and the second slice can grow straight to the target. Each direction's
    # result depends on it alone, so the results put back in place are one call's bytes.
    order = np.random.default_rng(0).permutation(len(d))
    scattered = np.ascontiguousarray(d[order])

    def run(lo: int, hi: int) -> tuple[bytes, bytes]:
        return _zet_native.direction_ray_scores(scattered[lo:hi], length, mesh, others)

    counts, scores = np.empty(len(d), "=i8"), np.empty(len(d), "=f8")
    in_chunks(len(d), max(1, RAYS_PER_SLICE // max(rays, 1)), run, seconds=SCORE_SLICE_SECONDS,
              into=(counts, scores), growth=64.0)
    back = np.argsort(order)  # row i of the scattered results is direction order[i]
    return counts[back], scores[back]


__all__ = ["RayHits", "contains", "direction_scores", "ray_hits", "winding"]
