"""ZET native numeric accelerators.

Array arguments are objects exposing the buffer protocol (in practice C-contiguous numpy
arrays). Array results are ``bytes`` holding packed, C-ordered elements in native byte
order; view them with ``numpy.frombuffer(data, dtype).reshape(shape)``, or use the
companion package ``zet_native``, which does this for every function.
"""

from collections.abc import Buffer, Callable
from typing import Any, Final

_ShouldCancel = Callable[[], Any] | None

vector_build: Final[str]
"""Vector build of the lane kernels in use: "scalar", "4 lanes (AVX2)" or "8 lanes (AVX-512F)".
Read-only; ZET_NATIVE_LANES=1 or 4, read when the module loads, caps the width."""

def set_thread_limit(limit: int, /) -> int:
    """Set the worker thread limit (0 = automatic); returns the previous setting.

    Values above 2**31 - 1 are stored as 2**31 - 1; kernels use at most 32 threads.
    """

def thread_limit() -> int:
    """Worker threads kernels currently use, the calling thread included (1 to 32)."""

def enter_stage(share: int, /) -> None:
    """Mark the calling thread as a concurrent search stage with a share of the thread limit (percent, 1 to 100)."""

def leave_stage() -> None:
    """Unmark the calling thread; its stage no longer shares the thread limit."""

def build_aabb_tree(
    vertices: Buffer,
    triangles: Buffer,
    leaf_size: int,
    should_cancel: _ShouldCancel,
    cancel_check_interval: int,
    /,
) -> tuple[bytes, bytes, bytes, bytes]:
    """Build a compact deterministic AABB tree.

    vertices: float64 (n, 3); triangles: uint32 (m, 3). Returns (node_min, node_max,
    node_meta, order): frombuffer as float64 (k, 3), float64 (k, 3), int32 (k, 5) and
    uint32 (m,). Raises InterruptedError when should_cancel answers true.
    """

def clipped_overlap_areas(subject: Buffer, clip: Buffer, tolerance: float, /) -> bytes:
    """Overlap areas of planar triangle pairs clipped in 2D.

    subject, clip: float64 (n, 3, 2). Returns float64 (n,): frombuffer(data, float64).
    """

def triangle_distance_batch(
    moving: Buffer,
    obstacle: Buffer,
    absolute_tolerance: float,
    relative_tolerance: float,
    /,
) -> bytes:
    """Full-feature conservative distance for a batch of triangle pairs.

    moving, obstacle: float64 (n, 3, 3), pair i the triangles moving[i] and obstacle[i].
    Returns n records of nine float64 (72 bytes each), zet_native.DISTANCE_DTYPE: lower,
    upper, point_a (x, y, z on the moving triangle), point_b (x, y, z on the obstacle
    triangle), feature (0..20: vertex k of moving against obstacle is k, vertex k of
    obstacle against moving 3 + k, edge i against edge j 6 + 3 i + j; triangles that cross
    each other are at d = 0, both points where the first crossing edge meets the other
    triangle's plane, moving edge k through the obstacle 15 + k, obstacle edge k through
    the moving triangle 18 + k, the moving triangle's edges first). lower = max(0, d - tau),
    upper = d + tau with tau = absolute_tolerance + relative_tolerance * max(1, largest
    absolute coordinate of the pair).
    """

def translation_triangle_ccd_batch(
    moving: Buffer,
    obstacle: Buffer,
    velocity: Buffer,
    paths: Buffer,
    abs_tol: float,
    rel_tol: float,
    sin_tol: float,
    /,
) -> list[tuple[int, float, float, int, float, float, int, int, int]]:
    """Evaluate a batch of translating triangle pairs.

    moving, obstacle: float64 (n, 3, 3); velocity: float64 (3,); paths: float64 (n, 2),
    row i the interval [t0, t1] of pair i. Returns one tuple per pair: (status, enter, exit,
    strict, strict_enter, strict_exit, axis_count, skipped_axes, reason); status 0 contact,
    1 separated, 2 uncertain.
    """

_Tree = tuple[Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer]
"""(vertices float64 (n, 3), triangles uint32 (m, 3), excluded uint8/bool (m,),
node_min float64 (k, 3), node_max float64 (k, 3), node_meta int32 (k, 5), order uint32 (L,))"""

def bvh_path_query(
    moving: _Tree,
    obstacle: _Tree,
    velocity: Buffer,
    t_begin: float,
    t_end: float,
    box_tol: float,
    box_static: float,
    abs_tol: float,
    rel_tol: float,
    sin_tol: float,
    pair_budget: int,
    cancel_interval: int,
    should_cancel: _ShouldCancel,
    /,
) -> tuple[int, int, int, bytes, bytes, int, int, int, int, int]:
    """Traverse one moving/obstacle tree pair with leaf CCD.

    velocity: float64 (3,), finite (a NaN or infinite component raises ValueError).

    Returns (status, pairs_used, uncertain, contacts, uncertain_windows, node_pairs,
    leaf_pairs, candidate_pairs, chunks, max_heap); status 0 complete, 1 pair budget
    exhausted, 2 cancelled. contacts: 48-byte records (moving uint32, obstacle uint32, enter,
    exit, strict, strict_enter, strict_exit float64), zet_native.CONTACT_DTYPE;
    uncertain_windows: 24-byte records (moving, obstacle, enter, exit),
    zet_native.UNCERTAIN_WINDOW_DTYPE.
    """

def self_intersection_pairs(
    mesh: _Tree,
    epsilon: float,
    abs_tol: float,
    rel_tol: float,
    sin_tol: float,
    pair_budget: int,
    witness_limit: int,
    cancel_interval: int,
    should_cancel: _ShouldCancel,
    /,
) -> tuple[int, int, int, int, bytes]:
    """Self-join of one triangle tree: intersecting non-adjacent pairs, counts and witnesses.

    Returns (status, evaluated, intersecting, undecided, witnesses); witnesses:
    frombuffer(data, uint32).reshape(-1, 2), sorted (low, high) pairs.
    """

def clearance_candidate_pairs(
    moving: _Tree,
    obstacle: _Tree,
    velocity: Buffer,
    path_length: float,
    box_tol: float,
    box_static: float,
    clearance: float,
    cancel_interval: int,
    should_cancel: _ShouldCancel,
    /,
) -> tuple[int, bytes]:
    """Swept clearance candidate traversal for one moving/obstacle tree pair.

    velocity: float64 (3,), finite (a NaN or infinite component raises ValueError).

    Returns (status, pairs); status 0 complete, 2 cancelled. pairs:
    frombuffer(data, uint32).reshape(-1, 2), (moving triangle, obstacle triangle) in
    traversal order, the `pairs` argument of clearance_pairs.
    """

def clearance_pairs(
    moving_vertices: Buffer,
    moving_triangles: Buffer,
    obstacle_vertices: Buffer,
    obstacle_triangles: Buffer,
    pairs: Buffer,
    lowers: Buffer,
    velocity: Buffer,
    path_length: float,
    clearance: float,
    absolute_tolerance: float,
    relative_tolerance: float,
    min_width: float,
    max_depth: int,
    evaluations: int,
    evaluation_limit: int,
    cancel_interval: int,
    should_cancel: _ShouldCancel,
    /,
) -> tuple[int, int, int, int, bytes]:
    """Continuous clearance search over candidate pairs of one obstacle.

    velocity: float64 (3,), finite. The clear test of an interval subtracts from the distance
    at its midpoint the half width times the velocity's length when that exceeds 1 (the
    distance travelled), else the half width alone.

    Returns (status, pairs_searched, evaluations, unresolved, witnesses); status 0 complete,
    3 evaluation limit reached, 4 cancelled; pass evaluations back to share the budget.
    witnesses: 96-byte records, zet_native.CLEARANCE_WITNESS_DTYPE.
    """

def ray_tree_hits(
    origins: Buffer,
    direction: Buffer,
    ray_length: float,
    epsilon: float,
    node_min: Buffer,
    node_max: Buffer,
    node_meta: Buffer,
    order: Buffer,
    vertices: Buffer,
    triangles: Buffer,
    usable: Buffer,
    cancel_interval: int,
    should_cancel: _ShouldCancel,
    /,
) -> tuple[int, bytes, bytes, bytes]:
    """Vertex rays against one triangle tree: (cancelled, rays, triangles, depths).

    origins: float64 (r, 3); direction: float64 (3,); the node arrays and mesh of a tree as in
    _Tree (k = 0 allowed, no hits); usable: uint8/bool (m,), 0 skips a triangle. Lists every
    triangle crossed by ray i from origins[i] along direction at a depth t with
    epsilon < t <= epsilon + ray_length, t in units of the direction's length. rays, triangles:
    frombuffer(data, int64); depths: frombuffer(data, float64); hits in traversal order, rays in
    increasing order. cancelled is 1 when should_cancel (asked before the first ray, then every
    cancel_interval rays) answered true; the hits are then those of the rays completed.
    """

_RayMesh = tuple[Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, Buffer, float]
"""(vertices float64 (n, 3), triangles uint32 (m, 3), node_min float64 (k, 3), node_max
float64 (k, 3), node_meta int32 (k, 5), order uint32 (L,), usable uint8/bool (m,), points
int64 (p,) vertex indices that shoot rays, bounds_min float64 (3,), bounds_max float64 (3,),
epsilon)"""

def direction_ray_scores(
    directions: Buffer,
    length: float,
    moving: _RayMesh,
    obstacles: tuple[_RayMesh, ...],
    /,
) -> tuple[bytes, bytes]:
    """Vertex-ray obstacle counts and penetration scores of many directions.

    directions: float64 (q, 3); length finite and not negative. For each direction d and each
    obstacle whose box (widened by its epsilon) meets the moving box swept by d * length, rays
    from the moving points along d into the obstacle's tree and from the obstacle's points
    along -d into the moving tree (the obstacle's epsilon in both, k = 0 never hit). Returns
    (counts, scores): frombuffer(data, int64) and frombuffer(data, float64), q each; counts
    the obstacles hit at all, scores the summed length of ray inside the other solid (hits
    of a ray sorted by depth read as entry, exit, ...; an entry without exit runs to length).
    """

def ray_winding_batch(
    points: Buffer,
    direction: Buffer,
    node_min: Buffer,
    node_max: Buffer,
    child_left: Buffer,
    child_right: Buffer,
    is_leaf: Buffer,
    leaf_table: Buffer,
    triangle_vertices: Buffer,
    usable: Buffer,
    epsilon: float,
    origin_tolerance: float,
    /,
) -> tuple[bytes, bytes]:
    """Signed ray crossings and ambiguity of points against a closed solid.

    points: float64 (P, 3); direction: float64 (3,), not normalised. The solid's winding tree:
    node_min, node_max float64 (K, 3); child_left, child_right int64 (K,), both after the node
    for an internal node; is_leaf uint8/bool (K,); leaf_table int64 (K, L), a leaf's triangle
    indices with negative entries as empty slots; triangle_vertices float64 (T, 3, 3), the
    normal of triangle t being (V1 - V0) x (V2 - V0); usable uint8/bool (T,), 0 skips a
    triangle. K = 0 is allowed. Node boxes are grown by 8 * epsilon. Returns (crossings,
    ambiguous): frombuffer(data, int64) and frombuffer(data, uint8), P each. A crossing against
    a triangle's normal counts +1, along it -1 (outward normals: -1 inside, 0 outside). A ray
    that grazes an edge or vertex, runs parallel to a triangle it reaches, or meets one with
    |t| <= origin_tolerance marks its point ambiguous (1), with the count reached so far.
    """

def pair_cones(
    moving: Buffer,
    obstacle: Buffer,
    epsilon: Buffer,
    rank_tolerance: float,
    facet_tolerance: float,
    /,
) -> tuple[bytes, int, bytes, bytes, bytes, bytes, bytes, bytes, bytes]:
    """Blocked cone groups of triangle pairs: generators, rank, facets and caps.

    moving, obstacle: float64 (n, 3, 3); epsilon: float64 (n,). Generator slot k of pair i is
    the direction from moving vertex k % 3 to obstacle vertex k // 3 when that difference is
    longer than epsilon[i], else a dead zero row; a pair with a live slot makes a group.
    Returns (has_group, F, generators, generator_mask, facets, facet_mask, blocks_all,
    cap_axes, cap_cos): has_group uint8 (n,); then, for the G groups in pair order, float64
    (G, 9, 3), bool (G, 9), float64 (G, F, 3), bool (G, F), bool (G,), float64 (G, 3) and
    float64 (G,) (-2.0 for a group without a cap). zet_native.pair_cone_groups wraps it.
    """

def cone_groups(
    generators: Buffer,
    generator_mask: Buffer,
    rank_tolerance: float,
    facet_tolerance: float,
    /,
) -> tuple[bytes, int, bytes, bytes, bytes, bytes, bytes, bytes, bytes]:
    """Rank, facets and caps of cone groups from their generators.

    generators: float64 (n, 9, 3), taken as they stand; generator_mask: bool (n, 9). Returns
    the 9-tuple of pair_cones with every item a group (has_group all ones, G = n).
    zet_native.generator_cone_groups wraps it.
    """

def cone_wedges(generators: Buffer, generator_mask: Buffer, /) -> tuple[bytes, bytes, bytes, bytes]:
    """Two-generator wedge planes and usability of cone groups.

    generators: float64 (G, K, 3); generator_mask: bool (G, K). For the W = K (K - 1) / 2
    slot pairs (i, j), i < j, in lexicographic order: (planes, first_sides, second_sides,
    usable), float64 (G, W, 3) three times and bool (G, W). A wedge is usable when both
    slots are live and |g_i x g_j| > 1e-12; its plane normal is then the unit cross product,
    else the raw one. The side normals are g_j x plane and plane x g_i.
    """

def cone_margins(
    vectors: Buffer,
    selected: Buffer,
    kinds: Buffer,
    generators: Buffer,
    generator_mask: Buffer,
    facets: Buffer,
    facet_mask: Buffer,
    blocks_all: Buffer,
    shifts: Buffer,
    wedge_planes: Buffer,
    wedge_first_sides: Buffer,
    wedge_second_sides: Buffer,
    wedge_mask: Buffer,
    common_shift: float,
    /,
) -> bytes:
    """Margins of unit directions against selected blocked-direction groups.

    vectors: float64 (N, 3) unit directions; selected: int64 (S,) group indices in [0, G);
    then the group arrays (kinds int8 (G,), generators float64 (G, K, 3), generator_mask bool
    (G, K), facets float64 (G, F, 3), facet_mask bool (G, F), blocks_all bool (G,), shifts
    float64 (G,), the wedges of cone_wedges float64 (G, W, 3) three times and wedge_mask bool
    (G, W)). Returns float64 (N, S): the largest live facet value inside the cone (or alone for
    kinds != 0), else the distance to the nearest live generator ray or wedge; -1 for a
    blocks_all group; less shifts[g] + common_shift.
    """

def cone_cap_lower_bounds(
    directions: Buffer,
    selected: Buffer,
    cap_axes: Buffer,
    cap_cos: Buffer,
    blocks_all: Buffer,
    shifts: Buffer,
    angular_radius: Buffer,
    common_shift: float,
    /,
) -> bytes:
    """Cap lower bounds of blocked-direction groups within an angular radius.

    directions: float64 (D, 3) unit directions; selected: int64 (S,) in [0, G); cap_axes
    float64 (G, 3), cap_cos float64 (G,), blocks_all bool (G,), shifts float64 (G,);
    angular_radius float64 (1,) or (D,), radians. Returns float64 (D, S): with theta the angle
    to the cap axis, rho = acos(cap_cos) and x = theta - rho - alpha, sin(min(x, pi/2)) when
    x > 0, else -1; -inf for a group without a cap narrower than 90 degrees or a blocks_all
    group; less shifts[g] + common_shift. Never above the margin of any direction within
    alpha of the direction (groups of kind 0).
    """

def cells_bound_batch(
    centers: Buffer,
    radii: Buffer,
    angular: Buffer,
    cell_offsets: Buffer,
    relevant: Buffer,
    relevant_offsets: Buffer,
    chunk: int,
    kinds: Buffer,
    generators: Buffer,
    generator_mask: Buffer,
    facets: Buffer,
    facet_mask: Buffer,
    blocks_all: Buffer,
    shifts: Buffer,
    wedge_planes: Buffer,
    wedge_first_sides: Buffer,
    wedge_second_sides: Buffer,
    wedge_mask: Buffer,
    cap_axes: Buffer,
    cap_cos: Buffer,
    common_shift: float,
    /,
) -> tuple[bytes, bytes]:
    """Branch-and-bound margins and relevant groups of many sibling cell batches.

    centers float64 (N, 3) unit directions, radii and angular float64 (N,); batch b owns the
    cells cell_offsets[b]:cell_offsets[b+1] (int64 (B+1,), at least one cell each) and the
    groups relevant[relevant_offsets[b]:relevant_offsets[b+1]] (int64, in [0, G)); chunk > 0
    groups between two pruning checks; then the group arrays of cone_margins followed by
    cap_axes float64 (G, 3) and cap_cos float64 (G,). Returns (values, flags): float64 (N,),
    each cell's smallest center margin over its batch's groups (groups visited by ascending
    cap bound, stopping once none can lower a value; +inf for a batch without groups), and
    uint8 (P,), per batch nc rows of ng bytes, 1 where the group may still give the smallest
    margin in the cell. A single batch (B = 1) runs its blocks on worker threads and settles
    relevance with exact margins, so its flags can differ from the same batch among others.
    zet_native.cell_bounds wraps it.
    """
