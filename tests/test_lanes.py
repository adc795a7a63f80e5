"""The AVX2 and AVX-512F lane builds, each chosen by ZET_NATIVE_LANES in a process of its own, give the
scalar code's bytes on every lane kernel (remainders, NaN, cancellation, broken boxes); a missing build is
skipped."""

import functools
import json
import os
import subprocess
import sys

import pytest

import _zet_native

SCRIPT = """
import hashlib, json, sys, numpy as np
sys.path.insert(0, {tests!r})
import _zet_native as zn, zet_native
from support import sphere, torus
from test_rays_winding import DIRECTION, many_points
rng = np.random.default_rng(5)
sections = {{}}


def section(name):  # the list that collects what the named function returned
    return sections.setdefault(name, [])


out = section("ray_winding_batch")
v, t = sphere(24)
tree = zet_native.winding_tree(zet_native.build_tree(v, t, 3))
out.append(zn.ray_winding_batch(many_points(v, t, rng), np.array(DIRECTION), *tree, 1e-12, 1e-12))
for start in range(8):  # every remainder of lanes
    out.append(zn.ray_winding_batch(v[start:2 * start + 13], np.array(DIRECTION), *tree, 1e-12, 1e-12))

out = section("ray_tree_hits")
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
out = section("pair_cones and cone_groups")
for tolerance in (0.0, 1e-12, -1e-9):
    out.append(zn.pair_cones(moving, obstacle, epsilon, 1e-9, tolerance))
generators = rng.normal(size=(300, 9, 3))
generators[::3, :, 2] = 0.0  # flat groups, rank 2
generators[::11, 4] = np.nan
out.append(zn.cone_groups(generators, rng.random((300, 9)) < 0.8, 1e-9, 1e-12))
out = section("cone_margins")
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

out = section("direction_ray_scores")
ball = zet_native.ray_mesh(zet_native.build_tree(*sphere(12), 3))
ring = zet_native.ray_mesh(zet_native.build_tree(v * 0.8 + [0.3, 0.1, 0.0], t, 4))
directions = rng.normal(size=(40, 3))
directions[::9] = [0.0, 0.0, 1.0]
out.append(zn.direction_ray_scores(directions, 1.5, ball, (ring, ball)))

out = section("clipped_overlap_areas")
subject = rng.uniform(-1, 1, (1003, 3, 2))
clip = subject + rng.normal(0, 0.3, (1003, 3, 2))
clip[::50] = subject[::50]
clip[7::97, 1, 0] = np.nan
out += [zn.clipped_overlap_areas(subject, clip, tol) for tol in (0.0, 1e-3)]

out = section("collapsed walks on broken boxes")  # see test_rays_wide
from test_rays import args, make_tree
from test_rays_wide import KINDS, altered
from support import soup
boxes = np.random.default_rng(1)
v, t = soup(400, 5)
tree = make_tree(v, t, 3)
for kind in KINDS:
    lo, hi = altered(tree[2], tree[3], kind, boxes)
    origins = boxes.uniform(-11, 11, (900, 3))
    for d, eps in (((0.3, -0.5, 0.8), 0.01), ((0.0, 1.0, 0.0), -0.2)):
        out.append(zn.ray_tree_hits(*args(origins, d, 9.0, (*tree[:2], lo, hi, *tree[4:]), None, eps), 64, None))
wt = list(zet_native.winding_tree(zet_native.build_tree(*torus(30, 14), 4)))
for kind in KINDS:
    wt[0], wt[1] = altered(np.asarray(wt[0]), np.asarray(wt[1]), kind, boxes)
    out.append(zn.ray_winding_batch(boxes.uniform(-1.5, 1.5, (3001, 3)), np.array(DIRECTION), *wt, 1e-12, 1e-12))
digests = {{name: hashlib.sha256(repr(v).encode()).hexdigest() for name, v in sections.items()}}
print(json.dumps({{"build": zn.vector_build, "digests": digests}}))
"""

# ZET_NATIVE_LANES value -> the build it must select, and the processor feature it needs.
BUILDS = {"1": ("scalar", None), "4": ("4 lanes (AVX2)", "avx2"), "8": ("8 lanes (AVX-512F)", "avx512f")}


def processor_has(feature):
    try:
        with open("/proc/cpuinfo") as info:
            return any(line.startswith("flags") and feature in line.split() for line in info)
    except OSError:
        return False


@functools.cache
def run_build(lanes):
    """(build reported, digests per function) of the script in a process with ZET_NATIVE_LANES."""
    env = dict(os.environ, ZET_NATIVE_LANES=lanes)
    code = SCRIPT.format(tests=os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    report = json.loads(out.stdout)
    return report["build"], report["digests"]


@pytest.mark.parametrize("lanes", ["4", "8"])
def test_lane_build_gives_the_scalar_bits(lanes):
    expected_build, feature = BUILDS[lanes]
    if not processor_has(feature):
        pytest.skip(f"this processor has no {feature.upper()}: the {expected_build} build cannot run")
    scalar_build, scalar = run_build("1")
    assert scalar_build == "scalar"
    build, digests = run_build(lanes)
    if build == "scalar" and _zet_native.vector_build == "scalar":
        pytest.skip("the module was built without lane builds")
    # ZET_NATIVE_LANES=4 caps the width at 4; unset, the widest build runs (8 where it exists).
    assert build == expected_build
    differing = [name for name in scalar if digests.get(name) != scalar[name]]
    assert not differing, f"the {build} build differs from the scalar code in: {', '.join(differing)}"
