"""The part's seat: the triangle pairs that touch before it moves, the area of its face-to-face
contacts, and the cones of translation directions those pairs block.

A pair's cone holds the directions u for which the part's triangle, moved by t u for some
t > 0, meets the obstacle's triangle: the cone spanned by the obstacle-minus-part vertex
differences. For touching pairs that is the set of directions the contact forbids; a direction
outside every cone can start moving, and its margin says by how much.
"""

from typing import NamedTuple

import numpy as np

import zet_native

FACET_TOLERANCE = 1e-12  # lattice meshes give exactly coplanar generators; see blocked_cones


class Seat(NamedTuple):
    pairs: dict  # obstacle name -> uint32 (p, 2): (part triangle, obstacle triangle)
    groups: zet_native.ConeGroups  # one cone group per pair that makes one
    owners: np.ndarray  # int64 (G,): index (in obstacle order) of each group's obstacle


def seat_pairs(part, obstacles, clearance):
    """Per obstacle tree, the triangle pairs whose boxes are within clearance of each other
    with the part at rest (zero velocity, zero path length)."""
    pairs = {}
    for name, obstacle in obstacles.items():
        status, found = zet_native.clearance_candidates(part, obstacle, np.zeros(3), 0.0, clearance)
        if status != 0:
            raise RuntimeError(f"listing the seat pairs with the {name} stopped with status {status}")
        pairs[name] = found
    return pairs


def corners(tree, triangles):
    return tree.vertices[tree.triangles[triangles]]


def unit_normals(corners):
    n = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    return n / np.linalg.norm(n, axis=1, keepdims=True)


def face_contact_areas(part, obstacle, pairs, clearance):
    """Area of face-to-face contact per outward normal of the part's faces: the pairs whose
    triangles face each other (opposite normals) in planes at most clearance apart, each pair's
    overlap measured in the part triangle's plane. The part's triangles tile its faces and the
    obstacle's tile its own, so the overlaps add up to the area where the faces meet."""
    a, b = corners(part, pairs[:, 0]), corners(obstacle, pairs[:, 1])
    na, nb = unit_normals(a), unit_normals(b)
    gap = np.abs(np.einsum("ij,ij->i", b[:, 0] - a[:, 0], na))
    facing = (np.einsum("ij,ij->i", na, nb) < -1 + 1e-9) & (gap <= clearance)
    a, b, na = a[facing], b[facing], na[facing]
    # An orthonormal basis (e1, e2) of each part triangle's plane.
    e1 = (a[:, 1] - a[:, 0]) / np.linalg.norm(a[:, 1] - a[:, 0], axis=1, keepdims=True)
    e2 = np.cross(na, e1)
    flat = lambda c: np.stack([np.einsum("nkj,nj->nk", c, e1), np.einsum("nkj,nj->nk", c, e2)], -1)  # noqa: E731
    areas = zet_native.overlap_areas(np.ascontiguousarray(flat(a)), np.ascontiguousarray(flat(b)))
    keys = np.round(na, 3) + 0.0  # + 0.0 turns -0.0 into 0.0
    faces = {}
    for key, area in zip(map(tuple, keys), areas):
        faces[key] = faces.get(key, 0.0) + area
    return {key: area for key, area in faces.items() if area > 0}


def blocked_cones(part, obstacles, pairs):
    """The cone groups (with their wedges) of the seat pairs, in obstacle order.

    A pair whose generators lie in a plane through the origin up to rounding, as the
    vertex differences of axis-aligned faces do, has its facets found only with a small positive
    facet tolerance: at 0.0 a rounding error of 1e-17 on the wrong side rejects every facet, and
    a group without facets is taken to block every direction."""
    names = list(obstacles)
    moving = np.concatenate([corners(part, pairs[n][:, 0]) for n in names])
    fixed = np.concatenate([corners(obstacles[n], pairs[n][:, 1]) for n in names])
    owner_of_pair = np.concatenate([np.full(len(pairs[n]), i) for i, n in enumerate(names)])
    made = zet_native.pair_cone_groups(moving, fixed, facet_tolerance=FACET_TOLERANCE)
    return Seat(pairs, made.groups, owner_of_pair[made.has_group])
