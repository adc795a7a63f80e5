"""The disassembly planner on generated assemblies with known answers. Every step of every
plan is checked by sampling the path densely and testing, at each position, whether an edge
of one part passes through a face of another by more than the allowance: a plain
segment-triangle test written here, independent of the module's path query."""

import math

import assemblies
import numpy as np
import pytest
from scene import box_solid

from zet_native.disassembly import AssemblyError, analysis, plan

SAMPLES = 48  # positions per step, on top of both ends


def edges(triangles):
    e = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]])
    return np.unique(np.sort(e, axis=1), axis=0)


def edges_through_faces(ev, e, fv, f, margin):
    """Whether any segment (ev[e]) crosses the plane of a triangle (fv[f]) with both ends more
    than ``margin`` from it, at a point more than ``margin`` inside the triangle."""
    p, q = ev[e[:, 0]][:, None], ev[e[:, 1]][:, None]
    v0, v1, v2 = (fv[f[:, k]][None] for k in range(3))
    n = np.cross(v1 - v0, v2 - v0)
    n = n / np.linalg.norm(n, axis=-1, keepdims=True)
    dp = np.sum((p - v0) * n, axis=-1)
    dq = np.sum((q - v0) * n, axis=-1)
    crossing = ((dp < -margin) & (dq > margin)) | ((dp > margin) & (dq < -margin))
    if not crossing.any():
        return False
    with np.errstate(invalid="ignore", divide="ignore"):
        x = p + (q - p) * (dp / (dp - dq))[..., None]
        inside = crossing
        for a, b in ((v0, v1), (v1, v2), (v2, v0)):
            side = b - a
            inward = np.sum(np.cross(side, x - a) * n, axis=-1) / np.linalg.norm(side, axis=-1)
            inside = inside & (inward > margin)
    return bool(inside.any())


def near(vertices, items, low, high, shift=(0.0, 0.0, 0.0)):
    """The items (rows of vertex indices) whose box, swept by ``shift``, meets the box [low, high]."""
    corners = np.concatenate([vertices[items], vertices[items] + shift], axis=1)
    return items[np.all((corners.min(1) <= high) & (corners.max(1) >= low), axis=1)]


def path_is_clear(parts, part, others, direction, distance, margin):
    v, t = parts[part]
    d = np.asarray(direction)
    swept = np.vstack([v, v + distance * d])
    for q in others:
        w, u = parts[q]
        # Only the items that can meet somewhere on the path: a plain box filter.
        mine_t = near(v, t, w.min(0), w.max(0), distance * d)
        mine_e = near(v, edges(t), w.min(0), w.max(0), distance * d)
        theirs_t, theirs_e = near(w, u, swept.min(0), swept.max(0)), near(w, edges(u), swept.min(0), swept.max(0))
        if not (len(mine_t) or len(mine_e)) or not (len(theirs_t) or len(theirs_e)):
            continue
        for s in np.linspace(0.0, distance, SAMPLES + 2):
            moved = v + s * d
            if (len(mine_e) and len(theirs_t) and edges_through_faces(moved, mine_e, w, theirs_t, margin)) or \
                    (len(theirs_e) and len(mine_t) and edges_through_faces(w, theirs_e, moved, mine_t, margin)):
                return False
    # Beyond the distance the boxes are apart for good.
    low, high = (v + distance * d).min(0), (v + distance * d).max(0)
    for q in others:
        w = parts[q][0]
        assert np.any(low > w.max(0)) or np.any(high < w.min(0)), (part, q)
    return True


def check_plan(parts, result):
    data = result.to_json()
    in_place = list(parts)
    for step in data["steps"]:
        assert abs(np.linalg.norm(step["direction"]) - 1.0) < 1e-12
        in_place.remove(step["part"])
        assert path_is_clear(parts, step["part"], in_place, step["direction"], step["distance"],
                             result.allowance), step
    assert data["remaining"] == [n for n in parts if n in in_place]
    return data


def test_independent_check_sees_a_blocked_path():
    parts = assemblies.box_with_lid()
    assert not path_is_clear(parts, "lid", ["box"], (0.0, 0.0, -1.0), 0.5, 1e-4)
    assert path_is_clear(parts, "lid", ["box"], (0.0, 0.0, 1.0), 0.5, 1e-4)


def test_box_with_lid():
    data = check_plan(parts := assemblies.box_with_lid(), plan(parts))
    assert data["steps"][0]["part"] == "lid"
    assert data["steps"][0]["direction"] == [0.0, 0.0, 1.0]
    assert data["blocking"]["lid"]["-z"] == ["box"] and data["blocking"]["lid"]["+z"] == []
    assert data["blocking"]["box"]["+z"] == ["lid"]


def test_channel_stack_top_down():
    data = check_plan(parts := assemblies.channel_stack(), plan(parts))
    assert [s["part"] for s in data["steps"]][:3] == ["block-3", "block-2", "block-1"]
    assert data["steps"][0]["label"] in ("+x", "-x", "+z")  # along the channel or up
    assert [s["label"] for s in data["steps"][1:3]] == ["+z", "+z"]
    assert data["remaining"] == []


def test_pinned_peg_pin_first():
    data = check_plan(parts := assemblies.pinned_peg(), plan(parts))
    assert [s["part"] for s in data["steps"]][:2] == ["pin", "peg"]
    assert data["steps"][0]["label"] in ("+x", "-x")
    assert data["steps"][1]["label"] == "+z"
    assert data["blocking"]["peg"]["+z"] == ["pin"]


def test_captive_ring_is_reported_with_its_blockers():
    data = check_plan(parts := assemblies.captive_ring(), plan(parts))
    assert [s["part"] for s in data["steps"]] == ["block"]
    assert data["remaining"] == ["bar", "ring"]
    assert data["blockers"] == {"bar": ["ring"], "ring": ["bar"]}
    assert all(b == ["bar"] for b in data["held"]["ring"].values())
    # Held indeed, and not only along the directions tried: the ring around the bar's rod, between
    # its caps, and the bar through the ring get away along none of the 26 lattice directions.
    lattice = np.array([(i, j, k) for i in (-1, 0, 1) for j in (-1, 0, 1) for k in (-1, 0, 1) if i or j or k], float)
    for d in lattice / np.linalg.norm(lattice, axis=1, keepdims=True):
        assert not path_is_clear(parts, "ring", ["bar"], d, 10.0, data["allowance"]), d
        assert not path_is_clear(parts, "bar", ["ring"], d, 10.0, data["allowance"]), d


def test_press_fit_within_the_allowance_is_planned():
    interference = 1e-4
    parts = assemblies.pressed_peg(interference)
    result = plan(parts, allowance=3e-4, absolute=True)
    data = check_plan(parts, result)
    assert data["remaining"] == [] and data["steps"][0]["part"] == "peg"
    assert data["steps"][0]["label"] in ("+z", "-z")
    assert interference * 0.999 <= data["interference"]["peg"] <= 3e-4


def test_press_fit_beyond_the_allowance_is_refused_with_the_pair(monkeypatch):
    prepared = []
    original = analysis.Assembly.prepare
    monkeypatch.setattr(analysis.Assembly, "prepare", lambda self, *args: prepared.append(args) or original(self, *args))
    for threads in (1, 2):
        with pytest.raises(AssemblyError, match=r"'peg' and 'plate' overlap by 0\.0003"):
            plan(assemblies.pressed_peg(3e-4), allowance=1e-4, absolute=True, threads=threads)
        if threads == 1:  # the overlaps at rest come first: a refused plan analyses nothing
            assert prepared == []



def test_solids_that_overlap_with_no_surfaces_crossing_are_refused():
    """Two copies of a cube, a cube inside another and two cubes overlapping by half their width
    with flush sides: no two triangles cross deeper than the allowance, the solids do. The depth
    reported is a lower bound: more than the allowance, no more than the real one. A block in
    the cavity of a closed hollow box overlaps nothing: it is held, not refused."""
    cube = box_solid([((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))])
    cases = {1.0: {"a": cube, "b": cube},
             0.25: {"a": box_solid([((0.25,) * 3, (0.75,) * 3)]), "b": cube},
             0.5: {"a": cube, "b": box_solid([((0.5, 0.0, 0.0), (1.5, 1.0, 1.0))])}}
    # An open sheet has no inside of its own: its points deep in the other part's solid say it.
    sheet = (np.array([[0.2, 0.2, 0.5], [0.8, 0.2, 0.5], [0.8, 0.8, 0.5], [0.2, 0.8, 0.5]]), np.array([[0, 1, 2], [0, 2, 3]]))
    cases[0.5] = {"a": cube, "b": sheet}
    for real, parts in cases.items():
        with pytest.raises(AssemblyError, match=r"'a' and 'b' overlap by (\S+) at rest \(at least") as refused:
            plan(parts)
        depth = float(refused.value.args[0].split("overlap by ")[1].split()[0])
        assert 1e-3 < depth <= real
    hollow = box_solid([((0.0, 0.0, 0.0), (3.0, 3.0, 3.0))], [((0.5, 0.5, 0.5), (2.5, 2.5, 2.5))])
    data = plan({"shell": hollow, "block": box_solid([((1.0, 1.0, 1.0), (2.0, 2.0, 2.0))])}).to_json()
    assert data["steps"] == [] and data["blockers"] == {"block": ["shell"], "shell": ["block"]}


def test_unused_vertices_position_and_scale_do_not_change_the_plan():
    """A vertex that no triangle uses is not part of the solid (it would widen the box, the
    size and so the allowance); the same assembly moved and scaled keeps its plan, equal box
    volumes and margins included."""
    parts = assemblies.pinned_peg()
    expected = plan(parts).to_json()
    v, t = parts["peg"]
    stray = {**parts, "peg": (np.vstack([v, [5000.0, 0.0, 0.0]]), t)}
    assert plan(stray).to_json() == expected
    steps = [(s["part"], s["label"]) for s in expected["steps"]]
    for scale, shift in ((1e-6, 0.3), (1e3, -7.0), (3.0, 0.7)):
        moved = {n: ((v + shift) * scale, t) for n, (v, t) in parts.items()}
        assert [(s["part"], s["label"]) for s in plan(moved).to_json()["steps"]] == steps
    twins = {"a": box_solid([((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))]), "b": box_solid([((1.0, 0.0, 0.0), (2.0, 1.0, 1.0))])}
    order = [s["part"] for s in plan(twins).to_json()["steps"]]
    for scale, shift in ((1e-6, 0.3), (1e6, 0.0), (3.0, 0.7)):
        moved = {n: ((v + shift) * scale, t) for n, (v, t) in twins.items()}
        assert [s["part"] for s in plan(moved).to_json()["steps"]] == order


def test_assemblies_far_beyond_unit_size_keep_their_plan():
    """Kilometres in nanometres and nanometres in metres: the checks meet no threshold of the
    kernels at that size (at 1e12 a unit speed along the path counted as none, and the lid left
    sideways through the box; at 1e-9 every pair touched). By a power of two, every length of
    the plan scales exactly."""
    for build in (assemblies.pinned_peg, assemblies.box_with_lid):
        parts = build()
        base = plan(parts).to_json()
        for scale in (2.0**40, 2.0**-30, 1e12, 1e-9):
            scaled = plan({n: (v * scale, t) for n, (v, t) in parts.items()}).to_json()
            assert [s["part"] for s in scaled["steps"]] == [s["part"] for s in base["steps"]]
            assert scaled["blocking"] == base["blocking"] and scaled["remaining"] == base["remaining"]
            exact = math.frexp(scale)[0] == 0.5
            for mine, theirs in zip(scaled["steps"], base["steps"]):
                assert mine["direction"] == theirs["direction"]
                expected = theirs["distance"] * scale
                assert mine["distance"] == expected if exact else math.isclose(mine["distance"], expected, rel_tol=1e-12)
            assert math.isclose(scaled["allowance"], base["allowance"] * scale, rel_tol=1e-15)
    # A refusal speaks in the caller's units too: the depth and the point it names.
    cube = box_solid([((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))])
    with pytest.raises(AssemblyError, match=r"overlap by (\S+) at rest \(at least: a point of 'a' at \((\S+),") as refused:
        plan({"a": (cube[0] * 2.0**40, cube[1]), "b": (cube[0] * 2.0**40, cube[1])})
    depth, x = (float(refused.value.args[0].split(k)[1].split()[0].strip("(,")) for k in ("overlap by ", " at ("))
    assert 1e-3 * 2.0**40 < depth <= 2.0**40 and 0 < x < 2.0**40


def test_thin_parts_are_not_held_by_their_own_shrinking():
    """A sheet thinner than about 3.5 allowances lying on a block, and a slab on two cubes under
    allowances up to 0.6 of its thickness: shrunk by the allowance, their vertices come out of
    the far side into what they rest on, which must not block their way up (nothing is above
    them). The plans are checked by the independent path check."""
    block = box_solid([((0.0, 0.0, 0.0), (100.0, 40.0, 10.0))], step=200.0)
    for thickness in (0.03, 0.01):
        parts = {"block": block, "sheet": box_solid([((10.0, 10.0, 10.0), (60.0, 20.0, 10.0 + thickness))], step=200.0)}
        result = plan(parts)
        assert result.blocking["sheet"]["+z"] == [] and "sheet" not in result.remaining
        check_plan(parts, result)
    parts = {"a": box_solid([((0.0, 0.0, 0.0), (1.0, 1.0, 1.0))]), "b": box_solid([((1.0, 0.0, 0.0), (2.0, 1.0, 1.0))]),
             "c": box_solid([((0.0, 0.0, 1.0), (2.0, 1.0, 2.0))], step=2.0)}
    for allowance in (0.3, 0.6):
        result = plan(parts, allowance=allowance, absolute=True)
        assert result.blocking["c"]["+z"] == [] and result.remaining == []

def test_same_plans_on_one_and_four_threads():
    for build in (assemblies.channel_stack, assemblies.pinned_peg, assemblies.captive_ring):
        parts = build()
        assert plan(parts, threads=4).to_json() == plan(parts, threads=1).to_json()


def test_progress_counts_each_part_analysed_once_per_step():
    parts = assemblies.channel_stack()
    for threads in (1, 2):
        ticks = []
        result = plan(parts, threads=threads, progress=ticks.append)
        # Every part at the first step, then the parts still in place at each later one.
        assert set(ticks) == {1}
        assert len(ticks) == sum(len(parts) - k for k in range(len(result.steps) + (1 if result.remaining else 0)))
