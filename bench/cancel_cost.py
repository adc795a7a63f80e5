"""What Ctrl-C support costs: the companion passes a should_cancel callable that returns
False to the module functions that take one, so that the interpreter can deliver a pending
signal while a long call runs. Here the raw module is called with should_cancel=None and
with lambda: False on a long bvh_path_query (a sphere of 98,000 triangles entering a torus
of 100,000) and a long build_aabb_tree (a torus of 1,000,000 triangles), 1 thread,
alternating, best of ROUNDS each, wall clock and the calling thread's CPU time. Bar:
overhead under 1%.
"""

import time

import numpy as np

import _zet_native

import meshes
from common import duration, progress, verdict

ROUNDS = 5
BAR = 0.01


def never():
    return False


class CancelCost:
    """One section of the benchmark: prepare, ours, then rows, notes and bars (no peers)."""

    def __init__(self):
        self.seconds = {}  # (case, callable label) -> best seconds

    def prepare(self):
        sphere = meshes.icosphere(70, 0.9, (-2.5, -0.2, 0.15))
        torus = meshes.wavy_torus(250, 200)
        self.big = meshes.wavy_torus(1000, 500)
        self.trees = [self._tree(*mesh) for mesh in (sphere, torus)]
        progress("cancel cost inputs ready")

    @staticmethod
    def _tree(vertices, triangles):
        node_min, node_max, node_meta, order = _zet_native.build_aabb_tree(vertices, triangles, 4, None, 1024)
        return (vertices, triangles, np.zeros(len(triangles), np.uint8), np.frombuffer(node_min).reshape(-1, 3),
                np.frombuffer(node_max).reshape(-1, 3), np.frombuffer(node_meta, np.int32).reshape(-1, 5),
                np.frombuffer(order, np.uint32))

    def _cases(self):
        velocity = np.array([5.0, 0.5, -0.3])

        def path(cancel):
            return _zet_native.bvh_path_query(self.trees[0], self.trees[1], velocity, 0.0, 0.3, 1e-9, 0.0, 1e-12,
                                              1e-12, 1e-9, 2**62, 4096, cancel)

        def build(cancel):
            return _zet_native.build_aabb_tree(*self.big, 4, cancel, 1024)
        return {"bvh_path_query": path, "build_aabb_tree": build}

    def run_ours(self):
        _zet_native.set_thread_limit(1)
        for case, call in self._cases().items():
            if call(None) != call(never):
                self.seconds[case, "differs"] = True
            for _ in range(ROUNDS):
                for label, cancel in (("None", None), ("lambda: False", never)):
                    start, cpu = time.perf_counter(), time.thread_time()
                    call(cancel)
                    for key, s in (((case, label), time.perf_counter() - start),
                                   ((case, label, "cpu"), time.thread_time() - cpu)):
                        self.seconds[key] = min(self.seconds.get(key, s), s)
            progress(f"ours: should_cancel cost of {case} done")

    def run_peers(self):
        pass

    def peer_lines(self):
        return []

    def rows(self):
        rows = []
        for case in ("bvh_path_query", "build_aabb_tree"):
            none, never_s = self.seconds[case, "None"], self.seconds[case, "lambda: False"]
            rows.append((case, "should_cancel=lambda: False", 1, duration(never_s), "should_cancel=None",
                         duration(none), f"{none / never_s:.3f}x"))
        return rows

    def note_lines(self):
        lines = [f"should_cancel cost: raw module, 1 thread, best of {ROUNDS} alternating calls; path query "
                 "98k-triangle sphere entering a 100k-triangle torus (t in [0, 0.3], interval 4096), build of "
                 "a 1M-triangle torus (leaf 4, interval 1024)"]
        for case in ("bvh_path_query", "build_aabb_tree"):
            if self.seconds.get((case, "differs")):
                lines.append(f"  ODD: {case}: results differ with and without should_cancel")
        return lines

    def bars(self):
        # On one thread the whole call runs on the calling thread, whose CPU time a shared
        # machine disturbs far less than the wall clock; both are reported.
        out = []
        for case in ("bvh_path_query", "build_aabb_tree"):
            cpu = self.seconds[case, "lambda: False", "cpu"] / self.seconds[case, "None", "cpu"] - 1
            wall = self.seconds[case, "lambda: False"] / self.seconds[case, "None"] - 1
            out.append(f"  should_cancel=lambda: False costs < 1% on a long {case}: {cpu * 100:+.2f}% of the "
                       f"calling thread's CPU time, {verdict(cpu < BAR)} (wall clock {wall * 100:+.2f}%)")
        return out
