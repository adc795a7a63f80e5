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
        scored = self.directions[:3000]

        def path(cancel):
            return _zet_native.bvh_path_query(*trees, velocity, 0.0, 0.3, 1e-9, 0.0, 1e-12, 1e-12, 1e-9, 2**62, 4096,
                                              cancel)

        cancelled = {
            "bvh_path_query": (lambda: path(None), lambda: path(never)),
            "build_aabb_tree": (lambda: _zet_native.build_aabb_tree(*self.big, 4, None, BUILD_INTERVAL),
                                lambda: _zet_native.build_aabb_tree(*self.big, 4, never, BUILD_INTERVAL)),
        }
        sliced = {
            "ray_winding_batch 2M points": (
                lambda: _zet_native.ray_winding_batch(self.points, direction, *self.solid, 1e-12, 1e-12),
                lambda: zet_native.winding(self.points, direction, self.solid)),
            "cone_margins 20k x 1000": (
                lambda: _zet_native.cone_margins(self.directions, selected, *groups[:11], 0.0),
                lambda: zet_native.margins(self.directions, selected, self.groups)),
            "triangle_distance_batch 2M": (
                lambda: _zet_native.triangle_distance_batch(*self.pairs, 0.0, 1e-12),
                lambda: zet_native.triangle_distances(*self.pairs)),
            "direction_ray_scores 3000 dirs": (
                lambda: _zet_native.direction_ray_scores(scored, 2.0, self.meshes[0], (self.meshes[1],)),
                lambda: zet_native.direction_scores(scored, 2.0, self.meshes[0], [self.meshes[1]])),
        }
        return cancelled, sliced

    def _time(self, case, label, call):
        start, cpu = time.perf_counter(), time.thread_time()
        call()
        for key, s in (((case, label), time.perf_counter() - start), ((case, label, "cpu"), time.thread_time() - cpu)):
            self.seconds[key] = min(self.seconds.get(key, s), s)

    def run_ours(self):
        _zet_native.set_thread_limit(1)
        cancelled, sliced = self._cases()
        for case, (plain, polled) in cancelled.items():
            self.labels[case] = [("should_cancel=lambda: False", "should_cancel=None", "the should_cancel polls")]
            for _ in range(ROUNDS):
                self._time(case, "should_cancel=None", plain)
                self._time(case, "should_cancel=lambda: False", polled)
            progress(f"ours: Ctrl-C support cost of {case} done")
        for case, (raw, companion) in sliced.items():
            self.labels[case] = [("companion, sliced", "ours, companion in one call", "the slices"),
                                 ("ours, companion in one call", "ours, raw module", "conversions and the writable copy")]
            for _ in range(ROUNDS):
                self._time(case, "ours, raw module", raw)
                with one_slice():
                    self._time(case, "ours, companion in one call", companion)
                self._time(case, "companion, sliced", companion)
            progress(f"ours: Ctrl-C support cost of {case} done")
        _zet_native.set_thread_limit(0)

    def run_peers(self):
        pass

    def peer_lines(self):
        return []

    def rows(self):
        rows = []
        for case, pairs in self.labels.items():
            for supported, plain, _ in pairs:
                a, b = self.seconds[case, plain], self.seconds[case, supported]
                rows.append((case, supported, 1, duration(b), plain, duration(a), f"{a / b:.3f}x"))
        return rows

    def note_lines(self):
        return [f"Ctrl-C support: 1 thread, best of {ROUNDS} alternating calls; path query 98k-triangle sphere "
                "entering a 100k-triangle torus (t in [0, 0.3], interval 4096), build of a 1M-triangle torus "
                f"(leaf 4, interval {BUILD_INTERVAL}); the companion's sliced calls against the same companion call "
                "made in one slice (the cost of slicing), and that against one raw call (the conversions and the "
                "copy that makes the result writable)"]

    def bars(self):
        # On one thread the whole call runs on the calling thread, whose CPU time a shared
        # machine disturbs far less than the wall clock; both are reported.
        out = []
        for case, pairs in self.labels.items():
            for supported, plain, what in pairs:
                cpu = self.seconds[case, supported, "cpu"] / self.seconds[case, plain, "cpu"] - 1
                wall = self.seconds[case, supported] / self.seconds[case, plain] - 1
                ctrl_c = what != "conversions and the writable copy"
                tail = verdict(cpu < BAR) if ctrl_c else "no bar"
                out.append(f"  {case}: {what} cost {cpu * 100:+.2f}% of the calling thread's CPU time"
                           f"{' (< 1%: ' + tail + ')' if ctrl_c else ' (' + tail + ')'}, wall clock {wall * 100:+.2f}%")
        return out


class one_slice:
    """Within it, the companion makes every sliced call in one slice."""

    NAMES = ("PAIRS_PER_SLICE", "POINTS_PER_SLICE", "EVALUATIONS_PER_SLICE", "RAYS_PER_SLICE", "CELLS_PER_SLICE")

    def __enter__(self):
        self.saved = []
        for module in (zet_native._paths, zet_native._rays, zet_native._cones):
            for name in self.NAMES:
                if hasattr(module, name):
                    self.saved.append((module, name, getattr(module, name)))
                    setattr(module, name, 1 << 62)

    def __exit__(self, *exc):
        for module, name, value in self.saved:
            setattr(module, name, value)
