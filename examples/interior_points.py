"""Test points inside the part, and which of them lie inside an obstacle at a given position.

The points are found with the part's own winding numbers (any closed mesh works, not only a
box): lattice points of its bounding box whose ray crosses its surface once more against the
normals than along them. Moved with the part and tested against each obstacle's solid, they
show whether the part sits in the material or in the free space around it.
"""

import numpy as np

import zet_native

# A ray direction that runs along no lattice line or face of the generated meshes, so rays
# from lattice points seldom graze an edge (those rays are ambiguous and are left out).
RAY = np.array([0.2718, 0.3141, 0.9093])


def interior_points(part, per_axis=7):
    """Points strictly inside the part (a tree): a per_axis^3 lattice of its box, inset by half a
    spacing, kept where the winding number says inside and the ray was not ambiguous."""
    low, high = part.vertices.min(axis=0), part.vertices.max(axis=0)
    fractions = (np.arange(per_axis) + 0.5) / per_axis
    axes = [low[k] + (high[k] - low[k]) * fractions for k in range(3)]
    points = np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3)
    crossings, ambiguous = zet_native.winding(points, RAY, zet_native.winding_tree(part))
    return points[(crossings != 0) & ~ambiguous]


def inside_counts(points, solids):
    """Per obstacle (name -> WindingTree), how many points lie inside it, and how many rays were
    ambiguous (those count as neither)."""
    counts = {}
    for name, solid in solids.items():
        crossings, ambiguous = zet_native.winding(points, RAY, solid)
        counts[name] = (int(np.count_nonzero((crossings != 0) & ~ambiguous)), int(ambiguous.sum()))
    return counts
