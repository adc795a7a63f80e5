"""Exact checks of a removal direction along its whole path: contacts with the path query, and a
required clearance with the clearance search.

The part starts in its seat, touching the pocket, so both checks see the seat at t = 0. A
contact that has ended by TOUCH is that touching, and the direction leaves it. A contact that
lasts longer, with an obstacle triangle that touches the part at rest, is the part sliding
along its seat; a contact with any other triangle is an obstacle in the way. Both block the
direction.

The required clearance cannot hold while the part leaves its seat. A pair closer than required
before the part moves is a seat pair: the distance of two triangles under a translation is
convex in t, so such a pair is too close on one interval from t = 0, which its witness (the
last violating interval of a pair) ends. The path up to a little past the last of these
releases is the way out of the seat; on the rest of the path the clearance must hold, and a
second search, of the part moved to that point, proves it there.
"""

from typing import NamedTuple

import numpy as np

import zet_native

TOUCH = 1e-9  # contacts that end by this t are the seat's touching at the start
EVALUATION_LIMIT = 20_000_000  # distance evaluations per clearance check, over all obstacles


class Blocking(NamedTuple):
    sliding: int  # pairs in contact past TOUCH with obstacle triangles that touch the part at rest
    slides_until: float  # latest end of those contacts
    meeting: int  # other pairs in contact past TOUCH
    enter: float  # earliest start of those contacts (inf without one)
    where: np.ndarray  # centroid of the obstacle triangle of that earliest contact (None without one)


class PathCheck(NamedTuple):
    touching: int  # pairs touching at the start only
    blocking: dict  # obstacle name -> Blocking, for the obstacles met beyond the start
    status: int  # worst status of the queries (0 complete)

    @property
    def first(self):
        """(obstacle, Blocking) of the earliest obstacle met after the start (a sliding contact
        only when no obstacle is met), or None."""
        return min(self.blocking.items(), key=lambda item: (item[1].meeting == 0, item[1].enter), default=None)


def check_path(part, obstacles, direction, length):
    touching, blocking, status = 0, {}, 0
    direction = np.asarray(direction, dtype=np.float64)
    for name, tree in obstacles.items():
        result = zet_native.path_query(part, tree, direction, 0.0, length)
        status = max(status, result.status)
        contacts = result.contacts
        lasting = contacts["exit"] > TOUCH
        touching += int(np.count_nonzero(~lasting))
        seat = contacts["obstacle_triangle"][contacts["enter"] <= TOUCH]
        along = np.isin(contacts["obstacle_triangle"], seat)
        sliding, meeting = contacts[lasting & along], contacts[lasting & ~along]
        if len(sliding) or len(meeting):
            enter, where = np.inf, None
            if len(meeting):
                first = meeting[np.argmin(meeting["enter"])]
                enter = float(first["enter"])
                where = tree.vertices[tree.triangles[first["obstacle_triangle"]]].mean(axis=0)
            blocking[name] = Blocking(len(sliding), float(sliding["exit"].max(initial=0.0)), len(meeting),
                                      enter, where)
    return PathCheck(touching, blocking, status)


def moved(tree, offset):
    """The same tree translated by offset: vertices and node boxes move together, so it stays
    a valid tree of the moved mesh (rounding is monotone, boxes still hold their triangles)."""
    return tree._replace(vertices=tree.vertices + offset, node_min=tree.node_min + offset,
                         node_max=tree.node_max + offset)


class Violation(NamedTuple):
    obstacle: str
    part_triangle: int
    obstacle_triangle: int
    t_lo: float
    t_hi: float
    distance: float  # upper bound of the distance inside the witness interval


class ClearanceCheck(NamedTuple):
    status: int  # of the search over the whole path (0 complete, 3 evaluation budget spent)
    seat_pairs: int  # pairs closer than the clearance at rest
    release: float  # when the last of them is the clearance apart (its witness's end)
    leaving: int  # pairs too close on the way out of the seat (before start), seat pairs included
    start: float  # the way out of the seat ends here: release plus the slack
    violations: list  # Violation: pairs still too close after start, earliest first
    after: zet_native.ClearanceReport  # the search of the rest of the path, [start, length]


def check_clearance(part, obstacles, direction, length, clearance, slack):
    """The clearance over the whole path (the obstacles sharing one evaluation budget): the seat
    pairs' releases, the pairs too close after them, and the search of the rest of the path."""
    direction = np.asarray(direction, dtype=np.float64)
    names = list(obstacles)
    whole = zet_native.check_clearance(part, list(obstacles.values()), direction, length, clearance,
                                       evaluation_limit=EVALUATION_LIMIT)
    found, windows = [], []
    seat, release = 0, 0.0
    for name, pairs, result in zip(names, whole.candidates, whole.results):
        w = result.witnesses
        close = pairs[w["pair_index"]]
        tree = obstacles[name]
        at_rest = zet_native.triangle_distances(part.vertices[part.triangles[close[:, 0]]],
                                                tree.vertices[tree.triangles[close[:, 1]]])
        at_seat = at_rest["upper"] < clearance
        seat += int(at_seat.sum())
        release = max(release, float(w["t_hi"][at_seat].max(initial=0.0)))
        found += [(name, int(i), int(j)) for i, j in close]
        windows.append(w)
    start = min(release + slack, length)
    windows = np.concatenate(windows) if windows else np.zeros(0, zet_native.CLEARANCE_WITNESS_DTYPE)
    late = windows["t_hi"] > start
    violations = sorted((Violation(*f, float(w["t_lo"]), float(w["t_hi"]), float(w["upper"]))
                         for f, w, is_late in zip(found, windows, late) if is_late), key=lambda v: v.t_lo)
    after = zet_native.check_clearance(moved(part, start * direction), list(obstacles.values()), direction,
                                       length - start, clearance, evaluation_limit=EVALUATION_LIMIT)
    return ClearanceCheck(whole.status, seat, release, int(np.count_nonzero(~late)), start, violations, after)
