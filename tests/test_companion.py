"""The companion package: what callers pass is converted once and refused clearly, results are
writable and named, defaults do not let rounding decide, and slices join to one call's bytes."""

import math

import numpy as np
import pytest
from support import assert_same_bits, sphere, torus

import _zet_native as zn
import zet_native
import zet_native._arrays
import zet_native._cones as cones_module
import zet_native._paths as paths_module
import zet_native._rays as rays_module


def strict_tree(vertices, triangles, leaf_size=4):
    """The tree built by the module itself from exact arrays."""
    return zn.build_aabb_tree(np.ascontiguousarray(vertices, np.float64),
                              np.ascontiguousarray(triangles, np.uint32), leaf_size, None, 1024)


@pytest.fixture(scope="module")
def ball():
    return sphere(12, 0.5, (0.0, 0.0, 0.0))


class MeshLike:
    def __init__(self, vertices, faces):
        self.vertices, self.faces = vertices, faces


def accepted_meshes(v, t):
    """The same mesh in every form a caller may pass it."""
    fortran = np.asfortranarray(v)
    wide = np.zeros((len(v), 6))
    wide[:, ::2] = v
    return {
        "int64 faces": (v, t.astype(np.int64)),
        "int32 faces": (v, t.astype(np.int32)),
        "uint16 faces": (v, t.astype(np.uint16)),
        "float32 vertices": (v.astype(np.float32).astype(np.float64), t),
        "Fortran order": (fortran, np.asfortranarray(t.astype(np.int64))),
        "strided view": (wide[:, ::2], t[:, :]),
        "lists": (v.tolist(), t.tolist()),
        "tuples": (tuple(map(tuple, v.tolist())), tuple(map(tuple, t.tolist()))),
        "big-endian": (v.astype(">f8"), t.astype(">i8")),
    }


def test_build_tree_takes_what_people_pass(ball):
    v, t = ball
    expected = strict_tree(v, t)
    for kind, (vertices, triangles) in accepted_meshes(v, t).items():
        tree = zet_native.build_tree(vertices, triangles)
        got = (tree.node_min.tobytes(), tree.node_max.tobytes(), tree.node_meta.tobytes(), tree.order.tobytes())
        if kind == "float32 vertices":  # rounded once by the caller: still a valid, converted tree
            assert tree.vertices.dtype == np.float64
            continue
        assert got == expected, kind
        assert tree.vertices.dtype == np.float64 and tree.triangles.dtype == np.uint32, kind
    # One object with vertices and faces, as trimesh gives.
    tree = zet_native.build_tree(MeshLike(v, t.astype(np.int64)))
    assert tree.order.tobytes() == expected[3]
    # float32 vertices are widened exactly.
    v32 = v.astype(np.float32)
    assert zet_native.build_tree(v32, t).vertices.tobytes() == v32.astype(np.float64).tobytes()


def test_build_tree_from_trimesh():
    trimesh = pytest.importorskip("trimesh")
    mesh = trimesh.creation.icosphere(subdivisions=2)
    tree = zet_native.build_tree(mesh)
    assert tree.order.tobytes() == strict_tree(mesh.vertices, mesh.faces)[3]


I64 = np.int64


@pytest.mark.parametrize("vertices, triangles, excluded, error, message", [
    (np.eye(3), np.array([[0, 1, 2], [1, 2, -1]], I64), None, ValueError, "^triangles row 1 holds "),  # negative
    (np.eye(3), np.array([[0, 1, 2], [0, 1, 2], [2**32, 0, 1]], I64), None, ValueError, "^triangles row 2 holds "),
    (np.eye(3), np.array([[0, 1, 3]], I64), None, ValueError, "^triangles row 0 holds "),  # past the last vertex
    (np.eye(3), np.array([[0.0, 1.0, 2.0]]), None, ValueError, "triangles must hold integers"),
    (np.eye(3, dtype=bool), [[0, 1, 2]], None, ValueError, "vertices must hold real numbers"),
    (np.eye(3) * 1j, [[0, 1, 2]], None, ValueError, "vertices must hold real numbers"),
    (np.ones((3, 2)), [[0, 1, 2]], None, ValueError, r"vertices must have shape \(n, 3\)"),
    (np.eye(3), [0, 1, 2], None, ValueError, r"triangles must have shape \(n, 3\)"),
    ([[0, 0, 0], [1, 0]], [[0, 1, 2]], None, ValueError, "vertices must be an array of numbers"),
    (np.eye(3), [[0, 1, 2]], np.zeros(2, bool), ValueError, "excluded must have shape"),
    (object(), None, None, TypeError, "vertices and faces"),
])
def test_bad_meshes_are_refused(vertices, triangles, excluded, error, message):
    with pytest.raises(error, match=message):
        zet_native.build_tree(vertices, triangles, excluded=excluded)


def test_excluded_as_integers(ball):
    v, t = ball
    tree = zet_native.build_tree(v, t, excluded=np.arange(len(t)) % 3)
    assert tree.excluded.tolist() == (np.arange(len(t)) % 3 != 0).astype(np.uint8).tolist()


def test_tree_cannot_go_stale(ball):
    v, t = ball
    v, t = v.copy(), t.copy()
    tree = zet_native.build_tree(v, t)
    before = [a.tobytes() for a in tree]
    v += 100.0  # the caller edits its arrays in place afterwards
    t[:] = t[::-1]
    assert [a.tobytes() for a in tree] == before
    for array in tree:  # and the tree's own arrays cannot be edited
        with pytest.raises(ValueError, match="read-only"):
            array[...] = 0
    # Queries still see the mesh as it was built: nothing touches the ball 5 units away.
    other = zet_native.build_tree(v - 100.0 + (5.0, 0.0, 0.0), t)
    assert len(zet_native.path_query(tree, other, (1.0, 0.0, 0.0), 0.0, 1.0).contacts) == 0


def test_path_query_results_are_named_and_writable(ball):
    v, t = ball
    moving = zet_native.build_tree(v, t)
    wall_v = np.array([[2.0, -2, -2], [2, 2, -2], [2, 0, 3]], dtype=np.float32)  # a plane x = 2
    wall = zet_native.build_tree(wall_v, [[0, 1, 2]])
    result = zet_native.path_query(moving, wall, [1, 0, 0], 0.0, 3.0)
    assert result.status is zet_native.SearchStatus.COMPLETE and not result.cancelled
    # The sphere's rightmost vertex is at x = 0.5 (a polyhedron inscribed in the ball): it
    # touches the plane after 1.5 units, within the contact tolerance.
    rightmost = float(v[:, 0].max())
    assert math.isclose(result.first_contact, 2.0 - rightmost, abs_tol=1e-9)
    assert math.isclose(result.first_strict_contact, 2.0 - rightmost, abs_tol=1e-9)
    result.contacts["enter"] += 1.0  # writable
    far = zet_native.path_query(moving, wall, (-1.0, 0.0, 0.0), 0.0, 3.0)
    assert far.first_contact == math.inf and far.first_strict_contact == math.inf


def test_velocities_as_people_pass_them(ball):
    v, t = ball
    tree = zet_native.build_tree(v, t)
    other = zet_native.build_tree(v + (1.2, 0, 0), t)
    expected = zet_native.path_query(tree, other, np.array([1.0, 0.0, 0.0]), 0.0, 1.0).contacts.tobytes()
    for velocity in ([1, 0, 0], (1.0, 0.0, 0.0), np.array([1, 0, 0], np.int8), np.array([[1.0, 0.0, 0.0]])[0]):
        assert zet_native.path_query(tree, other, velocity, 0.0, 1.0).contacts.tobytes() == expected
    with pytest.raises(ValueError, match=r"velocity must have shape \(3,\)"):
        zet_native.path_query(tree, other, [1.0, 0.0], 0.0, 1.0)
    with pytest.raises(ValueError, match="velocity must be finite"):
        zet_native.path_query(tree, other, [math.nan, 0.0, 0.0], 0.0, 1.0)
    with pytest.raises(TypeError, match="7-tuple"):
        zet_native.path_query(tree[:6], other, [1, 0, 0], 0.0, 1.0)


def test_every_cancelled_result_says_so(ball):
    v, t = ball
    tree = zet_native.build_tree(v, t, leaf_size=1)
    other = zet_native.build_tree(v + (0.3, 0, 0), t, leaf_size=1)
    stop = lambda: True  # noqa: E731
    query = zet_native.path_query(tree, other, (1, 0, 0), 0.0, 1.0, cancel_interval=1, should_cancel=stop)
    listed = zet_native.clearance_candidates(tree, other, (1, 0, 0), 1.0, 0.1, cancel_interval=1,
                                             should_cancel=stop)
    pairs = zet_native.clearance_candidates(tree, other, (1, 0, 0), 1.0, 0.1).pairs
    search = zet_native.clearance_search(tree, other, pairs, (1, 0, 0), 1.0, 0.1, cancel_interval=1,
                                         should_cancel=stop)
    report = zet_native.check_clearance(tree, [other], (1, 0, 0), 1.0, 0.1, cancel_interval=1, should_cancel=stop)
    selfs = zet_native.self_intersections(tree, cancel_interval=1, should_cancel=stop)
    hits = zet_native.ray_hits(v, (1, 0, 0), 1.0, other, cancel_check_interval=1, should_cancel=stop)
    for result in (query, listed, search, report, selfs, hits):
        assert result.cancelled is True, type(result).__name__
    assert search.status == zet_native.SearchStatus.SEARCH_CANCELLED == 4
    assert query.status == listed.status == selfs.status == zet_native.SearchStatus.CANCELLED == 2
    assert not report.clear


def test_boolean_masks_are_masks(ball):
    rng = np.random.default_rng(3)
    moving = rng.normal(size=(40, 3, 3))
    obstacle = moving + 1.0 + rng.normal(size=(40, 3, 3)) * 0.2
    groups = zet_native.pair_cone_groups(moving, obstacle).groups
    count = len(groups.kinds)
    directions = rng.normal(size=(30, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    mask = np.arange(count) % 3 == 1
    by_mask = zet_native.margins(directions, mask, groups)
    by_index = zet_native.margins(directions, np.flatnonzero(mask).astype(np.uint8), groups)
    assert by_mask.shape == (30, mask.sum()) and by_mask.tobytes() == by_index.tobytes()
    assert zet_native.cap_bounds(directions, mask, groups, 0.1).tobytes() == \
        zet_native.cap_bounds(directions, list(np.flatnonzero(mask)), groups, 0.1).tobytes()
    # Points of a ray mesh: a mask over the vertices.
    v, t = ball
    tree = zet_native.build_tree(v, t)
    chosen = v[:, 2] > 0
    assert zet_native.ray_mesh(tree, chosen)[7].tolist() == np.flatnonzero(chosen).tolist()
    # A mask of another length is refused, not read as far as it goes.
    for short in (chosen[:-1], np.r_[chosen, True]):
        with pytest.raises(ValueError, match="points must have shape"):
            zet_native.ray_mesh(tree, short)
    with pytest.raises(ValueError, match="selected must have shape"):
        zet_native.margins(directions, mask[1:], groups)
    # Usable triangles: any nonzero integer counts, as does True.
    hits = zet_native.ray_hits(v * 0.1, (1, 0, 0), 2.0, tree, usable=np.arange(len(t)) % 2 * 7)
    assert np.all(hits.triangles % 2 == 1)



def test_trees_and_solids_as_people_pass_them(ball):
    """A tree or winding tree of lists, views or other dtypes works as the tree itself does; a
    tree passed where a solid goes is made into one; empty lists are no rows."""
    v, t = ball
    tree = zet_native.build_tree(v, t)
    solid = zet_native.winding_tree(tree)
    points = np.random.default_rng(4).uniform(-0.6, 0.6, (300, 3))
    expected = zet_native.winding(points, (0.3, 0.2, 0.9), solid)
    for given in (tree, [a.tolist() for a in solid], [np.asfortranarray(a) for a in solid],
                  [a.astype(np.int32) if a.dtype == np.int64 else a.astype(bool) if a.dtype == np.uint8 else a
                   for a in solid]):
        got = zet_native.winding(points, (0.3, 0.2, 0.9), given)
        assert got[0].tobytes() == expected[0].tobytes() and got[1].tobytes() == expected[1].tobytes()
    hits = zet_native.ray_hits(points, (1, 0, 0), 2.0, tree)
    listed = zet_native.ray_hits(points, (1, 0, 0), 2.0, [np.asarray(a).tolist() for a in tree])
    assert listed.triangles.tobytes() == hits.triangles.tobytes() and listed.depths.tobytes() == hits.depths.tobytes()
    with pytest.raises(ValueError, match="tree.node_meta must hold integers"):
        zet_native.ray_hits(points, (1, 0, 0), 2.0, [*tree[:5], tree.node_meta.astype(float), tree.order])
    with pytest.raises(ValueError, match="solid.child_left holds values outside"):
        zet_native.winding(points, (1, 0, 0), [*solid[:2], solid.child_left.astype(np.uint64) + 2**63, *solid[3:]])
    with pytest.raises(TypeError, match="solid must be a WindingTree"):
        zet_native.winding(points, (1, 0, 0), solid[:5])
    # Empty lists: no points, no origins, no directions.
    assert [len(r) for r in zet_native.winding([], (1, 0, 0), solid)] == [0, 0]
    assert len(zet_native.ray_hits([], (1, 0, 0), 1.0, tree).rays) == 0
    assert [len(r) for r in zet_native.direction_scores([], 1.0, zet_native.ray_mesh(tree), [])] == [0, 0]

def separated_pairs(rng, n, scale):
    """Triangle pairs on two sides of a random plane through the origin (gaps from 0 to 1e-3),
    and that plane's normal, which certifies that the pair's cone of blocked directions is
    pointed: every vertex difference (obstacle minus moving) has a positive component along it."""
    moving = rng.uniform(-1, 1, (n, 3, 3))
    obstacle = rng.uniform(-1, 1, (n, 3, 3))
    moving[..., 2] = -rng.uniform(0, 1, (n, 3)) - rng.uniform(0, 1e-3, (n, 1))
    obstacle[..., 2] = rng.uniform(0, 1, (n, 3)) + rng.uniform(1e-9, 1e-3, (n, 1))
    rotation, _ = np.linalg.qr(rng.normal(size=(n, 3, 3)))
    normals = rotation[:, 2, :]  # the image of +z under x -> x @ rotation
    return moving @ rotation * scale, obstacle @ rotation * scale, normals


@pytest.mark.parametrize("scale", [1.0, 10.0, 1e-3, 1e5])
def test_pointed_cones_never_block_everything(scale):
    rng = np.random.default_rng(11)
    moving, obstacle, normals = separated_pairs(rng, 3000, scale)
    differences = obstacle[:, None, :, :] - moving[:, :, None, :]
    assert np.all(np.einsum("nijk,nk->nij", differences, normals) > 0)  # the certificate holds
    has, groups = zet_native.pair_cone_groups(moving, obstacle)
    assert has.all() and not groups.blocks_all.any()
    # Every facet found is a true supporting plane: no generator lies beyond it by more than
    # the facet tolerance, and the certified free direction -normal is outside every cone.
    live = groups.generators * groups.generator_mask[..., None]
    beyond = np.einsum("gfk,gik->gfi", groups.facets, live)
    assert np.all(beyond[groups.facet_mask] <= zet_native.FACET_TOLERANCE)
    for k in range(0, len(normals), 97):
        assert zet_native.margins(-normals[k], [k], groups)[0, 0] > 0
    # The raw module with a zero tolerance, for contrast, loses facets of some of these pairs.
    raw = zn.pair_cones(moving, obstacle, np.zeros(len(moving)), 1e-9, 0.0)
    assert np.frombuffer(raw[6], np.uint8).sum() > 0


def test_whole_space_cones_still_block_everything():
    axes = np.vstack([np.eye(3), -np.eye(3), np.zeros((3, 3))])[None]
    mask = np.array([[1] * 6 + [0] * 3])
    groups = zet_native.generator_cone_groups(axes, mask)
    assert groups.blocks_all.tolist() == [True]
    # Two coincident vertices (up to rounding) give no generator of random direction.
    moving = np.array([[[0.0, 0, 0], [1, 0, 0], [0, 1, 0]]])
    obstacle = moving + [0.0, 0.0, 1.0]
    obstacle[0, 0] = [1e-17, -1e-17, 0.0]  # touches the moving vertex 0
    has, groups = zet_native.pair_cone_groups(moving, obstacle)
    assert not groups.generator_mask[0, 0] and not groups.blocks_all[0]


def test_slices_join_to_one_call(monkeypatch, ball):
    """Every function split into slices (between which Ctrl-C lands: test_interrupt) gives the
    bytes of one native call."""
    monkeypatch.setattr(zet_native._arrays, "SLICE_SECONDS", 0.0)  # slices shrink to one item
    monkeypatch.setattr(rays_module, "SCORE_SLICE_SECONDS", 0.0)
    slices = []

    def counted(total, first, run, **options):
        slices.append(zet_native._arrays.in_chunks(total, first, run, **options))
        return slices[-1]

    for module, names in ((paths_module, ["PAIRS_PER_SLICE"]), (rays_module, ["POINTS_PER_SLICE", "RAYS_PER_SLICE"]),
                          (cones_module, ["PAIRS_PER_SLICE", "EVALUATIONS_PER_SLICE", "CELLS_PER_SLICE"])):
        monkeypatch.setattr(module, "in_chunks", counted)
        for name in names:
            monkeypatch.setattr(module, name, 7)
    rng = np.random.default_rng(5)
    n = 50
    a, b = rng.normal(size=(n, 3, 3)), rng.normal(size=(n, 3, 3)) + 0.5
    paths = np.tile([0.0, 2.0], (n, 1))
    v = np.array([0.3, -0.2, 0.1])
    ccd = zn.translation_triangle_ccd_batch(a, b, v, paths, 1e-12, 1e-12, 1e-9)
    assert zet_native.ccd_batch(a, b, v, paths).tolist() == [tuple(r) for r in ccd]
    assert_same_bits(zet_native.triangle_distances(a, b), zn.triangle_distance_batch(a, b, 0.0, 1e-12),
                     zet_native.DISTANCE_DTYPE, "distances")
    flat_a, flat_b = np.ascontiguousarray(a[..., :2]), np.ascontiguousarray(b[..., :2])
    assert_same_bits(zet_native.overlap_areas(flat_a, flat_b), zn.clipped_overlap_areas(flat_a, flat_b, 0.0),
                     np.float64, "areas")
    # Cones: facet rows padded to the widest slice, as one call lays them out.
    eps = cones_module.relative_generator_epsilon(a, b)
    raw = zn.pair_cones(a, b, eps, 1e-9, zet_native.FACET_TOLERANCE)
    has, groups = zet_native.pair_cone_groups(a, b)
    assert has.tobytes() == raw[0] and groups.facets.shape[1] == raw[1]
    assert (groups.facets.tobytes(), groups.facet_mask.tobytes(), groups.cap_cos.tobytes()) == (raw[4], raw[5], raw[8])
    directions = rng.normal(size=(40, 3))
    directions /= np.linalg.norm(directions, axis=1)[:, None]
    selected = np.arange(len(groups.kinds))
    arrays = [np.ascontiguousarray(x) for x in groups]
    assert_same_bits(zet_native.margins(directions, selected, groups).reshape(-1),
                     zn.cone_margins(directions, selected, *arrays[:11], 0.0), np.float64, "margins")
    radii = rng.uniform(0, 0.3, len(directions))
    caps = [arrays[11], arrays[12], arrays[5], arrays[6]]
    assert zet_native.cap_bounds(directions, selected, groups, radii).tobytes() == \
        zn.cone_cap_lower_bounds(directions, selected, *caps, radii, 0.0)
    assert zet_native.cap_bounds(directions, selected, groups, 0.2).tobytes() == \
        zn.cone_cap_lower_bounds(directions, selected, *caps, np.array([0.2]), 0.0)
    # Cell batches of 1 to 5 cells, each with its own groups; never a lone batch per slice.
    sizes = rng.integers(1, 6, 9)
    cell_offsets = np.concatenate([[0], np.cumsum(sizes)])
    cells = int(cell_offsets[-1])
    counts = rng.integers(0, len(selected), 9)
    relevant = np.concatenate([rng.choice(selected, c, replace=False) for c in counts]).astype(np.int64)
    relevant_offsets = np.concatenate([[0], np.cumsum(counts)])
    args = (directions[:cells], radii[:cells] * 0.1, radii[:cells], cell_offsets, relevant, relevant_offsets, 3)
    values, flags = zet_native.cell_bounds(*args, groups)
    raw_values, raw_flags = zn.cells_bound_batch(*args, *arrays, 0.0)
    assert (values.tobytes(), flags.tobytes()) == (raw_values, raw_flags)
    assert all(hi - lo >= 2 for lo, hi in cones_module._batch_slices(cell_offsets, relevant_offsets))
    # Rays: winding points and scored directions.
    tree = zet_native.build_tree(*ball)
    solid = zet_native.winding_tree(tree)
    points = rng.uniform(-0.7, 0.7, (60, 3))
    crossings, ambiguous = zn.ray_winding_batch(points, np.array([0.3, 0.4, 0.5]), *solid, 1e-12, 1e-12)
    got = zet_native.winding(points, (0.3, 0.4, 0.5), solid)
    assert (got[0].tobytes(), got[1].view(np.uint8).tobytes()) == (crossings, ambiguous)
    mesh = zet_native.ray_mesh(tree)
    other = zet_native.ray_mesh(zet_native.build_tree(ball[0] + (0.8, 0, 0), ball[1]))
    counts, scores = zn.direction_ray_scores(directions, 1.5, mesh, (other,))
    got = zet_native.direction_scores(directions, 1.5, mesh, [other])
    assert (got[0].tobytes(), got[1].tobytes()) == (counts, scores)
    # ccd, distances, overlap areas, pair cones, margins, cap bounds twice, winding, scores
    assert len(slices) == 9 and min(map(len, slices)) > 1, [len(s) for s in slices]


def test_contains_matches_the_geometry():
    v, t = torus(24, 12)  # major radius 1, minor 0.3, in the plane z = 0
    rng = np.random.default_rng(9)
    points = np.vstack([rng.uniform(-1.4, 1.4, (400, 3)) * (1, 1, 0.3), v[:5]])
    radial = np.hypot(points[:, 0], points[:, 1]) - 1.0
    distance = np.hypot(radial, points[:, 2]) - 0.3
    clear = np.abs(distance) > 0.05  # away from the faceted surface (its sag is under 0.03)
    # At any size: a solid of nanometres keeps its tolerances below its own size.
    for scale in (1.0, 1e-9, 1e-12):
        inside = zet_native.contains(zet_native.build_tree(v * scale, t), points * scale)
        assert inside[clear].tolist() == (distance[clear] < 0).tolist()
        assert inside[-5:].all()  # vertices lie on the surface: inside the closed solid


def test_tolerances_and_paths_that_cannot_mean_anything_are_refused(ball):
    tree = zet_native.build_tree(*ball)
    groups = zet_native.pair_cone_groups(np.eye(3)[None] * 0.1, np.eye(3)[None] * 0.1 + 1.0).groups
    calls = [(lambda: zet_native.cap_bounds([(0, 0, 1)], [0], groups, -0.1), "angular_radius"),
             (lambda: zet_native.cap_bounds([(0, 0, 1)], [0], groups, float("nan")), "angular_radius"),
             (lambda: zet_native.ccd_batch(np.eye(3)[None], np.eye(3)[None] + 1, (0, 0, 1), [(0, 1), (2, 0)]),
              r"row 1 is \(2.0, 0.0\)"),
             (lambda: zet_native.clearance_search(tree, tree, [[0, 0]], (0, 0, 1), 1.0, 0.1, lowers=[np.nan]),
              "NaN at row 0"),
             # A speed whose square overflows: every axis would count as still, every pair apart.
             (lambda: zet_native.path_query(tree, tree, (1e155, 0, 0), 0.0, 1e-155), "too long"),
             (lambda: zet_native.ccd_batch(np.eye(3)[None], np.eye(3)[None] + 1, (0, 0, -1e200), [(0, 1)]), "too long")]
    for call, message in calls:
        with pytest.raises(ValueError, match=message):
            call()
    a = np.array([[[0.4, -0.1, -0.1], [0.4, 0.1, -0.1], [0.4, 0.0, 0.1]]])
    b = np.array([[[2.9, -1, -1], [2.9, 1, -1], [2.9, 0, 1]]])
    assert zet_native.ccd_batch(a, b, (1e154, 0, 0), [(0.0, 5e-154)])["status"][0] == zet_native.CcdStatus.CONTACT
    zet_native.ccd_batch(a, b, (np.nan, 0, 0), [(0.0, 1.0)])  # NaN keeps the kernel's own rules: not refused


def test_names_and_codes():
    assert zet_native.CcdStatus(2).name == "UNCERTAIN" and zet_native.CcdReason(6).name == "UNTESTED_AXES"
    assert zet_native.vector_build() == zn.vector_build
    with pytest.raises(AttributeError):
        zn.vector_build = "scalar"
    assert set(zet_native.__all__) <= set(dir(zet_native))
