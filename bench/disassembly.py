"""Speed of the disassembly planner (zet_native.disassembly), on its own and against the same
planner whose path checks are done by python-fcl.

- beam-frame (../shared/assemblies, when present): the whole plan on 1 thread and on 2
  threads with stages (bars: at most 5 s on 1 thread, at least 1.5x faster on 2);
- a generated grid of 64 touching cubes of about 1k triangles each, 1 thread (bar: 20 s);
- python-fcl: the same planner with each pair's path check done by sampled collision
  (fcl.collide at evenly spaced positions, its colliding triangle pairs judged by the same
  overlap depth and allowance), at the coarsest of a few resolutions that gives the same
  plan and blocking table as ours; ratio = its time / ours (bar: at least 10x), with the split:
  the time of the path checks alone on each side, and the rest of the planner (candidate
  directions, cones, ray rating, interior points), which both sides share;
- plan_many of 16 generated assemblies on a LocalCluster of 2 worker processes against
  planning them one after another in this process (ratio).

Run with bench/run (after the peer benchmarks) or on its own: python bench/disassembly.py.
"""

import math
import os
import sys
import time
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "examples"))
import assemblies  # noqa: E402

from zet_native.disassembly import analysis, load_folder, plan, plan_many, planner  # noqa: E402  # noqa: E402
from zet_native.disassembly.depth import overlap_depths  # noqa: E402

BEAM_FRAME = Path(os.environ.get("ZET_BENCH_ASSEMBLIES", REPO.parent / "shared" / "assemblies")) / "beam-frame"
RESOLUTIONS = (1 / 8, 1 / 32, 1 / 128)  # fcl sample spacing, in lengths of the part's box diagonal


def timed(run, repeat=1):
    best, result = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def comparable(result):
    data = result.to_json()
    return ([(s["part"], s["label"]) for s in data["steps"]], data["remaining"], data["blocking"])


class TimedAssembly(analysis.Assembly):
    """Our planner's assembly, adding up the time of its path checks."""

    checks = 0.0

    def _path_depths(self, p, q, d, length):
        start = time.perf_counter()
        try:
            return super()._path_depths(p, q, d, length)
        finally:
            type(self).checks += time.perf_counter() - start


class FclAssembly(analysis.Assembly):
    """The planner's assembly with each pair's path check done by python-fcl."""

    resolution = RESOLUTIONS[0]
    checks = 0.0

    def __init__(self, *args, **kwargs):
        import fcl

        super().__init__(*args, **kwargs)
        self.fcl = fcl
        self.objects = {}
        for name, (v, t) in self.meshes.items():
            model = fcl.BVHModel()
            model.beginModel(len(v), len(t))
            model.addSubModel(v, t.astype(np.int32))
            model.endModel()
            self.objects[name] = fcl.CollisionObject(model, fcl.Transform())

    def _path_depths(self, p, q, d, length):
        start = time.perf_counter()
        fcl = self.fcl
        step = self.resolution * float(np.linalg.norm(self.high[p] - self.low[p]))
        deepest = tolerated = 0.0
        for t in np.linspace(0.0, length, max(2, int(math.ceil(length / step)) + 1)):
            self.objects[p].setTransform(fcl.Transform(np.asarray(d) * t))
            request = fcl.CollisionRequest(num_max_contacts=1_000_000, enable_contact=True)
            result = fcl.CollisionResult()
            fcl.collide(self.objects[p], self.objects[q], request, result)
            if not result.contacts:
                continue
            pairs = np.array([(c.b1, c.b2) for c in result.contacts], dtype=np.int64)
            depths = overlap_depths(self.corners(p, pairs[:, 0]), self.corners(q, pairs[:, 1]), d, t, t)
            deepest = max(deepest, float(depths.max()))
            tolerated = max(tolerated, float(depths[depths <= self.tol.allowance].max(initial=0.0)))
            if deepest > self.tol.allowance:
                break
        self.objects[p].setTransform(fcl.Transform())
        type(self).checks += time.perf_counter() - start
        return analysis.PairCheck(deepest > self.tol.allowance, tolerated, deepest)


def planned_with(assembly, parts):
    """A plan whose assembly is of the given class (the planner's own otherwise unchanged)."""
    assembly.checks = 0.0
    planner.Assembly = assembly
    try:
        return plan(parts)
    finally:
        planner.Assembly = analysis.Assembly


def fcl_plan(parts, resolution):
    FclAssembly.resolution = resolution
    return planned_with(FclAssembly, parts)


def versus_fcl(name, parts, ours_time, ours):
    try:
        import fcl  # noqa: F401
    except ImportError as error:
        return [f"  {name}: python-fcl n/a ({error})"]
    planned_with(TimedAssembly, parts)  # an untimed run of ours, for the time of its checks
    checks = TimedAssembly.checks
    for resolution in RESOLUTIONS:
        seconds, theirs = timed(lambda: fcl_plan(parts, resolution))
        if comparable(theirs) == comparable(ours):
            return [f"  {name}: ours {ours_time:.2f} s, python-fcl sampled every 1/{round(1 / resolution)} of the "
                    f"part's diagonal {seconds:.2f} s, ratio {seconds / ours_time:.1f}x; path checks alone: ours "
                    f"{checks:.2f} s, python-fcl {FclAssembly.checks:.2f} s ({FclAssembly.checks / checks:.1f}x), "
                    f"the rest of the planner (shared) about {ours_time - checks:.2f} s"]
    return [f"  {name}: python-fcl did not find the same blockers down to 1/{round(1 / RESOLUTIONS[-1])} of the "
            f"part's diagonal (last: {seconds:.2f} s, ratio {seconds / ours_time:.1f}x)"]


def catalogue():
    """16 generated assemblies: four kinds, four sizes each."""
    out = {}
    for scale in (1.0, 1.5, 2.0, 3.0):
        for name, build in assemblies.ALL.items():
            out[f"{name}-{scale:g}"] = {n: (v * scale, t) for n, (v, t) in build().items()}
    return out


def main():
    lines = [f"disassembly planner ({os.cpu_count()} cores, load {os.getloadavg()[0]:.1f} at the start)"]
    bars = []
    if BEAM_FRAME.is_dir():
        parts = load_folder(BEAM_FRAME)
        one, ours = timed(lambda: plan(parts, threads=1), repeat=2)
        two, _ = timed(lambda: plan(parts, threads=2), repeat=2)
        steps = ", ".join(f"{s.part} {s.label}" for s in ours.steps)
        lines.append(f"  beam-frame ({sum(len(t) for _, t in parts.values())} triangles): 1 thread {one:.2f} s, "
                     f"2 threads {two:.2f} s ({one / two:.2f}x); plan: {steps}")
        bars.append(f"  beam-frame 1 thread <= 5 s: {'met' if one <= 5 else 'NOT met'} ({one:.2f} s); "
                    f"2 threads >= 1.5x: {'met' if one / two >= 1.5 else 'NOT met'} ({one / two:.2f}x)")
        lines += versus_fcl("beam-frame", parts, one, ours)
    else:
        lines.append(f"  beam-frame: n/a ({BEAM_FRAME} is not here)")
    grid = assemblies.grid_of_blocks(4, 9)
    seconds, result = timed(lambda: plan(grid, threads=1))
    lines.append(f"  grid of 64 cubes ({sum(len(t) for _, t in grid.values())} triangles): 1 thread {seconds:.2f} s, "
                 f"{len(result.steps)} steps")
    bars.append(f"  grid of 64 cubes <= 20 s: {'met' if seconds <= 20 else 'NOT met'} ({seconds:.2f} s)")
    for name in ("pinned-peg", "channel-stack"):
        parts = assemblies.ALL[name]()
        ours_time, ours = timed(lambda: plan(parts), repeat=3)
        lines += versus_fcl(name, parts, ours_time, ours)
    batch = catalogue()
    serial, expected = timed(lambda: {n: plan(p).to_json() for n, p in batch.items()})
    try:
        from dask.distributed import Client, LocalCluster

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            plan_many({"warm-up": assemblies.box_with_lid()}, client)
            spread, found = timed(lambda: plan_many(batch, client))
        same = all(found[n] == expected[n] for n in batch)
        lines.append(f"  plan_many of {len(batch)} assemblies: LocalCluster of 2 processes {spread:.2f} s, one process "
                     f"{serial:.2f} s, ratio {serial / spread:.2f}x; same plans: {same}")
    except ImportError as error:
        lines.append(f"  plan_many: n/a ({error})")
    lines.append(f"  load at the end {os.getloadavg()[0]:.1f}")
    text = "\n".join(lines + ["bars (reported, not enforced):"] + bars)
    print(text)
    return text


if __name__ == "__main__":
    main()
