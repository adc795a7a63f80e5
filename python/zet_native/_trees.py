"""Triangle trees: the 7-tuple that every tree operation takes, and the tree forms of the ray
functions."""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _zet_native

from ._arrays import index_array, mask_array, real_array, selection, signed_array
from ._interrupt import ShouldCancel, keep_going


class TriangleTree(NamedTuple):
    """A mesh with its AABB tree: the 7-tuple that every tree operation takes.

    The arrays are the tree's own copies and read-only, so the tree cannot go stale: to move
    or edit a mesh, build a new tree."""

    vertices: np.ndarray  # float64 (n, 3)
    triangles: np.ndarray  # uint32 (m, 3), indices into vertices
    excluded: np.ndarray  # uint8 (m,), nonzero leaves the triangle out of every traversal
    node_min: np.ndarray  # float64 (k, 3), lower corner of each node's box
    node_max: np.ndarray  # float64 (k, 3), upper corner
    node_meta: np.ndarray  # int32 (k, 5): left, right (negative for a leaf), start, count, reserved
    order: np.ndarray  # uint32 (m,), triangles in leaf order


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


def mesh_arrays(vertices: Any, triangles: Any = None, name: str = "mesh") -> tuple[np.ndarray, np.ndarray]:
    """(vertices float64 (n, 3), triangles uint32 (m, 3)) of a mesh given as two array-likes or
    as one object with ``vertices`` and ``faces`` (trimesh's Trimesh, and anything shaped like
    it). Always copies, so the caller's later edits do not reach the result."""
    if triangles is None:
        if not (hasattr(vertices, "vertices") and hasattr(vertices, "faces")):
            raise TypeError(f"{name} must be (vertices, triangles) or an object with vertices and faces")
        vertices, triangles = vertices.vertices, vertices.faces
    points = np.array(real_array(vertices, "vertices", (-1, 3)), copy=True)
    faces = np.array(index_array(triangles, "triangles", (-1, 3), limit=len(points)), copy=True)
    return points, faces


def build_tree(vertices: Any, triangles: npt.ArrayLike | None = None, leaf_size: int = 4,
               excluded: npt.ArrayLike | None = None, should_cancel: ShouldCancel = keep_going, *,
               cancel_check_interval: int = 8192) -> TriangleTree:
    """Build the AABB tree of a mesh and return it as a ``TriangleTree``.

    ``vertices`` and ``triangles`` are array-likes of any real and any integer dtype (n x 3 and
    m x 3; every index at least 0 and below n), or ``vertices`` is one mesh object with
    ``vertices`` and ``faces`` (a trimesh ``Trimesh``) and ``triangles`` is omitted. The tree
    keeps copies of them. ``excluded`` is a per-triangle mask (bool or integer, nonzero leaves
    the triangle out of every traversal; none when omitted). ``leaf_size`` (1 to 64) bounds the
    triangles of a leaf. ``should_cancel`` is consulted every ``cancel_check_interval`` nodes
    made (once per wave of the parallel build); the default lets Ctrl-C stop a long build with
    KeyboardInterrupt, and a callable that returns true stops it with InterruptedError.
    """
    points, faces = mesh_arrays(vertices, triangles)
    mask = (np.zeros(len(faces), dtype=np.uint8) if excluded is None
            else mask_array(excluded, "excluded", len(faces)))
    node_min, node_max, node_meta, order = _zet_native.build_aabb_tree(
        points, faces, leaf_size, should_cancel, cancel_check_interval
    )
    return TriangleTree(
        _read_only(points), _read_only(faces), _read_only(mask),
        # A tree's arrays are read-only: its own arrays on the bytes made for it, no copies
        # (a million triangles' nodes are some 40 MB).
        np.frombuffer(node_min, np.float64).reshape(-1, 3),
        np.frombuffer(node_max, np.float64).reshape(-1, 3),
        np.frombuffer(node_meta, np.int32).reshape(-1, 5),
        np.frombuffer(order, np.uint32),
    )


_TREE_DTYPES = tuple(np.dtype(d) for d in (np.float64, np.uint32, np.uint8, np.float64, np.float64, np.int32, np.uint32))


def _exact(items: tuple[Any, ...], dtypes: tuple[np.dtype[Any], ...]) -> bool:
    """Whether every item is already a C-contiguous array of its dtype, as the native module
    takes it (shapes and values are its own checks)."""
    for item, dtype in zip(items, dtypes):
        if type(item) is not np.ndarray or item.dtype is not dtype or not item.flags.c_contiguous:
            return False
    return True


def tree_tuple(tree: Any, name: str) -> tuple[Any, ...]:
    """A tree argument as the 7-tuple the native module takes: a tree's own arrays as they are,
    anything else (lists, views, other dtypes) converted array by array."""
    try:
        items = tuple(tree)
    except TypeError:
        raise TypeError(f"{name} must be a TriangleTree or a 7-tuple of tree arrays") from None
    if len(items) != 7:
        raise TypeError(f"{name} must be a TriangleTree or a 7-tuple of tree arrays, got {len(items)} items")
    if _exact(items, _TREE_DTYPES):
        return items
    vertices, triangles, excluded, node_min, node_max, node_meta, order = items
    faces = index_array(triangles, f"{name}.triangles", (-1, 3))
    return (real_array(vertices, f"{name}.vertices", (-1, 3)), faces,
            mask_array(excluded, f"{name}.excluded", len(faces)),
            real_array(node_min, f"{name}.node_min", (-1, 3)), real_array(node_max, f"{name}.node_max", (-1, 3)),
            signed_array(node_meta, f"{name}.node_meta", (-1, 5), np.int32),
            index_array(order, f"{name}.order", (-1,)))


def usable_of(tree: tuple[Any, ...], usable: npt.ArrayLike | None) -> np.ndarray:
    """The per-triangle usable mask (uint8) of a ray function: the caller's, or the triangles
    that the tree's ``excluded`` mask keeps."""
    count = len(tree[1])
    if usable is None:
        return np.ascontiguousarray(np.asarray(tree[2]) == 0, dtype=np.uint8)
    return mask_array(usable, "usable", count)


class WindingTree(NamedTuple):
    """The eight arrays of a closed solid that ``winding`` takes.

    Node 0 is the root; an internal node has two children after it (``is_leaf`` 0), a leaf
    lists its triangles in its row of ``leaf_table`` padded with -1. Triangle ``t`` is
    ``triangle_vertices[t]`` (corners in order; the normal is (V1 - V0) x (V2 - V0)), and
    takes part when ``usable[t]`` is nonzero."""

    node_min: np.ndarray  # float64 (K, 3)
    node_max: np.ndarray  # float64 (K, 3)
    child_left: np.ndarray  # int64 (K,)
    child_right: np.ndarray  # int64 (K,)
    is_leaf: np.ndarray  # uint8 (K,)
    leaf_table: np.ndarray  # int64 (K, L), L the largest leaf's triangle count
    triangle_vertices: np.ndarray  # float64 (T, 3, 3)
    usable: np.ndarray  # uint8 (T,)


def winding_tree(tree: Any, usable: npt.ArrayLike | None = None) -> WindingTree:
    """The ``WindingTree`` of a tree (a ``TriangleTree`` or 7-tuple): the same nodes, each leaf's
    range of ``order`` as a row of ``leaf_table``, and the corners of every triangle.
    ``usable`` (bool or integer per triangle) defaults to the triangles that the tree's
    ``excluded`` mask keeps."""
    items = tree_tuple(tree, "tree")
    vertices, triangles, _, node_min, node_max, node_meta, order = items
    meta = np.asarray(node_meta, dtype=np.int32).reshape(-1, 5)
    order = np.asarray(order, dtype=np.int64)
    leaves = np.flatnonzero(meta[:, 0] < 0)
    starts, counts = meta[leaves, 2].astype(np.int64), meta[leaves, 3].astype(np.int64)
    width = int(counts.max(initial=0))
    slots = np.arange(width)
    # A slot past its leaf's count reads the -1 appended to the order: one gather, no masks.
    padded = np.concatenate([order, [-1]])
    at = np.where(slots[None, :] < counts[:, None], starts[:, None] + slots[None, :], len(order))
    leaf_table = np.full((len(meta), width), -1, dtype=np.int64)
    leaf_table[leaves] = padded.take(at)
    # take() gathers what indexing gives, several times sooner on rows of three.
    corners = np.asarray(vertices, dtype=np.float64).take(np.asarray(triangles, dtype=np.int64), axis=0)
    return WindingTree(
        np.ascontiguousarray(node_min, dtype=np.float64),
        np.ascontiguousarray(node_max, dtype=np.float64),
        meta[:, 0].astype(np.int64),
        meta[:, 1].astype(np.int64),
        np.ascontiguousarray(meta[:, 0] < 0, dtype=np.uint8),
        leaf_table,
        np.ascontiguousarray(corners.reshape(-1, 3, 3)),
        usable_of(items, usable),
    )


_WINDING_DTYPES = tuple(np.dtype(d) for d in (np.float64, np.float64, np.int64, np.int64, np.uint8, np.int64,
                                                np.float64, np.uint8))


def winding_tuple(solid: Any, name: str = "solid") -> tuple[Any, ...]:
    """A solid argument as the eight arrays the native module takes: a ``WindingTree``'s own
    arrays as they are, other arrays converted one by one, and a tree (a ``TriangleTree`` or
    7-tuple) made into its ``WindingTree``."""
    try:
        items = tuple(solid)
    except TypeError:
        raise TypeError(f"{name} must be a WindingTree or a TriangleTree") from None
    if len(items) == 7:
        return tuple(winding_tree(items))
    if len(items) != 8:
        raise TypeError(f"{name} must be a WindingTree (8 arrays) or a TriangleTree (7), got {len(items)} items")
    if _exact(items, _WINDING_DTYPES):
        return items
    node_min, node_max, left, right, is_leaf, leaf_table, corners, usable = items
    lo = real_array(node_min, f"{name}.node_min", (-1, 3))
    table = signed_array(leaf_table, f"{name}.leaf_table", (-1, -1), np.int64)
    triangles = real_array(corners, f"{name}.triangle_vertices", (-1, 3, 3))
    return (lo, real_array(node_max, f"{name}.node_max", (-1, 3)),
            signed_array(left, f"{name}.child_left", (-1,), np.int64),
            signed_array(right, f"{name}.child_right", (-1,), np.int64),
            mask_array(is_leaf, f"{name}.is_leaf", len(lo)), table, triangles,
            mask_array(usable, f"{name}.usable", len(triangles)))


RayMesh = tuple[Any, ...]


def ray_mesh(tree: Any, points: npt.ArrayLike | None = None, epsilon: float = 1e-9,
             usable: npt.ArrayLike | None = None) -> RayMesh:
    """The 11-tuple ray mesh that ``direction_scores`` takes, from a mesh and its tree (a
    ``TriangleTree`` or 7-tuple): (vertices, triangles, node_min, node_max, node_meta, order,
    usable, points, bounds_min, bounds_max, epsilon).

    ``points`` selects the vertices that shoot rays: integer indices, or a boolean mask over
    the vertices (all vertices when omitted). ``epsilon`` is the mesh's ray epsilon and box
    margin: a ray ignores crossings within epsilon of its origin, so that a vertex ray does not
    hit the faces around its own vertex. ``usable`` (bool or integer per triangle) defaults to
    the triangles that the tree's ``excluded`` mask keeps. The box spans the vertices (empty
    when there are none).
    """
    items = tree_tuple(tree, "tree")
    vertices = np.asarray(items[0])
    chosen = (np.arange(len(vertices), dtype=np.int64) if points is None
              else selection(points, "points", len(vertices)))
    if len(vertices):
        low, high = vertices.min(axis=0), vertices.max(axis=0)
    else:
        low, high = np.full(3, np.inf), np.full(3, -np.inf)
    return (items[0], items[1], items[3], items[4], items[5], items[6], usable_of(items, usable),
            chosen, np.ascontiguousarray(low, dtype=np.float64),
            np.ascontiguousarray(high, dtype=np.float64), float(epsilon))
