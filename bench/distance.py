"""Distance and clearance: the conservative triangle distance, its batch, and a clearance
question end to end.

- The distance kernel alone, timed by the C++ program zet_distance_kernel_bench
  (bench/native, built by bench/run) over its fixed set of 2**20 random nearby pairs; the
  same pairs (made here by the same generator, bit for bit) go through
  triangle_distance_batch, and a subset through coal's and python-fcl's triangle distance,
  whose distances must lie in our [lower, upper] brackets.
- A clearance question: a geodesic sphere of 98,000 triangles translating at unit speed
  past a wavy torus of 100,000 triangles, the whole scene tilted so that the closest
  approach is oblique to the coordinate axes. clearance_candidate_pairs, then
  clearance_pairs with min_width 0 and max_depth D, so that the finest interval the search
  reaches is path_length / 2**D; against coal's mesh-to-mesh distance at the midpoints of
  the 2**D intervals of that width (the positions where our search evaluates at its finest
  level). Two passes: one that comes closer than the clearance, one that stays clear by a
  small margin. The answers are compared: the earliest and latest violating positions,
  the peer's distance at our witnesses, and the peer's smallest distance.
"""

import json
import os
import subprocess
import threading
import time

import meshes
import numpy as np
import peers
from common import best_time, duration, progress, rate, ratio, timed, verdict

import _zet_native
import zet_native

# Triangle pairs: the C++ program's set; the peers are called one pair at a time.
PAIRS = 1 << 20
PEER_PAIRS = 20_000
CHUNK = 1 << 16  # pairs per call in the chunked batch row
# The companion package's defaults (and the C++ program's tolerances).
ABS_TOL, REL_TOL = 0.0, 1e-12
BOX_TOL, BOX_STATIC = 1e-9, 0.0
CANCEL_INTERVAL, EVALUATION_LIMIT = 4096, 2**62
LEAF_SIZE = 4
KERNEL_BAR = 5e6

# The clearance scene, built untilted and then turned as a whole by TILT: the sphere's
# centre moves along y at unit speed from y = -PATH_LENGTH / 2 beside the torus's outer
# equator (radius 1.3), at a gap that sets the closest distance (the tube's ripple reaches
# about 0.0098 further out than the equator, so the closest distance is about
# gap - 0.0098).
SPHERE_FREQUENCY, SPHERE_RADIUS = 70, 0.9  # 98,000 triangles
TORUS = (250, 200)  # 100,000 triangles
TILT = (("z", 45.0), ("x", 35.0))
PATH_LENGTH = 4.0
CLEARANCE = 0.02
CASES = {  # name -> gap between the sphere and the torus's outer equator
    "grazing": 0.02,  # closest distance about 0.5 x the clearance: violated
    "near miss": 0.034,  # about 1.2 x the clearance: clear
}
DEPTHS = (10, 14, 18)  # max_depth; resolution PATH_LENGTH / 2**D
FCL_DEPTH = 14  # the depth at which python-fcl is timed too
PEER_FULL = 1 << 14  # grids up to this many positions are run whole ...
PEER_SUBSET = 4096  # ... larger ones on this many evenly strided positions, time scaled
WITNESS_PROBES = 64  # witnesses checked by the peer when its grid was a subset


def _tilt(points):
    points = np.atleast_2d(np.asarray(points, dtype=np.float64))
    for axis, degrees in TILT:
        points = meshes.rotated(points, axis, degrees)
    return points


def _split_run(function, parts):
    """Runs function(*parts[0]) on this thread and function(*parts[1]) on a second one;
    (seconds, [result 0, result 1])."""
    out = [None, None]

    def work(k):
        out[k] = function(*parts[k])
    helper = threading.Thread(target=work, args=(1,))
    start = time.perf_counter()
    helper.start()
    work(0)
    helper.join()
    return time.perf_counter() - start, out


class Distance:
    """One section of the benchmark: prepare, ours, peers, then rows, notes and bars."""

    def __init__(self):
        self.notes = []
        self.unavailable = {}

    # --- inputs -----------------------------------------------------------------------

    def prepare(self):
        self.first, self.second = meshes.distance_pairs(PAIRS)
        torus_vertices, torus_triangles = meshes.wavy_torus(*TORUS)
        self.torus = (np.ascontiguousarray(_tilt(torus_vertices)), torus_triangles)
        self.velocity = np.ascontiguousarray(_tilt([0.0, 1.0, 0.0])[0])
        self.scenes = {}
        for name, gap in CASES.items():
            start = _tilt([1.3 + SPHERE_RADIUS + gap, -PATH_LENGTH / 2.0, 0.05])[0]
            sphere = meshes.icosphere(SPHERE_FREQUENCY, SPHERE_RADIUS, start)
            # The same question asked backwards: from the end of the path, velocity reversed.
            back = (np.ascontiguousarray(sphere[0] + PATH_LENGTH * self.velocity), sphere[1])
            self.scenes[name] = {"sphere": sphere, "back": back}
        progress(f"distance inputs ready: {PAIRS} triangle pairs, sphere ({len(sphere[1])} triangles), "
                 f"torus ({len(self.torus[1])})")

    # --- phase 1: ours ----------------------------------------------------------------

    def run_ours(self):
        _zet_native.set_thread_limit(1)  # no effect on these functions: they use the calling thread
        self.kernel = self._kernel()
        self._batch()
        self._clearance()

    @staticmethod
    def _kernel():
        """The C++ program's figures, or {"error": reason}."""
        binary = os.environ.get("ZET_DISTANCE_KERNEL_BENCH")
        if not binary:
            return {"error": os.environ.get("ZET_DISTANCE_KERNEL_BENCH_ERROR", "not built (run through bench/run)")}
        try:
            done = subprocess.run([binary], capture_output=True, text=True, timeout=600)
        except (OSError, subprocess.TimeoutExpired) as exc:
            return {"error": f"{type(exc).__name__}: {exc}"}
        if done.returncode != 0:
            return {"error": f"exit {done.returncode}: {(done.stderr.strip().splitlines() or ['?'])[-1]}"}
        try:
            figures = json.loads(done.stdout)
            figures["pairs_per_s"] = float(figures["distance_kernel_pairs_per_s"])
        except (ValueError, KeyError, TypeError) as exc:
            return {"error": f"unreadable output {done.stdout.strip()!r}: {exc}"}
        progress("ours: C++ distance kernel benchmark done")
        return figures

    def _batch(self):
        args = (self.first, self.second, ABS_TOL, REL_TOL)
        records = _zet_native.triangle_distance_batch(*args)
        seconds = {1: best_time(timed(_zet_native.triangle_distance_batch, *args), repeats=3)}
        half = PAIRS // 2
        parts = [(self.first[:half], self.second[:half], ABS_TOL, REL_TOL),
                 (self.first[half:], self.second[half:], ABS_TOL, REL_TOL)]
        joined = []

        def split():
            s, out = _split_run(_zet_native.triangle_distance_batch, parts)
            start = time.perf_counter()
            joined[:] = [b"".join(out)]
            return s + time.perf_counter() - start
        # The same pairs in calls of CHUNK pairs: the working block and the result bytes
        # stay small enough to be reused instead of being fresh pages on every call.
        pieces = [(self.first[s:s + CHUNK], self.second[s:s + CHUNK], ABS_TOL, REL_TOL)
                  for s in range(0, PAIRS, CHUNK)]

        def chunked():
            start = time.perf_counter()
            out = [_zet_native.triangle_distance_batch(*piece) for piece in pieces]
            seconds = time.perf_counter() - start
            joined[:] = [b"".join(out)]
            return seconds
        seconds["chunked"] = best_time(chunked, repeats=3)
        if joined[0] != records:
            self.notes.append(f"ODD: triangle_distance_batch: calls of {CHUNK} pairs differ from the whole batch")
        seconds[2] = best_time(split, repeats=3)
        if joined[0] != records:
            self.notes.append("ODD: triangle_distance_batch: the two halves on two threads differ from the "
                              "whole batch")
        d = np.frombuffer(records, dtype=zet_native.DISTANCE_DTYPE)
        feature = d["feature"]
        self.batch = {
            "seconds": seconds,
            "head": d[:PEER_PAIRS].copy(),
            "features": np.bincount(feature.astype(np.int64), minlength=15),
            "integral": bool(np.all(feature == np.round(feature)) and feature.min() >= 0 and feature.max() <= 14),
            "ordered": bool(np.all(d["lower"] <= d["upper"])),
            "zero_lower": int(np.count_nonzero(d["lower"] == 0.0)),
        }
        progress("ours: triangle_distance_batch done")

    def _clearance(self):
        start = time.perf_counter()
        self.obstacle_tree = tuple(zet_native.build_tree(*self.torus, LEAF_SIZE))
        for scene in self.scenes.values():
            scene["tree"] = tuple(zet_native.build_tree(*scene["sphere"], LEAF_SIZE))
            scene["back_tree"] = tuple(zet_native.build_tree(*scene["back"], LEAF_SIZE))
        self.tree_build_s = time.perf_counter() - start
        for name, scene in self.scenes.items():
            forward = self._question(scene["tree"], scene["sphere"], self.velocity, time_it=True)
            backward = self._question(scene["back_tree"], scene["back"], -self.velocity, time_it=False)
            scene["forward"], scene["backward"] = forward, backward
            progress(f"ours: clearance {name} done")

    def _question(self, tree, mesh, velocity, time_it):
        """Candidates, then the search at every depth; times when asked (the backward
        question, for the earliest violation, is run once)."""
        cand_args = (tree, self.obstacle_tree, velocity, PATH_LENGTH, BOX_TOL, BOX_STATIC, CLEARANCE,
                     CANCEL_INTERVAL, None)
        start = time.perf_counter()
        status, pair_bytes = _zet_native.clearance_candidate_pairs(*cand_args)
        out = {"candidates_once_s": time.perf_counter() - start, "candidate_status": status}
        pairs = np.frombuffer(pair_bytes, dtype=np.uint32).reshape(-1, 2)
        out["pairs"] = len(pairs)
        if time_it:
            out["candidates_s"] = best_time(timed(_zet_native.clearance_candidate_pairs, *cand_args), repeats=3)
        lowers = np.zeros(len(pairs))
        # Two interleaved halves of the pairs for the two-thread runs (their costs are even).
        halves = [(np.ascontiguousarray(pairs[k::2]), np.zeros(len(pairs[k::2]))) for k in (0, 1)]
        out["depths"] = {}
        for depth in DEPTHS:
            def search(p, lo, depth=depth):
                return _zet_native.clearance_pairs(mesh[0], mesh[1], *self.torus, p, lo, velocity, PATH_LENGTH,
                                                   CLEARANCE, ABS_TOL, REL_TOL, 0.0, depth, 0, EVALUATION_LIMIT,
                                                   CANCEL_INTERVAL, None)
            start = time.perf_counter()
            result = search(pairs, lowers)
            r = {"once_s": time.perf_counter() - start}
            status, searched, evaluations, unresolved, witness_bytes = result
            w = np.frombuffer(witness_bytes, dtype=zet_native.CLEARANCE_WITNESS_DTYPE).copy()
            r.update(status=status, searched=searched, evaluations=evaluations, unresolved=unresolved, witnesses=w)
            if time_it:
                r["search_s"] = best_time(timed(search, pairs, lowers), repeats=3)
                merged = []

                def split():
                    s, parts = _split_run(search, halves)
                    start = time.perf_counter()
                    merged[:] = [_merge(parts)]
                    return s + time.perf_counter() - start
                r["search_2_s"] = best_time(split, repeats=3)
                if merged[0] != (status, searched, evaluations, unresolved, w.tobytes()):
                    self.notes.append(f"ODD: clearance_pairs depth {depth}: the pairs split over two threads "
                                      "give another result than one call")
            out["depths"][depth] = r
        return out

    # --- phase 2: peers ---------------------------------------------------------------

    def run_peers(self):
        self.peer_pairs = {}
        for label, function in (("coal", peers.coal_triangle_distances), ("python-fcl", peers.fcl_triangle_distances)):
            try:
                self.peer_pairs[label] = function(self.first[:PEER_PAIRS], self.second[:PEER_PAIRS])
                progress(f"peer: {label} triangle distance done")
            except peers.Unavailable as exc:
                self.peer_pairs[label] = exc
            except Exception as exc:  # a peer that breaks is reported, not fatal
                self.peer_pairs[label] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])
        self.peer_paths = {}
        for name, scene in self.scenes.items():
            try:
                self.peer_paths[name] = self._peer_path(scene)
                progress(f"peer: coal along the {name} path done")
            except peers.Unavailable as exc:
                self.peer_paths[name] = exc
            except Exception as exc:
                self.peer_paths[name] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])

    def _peer_path(self, scene):
        """Per depth: the peer's time (measured or scaled), its distances on the grid or
        subset, the probes at our answer's positions, and python-fcl at FCL_DEPTH."""
        start = time.perf_counter()
        coal = peers.CoalMeshDistance(scene["sphere"], self.torus)
        build_s = time.perf_counter() - start
        out = {"build_s": build_s, "depths": {}}
        for depth in DEPTHS:
            n = 1 << depth
            resolution = PATH_LENGTH / n
            stride = 1 if n <= PEER_FULL else n // PEER_SUBSET
            index = np.arange(stride // 2, n, stride)
            t = (index + 0.5) * resolution
            seconds, d = coal.run(t[:, None] * self.velocity)
            p = {"positions": n, "run": len(index), "stride": stride, "seconds": seconds * n / len(index),
                 "measured_s": seconds, "t": t, "d": d, "resolution": resolution}
            ours = scene["forward"]["depths"][depth]
            back = scene["backward"]["depths"][depth]
            w = ours["witnesses"]
            probes = {}
            if len(w):
                latest = float(w["t"].max())
                earliest = PATH_LENGTH - float(back["witnesses"]["t"].max()) if len(back["witnesses"]) else None
                spots = {"latest": latest, "after latest": latest + resolution}
                if earliest is not None:
                    spots.update({"earliest": earliest, "before earliest": earliest - resolution})
                spots = {k: v for k, v in spots.items() if 0.0 < v < PATH_LENGTH}
                _, values = coal.run(np.array(list(spots.values()))[:, None] * self.velocity)
                probes = dict(zip(spots, zip(spots.values(), values)))
                if stride == 1:  # every witness is a grid position: look the peer's distance up
                    j = np.rint(w["t"] / resolution - 0.5).astype(np.int64)
                    on_grid = bool(np.all(np.abs(t[j] - w["t"]) <= resolution * 1e-6))
                    at_witness = d[j]
                    checked = len(w)
                else:
                    on_grid = True
                    pick = np.unique(np.linspace(0, len(w) - 1, min(WITNESS_PROBES, len(w))).astype(np.int64))
                    _, at_witness = coal.run(w["t"][pick][:, None] * self.velocity)
                    w = w[pick]
                    checked = len(pick)
                p["witness_check"] = {
                    "checked": checked, "on_grid": on_grid,
                    "below": int(np.count_nonzero(at_witness < CLEARANCE)),
                    "above_upper": int(np.count_nonzero(at_witness > w["upper"] + 1e-12)),
                    "largest_excess": float(np.max(at_witness - w["upper"])),
                }
            p["probes"] = probes
            out["depths"][depth] = p
        try:
            fcl = peers.FclMeshDistance(scene["sphere"], self.torus)
            n = 1 << FCL_DEPTH
            stride = max(1, n // PEER_SUBSET)
            index = np.arange(stride // 2, n, stride)
            t = (index + 0.5) * (PATH_LENGTH / n)
            seconds, d = fcl.run(t[:, None] * self.velocity)
            coal_d = out["depths"][FCL_DEPTH]
            same_grid = coal_d["stride"] == 1
            out["fcl"] = {"positions": n, "run": len(index), "seconds": seconds * n / len(index), "measured_s": seconds,
                          "largest_difference": float(np.max(np.abs(coal_d["d"][index] - d))) if same_grid else None}
        except peers.Unavailable as exc:
            out["fcl"] = exc
        except Exception as exc:
            out["fcl"] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])
        return out

    # --- comparison -------------------------------------------------------------------

    def _agreement(self, name, depth):
        """(agrees, one-line account) of ours against the peer's distances at one depth."""
        scene = self.scenes[name]
        ours, back = scene["forward"]["depths"][depth], scene["backward"]["depths"][depth]
        p = self.peer_paths[name]["depths"][depth]
        res, stride = p["resolution"], p["stride"]
        violating = p["d"] < CLEARANCE
        w = ours["witnesses"]
        where = "all " if stride == 1 else f"every {stride}th of the "
        peer_text = (f"coal on {where}{p['positions']} positions: smallest distance {p['d'].min():.6g} at t "
                     f"{p['t'][np.argmin(p['d'])]:.6g}, {int(violating.sum())} positions below the clearance")
        if violating.any():
            peer_text += (f", first {p['t'][violating][0]:.9g}, last {p['t'][violating][-1]:.9g}")
        if not len(w):
            agrees = not violating.any()
            ours_text = ("ours: no witness, " + ("the whole path proved clear" if ours["unresolved"] == 0 else
                                                 f"{ours['unresolved']} pairs unresolved"))
            return agrees, f"{ours_text}; {peer_text}"
        latest = float(w["t"].max())
        earliest = PATH_LENGTH - float(back["witnesses"]["t"].max()) if len(back["witnesses"]) else None
        ours_text = (f"ours: earliest violation {_t(earliest)} (from the backward question), latest {latest:.9g}, "
                     f"smallest witness upper bound {w['upper'].min():.6g}")
        checks = []
        agrees = bool(violating.any())
        if violating.any():
            first, last = p["t"][violating][0], p["t"][violating][-1]
            slack = (stride - 0.5) * res if stride > 1 else 1e-9 * res
            ok_first = earliest is not None and -1e-9 * res <= first - earliest <= slack
            ok_last = -1e-9 * res <= latest - last <= slack
            agrees = agrees and ok_first and ok_last
            both = ok_first and ok_last
            if stride == 1:
                shift_first = (first - (np.nan if earliest is None else earliest)) / res
                checks.append(f"first and last violating positions {'equal' if both else 'DIFFER'} (peer - ours: "
                              f"{shift_first:+.0f} and {(last - latest) / res:+.0f} positions)")
            else:
                checks.append("the subset's first and last violating positions "
                              + ("within its stride of ours" if both else "NOT within its stride of ours"))
        probes = p["probes"]
        for key, inside in (("earliest", True), ("latest", True), ("before earliest", False), ("after latest", False)):
            if key in probes:
                ok = (probes[key][1] < CLEARANCE) == inside
                agrees = agrees and ok
                if not ok:
                    checks.append(f"coal at our {key} position {probes[key][0]:.9g}: {probes[key][1]:.6g} (MISMATCH)")
        if probes and all(((probes[k][1] < CLEARANCE) == (k in ("earliest", "latest"))) for k in probes):
            checks.append("coal below the clearance at our earliest and latest positions and not at the positions "
                          "just outside them")
        c = p.get("witness_check")
        if c:
            ok = c["on_grid"] and c["below"] == c["checked"] and c["above_upper"] == 0
            agrees = agrees and ok
            checks.append(f"coal at {c['checked']} of our {len(w)} witness positions: {c['below']} below the "
                          f"clearance, {c['above_upper']} above our upper bound (largest coal - upper "
                          f"{c['largest_excess']:.3g})"
                          + ("" if c["on_grid"] else ", ODD: witnesses off the sample grid"))
        return agrees, f"{ours_text}; {peer_text}; " + "; ".join(checks)

    # --- report -----------------------------------------------------------------------

    def peer_lines(self):
        return [
            f"peer coal {peers.version('coal')} and python-fcl {peers.version('fcl')} (triangle distance): "
            "distance between two one-triangle BVH models (coal BVHModelOBBRSS, fcl BVHModel OBBRSS; neither "
            "library computes a distance between two TriangleP shapes), identity transforms, default request; "
            f"one Python call per pair on the first {PEER_PAIRS} pairs, models built off the clock, best of 3, "
            "figure = pairs / time; 1 thread",
            f"peer coal {peers.version('coal')} (clearance): coal.distance between the two meshes as "
            "BVHModelOBBRSS (built off the clock), the moving one placed by a Transform3s translation, default "
            "DistanceRequest, at the midpoints of the 2**D path intervals of width path_length / 2**D (our "
            f"finest); grids of up to {PEER_FULL} positions run whole, larger ones on {PEER_SUBSET} evenly "
            "strided positions with the time scaled to the whole grid; one pass; 1 thread",
            f"peer python-fcl {peers.version('fcl')} (clearance, depth {FCL_DEPTH} only): fcl.distance between "
            "BVHModel (OBBRSS) objects built off the clock, setTranslation per position, on "
            f"{PEER_SUBSET} evenly strided positions, time scaled; 1 thread",
        ]

    def rows(self):
        rows = []
        k = self.kernel
        if "error" in k:
            rows.append(("conservative_triangle_distance (C++)", f"{PAIRS} random nearby pairs", 1, "n/a", "-", "-",
                         "-"))
            self.unavailable.setdefault(f"C++ distance kernel benchmark n/a: {k['error']}", None)
        else:
            rows.append(("conservative_triangle_distance (C++)", f"{PAIRS} random nearby pairs", 1,
                         rate(k["pairs_per_s"], 1.0, "pairs"), "-", "-", "-"))
        b = self.batch["seconds"]
        for threads, key, case in ((1, 1, f"the same {PAIRS} pairs, one call"),
                                   (1, "chunked", f"the same pairs, {PAIRS // CHUNK} calls of {CHUNK}"),
                                   (2, 2, "the same pairs, two halves on two threads")):
            for label in ("coal", "python-fcl"):
                p = self.peer_pairs[label]
                if isinstance(p, peers.Unavailable):
                    rows.append(("triangle_distance_batch", case, threads, rate(PAIRS, b[key], "pairs"), label,
                                 "n/a", "n/a"))
                    self.unavailable.setdefault(f"{label} n/a: {p}", None)
                else:
                    rows.append(("triangle_distance_batch", case, threads, rate(PAIRS, b[key], "pairs"), label,
                                 rate(PEER_PAIRS, p[0], "pairs"), ratio(b[key] / PAIRS, p[0] / PEER_PAIRS)))
        for name, scene in self.scenes.items():
            rows.append(None)
            f = scene["forward"]
            for depth in DEPTHS:
                o = f["depths"][depth]
                case = f"{name}, resolution {PATH_LENGTH:g}/2^{depth}"
                p = self.peer_paths[name]
                for threads, search in ((1, o["search_s"]), (2, o["search_2_s"])):
                    ours = f["candidates_s"] + search
                    what = "clearance_candidate_pairs + clearance_pairs"
                    if isinstance(p, peers.Unavailable):
                        rows.append((what, case, threads, duration(ours), "coal", "n/a", "n/a"))
                        self.unavailable.setdefault(f"coal n/a: {p}", None)
                        continue
                    d = p["depths"][depth]
                    label = f"coal x {d['positions']}" + ("" if d["stride"] == 1 else " (scaled)")
                    rows.append((what, case, threads, duration(ours), label, duration(d["seconds"]),
                                 ratio(ours, d["seconds"])))
                    if depth == FCL_DEPTH:
                        q = p["fcl"]
                        if isinstance(q, peers.Unavailable):
                            rows.append((what, case, threads, duration(ours), "python-fcl", "n/a", "n/a"))
                            self.unavailable.setdefault(f"python-fcl n/a (clearance): {q}", None)
                        else:
                            rows.append((what, case, threads, duration(ours), f"python-fcl x {q['positions']} (scaled)",
                                         duration(q["seconds"]), ratio(ours, q["seconds"])))
        return rows

    def note_lines(self):
        lines = []
        k = self.kernel
        if "error" not in k:
            lines.append(f"distance kernel (C++, zet_distance_kernel_bench, one thread): {PAIRS} fixed random pairs "
                         "(corners within 1 of a centre in [-10, 10]^3, the second triangle's centre shifted by up to "
                         "1.5 on each axis), absolute_tolerance 0, relative_tolerance 1e-12; best of 5 passes")
        bt = self.batch
        feats = ", ".join(str(int(x)) for x in bt["features"])
        lines.append(f"triangle_distance_batch: the same pairs made here by the same generator; best of 3; records "
                     f"{'all have lower <= upper' if bt['ordered'] else 'ODD: some have lower > upper'}, feature "
                     f"codes {'integral 0..14' if bt['integral'] else 'ODD: not integral 0..14'} (counts by code: "
                     f"{feats}), {bt['zero_lower']} with lower 0; two threads: two calls on the two halves from two "
                     "Python threads, records joined (the function itself uses the calling thread only, "
                     "set_thread_limit does not change it)")
        lines.append(f"  one call on {PAIRS} pairs fills a fresh {PAIRS * 72 // 2**20} MB working block and copies "
                     f"it into a fresh {PAIRS * 72 // 2**20} MB bytes object (about {2 * PAIRS * 72 // 4096} page "
                     f"faults), which calls of {CHUNK} pairs avoid by reusing memory: "
                     f"{PAIRS / bt['seconds'][1] / 1e6:.2f} against {PAIRS / bt['seconds']['chunked'] / 1e6:.2f} "
                     "M pairs/s; the two threads' page faults in one process contend too, which limits the two-thread "
                     "split")
        head = bt["head"]
        for label in ("coal", "python-fcl"):
            p = self.peer_pairs[label]
            if isinstance(p, peers.Unavailable):
                continue
            seconds, dist = p
            separate = dist > 0.0
            lo, up = head["lower"][separate], head["upper"][separate]
            x = dist[separate]
            outside = np.maximum(lo - x, x - up)
            centre = np.abs(x - 0.5 * (lo + up))
            touching = ~separate
            lines.append(f"  {label} on the first {PEER_PAIRS} pairs: {seconds * 1e3:.1f} ms "
                         f"({seconds / PEER_PAIRS * 1e6:.2f} us per call); {int(separate.sum())} separated pairs: "
                         f"{int(np.count_nonzero(outside > 0))} distances outside our [lower, upper] "
                         f"(largest excursion {max(0.0, float(outside.max())):.3g}), largest |{label} - bracket "
                         f"centre| {float(centre.max()):.3g}; {int(touching.sum())} pairs {label} finds touching or "
                         f"crossing (distance 0), where ours reports the smallest feature distance by design "
                         f"(lower 0 on {int(np.count_nonzero(head['lower'][touching] == 0.0))} of them, largest lower "
                         f"{float(head['lower'][touching].max()) if touching.any() else 0.0:.3g})")
        s0 = next(iter(self.scenes.values()))
        lines.append(f"clearance: sphere of radius {SPHERE_RADIUS} ({len(s0['sphere'][1])} triangles) translating "
                     f"at unit speed for path_length {PATH_LENGTH:g} past a wavy torus ({len(self.torus[1])} "
                     f"triangles), closest approach halfway along the path beside the torus's outer equator; whole "
                     f"scene turned 45 degrees about z and 35 about x (the closest approach oblique to the axes); "
                     f"velocity ({', '.join(f'{v:.6f}' for v in self.velocity)}); clearance {CLEARANCE:g}; "
                     f"box_tol {BOX_TOL:g}, box_static {BOX_STATIC:g}, absolute_tolerance {ABS_TOL:g}, "
                     f"relative_tolerance {REL_TOL:g}, min_width 0, lowers 0, no budget, no cancellation; trees leaf "
                     f"{LEAF_SIZE} built beforehand ({self.tree_build_s * 1e3:.0f} ms for all five, not in the times); "
                     "ours = best of 3 of clearance_candidate_pairs + best of 3 of clearance_pairs; 2 threads: the "
                     "candidates on one thread, then the pairs split into two interleaved halves searched by two "
                     "calls from two Python threads, witnesses merged back into pair order (both functions use the "
                     "calling thread only; set_thread_limit does not change them)")
        lines.append("  our witnesses give, per pair, the latest violating interval (later halves first), so the "
                     "latest violation along the path is the largest witness t; the earliest is read from the same "
                     "question asked backwards (the sphere starting at the end of the path, velocity reversed), run "
                     "once and not in the times; ours does not search for the smallest distance")
        for name, gap in CASES.items():
            scene = self.scenes[name]
            f = scene["forward"]
            b = scene["backward"]
            lines.append(f"  {name} (gap {gap:g} beside the equator): {f['pairs']} candidate pairs "
                         f"(status {f['candidate_status']}) in {duration(f['candidates_s'])}; backward question "
                         f"{b['pairs']} candidate pairs")
            for depth in DEPTHS:
                o, ob = f["depths"][depth], b["depths"][depth]
                w = o["witnesses"]
                clear_after = int(np.count_nonzero(w["clear_after"] == 1))
                lines.append(f"    depth {depth} (resolution {PATH_LENGTH / (1 << depth):.3g}): clearance_pairs "
                             f"{duration(o['search_s'])} on 1 thread, {duration(o['search_2_s'])} split over 2 "
                             f"({o['search_s'] / o['search_2_s']:.2f}x); status {o['status']}, {o['searched']} pairs "
                             f"searched, {o['evaluations']} evaluations "
                             f"({rate(o['evaluations'], o['search_s'], 'evals')}), {o['unresolved']} unresolved, "
                             f"{len(w)} witnesses ({clear_after} with clear_after 1); backward: "
                             f"{duration(b['candidates_once_s'] + ob['once_s'])} (timed once), {len(ob['witnesses'])} "
                             f"witnesses, {ob['unresolved']} unresolved")
                p = self.peer_paths[name]
                if isinstance(p, peers.Unavailable):
                    continue
                agrees, text = self._agreement(name, depth)
                d = p["depths"][depth]
                lines.append(f"      coal {duration(d['measured_s'])} for {d['run']} positions"
                             + ("" if d["stride"] == 1 else f" (x {d['positions'] // d['run']} = "
                                f"{duration(d['seconds'])} for the whole grid)")
                             + f"; answers {'agree' if agrees else 'DISAGREE'}: {text}")
            p = self.peer_paths[name]
            if not isinstance(p, peers.Unavailable) and not isinstance(p["fcl"], peers.Unavailable):
                q = p["fcl"]
                diff = ("" if q["largest_difference"] is None else
                        f", largest |python-fcl - coal| at the same positions {q['largest_difference']:.3g}")
                lines.append(f"    python-fcl at depth {FCL_DEPTH}: {duration(q['measured_s'])} for {q['run']} of "
                             f"{q['positions']} positions{diff}")
        lines.extend(self.unavailable)
        lines.extend(self.notes)
        return lines

    def bars(self):
        out = []
        k = self.kernel
        if "error" in k:
            out.append("  distance kernel >= 5 M pairs/s on 1 thread: n/a (C++ benchmark unavailable)")
        else:
            e = k["pairs_per_s"]
            out.append(f"  distance kernel >= 5 M pairs/s on 1 thread: {e / 1e6:.2f} M/s, {verdict(e >= KERNEL_BAR)}")
        b = self.batch["seconds"][1]
        figures = []
        for label in ("coal", "python-fcl"):
            p = self.peer_pairs[label]
            if not isinstance(p, peers.Unavailable):
                figures.append(f"{(p[0] / PEER_PAIRS) / (b / PAIRS):.2f}x {label}")
        out.append(f"  triangle_distance_batch: {PAIRS / b / 1e6:.2f} M pairs/s on 1 thread"
                   + (f", {', '.join(figures)}" if figures else "") + " (no bar)")
        for name in CASES:
            p = self.peer_paths[name]
            f = self.scenes[name]["forward"]
            for depth in DEPTHS:
                ours = f["candidates_s"] + f["depths"][depth]["search_s"]
                head = f"  clearance faster than coal sampled at equal resolution, {name}, depth {depth}"
                if isinstance(p, peers.Unavailable):
                    out.append(f"{head}: n/a (coal unavailable)")
                    continue
                d = p["depths"][depth]
                r = d["seconds"] / ours
                agrees, _ = self._agreement(name, depth)
                out.append(f"{head}: {r:.2f}x on 1 thread{' (peer time scaled)' if d['stride'] > 1 else ''}, "
                           f"{verdict(r > 1)}; answers {'agree' if agrees else 'DISAGREE'}")
        return out


def _merge(parts):
    """One clearance_pairs result from the results of the interleaved halves (even pairs,
    odd pairs): counters added, witnesses renumbered and put back into pair order."""
    witnesses = []
    for k, (_, _, _, _, w) in enumerate(parts):
        a = np.frombuffer(w, dtype=zet_native.CLEARANCE_WITNESS_DTYPE).copy()
        a["pair_index"] = a["pair_index"] * 2 + k
        witnesses.append(a)
    w = np.concatenate(witnesses)
    w = w[np.argsort(w["pair_index"], kind="stable")]
    return (max(p[0] for p in parts), parts[0][1] + parts[1][1], parts[0][2] + parts[1][2],
            parts[0][3] + parts[1][3], w.tobytes())


def _t(value):
    return "none" if value is None else f"{value:.9g}"
