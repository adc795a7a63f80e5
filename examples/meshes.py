"""Meshes generated in code for the examples and benchmarks (no downloads)."""

import numpy as np


def torus(major_segments, minor_segments, major_radius=1.0, minor_radius=0.3, centre=(0.0, 0.0, 0.0)):
    """A closed torus around the z axis with 2 * major * minor triangles, outward facing."""
    u = np.arange(major_segments) * (2 * np.pi / major_segments)
    v = np.arange(minor_segments) * (2 * np.pi / minor_segments)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    ring = major_radius + minor_radius * np.cos(vv)
    vertices = np.stack([ring * np.cos(uu), ring * np.sin(uu), minor_radius * np.sin(vv)], -1).reshape(-1, 3)
    i = np.arange(major_segments)[:, None]
    j = np.arange(minor_segments)[None, :]
    a = i * minor_segments + j
    b = ((i + 1) % major_segments) * minor_segments + j
    c = ((i + 1) % major_segments) * minor_segments + (j + 1) % minor_segments
    d = i * minor_segments + (j + 1) % minor_segments
    triangles = np.stack([np.stack([a, b, c], -1), np.stack([a, c, d], -1)], 2).reshape(-1, 3)
    return vertices + np.asarray(centre), triangles.astype(np.uint32)


def sphere(segments, radius=1.0, centre=(0.0, 0.0, 0.0)):
    """A closed UV sphere with about 2 * segments^2 triangles, outward facing."""
    rings = max(segments // 2, 2)
    theta = np.arange(1, rings) * (np.pi / rings)
    phi = np.arange(segments) * (2 * np.pi / segments)
    tt, pp = np.meshgrid(theta, phi, indexing="ij")
    body = np.stack([np.sin(tt) * np.cos(pp), np.sin(tt) * np.sin(pp), np.cos(tt)], -1).reshape(-1, 3)
    vertices = np.vstack([[0.0, 0.0, 1.0], body, [0.0, 0.0, -1.0]]) * radius + np.asarray(centre)
    south = len(vertices) - 1
    ring = lambda r, k: 1 + r * segments + k % segments  # noqa: E731
    k = np.arange(segments)
    tris = [np.stack([np.zeros_like(k), ring(0, k), ring(0, k + 1)], -1)]
    for r in range(rings - 2):
        tris.append(np.stack([ring(r, k), ring(r + 1, k), ring(r + 1, k + 1)], -1))
        tris.append(np.stack([ring(r, k), ring(r + 1, k + 1), ring(r, k + 1)], -1))
    tris.append(np.stack([np.full_like(k, south), ring(rings - 2, k + 1), ring(rings - 2, k)], -1))
    return vertices, np.vstack(tris).astype(np.uint32)


def load_obj(path):
    """Vertices and triangles of a Wavefront OBJ file (faces fanned into triangles)."""
    vertices, triangles = [], []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if not parts:
                continue
            if parts[0] == "v":
                vertices.append([float(x) for x in parts[1:4]])
            elif parts[0] == "f":
                idx = [int(p.split("/")[0]) - 1 for p in parts[1:]]
                triangles.extend([idx[0], idx[i], idx[i + 1]] for i in range(1, len(idx) - 1))
    return np.asarray(vertices, dtype=np.float64), np.asarray(triangles, dtype=np.uint32)


def lattice_solid(xs, ys, zs, filled):
    """The closed, outward-facing surface of a union of boxes on one lattice.

    Cell (i, j, k) is the box [xs[i], xs[i + 1]] x [ys[j], ys[j + 1]] x [zs[k], zs[k + 1]];
    ``filled`` (bool, one entry per cell) says which cells are solid. Every cell face between a
    solid and an empty cell becomes two triangles. Since all faces sit on the same lattice,
    neighbouring faces share their vertices, so the surface is watertight without T-junctions
    (as long as no two solid cells meet along an edge alone). Unused lattice points are dropped.
    """
    axes = [np.asarray(a, dtype=np.float64) for a in (xs, ys, zs)]
    sizes = [len(a) for a in axes]
    solid = np.pad(np.asarray(filled, dtype=bool), 1)  # empty cells all around
    point = lambda i, j, k: (i * sizes[1] + j) * sizes[2] + k  # noqa: E731
    quads = []
    for axis in range(3):
        u, v = (axis + 1) % 3, (axis + 2) % 3  # cyclic, so u x v points along +axis
        # Lattice plane p along the axis lies between padded cells p and p + 1.
        lower = np.take(solid, np.arange(sizes[axis]), axis=axis)
        upper = np.take(solid, np.arange(1, sizes[axis] + 1), axis=axis)
        inner = [slice(1, -1)] * 3
        inner[axis] = slice(None)
        lower, upper = lower[tuple(inner)], upper[tuple(inner)]
        for normal_sign, faces in ((1, lower & ~upper), (-1, ~lower & upper)):
            idx = np.argwhere(faces)  # (plane, cell in the two other axes), in x, y, z order
            corners = []
            for du, dv in ((0, 0), (1, 0), (1, 1), (0, 1)):
                c = idx.copy()
                c[:, u] += du
                c[:, v] += dv
                corners.append(point(c[:, 0], c[:, 1], c[:, 2]))
            corners = np.stack(corners, 1)
            quads.append(corners if normal_sign > 0 else corners[:, ::-1])
    quads = np.vstack(quads)
    triangles = np.vstack([quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]])
    used, triangles = np.unique(triangles, return_inverse=True)
    grid = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    return grid[used], triangles.reshape(-1, 3).astype(np.uint32)
