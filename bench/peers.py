"""Peer libraries, each wrapped as "prepare off the clock, time the operation".

A peer that is not installed or does not import raises Unavailable with the reason; the
benchmark goes on without it. bench/run records install failures in
``.venv-bench/peer-status/<module>.failed``.
"""

import ctypes
import importlib
import math
import time

import numpy as np
from harness import Timed, Unavailable
from inputs import REPO

STATUS_DIR = REPO / ".venv-bench" / "peer-status"
DISTRIBUTIONS = {"Open3D": "open3d", "coal": "coal", "python-fcl": "python-fcl", "shapely": "shapely",
                 "pymeshlab": "pymeshlab", "embreex": "embreex", "trimesh": "trimesh", "libigl": "libigl"}


def load(module):
    """Import a peer module or raise Unavailable with a one-line reason."""
    failed = STATUS_DIR / f"{module}.failed"
    if failed.exists():
        raise Unavailable("install failed: " + (failed.read_text().strip().splitlines() or ["see install.log"])[-1])
    if module.startswith("open3d"):
        preload_libusb()
    try:
        return importlib.import_module(module)
    except Exception as exc:  # any import failure makes the peer unavailable
        raise Unavailable(f"import failed: {type(exc).__name__}: {exc}".splitlines()[0]) from None


def preload_libusb():
    """Open3D's wheel links libusb-1.0.so.0, which a bare system may lack: the libusb-package
    wheel ships it, and loading it globally first lets the loader find it by its soname."""
    try:
        ctypes.CDLL("libusb-1.0.so.0")
    except OSError:
        try:
            import libusb_package
            ctypes.CDLL(str(libusb_package.get_library_path()), mode=ctypes.RTLD_GLOBAL)
        except Exception:
            pass  # the import of open3d then reports what is missing


def version(label):
    """The distribution and installed version of the peer a table label names, or ""."""
    try:
        from importlib.metadata import version as dist_version
        dist = DISTRIBUTIONS[label.split(" ")[0]]
        return f"{dist} {dist_version(dist)}"
    except Exception:
        return ""


def timed(function, *args):
    """(wall seconds, CPU seconds of the process, result) of one call."""
    cpu, start = time.process_time(), time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, time.process_time() - cpu, result


def coal_model(vertices, triangles):
    m = load("coal").BVHModelOBBRSS()
    m.beginModel(len(triangles), len(vertices))
    m.addVertices(np.ascontiguousarray(vertices, dtype=np.float64))
    m.addTriangles(np.ascontiguousarray(triangles, dtype=np.int64))
    m.endModel()
    return m


def fcl_object(vertices, triangles, translation=(0.0, 0.0, 0.0)):
    fcl = load("fcl")
    m = fcl.BVHModel()
    m.beginModel(len(triangles), len(vertices))
    m.addSubModel(np.ascontiguousarray(vertices, dtype=np.float64), np.ascontiguousarray(triangles, dtype=np.int64))
    m.endModel()
    return fcl.CollisionObject(m, fcl.Transform(np.asarray(translation, dtype=np.float64)))


# --- BVH builds: the seconds of one build ------------------------------------------------

def open3d_build(vertices, triangles):
    o3d = load("open3d")
    v = o3d.core.Tensor.from_numpy(np.ascontiguousarray(vertices, dtype=np.float32))
    t = o3d.core.Tensor.from_numpy(np.ascontiguousarray(triangles, dtype=np.uint32))
    ray = o3d.core.Tensor(np.array([[0.0, 0.0, 0.0, 1.0, 0.0, 0.0]], dtype=np.float32))
    scene = o3d.t.geometry.RaycastingScene()
    start = time.perf_counter()
    scene.add_triangles(v, t)
    scene.cast_rays(ray)  # the first query commits the scene: Embree builds its BVH here
    return Timed(time.perf_counter() - start)


def coal_build(vertices, triangles):
    return Timed(timed(coal_model, vertices, triangles)[0])


def fcl_build(vertices, triangles):
    fcl = load("fcl")
    model = fcl.BVHModel()
    model.beginModel(len(triangles), len(vertices))
    # addSubModel copies row by row in Python; that copy is not the build: off the clock.
    model.addSubModel(vertices, np.ascontiguousarray(triangles, dtype=np.int64))
    return Timed(timed(model.endModel)[0])


def shapely_overlap(subject, clip):
    """Seconds of the polygon construction, of intersection + area, and the areas."""
    shapely = load("shapely")
    start = time.perf_counter()
    a, b = (shapely.polygons(np.concatenate([x, x[:, :1]], axis=1)) for x in (subject, clip))
    built = time.perf_counter()
    areas = shapely.area(shapely.intersection(a, b))
    return built - start, time.perf_counter() - built, areas


class FclContinuous:
    """python-fcl's continuousCollide of a mesh translating past a fixed one. It changes the
    models it is given (a second call finds nothing), so every run builds both afresh, off the
    clock; its time of contact toc in [0, 1] maps to t = t_begin + toc * (t_end - t_begin)."""

    def __init__(self, moving, obstacle):
        self.fcl, self.meshes = load("fcl"), (moving, obstacle)

    def run(self, solver, velocity, t_begin, t_end):
        """(seconds, is_collide, t of contact, raw toc, return value)."""
        fcl, velocity = self.fcl, np.asarray(velocity, dtype=np.float64)
        moving, obstacle = fcl_object(*self.meshes[0], velocity * t_begin), fcl_object(*self.meshes[1])
        request = fcl.ContinuousCollisionRequest(ccd_motion_type=fcl.CCDMotionType.CCDM_TRANS,
                                                 ccd_solver_type=getattr(fcl.CCDSolverType, solver))
        result = fcl.ContinuousCollisionResult()
        seconds, _, returned = timed(fcl.continuousCollide, moving, fcl.Transform(velocity * t_end), obstacle,
                                     fcl.Transform(), request, result)
        toc = result.time_of_contact
        return seconds, bool(result.is_collide), t_begin + toc * (t_end - t_begin), toc, returned


def pymeshlab_self_intersections(vertices, triangles):
    """(seconds, selected faces) of MeshLab's self-intersecting face selection, the mesh loaded
    off the clock; the filter's name has changed across versions, so it is looked up."""
    pymeshlab = load("pymeshlab")
    ms = pymeshlab.MeshSet()
    names = [n for n in dir(ms) if "self_intersect" in n and "select" in n]
    if not names:
        raise Unavailable("no self-intersection selection filter in this pymeshlab")
    ms.add_mesh(pymeshlab.Mesh(vertex_matrix=np.ascontiguousarray(vertices, dtype=np.float64),
                               face_matrix=np.ascontiguousarray(triangles, dtype=np.int32)))
    seconds = timed(getattr(ms, names[0]))[0]
    return seconds, np.nonzero(ms.current_mesh().face_selection_array())[0]


def open3d_self_intersections(vertices, triangles):
    """(seconds, faces of the pairs) of TriangleMesh.get_self_intersecting_triangles."""
    o3d = load("open3d")
    mesh = o3d.geometry.TriangleMesh(o3d.utility.Vector3dVector(np.ascontiguousarray(vertices)),
                                     o3d.utility.Vector3iVector(np.ascontiguousarray(triangles, dtype=np.int32)))
    seconds, _, pairs = timed(mesh.get_self_intersecting_triangles)
    return seconds, np.unique(np.asarray(pairs))


# --- distances -------------------------------------------------------------------------
# Neither coal nor python-fcl computes the distance of two TriangleP shapes, so each triangle
# becomes a one-triangle BVH model, whose distance is the library's exact triangle distance.

FACE = np.array([[0, 1, 2]])


class CoalTriangleDistances:
    """coal.distance, one call per pair; run() gives (seconds, distances), 0 where they touch."""

    def __init__(self, first, second):
        self.coal = load("coal")
        self.models = [(coal_model(a, FACE), coal_model(b, FACE)) for a, b in zip(first, second)]

    def run(self):
        coal = self.coal
        request, result, identity = coal.DistanceRequest(), coal.DistanceResult(), coal.Transform3s()
        out, distance, start = np.empty(len(self.models)), coal.distance, time.perf_counter()
        for i, (a, b) in enumerate(self.models):
            result.clear()  # a result keeps the smallest distance of all calls it has seen
            out[i] = distance(a, identity, b, identity, request, result)
        return time.perf_counter() - start, out


class FclTriangleDistances:
    """fcl.distance, one call per pair; run() gives (seconds, distances), 0 where they touch."""

    def __init__(self, first, second):
        self.fcl = load("fcl")
        self.objects = [(fcl_object(a, FACE), fcl_object(b, FACE)) for a, b in zip(first, second)]

    def run(self):
        fcl = self.fcl
        request, result_type = fcl.DistanceRequest(), fcl.DistanceResult
        out, distance, start = np.empty(len(self.objects)), fcl.distance, time.perf_counter()
        for i, (a, b) in enumerate(self.objects):
            out[i] = distance(a, b, request, result_type())
        return time.perf_counter() - start, out


class CoalMeshDistance:
    """coal's distance of a mesh translated to given positions from a fixed one, both models
    built once, off the clock; run() gives (seconds, distances)."""

    def __init__(self, moving, obstacle):
        self.coal = coal = load("coal")
        self.moving, self.obstacle = coal_model(*moving), coal_model(*obstacle)
        self.request, self.result, self.identity = coal.DistanceRequest(), coal.DistanceResult(), coal.Transform3s()

    def run(self, translations):
        coal, result, out, start = self.coal, self.result, np.empty(len(translations)), time.perf_counter()
        for i, p in enumerate(translations):
            result.clear()
            out[i] = coal.distance(self.moving, coal.Transform3s(np.eye(3), p), self.obstacle, self.identity,
                                   self.request, result)
        return time.perf_counter() - start, out


class FclMeshDistance:
    """python-fcl's distance of a mesh translated to given positions from a fixed one, both
    objects built once, off the clock; run() gives (seconds, distances)."""

    def __init__(self, moving, obstacle):
        self.fcl = load("fcl")
        self.moving, self.obstacle = fcl_object(*moving), fcl_object(*obstacle)

    def run(self, translations):
        fcl, out, start = self.fcl, np.empty(len(translations)), time.perf_counter()
        for i, p in enumerate(translations):
            self.moving.setTranslation(p)
            out[i] = fcl.distance(self.moving, self.obstacle, fcl.DistanceRequest(), fcl.DistanceResult())
        return time.perf_counter() - start, out


# --- rays and winding --------------------------------------------------------------------

class Open3DScene:
    """Open3D's RaycastingScene (Embree, float32) of one mesh, built and committed off the clock."""

    def __init__(self, vertices, triangles):
        self.o3d = o3d = load("open3d")
        self.scene = o3d.t.geometry.RaycastingScene()
        self.scene.add_triangles(o3d.core.Tensor(np.ascontiguousarray(vertices, dtype=np.float32)),
                                 o3d.core.Tensor(np.ascontiguousarray(triangles, dtype=np.uint32)))
        self.scene.cast_rays(o3d.core.Tensor(np.array([[0, 0, 0, 1, 0, 0]], dtype=np.float32)))  # commits it

    def rays(self, origins, direction, epsilon):
        """The float32 (r, 6) rays: each origin moved epsilon along the direction (the first
        depth that counts), then the direction."""
        rays = np.empty((len(origins), 6), dtype=np.float32)
        rays[:, :3] = np.asarray(origins, dtype=np.float64) + epsilon * np.asarray(direction, dtype=np.float64)
        rays[:, 3:] = direction
        return self.o3d.core.Tensor(rays)

    def list_hits(self, rays, length, epsilon, threads):
        """(wall, CPU seconds, hits found, rays, triangles, depths) of list_intersections, which
        follows each ray through the whole scene: the hits kept are those with t_hit <= length."""
        wall, cpu, found = timed(self.scene.list_intersections, rays, threads)
        t_hit = found["t_hit"].numpy()
        keep = t_hit <= length
        return (wall, cpu, len(t_hit), found["ray_ids"].numpy()[keep].astype(np.int64),
                found["primitive_ids"].numpy()[keep].astype(np.int64), epsilon + t_hit[keep].astype(np.float64))

    def points(self, points):
        return self.o3d.core.Tensor(np.ascontiguousarray(points, dtype=np.float32))

    def occupancy(self, points, threads):
        """(wall, CPU seconds, inside) of compute_occupancy (one ray per point, nsamples 1)."""
        wall, cpu, occupied = timed(lambda: self.scene.compute_occupancy(points, nthreads=threads).numpy())
        return wall, cpu, occupied.reshape(-1) != 0


class EmbreexRays:
    """embreex's Embree intersect (float32) for every hit along each ray: it gives the nearest
    hit up to a distance only, so the rays that hit start again epsilon past their hit, with
    the rest of their length, until none hits. Scene built and committed off the clock."""

    def __init__(self, vertices, triangles):
        load("embreex")
        scenes, meshes = (importlib.import_module(f"embreex.{n}") for n in ("rtcore_scene", "mesh_construction"))
        self.scene = scenes.EmbreeScene()
        self.mesh = meshes.TriangleMesh(self.scene, np.ascontiguousarray(vertices, dtype=np.float32),
                                        np.ascontiguousarray(triangles, dtype=np.int32))
        self.scene.run(np.zeros((1, 3), dtype=np.float32), np.array([[1.0, 0.0, 0.0]], dtype=np.float32))

    def hits(self, origins, direction, length, epsilon):
        """(wall, CPU seconds, passes, rays, triangles, depths) of the hits at depths in
        (epsilon, epsilon + length] from each origin."""
        def run():
            d64, n = np.asarray(direction, dtype=np.float64), len(origins)
            travelled, live = np.full(n, epsilon), np.arange(n)  # depth of each ray's current start
            directions = np.ascontiguousarray(np.broadcast_to(d64.astype(np.float32), (n, 3)))
            rays, tris, depths, passes = [], [], [], 0
            while len(live):
                passes += 1
                start = (origins[live] + travelled[live, None] * d64).astype(np.float32)
                remaining = (epsilon + length - travelled[live]).astype(np.float32)
                out = self.scene.run(start, directions[:len(live)], dists=remaining, output=1)
                hit = out["primID"] >= 0
                ids = live[hit]
                depth = travelled[ids] + out["tfar"][hit].astype(np.float64)
                rays.append(ids)
                tris.append(out["primID"][hit].astype(np.int64))
                depths.append(depth)
                travelled[ids] = depth + epsilon
                live = ids[travelled[ids] < epsilon + length]
            return passes, np.concatenate(rays), np.concatenate(tris), np.concatenate(depths)
        wall, cpu, found = timed(run)
        return (wall, cpu, *found)


class TrimeshContains:
    """trimesh's Trimesh.contains with the ray engine it picks (Embree through embreex when that
    imports, else its rtree engine); mesh and ray scene made off the clock."""

    def __init__(self, vertices, triangles):
        trimesh = load("trimesh")
        self.mesh = trimesh.Trimesh(vertices=np.asarray(vertices, dtype=np.float64),
                                    faces=np.asarray(triangles, dtype=np.int64), process=False)
        self.mesh.contains(np.asarray(vertices[:4], dtype=np.float64) * 1.01)
        self.engine = type(self.mesh.ray).__module__

    def contains(self, points):
        """(wall, CPU seconds, inside)."""
        return timed(lambda: np.asarray(self.mesh.contains(points), dtype=bool))


def igl_winding(vertices, triangles):
    """libigl's fast winding number of the triangle soup: (function name, a function of the
    points giving (wall, CPU seconds, inside = winding number > 0.5)). libigl reads
    IGL_NUM_THREADS once, at its first parallel loop: 1 unless the environment says otherwise."""
    import os
    os.environ.setdefault("IGL_NUM_THREADS", "1")
    igl = load("igl")
    name = next((n for n in ("fast_winding_number_for_meshes", "fast_winding_number") if hasattr(igl, n)), None)
    if name is None:
        raise Unavailable("no fast winding number in this libigl")
    v, f = np.ascontiguousarray(vertices, dtype=np.float64), np.ascontiguousarray(triangles, dtype=np.int64)

    def run(points):
        wall, cpu, w = timed(getattr(igl, name), v, f, np.ascontiguousarray(points, dtype=np.float64))
        return wall, cpu, np.asarray(w).reshape(-1) > 0.5
    return name, run


def fcl_assembly(analysis, overlap_depths, resolution):
    """The planner's Assembly with each pair's path check done by fcl.collide at positions
    `resolution` part diagonals apart, its colliding triangle pairs judged by the same overlap
    depth and allowance as ours."""
    fcl = load("fcl")

    class FclAssembly(analysis.Assembly):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.objects = {name: fcl_object(v, t) for name, (v, t) in self.meshes.items()}

        def _path_depths(self, p, checks):
            return [self._sampled(p, q, d, length) for q, d, _, length in checks]

        def _sampled(self, p, q, d, length):
            step = resolution * float(np.linalg.norm(self.high[p] - self.low[p]))
            deepest = tolerated = 0.0
            for t in np.linspace(0.0, length, max(2, int(math.ceil(length / step)) + 1)):
                self.objects[p].setTransform(fcl.Transform(np.asarray(d) * t))
                result = fcl.CollisionResult()
                fcl.collide(self.objects[p], self.objects[q],
                            fcl.CollisionRequest(num_max_contacts=1_000_000, enable_contact=True), result)
                if not result.contacts:
                    continue
                pairs = np.array([(c.b1, c.b2) for c in result.contacts], dtype=np.int64)
                depths = overlap_depths(self.corners(p, pairs[:, 0]), self.corners(q, pairs[:, 1]), d, t, t)
                deepest = max(deepest, float(depths.max()))
                tolerated = max(tolerated, float(depths[depths <= self.tol.allowance].max(initial=0.0)))
                if deepest > self.tol.allowance:
                    break
            self.objects[p].setTransform(fcl.Transform())
            return analysis.PairCheck(deepest > self.tol.allowance, tolerated, deepest)
    return FclAssembly
