"""The planner's inner loop: the calls a planner makes thousands of times, on a part of 300
to 5,000 triangles against an obstacle of the same size, in microseconds per call.

The part is a geodesic sphere of radius 0.3 below a wavy torus (ring radius 1, tube about
0.3) of the same triangle count, on the torus axis; each call is timed over a loop of calls,
best of several loops, on 1 and 2 threads:

- path query, miss: the part rises through the hole (velocity (0, 0, 3), t in [0, 1]): its
  swept boxes meet the tube's all round, no triangle pair touches;
- path query, hit: the same motion from the tube's centre line, stopped at the first contact
  under a small pair budget (PAIR_BUDGET pairs);
- clearance check: clearance_candidate_pairs then clearance_pairs of the miss, clearance 0.3;
- cone margins of one group: cone_margins of 64 directions against one group;
- tree build: build_aabb_tree of the part, leaf size 4.

Peers, same meshes: python-fcl's continuousCollide with conservative advancement and
translation motion (its BVHModels built afresh off the clock each run, as it needs), fcl's
and coal's BVH builds, and their distance query at the path's start pose (one pose: neither
has a swept clearance test). coal has no continuous collision in its Python API.
"""

import time

import meshes
import numpy as np
import peers
from common import progress

import _zet_native
import zet_native

THREADS = (1, 2)
SIZES = {  # name -> (icosphere frequency, torus (nu, nv)): about the same triangle count
    "320 tri": (4, (16, 10)),
    "1280 tri": (8, (40, 16)),
    "4500 tri": (15, (75, 30)),
}
LEAF_SIZE = 4
VELOCITY = (0.0, 0.0, 3.0)
MISS_START, HIT_START = (0.3, 0.0, -1.5), (1.0, 0.0, -1.5)
PAIR_BUDGET = 64
CLEARANCE = 0.02
MARGIN_DIRECTIONS = 64
LOOP_SECONDS = 0.05  # each timed loop runs about this long
LOOPS = 10  # timed loops per thread count
PEER_REPEATS = 5


def per_call(function, *args, rounds=LOOPS):
    """{threads: seconds per call}: the best of `rounds` loops of calls (each about
    LOOP_SECONDS long) on each thread count, the thread counts taking turns loop by loop so
    that a passing load on the machine weighs on both alike."""
    start = time.perf_counter()
    function(*args)
    once = max(time.perf_counter() - start, 1e-7)
    calls = max(1, min(100_000, int(LOOP_SECONDS / once)))
    best = {threads: float("inf") for threads in THREADS}
    for _ in range(rounds):
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            start = time.perf_counter()
            for _ in range(calls):
                function(*args)
            best[threads] = min(best[threads], (time.perf_counter() - start) / calls)
    return best


def microseconds(seconds):
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


class PlannerLoop:
    """One section of the benchmark: prepare, ours, peers, then rows, notes and bars."""

    def __init__(self):
        self.notes = []
        self.ours = {}  # (size, case, threads) -> seconds per call
        self.peer = {}  # (size, case, peer) -> seconds per call, or Unavailable
        self.answers = {}

    def prepare(self):
        self.scenes = {}
        for name, (frequency, torus) in SIZES.items():
            part = meshes.icosphere(frequency, 0.3)
            obstacle = meshes.wavy_torus(*torus)
            self.scenes[name] = {"part": part, "obstacle": obstacle,
                                 "miss": (part[0] + MISS_START, part[1]), "hit": (part[0] + HIT_START, part[1])}
        self.velocity = np.array(VELOCITY)
        progress("planner loop inputs ready: "
                 + ", ".join(f"{n} (part {len(s['part'][1])}, obstacle {len(s['obstacle'][1])})"
                             for n, s in self.scenes.items()))

    def _calls(self, scene):
        """The five calls of one scene, as (case, function, args)."""
        obstacle = tuple(zet_native.build_tree(*scene["obstacle"], LEAF_SIZE))
        miss = tuple(zet_native.build_tree(*scene["miss"], LEAF_SIZE))
        hit = tuple(zet_native.build_tree(*scene["hit"], LEAF_SIZE))
        v = self.velocity

        def path(moving, budget):
            return _zet_native.bvh_path_query(moving, obstacle, v, 0.0, 1.0, 1e-9, 0.0, 1e-12, 1e-12, 1e-9, budget,
                                              4096, None)

        def clearance():
            status, pairs = _zet_native.clearance_candidate_pairs(miss, obstacle, v, 1.0, 1e-9, 0.0, CLEARANCE,
                                                                  4096, None)
            pairs = np.frombuffer(pairs, dtype=np.uint32).reshape(-1, 2)
            return status, len(pairs), _zet_native.clearance_pairs(
                miss[0], miss[1], obstacle[0], obstacle[1], pairs, np.zeros(len(pairs)), v, 1.0, CLEARANCE,
                0.0, 1e-12, 1e-6, 20, 0, 2**62, 4096, None)[:4]

        moving, obstacle_triangles = scene["hit"][0][scene["hit"][1]], scene["obstacle"][0][scene["obstacle"][1]]
        groups = zet_native.pair_cone_groups(moving[:200], obstacle_triangles[:200], facet_tolerance=1e-12).groups
        one = np.array([int(np.argmax(~groups.blocks_all))], dtype=np.int64)
        directions = meshes.sphere_directions(MARGIN_DIRECTIONS)
        margin_args = (directions, one, *[np.ascontiguousarray(a) for a in groups[:11]], 0.0)
        part_v, part_t = scene["part"]
        return [
            ("bvh_path_query miss", path, (miss, 2**62)),
            ("bvh_path_query hit", path, (hit, PAIR_BUDGET)),
            ("clearance check", clearance, ()),
            ("cone_margins 1 group", _zet_native.cone_margins, margin_args),
            ("build_aabb_tree", _zet_native.build_aabb_tree, (part_v, part_t, LEAF_SIZE, None, 1024)),
        ]

    def run_ours(self):
        for name, scene in self.scenes.items():
            for case, function, args in self._calls(scene):
                results = {}
                for threads in THREADS:
                    _zet_native.set_thread_limit(threads)
                    results[threads] = function(*args)
                for threads, s in per_call(function, *args).items():
                    self.ours[name, case, threads] = s
                if results[1] != results[2]:
                    self.notes.append(f"ODD: {case} {name}: the 1- and 2-thread results differ")
                self.answers[name, case] = results[1]
            progress(f"ours: planner loop {name} done")
        self._check_answers()

    def _check_answers(self):
        for name in self.scenes:
            miss = self.answers[name, "bvh_path_query miss"]
            hit = self.answers[name, "bvh_path_query hit"]
            if len(miss[3]) != 0:
                self.notes.append(f"ODD: {name}: the miss found contacts")
            if len(hit[3]) == 0 and hit[0] == 0:
                self.notes.append(f"ODD: {name}: the hit found no contact")

    def run_peers(self):
        for name, scene in self.scenes.items():
            self._fcl_path(name, scene)
            for label, build in (("python-fcl", peers.fcl_build), ("coal", peers.coal_build)):
                self.peer[name, "build_aabb_tree", label] = peers.guarded(
                    lambda: min(build(*scene["part"]) for _ in range(PEER_REPEATS)))
            self._distance(name, scene)
            progress(f"peers: planner loop {name} done")

    def _fcl_path(self, name, scene):
        for case, moving in (("bvh_path_query miss", scene["miss"]), ("bvh_path_query hit", scene["hit"])):
            def run(moving=moving):
                fcl = peers.FclContinuous(moving, scene["obstacle"])
                return min(fcl.run("CCDC_CONSERVATIVE_ADVANCEMENT", self.velocity, 0.0, 1.0)[0]
                           for _ in range(PEER_REPEATS))
            self.peer[name, case, "python-fcl"] = peers.guarded(run)
            self.peer[name, case, "coal"] = peers.Unavailable("no continuous collision in coal's Python API")

    def _distance(self, name, scene):
        start = np.zeros((1, 3))

        def coal():
            return min(peers.CoalMeshDistance(scene["miss"], scene["obstacle"]).run(start)[0]
                       for _ in range(PEER_REPEATS))

        def fcl():
            return min(peers.FclMeshDistance(scene["miss"], scene["obstacle"]).run(start)[0]
                       for _ in range(PEER_REPEATS))
        self.peer[name, "clearance check", "coal"] = peers.guarded(coal)
        self.peer[name, "clearance check", "python-fcl"] = peers.guarded(fcl)

    def peer_lines(self):
        return ["planner loop: python-fcl continuousCollide (conservative advancement, translation) for the path "
                "queries; fcl and coal BVH builds (OBBRSS); their distance at one pose for the clearance check "
                "(ours checks the whole path)"]

    def rows(self):
        rows = []
        for name in self.scenes:
            for case in ("bvh_path_query miss", "bvh_path_query hit", "clearance check", "cone_margins 1 group",
                         "build_aabb_tree"):
                peers_here = [(p, s) for (n, c, p), s in self.peer.items() if n == name and c == case] or [("", None)]
                for threads in THREADS:
                    ours = self.ours[name, case, threads]
                    for label, seconds in peers_here:
                        if seconds is None:
                            rows.append((case, f"planner {name}", threads, microseconds(ours), "-", "-", "-"))
                        elif isinstance(seconds, peers.Unavailable):
                            rows.append((case, f"planner {name}", threads, microseconds(ours), label, "n/a", "n/a"))
                        else:
                            rows.append((case, f"planner {name}", threads, microseconds(ours), label,
                                         microseconds(seconds), f"{seconds / ours:.2f}x"))
        return rows

    def note_lines(self):
        lines = [f"planner loop: part = geodesic sphere radius 0.3, obstacle = wavy torus of the same size; "
                 f"velocity {VELOCITY}, t in [0, 1]; pair budget of the hit {PAIR_BUDGET}; clearance "
                 f"{CLEARANCE}; {MARGIN_DIRECTIONS} directions for the margins; each of ours is the best of "
                 f"{LOOPS} loops of calls (about {LOOP_SECONDS * 1e3:.0f} ms each, 1 and 2 threads taking turns), "
                 f"peers best of {PEER_REPEATS}"]
        for name in self.scenes:
            miss, hit = self.answers[name, "bvh_path_query miss"], self.answers[name, "bvh_path_query hit"]
            clear = self.answers[name, "clearance check"]
            first = float(np.frombuffer(hit[3], dtype=zet_native.CONTACT_DTYPE)["enter"].min()) \
                if len(hit[3]) else float("nan")
            lines.append(f"  {name}: miss status {miss[0]}, {miss[1]} pairs, {len(miss[3])} contacts; hit status "
                         f"{hit[0]} after {hit[1]} pairs, earliest contact t = {first:.4f}; clearance "
                         f"{clear[1]} candidate pairs, {clear[2][2]} witnesses")
        for (name, case, label), s in self.peer.items():
            if isinstance(s, peers.Unavailable):
                lines.append(f"  {label} {case} {name}: n/a ({s})")
        return lines + ["  " + n for n in self.notes]

    def bars(self):
        slower = [(n, c, self.ours[n, c, 2] / self.ours[n, c, 1]) for n in self.scenes
                  for c in {k[1] for k in self.ours} if self.ours[n, c, 2] > self.ours[n, c, 1] * 1.05]
        verdict = "met" if not slower else "NOT met: " + ", ".join(f"{c} {n} {r:.2f}x" for n, c, r in slower)
        return [f"  planner loop: no case slower on 2 threads than on 1 (5% for timing noise): {verdict}"]


if __name__ == "__main__":
    from common import format_table
    section = PlannerLoop()
    section.prepare()
    section.run_ours()
    import sys
    if "--ours" not in sys.argv:
        section.run_peers()
    print(format_table(section.rows()))
    print("\n".join(section.note_lines()))
    print("\n".join(section.bars()))
