"""Translational collision: the triangle pair kernel, bvh_path_query, self_intersection_pairs.

- The kernel alone, timed by the C++ program zet_ccd_kernel_bench (bench/native, built by
  bench/run) over its fixed set of random nearby pairs; the same pairs then go through
  translation_triangle_ccd_batch, whose results must equal the program's bit for bit.
- bvh_path_query: a geodesic sphere of 98,000 triangles translating through a wavy torus of
  100,000 triangles, on 1 and 2 threads, against python-fcl's continuousCollide with
  translation motion on the same meshes and motion.
- self_intersection_pairs on two crossing tori merged into one mesh of 100,000 triangles,
  against pymeshlab's self-intersecting face selection and Open3D's self-intersecting
  triangles.
"""

import json
import os
import subprocess
import tempfile
import time

import meshes
import numpy as np
import peers
from common import best_time, duration, progress, rate, ratio, timed, verdict

import _zet_native
import zet_native

THREADS = (1, 2)
# The companion package's defaults.
ABS_TOL, REL_TOL, SIN_TOL = 1e-12, 1e-12, 1e-9
BOX_TOL, BOX_STATIC = 1e-9, 0.0
PAIR_BUDGET, CANCEL_INTERVAL = 2**62, 4096
LEAF_SIZE = 4

# The path query scene: a sphere of radius 0.9 (larger than the torus hole, whose radius
# is about 0.7) starts left of the torus and translates by t * velocity; over t in [0, 1]
# it passes right through, its surface sweeping through the tube on both sides. The first
# contact comes near t = 0.061; the shortest path ends a little after it, the middle one
# when the sphere has gone some way into the tube.
SPHERE_FREQUENCY, SPHERE_RADIUS = 70, 0.9  # 20 * 70**2 = 98,000 triangles
PATH_START = (-2.5, -0.2, 0.15)
PATH_VELOCITY = (5.0, 0.5, -0.3)
TORUS = (250, 200)  # 100,000 triangles
MOTIONS = {  # name -> (t_begin, t_end)
    "first contact": (0.0, 0.08),
    "entry": (0.0, 0.3),
    "full pass": (0.0, 1.0),
}
MANY_LEAF_PAIRS = "full pass"  # the query of the 2-thread bar

SELF_TORI = (250, 100)  # two tori of 50,000 triangles: 100,000
WITNESS_LIMIT = 1 << 20

KERNEL_BAR = 5e6
FCL_BAR, THREAD_BAR = 10.0, 1.5


class Collision:
    """One section of the benchmark: prepare, ours, peers, then rows, notes and bars."""

    def __init__(self):
        self.notes = []
        self.unavailable = {}

    # --- inputs -----------------------------------------------------------------------

    def prepare(self):
        self.sphere = meshes.icosphere(SPHERE_FREQUENCY, SPHERE_RADIUS, PATH_START)
        self.torus = meshes.wavy_torus(*TORUS)
        self.velocity = np.array(PATH_VELOCITY, dtype=np.float64)
        self.tori = meshes.crossing_tori(*SELF_TORI)
        progress(f"collision inputs ready: sphere ({len(self.sphere[1])} triangles), torus "
                 f"({len(self.torus[1])}), crossing tori ({len(self.tori[1])})")

    # --- phase 1: ours ----------------------------------------------------------------

    def run_ours(self):
        self.kernel = self._kernel()
        self._path_query()
        self._self_intersections()

    def _kernel(self):
        """The C++ program's figures and the batch cross-check, or {"error": reason}."""
        binary = os.environ.get("ZET_CCD_KERNEL_BENCH")
        if not binary:
            return {"error": os.environ.get("ZET_CCD_KERNEL_BENCH_ERROR", "not built (run through bench/run)")}
        with tempfile.TemporaryDirectory(prefix="zet-bench-kernel-") as tmp:
            try:
                done = subprocess.run([binary, "--dump", tmp], capture_output=True, text=True, timeout=600)
            except (OSError, subprocess.TimeoutExpired) as exc:
                return {"error": f"{type(exc).__name__}: {exc}"}
            if done.returncode != 0:
                return {"error": f"exit {done.returncode}: {(done.stderr.strip().splitlines() or ['?'])[-1]}"}
            figures = json.loads(done.stdout)
            progress("ours: C++ kernel benchmark done")
            _zet_native.set_thread_limit(1)
            for variant in figures["variants"]:
                variant["batch"] = self._batch_check(os.path.join(tmp, variant["name"]), figures["pairs"])
        progress("ours: translation_triangle_ccd_batch done")
        return figures

    @staticmethod
    def _batch_check(prefix, n):
        """Seconds of translation_triangle_ccd_batch on the program's pairs and whether its
        results equal the program's."""
        pairs = np.fromfile(prefix + ".pairs.f8", dtype=np.float64).reshape(n, 20)
        moving = np.ascontiguousarray(pairs[:, :9].reshape(n, 3, 3))
        obstacle = np.ascontiguousarray(pairs[:, 9:18].reshape(n, 3, 3))
        paths = np.ascontiguousarray(pairs[:, 18:])
        velocity = np.fromfile(prefix + ".velocity.f8", dtype=np.float64)
        args = (moving, obstacle, velocity, paths, ABS_TOL, REL_TOL, SIN_TOL)
        results = _zet_native.translation_triangle_ccd_batch(*args)
        ours = np.array(results, dtype=zet_native.CCD_RESULT_DTYPE)
        native = np.fromfile(prefix + ".res", dtype=zet_native.CCD_RESULT_DTYPE)
        del results
        same = ours.tobytes() == native.tobytes()
        differing = 0 if same else int(sum((ours[f] != native[f]) for f in ours.dtype.names).astype(bool).sum())
        seconds = best_time(timed(_zet_native.translation_triangle_ccd_batch, *args), repeats=3)
        return {"seconds": seconds, "same": same, "differing": differing}

    def _path_query(self):
        _zet_native.set_thread_limit(1)
        start = time.perf_counter()
        self.moving_tree = tuple(zet_native.build_tree(*self.sphere, LEAF_SIZE))
        self.obstacle_tree = tuple(zet_native.build_tree(*self.torus, LEAF_SIZE))
        self.tree_build_s = time.perf_counter() - start
        self.path_s, self.path_r = {}, {}
        for name, (t_begin, t_end) in MOTIONS.items():
            args = (self.moving_tree, self.obstacle_tree, self.velocity, t_begin, t_end, BOX_TOL, BOX_STATIC,
                    ABS_TOL, REL_TOL, SIN_TOL, PAIR_BUDGET, CANCEL_INTERVAL, None)
            results, best = {}, {threads: float("inf") for threads in THREADS}
            # 1 and 2 threads alternate, so that a passing load on the machine weighs on both.
            for _ in range(3):
                for threads in THREADS:
                    _zet_native.set_thread_limit(threads)
                    start = time.perf_counter()
                    results[threads] = _zet_native.bvh_path_query(*args)
                    best[threads] = min(best[threads], time.perf_counter() - start)
            for threads in THREADS:
                self.path_s[name, threads] = best[threads]
            if results[1] != results[2]:
                self.notes.append(f"ODD: bvh_path_query {name}: the 1- and 2-thread results differ")
            self.path_r[name] = _summary(results[1])
            progress(f"ours: bvh_path_query {name} done")

    def _self_intersections(self):
        self.self_build_s, self.self_s, results = {}, {}, {}
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            tree = tuple(zet_native.build_tree(*self.tori, LEAF_SIZE))
            self.self_build_s[threads] = best_time(
                timed(_zet_native.build_aabb_tree, *self.tori, LEAF_SIZE, None, 1024), repeats=5)
            args = (tree, 0.0, ABS_TOL, REL_TOL, SIN_TOL, PAIR_BUDGET, WITNESS_LIMIT, CANCEL_INTERVAL, None)
            results[threads] = _zet_native.self_intersection_pairs(*args)
            self.self_s[threads] = best_time(timed(_zet_native.self_intersection_pairs, *args), repeats=5)
        if results[1] != results[2]:
            self.notes.append("ODD: self_intersection_pairs: the 1- and 2-thread results differ")
        status, evaluated, intersecting, undecided, witnesses = results[1]
        pairs = np.frombuffer(witnesses, dtype=np.uint32).reshape(-1, 2)
        self.self_r = {"status": status, "evaluated": evaluated, "intersecting": intersecting,
                       "undecided": undecided, "pairs": pairs, "faces": np.unique(pairs).astype(np.int64)}
        if len(pairs) != min(intersecting + undecided, WITNESS_LIMIT):
            self.notes.append(f"ODD: self_intersection_pairs kept {len(pairs)} witnesses for "
                              f"{intersecting} intersecting and {undecided} undecided pairs")
        progress("ours: self_intersection_pairs done")

    # --- phase 2: peers ---------------------------------------------------------------

    def run_peers(self):
        self.fcl = self._fcl()
        self.pymeshlab = self._peer_self(peers.pymeshlab_self_intersections, repeats=3, label="pymeshlab")
        # Open3D's search takes long on this mesh (it grows with the square of the triangle
        # count): timed once.
        self.open3d = self._peer_self(peers.open3d_self_intersections, repeats=1, label="Open3D")

    def _fcl(self):
        """{(solver label, motion): (seconds, is_collide, t of contact, toc)} or Unavailable."""
        try:
            fcl = peers.FclContinuous(self.sphere, self.torus)
        except peers.Unavailable as exc:
            return exc
        out = {}
        for label, solver, _, _ in peers.FCL_SOLVERS:
            for name, (t_begin, t_end) in MOTIONS.items():
                answers = []

                def run():
                    r = fcl.run(solver, self.velocity, t_begin, t_end)
                    answers.append(r[1:4])
                    return r[0]
                try:
                    seconds = best_time(run, repeats=3, min_total=0.0)
                    out[label, name] = (seconds,) + answers[-1]
                    if len(set(answers)) > 1:
                        self.notes.append(f"ODD peer: {label} {name}: the answer changed between runs: {answers}")
                except Exception as exc:  # a peer that breaks is reported, not fatal
                    out[label, name] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])
            progress(f"peer: {label} done")
        return out

    def _peer_self(self, function, repeats, label):
        """(best seconds, faces) or Unavailable."""
        try:
            best, faces = float("inf"), None
            for _ in range(repeats):
                r = function(*self.tori)
                best, faces = min(best, r[0]), r[1]
            progress(f"peer: {label} self-intersections done")
            return best, np.asarray(faces, dtype=np.int64)
        except peers.Unavailable as exc:
            return exc
        except Exception as exc:
            return peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])

    # --- report -----------------------------------------------------------------------

    def peer_lines(self):
        lines = []
        for label, solver, what, _ in peers.FCL_SOLVERS:
            lines.append(f"peer {label} (python-fcl {peers.version('fcl')}): continuousCollide, "
                         f"ContinuousCollisionRequest(ccd_motion_type=CCDM_TRANS, ccd_solver_type={solver}), "
                         f"other fields default; BVHModel (OBBRSS) built off the clock; {what}; 1 thread; "
                         "best of 3")
        lines.append(f"peer pymeshlab {peers.version('pymeshlab')}: MeshSet filter "
                     "compute_selection_by_self_intersections_per_face, mesh loaded off the clock; best of 3")
        lines.append(f"peer Open3D {peers.version('open3d')}: TriangleMesh.get_self_intersecting_triangles, "
                     "mesh made off the clock; timed once")
        return lines

    def rows(self):
        rows = []
        k = self.kernel
        if "error" in k:
            rows.append(("translating_triangle_ccd (C++)", "random nearby pairs", 1, "n/a", "-", "-", "-"))
            self.unavailable.setdefault(f"C++ kernel benchmark n/a: {k['error']}", None)
        else:
            n = k["pairs"]
            for v in k["variants"]:
                rows.append(("translating_triangle_ccd (C++)", f"{n} random nearby pairs, {v['name']}", 1,
                             rate(n, v["best_pass_seconds"], "evals"), "-", "-", "-"))
                for outcome in ("contact", "separated"):
                    count = round(v[outcome] * n)
                    per_second = v[f"{outcome}_only_per_second"]
                    rows.append(("translating_triangle_ccd (C++)", f"  its {count} {outcome} pairs alone", 1,
                                 rate(per_second, 1.0, "evals") if per_second else "-", "-", "-", "-"))
            for v in k["variants"]:
                rows.append(("translation_triangle_ccd_batch", f"the same {n} pairs, {v['name']}", 1,
                             rate(n, v["batch"]["seconds"], "pairs"), "-", "-", "-"))
        rows.append(None)
        m, o = len(self.sphere[1]), len(self.torus[1])
        for name, (t_begin, t_end) in MOTIONS.items():
            case = f"sphere {m // 1000}k -> torus {o // 1000}k, {name}, t in [{t_begin:g}, {t_end:g}]"
            for threads in THREADS:
                ours = self.path_s[name, threads]
                if isinstance(self.fcl, peers.Unavailable):
                    rows.append(("bvh_path_query", case, threads, duration(ours), "python-fcl", "n/a", "n/a"))
                    self.unavailable.setdefault(f"python-fcl n/a: {self.fcl}", None)
                    continue
                for label, _, _, continuous in peers.FCL_SOLVERS:
                    if not continuous:
                        continue
                    p = self.fcl[label, name]
                    if isinstance(p, peers.Unavailable):
                        rows.append(("bvh_path_query", case, threads, duration(ours), label, "n/a", "n/a"))
                        self.unavailable.setdefault(f"{label} n/a on {name}: {p}", None)
                    else:
                        rows.append(("bvh_path_query", case, threads, duration(ours), label, duration(p[0]),
                                     ratio(ours, p[0])))
        rows.append(None)
        f = len(self.tori[1])
        for what, with_build in (("self_intersection_pairs", False),
                                 (f"build_aabb_tree leaf {LEAF_SIZE} + self_intersection_pairs", True)):
            for threads in THREADS:
                ours = self.self_s[threads] + (self.self_build_s[threads] if with_build else 0.0)
                for label, p in (("pymeshlab", self.pymeshlab), ("Open3D", self.open3d)):
                    if isinstance(p, peers.Unavailable):
                        rows.append((what, f"crossing tori {f // 1000}k", threads, duration(ours), label,
                                     "n/a", "n/a"))
                        self.unavailable.setdefault(f"{label} n/a: {p}", None)
                    else:
                        rows.append((what, f"crossing tori {f // 1000}k", threads, duration(ours), label,
                                     duration(p[0]), ratio(ours, p[0])))
        return rows

    def note_lines(self):
        lines = []
        k = self.kernel
        if "error" not in k:
            lines.append(f"kernel (C++, zet_ccd_kernel_bench, one thread): {k['pairs']} fixed random nearby pairs "
                         f"(corners within 1 of a common centre, the moving triangle's centre shifted by up to 0.5; "
                         f"translating: passing the obstacle halfway along its path), abs_tol {k['abs_tol']:g}, "
                         f"rel_tol {k['rel_tol']:g}, sin_tol {k['sin_tol']:g}; best of {k['passes']} passes over "
                         "the whole set")
            for v in k["variants"]:
                r = v["reasons"]
                b = v["batch"]
                check = ("equal to the C++ results bit for bit" if b["same"]
                         else f"ODD: {b['differing']} results differ from the C++ program's")
                lines.append(f"  {v['name']}: contact {v['contact']:.1%}, separated {v['separated']:.1%}, "
                             f"uncertain {v['uncertain']:.1%} (reasons ok {r[0]}, degenerate {r[1] + r[2]}, "
                             f"no axis {r[3]}, static axis {r[4]}, window {r[5]}, untested axes {r[6]}; "
                             f"skipped axes {v['skipped_axes']}); best pass {v['best_pass_seconds'] * 1e3:.1f} ms, "
                             f"mean {v['mean_pass_seconds'] * 1e3:.1f} ms; "
                             f"translation_triangle_ccd_batch (results built as tuples): {check}")
        lines.append(f"path query: sphere of radius {SPHERE_RADIUS} ({len(self.sphere[1])} triangles) starting at "
                     f"{PATH_START}, velocity {PATH_VELOCITY}, through a wavy torus (major radius 1, tube about 0.3, "
                     f"{len(self.torus[1])} triangles); trees leaf {LEAF_SIZE} built beforehand "
                     f"({self.tree_build_s * 1e3:.0f} ms for both on 1 thread, not in the times); "
                     f"box_tol {BOX_TOL:g}, "
                     f"box_static {BOX_STATIC:g}, abs_tol {ABS_TOL:g}, rel_tol {REL_TOL:g}, sin_tol {SIN_TOL:g}, "
                     "no budget, no cancellation; best of 3")
        lines.append("  ours returns every contact along the whole path; python-fcl's continuous collision stops "
                     "at a first contact; fcl's toc in [0, 1] is mapped to t = t_begin + toc * (t_end - t_begin)")
        for name in MOTIONS:
            s = self.path_r[name]
            lines.append(f"  {name}: status {s['status']}, {s['contacts']} contacts ({s['strict']} strict), "
                         f"{s['uncertain']} uncertain ({s['windows']} with a window), node pairs {s['node_pairs']}, "
                         f"leaf pairs {s['leaf_pairs']}, candidate pairs {s['candidate_pairs']}, "
                         f"chunks {s['chunks']}, max heap {s['max_heap']}; "
                         f"earliest enter {_t(s['earliest_enter'])}, earliest strict enter "
                         f"{_t(s['earliest_strict_enter'])}; 2 threads / 1 thread "
                         f"{self.path_s[name, 1] / self.path_s[name, 2]:.2f}x")
            if isinstance(self.fcl, peers.Unavailable):
                continue
            for label, _, _, _ in peers.FCL_SOLVERS:
                p = self.fcl[label, name]
                if isinstance(p, peers.Unavailable):
                    continue
                seconds, collide, t, toc = p
                diff = (f", t - our earliest enter = {t - s['earliest_enter']:+.3g}"
                        if collide and s["earliest_enter"] is not None else "")
                missed = ("; ODD peer: reports no collision although ours finds contacts"
                          if not collide and s["contacts"] else "")
                lines.append(f"    {label}: {duration(seconds)}, is_collide {collide}, toc {toc:.9g} -> t {t:.9g}"
                             f"{diff}{missed}")
        r = self.self_r
        f = len(self.tori[1])
        lines.append(f"self-intersections: two wavy tori of {f // 2} triangles each, the second tilted by 30 degrees "
                     f"and shifted, merged into one mesh of {f} triangles; epsilon 0, witness_limit {WITNESS_LIMIT} "
                     f"(all kept); ours: status {r['status']}, evaluated {r['evaluated']}, intersecting "
                     f"{r['intersecting']}, undecided {r['undecided']}, {len(r['faces'])} faces in the witness "
                     "pairs; "
                     f"tree build {self.self_build_s[1] * 1e3:.1f} ms on 1 thread, "
                     f"{self.self_build_s[2] * 1e3:.1f} ms on 2; best of 5 "
                     "(self_intersection_pairs itself runs on the calling thread only)")
        for label, p in (("pymeshlab", self.pymeshlab), ("Open3D", self.open3d)):
            if isinstance(p, peers.Unavailable):
                continue
            faces = p[1]
            only_ours = np.setdiff1d(r["faces"], faces)
            only_theirs = np.setdiff1d(faces, r["faces"])
            lines.append(f"  {label}: {len(faces)} faces; symmetric difference with ours "
                         f"{len(only_ours) + len(only_theirs)} "
                         f"({len(only_ours)} only ours, {len(only_theirs)} only {label})"
                         + ("" if len(only_ours) + len(only_theirs) == 0 else
                            f"; first few only ours {only_ours[:5].tolist()}, "
                            f"only {label} {only_theirs[:5].tolist()}"))
        lines.extend(self.unavailable)
        lines.extend(self.notes)
        return lines

    def bars(self):
        out = []
        k = self.kernel
        if "error" in k:
            out.append("  kernel >= 5 M evaluations/s on 1 thread: n/a (C++ benchmark unavailable)")
        else:
            v = next(v for v in k["variants"] if v["name"] == "translating")
            e = v["evaluations_per_second"]
            out.append(f"  kernel >= 5 M evaluations/s on 1 thread (translating set): {e / 1e6:.2f} M/s, "
                       f"{verdict(e >= KERNEL_BAR)}")
        if isinstance(self.fcl, peers.Unavailable):
            out.append(f"  path query >= {FCL_BAR:g}x python-fcl: n/a (python-fcl unavailable)")
        else:
            for label, _, _, continuous in peers.FCL_SOLVERS:
                if not continuous:
                    continue
                for name in MOTIONS:
                    p = self.fcl[label, name]
                    if isinstance(p, peers.Unavailable):
                        out.append(f"  path query >= {FCL_BAR:g}x {label}, {name}: n/a")
                        continue
                    r1, r2 = p[0] / self.path_s[name, 1], p[0] / self.path_s[name, 2]
                    out.append(f"  path query >= {FCL_BAR:g}x {label}, {name}: {r1:.2f}x on 1 thread, "
                               f"{r2:.2f}x on 2, {verdict(r1 >= FCL_BAR)}")
        s = self.path_r[MANY_LEAF_PAIRS]
        r = self.path_s[MANY_LEAF_PAIRS, 1] / self.path_s[MANY_LEAF_PAIRS, 2]
        out.append(f"  path query 2 threads >= {THREAD_BAR:g}x 1 thread ({MANY_LEAF_PAIRS}, {s['leaf_pairs']} leaf "
                   f"pairs): {r:.2f}x, {verdict(r >= THREAD_BAR)}")
        for label, p in (("pymeshlab", self.pymeshlab), ("Open3D", self.open3d)):
            if isinstance(p, peers.Unavailable):
                out.append(f"  self-intersections faster than {label}: n/a ({label} unavailable)")
                continue
            with_build = p[0] / (self.self_s[1] + self.self_build_s[1])
            alone = p[0] / self.self_s[1]
            out.append(f"  self-intersections faster than {label} (1 thread): {with_build:.2f}x with the tree build, "
                       f"{alone:.2f}x without, {verdict(with_build > 1)}")
        return out


def _summary(result):
    """The counters of one bvh_path_query result and its earliest contact."""
    status, pairs_used, uncertain, contacts, windows, node_pairs, leaf_pairs, candidates, chunks, max_heap = result
    c = np.frombuffer(contacts, dtype=zet_native.CONTACT_DTYPE)
    strict = c[c["strict"] == 1.0]
    return {"status": status, "pairs_used": pairs_used, "uncertain": uncertain, "contacts": len(c),
            "strict": len(strict), "windows": len(windows) // zet_native.UNCERTAIN_WINDOW_DTYPE.itemsize,
            "node_pairs": node_pairs, "leaf_pairs": leaf_pairs, "candidate_pairs": candidates, "chunks": chunks,
            "max_heap": max_heap,
            "earliest_enter": float(c["enter"].min()) if len(c) else None,
            "earliest_strict_enter": float(strict["strict_enter"].min()) if len(strict) else None}


def _t(value):
    return "none" if value is None else f"{value:.9g}"
