"""The vector builds that the processor selects (8 or 4 lanes) against the scalar code,
which ZET_NATIVE_LANES=1 selects: overlap areas, winding, ray hits, direction scores, cone
groups and cone margins byte for byte, with every remainder of lanes, NaN input, ambiguous points, whole-space and facet-only
groups, and cancellation inside a run."""

import os
import subprocess
import sys

SCRIPT = """
import hashlib, sys, numpy as np
sys.path.insert(0, {tests!r})
import _zet_native as zn, zet_native
from support import sphere, torus
from test_rays_winding import DIRECTION, many_points
rng = np.random.default_rng(5)
out = []

v, t = sphere(24)
tree = zet_native.winding_tree(zet_native.build_tree(v, t, 3))
out.append(zn.ray_winding_batch(many_points(v, t, rng), np.array(DIRECTION), *tree, 1e-12, 1e-12))
for start in range(8):  # every remainder of lanes
    out.append(zn.ray_winding_batch(v[start:2 * start + 13], np.array(DIRECTION), *tree, 1e-12, 1e-12))

v, t = torus(40, 20)
tree = zet_native.build_tree(v, t, 4)
usable = (np.arange(len(t)) % 7 != 0).astype(np.uint8)
origins = np.vstack([v, v[t].mean(1)[::5], [[np.nan, 0, 0], [0, np.inf, 0]]])
for direction in ([0.48, 0.36, 0.8], [0.0, 1.0, 0.0], [0.0, 0.0, 0.0]):
    for interval, stop in ((5, 3), (4096, 99), (1, 0)):
        asked = []
        def cancel():
            asked.append(1)
            return len(asked) > stop
        out.append(zn.ray_tree_hits(origins, np.array(direction), 0.4, 1e-6, tree.node_min, tree.node_max,
                                     tree.node_meta, tree.order, v, t, usable, interval, cancel))
        out.append(len(asked))

moving = rng.normal(size=(300, 3, 3))
obstacle = moving + rng.normal(size=(300, 1, 3)) * 0.3 + rng.normal(size=(300, 3, 3)) * 0.1
moving[::37, 1] = obstacle[::37, 2]  # a zero-length generator
moving[5::61, 0, 1] = np.nan
epsilon = np.where(np.arange(300) % 7 == 0, 0.5, 0.0)
for tolerance in (0.0, 1e-12, -1e-9):
    out.append(zn.pair_cones(moving, obstacle, epsilon, 1e-9, tolerance))
generators = rng.normal(size=(300, 9, 3))
generators[::3, :, 2] = 0.0  # flat groups, rank 2
generators[::11, 4] = np.nan
out.append(zn.cone_groups(generators, rng.random((300, 9)) < 0.8, 1e-9, 1e-12))
kinds = (np.arange(300) % 5 == 0).astype(np.int8)
for tolerance in (0.0, 1e-12):
    g = zet_native.pair_cone_groups(moving, obstacle, facet_tolerance=tolerance, kinds=kinds[:1].repeat(300),
                                    shifts=0.01).groups
    n = len(g.kinds)
    g = g._replace(kinds=kinds[:n].copy())
    directions = rng.normal(size=(203, 3))
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    directions[::41] = np.nan
    selected = np.r_[np.arange(n), np.arange(n)[::-3]]
    out.append(zn.cone_margins(directions, selected, *[np.ascontiguousarray(a) for a in g[:11]], 0.25))

ball = zet_native.ray_mesh(zet_native.build_tree(*sphere(12), 3))
ring = zet_native.ray_mesh(zet_native.build_tree(v * 0.8 + [0.3, 0.1, 0.0], t, 4))
directions = rng.normal(size=(40, 3))
directions[::9] = [0.0, 0.0, 1.0]
out.append(zn.direction_ray_scores(directions, 1.5, ball, (ring, ball)))

subject = rng.uniform(-1, 1, (1003, 3, 2))
clip = subject + rng.normal(0, 0.3, (1003, 3, 2))
clip[::50] = subject[::50]
clip[7::97, 1, 0] = np.nan
out += [zn.clipped_overlap_areas(subject, clip, tol) for tol in (0.0, 1e-3)]
print(hashlib.sha256(repr(out).encode()).hexdigest())
"""


def test_lane_builds_give_the_scalar_bits():
    digests = set()
    for lanes in ("1", "4", "8"):
        env = dict(os.environ, ZET_NATIVE_LANES=lanes)
        code = SCRIPT.format(tests=os.path.dirname(__file__))
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1
