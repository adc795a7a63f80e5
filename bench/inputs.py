"""Benchmark inputs, made here with numpy: meshes, triangle pairs, points and directions; the
OBJ meshes beside the repository (``../shared/meshes``) are used only when present."""

import os
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
# The real meshes live outside the repository; a fresh clone may not have them.
MESH_DIR = Path(os.environ.get("ZET_BENCH_MESHES", REPO.parent / "shared" / "meshes"))


def wavy_torus(nu, nv):
    """A closed torus of 2 * nu * nv triangles in grid order, its tube radius rippled so that
    triangle boxes differ in size: float64 (n, 3) vertices, uint32 (m, 3) triangles."""
    u = np.linspace(0.0, 2.0 * np.pi, nu, endpoint=False)
    v = np.linspace(0.0, 2.0 * np.pi, nv, endpoint=False)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    r = 0.3 + 0.03 * np.sin(7.0 * uu) * np.sin(11.0 * vv)
    ring = 1.0 + r * np.cos(vv)
    vertices = np.stack([ring * np.cos(uu), ring * np.sin(uu), r * np.sin(vv)], axis=-1)
    i = np.arange(nu)[:, None]
    j = np.arange(nv)[None, :]
    a = i * nv + j
    b = ((i + 1) % nu) * nv + j
    c = ((i + 1) % nu) * nv + (j + 1) % nv
    d = i * nv + (j + 1) % nv
    triangles = np.concatenate(
        [np.stack([a, b, c], axis=-1).reshape(-1, 3), np.stack([a, c, d], axis=-1).reshape(-1, 3)]
    )
    return (np.ascontiguousarray(vertices.reshape(-1, 3), dtype=np.float64),
            np.ascontiguousarray(triangles, dtype=np.uint32))


def read_obj(path):
    """Vertices and triangles of a Wavefront OBJ file: ``v`` and ``f`` lines, face entries
    ``a``, ``a/t`` or ``a/t/n``, 1-based or negative indices, polygons fanned."""
    vertices, triangles = [], []
    with open(path, "r", encoding="utf-8", errors="replace") as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "v":
                vertices.append((float(parts[1]), float(parts[2]), float(parts[3])))
            elif parts[0] == "f":
                corners = []
                for token in parts[1:]:
                    k = int(token.split("/", 1)[0])
                    corners.append(k - 1 if k > 0 else len(vertices) + k)
                for q in range(1, len(corners) - 1):
                    triangles.append((corners[0], corners[q], corners[q + 1]))
    v = np.ascontiguousarray(np.array(vertices, dtype=np.float64).reshape(-1, 3))
    t = np.ascontiguousarray(np.array(triangles, dtype=np.int64).reshape(-1, 3))
    if t.size and (t.min() < 0 or t.max() >= len(v)):
        raise ValueError(f"{path.name}: face index outside the vertex list")
    return v, t.astype(np.uint32)


def obj_meshes():
    """(name, path) of the OBJ meshes present, sorted by name; empty when absent."""
    if not MESH_DIR.is_dir():
        return []
    return [(p.stem, p) for p in sorted(MESH_DIR.glob("*.obj"))]


def overlap_pairs(n, seed=20240601):
    """n random nearby 2D triangle pairs, float64 (n, 3, 2) each: corners within 1 of a centre
    in [-10, 10]^2, the clip triangle's shifted by up to 0.5; about half overlap, both windings."""
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-10.0, 10.0, (n, 1, 2))
    subject = centre + rng.uniform(-1.0, 1.0, (n, 3, 2))
    clip = centre + rng.uniform(-0.5, 0.5, (n, 1, 2)) + rng.uniform(-1.0, 1.0, (n, 3, 2))
    return np.ascontiguousarray(subject), np.ascontiguousarray(clip)


def icosphere(frequency, radius=1.0, centre=(0.0, 0.0, 0.0)):
    """A closed geodesic sphere of 20 * frequency**2 triangles wound outward: each icosahedron
    face cut into a triangular grid pushed onto the sphere, points on shared edges merged."""
    phi = (1.0 + 5.0 ** 0.5) / 2.0
    corners = np.array([(-1, phi, 0), (1, phi, 0), (-1, -phi, 0), (1, -phi, 0),
                        (0, -1, phi), (0, 1, phi), (0, -1, -phi), (0, 1, -phi),
                        (phi, 0, -1), (phi, 0, 1), (-phi, 0, -1), (-phi, 0, 1)], dtype=np.float64)
    faces = np.array([(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11),
                      (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6), (7, 1, 8),
                      (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9),
                      (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)])
    n = frequency
    # Grid points (i, j) with i + j <= n of one face, and the grid's triangles by (i, j).
    ii, jj = np.meshgrid(np.arange(n + 1), np.arange(n + 1), indexing="ij")
    keep = ii + jj <= n
    gi, gj = ii[keep], jj[keep]
    index = -np.ones((n + 2, n + 2), dtype=np.int64)
    index[gi, gj] = np.arange(len(gi))
    ui, uj = np.nonzero((ii + jj) <= n - 1)  # upward triangles (i,j) (i+1,j) (i,j+1)
    up = np.stack([index[ui, uj], index[ui + 1, uj], index[ui, uj + 1]], axis=-1)
    di, dj = np.nonzero((ii + jj) <= n - 2)  # downward triangles (i+1,j) (i+1,j+1) (i,j+1)
    down = np.stack([index[di + 1, dj], index[di + 1, dj + 1], index[di, dj + 1]], axis=-1)
    local = np.concatenate([up, down])
    a, b, c = corners[faces[:, 0]], corners[faces[:, 1]], corners[faces[:, 2]]
    points = (a[:, None, :] + (b - a)[:, None, :] * (gi[None, :, None] / n)
              + (c - a)[:, None, :] * (gj[None, :, None] / n))
    points /= np.linalg.norm(points, axis=-1, keepdims=True)
    triangles = (local[None, :, :] + (np.arange(len(faces)) * len(gi))[:, None, None]).reshape(-1, 3)
    points = points.reshape(-1, 3)
    # Merge the copies of the points on shared edges and corners.
    _, first, inverse = np.unique(np.round(points, 9), axis=0, return_index=True, return_inverse=True)
    order = np.argsort(first)  # keep the vertices in order of first appearance
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    vertices = points[first[order]] * radius + np.asarray(centre, dtype=np.float64)
    triangles = rank[inverse.reshape(-1)][triangles]
    return (np.ascontiguousarray(vertices, dtype=np.float64),
            np.ascontiguousarray(triangles, dtype=np.uint32))


def rotated(vertices, axis, degrees):
    """The vertices rotated about a coordinate axis ("x", "y" or "z") through the origin."""
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    i, j = {"x": (1, 2), "y": (2, 0), "z": (0, 1)}[axis]
    out = vertices.copy()
    out[:, i] = c * vertices[:, i] - s * vertices[:, j]
    out[:, j] = s * vertices[:, i] + c * vertices[:, j]
    return out


def crossing_tori(nu, nv):
    """Two wavy tori of 2 * nu * nv triangles merged into one mesh, the second tilted 30 degrees
    about x and moved by (0.9, 0.05, 0.02): it intersects itself where their tubes cross."""
    v1, t1 = wavy_torus(nu, nv)
    v2 = rotated(v1, "x", 30.0) + np.array([0.9, 0.05, 0.02])
    vertices = np.concatenate([v1, v2])
    triangles = np.concatenate([t1, t1 + np.uint32(len(v1))])
    return np.ascontiguousarray(vertices), np.ascontiguousarray(triangles, dtype=np.uint32)


def _splitmix64_uniform(seed, first, count):
    """Draws first + 1 .. first + count of a splitmix64 stream as doubles in [0, 1) (top 53
    bits), the generator of the C++ benchmarks."""
    k = np.arange(first + 1, first + count + 1, dtype=np.uint64)
    z = np.uint64(seed) + k * np.uint64(0x9E3779B97F4A7C15)  # wraps modulo 2**64
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    return (z >> np.uint64(11)).astype(np.float64) * 2.0 ** -53


def distance_pairs(n, seed=20240611, chunk=1 << 17):
    """The first n random nearby 3D triangle pairs of bench/native/distance_kernel_bench.cpp,
    bit for bit, as two float64 (n, 3, 3) arrays. Pair i takes 24 draws: a centre in
    [-10, 10]^3, an offset in [-1.5, 1.5]^3, then per vertex and axis one draw for each triangle."""
    first = np.empty((n, 3, 3))
    second = np.empty((n, 3, 3))
    for lo in range(0, n, chunk):
        m = min(chunk, n - lo)
        u = _splitmix64_uniform(seed, 24 * lo, 24 * m).reshape(m, 24)
        centre = -10.0 + 20.0 * u[:, 0:3]
        offset = -1.5 + 3.0 * u[:, 3:6]
        corners = -1.0 + 2.0 * u[:, 6:].reshape(m, 9, 2)
        first[lo:lo + m] = centre[:, None, :] + corners[:, :, 0].reshape(m, 3, 3)
        second[lo:lo + m] = (centre + offset)[:, None, :] + corners[:, :, 1].reshape(m, 3, 3)
    return first, second


def sphere_directions(n):
    """n unit vectors spread evenly over the sphere (a Fibonacci spiral), float64 (n, 3)."""
    i = np.arange(n, dtype=np.float64) + 0.5
    z = 1.0 - 2.0 * i / n
    r = np.sqrt(np.maximum(0.0, 1.0 - z * z))
    phi = np.pi * (1.0 + 5.0 ** 0.5) * i
    return np.ascontiguousarray(np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=-1))


def box_points(vertices, n, seed=20240621, pad=0.05):
    """n random points, float64 (n, 3), uniform in the box of the vertices grown on every
    side by pad times its extent on that axis."""
    low, high = vertices.min(axis=0), vertices.max(axis=0)
    grow = pad * (high - low)
    rng = np.random.default_rng(seed)
    return np.ascontiguousarray(rng.uniform(low - grow, high + grow, (n, 3)))
