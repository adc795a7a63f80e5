"""numpy views of the results of the ``_zet_native`` extension.

Every function here calls one module function and reinterprets its packed ``bytes``
results as numpy arrays; the argument rules and messages are the extension's own.
"""

from typing import NamedTuple

import numpy as np

import _zet_native

from _zet_native import enter_stage, leave_stage, set_thread_limit, thread_limit

__all__ = [
    "CCD_RESULT_DTYPE",
    "CONTACT_DTYPE",
    "CLEARANCE_WITNESS_DTYPE",
    "ClearanceReport",
    "ClearanceResult",
    "ConeGroups",
    "DISTANCE_DTYPE",
    "NODE_META_DTYPE",
    "PairConeGroups",
    "PathQueryResult",
    "RayHits",
    "SelfIntersectionResult",
    "TriangleTree",
    "UNCERTAIN_WINDOW_DTYPE",
    "WindingTree",
    "build_tree",
    "check_clearance",
    "clearance_candidates",
    "clearance_search",
    "ccd_batch",
    "path_query",
    "direction_scores",
    "ray_hits",
    "ray_mesh",
    "self_intersections",
    "triangle_distances",
    "winding",
    "winding_tree",
    "enter_stage",
    "leave_stage",
    "generator_cone_groups",
    "pair_cone_groups",
    "with_wedges",
    "margins",
    "cap_bounds",
    "cell_bounds",
    "overlap_areas",
    "set_thread_limit",
    "thread_limit",
]

# One row of node_meta: left child (negative for a leaf), right child, leaf start in
# order, triangle count, reserved.
NODE_META_DTYPE = np.dtype(
    [("left", "=i4"), ("right", "=i4"), ("start", "=i4"), ("count", "=i4"), ("reserved", "=i4")]
)


# A triangle pair in contact along a path (48 bytes): contact window, strict (exact) overlap
# flag as 1.0 or 0.0, and the exact window.
CONTACT_DTYPE = np.dtype(
    [("moving_triangle", "=u4"), ("obstacle_triangle", "=u4"), ("enter", "=f8"), ("exit", "=f8"),
     ("strict", "=f8"), ("strict_enter", "=f8"), ("strict_exit", "=f8")]
)

# A triangle pair whose contact window was found with some axes untested (24 bytes).
UNCERTAIN_WINDOW_DTYPE = np.dtype(
    [("moving_triangle", "=u4"), ("obstacle_triangle", "=u4"), ("enter", "=f8"), ("exit", "=f8")]
)

# One result of the translating triangle pair kernel.
CCD_RESULT_DTYPE = np.dtype(
    [("status", "=i4"), ("enter", "=f8"), ("exit", "=f8"), ("strict", "=i4"),
     ("strict_enter", "=f8"), ("strict_exit", "=f8"), ("axis_count", "=i4"),
     ("skipped_axes", "=i4"), ("reason", "=i4")]
)


# The conservative distance of one triangle pair (72 bytes): the bracket [lower, upper] of
# the distance, the closest points on the moving and the obstacle triangle, and the feature
# pair that gave it (0..14, a float64 holding a small integer).
# A candidate pair whose clearance search found a violation (96 bytes): the pair's position
# in the candidate array, whether everything after the witness interval was proved clear,
# the witness interval and its midpoint t, the distance bracket at t and the closest points
# (on the moving triangle at its position at t, and on the obstacle triangle).
CLEARANCE_WITNESS_DTYPE = np.dtype(
    [("pair_index", "=u4"), ("clear_after", "=u4"), ("t_lo", "=f8"), ("t_hi", "=f8"), ("t", "=f8"),
     ("lower", "=f8"), ("upper", "=f8"), ("point_a", "=f8", (3,)), ("point_b", "=f8", (3,))]
)

DISTANCE_DTYPE = np.dtype(
    [("lower", "=f8"), ("upper", "=f8"), ("point_a", "=f8", (3,)), ("point_b", "=f8", (3,)),
     ("feature", "=f8")]
)


class TriangleTree(NamedTuple):
    """A mesh with its tree: the 7-tuple that every tree operation takes."""

    vertices: np.ndarray
    triangles: np.ndarray
    excluded: np.ndarray
    node_min: np.ndarray
    node_max: np.ndarray
    node_meta: np.ndarray
    order: np.ndarray


def build_tree(vertices, triangles, leaf_size=4, excluded=None, should_cancel=None, *,
               cancel_check_interval=1024):
    """Build the AABB tree of a mesh and return it as a ``TriangleTree``.

    ``excluded`` is the per-triangle exclusion mask of the tree argument (all zero when
    omitted).
    """
    node_min, node_max, node_meta, order = _zet_native.build_aabb_tree(
        vertices, triangles, leaf_size, should_cancel, cancel_check_interval
    )
    triangles = np.asarray(triangles)
    if excluded is None:
        excluded = np.zeros(len(triangles), dtype=np.uint8)
    return TriangleTree(
        np.asarray(vertices),
        triangles,
        np.asarray(excluded),
        np.frombuffer(node_min, dtype=np.float64).reshape(-1, 3),
        np.frombuffer(node_max, dtype=np.float64).reshape(-1, 3),
        np.frombuffer(node_meta, dtype=np.int32).reshape(-1, 5),
        np.frombuffer(order, dtype=np.uint32),
    )


class PathQueryResult(NamedTuple):
    """What bvh_path_query returns, with contacts and uncertain windows as numpy arrays."""

    status: int  # 0 complete, 1 pair budget exhausted, 2 cancelled
    pairs_used: int
    uncertain: int
    contacts: np.ndarray  # CONTACT_DTYPE, latest exit first
    uncertain_windows: np.ndarray  # UNCERTAIN_WINDOW_DTYPE, in consumption order
    node_pairs: int
    leaf_pairs: int
    candidate_pairs: int
    chunks: int
    max_heap: int


class SelfIntersectionResult(NamedTuple):
    """What self_intersection_pairs returns, with the witnesses as an (n, 2) uint32 array."""

    status: int  # 0 complete, 1 pair budget exhausted, 2 cancelled
    evaluated: int
    intersecting: int
    undecided: int
    witnesses: np.ndarray


def path_query(moving, obstacle, velocity, t_begin, t_end, *, box_tol=1e-9, box_static=0.0,
               abs_tol=1e-12, rel_tol=1e-12, sin_tol=1e-9, pair_budget=2**62,
               cancel_interval=4096, should_cancel=None):
    """Contacts of the moving tree translating by t * velocity, t in [t_begin, t_end], with
    the obstacle tree (both 7-tuples such as ``TriangleTree``)."""
    r = _zet_native.bvh_path_query(
        tuple(moving), tuple(obstacle), velocity, t_begin, t_end, box_tol, box_static, abs_tol,
        rel_tol, sin_tol, pair_budget, cancel_interval, should_cancel,
    )
    return PathQueryResult(
        r[0], r[1], r[2], np.frombuffer(r[3], dtype=CONTACT_DTYPE),
        np.frombuffer(r[4], dtype=UNCERTAIN_WINDOW_DTYPE), *r[5:],
    )


class RayHits(NamedTuple):
    """What ray_tree_hits returns, as numpy arrays: hit i is ray rays[i] (a row of origins)
    crossing triangle triangles[i] at depth depths[i], in units of the direction's length.
    Hits come in traversal order, rays in increasing order; they are not sorted by depth."""

    cancelled: int  # 1 when should_cancel stopped the run; the hits of the rays completed
    rays: np.ndarray  # int64
    triangles: np.ndarray  # int64
    depths: np.ndarray  # float64


def ray_hits(origins, direction, ray_length, tree, usable=None, epsilon=0.0,
             cancel_check_interval=4096, should_cancel=None):
    """Triangles of ``tree`` crossed by a ray from each origin (float64 (r, 3)) along
    ``direction`` (float64 (3,)) at a depth t with epsilon < t <= epsilon + ray_length.

    ``direction`` may be any sequence of three numbers. ``tree`` is a 7-tuple such as
    ``TriangleTree``. ``usable`` is a per-triangle uint8 or bool array (0 skips the
    triangle); it defaults to the triangles that the tree's ``excluded`` mask keeps.
    """
    if usable is None:
        usable = (np.asarray(tree[2]) == 0).view(np.uint8)
    r = _zet_native.ray_tree_hits(
        origins, np.asarray(direction, dtype=np.float64), ray_length, epsilon, tree[3], tree[4],
        tree[5], tree[6], tree[0], tree[1], usable, cancel_check_interval, should_cancel,
    )
    return RayHits(r[0], np.frombuffer(r[1], dtype="=i8"), np.frombuffer(r[2], dtype="=i8"),
                   np.frombuffer(r[3], dtype="=f8"))


class WindingTree(NamedTuple):
    """The eight arrays of a closed solid that ray_winding_batch takes after its direction.

    Node 0 is the root; an internal node has two children after it (``is_leaf`` 0), a leaf
    lists its triangles in its row of ``leaf_table`` padded with -1. Triangle ``t`` is
    ``triangle_vertices[t]`` (corners in order; the normal is (V1 - V0) x (V2 - V0)), and
    takes part when ``usable[t]`` is nonzero."""

    node_min: np.ndarray  # float64 (K, 3)
    node_max: np.ndarray  # float64 (K, 3)
    child_left: np.ndarray  # int64 (K,)
    child_right: np.ndarray  # int64 (K,)
    is_leaf: np.ndarray  # uint8 (K,)
    leaf_table: np.ndarray  # int64 (K, L), L the largest leaf's triangle count
    triangle_vertices: np.ndarray  # float64 (T, 3, 3)
    usable: np.ndarray  # uint8 (T,)


def winding_tree(tree, usable=None):
    """The ``WindingTree`` of a 7-tuple tree such as ``TriangleTree`` (from ``build_tree``):
    the same nodes, each leaf's range of ``order`` as a row of ``leaf_table``, and the
    corners of every triangle. ``usable`` defaults to the triangles that the tree's
    ``excluded`` mask keeps."""
    vertices, triangles, excluded, node_min, node_max, node_meta, order = tree
    meta = np.asarray(node_meta, dtype=np.int32).reshape(-1, 5)
    order = np.asarray(order, dtype=np.int64)
    leaves = np.flatnonzero(meta[:, 0] < 0)
    starts, counts = meta[leaves, 2].astype(np.int64), meta[leaves, 3].astype(np.int64)
    width = int(counts.max(initial=0))
    slots = np.arange(width)
    filled = slots[None, :] < counts[:, None]
    rows = np.full((len(leaves), width), -1, dtype=np.int64)
    rows[filled] = order[(starts[:, None] + slots[None, :])[filled]]
    leaf_table = np.full((len(meta), width), -1, dtype=np.int64)
    leaf_table[leaves] = rows
    if usable is None:
        usable = (np.asarray(excluded) == 0).view(np.uint8)
    corners = np.asarray(vertices, dtype=np.float64)[np.asarray(triangles, dtype=np.int64)]
    return WindingTree(
        np.ascontiguousarray(node_min, dtype=np.float64),
        np.ascontiguousarray(node_max, dtype=np.float64),
        meta[:, 0].astype(np.int64),
        meta[:, 1].astype(np.int64),
        (meta[:, 0] < 0).view(np.uint8),
        leaf_table,
        np.ascontiguousarray(corners.reshape(-1, 3, 3)),
        np.asarray(usable),
    )


def winding(points, direction, winding_tree, epsilon=1e-12, origin_tolerance=1e-12):
    """(crossings, ambiguous): the signed number of crossings of the ray from each point
    (float64 (P, 3)) along ``direction`` through the solid of ``winding_tree`` (a
    ``WindingTree``), as int64 (P,), and whether the point's ray was ambiguous, as bool (P,).

    With outward normals a point inside counts -1 and a point outside 0. A ray that grazes
    an edge or vertex, runs parallel to a triangle it reaches, or meets a triangle within
    ``origin_tolerance`` (in lengths of ``direction``) of the point is ambiguous; its count
    is then the partial sum reached when the walk stopped."""
    crossings, ambiguous = _zet_native.ray_winding_batch(
        points, np.asarray(direction, dtype=np.float64), *winding_tree, epsilon, origin_tolerance
    )
    return np.frombuffer(crossings, dtype="=i8"), np.frombuffer(ambiguous, dtype=np.uint8).view(bool)


def ray_mesh(tree, points=None, epsilon=1e-9, usable=None):
    """The 11-tuple ray mesh that direction_scores takes, from a mesh and its tree (a 7-tuple
    such as ``TriangleTree``): (vertices, triangles, node_min, node_max, node_meta, order,
    usable, points, bounds_min, bounds_max, epsilon).

    ``points`` are the int64 indices of the vertices that shoot rays (all vertices when
    omitted). ``epsilon`` is the mesh's ray epsilon and box margin. ``usable`` is a
    per-triangle uint8 or bool array (0 skips the triangle); it defaults to the triangles that
    the tree's ``excluded`` mask keeps. The box spans the vertices (empty when there are none).
    """
    vertices = np.asarray(tree[0])
    if points is None:
        points = np.arange(len(vertices), dtype=np.int64)
    if usable is None:
        usable = (np.asarray(tree[2]) == 0).view(np.uint8)
    if len(vertices):
        low, high = vertices.min(axis=0), vertices.max(axis=0)
    else:
        low, high = np.full(3, np.inf), np.full(3, -np.inf)
    return (vertices, np.asarray(tree[1]), tree[3], tree[4], tree[5], tree[6], usable,
            np.ascontiguousarray(points, dtype=np.int64), np.ascontiguousarray(low, dtype=np.float64),
            np.ascontiguousarray(high, dtype=np.float64), epsilon)


def direction_scores(directions, length, moving, obstacles):
    """(counts, scores) of each direction (float64 (q, 3)) for ray meshes made by ``ray_mesh``:
    counts (int64) of the obstacles that the vertex rays of length ``length`` hit, moving
    vertices along the direction and obstacle vertices against it; scores (float64) the total
    length of those rays inside the other solid, in units of the direction's length."""
    counts, scores = _zet_native.direction_ray_scores(
        np.asarray(directions, dtype=np.float64), length, tuple(moving),
        tuple(tuple(obstacle) for obstacle in obstacles),
    )
    return np.frombuffer(counts, dtype="=i8"), np.frombuffer(scores, dtype="=f8")


def ccd_batch(moving, obstacle, velocity, paths, abs_tol=1e-12, rel_tol=1e-12, sin_tol=1e-9):
    """The translating triangle kernel on each pair, as a CCD_RESULT_DTYPE array."""
    results = _zet_native.translation_triangle_ccd_batch(
        moving, obstacle, velocity, paths, abs_tol, rel_tol, sin_tol
    )
    return np.array(results, dtype=CCD_RESULT_DTYPE)


def triangle_distances(moving, obstacle, absolute_tolerance=0.0, relative_tolerance=1e-12):
    """Conservative distance of each triangle pair (moving[i], obstacle[i]), both float64
    (n, 3, 3), as a DISTANCE_DTYPE array."""
    return np.frombuffer(
        _zet_native.triangle_distance_batch(moving, obstacle, absolute_tolerance,
                                            relative_tolerance),
        dtype=DISTANCE_DTYPE,
    )


def self_intersections(mesh, epsilon=0.0, *, abs_tol=1e-12, rel_tol=1e-12, sin_tol=1e-9,
                       pair_budget=2**62, witness_limit=1024, cancel_interval=4096,
                       should_cancel=None):
    """Intersecting triangle pairs of one mesh that share no vertex (``mesh`` a 7-tuple)."""
    r = _zet_native.self_intersection_pairs(
        tuple(mesh), epsilon, abs_tol, rel_tol, sin_tol, pair_budget, witness_limit,
        cancel_interval, should_cancel,
    )
    return SelfIntersectionResult(*r[:4], np.frombuffer(r[4], dtype=np.uint32).reshape(-1, 2))


class ClearanceResult(NamedTuple):
    """What clearance_pairs returns, with the witnesses as a CLEARANCE_WITNESS_DTYPE array."""

    status: int  # 0 every pair searched, 3 evaluation limit reached, 4 cancelled
    pairs_searched: int
    evaluations: int  # pass back as `evaluations` to share one budget across calls
    unresolved: int
    witnesses: np.ndarray


class ClearanceReport(NamedTuple):
    """A clearance check of one moving tree against several obstacles."""

    status: int  # 0 complete, 2 cancelled while listing candidates, 3 budget reached, 4 cancelled
    evaluations: int
    candidates: list  # per obstacle checked: (n, 2) uint32 candidate pairs
    results: list  # per obstacle checked: ClearanceResult


def clearance_candidates(moving, obstacle, velocity, path_length, clearance, *, box_tol=1e-9,
                         box_static=0.0, cancel_interval=4096, should_cancel=None):
    """(status, pairs): the triangle pairs whose boxes come within ``clearance`` while the moving
    tree translates by t * velocity, t in [0, path_length]; pairs as an (n, 2) uint32 array."""
    status, pairs = _zet_native.clearance_candidate_pairs(
        tuple(moving), tuple(obstacle), velocity, path_length, box_tol, box_static, clearance,
        cancel_interval, should_cancel,
    )
    return status, np.frombuffer(pairs, dtype=np.uint32).reshape(-1, 2)


def clearance_search(moving, obstacle, pairs, velocity, path_length, clearance, *, lowers=None,
                     absolute_tolerance=0.0, relative_tolerance=1e-12, min_width=1e-6,
                     max_depth=20, evaluations=0, evaluation_limit=2**62, cancel_interval=4096,
                     should_cancel=None):
    """Searches each candidate pair's path interval [lowers[k], path_length] (0 by default)
    for places where the two triangles come closer than ``clearance``."""
    pairs = np.asarray(pairs, dtype=np.uint32).reshape(-1, 2)
    lowers = np.zeros(len(pairs)) if lowers is None else lowers
    r = _zet_native.clearance_pairs(
        moving[0], moving[1], obstacle[0], obstacle[1], pairs, lowers, velocity, path_length,
        clearance, absolute_tolerance, relative_tolerance, min_width, max_depth, evaluations,
        evaluation_limit, cancel_interval, should_cancel,
    )
    return ClearanceResult(*r[:4], np.frombuffer(r[4], dtype=CLEARANCE_WITNESS_DTYPE))


def check_clearance(moving, obstacles, velocity, path_length, clearance, *,
                    evaluation_limit=2**62, should_cancel=None, **search_options):
    """Both steps (candidates, then their search) for a moving tree against each obstacle tree
    in turn, the obstacles sharing one budget of distance evaluations. Stops at the first
    obstacle whose check was cut short (budget or cancellation)."""
    evaluations, candidates, results = 0, [], []
    box_options = {k: search_options.pop(k) for k in ("box_tol", "box_static") if k in search_options}
    for obstacle in obstacles:
        status, pairs = clearance_candidates(moving, obstacle, velocity, path_length, clearance,
                                             should_cancel=should_cancel, **box_options)
        candidates.append(pairs)
        if status != 0:
            return ClearanceReport(status, evaluations, candidates, results)
        result = clearance_search(moving, obstacle, pairs, velocity, path_length, clearance,
                                  evaluations=evaluations, evaluation_limit=evaluation_limit,
                                  should_cancel=should_cancel, **search_options)
        results.append(result)
        evaluations = result.evaluations
        if result.status != 0:
            return ClearanceReport(result.status, evaluations, candidates, results)
    return ClearanceReport(0, evaluations, candidates, results)


def overlap_areas(subject, clip, tolerance=0.0):
    """Overlap area of each planar triangle pair, as a float64 array."""
    return np.frombuffer(_zet_native.clipped_overlap_areas(subject, clip, tolerance), dtype=np.float64)


class ConeGroups(NamedTuple):
    """Cone groups of blocked directions as numpy arrays, indexed by group first.

    The fields follow the argument order of the consumers: ``groups[:11]`` are the group
    arrays of ``cone_margins`` (after ``vectors`` and ``selected``) and the whole tuple those
    of ``cells_bound_batch`` (after ``chunk``). K = 9 slots from ``pair_cones`` and
    ``cone_groups``; F is the largest facet count of the call; W = K (K - 1) / 2. The wedge
    fields are None until ``with_wedges`` fills them.
    """

    kinds: np.ndarray  # int8 (G,): 0 distance-based margin outside the cone, else facets alone
    generators: np.ndarray  # float64 (G, K, 3)
    generator_mask: np.ndarray  # bool (G, K)
    facets: np.ndarray  # float64 (G, F, 3), facets first, zero rows after them
    facet_mask: np.ndarray  # bool (G, F)
    blocks_all: np.ndarray  # bool (G,)
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


def _per_group(value, dtype, groups, producing=None):
    """A scalar, one value per group, or (with ``producing``) one value per input item."""
    value = np.asarray(value, dtype=dtype)
    if value.ndim == 1 and producing is not None and len(value) == len(producing):
        value = value[producing]
    return np.ascontiguousarray(np.broadcast_to(value, (groups,)))


def _cone_groups(result, kinds, shifts, per_pair, wedges):
    has_group, capacity, generators, generator_mask, facets, facet_mask, blocks_all, cap_axes, \
        cap_cos = result
    flags = np.frombuffer(has_group, dtype=np.uint8).view(bool)
    g = len(cap_cos) // 8
    producing = flags if per_pair else None
    groups = ConeGroups(
        _per_group(kinds, np.int8, g, producing),
        np.frombuffer(generators, dtype=np.float64).reshape(g, 9, 3),
        np.frombuffer(generator_mask, dtype=np.uint8).view(bool).reshape(g, 9),
        np.frombuffer(facets, dtype=np.float64).reshape(g, capacity, 3),
        np.frombuffer(facet_mask, dtype=np.uint8).view(bool).reshape(g, capacity),
        np.frombuffer(blocks_all, dtype=np.uint8).view(bool),
        _per_group(shifts, np.float64, g, producing),
        None, None, None, None,
        np.frombuffer(cap_axes, dtype=np.float64).reshape(g, 3),
        np.frombuffer(cap_cos, dtype=np.float64),
    )
    return flags, with_wedges(groups) if wedges else groups


def pair_cone_groups(moving, obstacle, epsilon=0.0, rank_tolerance=1e-9, facet_tolerance=0.0, *,
                     kinds=0, shifts=0.0, wedges=True):
    """Cone groups of triangle pairs (moving, obstacle: float64 (n, 3, 3)), with wedges.

    ``epsilon`` is a scalar or float64 (n,): a vertex difference no longer than it is no
    generator. ``kinds`` and ``shifts`` are scalars, one value per group, or one value per
    pair (the values of pairs that make no group are dropped).
    """
    moving = np.asarray(moving)
    epsilon = np.ascontiguousarray(np.broadcast_to(np.asarray(epsilon, np.float64), (len(moving),)))
    result = _zet_native.pair_cones(moving, obstacle, epsilon, rank_tolerance, facet_tolerance)
    flags, groups = _cone_groups(result, kinds, shifts, True, wedges)
    return PairConeGroups(flags, groups)


def generator_cone_groups(generators, generator_mask, rank_tolerance=1e-9, facet_tolerance=0.0, *,
                          kinds=0, shifts=0.0, wedges=True):
    """Cone groups of given generators (float64 (G, 9, 3)) and their mask (bool (G, 9)),
    with wedges; ``kinds`` and ``shifts`` are scalars or one value per group."""
    result = _zet_native.cone_groups(generators, generator_mask, rank_tolerance, facet_tolerance)
    return _cone_groups(result, kinds, shifts, False, wedges)[1]


def with_wedges(groups):
    """``groups`` with the wedge arrays of its generators (``cone_wedges``) filled in."""
    generators = np.ascontiguousarray(groups.generators, dtype=np.float64)
    mask = np.ascontiguousarray(groups.generator_mask, dtype=bool)
    normals, first, second, usable = _zet_native.cone_wedges(generators, mask)
    g, k = mask.shape
    w = k * (k - 1) // 2
    return groups._replace(
        wedge_normals=np.frombuffer(normals, dtype=np.float64).reshape(g, w, 3),
        wedge_first_sides=np.frombuffer(first, dtype=np.float64).reshape(g, w, 3),
        wedge_second_sides=np.frombuffer(second, dtype=np.float64).reshape(g, w, 3),
        wedge_mask=np.frombuffer(usable, dtype=np.uint8).view(bool).reshape(g, w),
    )


def margins(directions, selected, groups, common_shift=0.0):
    """Margins (float64 (N, S)) of unit directions (float64 (N, 3)) against the groups
    ``selected`` (int64 (S,)) of a ``ConeGroups``; its wedges are made first when missing."""
    directions = np.ascontiguousarray(directions, dtype=np.float64).reshape(-1, 3)
    selected = np.ascontiguousarray(selected, dtype=np.int64).reshape(-1)
    if groups.wedge_mask is None:
        groups = with_wedges(groups)
    arrays = [np.ascontiguousarray(a) for a in groups[:11]]
    result = _zet_native.cone_margins(directions, selected, *arrays, common_shift)
    return np.frombuffer(result, dtype=np.float64).reshape(len(directions), len(selected))


def cap_bounds(directions, selected, groups, angular_radius, common_shift=0.0):
    """Cap lower bounds (float64 (N, S)) of the margins of every direction within
    ``angular_radius`` (radians: a scalar, or float64 (N,) one per direction) of each unit
    direction (float64 (N, 3)), against the groups ``selected`` (int64 (S,)) of a ``ConeGroups``."""
    directions = np.ascontiguousarray(directions, dtype=np.float64).reshape(-1, 3)
    selected = np.ascontiguousarray(selected, dtype=np.int64).reshape(-1)
    radius = np.ascontiguousarray(np.atleast_1d(angular_radius), dtype=np.float64)
    arrays = [np.ascontiguousarray(a) for a in
              (groups.cap_axes, groups.cap_cos, groups.blocks_all, groups.shifts)]
    result = _zet_native.cone_cap_lower_bounds(directions, selected, *arrays, radius, common_shift)
    return np.frombuffer(result, dtype=np.float64).reshape(len(directions), len(selected))


def cell_bounds(centers, radii, angular, cell_offsets, relevant, relevant_offsets, chunk, groups,
                common_shift=0.0):
    """(values, flags) of sibling cell batches against the groups of a ``ConeGroups``.

    Batch b owns the cells ``cell_offsets[b]:cell_offsets[b + 1]`` (unit centers float64 (N, 3),
    radii and angular radii float64 (N,)) and the groups ``relevant[relevant_offsets[b]:
    relevant_offsets[b + 1]]`` (int64). ``chunk`` groups are taken between two pruning checks.
    Returns values float64 (N,), each cell's smallest margin at its center over its batch's
    groups, and flags uint8 (P,): per batch, nc rows of ng bytes, 1 where the group may still
    give the smallest margin somewhere in the cell. Wedges are made first when missing."""
    if groups.wedge_mask is None:
        groups = with_wedges(groups)
    cells = [np.ascontiguousarray(a, dtype=np.float64) for a in (radii, angular)]
    indices = [np.ascontiguousarray(a, dtype=np.int64).reshape(-1)
               for a in (cell_offsets, relevant, relevant_offsets)]
    values, flags = _zet_native.cells_bound_batch(
        np.ascontiguousarray(centers, dtype=np.float64).reshape(-1, 3), *cells, indices[0], indices[1],
        indices[2], chunk, *[np.ascontiguousarray(a) for a in groups], common_shift,
    )
    return np.frombuffer(values, dtype=np.float64), np.frombuffer(flags, dtype=np.uint8)
