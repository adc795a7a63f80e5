"""A quick rating of candidate directions by vertex rays, before the exact path checks.

Along a direction u, rays from the part's vertices (along u) and from each obstacle's vertices
(against u) show whether a vertex of one runs into the other while the part moves: a hit
blocks the direction, and its depth is how far the part gets first. Rays miss edge-on-edge
meetings, so a direction they pass still goes to the path query; one they block does not
need it.
"""

from typing import NamedTuple

import numpy as np

import zet_native

EPSILON = 1e-9  # rays start on the surface: ignore crossings this close to the origin


class FirstHit(NamedTuple):
    rays: int  # rays that hit (vertex rays of the part and of the obstacle together)
    depth: float  # shortest travel before a vertex meets the other mesh (inf without a hit)


def blocking_obstacles(candidates, length, part, obstacles):
    """bool (k, obstacles): whether any vertex ray along (or against) each candidate direction
    runs inside each obstacle within the given travel, and float64 (k,): the total ray length
    inside, over the obstacles. One scoring call per obstacle says which obstacle it is."""
    moving = zet_native.ray_mesh(part, epsilon=EPSILON)
    hit, inside = [], np.zeros(len(candidates))
    for tree in obstacles.values():
        counts, scores = zet_native.direction_scores(candidates, length, moving,
                                                     (zet_native.ray_mesh(tree, epsilon=EPSILON),))
        hit.append(counts > 0)
        inside += scores
    return np.stack(hit, axis=1), inside


def first_hits(direction, length, part, obstacles):
    """Per obstacle, the vertex rays along one direction that hit, and the shortest travel."""
    direction = np.asarray(direction, dtype=np.float64)
    found = {}
    for name, tree in obstacles.items():
        ahead = zet_native.ray_hits(part.vertices, direction, length, tree, epsilon=EPSILON)
        behind = zet_native.ray_hits(tree.vertices, -direction, length, part, epsilon=EPSILON)
        depths = np.concatenate([ahead.depths, behind.depths])
        rays = len(np.unique(ahead.rays)) + len(np.unique(behind.rays))
        found[name] = FirstHit(rays, float(depths.min()) if len(depths) else np.inf)
    return found
