"""Benchmark inputs: generated meshes, the optional OBJ meshes, and overlap pairs.

Everything is made here with numpy (no downloads); the OBJ meshes beside the repository
(``../shared/meshes``) are used only when present.
"""

import os
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
# The real meshes live outside the repository; a fresh clone may not have them.
MESH_DIR = Path(os.environ.get("ZET_BENCH_MESHES", REPO.parent / "shared" / "meshes"))


def wavy_torus(nu, nv):
    """A closed wavy torus of exactly 2 * nu * nv triangles, in grid order.

    The tube radius carries a ripple so that the surface is not a body of revolution and
    triangle boxes differ in size; vertices are float64 (n, 3), triangles uint32 (m, 3).
    """
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


# name -> (nu, nv): 2 * nu * nv triangles.
GENERATED = {
    "torus-10k": (100, 50),
    "torus-100k": (250, 200),
    "torus-1M": (1000, 500),
}


def read_obj(path):
    """Vertices and triangles of a Wavefront OBJ file.

    Reads ``v x y z`` and ``f a b c ...`` lines; face entries may be ``a/t`` or ``a/t/n``
    (only the part before the first slash counts), indices are 1-based or negative
    (relative to the end); polygons with more than three corners are fanned.
    """
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
    """n random nearby 2D triangle pairs, float64 (n, 3, 2) each.

    Each pair shares a centre drawn in [-10, 10]^2; the subject's corners lie within 1 of
    it, the clip triangle is shifted by up to 0.5 and has corners within 1 of its own
    centre. About half the pairs overlap; both windings occur.
    """
    rng = np.random.default_rng(seed)
    centre = rng.uniform(-10.0, 10.0, (n, 1, 2))
    subject = centre + rng.uniform(-1.0, 1.0, (n, 3, 2))
    clip = centre + rng.uniform(-0.5, 0.5, (n, 1, 2)) + rng.uniform(-1.0, 1.0, (n, 3, 2))
    return np.ascontiguousarray(subject), np.ascontiguousarray(clip)
