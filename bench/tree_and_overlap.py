"""build_aabb_tree and clipped_overlap_areas against peer libraries.

Tree builds on generated tori and the OBJ meshes (when present) against Open3D, coal and
python-fcl; peak memory of a build in a fresh process; overlap areas of random triangle
pairs against shapely.
"""

import json
import os
import subprocess
import sys
import tempfile

import meshes
import numpy as np
import peers
from common import best_time, progress, rate, ratio, timed, verdict

import _zet_native

LEAF_SIZES = (1, 4, 16)
THREADS = (1, 2)
OVERLAP_PAIRS = 1_000_000


class TreeAndOverlap:
    """One section of the benchmark: prepare, ours, peers, then rows, notes and bars. `part`
    "trees" or "overlap" runs one of the two halves alone (the overlap kernel has vector
    builds, whose rows are run on each build)."""

    def __init__(self, part=None):
        self.trees, self.overlap = part in (None, "trees"), part in (None, "overlap")
        self.cases = {}
        self.notes = []
        self.unavailable = {}  # reasons of n/a cells, in order, once each

    # --- inputs -----------------------------------------------------------------------

    def prepare(self):
        if self.overlap:
            self.subject, self.clip = meshes.overlap_pairs(OVERLAP_PAIRS)
        if not self.trees:
            return
        for name, (nu, nv) in meshes.GENERATED.items():
            self.cases[name] = meshes.wavy_torus(nu, nv)
        obj_present = meshes.obj_meshes()
        for name, path in obj_present:
            try:
                self.cases[name] = meshes.read_obj(path)
            except Exception as exc:
                self.notes.append(f"skipped {path.name}: {exc}")
        if not obj_present:
            self.notes.append(f"no OBJ meshes at {meshes.MESH_DIR}: real-mesh cases skipped")
        progress("tree inputs ready: "
                 + ", ".join(f"{k} ({len(v[1])} triangles)" for k, v in self.cases.items()))

    # --- phase 1: ours ----------------------------------------------------------------

    def run_ours(self):
        if self.trees:
            self.build_s = self._ours_build()
            self.memory = self._memory(*self.cases["torus-1M"])
        if not self.overlap:
            return
        self.overlap_s, results = self._ours_overlap()
        if results[1] != results[2]:
            self.notes.append("ODD: clipped_overlap_areas differs between 1 and 2 threads")
        self.ours_areas = np.frombuffer(results[1], dtype=np.float64)

    def _ours_build(self):
        """{(case, leaf, threads): seconds}; determinism problems go to the notes."""
        seconds = {}
        for name, (vertices, triangles) in self.cases.items():
            for leaf in LEAF_SIZES:
                results = {}
                for threads in THREADS:
                    _zet_native.set_thread_limit(threads)
                    results[threads] = _zet_native.build_aabb_tree(vertices, triangles, leaf, None, 1024)
                    seconds[name, leaf, threads] = best_time(
                        timed(_zet_native.build_aabb_tree, vertices, triangles, leaf, None, 1024), repeats=5)
                if results[1] != results[2]:
                    self.notes.append(f"ODD: {name} leaf {leaf}: the 1- and 2-thread builds differ")
                order = np.frombuffer(results[1][3], dtype=np.uint32)
                if not np.array_equal(np.sort(order), np.arange(len(triangles), dtype=np.uint32)):
                    self.notes.append(f"ODD: {name} leaf {leaf}: order is not a permutation of the triangles")
            progress(f"ours: build_aabb_tree {name} ({len(triangles)} triangles) done")
        return seconds

    def _memory(self, vertices, triangles):
        """{(leaf, threads): probe result} of one build each in a fresh process."""
        out = {}
        with tempfile.TemporaryDirectory(prefix="zet-bench-") as tmp:
            vpath, tpath = os.path.join(tmp, "vertices.npy"), os.path.join(tmp, "triangles.npy")
            np.save(vpath, vertices)
            np.save(tpath, triangles)
            probe = meshes.REPO / "bench" / "memory_probe.py"
            for leaf in LEAF_SIZES:
                for threads in THREADS:
                    done = subprocess.run([sys.executable, str(probe), vpath, tpath, str(leaf), str(threads)],
                                          capture_output=True, text=True)
                    if done.returncode != 0:
                        out[leaf, threads] = {"error": (done.stderr.strip().splitlines() or ["?"])[-1]}
                    else:
                        out[leaf, threads] = json.loads(done.stdout)
        progress("ours: peak memory probes done")
        return out

    def _ours_overlap(self):
        seconds, results = {}, {}
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            results[threads] = _zet_native.clipped_overlap_areas(self.subject, self.clip, 0.0)
            seconds[threads] = best_time(
                timed(_zet_native.clipped_overlap_areas, self.subject, self.clip, 0.0), repeats=5)
        progress("ours: clipped_overlap_areas done")
        return seconds, results

    # --- phase 2: peers ---------------------------------------------------------------

    def run_peers(self):
        if self.trees:
            self.peer_s = self._peer_builds()
        if self.overlap:
            self.shapely_result = self._shapely()

    def _peer_builds(self):
        """{(peer, case): seconds or Unavailable}."""
        out = {}
        for label, _module, _, build in peers.BUILD_PEERS:
            for name, (vertices, triangles) in self.cases.items():
                try:
                    out[label, name] = best_time(lambda: build(vertices, triangles))
                except peers.Unavailable as exc:
                    out[label, name] = exc
                except Exception as exc:  # a peer that breaks on a mesh is reported, not fatal
                    out[label, name] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])
            progress(f"peer: {label} build done")
        return out

    def _shapely(self):
        """(best construction seconds, best intersection+area seconds, areas) or Unavailable."""
        try:
            build_best = op_best = float("inf")
            areas = None
            for _ in range(3):
                build_s, op_s, areas = peers.shapely_overlap(self.subject, self.clip)
                build_best, op_best = min(build_best, build_s), min(op_best, op_s)
            progress("peer: shapely done")
            return build_best, op_best, areas
        except peers.Unavailable as exc:
            return exc

    # --- report -----------------------------------------------------------------------

    def peer_lines(self):
        lines = []
        for label, module, what, _ in peers.BUILD_PEERS if self.trees else ():
            lines.append(f"peer {label} {peers.version(module)}: {what}")
        if self.overlap:
            lines.append(f"peer shapely {peers.version('shapely')}: shapely.intersection + shapely.area on polygons "
                     "built beforehand (and, second row, including shapely.polygons from the coordinate arrays); "
                     "1 thread")
        return lines

    def rows(self):
        rows = self._tree_rows() if self.trees else []
        if not self.overlap:
            return rows
        n = len(self.subject)
        for threads in THREADS:
            ours_cell = rate(n, self.overlap_s[threads], "pairs")
            if isinstance(self.shapely_result, peers.Unavailable):
                rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads, ours_cell,
                             "shapely", "n/a", "n/a"))
                self.unavailable.setdefault(f"shapely n/a: {self.shapely_result}", None)
                continue
            build_best, op_best, _ = self.shapely_result
            rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads, ours_cell,
                         "shapely intersection+area", rate(n, op_best, "pairs"),
                         ratio(self.overlap_s[threads], op_best)))
            rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads, ours_cell,
                         "shapely polygons+intersection+area", rate(n, build_best + op_best, "pairs"),
                         ratio(self.overlap_s[threads], build_best + op_best)))
        return rows

    def _tree_rows(self):
        rows = []
        for name, (_vertices, triangles) in self.cases.items():
            m = len(triangles)
            for leaf in LEAF_SIZES:
                for threads in THREADS:
                    ours_s = self.build_s[name, leaf, threads]
                    for label, _, _, _ in peers.BUILD_PEERS:
                        p = self.peer_s[label, name]
                        if isinstance(p, peers.Unavailable):
                            peer_cell, ratio_cell = "n/a", "n/a"
                            self.unavailable.setdefault(f"{label} n/a: {p}", None)
                        else:
                            peer_cell, ratio_cell = rate(m, p, "tri"), ratio(ours_s, p)
                        rows.append(("build_aabb_tree", f"{name} leaf {leaf}", threads, rate(m, ours_s, "tri"),
                                     label, peer_cell, ratio_cell))
            rows.append(None)
        m1 = len(self.cases["torus-1M"][1])
        for leaf in LEAF_SIZES:
            for threads in THREADS:
                r = self.memory[leaf, threads]
                if "error" in r:
                    cell = f"probe failed: {r['error']}"
                else:
                    cell = f"{r['rss_growth'] / m1:.0f} B/tri (traced {r['traced_peak'] / m1:.0f})"
                rows.append(("build_aabb_tree", f"torus-1M leaf {leaf} peak memory", threads, cell, "-", "-", "-"))
        return rows

    def note_lines(self):
        lines = []
        if self.overlap and not isinstance(self.shapely_result, peers.Unavailable):
            n = len(self.subject)
            diff = np.abs(self.ours_areas - self.shapely_result[2])
            lines.append(f"overlap areas vs shapely: largest absolute difference {diff.max():.3g} "
                         f"(pair {int(diff.argmax())}); largest area {self.ours_areas.max():.3g}; "
                         f"{int((self.ours_areas > 0).sum())} of {n} pairs overlap")
        if not self.trees:
            return lines + list(self.unavailable) + self.notes
        m1 = len(self.cases["torus-1M"][1])
        lines.append("peak memory: growth of the peak resident set over one call in a fresh process, per "
                     "triangle, results included; traced = tracemalloc's peak over the call; result sizes "
                     + ", ".join(f"leaf {leaf} {self.memory[leaf, 1]['result_bytes'] / m1:.0f} B/tri"
                                 for leaf in LEAF_SIZES if "result_bytes" in self.memory[leaf, 1]))
        lines.extend(self.unavailable)
        lines.extend(self.notes)
        return lines

    def bars(self):
        return (self._tree_bars() if self.trees else []) + (self._overlap_bars() if self.overlap else [])

    def _tree_bars(self):
        out = []
        build_s, peer_s = self.build_s, self.peer_s
        m1 = len(self.cases["torus-1M"][1])
        one = m1 / build_s["torus-1M", 4, 1] / 1e6
        two = m1 / build_s["torus-1M", 4, 2] / 1e6
        out.append(f"  build 1M leaf 4, 1 thread >= 4 M tri/s: {one:.2f} M tri/s, {verdict(one >= 4)}")
        out.append(f"  build 1M leaf 4, 2 threads >= 1.6x 1 thread: {two / one:.2f}x, {verdict(two / one >= 1.6)}")
        for label in ("coal", "python-fcl"):
            pairs = [(k, v) for k, v in peer_s.items() if k[0] == label and not isinstance(v, peers.Unavailable)]
            if not pairs:
                out.append(f"  faster than {label}: n/a ({label} unavailable)")
                continue
            worst = min(v / build_s[case, leaf, 1] for (_, case), v in pairs for leaf in LEAF_SIZES)
            out.append(f"  faster than {label} (every case and leaf size, 1 thread): lowest ratio {worst:.2f}x, "
                       f"{verdict(worst > 1)}")
        o3d = peer_s.get(("Open3D", "torus-1M"))
        if isinstance(o3d, float):
            out.append(f"  Open3D at 1M leaf 4: {o3d / build_s['torus-1M', 4, 1]:.2f}x on 1 thread, "
                       f"{o3d / build_s['torus-1M', 4, 2]:.2f}x on 2 threads (no bar)")
        probes = [r for r in self.memory.values() if "error" not in r]
        if probes:
            worst = max(r["rss_growth"] for r in probes) / m1
            out.append(f"  peak memory <= 400 B/tri at 1M: at most {worst:.0f} B/tri, {verdict(worst <= 400)}")
        return out

    def _overlap_bars(self):
        out = []
        n = len(self.subject)
        pairs1 = n / self.overlap_s[1] / 1e6
        out.append(f"  overlap >= 20 M pairs/s on 1 thread: {pairs1:.2f} M pairs/s, {verdict(pairs1 >= 20)}")
        if not isinstance(self.shapely_result, peers.Unavailable):
            r = self.shapely_result[1] / self.overlap_s[1]
            out.append(f"  overlap >= 30x shapely intersection+area on 1 thread: {r:.1f}x, {verdict(r >= 30)}")
        return out
