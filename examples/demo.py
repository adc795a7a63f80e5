"""Builds AABB trees of generated meshes on one thread and on all threads, checks that the
arrays are byte-identical, translates a moving sphere among obstacles along a few directions,
checks the meshes for self-intersections, scores a ring of directions by vertex rays, tells
which test points lie inside an obstacle, and measures overlap areas of planar triangle pairs.

Run with `make demo`.
"""

import sys
import time
from pathlib import Path

import numpy as np

import _zet_native
import zet_native

sys.path.insert(0, str(Path(__file__).parent))
from meshes import sphere, torus  # noqa: E402


class Step:
    """Times a step and prints a progress line when it takes longer than a second."""

    def __init__(self, label):
        self.label = label

    def __enter__(self):
        self.start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.seconds = time.perf_counter() - self.start
        if self.seconds > 1.0:
            print(f"  ... {self.label} took {self.seconds:.1f} s", flush=True)


def tree_depth(node_meta):
    """Depth of the tree (a single leaf has depth 1), walking level by level."""
    depth, level = 0, np.array([0])
    while level.size:
        depth += 1
        internal = level[node_meta[level, 0] >= 0]
        level = node_meta[internal, :2].ravel()
    return depth


def build_on(threads, vertices, triangles, leaf_size):
    previous = zet_native.set_thread_limit(threads)
    try:
        with Step(f"build on {threads} thread(s)") as step:
            arrays = _zet_native.build_aabb_tree(vertices, triangles, leaf_size, None, 4096)
    finally:
        zet_native.set_thread_limit(previous)
    return arrays, step.seconds


def demo_trees():
    all_threads = max(zet_native.thread_limit(), 2)
    print(f"AABB trees (1 thread against {all_threads}):")
    print(f"  {'mesh':<22}{'triangles':>10}{'leaf':>6}{'nodes':>9}{'depth':>7}{'1 thread':>11}"
          f"{'all':>9}  identical")
    cases = [("torus 400x100", torus(400, 100), 4), ("sphere 512", sphere(512), 4),
             ("torus 1000x500", torus(1000, 500), 4), ("sphere 512, leaf 1", sphere(512), 1)]
    for name, (vertices, triangles), leaf_size in cases:
        serial, t1 = build_on(1, vertices, triangles, leaf_size)
        parallel, tn = build_on(all_threads, vertices, triangles, leaf_size)
        node_meta = np.frombuffer(serial[2], dtype=np.int32).reshape(-1, 5)
        print(f"  {name:<22}{len(triangles):>10}{leaf_size:>6}{len(node_meta):>9}"
              f"{tree_depth(node_meta):>7}{t1 * 1e3:>9.1f}ms{tn * 1e3:>7.1f}ms  {serial == parallel}")
        if serial != parallel:
            raise SystemExit("the parallel build differs from the serial build")


CLEARANCE = 0.05


def demo_translations():
    """A sphere at the centre of a ring of tori translates along a few directions; the path
    query lists which of its triangles touch an obstacle, and when."""
    moving = zet_native.build_tree(*sphere(96, radius=0.5))
    obstacles = [zet_native.build_tree(*torus(180, 60, 1.0, 0.25, centre=c))
                 for c in [(2.5, 0.0, 0.0), (0.0, 2.5, 0.0), (-2.5, 0.0, 0.6)]]
    print(f"\nTranslating a sphere of {len(moving.triangles)} triangles by t * direction, t in [0, 4], "
          f"among {len(obstacles)} tori of {len(obstacles[0].triangles)} triangles:")
    print(f"  {'direction':<20}{'status':>7}{'first contact t':>17}{'contacts':>10}{'candidates':>12}"
          f"{'node pairs':>12}{'time':>9}   clearance {CLEARANCE}: violating pairs, earliest witness t")
    directions = {"+x": (1, 0, 0), "+y": (0, 1, 0), "-x": (-1, 0, 0), "+z": (0, 0, 1),
                  "(1, 1, 0)/sqrt 2": (0.7071067811865476, 0.7071067811865476, 0)}
    for name, direction in directions.items():
        velocity = np.array(direction, dtype=np.float64)
        first, contacts, candidates, node_pairs, status = np.inf, 0, 0, 0, 0
        with Step(f"path query {name}") as step:
            for obstacle in obstacles:
                r = zet_native.path_query(moving, obstacle, velocity, 0.0, 4.0)
                status = max(status, r.status)
                contacts += len(r.contacts)
                candidates += r.candidate_pairs
                node_pairs += r.node_pairs
                if len(r.contacts):
                    first = min(first, r.contacts["enter"].min())
        shown = f"{first:.4f}" if np.isfinite(first) else "none"
        with Step(f"clearance {name}"):
            report = zet_native.check_clearance(moving, obstacles, velocity, 4.0, CLEARANCE,
                                                evaluation_limit=2_000_000)
        violations = sum(len(r.witnesses) for r in report.results)
        earliest = min((r.witnesses["t_lo"].min() for r in report.results if len(r.witnesses)),
                       default=None)
        clear_until = "none" if earliest is None else f"{earliest:.4f}"
        print(f"  {name:<20}{status:>7}{shown:>17}{contacts:>10}{candidates:>12}{node_pairs:>12}"
              f"{step.seconds * 1e3:>7.1f}ms   {violations} pairs, {clear_until}"
              f"{'' if report.status == 0 else ' (budget reached)'}")

    two = [torus(200, 60, 1.0, 0.3), torus(200, 60, 1.0, 0.3, centre=(1.0, 0.0, 0.0))]
    vertices = np.vstack([two[0][0], two[1][0]])
    triangles = np.vstack([two[0][1], two[1][1] + len(two[0][0])]).astype(np.uint32)
    crossing = zet_native.self_intersections(zet_native.build_tree(vertices, triangles), witness_limit=3)
    clean = zet_native.self_intersections(zet_native.build_tree(*two[0]))
    print(f"\nSelf-intersections: two overlapping tori in one mesh: {crossing.intersecting} crossing pairs "
          f"of {crossing.evaluated} tested, first {crossing.witnesses.tolist()}; "
          f"one torus: {clean.intersecting} of {clean.evaluated}")


def demo_rays():
    """Rates a ring of directions in the xy plane for the sphere among the tori (how many
    obstacles the vertex rays reach, and how much ray length runs inside them), then asks
    which points of a line through the first torus's tube lie inside it."""
    moving_tree = zet_native.build_tree(*sphere(64, radius=0.5))
    obstacle_trees = [zet_native.build_tree(*torus(120, 40, 1.0, 0.25, centre=c))
                      for c in [(2.5, 0.0, 0.0), (0.0, 2.5, 0.0), (-2.5, 0.0, 0.6)]]
    moving = zet_native.ray_mesh(moving_tree)
    obstacles = tuple(zet_native.ray_mesh(t) for t in obstacle_trees)
    angles = np.arange(16) * (2 * np.pi / 16)
    directions = np.stack([np.cos(angles), np.sin(angles), np.zeros_like(angles)], axis=1)
    with Step("direction scores") as step:
        counts, scores = zet_native.direction_scores(directions, 3.0, moving, obstacles)
    print(f"\nDirection scores of 16 directions in the xy plane (rays of length 3 from every vertex), "
          f"{step.seconds * 1e3:.1f} ms:")
    print("  angle   " + "".join(f"{round(np.degrees(a)):>7}" for a in angles))
    print("  hit     " + "".join(f"{c:>7}" for c in counts))
    print("  inside  " + "".join(f"{x:>7.0f}" for x in scores))
    best = angles[np.lexsort((scores, counts))[0]]
    print(f"  freest direction: {round(np.degrees(best))} degrees")

    solid = zet_native.winding_tree(obstacle_trees[0])
    x = np.linspace(1.0, 4.0, 13)
    points = np.stack([x, np.zeros_like(x), np.zeros_like(x)], axis=1)
    crossings, ambiguous = zet_native.winding(points, np.array([0.3, 0.5, 0.8]), solid)
    marks = "".join("?" if a else ("#" if c != 0 else ".") for c, a in zip(crossings, ambiguous))
    print(f"  points x = 1.0 .. 4.0 on the x axis against the torus at x = 2.5 "
          f"(# inside, . outside, ? ambiguous): {marks}")


def demo_direction_search():
    """A small sphere rests in the hole of a lying torus and against a standing one: its
    touching triangle pairs become cones of blocked directions, and a branch-and-bound search
    over the sphere of directions finds the direction with the largest margin."""
    from direction_search import search

    radius, ring, tube = 0.5, 0.6, 0.25
    offset = np.sqrt((radius + tube) ** 2 - ring ** 2)  # the tube then touches the sphere
    moving = zet_native.build_tree(*sphere(48, radius=radius))
    below = torus(120, 40, ring, tube, centre=(0.0, 0.0, -offset))
    side_v, side_t = torus(120, 40, ring, tube)
    side = (np.ascontiguousarray(side_v[:, [2, 0, 1]]) + np.array([offset, 0.0, 0.0]), side_t)  # axis along x
    obstacles = [zet_native.build_tree(*below), zet_native.build_tree(*side)]
    clearance = 0.005
    with Step("direction search") as step:
        moving_tris, obstacle_tris = [], []
        for obstacle in obstacles:
            _, pairs = zet_native.clearance_candidates(moving, obstacle, np.zeros(3), 0.0, clearance)
            moving_tris.append(moving.vertices[moving.triangles[pairs[:, 0]]])
            obstacle_tris.append(obstacle.vertices[obstacle.triangles[pairs[:, 1]]])
        contacts = zet_native.pair_cone_groups(np.concatenate(moving_tris), np.concatenate(obstacle_tris),
                                               facet_tolerance=1e-12)
        groups = contacts.groups
        result = search(groups)
    g = len(groups.kinds)
    print(f"\nBest translation direction of a sphere of {len(moving.triangles)} triangles resting in one torus "
          f"and against another ({sum(len(t) for t in moving_tris)} touching triangle pairs within {clearance}, "
          f"{g} cone groups, {int(groups.blocks_all.sum())} blocking every direction), {step.seconds * 1e3:.0f} ms:")
    d = result.direction
    print(f"  direction ({d[0]:+.4f}, {d[1]:+.4f}, {d[2]:+.4f}), margin {result.margin:.4f} "
          f"(no direction above {result.upper_bound:.4f}); {result.cells} cells in {result.calls} calls "
          f"down to level {result.depth}, at most {result.offered} margins against "
          f"{result.cells * g} by brute force over the same cells")
    center, _, angular, _ = result.best_cell
    everything = np.arange(g)
    margins = zet_native.margins(center[None], everything, groups)[0]
    caps = zet_native.cap_bounds(center[None], everything, groups, angular)[0]
    print(f"  best cell checked: smallest margin over all groups {margins.min():.4f} "
          f"(equal: {margins.min() == result.margin}); cap bounds over the cell (angular radius "
          f"{np.degrees(angular):.3f} degrees) at most {caps.max():.4f}, never above the margins: "
          f"{bool(np.all(caps <= margins))}")


def demo_overlap():
    rng = np.random.default_rng(7)
    n = 1_000_000
    subject = rng.random((n, 3, 2))
    clip = subject + rng.normal(scale=0.2, size=(n, 3, 2))
    with Step("overlap areas") as step:
        areas = zet_native.overlap_areas(subject, clip)
    print(f"\nOverlap areas of {n} planar triangle pairs in {step.seconds * 1e3:.1f} ms: "
          f"{np.count_nonzero(areas)} overlap, mean area {areas.mean():.4f}")
    same = zet_native.overlap_areas(subject, subject)
    a, b, c = subject[:, 0], subject[:, 1], subject[:, 2]
    own = 0.5 * np.abs((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (c[:, 0] - a[:, 0]) * (b[:, 1] - a[:, 1]))
    print(f"  a triangle against itself gives its own area: largest difference {np.abs(same - own).max():.2e}")


if __name__ == "__main__":
    demo_trees()
    demo_translations()
    demo_rays()
    demo_direction_search()
    demo_overlap()
