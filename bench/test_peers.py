"""Our answers against the peer libraries' on the benchmark's kinds of data, made small.

Optional: run with `pytest -m peers bench` in .venv-bench (make bench does); a peer that is
not installed skips its tests.
"""

import os
import subprocess

import inputs
import numpy as np
import numpy_cones
import peers
import pytest

import _zet_native as zn
import zet_native

pytestmark = pytest.mark.peers
ABS, REL, SIN = 1e-12, 1e-12, 1e-9


def need(module):
    if module == "open3d":
        peers.preload_libusb()  # Open3D's wheel links a libusb a bare system may lack
    pytest.importorskip(module)


def test_overlap_areas_equal_shapely():
    need("shapely")
    subject, clip = inputs.overlap_pairs(20_000)
    ours = np.frombuffer(zn.clipped_overlap_areas(subject, clip, 0.0), dtype=np.float64)
    _, _, theirs = peers.shapely_overlap(subject, clip)
    assert (ours > 0).sum() > 5000  # about half the pairs overlap
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-12)


@pytest.mark.parametrize("module, faces_of", [("pymeshlab", peers.pymeshlab_self_intersections),
                                              ("open3d", peers.open3d_self_intersections)])
def test_self_intersecting_faces_equal_peer(module, faces_of):
    need(module)
    v, t = inputs.crossing_tori(100, 40)
    tree = tuple(zet_native.build_tree(v, t, 4))
    status, _, intersecting, undecided, witnesses = zn.self_intersection_pairs(tree, 0.0, ABS, REL, SIN, 2**62, 1 << 20,
                                                                               4096, None)
    assert status == 0 and undecided == 0 and intersecting > 0
    ours = np.unique(np.frombuffer(witnesses, dtype=np.uint32)).astype(np.int64)
    np.testing.assert_array_equal(ours, np.unique(faces_of(v, t)[1]))


def path_contacts(sphere, torus, velocity, t_begin, t_end):
    trees = [tuple(zet_native.build_tree(*m, 4)) for m in (sphere, torus)]
    result = zn.bvh_path_query(*trees, velocity, t_begin, t_end, 1e-9, 0.0, ABS, REL, SIN, 2**62, 4096, None)
    return np.frombuffer(result[3], dtype=zet_native.CONTACT_DTYPE)


@pytest.mark.parametrize("solver", ["CCDC_POLYNOMIAL_SOLVER", "CCDC_CONSERVATIVE_ADVANCEMENT"])
def test_path_query_first_contact_no_later_than_fcl(solver):
    """python-fcl stops at a first contact it meets, which cannot come before our earliest:
    ours reports every contact along the path."""
    need("fcl")
    sphere = inputs.icosphere(12, 0.9, (-2.5, -0.2, 0.15))
    torus = inputs.wavy_torus(60, 40)
    velocity = np.array([5.0, 0.5, -0.3])
    fcl = peers.FclContinuous(sphere, torus)
    for t_begin, t_end in ((0.0, 0.3), (0.0, 1.0), (0.0, 0.04)):
        contacts = path_contacts(sphere, torus, velocity, t_begin, t_end)
        _, collide, t, _, _ = fcl.run(solver, velocity, t_begin, t_end)
        if not len(contacts):
            assert not collide
        elif collide:
            assert t >= contacts["enter"].min() - 1e-6


@pytest.mark.parametrize("make", [peers.CoalTriangleDistances, peers.FclTriangleDistances])
def test_triangle_distances_inside_our_brackets(make):
    need("coal" if make is peers.CoalTriangleDistances else "fcl")
    first, second = inputs.distance_pairs(3000)
    d = np.frombuffer(zn.triangle_distance_batch(first, second, 0.0, REL), dtype=zet_native.DISTANCE_DTYPE)
    theirs = make(first, second).run()[1]
    separate = theirs > 0
    assert separate.sum() > 2500
    assert np.all(d["lower"] <= d["upper"])
    assert np.all(theirs[separate] >= d["lower"][separate] - 1e-12)
    assert np.all(theirs[separate] <= d["upper"][separate] + 1e-12)


@pytest.mark.parametrize("gap", [0.02, 0.034])
def test_clearance_witnesses_are_violations_for_coal(gap):
    """Every witness position is below the clearance for coal too, and not above our upper
    bound; a path we prove clear is clear on coal's grid."""
    need("coal")
    import cases
    torus = (cases.tilt(inputs.wavy_torus(80, 40)[0]), inputs.wavy_torus(80, 40)[1])
    velocity = cases.tilt([0.0, 1.0, 0.0])[0]
    sphere = inputs.icosphere(14, 0.9, cases.tilt([1.3 + 0.9 + gap, -2.0, 0.05])[0])
    trees = [tuple(zet_native.build_tree(*m, 4)) for m in (sphere, torus)]
    _, pairs = zn.clearance_candidate_pairs(*trees, velocity, 4.0, 1e-9, 0.0, 0.02, 4096, None)
    pairs = np.frombuffer(pairs, dtype=np.uint32).reshape(-1, 2)
    _, _, _, unresolved, w = zn.clearance_pairs(*sphere, *torus, pairs, np.zeros(len(pairs)), velocity, 4.0, 0.02, 0.0,
                                                REL, 0.0, 10, 0, 2**62, 4096, None)
    w = np.frombuffer(w, dtype=zet_native.CLEARANCE_WITNESS_DTYPE)
    coal = peers.CoalMeshDistance(sphere, torus)
    if len(w):
        pick = np.linspace(0, len(w) - 1, min(64, len(w))).astype(np.int64)
        _, at = coal.run(w["t"][pick][:, None] * velocity)
        assert np.all(at < 0.02)
        assert np.all(at <= w["upper"][pick] + 1e-12)
    elif unresolved == 0:
        _, along = coal.run(((np.arange(1024) + 0.5) * 4.0 / 1024)[:, None] * velocity)
        assert along.min() >= 0.02


def ray_hits(v, t, origins, direction, length, epsilon):
    tree = zet_native.build_tree(v, t, 4)
    _, rays, tris, depths = zn.ray_tree_hits(origins, direction, length, epsilon, tree.node_min, tree.node_max,
                                             tree.node_meta, tree.order, v, t, np.ones(len(t), dtype=np.uint8), 4096, None)
    return (np.frombuffer(rays, dtype=np.int64), np.frombuffer(tris, dtype=np.int64), np.frombuffer(depths))


@pytest.mark.parametrize("module", ["open3d", "embreex"])
def test_ray_hits_agree_with_embree(module):
    """The same hits on all but a few rays: Embree is float32, so hits at shared edges, and
    at the origin vertex's own triangles, may fall on either side."""
    need(module)
    v, t = inputs.wavy_torus(120, 80)
    origins = np.ascontiguousarray(inputs.rotated(inputs.wavy_torus(200, 80)[0], "x", 30.0) + (0.9, 0.05, 0.02))
    direction = np.array([0.48, 0.36, 0.8]) / np.linalg.norm([0.48, 0.36, 0.8])
    span = float(np.linalg.norm(v.max(axis=0) - v.min(axis=0)))
    length, epsilon = 0.1 * span, 1e-6 * span
    rays, _, _ = ray_hits(v, t, origins, direction, length, epsilon)
    if module == "open3d":
        scene = peers.Open3DScene(v, t)
        theirs = scene.list_hits(scene.rays(origins, direction, epsilon), length, epsilon, 1)[3]
    else:
        theirs = peers.EmbreexRays(v, t).hits(origins, direction, length, epsilon)[3]
    ours_count = np.bincount(rays, minlength=len(origins))
    their_count = np.bincount(theirs, minlength=len(origins))
    assert ours_count.sum() > 1000
    assert np.count_nonzero(ours_count != their_count) <= max(2, len(origins) // 1000)


@pytest.mark.parametrize("module", ["open3d", "trimesh", "igl"])
def test_inside_outside_agrees(module):
    need(module)
    v, t = inputs.icosphere(12)
    points = inputs.box_points(v, 20_000)
    direction = np.array([0.3, 0.5, 0.81]) / np.linalg.norm([0.3, 0.5, 0.81])
    crossings, ambiguous = zn.ray_winding_batch(points, direction, *zet_native.winding_tree(zet_native.build_tree(v, t, 4)),
                                                1e-12, 1e-12)
    inside = np.frombuffer(crossings, dtype=np.int64) != 0
    clear = np.frombuffer(ambiguous, dtype=np.uint8) == 0
    if module == "open3d":
        scene = peers.Open3DScene(v, t)
        theirs = scene.occupancy(scene.points(points), 1)[2]
    elif module == "trimesh":
        theirs = peers.TrimeshContains(v, t).contains(points)[2]
    else:
        theirs = peers.igl_winding(v, t)[1](points)[2]
    assert 0.2 < inside.mean() < 0.8
    assert np.count_nonzero((inside != theirs) & clear) <= 2


def test_cone_functions_equal_numpy():
    moving, obstacle = numpy_cones.contact_pairs(3000, 20240701)
    epsilon = np.zeros(len(moving))
    ours = zn.pair_cones(moving, obstacle, epsilon, 1e-9, 1e-12)
    ref = numpy_cones.numpy_pair_cones(moving, obstacle, epsilon, 1e-9, 1e-12)
    assert ours[1] == ref[1]
    for k, (o, r) in enumerate(zip(ours, ref)):
        if k != 1:
            assert o == np.ascontiguousarray(r).astype(np.uint8 if r.dtype == bool else r.dtype).tobytes(), k
    groups = zet_native.pair_cone_groups(moving, obstacle, facet_tolerance=1e-12).groups
    free = np.flatnonzero(~groups.blocks_all)[:200]
    g = type(groups)(*[np.ascontiguousarray(a[free]) for a in groups])
    directions, selected = inputs.sphere_directions(300), np.arange(len(free), dtype=np.int64)
    margins = zn.cone_margins(directions, selected, *[np.ascontiguousarray(a) for a in g[:11]], 0.0)
    assert margins == numpy_cones.numpy_margins(directions, selected, g).tobytes()
    caps = zn.cone_cap_lower_bounds(directions, selected, g.cap_axes, g.cap_cos, g.blocks_all, g.shifts, np.array([0.01]),
                                    0.0)
    assert caps == numpy_cones.numpy_caps(directions, selected, g, 0.01, libm=True).tobytes()


def test_pair_batch_equals_native_kernel(tmp_path):
    """translation_triangle_ccd_batch gives the C++ benchmark's kernel results bit for bit."""
    binary = os.environ.get("ZET_CCD_KERNEL_BENCH")
    if not binary:
        pytest.skip("the C++ kernel benchmark is built and named by bench/run")
    subprocess.run([binary, "--pairs", "20000", "--passes", "1", "--dump", str(tmp_path)], check=True, capture_output=True)
    for name in ("translating", "static"):
        pairs = np.fromfile(tmp_path / f"{name}.pairs.f8").reshape(-1, 20)
        n = len(pairs)
        args = (np.ascontiguousarray(pairs[:, :9].reshape(n, 3, 3)), np.ascontiguousarray(pairs[:, 9:18].reshape(n, 3, 3)),
                np.fromfile(tmp_path / f"{name}.velocity.f8"), np.ascontiguousarray(pairs[:, 18:]), ABS, REL, SIN)
        ours = np.array(zn.translation_triangle_ccd_batch(*args), dtype=zet_native.CCD_RESULT_DTYPE)
        assert ours.tobytes() == np.fromfile(tmp_path / f"{name}.res", dtype=zet_native.CCD_RESULT_DTYPE).tobytes()


def test_disassembly_plan_equals_fcl_sampled_planner():
    need("fcl")
    import cases  # puts the examples (and their generated assemblies) on the path
    assemblies = cases.assemblies
    parts = assemblies.ALL["pinned-peg"]()
    assert isinstance(cases.fcl_planner({"parts": parts}), float)  # some spacing gives our plan and blockers
