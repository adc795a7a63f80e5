"""One valid call of every module function, built at any size, for the tests that run all of
them (fuzzing, concurrency, cancellation, leaks): the arguments, where should_cancel and its
interval sit, and a check that a result is well formed."""

import numpy as np
from support import PARALLEL_M, soup, sphere

import _zet_native as zn
import zet_native

RANK, FACET = 1e-9, 1e-9


def unit(v):
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def triangles(n, seed, spread=1.0):
    rng = np.random.default_rng(seed)
    return rng.uniform(-1, 1, (n, 1, 3)) * spread + rng.uniform(-0.5, 0.5, (n, 3, 3))


def tree(m, seed, spread=1.0, shift=0.0):
    """A tree of m triangles with vertices of their own, crowded into a box of side 2 spread + 1."""
    vertices = triangles(m, seed, spread).reshape(-1, 3) + shift
    return tuple(zet_native.build_tree(vertices, np.arange(3 * m, dtype=np.uint32).reshape(m, 3), leaf_size=2))


def groups(g, seed):
    """ConeGroups of g random generator sets, kinds mixed, with wedges."""
    rng = np.random.default_rng(seed)
    generators = unit(rng.normal(size=(g, 1, 3)) + 0.3 * rng.normal(size=(g, 9, 3)))
    mask = rng.random((g, 9)) < 0.8
    mask[:, 0] = True
    generators[~mask] = 0.0
    return zet_native.generator_cone_groups(generators, mask, RANK, FACET, kinds=rng.integers(0, 2, g),
                                            shifts=rng.uniform(-0.05, 0.05, g))


def build_tree(s, seed):
    vertices, tris = soup(s, seed)
    return [vertices, tris, 2, None, 1]


def ccd(s, seed):
    rng = np.random.default_rng(seed)
    paths = np.sort(rng.uniform(-0.2, 1.2, (s, 2)), axis=1)
    return [triangles(s, seed), triangles(s, seed + 1), np.array([0.3, -0.2, 0.1]), paths, 1e-12, 1e-12, 1e-9]


def path_query(s, seed):
    return [tree(s, seed, spread=2.0), tree(s, seed + 1, spread=2.0), np.array([1.0, 0.5, -0.25]), 0.0, 1.0,
            1e-9, 0.0, 1e-12, 1e-12, 1e-9, 2**62, 1, None]


def self_intersection(s, seed):
    return [tree(s, seed, spread=2.0), 0.0, 1e-12, 1e-12, 1e-9, 2**62, 4096, 1, None]


def distance(s, seed):
    return [triangles(s, seed), triangles(s, seed + 1), 0.0, 1e-12]


def candidates(s, seed):
    return [tree(s, seed, spread=2.0), tree(s, seed + 1, spread=2.0), np.array([1.0, 0.5, -0.25]), 1.0, 1e-9, 0.0,
            0.5, 1, None]


def clearance(s, seed):
    moving, obstacle = tree(s, seed, spread=2.0), tree(s, seed + 1, spread=2.0)
    rng = np.random.default_rng(seed)
    pairs = rng.integers(0, s, (2 * s + 2, 2)).astype(np.uint32)
    lowers = rng.uniform(0, 0.5, len(pairs))
    return [moving[0], moving[1], obstacle[0], obstacle[1], pairs, lowers, np.array([1.0, 0.5, -0.25]), 1.0, 0.4,
            0.0, 1e-12, 1e-3, 8, 0, 2**62, 1, None]


def ray_hits(s, seed):
    t = tree(s, seed, spread=2.0)
    rng = np.random.default_rng(seed)
    origins = rng.uniform(-4, 4, (max(s, 2), 3)) - [6, 0, 0]
    return [origins, np.array([1.0, 0.05, -0.02]), 12.0, 1e-9, t[3], t[4], t[5], t[6], t[0], t[1],
            (t[2] == 0).view(np.uint8), 1, None]


def scores(s, seed):
    rng = np.random.default_rng(seed)
    moving = zet_native.ray_mesh(tree(s, seed, spread=2.0))
    obstacles = tuple(zet_native.ray_mesh(tree(s, seed + k, spread=2.0, shift=2 * k)) for k in (1, 2))
    return [unit(rng.normal(size=(max(s // 2, 2), 3))), 2.0, moving, obstacles]


def winding(s, seed):
    vertices, tris = sphere(max(4, int(np.sqrt(s / 2)) + 2))
    rng = np.random.default_rng(seed)
    solid = zet_native.winding_tree(zet_native.build_tree(vertices, tris, leaf_size=3))
    return [rng.uniform(-1.3, 1.3, (max(s, 2), 3)), np.array([0.37, -0.52, 0.77]), *solid, 1e-12, 1e-12]


def overlap(s, seed):
    return [triangles(s, seed, 0.3)[:, :, :2].copy(), triangles(s, seed + 1, 0.3)[:, :, :2].copy(), 0.0]


def pair_cones(s, seed):
    return [triangles(s, seed, 0.5), triangles(s, seed + 1, 0.5) + [0.5, 0, 0], np.full(s, 1e-9), RANK, FACET]


def cone_groups(s, seed):
    g = groups(s, seed)
    return [np.ascontiguousarray(g.generators), np.ascontiguousarray(g.generator_mask), RANK, FACET]


def cone_wedges(s, seed):
    g = groups(s, seed)
    return [np.ascontiguousarray(g.generators), np.ascontiguousarray(g.generator_mask)]


def margins(s, seed):
    g, rng = groups(s, seed), np.random.default_rng(seed)
    return [unit(rng.normal(size=(s, 3))), rng.integers(0, s, s), *(np.ascontiguousarray(a) for a in g[:11]), 0.01]


def cap_bounds(s, seed):
    g, rng = groups(s, seed), np.random.default_rng(seed)
    return [unit(rng.normal(size=(s, 3))), rng.integers(0, s, s), *(np.ascontiguousarray(a) for a in
            (g.cap_axes, g.cap_cos, g.blocks_all, g.shifts)), rng.uniform(0, 0.2, s), 0.01]


def cells(s, seed):
    """Up to eight batches, spread over threads when large (one batch would make the flags
    depend on the thread count)."""
    g, rng = groups(s, seed), np.random.default_rng(seed)
    n = max(s, 2)
    batches = np.linspace(0, n, min(n, 8) + 1).astype(np.int64)
    centers = unit(unit(rng.normal(size=3)) + 0.2 * rng.normal(size=(n, 3)))
    return [centers, rng.uniform(0, 0.05, n), rng.uniform(0, 0.1, n), batches, rng.integers(0, s, n), batches, 2,
            *(np.ascontiguousarray(a) for a in g), 0.0]


def with_cancel(call, args, should_cancel):
    args = list(args)
    args[call.cancel] = should_cancel
    return args


def well_formed_groups(r):
    has_group, f, gen, gen_mask, facets, facet_mask, blocks, axes, cos = r
    g = len(cos) // 8
    return (isinstance(has_group, bytes) and f >= 0 and len(gen) == 216 * g and len(gen_mask) == 9 * g
            and len(facets) == 24 * f * g and len(facet_mask) == f * g and len(blocks) == g and len(axes) == 24 * g
            and sum(has_group) <= len(has_group))


def records(*pairs):
    """bytes items at the given positions whose lengths are multiples of the record sizes."""
    return lambda r: all(isinstance(r[i], bytes) and len(r[i]) % size == 0 for i, size in pairs)


class Call:
    """A module function, its argument builder, the positions of should_cancel and its
    interval (None when it takes none), a check of a result's form, and a size at which the
    function fans out to several threads (None for the functions that never do): well above
    the work per thread below which a kernel stays on the calling thread."""

    def __init__(self, name, build, form, cancel=None, interval=None, parallel=None):
        self.name, self.function, self.build, self.form = name, getattr(zn, name), build, form
        self.cancel, self.interval, self.parallel = cancel, interval, parallel

    def __repr__(self):
        return self.name


CALLS = [
    Call("build_aabb_tree", build_tree,
         lambda r: records((0, 24), (1, 24), (2, 20), (3, 4))(r) and len(r[0]) == len(r[1]) == len(r[2]) // 20 * 24,
         cancel=3, interval=4, parallel=PARALLEL_M),
    Call("translation_triangle_ccd_batch", ccd,
         lambda r: isinstance(r, list) and all(len(x) == 9 and x[0] in (0, 1, 2) for x in r)),
    Call("bvh_path_query", path_query,
         lambda r: len(r) == 10 and r[0] in (0, 1, 2) and records((3, 48), (4, 24))(r), cancel=12, interval=11,
         parallel=3000),
    Call("self_intersection_pairs", self_intersection,
         lambda r: len(r) == 5 and r[0] in (0, 1, 2) and records((4, 8))(r), cancel=8, interval=7),
    Call("triangle_distance_batch", distance, lambda r: isinstance(r, bytes) and len(r) % 72 == 0),
    Call("clearance_candidate_pairs", candidates, lambda r: len(r) == 2 and r[0] in (0, 2) and records((1, 8))(r),
         cancel=8, interval=7),
    Call("clearance_pairs", clearance, lambda r: len(r) == 5 and r[0] in (0, 3, 4) and records((4, 96))(r),
         cancel=16, interval=15, parallel=1200),
    Call("ray_tree_hits", ray_hits,
         lambda r: len(r) == 4 and r[0] in (0, 1) and records((1, 8), (2, 8), (3, 8))(r)
         and len(r[1]) == len(r[2]) == len(r[3]), cancel=12, interval=11),
    Call("direction_ray_scores", scores, lambda r: len(r) == 2 and records((0, 8), (1, 8))(r) and len(r[0]) == len(r[1]),
         parallel=400),
    Call("ray_winding_batch", winding, lambda r: len(r) == 2 and records((0, 8))(r) and len(r[0]) == 8 * len(r[1]),
         parallel=8192),
    Call("clipped_overlap_areas", overlap, lambda r: isinstance(r, bytes) and len(r) % 8 == 0, parallel=40000),
    Call("pair_cones", pair_cones, well_formed_groups, parallel=4000),
    Call("cone_groups", cone_groups, lambda r: well_formed_groups(r) and all(r[0]), parallel=4000),
    Call("cone_wedges", cone_wedges,
         lambda r: len(r) == 4 and records((0, 24), (1, 24), (2, 24))(r) and len(r[0]) == len(r[1]) == len(r[2])
         == 24 * len(r[3]), parallel=4000),
    Call("cone_margins", margins, lambda r: isinstance(r, bytes) and len(r) % 8 == 0, parallel=600),
    Call("cone_cap_lower_bounds", cap_bounds, lambda r: isinstance(r, bytes) and len(r) % 8 == 0, parallel=600),
    Call("cells_bound_batch", cells, lambda r: len(r) == 2 and records((0, 8))(r) and isinstance(r[1], bytes),
         parallel=1200),
    Call("set_thread_limit", lambda s, seed: [0], lambda r: isinstance(r, int) and r >= 0),
    Call("thread_limit", lambda s, seed: [], lambda r: 1 <= r <= 32),
    Call("enter_stage", lambda s, seed: [50], lambda r: r is None),
    Call("leave_stage", lambda s, seed: [], lambda r: r is None),
]
BY_NAME = {call.name: call for call in CALLS}
KERNELS = [call for call in CALLS if "stage" not in call.name and "thread" not in call.name]
CANCELLABLE = [call for call in CALLS if call.cancel is not None]
PARALLEL = [call for call in CALLS if call.parallel is not None]
