"""zet_native: the geometry of collision-free translations of rigid triangle meshes, for
numpy users.

Every function here calls the native module ``_zet_native`` and gives its results as named
tuples of writable numpy arrays. Arguments are converted with numpy first: lists, tuples and
views in any memory order, any real dtype for coordinates and any integer dtype for indices
(out-of-range indices are refused with the argument's name and row), boolean or integer masks,
and mesh objects with ``vertices`` and ``faces`` (trimesh). Long calls stop on Ctrl-C with
KeyboardInterrupt. Status and reason codes are the enums of ``zet_native.codes``; the packed
record layouts are the dtypes of ``zet_native.records``.

The native module itself stays strict (exact dtypes and layouts, packed ``bytes`` results);
use it directly when the conversions here cost too much.
"""

from _zet_native import enter_stage, leave_stage, set_thread_limit, thread_limit

from ._cones import (
    FACET_TOLERANCE,
    RELATIVE_GENERATOR_EPSILON,
    ConeGroups,
    PairConeGroups,
    cap_bounds,
    cell_bounds,
    generator_cone_groups,
    margins,
    pair_cone_groups,
    with_wedges,
)
from ._interrupt import keep_going
from ._paths import (
    ClearanceCandidates,
    ClearanceReport,
    ClearanceResult,
    PathQueryResult,
    SelfIntersectionResult,
    ccd_batch,
    check_clearance,
    clearance_candidates,
    clearance_search,
    overlap_areas,
    path_query,
    self_intersections,
    triangle_distances,
)
from ._rays import RayHits, contains, direction_scores, ray_hits, winding
from ._trees import RayMesh, TriangleTree, WindingTree, build_tree, ray_mesh, winding_tree
from .codes import CcdReason, CcdStatus, ConeKind, DistanceFeature, SearchStatus
from .records import (
    CCD_RESULT_DTYPE,
    CLEARANCE_WITNESS_DTYPE,
    CONTACT_DTYPE,
    DISTANCE_DTYPE,
    NODE_META_DTYPE,
    UNCERTAIN_WINDOW_DTYPE,
)


def vector_build() -> str:
    """The vector build of the native lane kernels in use ("scalar", "4 lanes (AVX2)" or
    "8 lanes (AVX-512F)"), as the module reports it."""
    import _zet_native

    return str(_zet_native.vector_build)


__all__ = [
    "CCD_RESULT_DTYPE",
    "CLEARANCE_WITNESS_DTYPE",
    "CONTACT_DTYPE",
    "DISTANCE_DTYPE",
    "FACET_TOLERANCE",
    "NODE_META_DTYPE",
    "RELATIVE_GENERATOR_EPSILON",
    "UNCERTAIN_WINDOW_DTYPE",
    "CcdReason",
    "CcdStatus",
    "ClearanceCandidates",
    "ClearanceReport",
    "ClearanceResult",
    "ConeGroups",
    "ConeKind",
    "DistanceFeature",
    "PairConeGroups",
    "PathQueryResult",
    "RayHits",
    "RayMesh",
    "SearchStatus",
    "SelfIntersectionResult",
    "TriangleTree",
    "WindingTree",
    "build_tree",
    "cap_bounds",
    "ccd_batch",
    "cell_bounds",
    "check_clearance",
    "clearance_candidates",
    "clearance_search",
    "contains",
    "direction_scores",
    "enter_stage",
    "generator_cone_groups",
    "keep_going",
    "leave_stage",
    "margins",
    "overlap_areas",
    "pair_cone_groups",
    "path_query",
    "ray_hits",
    "ray_mesh",
    "self_intersections",
    "set_thread_limit",
    "thread_limit",
    "triangle_distances",
    "vector_build",
    "winding",
    "winding_tree",
    "with_wedges",
]
