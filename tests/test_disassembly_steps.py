"""The planner's shortcuts against the plain method: a step that analyses only the parts that
can go next gives the plan of steps that analyse every part in full, and grid directions rated
part by part (with verdicts kept from earlier calls) are the ones that one rating over all the
near parts leaves free; depths of triangle pairs at rest are the general depths at rest; the
direction search's answers and the path depths hold against dense sampling."""

import math
import threading

import assemblies
import numpy as np
import pytest

import zet_native
from zet_native.disassembly import DEFAULT_ALLOWANCE, checked_parts, directions, plan
from zet_native.disassembly.analysis import AXIS_KEYS, GRID_DIRECTIONS, WINDING_RAY, Assembly, _extremes, _inside, shrunk
from zet_native.disassembly.depth import depths_at_rest, overlap_depths
from zet_native.disassembly.directions import best_direction, joined_groups, smallest_margins, sphere_grid
from zet_native.disassembly.seat_cones import seat_cone_groups


def assembly(parts):
    return Assembly(checked_parts(parts), DEFAULT_ALLOWANCE, False, threading.Event())


def plain_plan(parts):
    """Every part analysed in full at every step, the next part picked among all the free ones:
    (steps as (part, label, direction, margin, blockers left behind), remaining, first table,
    last table of the remaining parts)."""
    a = assembly(parts)
    remaining, steps, first, last = list(a.names), [], None, {}
    while remaining:
        analyses = [a.analyse(p, [q for q in remaining if q != p]) for p in remaining]
        last = {x.name: {c.label: list(c.blockers) for c in x.candidates} for x in analyses}
        first = first or last
        free = [x for x in analyses if x.free]
        if not free:
            break

        def behind(x):
            return len({b for c in x.candidates for b in c.blockers})

        x = min(free, key=lambda x: (behind(x), -x.candidates[x.chosen].margin, a.volume(x.name), x.name))
        c = x.candidates[x.chosen]
        steps.append((x.name, c.label, c.direction, c.margin, behind(x)))
        remaining.remove(x.name)
    return steps, remaining, first, {n: last[n] for n in remaining}


@pytest.mark.parametrize("build", [lambda: assemblies.grid_of_blocks(3, 1), assemblies.captive_ring,
                                   assemblies.pinned_peg, lambda: assemblies.channel_stack(4)])
def test_steps_that_analyse_only_what_can_go_next_give_the_plain_plan(build):
    parts = build()
    steps, remaining, first, held = plain_plan(parts)
    result = plan(parts, threads=2)
    assert [(s.part, s.label, s.direction, s.margin, s.left_behind) for s in result.steps] == steps
    assert result.remaining == remaining
    assert result.blocking == first
    assert result.held == held


def test_grid_rated_part_by_part_equals_one_rating_over_all_near_parts():
    a = assembly(assemblies.grid_of_blocks(3, 1))
    grid = sphere_grid(GRID_DIRECTIONS)
    for p in ("cube-111", "cube-000", "cube-201"):
        others = [n for n in a.names if n != p]
        # Subsets in turn: the verdicts kept from one call serve the next, whatever the parts.
        for near in (others[:5], others, others[3:17], others[::-2], []):
            counts, _ = zet_native.direction_scores(grid, 2.0 * a.tol.diagonal, a.rays[p],
                                                    [a.rays[q] for q in near])
            assert np.array_equal(a._ray_free(p, tuple(near), grid), np.flatnonzero(counts == 0)), (p, len(near))


def test_depths_at_rest_are_the_general_depths_with_no_motion():
    rng = np.random.default_rng(5)
    a = np.round(rng.standard_normal((3000, 3, 3)) * 4) / 4  # on a lattice: many touching, coplanar pairs
    b = a + np.round(rng.standard_normal((3000, 3, 3)) * 8) / 32
    for screen in (0.0, 1e-3, 0.1):
        general = overlap_depths(a, b, np.zeros(3), 0.0, 0.0, screen=screen)
        assert np.array_equal(depths_at_rest(a, b, screen), general)
        assert (general > screen).any() and (general == 0).any()


def test_a_triangle_without_area_is_no_face_bound_of_its_depth():
    # A needle (three corners on a line) through a face: its normal is the zero vector, which
    # must not stand for an axis in the cheap bound (it would say 0 where the depth is 1).
    face = np.array([[-5.0, -5.0, 0.0], [5.0, -5.0, 0.0], [0.0, 5.0, 0.0]])
    for needle in ([[0.1, 0.2, -1.0], [0.1, 0.2, 0.0], [0.1, 0.2, 1.0]], [[0.1, 0.2, -1.0]] * 2 + [[0.1, 0.2, 1.0]]):
        needle = np.array(needle)
        for a, b in ((needle, face), (face, needle)):
            full = separating_overlap(a, b)
            for screen in (0.0, 1e-3):
                assert depths_at_rest(a[None], b[None], screen)[0] == max(full, 0.0), (a, b, screen)
                assert overlap_depths(a[None], b[None], np.zeros(3), 0.0, 0.0, screen=screen)[0] == max(full, 0.0)


def separating_overlap(a, b):
    """Smallest overlap of two triangles over their eleven candidate axes (face normals and
    edge cross products, skipping degenerate ones): positive while they intersect."""
    ea, eb = np.roll(a, -1, axis=0) - a, np.roll(b, -1, axis=0) - b
    axes = [np.cross(a[1] - a[0], a[2] - a[0]), np.cross(b[1] - b[0], b[2] - b[0])]
    axes += [np.cross(x, y) for x in ea for y in eb]
    overlap = np.inf
    for u in axes:
        if np.linalg.norm(u) < 1e-9:
            continue
        u = u / np.linalg.norm(u)
        pa, pb = a @ u, b @ u
        overlap = min(overlap, pa.max() - pb.min(), pb.max() - pa.min())
    return overlap


def test_path_depths_are_the_deepest_sampled_overlap_along_the_window():
    rng = np.random.default_rng(11)
    a = rng.standard_normal((40, 3, 3))
    b = a + 0.4 * rng.standard_normal((40, 3, 3))
    d = rng.standard_normal(3)
    d /= np.linalg.norm(d)
    lo, hi = rng.uniform(-0.3, 0.2, 40).clip(0.0), rng.uniform(0.3, 0.8, 40)
    depths = overlap_depths(a, b, d, lo, hi)
    for i in range(len(a)):
        ts = np.linspace(lo[i], hi[i], 801)
        sampled = max(0.0, max(separating_overlap(a[i] + t * d, b[i]) for t in ts))
        # Overlaps change at most as fast as the part moves, so the samples miss at most a step.
        assert sampled - 1e-9 <= depths[i] <= sampled + (hi[i] - lo[i]) / 800 + 1e-9, i
    assert (depths > 0).sum() > 10 and (depths == 0).sum() > 2





def test_a_path_settled_halfway_has_the_verdict_of_the_whole_check():
    """Paths on which the interior points lie inside the other part halfway skip the path
    query; every verdict (and tolerated depth) is the one of the query and all twelve samples."""
    for parts in (assemblies.pinned_peg(), assemblies.channel_stack(), assemblies.captive_ring()):
        short, whole = assembly(parts), assembly(parts)
        whole._entered_halfway = lambda p, checks: []
        queries = []
        short._path_query = lambda *args, spy=short._path_query: queries.append(args) or spy(*args)
        directions = [d for _, d in AXIS_KEYS] + [tuple(float(x) for x in g) for g in sphere_grid(8)]
        settled = 0
        for p in short.names:
            others = [q for q in short.names if q != p]
            short.check_pairs(p, others, directions)
            whole.check_pairs(p, others, directions)
            for d in directions:
                for q in others:
                    mine, theirs = short._pairs[(p, d)][q], whole._pairs[(p, d)][q]
                    assert (mine.blocked, mine.depth) == (theirs.blocked, theirs.depth), (p, q, d)
                    asked = any(args[:2] == (p, q) and tuple(np.asarray(args[2]).tolist()) == d for args in queries)
                    settled += mine.blocked and not asked
        assert settled > 0


def test_a_point_outside_a_parts_box_is_outside_its_material_whatever_an_open_surface_counts():
    """The interior check walks only the points inside the other part's box: a ray from a
    point beside an open sheet may cross it once, which the walk alone reads as inside."""
    sheet = (np.array([[-3.0, -3, 2], [3, -3, 2], [3, 3, 2], [-3, 3, 2], [-3, -3, 1.5]]),
             np.array([[0, 1, 2], [0, 2, 3], [0, 4, 1]], dtype=np.uint32))  # a roof with a flap: not closed
    a = assembly({"cube": assemblies.box_solid([((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))]), "sheet": sheet})
    rng = np.random.default_rng(4)
    below = np.column_stack([rng.uniform(-1, 1, (200, 2)), rng.uniform(-1.0, 1.4, 200)])  # under the box
    within = np.column_stack([rng.uniform(-3, 3, (200, 2)), rng.uniform(1.5, 2.0, 200)])  # in the box
    walked = _inside(np.ascontiguousarray(below), a.solids["sheet"])
    assert walked.any() and not a._inside_part(below, "sheet").any()
    assert np.array_equal(a._inside_part(within, "sheet"), _inside(np.ascontiguousarray(within), a.solids["sheet"]))
    points = np.concatenate([below, within])
    expected = np.concatenate([np.zeros(200, bool), _inside(np.ascontiguousarray(within), a.solids["sheet"])])
    assert np.array_equal(a._inside_part(points, "sheet"), expected)


def test_part_boxes_and_normals_are_numpys_bits():
    # Boxes taken column by column must keep the sign that min/max over rows gives a zero extreme
    # (OBJ files write -0.0), and the shrinking's normals must be the triangles' own, however the
    # mesh is wound.
    v, t = assemblies.box_with_lid()["lid"]
    v = np.asarray(v, dtype=np.float64)
    signed = v - v.min(axis=0)  # zeros on the low side
    signed[::2] *= -1.0  # -0.0 and 0.0 mixed, negative coordinates too
    for vertices in (v, signed, np.where(signed == 0, -0.0, signed)):
        low, high = _extremes(vertices)
        for mine, numpys in ((low, vertices.min(axis=0)), (high, vertices.max(axis=0))):
            assert np.array_equal(mine, numpys) and np.array_equal(np.signbit(mine), np.signbit(numpys))
    t = np.asarray(t)
    for triangles in (t, t[:, ::-1]):
        c = v[triangles]
        n = np.cross(c[:, 1] - c[:, 0], c[:, 2] - c[:, 0])
        assert np.array_equal(shrunk(v, triangles, 0.01)[1], n / np.linalg.norm(n, axis=1)[:, None])


def test_margins_kept_per_set_and_direction_are_the_margins_made_afresh():
    a = assembly(assemblies.pinned_peg())
    directions = sphere_grid(40)
    for p in a.names:
        groups = a.seat_groups(p, [q for q in a.names if q != p])
        assert groups
        # Overlapping and repeated requests, in other orders: the kept margins must be each
        # direction's own, and the smallest over the sets as the plain computation gives it.
        for ask in (directions[:10], directions, directions[::-3], directions[5:6], directions[:0]):
            assert np.array_equal(a._smallest_margins(ask, groups), smallest_margins(ask, groups)), p
    assert a._smallest_margins(directions[:3], []).tolist() == [1.0, 1.0, 1.0]

def test_a_seat_is_every_close_pair_that_does_not_overlap_deeper_than_a_thousandth_of_the_allowance():
    """Against every triangle pair of the two parts: the distance decides what is close, the
    depth at rest what overlaps (a peg pressed into a plate crosses it all around)."""
    for parts in (assemblies.pressed_peg(2e-5), assemblies.pinned_peg()):
        a = assembly(parts)
        for p, q in [(p, q) for p in a.names for q in a.names if p < q]:
            (vp, tp), (vq, tq) = a.meshes[p], a.meshes[q]
            i, j = np.meshgrid(np.arange(len(tp)), np.arange(len(tq)), indexing="ij")
            ca, cb = vp[tp[i.ravel()]], vq[tq[j.ravel()]]
            close = zet_native.triangle_distances(ca, cb)["upper"] <= a.tol.seat
            deep = depths_at_rest(ca[close], cb[close], 0.0) > 1e-3 * a.tol.allowance
            expected = {(x.tobytes(), y.tobytes()) for x, y in zip(ca[close][~deep], cb[close][~deep])}
            seat = a.seat(p, q)
            assert {(x.tobytes(), y.tobytes()) for x, y in zip(*seat)} == expected, (p, q)
            assert len(seat[0]) == len(expected)


def test_a_seats_two_sides_are_the_same_pairs_whichever_part_asks_first():
    # One set of pairs serves both sides: made from either side first (as threads may), each
    # side must hold the same corners, the other side's turned round.
    for parts in (assemblies.pinned_peg(), assemblies.channel_stack(2)):
        a, b = assembly(parts), assembly(parts)
        pairs = [(p, q) for p in a.names for q in a.names if a.names.index(p) < a.names.index(q) and a.near(p, q)]
        for p, q in pairs:
            forward, backward = a.seat(p, q), b.seat(q, p)
            assert all(np.array_equal(x, y) for x, y in zip(forward, b.seat(p, q))), (p, q)
            assert all(np.array_equal(x, y) for x, y in zip(backward, forward[::-1])), (p, q)
            assert all(np.array_equal(x, y) for x, y in zip(a.seat(q, p), backward)), (p, q)
        assert sum(len(a.seat(p, q)[0]) > 0 for p, q in pairs) >= 2


def test_depths_with_a_direction_per_pair_are_each_pairs_own():
    # More pairs than one block of the crossing table: each block must take its own rows' directions.
    rng = np.random.default_rng(12)
    n = 5000
    a = rng.standard_normal((n, 3, 3))
    b = a + 0.4 * rng.standard_normal((n, 3, 3))
    d = rng.standard_normal((n, 3))
    d[::7] = [0.0, 0.0, -1.0]
    d /= np.linalg.norm(d, axis=1)[:, None]
    lo, hi = rng.uniform(0.0, 0.2, n), rng.uniform(0.3, 0.8, n)
    together = overlap_depths(a, b, d, lo, hi)
    alone = np.array([overlap_depths(a[i:i + 1], b[i:i + 1], d[i], lo[i], hi[i])[0] for i in range(0, n, 97)])
    assert np.array_equal(together[::97], alone)
    assert np.array_equal(together[::7], overlap_depths(a[::7], b[::7], d[0], lo[::7], hi[::7]))
    assert (together > 0).sum() > n // 10
    with pytest.raises(ValueError):
        overlap_depths(a, b, d[:-1], lo, hi)
    with pytest.raises(ValueError):
        overlap_depths(a, b, d, lo, hi, screen=0.0)


def test_pairs_checked_together_are_the_pairs_checked_one_by_one():
    parts = assemblies.pinned_peg()
    together, alone = assembly(parts), assembly(parts)
    directions = [d for _, d in AXIS_KEYS] + [tuple(float(x) for x in g) for g in sphere_grid(8)]
    verdicts = set()
    for p in together.names:
        others = [q for q in together.names if q != p]
        together.check_pairs(p, others, directions)
        for d in directions:
            for q in others:
                found = together._pairs[(p, d)][q]
                assert found == alone.pair(p, q, d), (p, q, d)
                verdicts.add(found.blocked)
    assert verdicts == {True, False}


def test_direction_search_bounds_hold_against_dense_sampling():
    pierced = zn_groups([[-1, -1, 0], [1, -1, 0], [0, 1, 0]], [[0, 0, -1], [0.2, 0, 1], [0, 0.3, 1]])
    resting = zn_groups([[-1, -1, 0], [1, -1, 0], [0, 1, 0]], [[-1, -1, 0], [1, -1, 0], [0, -1, 1]])
    assert pierced.blocks_all.all() and not resting.blocks_all.any()
    sphere = sphere_grid(20000)
    for groups in (pierced, resting, joined(resting, pierced)):
        direction, margin, upper = best_direction(groups)
        assert smallest_margins(sphere, groups).max() <= upper + 1e-12
        if direction is not None:
            assert smallest_margins(direction, groups)[0] == margin <= upper
    # A cone of every direction leaves no direction with a positive margin, nor a bound of one.
    for groups in (pierced, joined(resting, pierced)):
        direction, margin, upper = best_direction(groups)
        assert direction is None and margin <= upper < 0
    assert best_direction(resting)[1] > 0  # one face resting on another: half the sphere is free


def test_a_search_with_a_floor_still_bounds_every_margin_and_keeps_every_answer_above_it():
    """Seats that block every direction (the pinned peg), seats whose best direction slides
    along faces (margin 0: the blocks of the channel) and a seat with half the sphere free,
    against dense sampling."""
    seats = [x.seat_groups(p, [q for q in x.names if q != p])
             for x in (assembly(assemblies.pinned_peg()), assembly(assemblies.channel_stack())) for p in x.names]
    resting = zn_groups([[-1, -1, 0], [1, -1, 0], [0, 1, 0]], [[-1, -1, 0], [1, -1, 0], [0, -1, 1]])
    sphere = sphere_grid(20000)
    sliding = 0
    for groups in [g for g in seats if g] + [[resting]]:
        sampled = smallest_margins(sphere, groups).max()
        direction, margin, upper = best_direction(groups, floor=0.0)
        assert sampled <= upper + 1e-12
        if margin <= 0:  # nothing found above the floor: then nothing beats it by more than the tolerance
            assert upper <= 1e-2
        if direction is not None:
            assert smallest_margins(direction, groups)[0] == margin
        whole = best_direction(groups)
        if whole[1] > 1e-2:  # a direction well above the floor is found as without one
            assert same_search((direction, margin, upper), whole)
        sliding += abs(sampled) < 1e-3
    assert sliding and best_direction([resting], floor=0.0)[1] > 0.1
    assert best_direction(seats[0], floor=0.0)[2] < 0  # the peg: no direction at all


def test_direction_grid_and_cell_radii_are_the_c_library_trigonometry_on_every_machine():
    """numpy's arccos on AVX-512 differs from the C library's in the last bit: the grid and the
    search's cell radii must be the C library's values, the same on every processor."""
    k = np.arange(64) + 0.5
    z = 1.0 - 2.0 * k / 64
    angle = np.pi * (3.0 - np.sqrt(5.0)) * k
    r = np.sqrt(np.maximum(0.0, 1.0 - z * z))
    expected = [[ri * math.cos(a), ri * math.sin(a), zi] for ri, a, zi in zip(r.tolist(), angle.tolist(), z.tolist())]
    assert sphere_grid(64).tolist() == expected
    cells = directions._split(directions._split(directions._ICOSAHEDRON))
    centers, radii, angular = directions._cells(cells)
    cosines = np.einsum("nij,nj->ni", cells, centers).min(axis=1)
    for cos, chord, radius in zip(cosines.tolist(), radii.tolist(), angular.tolist()):
        assert radius == math.acos(min(1.0, cos)) * (1 + 1e-12) + 1e-15
        assert chord == 2.0 * math.sin(radius / 2.0)


def zn_groups(moving, obstacle):
    return zet_native.pair_cone_groups(np.array([moving], float), np.array([obstacle], float)).groups


def joined(*groups):
    return joined_groups(groups)


def test_direction_search_queue_pops_as_a_heap_of_bound_and_arrival():
    """Cells pop smallest bound first, the earliest arrival on a tie, only above the threshold
    and at most so many; each with its own row of its batch's groups, against a heap and plain
    loops over the same rounds."""
    import heapq

    from zet_native.disassembly.directions import _Queue
    rng = np.random.default_rng(5)
    queue, heap, arrival = _Queue(), [], 0
    for _ in range(6):
        counts = rng.integers(1, 5, size=rng.integers(1, 6))
        widths = rng.integers(0, 7, size=len(counts))
        relevant = rng.integers(0, 50, size=int(widths.sum()))
        kept = rng.random(int((counts * widths).sum())) < 0.5
        n = int(counts.sum())
        corners = rng.standard_normal((n, 3, 3))
        bounds = rng.integers(-4, 1, size=n).astype(float)  # many ties
        valid = rng.random(n) < 0.8
        queue.add(corners, bounds, valid, counts, widths, relevant, kept)
        flag, group, cell = 0, 0, 0
        for c, w in zip(counts.tolist(), widths.tolist()):
            for _ in range(c):
                if valid[cell]:
                    mine = relevant[group:group + w][kept[flag:flag + w]]
                    heapq.heappush(heap, (bounds[cell], arrival, corners[cell], mine))
                    arrival += 1
                flag, cell = flag + w, cell + 1
            group += w
        threshold, most = float(rng.integers(-4, 0)) - 0.5, int(rng.integers(0, 6))
        expected = []
        while heap and -heap[0][0] > threshold and len(expected) < most:
            expected.append(heapq.heappop(heap))
        popped, groups, sizes = queue.pop(threshold, most)
        assert len(popped) == len(expected) and sizes.tolist() == [len(e[3]) for e in expected]
        for k, e in enumerate(expected):
            assert np.array_equal(popped[k], e[2])
        assert groups.tolist() == [g for e in expected for g in e[3].tolist()]
    assert queue.largest() == max([-h[0] for h in heap], default=-np.inf)


def test_row_lengths_and_extremes_give_numpys_bits():
    from zet_native.disassembly.depth import lengths, of_three
    rng = np.random.default_rng(6)
    x = rng.standard_normal((500, 7, 3)) * 10.0 ** rng.integers(-9, 9, size=(500, 7, 1))
    assert np.array_equal(lengths(x).view(np.int64), np.linalg.norm(x, axis=-1).view(np.int64))
    # Signed zeros, NaN and infinities in every position of the three.
    x = rng.choice([0.0, -0.0, 1.0, -1.0, np.nan, np.inf, -np.inf], size=(4000, 3))
    for pick, reduce in ((np.maximum, x.max), (np.minimum, x.min)):
        assert np.array_equal(of_three(pick, x).view(np.int64), reduce(axis=-1).view(np.int64))



@pytest.mark.parametrize("per_pair", [False, True])
def test_overlap_lines_are_dot_products_added_in_order_on_any_machine(per_pair):
    # The projections onto the separating axes are plain products added in order, as Python
    # floats add them; a matrix product would leave them to the BLAS kernel of the machine.
    from zet_native.disassembly.depth import _axes, _lines
    rng = np.random.default_rng(8)
    a, b = rng.standard_normal((40, 3, 3)), rng.standard_normal((40, 3, 3)) + 0.3
    direction = rng.standard_normal((40, 3)) if per_pair else rng.standard_normal(3)
    intercepts, slopes = _lines(a, b, direction)
    axes, usable = _axes(a, b)

    def dot(u, v):
        return (float(u[0]) * float(v[0]) + float(u[1]) * float(v[1])) + float(u[2]) * float(v[2])

    for n in range(40):
        d = direction[n] if per_pair else direction
        for i in np.flatnonzero(usable[n]):
            pa, pb = [dot(axes[n, i], c) for c in a[n]], [dot(axes[n, i], c) for c in b[n]]
            s = dot(axes[n, i], d)
            ahead, behind = max(pa) - min(pb), max(pb) - min(pa)
            assert (intercepts[n, i], intercepts[n, i + 11]) == ((ahead, behind) if s >= 0 else (behind, ahead))
            assert (slopes[n, i], slopes[n, i + 11]) == (abs(s), -abs(s))


def same_search(x, y):
    return (x[0] is None) == (y[0] is None) and (x[0] is None or np.array_equal(x[0], y[0])) and x[1:] == y[1:]


def test_a_seat_that_blocks_every_direction_keeps_the_margins_and_search_of_all_its_cones():
    # Such a seat keeps no wedges and no search for repeated cones; any other seat keeps its
    # distinct cones: either way the margins and the search are those of every cone with wedges.
    rng = np.random.default_rng(8)
    a = np.round(rng.uniform(0.0, 1.0, (300, 3, 3)) * 4) / 4
    b = a + [0.0, 0.0, 2.0] + np.round(rng.uniform(-1.0, 1.0, (300, 3, 3)) * 3) / 16  # above: pointed cones
    shifts = np.round(rng.uniform(-4.0, 4.0, (100, 1, 3)))
    a[:100], b[:100] = a[0] + shifts, b[0] + shifts  # the same pair over and over: one cone repeated
    crossing = rng.standard_normal((8, 3, 3))
    for k in (0, 8):
        moving = np.concatenate([a, crossing[:k]])
        obstacle = np.concatenate([b, crossing[:k] + rng.normal(0.0, 0.5, (k, 3, 3))])
        mine = seat_cone_groups(moving, obstacle)
        whole = zet_native.with_wedges(zet_native.pair_cone_groups(moving, obstacle, 0.0, 1e-9, 1e-12, wedges=False).groups)
        assert whole.blocks_all.any() == (k > 0)
        assert (len(mine.kinds) == len(whole.kinds)) == (k > 0)  # repeated cones left out only without
        # The axes, directions all over, and directions right against facets (margins near -1).
        facets = whole.facets[whole.facet_mask][:300]
        directions = np.concatenate([[d for _, d in AXIS_KEYS], sphere_grid(500), -facets, facets])
        assert np.array_equal(smallest_margins(directions, mine).view(np.int64),
                              smallest_margins(directions, whole).view(np.int64)), k
        assert same_search(best_direction(mine), best_direction(whole)), k


def test_a_search_stopped_at_a_seat_that_blocks_every_direction_answers_as_one_over_all_seats():
    a = assembly(assemblies.pinned_peg())
    p = "peg"
    touching = a.touching(p, [q for q in a.names if q != p])
    assert len(touching) == 2
    own = a.seat_groups(p, touching[:1])[0]
    pierced = zn_groups([[-1, -1, 0], [1, -1, 0], [0, 1, 0]], [[0, 0, -1], [0.2, 0, 1], [0, 0.3, 1]])
    for sets in ((own, pierced), (pierced, own)):
        a._groups, a._best = {(p, touching[0]): sets[0]}, {}
        if sets[0] is own:
            a._groups[(p, touching[1])] = pierced
        assert same_search(a.best_cone(p, touching), best_direction(list(sets), floor=0.0))
        # Stopped at the first seat: the one after it was never made.
        assert ((p, touching[1]) in a._groups) == (sets[0] is own)
    a._groups, a._best = {}, {}
    assert same_search(a.best_cone(p, touching), best_direction(a.seat_groups(p, touching), floor=0.0))


def test_search_rounds_in_one_call_of_the_module_are_the_companions_calls(monkeypatch):
    from zet_native.disassembly import directions
    a = assembly(assemblies.pinned_peg())
    seats = [a.seat_groups(p, [q for q in a.names if q != p]) for p in a.names]
    direct = [best_direction(s) for s in seats]
    monkeypatch.setattr(directions, "CELLS_PER_SLICE", 0)  # every round through zet_native.cell_bounds
    assert all(same_search(best_direction(s), d) for s, d in zip(seats, direct))
    assert any(d[0] is not None for d in direct)


def test_overlaps_at_rest_measured_together_are_each_pairs_own():
    parts = assemblies.grid_of_blocks(2, 2)
    v, t = parts["cube-000"]
    # Into its neighbours: 0.1 deep into the cubes beside it, 3e-4 into those above (each the
    # shallowest way out of the overlap).
    parts["cube-000"] = (v + [0.1, 0.1, 3e-4], t)
    a = assembly(parts)
    pairs = [(p, q) for i, p in enumerate(a.names) for q in a.names[i + 1:] if a.near(p, q)]
    together = a.rest_depths(pairs)
    assert together == [a.rest_depths([pq])[0] for pq in pairs]
    for (p, q), (depth, _) in zip(pairs, together):
        expected = 0.0 if p != "cube-000" else 3e-4 if q[-1] == "1" else 0.1
        assert abs(depth - expected) < 1e-12, (p, q)
    assert a.rest_depths([]) == []


def test_points_inside_a_solid_are_the_windings_verdicts():
    a = assembly(assemblies.pinned_peg())
    rng = np.random.default_rng(4)
    for p in a.names:
        low, high = a.low[p], a.high[p]
        points = rng.uniform(low - 0.2, high + 0.2, (3000, 3))
        points[::5] = np.round(points[::5] * 10) / 10  # on the lattice of the faces: ambiguous rays too
        crossings, ambiguous = zet_native.winding(points, WINDING_RAY, a.solids[p])
        inside = _inside(points, a.solids[p])
        assert np.array_equal(inside, (crossings != 0) & ~ambiguous) and 0 < inside.sum() < len(points), p


def test_seats_and_walks_too_large_for_one_call_take_the_companions_slices_to_the_same_answers(monkeypatch):
    from zet_native.disassembly import analysis, seat_cones
    rng = np.random.default_rng(9)
    a = rng.standard_normal((60, 3, 3))
    b = a + rng.normal(0.0, 0.3, (60, 3, 3))
    m = assembly(assemblies.pinned_peg())
    points = rng.uniform(m.low["base"] - 0.1, m.high["base"] + 0.1, (500, 3))
    one = seat_cone_groups(a, b), seat_cone_groups(a[::4], b[::4] + [0.0, 0.0, 3.0]), _inside(points, m.solids["base"])
    monkeypatch.setattr(seat_cones, "PAIRS_PER_SLICE", 7)
    monkeypatch.setattr(analysis, "POINTS_PER_SLICE", 7)
    sliced = seat_cone_groups(a, b), seat_cone_groups(a[::4], b[::4] + [0.0, 0.0, 3.0]), _inside(points, m.solids["base"])
    for mine, theirs in zip(one[:2], sliced[:2]):
        assert all(np.array_equal(x, y) for x, y in zip(mine, theirs))
    assert one[0].blocks_all.any() and not one[1].blocks_all.any()
    assert np.array_equal(one[2], sliced[2]) and one[2].any()


@pytest.mark.parametrize("threads", [2, 4])
def test_work_shared_by_threads_keeps_the_order_and_reports_the_first_own_failure(threads):
    from zet_native.disassembly.analysis import Cancelled, each, workers

    pool = workers(threads)
    try:
        counted = []
        found = each(lambda i: i * i, list(range(40)), threads, threading.Event(), counted.append, pool)
        assert found == [i * i for i in range(40)] and sum(counted) == 40
        # Every progress count comes from the calling thread, whoever did the item.
        seen = []
        each(lambda i: i, list(range(12)), threads, threading.Event(), lambda n: seen.append(threading.current_thread()),
             pool)
        assert set(seen) == {threading.current_thread()}

        # Item 5 fails for a reason of its own, item 3 fails later only because the run was
        # stopped: the caller hears of item 5, and nothing starts once the failure is known.
        cancel, started, stopped_by_5 = threading.Event(), [], threading.Event()

        def work(i):
            started.append(i)
            if i == 3:
                stopped_by_5.wait(5)
                raise Cancelled()
            if i == 5:
                stopped_by_5.set()
                raise ValueError("item 5")
            return i

        with pytest.raises(ValueError, match="item 5"):
            each(work, list(range(30)), threads, cancel, pool=pool)
        assert cancel.is_set() and len(started) < 30

        # A run stopped from outside raises Cancelled instead of returning holes.
        cancel = threading.Event()
        with pytest.raises(Cancelled):
            each(lambda i: cancel.set() if i == 2 else i, list(range(30)), threads, cancel, pool=pool)
    finally:
        pool.shutdown()
