"""numpy views of the results of the ``_zet_native`` extension.

Every function here calls one module function and reinterprets its packed ``bytes``
results as numpy arrays; the argument rules and messages are the extension's own.
"""

from typing import NamedTuple

import numpy as np

import _zet_native

from _zet_native import enter_stage, leave_stage, set_thread_limit, thread_limit

__all__ = [
    "NODE_META_DTYPE",
    "TriangleTree",
    "build_tree",
    "enter_stage",
    "leave_stage",
    "overlap_areas",
    "set_thread_limit",
    "thread_limit",
]

# One row of node_meta: left child (negative for a leaf), right child, leaf start in
# order, triangle count, reserved.
NODE_META_DTYPE = np.dtype(
    [("left", "=i4"), ("right", "=i4"), ("start", "=i4"), ("count", "=i4"), ("reserved", "=i4")]
)


class TriangleTree(NamedTuple):
    """A mesh with its tree: the 7-tuple that every tree operation takes."""

    vertices: np.ndarray
    triangles: np.ndarray
    excluded: np.ndarray
    node_min: np.ndarray
    node_max: np.ndarray
    node_meta: np.ndarray
    order: np.ndarray


def build_tree(vertices, triangles, leaf_size=4, excluded=None, should_cancel=None, *,
               cancel_check_interval=1024):
    """Build the AABB tree of a mesh and return it as a ``TriangleTree``.

    ``excluded`` is the per-triangle exclusion mask of the tree argument (all zero when
    omitted).
    """
    node_min, node_max, node_meta, order = _zet_native.build_aabb_tree(
        vertices, triangles, leaf_size, should_cancel, cancel_check_interval
    )
    triangles = np.asarray(triangles)
    if excluded is None:
        excluded = np.zeros(len(triangles), dtype=np.uint8)
    return TriangleTree(
        np.asarray(vertices),
        triangles,
        np.asarray(excluded),
        np.frombuffer(node_min, dtype=np.float64).reshape(-1, 3),
        np.frombuffer(node_max, dtype=np.float64).reshape(-1, 3),
        np.frombuffer(node_meta, dtype=np.int32).reshape(-1, 5),
        np.frombuffer(order, dtype=np.uint32),
    )


def overlap_areas(subject, clip, tolerance=0.0):
    """Overlap area of each planar triangle pair, as a float64 array."""
    return np.frombuffer(_zet_native.clipped_overlap_areas(subject, clip, tolerance), dtype=np.float64)
