"""What Ctrl-C support costs.

The companion passes a should_cancel callable that returns False to the module functions that
take one, so that the interpreter can deliver a pending signal while a long call runs; here the
raw module is called with should_cancel=None and with lambda: False on a long bvh_path_query (a
sphere of 98,000 triangles entering a torus of 100,000) and a long build_aabb_tree (a torus of
1,000,000 triangles, at the companion's consultation interval). The functions without
should_cancel are split by the companion into slices whose results it joins; here one raw call
against the companion's sliced call, on winding, cone margins, triangle distances and direction
scores. 1 thread, alternating, best of ROUNDS each, wall clock and the calling thread's CPU time.
Bar: overhead under 1% of the calling thread's CPU time.
"""

import time

import meshes
import numpy as np
from common import duration, progress, verdict

import _zet_native
import zet_native

ROUNDS = 5
BAR = 0.01
BUILD_INTERVAL = 8192  # the companion's default cancel_check_interval of build_tree


def never():
    return False


class CancelCost:
    """One section of the benchmark: prepare, ours, then rows, notes and bars (no peers)."""

    def __init__(self):
        self.seconds = {}  # (case, label[, "cpu"]) -> best seconds
        self.labels = {}  # case -> (plain label, with-support label)

    def prepare(self):
        sphere = meshes.icosphere(70, 0.9, (-2.5, -0.2, 0.15))
        torus = meshes.wavy_torus(250, 200)
        self.big = meshes.wavy_torus(1000, 500)
        self.trees = [zet_native.build_tree(*mesh) for mesh in (sphere, torus)]
        rng = np.random.default_rng(3)
        self.points = rng.uniform(-1.5, 1.5, (2_000_000, 3))
        self.solid = zet_native.winding_tree(self.trees[1])
        moving = rng.normal(size=(1000, 3, 3))
        self.groups = zet_native.pair_cone_groups(moving, moving + rng.normal(size=(1000, 3, 3)) * 0.2 + 1.0).groups
        self.directions = meshes.sphere_directions(20000)
        self.pairs = (rng.normal(size=(2_000_000, 3, 3)), rng.normal(size=(2_000_000, 3, 3)) + 0.5)
        self.meshes = (zet_native.ray_mesh(self.trees[0]), zet_native.ray_mesh(self.trees[1]))
        progress("cancel cost inputs ready")

    def _cases(self):
        velocity = np.array([5.0, 0.5, -0.3])
        trees = [tuple(t) for t in self.trees]
        groups = [np.ascontiguousarray(a) for a in self.groups]
        selected = np.arange(len(self.groups.kinds))
        direction = np.array([0.3, 0.5, 0.8])
        scored = self.directions[:300]
        return {
            "bvh_path_query": (
                "should_cancel=None", lambda: _zet_native.bvh_path_query(
                    *trees, velocity, 0.0, 0.3, 1e-9, 0.0, 1e-12, 1e-12, 1e-9, 2**62, 4096, None),
                "should_cancel=lambda: False", lambda: _zet_native.bvh_path_query(
                    *trees, velocity, 0.0, 0.3, 1e-9, 0.0, 1e-12, 1e-12, 1e-9, 2**62, 4096, never)),
            "build_aabb_tree": (
                "should_cancel=None", lambda: _zet_native.build_aabb_tree(*self.big, 4, None, BUILD_INTERVAL),
                "should_cancel=lambda: False", lambda: _zet_native.build_aabb_tree(*self.big, 4, never,
                                                                                   BUILD_INTERVAL)),
            "ray_winding_batch 2M points": (
                "one call", lambda: _zet_native.ray_winding_batch(self.points, direction, *self.solid, 1e-12, 1e-12),
                "companion slices", lambda: zet_native.winding(self.points, direction, self.solid)),
            "cone_margins 20k x 1000": (
                "one call", lambda: _zet_native.cone_margins(self.directions, selected, *groups[:11], 0.0),
                "companion slices", lambda: zet_native.margins(self.directions, selected, self.groups)),
            "triangle_distance_batch 2M": (
                "one call", lambda: _zet_native.triangle_distance_batch(*self.pairs, 0.0, 1e-12),
                "companion slices", lambda: zet_native.triangle_distances(*self.pairs)),
            "direction_ray_scores 300 dirs": (
                "one call", lambda: _zet_native.direction_ray_scores(scored, 2.0, self.meshes[0], (self.meshes[1],)),
                "companion slices", lambda: zet_native.direction_scores(scored, 2.0, self.meshes[0],
                                                                         [self.meshes[1]])),
        }

    def run_ours(self):
        _zet_native.set_thread_limit(1)
        for case, (plain_label, plain, supported_label, supported) in self._cases().items():
            self.labels[case] = (plain_label, supported_label)
            for _ in range(ROUNDS):
                for label, call in ((plain_label, plain), (supported_label, supported)):
                    start, cpu = time.perf_counter(), time.thread_time()
                    call()
                    for key, s in (((case, label), time.perf_counter() - start),
                                   ((case, label, "cpu"), time.thread_time() - cpu)):
                        self.seconds[key] = min(self.seconds.get(key, s), s)
            progress(f"ours: Ctrl-C support cost of {case} done")
        _zet_native.set_thread_limit(0)

    def run_peers(self):
        pass

    def peer_lines(self):
        return []

    def rows(self):
        rows = []
        for case, (plain, supported) in self.labels.items():
            a, b = self.seconds[case, plain], self.seconds[case, supported]
            rows.append((case, supported, 1, duration(b), plain, duration(a), f"{a / b:.3f}x"))
        return rows

    def note_lines(self):
        return [f"Ctrl-C support: 1 thread, best of {ROUNDS} alternating calls; path query 98k-triangle sphere "
                "entering a 100k-triangle torus (t in [0, 0.3], interval 4096), build of a 1M-triangle torus "
                f"(leaf 4, interval {BUILD_INTERVAL}); the sliced calls against one raw call on the same arrays"]

    def bars(self):
        # On one thread the whole call runs on the calling thread, whose CPU time a shared
        # machine disturbs far less than the wall clock; both are reported.
        out = []
        for case, (plain, supported) in self.labels.items():
            cpu = self.seconds[case, supported, "cpu"] / self.seconds[case, plain, "cpu"] - 1
            wall = self.seconds[case, supported] / self.seconds[case, plain] - 1
            out.append(f"  {supported} costs < 1% on {case}: {cpu * 100:+.2f}% of the calling thread's CPU "
                       f"time, {verdict(cpu < BAR)} (wall clock {wall * 100:+.2f}%)")
        return out
