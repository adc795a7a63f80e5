"""In which directions can the part be translated out of the assembly?

The planner's steps on the scene of scene.py (a part seated in a pocket, a lid above):
1. trees of every mesh, each mesh checked for self-intersections;
2. the seat: the triangle pairs touching the part at rest, the area of its face contacts, and
   the cones of directions those pairs block;
3. a branch-and-bound search over the sphere of directions for the direction with the largest
   margin against those cones (the locally best way out), its best cell checked again;
4. candidate directions: a longitude/latitude grid, kept where the seat allows them, rated by
   vertex rays (which obstacle they run into, and how soon);
5. test points inside the part, tested against the obstacles' solids;
6. the exact checks along the whole removal path, in the planner's order: the locally best
   direction, the pocket's axis, then the ray-free candidates with the most room around them,
   until one has no contact beyond its seat and keeps the required clearance once out of it.
It prints a report and draws the map of directions (demo.png in the repository root).

Run with `make demo`, or `python examples/planner.py --obj spot` to seat a mesh of
../shared/meshes instead of the generated peg.
"""

import argparse
import sys
from pathlib import Path
from typing import NamedTuple

import numpy as np

import zet_native

sys.path.insert(0, str(Path(__file__).parent))
from contacts import blocked_cones, face_contact_areas, seat_pairs  # noqa: E402
from direction_grid import direction_grid, room, smallest_margins  # noqa: E402
from direction_map import draw_direction_map  # noqa: E402
from direction_search import check_best_cell, search  # noqa: E402
from interior_points import inside_counts, interior_points  # noqa: E402
from meshes import load_obj  # noqa: E402
from ray_rating import blocking_obstacles, first_hits  # noqa: E402
from removal_check import check_clearance, check_path  # noqa: E402
from report_text import blocking_text, face_name, tilt, vector, violation_text  # noqa: E402
from scene import peg_in_block, seated  # noqa: E402
from timing import Steps  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
SEAT_CLEARANCE = 0.01  # pairs this close at rest are the seat
REQUIRED_CLEARANCE = 0.05  # what the removal path must keep once out of the seat
CANDIDATES_TO_VERIFY = 5  # ray-free candidates tried at most


def load_scene(args):
    if args.obj:
        path = Path(args.obj) if args.obj.endswith(".obj") else Path(args.meshes) / f"{args.obj}.obj"
        if path.is_file():
            return seated(load_obj(path), f"{path.stem} in the corner of a pocket, a lid above")
        print(f"({path} is not here; seating the generated peg instead)\n")
    return peg_in_block()


def build_and_check(scene, step):
    with step("trees"):
        part = zet_native.build_tree(*scene.part)
        obstacles = {name: zet_native.build_tree(*mesh) for name, mesh in scene.obstacles.items()}
    print("1. Meshes, their trees and self-intersections")
    with step("self-intersections"):
        for name, tree in {"part": part, **obstacles}.items():
            found = zet_native.self_intersections(tree, witness_limit=3)
            print(f"  {name:<6}{len(tree.triangles):>7} triangles, tree of {len(tree.node_meta):>5} nodes;"
                  f" {found.intersecting} intersecting of {found.evaluated} non-adjacent pairs tested"
                  + (f", first {found.witnesses.tolist()}" if found.intersecting else ""))
    return part, obstacles


def describe_seat(part, obstacles, step):
    with step("seat"):
        pairs = seat_pairs(part, obstacles, SEAT_CLEARANCE)
        seat = blocked_cones(part, obstacles, pairs)
    print(f"\n2. Seat: triangle pairs within {SEAT_CLEARANCE} at rest, face contacts, blocked cones")
    with step("face contacts"):
        for name, tree in obstacles.items():
            faces = face_contact_areas(part, tree, pairs[name], SEAT_CLEARANCE) if len(pairs[name]) else {}
            shown = ", ".join(f"{area:.3f} on the part's {face_name(n)} face" for n, area in
                              sorted(faces.items(), key=lambda f: -f[1])[:4]) or "none"
            print(f"  {name:<6}{len(pairs[name]):>6} pairs; face contact area: {shown}")
    g = seat.groups
    print(f"  {len(g.kinds)} cone groups, {int(g.blocks_all.sum())} blocking every direction")
    return seat


def search_locally_best(seat, step):
    print("\n3. Branch and bound over the sphere of directions (margin against the seat's cones)")
    with step("branch and bound"):
        result = search(seat.groups)
        check = check_best_cell(result, seat.groups)
    print(f"  locally best direction {vector(result.direction)}, margin {result.margin:.4f} (no direction above "
          f"{result.upper_bound:.4f}); {result.cells} cells in {result.calls} calls, down to level {result.depth}")
    print(f"  best cell against all {len(seat.groups.kinds)} groups: smallest margin {check.margin:.4f} "
          f"(same as the search: {check.margin == result.margin}); cap lower bounds over the cell "
          f"(within {np.degrees(result.best_cell[2]):.3f} degrees of its center) never above the margins: {check.caps_below_margins}")
    return result


class Rating(NamedTuple):
    grid: object  # DirectionGrid
    margins: np.ndarray  # float64 (directions,): smallest margin against the seat's cones
    hits: np.ndarray  # bool (directions, obstacles): vertex rays run into the obstacle
    free: np.ndarray  # bool (directions,): allowed by the seat, no ray into any obstacle
    candidates: list  # (direction, room in radians) of the free directions, roomiest first


def rate_candidates(scene, part, obstacles, seat, step, grid_degrees):
    grid = direction_grid(grid_degrees)
    with step("margin map"):
        margins = smallest_margins(grid.directions, seat.groups)
    with step("ray rating"):
        hits, _ = blocking_obstacles(grid.directions, scene.removal_length, part, obstacles)
    allowed = margins > 0
    free = allowed & ~hits.any(axis=1)
    print(f"\n4. Candidates: {len(grid.directions)} directions on a {grid_degrees:g} degree grid, {allowed.sum()} "
          f"allowed by the seat; vertex rays over the removal path ({scene.removal_length:.2f} long):")
    for k, name in enumerate(obstacles):
        print(f"  run into the {name}: {int((allowed & hits[:, k]).sum())} of the allowed")
    free_room = room(grid.directions, free)
    tilts = [tilt(d) for d in grid.directions[free]]
    print(f"  free of every obstacle: {free.sum()}" + (
        f", tilted {min(tilts):.1f} to {max(tilts):.1f} degrees from +z, up to {np.degrees(free_room.max()):.1f}"
        f" degrees from a blocked direction" if free.any() else ""))
    for k, name in enumerate(obstacles):  # what the planner would pick without an obstacle off the seat
        if len(seat.pairs[name]):
            continue
        without = allowed & ~np.delete(hits, k, axis=1).any(axis=1)
        if without.any():
            roomiest = grid.directions[without][np.argmax(room(grid.directions, without))]
            print(f"  without the {name}: {without.sum()} free, the roomiest {vector(roomiest)}, "
                  f"{tilt(roomiest):.1f} degrees from +z")
    order = np.lexsort((-margins[free], -free_room))  # most room first, then the larger seat margin
    candidates = [(grid.directions[free][i], float(free_room[i])) for i in order[:CANDIDATES_TO_VERIFY]]
    return Rating(grid, margins, hits, free, candidates)


class Outcome(NamedTuple):
    label: str
    direction: np.ndarray
    margin: float  # against the seat's cones
    path: object  # removal_check.PathCheck
    clearance: object  # removal_check.ClearanceCheck, for a direction the path query passed
    accepted: bool


def verify(scene, part, obstacles, seat, tried, step):
    """The planner's order of exact checks, up to the first direction that passes them all."""
    print(f"\n6. Exact checks along the whole path (t from 0 to {scene.removal_length:.2f}), in the planner's order")
    everything = np.arange(len(seat.groups.kinds))
    outcomes = []
    for label, d in tried:
        with step("ray hits"):
            rays = first_hits(d, scene.removal_length, part, obstacles)
            rated, inside = blocking_obstacles(d[None], scene.removal_length, part, obstacles)
        with step("path queries"):
            path = check_path(part, obstacles, d, scene.removal_length)
        margin = float(zet_native.margins(d[None], everything, seat.groups).min())
        met = ", ".join(f"{n} after {h.depth:.3f} ({h.rays} rays)" for n, h in rays.items() if h.rays) or "nothing"
        print(f"  {label} {vector(d)}, {tilt(d):.1f} degrees from +z, seat margin {margin:+.4f}")
        print(f"    vertex rays: run into {int(rated.sum())} of {len(obstacles)} obstacles, {inside[0]:.2f} of ray length inside; "
              f"first meet {met}")
        if path.blocking:
            print("    path query: BLOCKED, " + "; ".join(blocking_text(n, b) for n, b in path.blocking.items()))
            outcomes.append(Outcome(label, d, margin, path, None, False))
            continue
        print(f"    path query: no contact beyond the seat ({path.touching} pairs touching at t = 0 only)")
        with step("clearance"):
            clear = check_clearance(part, obstacles, d, scene.removal_length, REQUIRED_CLEARANCE,
                                    slack=0.01 * scene.removal_length)
        after = clear.after
        witnesses = sum(len(r.witnesses) for r in after.results)
        unresolved = sum(r.unresolved for r in after.results)
        print(f"    clearance {REQUIRED_CLEARANCE}: {clear.seat_pairs} seat pairs closer at rest, all apart by "
              f"t = {clear.release:.3f}; {clear.leaving} pairs closer on the way out of the seat (t < "
              f"{clear.start:.3f}), {len(clear.violations)} after it" + (
                  f", first {violation_text(clear.violations[0])}" if clear.violations else ""))
        print(f"    from t = {clear.start:.3f} to the end: {sum(len(c) for c in after.candidates)} candidate pairs, "
              f"{witnesses} witnesses, {unresolved} unresolved, {after.evaluations} distance evaluations"
              + ("" if after.status == 0 else f" (stopped, status {after.status})"))
        accepted = (clear.status == 0 and after.status == 0 and not clear.violations and witnesses == 0
                    and unresolved == 0)
        outcomes.append(Outcome(label, d, margin, path, clear, accepted))
        if accepted:
            break
        print("    -> rejected: the clearance is not proved")
    return outcomes


def report(scene, rating, outcomes, points, solids):
    print("\nReport")
    free = rating.grid.directions[rating.free]
    print(f"  directions found: {len(free)} of {len(rating.grid.directions)} grid directions free of the seat's cones "
          f"and of the vertex rays" + (f", {min(map(tilt, free)):.1f} to {max(map(tilt, free)):.1f} degrees from +z"
                                       if len(free) else ""))
    blocked = [o for o in outcomes if o.clearance is None]
    if blocked:
        o = blocked[0]
        name, b = o.path.first
        print(f"  first blocked: the {o.label} direction {vector(o.direction)} (seat margin {o.margin:.4f}) "
              f"{blocking_text(name, b)}")
        if b.meeting:
            pushed = min(b.enter + 0.2, scene.removal_length)
            buried = inside_counts(points + pushed * o.direction, solids)[name][0]
            print(f"    pushed on to t = {pushed:.3f}, {buried} of {len(points)} test points would be inside the {name}")
    for o in blocked[1:]:
        print(f"  also blocked: the {o.label} direction: " + "; ".join(
            blocking_text(n, b) for n, b in o.path.blocking.items()))
    chosen = next((o for o in outcomes if o.accepted), None)
    if chosen is None:
        print("  no candidate passed the exact checks")
        return None
    c, end = chosen.clearance, inside_counts(points + scene.removal_length * chosen.direction, solids)
    print(f"  chosen: {chosen.label} {vector(chosen.direction)}, {tilt(chosen.direction):.1f} degrees from +z, "
          f"seat margin {chosen.margin:.4f}")
    print(f"    contacts: {chosen.path.touching} pairs touching at t = 0 only, none after; clearance "
          f"{REQUIRED_CLEARANCE}: witnesses only on the way out of the seat ({c.leaving} pairs, t < {c.start:.3f}), "
          f"none after it")
    print("    test points at the end of the path inside: " + ", ".join(f"{n} {k}" for n, (k, _) in end.items()))
    return chosen


def draw(path, scene, rating, best, chosen, first_blocked):
    free_style = dict(marker=".", color="white", markeredgecolor="black", markeredgewidth=0.4, markersize=5)
    marks = [("free of the seat and the rays", rating.grid.directions[rating.free], free_style),
             ("locally best" + (" (blocked)" if first_blocked else ""), best.direction,
              dict(marker="X", color="black", markersize=9)),
             ("pocket axis +z", np.array([0.0, 0.0, 1.0]),
              dict(marker="^", color="black", markersize=8, markerfacecolor="white"))]
    if chosen is not None:
        marks.append(("chosen direction", chosen.direction,
                      dict(marker="*", color="darkgreen", markersize=15, markeredgecolor="white")))
    draw_direction_map(path, f"Directions to take out {scene.title}", rating.grid, rating.margins, rating.hits,
                       list(scene.obstacles), marks, rating.grid.directions[rating.free])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--obj", help="seat this mesh (a name in --meshes, or a path to an .obj file)")
    parser.add_argument("--meshes", default=str(REPO.parent / "shared" / "meshes"), help="folder of OBJ meshes")
    parser.add_argument("--grid", type=float, default=3.0, help="grid spacing of candidate directions, degrees")
    parser.add_argument("--out", default=str(REPO / "demo.png"), help="where to write the map of directions")
    args = parser.parse_args()
    step = Steps()
    scene = load_scene(args)
    print(f"Removal directions: {scene.title}\n")
    part, obstacles = build_and_check(scene, step)
    seat = describe_seat(part, obstacles, step)
    best = search_locally_best(seat, step)
    rating = rate_candidates(scene, part, obstacles, seat, step, args.grid)

    print("\n5. Test points inside the part, against the obstacles' solids")
    with step("test points"):
        points = interior_points(part)
        solids = {name: zet_native.winding_tree(tree) for name, tree in obstacles.items()}
        at_rest = inside_counts(points, solids)
    print(f"  {len(points)} points inside the part; at rest inside: "
          + ", ".join(f"{n} {k} ({a} ambiguous)" for n, (k, a) in at_rest.items()))

    tried = [("locally best", best.direction), ("pocket axis", np.array([0.0, 0.0, 1.0]))]
    tried += [(f"candidate {i + 1} (room {np.degrees(r):.1f} deg)", d) for i, (d, r) in enumerate(rating.candidates)]
    outcomes = verify(scene, part, obstacles, seat, tried, step)
    chosen = report(scene, rating, outcomes, points, solids)
    with step("picture"):
        draw(args.out, scene, rating, best, chosen, outcomes[0].clearance is None)
    print(f"  map of directions: {args.out}")
    print("  time per step: " + ", ".join(f"{k} {v * 1e3:.0f} ms" for k, v in step.seconds.items()))


if __name__ == "__main__":
    main()
