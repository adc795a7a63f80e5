"""Rays and winding: ray_tree_hits, direction_ray_scores, ray_winding_batch.

- ray_tree_hits: vertex rays along one common direction, a tenth of the mesh's size long,
  through one triangle tree: a wavy torus of 100,000 triangles with rays from its own
  50,000 vertices, the same torus with rays from the 100,000 vertices of a finer torus
  (200,000 triangles) that crosses it, and the OBJ meshes (when present) with rays from
  their own vertices. Against Open3D's RaycastingScene.list_intersections and embreex's
  Embree intersect (run again past each hit) on the same rays; the hits are compared.
- direction_ray_scores: 1000 directions spread over the sphere, a geodesic sphere of
  20,480 triangles as the moving mesh and three wavy tori around it as obstacles, on 1 and
  2 threads (no peer computes these scores).
- ray_winding_batch: 1,000,000 random points in the box of each closed shared mesh
  (rocker-arm, spot, fandisk; generated closed meshes when they are absent), on 1 and 2
  threads, against trimesh's contains, Open3D's compute_occupancy and libigl's fast winding
  number on the same points; the inside/outside answers are compared.
"""

import resource
import time

import meshes
import numpy as np
import peers
from common import best_time, cpu_snapshot, duration, others_note, progress, rate, ratio, timed, verdict

import _zet_native
import zet_native

THREADS = (1, 2)
LEAF_SIZE = 4
CANCEL_INTERVAL = 4096

# ray_tree_hits: one common direction, oblique to the axes; the length and epsilon are
# fractions of the target mesh's box diagonal.
RAY_DIRECTION = np.array([0.48, 0.36, 0.8]) / np.linalg.norm([0.48, 0.36, 0.8])
RAY_LENGTH_FRACTION = 0.1
RAY_EPSILON_FRACTION = 1e-6
RAY_TORUS = (250, 200)  # 100,000 triangles, 50,000 vertices
CROSSING_TORUS = (500, 200)  # 200,000 triangles, 100,000 vertices
CROSSING_PLACE = ("x", 30.0, (0.9, 0.05, 0.02))  # tilt and shift of the crossing torus
RAY_BAR = 2e6

# direction_ray_scores: a sphere of radius 0.5 at the origin among three tori of 10,000
# triangles each (tube about 0.18, ring radius 0.6), one of them cutting into the sphere.
SCORE_DIRECTIONS = 1000
SCORE_LENGTH = 1.0
SCORE_SPHERE = (32, 0.5)  # frequency, radius: 20 * 32**2 = 20,480 triangles
SCORE_OBSTACLES = (  # (nu, nv), scale, rotation axis, degrees, shift
    ((100, 50), 0.6, "x", 0.0, (1.2, 0.0, 0.0)),
    ((100, 50), 0.6, "y", 60.0, (-0.7, 1.1, 0.2)),
    ((100, 50), 0.6, "z", 30.0, (-0.4, -0.9, -0.7)),
)
SCORE_EPSILON = 1e-9  # the companion's default ray epsilon of a ray mesh
SCORE_ROUNDS = 3
THREAD_BAR = 1.7

# ray_winding_batch
WINDING_MESHES = ("rocker-arm", "spot", "fandisk")
WINDING_GENERATED = {"sphere-20k": ("icosphere", 32), "torus-20k": ("torus", (100, 100))}
WINDING_POINTS = 1_000_000
WINDING_DIRECTION = np.array([0.3, 0.5, 0.81]) / np.linalg.norm([0.3, 0.5, 0.81])
WINDING_EPSILON, ORIGIN_TOLERANCE = 1e-12, 1e-12  # the companion's defaults
WINDING_ROUNDS = 3
PEER_SUBSET = 200_000  # trimesh (Embree engine) and libigl run on the first this many points
SLOW_SUBSET = 2_000  # trimesh's rtree engine (when embreex is missing) on this many


def _cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def _alternate(function, args, rounds):
    """Best wall time per thread count, cores kept busy on average, and the set of results.
    1 and 2 threads alternate, so that a passing load on the machine weighs on both."""
    best = {threads: float("inf") for threads in THREADS}
    busy = {threads: [0.0, 0.0] for threads in THREADS}  # CPU and wall seconds of our runs
    results = set()
    for _ in range(rounds):
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            cpu, start = _cpu(), time.perf_counter()
            result = function(*args)
            wall = time.perf_counter() - start
            best[threads] = min(best[threads], wall)
            busy[threads][0] += _cpu() - cpu
            busy[threads][1] += wall
            results.add(tuple(result))
            del result
    return best, {threads: c / w for threads, (c, w) in busy.items()}, results


def _per_second(count, seconds, unit):
    """A rate below a thousand per second in whole units, else as common.rate."""
    value = count / seconds
    return f"{value:.0f} {unit}/s" if value < 1e3 else rate(count, seconds, unit)


def _keys(rays, triangles, m):
    return np.asarray(rays, dtype=np.int64) * m + np.asarray(triangles, dtype=np.int64)


class Rays:
    """One section of the benchmark: prepare, ours, peers, then rows, notes and bars."""

    def __init__(self):
        self.notes = []
        self.unavailable = {}

    # --- inputs -----------------------------------------------------------------------

    def prepare(self):
        self.ray_cases = []
        torus = meshes.wavy_torus(*RAY_TORUS)
        self._ray_case(f"torus-100k, its {len(torus[0]) // 1000}k vertices", torus, torus[0], own=True,
                       short="torus-100k own vertices")
        fine_v, _ = meshes.wavy_torus(*CROSSING_TORUS)
        axis, degrees, shift = CROSSING_PLACE
        crossing = np.ascontiguousarray(meshes.rotated(fine_v, axis, degrees) + np.array(shift))
        self._ray_case(f"torus-100k, {len(crossing) // 1000}k vertices of a crossing torus", torus, crossing,
                       own=False, short="torus-100k crossing torus")
        obj = {}
        for name, path in meshes.obj_meshes():
            try:
                obj[name] = meshes.read_obj(path)
            except Exception as exc:
                self.notes.append(f"skipped {path.name}: {exc}")
        for name, mesh in obj.items():
            self._ray_case(f"{name}, its {len(mesh[0])} vertices", mesh, mesh[0], own=True, short=name)

        sphere = meshes.icosphere(*SCORE_SPHERE)
        self.score_moving_mesh = sphere
        self.score_obstacle_meshes = []
        for (nu, nv), scale, axis, degrees, shift in SCORE_OBSTACLES:
            v, t = meshes.wavy_torus(nu, nv)
            v = np.ascontiguousarray(meshes.rotated(v * scale, axis, degrees) + np.array(shift))
            self.score_obstacle_meshes.append((v, t))
        self.score_directions = meshes.sphere_directions(SCORE_DIRECTIONS)

        self.winding_cases = {}
        for name in WINDING_MESHES:
            if name in obj:
                self.winding_cases[name] = {"mesh": obj[name]}
        if not self.winding_cases:
            self.notes.append(f"none of {', '.join(WINDING_MESHES)} at {meshes.MESH_DIR}: ray_winding_batch on "
                              "generated closed meshes")
            for name, (kind, size) in WINDING_GENERATED.items():
                mesh = meshes.icosphere(size) if kind == "icosphere" else meshes.wavy_torus(*size)
                self.winding_cases[name] = {"mesh": mesh}
        for seed, case in enumerate(self.winding_cases.values()):
            case["points"] = meshes.box_points(case["mesh"][0], WINDING_POINTS, seed=20240621 + seed)
        progress("ray inputs ready: "
                 + ", ".join(f"{c['name']} ({len(c['triangles'])} triangles, {len(c['origins'])} rays)"
                             for c in self.ray_cases)
                 + f"; scores: sphere ({len(sphere[1])} triangles) and {len(self.score_obstacle_meshes)} tori; "
                 + "winding: " + ", ".join(f"{k} ({len(c['mesh'][1])} triangles)"
                                           for k, c in self.winding_cases.items()))

    def _ray_case(self, name, mesh, origins, own, short):
        vertices, triangles = mesh
        size = float(np.linalg.norm(vertices.max(axis=0) - vertices.min(axis=0)))
        self.ray_cases.append({"name": name, "short": short, "vertices": vertices, "triangles": triangles,
                               "origins": np.ascontiguousarray(origins, dtype=np.float64), "own": own,
                               "size": size, "length": RAY_LENGTH_FRACTION * size,
                               "epsilon": RAY_EPSILON_FRACTION * size})

    # --- phase 1: ours ----------------------------------------------------------------

    def run_ours(self):
        self._ours_ray_hits()
        self._ours_scores()
        self._ours_winding()

    def _ours_ray_hits(self):
        _zet_native.set_thread_limit(1)  # for the tree builds; ray_tree_hits uses the calling thread only
        for case in self.ray_cases:
            start = time.perf_counter()
            tree = zet_native.build_tree(case["vertices"], case["triangles"], LEAF_SIZE)
            case["tree_s"] = time.perf_counter() - start
            usable = np.ones(len(case["triangles"]), dtype=np.uint8)
            args = (case["origins"], RAY_DIRECTION, case["length"], case["epsilon"], tree.node_min, tree.node_max,
                    tree.node_meta, tree.order, case["vertices"], case["triangles"], usable, CANCEL_INTERVAL, None)
            cancelled, rays, tris, depths = _zet_native.ray_tree_hits(*args)
            case["ours"] = {"rays": np.frombuffer(rays, dtype=np.int64), "triangles": np.frombuffer(tris, dtype=np.int64),
                            "depths": np.frombuffer(depths, dtype=np.float64)}
            case["seconds"] = best_time(timed(_zet_native.ray_tree_hits, *args), repeats=5)
            o = case["ours"]
            if cancelled:
                self.notes.append(f"ODD: ray_tree_hits {case['name']}: cancelled without should_cancel")
            if len(o["rays"]) and np.any(np.diff(o["rays"]) < 0):
                self.notes.append(f"ODD: ray_tree_hits {case['name']}: hits not in ray order")
            outside = (o["depths"] <= case["epsilon"]) | (o["depths"] > case["epsilon"] + case["length"])
            if outside.any():
                self.notes.append(f"ODD: ray_tree_hits {case['name']}: {int(outside.sum())} depths outside "
                                  "(epsilon, epsilon + length]")
            progress(f"ours: ray_tree_hits {case['name']} done")

    def _ours_scores(self):
        _zet_native.set_thread_limit(1)
        start = time.perf_counter()
        self.score_moving = zet_native.ray_mesh(zet_native.build_tree(*self.score_moving_mesh, LEAF_SIZE),
                                                epsilon=SCORE_EPSILON)
        self.score_obstacles = tuple(zet_native.ray_mesh(zet_native.build_tree(v, t, LEAF_SIZE),
                                                         epsilon=SCORE_EPSILON)
                                     for v, t in self.score_obstacle_meshes)
        self.score_tree_s = time.perf_counter() - start
        args = (self.score_directions, SCORE_LENGTH, self.score_moving, self.score_obstacles)
        before = cpu_snapshot()
        self.score_s, self.score_cores, results = _alternate(_zet_native.direction_ray_scores, args, SCORE_ROUNDS)
        self.score_load = others_note(before, cpu_snapshot(), "during these runs")
        self.score_same = len(results) == 1
        counts, scores = next(iter(results))
        self.score_counts = np.frombuffer(counts, dtype=np.int64)
        self.score_values = np.frombuffer(scores, dtype=np.float64)
        if not self.score_same:
            self.notes.append(f"ODD: direction_ray_scores: {len(results)} different results over the runs on 1 and 2 "
                              "threads (counts and scores must be the same bits on every thread count)")
        progress("ours: direction_ray_scores done")

    def _ours_winding(self):
        before = cpu_snapshot()
        for name, case in self.winding_cases.items():
            _zet_native.set_thread_limit(1)
            start = time.perf_counter()
            winding_tree = zet_native.winding_tree(zet_native.build_tree(*case["mesh"], LEAF_SIZE))
            case["tree_s"] = time.perf_counter() - start
            args = (case["points"], WINDING_DIRECTION, *winding_tree, WINDING_EPSILON, ORIGIN_TOLERANCE)
            case["seconds"], case["cores"], results = _alternate(_zet_native.ray_winding_batch, args, WINDING_ROUNDS)
            case["same"] = len(results) == 1
            crossings, ambiguous = next(iter(results))
            del results
            case["crossings"] = np.frombuffer(crossings, dtype=np.int64)
            case["ambiguous"] = np.frombuffer(ambiguous, dtype=np.uint8).astype(bool)
            if not case["same"]:
                self.notes.append(f"ODD: ray_winding_batch {name}: the results differ between runs on 1 and 2 threads")
            progress(f"ours: ray_winding_batch {name} done")
        self.winding_load = others_note(before, cpu_snapshot(), "during these runs")

    # --- phase 2: peers ---------------------------------------------------------------

    def run_peers(self):
        for case in self.ray_cases:
            case["open3d"] = self._peer_rays_open3d(case)
            case["embreex"] = self._peer_rays_embreex(case)
            progress(f"peer: ray hits {case['name']} done")
        for name, case in self.winding_cases.items():
            case["open3d"] = self._peer_occupancy(case)
            case["trimesh"] = self._peer_contains(case)
            case["igl"] = self._peer_igl(case)
            progress(f"peer: winding {name} done")

    @staticmethod
    def _guard(function):
        try:
            return function()
        except peers.Unavailable as exc:
            return exc
        except Exception as exc:  # a peer that breaks is reported, not fatal
            return peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])

    def _peer_rays_open3d(self, case):
        def run():
            scene = peers.Open3DScene(case["vertices"], case["triangles"])
            rays = scene.rays(case["origins"], RAY_DIRECTION, case["epsilon"])
            out = {}
            for threads in (1, 0):
                best = None
                for _ in range(3):
                    r = scene.list_hits(rays, case["length"], case["epsilon"], threads)
                    if best is None or r[0] < best[0]:
                        best = r
                out[threads] = {"seconds": best[0], "cores": best[1] / best[0], "found": best[2]}
            out["compare"] = self._compare(case, *best[3:])
            return out
        return self._guard(run)

    def _peer_rays_embreex(self, case):
        def run():
            embree = peers.EmbreexRays(case["vertices"], case["triangles"])
            best = None
            for _ in range(3):
                r = embree.hits(case["origins"], RAY_DIRECTION, case["length"], case["epsilon"])
                if best is None or r[0] < best[0]:
                    best = r
            return {"seconds": best[0], "cores": best[1] / best[0], "passes": best[2],
                    "compare": self._compare(case, *best[3:])}
        return self._guard(run)

    @staticmethod
    def _compare(case, rays, tris, depths):
        """The peer's hits against ours, as (ray, triangle) pairs."""
        m = len(case["triangles"])
        own = np.zeros(len(rays), dtype=bool)
        if case["own"]:
            # Hits at a triangle of the ray's own origin vertex (float32 rounding of the
            # shifted origin): ours never reports them, its test keeps t > epsilon exactly.
            own = (case["triangles"][tris] == rays[:, None]).any(axis=1)
        rays, tris, depths = rays[~own], tris[~own], depths[~own]
        ours = case["ours"]
        a = _keys(ours["rays"], ours["triangles"], m)
        b = _keys(rays, tris, m)
        ua, ia = np.unique(a, return_index=True)
        ub, ib = np.unique(b, return_index=True)
        common, ca, cb = np.intersect1d(ua, ub, assume_unique=True, return_indices=True)
        tolerance = 1e-6 * case["size"]

        def explained(keys, depth_of, other_rays, other_depths):
            """How many of the pairs found by one side only have, on the same ray, a hit of
            the other side on another triangle at the same depth (a crossing at a shared edge
            or vertex given to a neighbouring triangle); at most 10,000 pairs are looked at."""
            order = np.lexsort((other_depths, other_rays))
            r_sorted, d_sorted = other_rays[order], other_depths[order]
            count = 0
            for key in keys[:10000].tolist():
                lo, hi = np.searchsorted(r_sorted, [key // m, key // m + 1])
                if lo < hi and np.min(np.abs(d_sorted[lo:hi] - depth_of[key])) <= tolerance:
                    count += 1
            return count
        depth_a = dict(zip(a.tolist(), ours["depths"].tolist()))
        depth_b = dict(zip(b.tolist(), depths.tolist()))
        only_ours = np.setdiff1d(ua, ub, assume_unique=True)
        only_peer = np.setdiff1d(ub, ua, assume_unique=True)
        rays_ours = np.bincount(ua // m, minlength=len(case["origins"]))
        rays_peer = np.bincount(ub // m, minlength=len(case["origins"]))
        return {
            "peer_hits": int(len(own)), "own": int(own.sum()), "ours": int(len(a)),
            "repeated_ours": int(len(a) - len(ua)), "repeated_peer": int(len(b) - len(ub)),
            "common": int(len(common)), "only_ours": int(len(only_ours)), "only_peer": int(len(only_peer)),
            "only_ours_edge": explained(only_ours, depth_a, rays, depths),
            "only_peer_edge": explained(only_peer, depth_b, ours["rays"], ours["depths"]),
            "largest_depth_difference": float(np.max(np.abs(ours["depths"][ia][ca] - depths[ib][cb])))
            if len(common) else 0.0,
            "rays_differing": int(np.count_nonzero(rays_ours != rays_peer)),
        }

    def _peer_occupancy(self, case):
        def run():
            scene = peers.Open3DScene(*case["mesh"])
            points = scene.points(case["points"])
            out = {}
            for threads in (1, 0):
                best = None
                for _ in range(3):
                    r = scene.occupancy(points, threads)
                    if best is None or r[0] < best[0]:
                        best = r
                out[threads] = {"seconds": best[0], "cores": best[1] / best[0]}
            out["compare"] = self._disagree(case, best[2], len(case["points"]))
            return out
        return self._guard(run)

    def _peer_contains(self, case):
        def run():
            peer = peers.TrimeshContains(*case["mesh"])
            slow = "embree" not in peer.engine
            n = min(SLOW_SUBSET if slow else PEER_SUBSET, len(case["points"]))
            best = None
            for _ in range(1 if slow else 3):
                r = peer.contains(case["points"][:n])
                if best is None or r[0] < best[0]:
                    best = r
            return {"seconds": best[0] * len(case["points"]) / n, "measured": best[0], "run": n,
                    "cores": best[1] / best[0], "engine": peer.engine, "compare": self._disagree(case, best[2], n)}
        return self._guard(run)

    def _peer_igl(self, case):
        def run():
            name, function = peers.igl_winding(*case["mesh"])
            n = min(PEER_SUBSET, len(case["points"]))
            best = None
            for _ in range(3):
                r = function(case["points"][:n])
                if best is None or r[0] < best[0]:
                    best = r
            return {"seconds": best[0] * len(case["points"]) / n, "measured": best[0], "run": n,
                    "cores": best[1] / best[0], "function": name, "compare": self._disagree(case, best[2], n)}
        return self._guard(run)

    @staticmethod
    def _disagree(case, inside, n):
        """How often the peer's inside/outside differs from ours (crossings not 0) on our
        non-ambiguous points among the first n."""
        clear = ~case["ambiguous"][:n]
        ours = case["crossings"][:n] != 0
        differ = (ours != inside) & clear
        return {"points": n, "clear": int(clear.sum()), "differ": int(differ.sum()),
                "peer_inside_ours_outside": int((differ & inside).sum()),
                "ours_inside_peer_outside": int((differ & ours).sum()),
                "ambiguous_peer_inside": int((inside & ~clear).sum())}

    # --- report -----------------------------------------------------------------------

    def peer_lines(self):
        return [
            f"peer Open3D {peers.version('open3d')} (ray hits): RaycastingScene.list_intersections (Embree, float32) "
            "on the same rays, each origin moved epsilon along the direction first; it has no maximum distance, "
            "so it follows each ray through the whole mesh, and its hits with t <= length are compared; scene "
            "built off the clock; nthreads 1 in the table (all threads in the notes); best of 3",
            f"peer embreex {peers.version('embreex')} (ray hits): EmbreeScene.run with query 'INTERSECT' (Embree's "
            "nearest hit, float32, one thread) with dists = the rest of each ray's length; it has no mode that "
            "lists every hit, so the rays that hit are run again from epsilon past their hit until none hits "
            "(the passes and the numpy work between them are on the clock); scene built off the clock; best of 3",
            f"peer Open3D {peers.version('open3d')} (winding): RaycastingScene.compute_occupancy (nsamples 1, "
            f"float32) on the same {WINDING_POINTS} points; nthreads 1 on the 1-thread rows, 0 (all) on the "
            "2-thread rows; best of 3",
            f"peer trimesh {peers.version('trimesh')} (winding): Trimesh.contains with the ray engine trimesh picks "
            f"(named in the notes); mesh and ray scene made off the clock; on the first {PEER_SUBSET} points "
            f"(first {SLOW_SUBSET} if its engine is not Embree), time scaled to all points; best of 3; 1 thread",
            f"peer libigl {peers.version('igl')} (winding): fast_winding_number of the triangle soup (V, F, Q), "
            f"inside when above 0.5, IGL_NUM_THREADS=1; on the first {PEER_SUBSET} points, time scaled to all "
            "points; best of 3",
        ]

    def rows(self):
        rows = []
        for case in self.ray_cases:
            n = len(case["origins"])
            ours = rate(n, case["seconds"], "rays")
            for label, key, get in (("Open3D list_intersections", "open3d", lambda p: p[1]["seconds"]),
                                    ("embreex intersect passes", "embreex", lambda p: p["seconds"])):
                p = case[key]
                if isinstance(p, peers.Unavailable):
                    rows.append(("ray_tree_hits", case["name"], 1, ours, label, "n/a", "n/a"))
                    self.unavailable.setdefault(f"{label} n/a: {p}", None)
                else:
                    rows.append(("ray_tree_hits", case["name"], 1, ours, label, rate(n, get(p), "rays"),
                                 ratio(case["seconds"], get(p))))
        rows.append(None)
        q = len(self.score_directions)
        case = (f"{q} directions, moving {len(self.score_moving_mesh[1])} tri, "
                f"{len(self.score_obstacle_meshes)} obstacles")
        s1, s2 = self.score_s[1], self.score_s[2]
        rows.append(("direction_ray_scores", case, 1, _per_second(q, s1, "dirs"), "-", "-", "-"))
        rows.append(("direction_ray_scores", case, 2, _per_second(q, s2, "dirs"), "ours on 1 thread",
                     _per_second(q, s1, "dirs"), ratio(s2, s1)))
        rows.append(None)
        for name, case in self.winding_cases.items():
            n = len(case["points"])
            label = f"{name}, {n // 1000}k points"
            for threads in THREADS:
                ours_s = case["seconds"][threads]
                ours = rate(n, ours_s, "pts")
                peer_rows = [("Open3D compute_occupancy" + ("" if threads == 1 else " (all threads)"), "open3d",
                              lambda p, t=threads: p[1 if t == 1 else 0]["seconds"])]
                if threads == 1:
                    peer_rows += [("trimesh contains (scaled)", "trimesh", lambda p: p["seconds"]),
                                  ("libigl fast winding (scaled)", "igl", lambda p: p["seconds"])]
                for peer_label, key, get in peer_rows:
                    p = case[key]
                    if isinstance(p, peers.Unavailable):
                        rows.append(("ray_winding_batch", label, threads, ours, peer_label, "n/a", "n/a"))
                        self.unavailable.setdefault(f"{peer_label} n/a: {p}", None)
                    else:
                        rows.append(("ray_winding_batch", label, threads, ours, peer_label,
                                     rate(n, get(p), "pts"), ratio(ours_s, get(p))))
        return rows

    def note_lines(self):
        lines = []
        d = ", ".join(f"{x:.6f}" for x in RAY_DIRECTION)
        lines.append(f"ray_tree_hits: direction ({d}), length {RAY_LENGTH_FRACTION:g} x and epsilon "
                     f"{RAY_EPSILON_FRACTION:g} x the target mesh's box diagonal, every triangle usable, trees leaf "
                     f"{LEAF_SIZE} built beforehand (not in the times), cancel interval {CANCEL_INTERVAL} without "
                     "should_cancel; best of 5; a hit counts at depth t in (epsilon, epsilon + length] from its "
                     "origin, so a vertex's own triangles (at t = 0) never count; the crossing torus is tilted "
                     f"{CROSSING_PLACE[1]:g} degrees about {CROSSING_PLACE[0]} and shifted by {CROSSING_PLACE[2]}; "
                     "ray_tree_hits runs on the calling thread only")
        for case in self.ray_cases:
            o, n, s = case["ours"], len(case["origins"]), case["seconds"]
            lines.append(f"  {case['name']} ({len(case['triangles'])} triangles, length {case['length']:.4g}, "
                         f"epsilon {case['epsilon']:.3g}): ours {duration(s)}, {rate(n, s, 'rays')}, "
                         f"{len(o['rays'])} hits ({rate(len(o['rays']), s, 'hits')}), "
                         f"{int(np.count_nonzero(np.bincount(o['rays'], minlength=n)))} rays with a hit; tree "
                         f"{duration(case['tree_s'])}")
            for label, key in (("Open3D", "open3d"), ("embreex", "embreex")):
                p = case[key]
                if isinstance(p, peers.Unavailable):
                    continue
                if key == "open3d":
                    head = (f"    Open3D {duration(p[1]['seconds'])} on nthreads 1 ({p[1]['cores']:.2f} cores busy), "
                            f"{duration(p[0]['seconds'])} on all threads ({p[0]['cores']:.2f} cores busy); "
                            f"{p[1]['found']} hits along the whole rays")
                else:
                    head = (f"    embreex {duration(p['seconds'])} ({p['cores']:.2f} cores busy), {p['passes']} "
                            "passes")
                c = p["compare"]
                own = (f", of which {c['own']} at the origin vertex's own triangles (float32 rounding of the shifted "
                       "origin; set aside)") if case["own"] else ""
                repeated = (f", {c['repeated_peer']} hits repeated (the same triangle met again just past its hit, "
                            "counted once)") if c["repeated_peer"] else ""
                lines.append(f"{head}; {c['peer_hits']} hits within the length{own}{repeated}; against ours: "
                             f"{c['common']} (ray, triangle) pairs in both, {c['only_ours']} only ours "
                             f"({c['only_ours_edge']} where {label} has a hit on another triangle at the same depth, "
                             f"a shared edge or vertex), {c['only_peer']} only {label} ({c['only_peer_edge']} where "
                             f"ours has one), {c['rays_differing']} rays with a different hit count, largest depth "
                             f"difference on common pairs {c['largest_depth_difference']:.2g}"
                             + (f", ODD: {c['repeated_ours']} repeated pairs in ours" if c["repeated_ours"] else ""))
        counts = np.bincount(self.score_counts, minlength=len(self.score_obstacles) + 1)
        lines.append(f"direction_ray_scores: {len(self.score_directions)} directions on a Fibonacci sphere, length "
                     f"{SCORE_LENGTH:g}; moving: a geodesic sphere of radius {SCORE_SPHERE[1]} "
                     f"({len(self.score_moving_mesh[1])} triangles, {len(self.score_moving_mesh[0])} ray origins); "
                     f"obstacles: {len(self.score_obstacle_meshes)} wavy tori of "
                     f"{', '.join(str(len(t)) for _, t in self.score_obstacle_meshes)} triangles (all vertices as "
                     f"origins) around it, one cutting into it; ray epsilon {SCORE_EPSILON:g}; trees and ray meshes "
                     f"made beforehand ({duration(self.score_tree_s)}); 1 and 2 threads alternate, best of "
                     f"{SCORE_ROUNDS} each: {duration(self.score_s[1])} and {duration(self.score_s[2])} "
                     f"({self.score_s[1] / self.score_s[2]:.2f}x; our process kept {self.score_cores[1]:.2f} and "
                     f"{self.score_cores[2]:.2f} cores busy on average); results "
                     + ("the same bits on every run" if self.score_same else "DIFFER between runs")
                     + f"; directions by obstacle count {', '.join(f'{k}: {int(v)}' for k, v in enumerate(counts))}; "
                     f"scores {self.score_values.min():.4g} to {self.score_values.max():.4g}, sum "
                     f"{self.score_values.sum():.6g}")
        lines.append(f"  {self.score_load}")
        dw = ", ".join(f"{x:.6f}" for x in WINDING_DIRECTION)
        lines.append(f"ray_winding_batch: {WINDING_POINTS} points uniform in each mesh's box grown by 5% on every "
                     f"side, direction ({dw}), epsilon {WINDING_EPSILON:g}, origin_tolerance {ORIGIN_TOLERANCE:g}; "
                     f"winding tree from build_tree leaf {LEAF_SIZE} by winding_tree, made beforehand (not in the "
                     f"times); 1 and 2 threads alternate, best of {WINDING_ROUNDS} each; inside = crossings not 0; "
                     "disagreements counted on the points ours does not call ambiguous")
        for name, case in self.winding_cases.items():
            values, counts = np.unique(case["crossings"], return_counts=True)
            histogram = ", ".join(f"{int(v)}: {int(c)}" for v, c in zip(values, counts))
            s1, s2 = case["seconds"][1], case["seconds"][2]
            lines.append(f"  {name} ({len(case['mesh'][1])} triangles): ours {duration(s1)} on 1 thread, "
                         f"{duration(s2)} on 2 ({s1 / s2:.2f}x; {case['cores'][1]:.2f} and {case['cores'][2]:.2f} "
                         "cores busy), results "
                         + ("the same on every run" if case["same"] else "DIFFER between runs")
                         + f"; crossings {histogram}; {int(case['ambiguous'].sum())} ambiguous; tree "
                         f"{duration(case['tree_s'])}")
            for label, key in (("Open3D", "open3d"), ("trimesh", "trimesh"), ("libigl", "igl")):
                p = case[key]
                if isinstance(p, peers.Unavailable):
                    continue
                c = p["compare"]
                if key == "open3d":
                    head = (f"    Open3D {duration(p[1]['seconds'])} on nthreads 1 ({p[1]['cores']:.2f} cores busy), "
                            f"{duration(p[0]['seconds'])} on all ({p[0]['cores']:.2f} cores busy)")
                else:
                    what = f"engine {p['engine']}" if key == "trimesh" else f"igl.{p['function']}"
                    head = (f"    {label} ({what}) {duration(p['measured'])} for {p['run']} points "
                            f"({p['cores']:.2f} cores busy), scaled {duration(p['seconds'])}")
                lines.append(f"{head}; inside/outside differs from ours on {c['differ']} of {c['clear']} "
                             f"non-ambiguous points ({c['peer_inside_ours_outside']} inside only for {label}, "
                             f"{c['ours_inside_peer_outside']} inside only for ours); {label} calls "
                             f"{c['ambiguous_peer_inside']} of our ambiguous points inside")
        lines.append(f"  {self.winding_load}")
        lines.extend(self.unavailable)
        lines.extend(self.notes)
        return lines

    def bars(self):
        out = []
        rates = [(len(c["origins"]) / c["seconds"], c["short"]) for c in self.ray_cases]
        low = min(rates)
        out.append("  ray_tree_hits >= 2 M rays/s on 1 thread (rays a tenth of the mesh's size): "
                   + ", ".join(f"{r / 1e6:.2f} M/s {name}" for r, name in rates[:2])
                   + f"; lowest over all {len(rates)} cases {low[0] / 1e6:.2f} M/s ({low[1]}), "
                   + verdict(low[0] >= RAY_BAR))
        for label, key, get in (("embreex (Embree)", "embreex", lambda p: p["seconds"]),
                                ("Open3D list_intersections", "open3d", lambda p: p[1]["seconds"])):
            figures = [f"{get(c[key]) / c['seconds']:.2f}x {c['short']}" for c in self.ray_cases
                       if not isinstance(c[key], peers.Unavailable)]
            out.append(f"  ray_tree_hits against {label} on 1 thread: "
                       + (", ".join(figures) if figures else "n/a") + " (no bar)")
        s = self.score_s[1] / self.score_s[2]
        out.append(f"  direction_ray_scores 2 threads >= 1.7x 1 thread: {s:.2f}x, {verdict(s >= THREAD_BAR)} "
                   f"({self.score_load.split(' (')[0].replace('other processes used', 'others used')})")
        for label, key, get in (("trimesh contains", "trimesh", lambda p: p["seconds"]),
                                ("Open3D compute_occupancy", "open3d", lambda p: p[1]["seconds"])):
            figures, ratios = [], []
            for name, case in self.winding_cases.items():
                p = case[key]
                if isinstance(p, peers.Unavailable):
                    figures.append(f"n/a {name}")
                    continue
                ratios.append(get(p) / case["seconds"][1])
                figures.append(f"{ratios[-1]:.2f}x {name}")
            available = len(ratios) == len(self.winding_cases)
            out.append(f"  ray_winding_batch faster than {label} on 1 thread: " + ", ".join(figures)
                       + (f", {verdict(min(ratios) > 1)}" if available else ", n/a"))
        return out


def main():
    """This section alone (python bench/rays.py in .venv-bench, after bench/run has made it):
    ours first, then the peers, then the table rows, notes and bars. ZET_NATIVE_LANES picks
    the vector build; the lines name it."""
    import os

    from common import format_table
    started = time.perf_counter()
    section = Rays()
    section.prepare()
    section.run_ours()
    section.run_peers()
    lanes = os.environ.get("ZET_NATIVE_LANES", "widest")
    print(f"rays section, ZET_NATIVE_LANES={lanes}, {time.strftime('%Y-%m-%d %H:%M')}")
    print("\n".join(section.peer_lines()))
    print(format_table(section.rows()))
    print("\n".join(section.note_lines()))
    print("bars (reported, not enforced):")
    print("\n".join(section.bars()))
    print(f"rays section time {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
