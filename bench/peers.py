"""Peer libraries, each wrapped as "prepare outside the clock, time the operation" (a Timed).

A peer that is not installed or does not import is reported as unavailable with the
reason; the benchmark goes on without it. bench/run records install failures in
``.venv-bench/peer-status/<module>.failed``.
"""

import ctypes
import importlib
import math
import os
import time

import numpy as np
from harness import Timed, Unavailable
from inputs import REPO

STATUS_DIR = REPO / ".venv-bench" / "peer-status"


def load(module):
    """Import a peer module or raise Unavailable with a one-line reason."""
    failed = STATUS_DIR / f"{module}.failed"
    if failed.exists():
        reason = failed.read_text().strip().splitlines()
        raise Unavailable("install failed: " + (reason[-1] if reason else "see .venv-bench/install.log"))
    if module == "open3d":
        _preload_libusb()
    try:
        return importlib.import_module(module)
    except Exception as exc:  # any import failure makes the peer unavailable
        raise Unavailable(f"import failed: {type(exc).__name__}: {exc}".splitlines()[0]) from None


def _preload_libusb():
    """Open3D's wheel links libusb-1.0.so.0, which a bare system may lack.

    The libusb-package wheel ships the library; loading it globally first lets the loader
    resolve Open3D's dependency by its soname.
    """
    try:
        ctypes.CDLL("libusb-1.0.so.0")
        return
    except OSError:
        pass
    try:
        import libusb_package
        ctypes.CDLL(str(libusb_package.get_library_path()), mode=ctypes.RTLD_GLOBAL)
    except Exception:
        pass  # the import of open3d then reports what is missing


def version(module):
    try:
        from importlib.metadata import version as dist_version
        dist = {"fcl": "python-fcl", "igl": "libigl"}.get(module, module)
        return dist_version(dist)
    except Exception:
        return "?"


# --- BVH builds ---------------------------------------------------------------------
# Each build peer: name (table label), module, what is timed, and a function that takes
# (vertices float64 (n,3), triangles uint32 (m,3)) and returns the seconds of one build.

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
    coal = load("coal")
    t = np.ascontiguousarray(triangles, dtype=np.int64)
    model = coal.BVHModelOBBRSS()
    start = time.perf_counter()
    model.beginModel(len(t), len(vertices))
    model.addVertices(vertices)
    model.addTriangles(t)
    model.endModel()  # builds the BVH
    return Timed(time.perf_counter() - start)


def fcl_build(vertices, triangles):
    fcl = load("fcl")
    t = np.ascontiguousarray(triangles, dtype=np.int64)
    model = fcl.BVHModel()
    model.beginModel(len(t), len(vertices))
    # python-fcl's addSubModel copies row by row in Python; that copy is not the build
    # and is kept off the clock.
    model.addSubModel(vertices, t)
    start = time.perf_counter()
    model.endModel()  # builds the BVH
    return Timed(time.perf_counter() - start)


BUILD_PEERS = [
    ("Open3D", "open3d", "RaycastingScene add_triangles + first cast_rays (Embree, float32, all cores)",
     open3d_build),
    ("coal", "coal",
     "BVHModelOBBRSS beginModel/addVertices/addTriangles/endModel (1 thread, one triangle per leaf)",
     coal_build),
    ("python-fcl", "fcl",
     "BVHModel (OBBRSS) endModel, addSubModel off the clock (1 thread, one triangle per leaf)",
     fcl_build),
]


# --- overlap areas ------------------------------------------------------------------

def shapely_overlap(subject, clip):
    """Seconds of the polygon construction, of intersection + area, and the areas."""
    shapely = load("shapely")

    def rings(a):
        return np.concatenate([a, a[:, :1]], axis=1)

    start = time.perf_counter()
    a = shapely.polygons(rings(subject))
    b = shapely.polygons(rings(clip))
    built = time.perf_counter()
    areas = shapely.area(shapely.intersection(a, b))
    done = time.perf_counter()
    return built - start, done - built, areas


# --- continuous collision -----------------------------------------------------------

FCL_SOLVERS = (
    # (table label, CCDSolverType member, what it does, continuous: compared in the table)
    ("python-fcl polynomial", "CCDC_POLYNOMIAL_SOLVER",
     "vertex-face and edge-edge root finding over the two BVH meshes (all of its set-up inside "
     "the call is on the clock); it ends at the first colliding triangle pair its traversal "
     "meets, whose toc need not be the earliest", True),
    ("python-fcl cons. advancement", "CCDC_CONSERVATIVE_ADVANCEMENT",
     "conservative advancement with distance queries, toc_err 1e-4", True),
    ("python-fcl naive", "CCDC_NAIVE",
     "discrete collision checks at 10 evenly spaced samples of the motion, not continuous: in the "
     "notes only", False),
)


class FclContinuous:
    """python-fcl's continuousCollide between a moving and a fixed mesh under translation.

    continuousCollide changes the BVHModels it is given (a second call on the same models
    complains of a missing previous frame and finds nothing), so every run builds both
    models (OBBRSS, fcl's default) afresh, off the clock. A run places the moving object at
    translation t_begin * velocity, gives t_end * velocity as its end transform (the
    obstacle stays at the identity), and times continuousCollide with a
    ContinuousCollisionRequest of motion type CCDM_TRANS and the given solver; the time of
    contact toc in [0, 1] is mapped to t = t_begin + toc * (t_end - t_begin).
    """

    def __init__(self, moving, obstacle):
        self.fcl = load("fcl")
        self.moving_mesh = moving
        self.obstacle_mesh = obstacle

    def _model(self, vertices, triangles):
        model = self.fcl.BVHModel()
        model.beginModel(len(triangles), len(vertices))
        model.addSubModel(vertices, np.ascontiguousarray(triangles, dtype=np.int64))
        model.endModel()
        return model

    def run(self, solver, velocity, t_begin, t_end):
        """(seconds, is_collide, t of contact, raw toc, return value)."""
        fcl = self.fcl
        velocity = np.asarray(velocity, dtype=np.float64)
        moving = fcl.CollisionObject(self._model(*self.moving_mesh), fcl.Transform(velocity * t_begin))
        obstacle = fcl.CollisionObject(self._model(*self.obstacle_mesh), fcl.Transform())
        request = fcl.ContinuousCollisionRequest(ccd_motion_type=fcl.CCDMotionType.CCDM_TRANS,
                                                 ccd_solver_type=getattr(fcl.CCDSolverType, solver))
        result = fcl.ContinuousCollisionResult()
        end_moving, end_obstacle = fcl.Transform(velocity * t_end), fcl.Transform()
        start = time.perf_counter()
        returned = fcl.continuousCollide(moving, end_moving, obstacle, end_obstacle, request, result)
        seconds = time.perf_counter() - start
        toc = result.time_of_contact
        return seconds, bool(result.is_collide), t_begin + toc * (t_end - t_begin), toc, returned


# --- self-intersections -------------------------------------------------------------

def pymeshlab_self_intersections(vertices, triangles):
    """Seconds of MeshLab's "select self-intersecting faces" filter and the selected faces.

    The MeshSet and its mesh are made off the clock; the filter's name is found among the
    MeshSet's methods (it has changed across versions).
    """
    pymeshlab = load("pymeshlab")
    ms = pymeshlab.MeshSet()
    names = [n for n in dir(ms) if "self_intersect" in n and "select" in n]
    if not names:
        raise Unavailable("no self-intersection selection filter in this pymeshlab")
    ms.add_mesh(pymeshlab.Mesh(vertex_matrix=np.ascontiguousarray(vertices, dtype=np.float64),
                               face_matrix=np.ascontiguousarray(triangles, dtype=np.int32)))
    start = time.perf_counter()
    getattr(ms, names[0])()
    seconds = time.perf_counter() - start
    return seconds, np.nonzero(ms.current_mesh().face_selection_array())[0], names[0]


def open3d_self_intersections(vertices, triangles):
    """Seconds of TriangleMesh.get_self_intersecting_triangles and the faces of its pairs."""
    o3d = load("open3d")
    mesh = o3d.geometry.TriangleMesh(o3d.utility.Vector3dVector(np.ascontiguousarray(vertices)),
                                     o3d.utility.Vector3iVector(np.ascontiguousarray(triangles, dtype=np.int32)))
    start = time.perf_counter()
    pairs = np.asarray(mesh.get_self_intersecting_triangles())
    seconds = time.perf_counter() - start
    return seconds, np.unique(pairs), pairs


# --- triangle distance --------------------------------------------------------------
# coal 3 has no distance between two TriangleP shapes (it raises "not yet supported"), and
# python-fcl's distance between two TriangleP objects warns that the pair is unsupported
# and returns the largest float; so each triangle of a pair becomes a one-triangle BVH
# model, whose distance runs the library's exact triangle-triangle distance on the single
# leaf pair.

class CoalTriangleDistances:
    """coal.distance over triangle pairs, one call per pair, models built off the clock;
    run() gives (seconds, distances), 0 for pairs that touch or cross."""

    def __init__(self, first, second):
        self.coal = coal = load("coal")
        face = np.array([[0, 1, 2]], dtype=np.int64)

        def model(triangle):
            m = coal.BVHModelOBBRSS()
            m.beginModel(1, 3)
            m.addVertices(np.ascontiguousarray(triangle))
            m.addTriangles(face)
            m.endModel()
            return m
        self.models = [(model(a), model(b)) for a, b in zip(first, second)]

    def run(self):
        coal = self.coal
        request, result, identity = coal.DistanceRequest(), coal.DistanceResult(), coal.Transform3s()
        out = np.empty(len(self.models))
        distance = coal.distance
        start = time.perf_counter()
        for i, (a, b) in enumerate(self.models):
            result.clear()  # a result keeps the smallest distance of all calls it has seen
            out[i] = distance(a, identity, b, identity, request, result)
        return time.perf_counter() - start, out


class FclTriangleDistances:
    """fcl.distance over triangle pairs, one call per pair, objects built off the clock;
    run() gives (seconds, distances), 0 for pairs that touch or cross."""

    def __init__(self, first, second):
        self.fcl = fcl = load("fcl")
        face = np.array([[0, 1, 2]], dtype=np.int64)

        def obj(triangle):
            m = fcl.BVHModel()
            m.beginModel(1, 3)
            m.addSubModel(np.ascontiguousarray(triangle), face)
            m.endModel()
            return fcl.CollisionObject(m, fcl.Transform())
        self.objects = [(obj(a), obj(b)) for a, b in zip(first, second)]

    def run(self):
        fcl = self.fcl
        request, result_type = fcl.DistanceRequest(), fcl.DistanceResult
        out = np.empty(len(self.objects))
        distance = fcl.distance
        start = time.perf_counter()
        for i, (a, b) in enumerate(self.objects):
            out[i] = distance(a, b, request, result_type())
        return time.perf_counter() - start, out


# --- mesh distance along a path -------------------------------------------------------

class CoalMeshDistance:
    """coal's distance between a moving mesh translated to given positions and a fixed mesh.

    Both BVHModelOBBRSS models are built once, off the clock; the moving mesh is given at
    its position at path parameter 0 and moved by a Transform3s translation.
    """

    def __init__(self, moving, obstacle):
        self.coal = coal = load("coal")
        self.moving = self._model(*moving)
        self.obstacle = self._model(*obstacle)
        self.request, self.result = coal.DistanceRequest(), coal.DistanceResult()
        self.identity, self.rotation = coal.Transform3s(), np.eye(3)

    def _model(self, vertices, triangles):
        m = self.coal.BVHModelOBBRSS()
        m.beginModel(len(triangles), len(vertices))
        m.addVertices(np.ascontiguousarray(vertices))
        m.addTriangles(np.ascontiguousarray(triangles, dtype=np.int64))
        m.endModel()
        return m

    def run(self, translations):
        """(seconds, distances) of one distance call per translation."""
        coal, result, request = self.coal, self.result, self.request
        out = np.empty(len(translations))
        start = time.perf_counter()
        for i, p in enumerate(translations):
            result.clear()
            out[i] = coal.distance(self.moving, coal.Transform3s(self.rotation, p), self.obstacle,
                                   self.identity, request, result)
        return time.perf_counter() - start, out


class FclMeshDistance:
    """python-fcl's distance between a moving mesh translated to given positions and a fixed
    mesh; both BVHModel (OBBRSS) objects are built once, off the clock."""

    def __init__(self, moving, obstacle):
        self.fcl = load("fcl")
        self.moving = self._object(*moving)
        self.obstacle = self._object(*obstacle)
        self.request = self.fcl.DistanceRequest()

    def _object(self, vertices, triangles):
        m = self.fcl.BVHModel()
        m.beginModel(len(triangles), len(vertices))
        m.addSubModel(np.ascontiguousarray(vertices), np.ascontiguousarray(triangles, dtype=np.int64))
        m.endModel()
        return self.fcl.CollisionObject(m, self.fcl.Transform())

    def run(self, translations):
        """(seconds, distances) of one distance call per translation."""
        fcl, moving, obstacle, request = self.fcl, self.moving, self.obstacle, self.request
        out = np.empty(len(translations))
        start = time.perf_counter()
        for i, p in enumerate(translations):
            moving.setTranslation(p)
            out[i] = fcl.distance(moving, obstacle, request, fcl.DistanceResult())
        return time.perf_counter() - start, out


# --- rays and winding -------------------------------------------------------------------

def submodule(package, name):
    """Import package.name after load(package), or raise Unavailable."""
    load(package)
    try:
        return importlib.import_module(f"{package}.{name}")
    except Exception as exc:
        raise Unavailable(f"import failed: {type(exc).__name__}: {exc}".splitlines()[0]) from None


def _timed_cpu(function, *args):
    """(wall seconds, CPU seconds of the process, result) of one call."""
    cpu, start = time.process_time(), time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, time.process_time() - cpu, result


class Open3DScene:
    """Open3D's RaycastingScene (Embree, float32) of one mesh, built and committed off the
    clock."""

    def __init__(self, vertices, triangles):
        self.o3d = o3d = load("open3d")
        self.scene = o3d.t.geometry.RaycastingScene()
        self.scene.add_triangles(o3d.core.Tensor(np.ascontiguousarray(vertices, dtype=np.float32)),
                                 o3d.core.Tensor(np.ascontiguousarray(triangles, dtype=np.uint32)))
        probe = np.array([[0.0, 0.0, 0.0, 1.0, 0.0, 0.0]], dtype=np.float32)
        self.scene.cast_rays(o3d.core.Tensor(probe))  # the first query commits the scene

    def rays(self, origins, direction, epsilon):
        """The (r, 6) float32 ray tensor of list_intersections: each origin moved epsilon along
        the direction (the first depth that counts), then the direction."""
        start = np.asarray(origins, dtype=np.float64) + epsilon * np.asarray(direction, dtype=np.float64)
        rays = np.empty((len(start), 6), dtype=np.float32)
        rays[:, :3] = start
        rays[:, 3:] = direction
        return self.o3d.core.Tensor(rays)

    def list_hits(self, rays, length, epsilon, threads):
        """(wall seconds, CPU seconds, every hit found, rays, triangles, depths) of one
        list_intersections call; the hits returned are those with t_hit <= length, their depth
        counted from the unshifted origin (epsilon + t_hit). list_intersections has no
        maximum distance: it follows each ray to the end of the scene."""
        wall, cpu, found = _timed_cpu(self.scene.list_intersections, rays, threads)
        t_hit = found["t_hit"].numpy()
        keep = t_hit <= length
        return (wall, cpu, len(t_hit), found["ray_ids"].numpy()[keep].astype(np.int64),
                found["primitive_ids"].numpy()[keep].astype(np.int64), epsilon + t_hit[keep].astype(np.float64))

    def points(self, points):
        return self.o3d.core.Tensor(np.ascontiguousarray(points, dtype=np.float32))

    def occupancy(self, points, threads):
        """(wall seconds, CPU seconds, inside bool array) of compute_occupancy (one ray per
        point, nsamples 1)."""
        def run():
            return self.scene.compute_occupancy(points, nthreads=threads).numpy()
        wall, cpu, occupied = _timed_cpu(run)
        return wall, cpu, occupied.reshape(-1) != 0


class EmbreexRays:
    """embreex's single-ray Embree intersect (float32), used for every hit along a ray.

    EmbreeScene.run answers the nearest hit of each ray up to a maximum distance (dists);
    it has no mode that lists all hits. So each pass runs the rays still alive, and every
    ray that hit is started again epsilon past its hit, with the rest of its length, until
    no ray hits. The scene (TriangleMesh of the shared vertices) is built and committed off
    the clock.
    """

    def __init__(self, vertices, triangles):
        scene_module = submodule("embreex", "rtcore_scene")
        mesh_module = submodule("embreex", "mesh_construction")
        self.scene = scene_module.EmbreeScene()
        self.mesh = mesh_module.TriangleMesh(self.scene, np.ascontiguousarray(vertices, dtype=np.float32),
                                             np.ascontiguousarray(triangles, dtype=np.int32))
        probe = np.zeros((1, 3), dtype=np.float32)
        self.scene.run(probe, np.array([[1.0, 0.0, 0.0]], dtype=np.float32))  # commits the scene

    def hits(self, origins, direction, length, epsilon):
        """(wall seconds, CPU seconds, passes, rays, triangles, depths) of all hits with
        depth in (epsilon, epsilon + length] from each origin."""
        def run():
            direction64 = np.asarray(direction, dtype=np.float64)
            n = len(origins)
            travelled = np.full(n, epsilon)  # depth of the current start of each ray
            live = np.arange(n)
            directions = np.ascontiguousarray(np.broadcast_to(direction64.astype(np.float32), (n, 3)))
            rays, tris, depths, passes = [], [], [], 0
            while len(live):
                passes += 1
                start = (origins[live] + travelled[live, None] * direction64).astype(np.float32)
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
        wall, cpu, (passes, rays, tris, depths) = _timed_cpu(run)
        return wall, cpu, passes, rays, tris, depths


class TrimeshContains:
    """trimesh's Trimesh.contains with the ray engine trimesh picks (Embree through
    embreex when it imports, else its rtree-based triangle engine); the mesh and its ray
    scene are made off the clock (a first call on a few points)."""

    def __init__(self, vertices, triangles):
        trimesh = load("trimesh")
        self.mesh = trimesh.Trimesh(vertices=np.asarray(vertices, dtype=np.float64),
                                    faces=np.asarray(triangles, dtype=np.int64), process=False)
        self.mesh.contains(np.asarray(vertices[:4], dtype=np.float64) * 1.01)
        self.engine = type(self.mesh.ray).__module__

    def contains(self, points):
        """(wall seconds, CPU seconds, inside bool array)."""
        return _timed_cpu(lambda: np.asarray(self.mesh.contains(points), dtype=bool))


def igl_winding(vertices, triangles):
    """libigl's fast winding number of a triangle soup: (function name, a function of the
    points that returns (wall seconds, CPU seconds, inside = winding number > 0.5)).

    libigl reads IGL_NUM_THREADS once, at its first parallel loop; it is set to 1 here
    unless the environment already sets it.
    """
    os.environ.setdefault("IGL_NUM_THREADS", "1")
    igl = load("igl")
    name = next((n for n in ("fast_winding_number_for_meshes", "fast_winding_number") if hasattr(igl, n)), None)
    if name is None:
        raise Unavailable("no fast winding number in this libigl")
    function = getattr(igl, name)
    v = np.ascontiguousarray(vertices, dtype=np.float64)
    f = np.ascontiguousarray(triangles, dtype=np.int64)

    def run(points):
        wall, cpu, w = _timed_cpu(function, v, f, np.ascontiguousarray(points, dtype=np.float64))
        return wall, cpu, np.asarray(w).reshape(-1) > 0.5
    return name, run


# --- the disassembly planner with python-fcl's collision checks -------------------------

def fcl_assembly(analysis, overlap_depths, resolution):
    """The planner's Assembly class with each pair's path check done by sampled collision:
    fcl.collide at positions `resolution` of the part's box diagonal apart, its colliding
    triangle pairs judged by the same overlap depth and allowance as ours."""
    fcl = load("fcl")

    class FclAssembly(analysis.Assembly):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.objects = {}
            for name, (v, t) in self.meshes.items():
                model = fcl.BVHModel()
                model.beginModel(len(v), len(t))
                model.addSubModel(v, t.astype(np.int32))
                model.endModel()
                self.objects[name] = fcl.CollisionObject(model, fcl.Transform())

        def _path_depths(self, p, q, d, length):
            step = resolution * float(np.linalg.norm(self.high[p] - self.low[p]))
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
            return analysis.PairCheck(deepest > self.tol.allowance, tolerated, deepest)
    return FclAssembly
