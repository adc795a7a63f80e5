"""bvh_path_query against a path query written here; threads, NaN, cancellation, contact order; argument
checks, and the tree checks shared with self_intersection_pairs."""

import functools
import heapq
import math
import re
import struct

import numpy as np
import pytest
from reference_ccd import ref_kernel, swept_box
from support import (
    CALLABLE,
    DTYPE,
    SANITIZED,
    SHAPE,
    TOLS,
    UNLIMITED,
    Asker,
    BadTruth,
    Poller,
    Refusal,
    Tree,
    both,
    own_vertices,
    sphere,
    torus,
)

import _zet_native as zn
import zet_native

BOX_TOL = 1e-9


def query(moving, obstacle, velocity, t0, t1, budget=UNLIMITED, interval=4096, cancel=None,
          box_static=0.0, box_tol=BOX_TOL, tols=TOLS):
    return zn.bvh_path_query(tuple(moving), tuple(obstacle), np.asarray(velocity, np.float64),
                             t0, t1, box_tol, box_static, *tols, budget, interval, cancel)


# ---------------------------------------------------------------- reference path query

def first(x):
    """Sort key putting larger values first: -0 equals +0, a NaN comes before +inf."""
    return (0, 0.0) if math.isnan(x) else (1, -x)


class ReferenceQuery:
    """The traversal once (its pop order depends on neither budget nor cancellation); run()
    replays the pops, batches and consumption."""

    def __init__(self, moving, obstacle, velocity, t0, t1, box_static=0.0):
        a, b, v = Tree(moving), Tree(obstacle), [float(x) for x in velocity]
        self.pops, self.jobs = [], []  # pops: (queue size before the pop, job index or None)
        heap = [(first(t1), first(t0), 0, 0, t0, t1)]
        while heap:
            size = len(heap)
            _, _, i, j, lo, hi = heapq.heappop(heap)
            a_leaf, b_leaf = a.meta[i][0] < 0, b.meta[j][0] < 0
            self.pops.append((size, len(self.jobs) if a_leaf and b_leaf else None))
            if a_leaf and b_leaf:
                found = [(first(w[1]), first(w[0]), m, o) + w for m in a.leaf(i) for o in b.leaf(j)
                         if (w := swept_box(*a.box[m], *b.box[o], v, lo, hi, BOX_TOL, box_static))]
                outcomes = []  # (candidate index, contact or None, uncertain window bytes)
                for k, (_, _, m, o, c_lo, c_hi) in enumerate(sorted(found)):
                    r = ref_kernel(a.tri[m], b.tri[o], v, c_lo, c_hi, *TOLS)
                    contact = (m, o, r[1], r[2], float(r[3]), r[4], r[5]) if r[0] == 0 else None
                    window = struct.pack("=IIdd", m, o, r[1], r[2]) if r[8] == 6 else b""
                    if r[0] != 1:
                        outcomes.append((k, contact, window))
                self.jobs.append((len(found), outcomes))
                continue
            if b_leaf or (not a_leaf and a.meta[i][3] >= b.meta[j][3]):
                children = [(c, j) for c in a.meta[i][:2]]
            else:
                children = [(i, c) for c in b.meta[j][:2]]
            for ci, cj in children:
                if w := swept_box(a.lo[ci], a.hi[ci], b.lo[cj], b.hi[cj], v, lo, hi, BOX_TOL, box_static):
                    heapq.heappush(heap, (first(w[1]), first(w[0]), ci, cj) + w)

    def run(self, budget=UNLIMITED, interval=4096, cancel=None):
        status = used = uncertain = leaf_pairs = candidates = chunks = node_pairs = max_heap = 0
        contacts, windows, reported = [], [], (0, 0)
        poller, capacity, p, stopped = Poller(cancel, interval, interval), 256, 0, False
        while p < len(self.pops) and not stopped:
            batch = []
            while p < len(self.pops) and len(batch) < capacity and not stopped:
                max_heap = max(max_heap, self.pops[p][0])
                if not (stopped := poller.poll(1)):
                    p, node_pairs = p + 1, node_pairs + 1
                    if self.pops[p - 1][1] is not None:
                        batch.append((self.pops[p - 1][1], (node_pairs, max_heap)))
            for job, at_emit in [] if stopped else batch:
                count, outcomes = self.jobs[job]
                leaf_pairs, reported, candidates = leaf_pairs + 1, at_emit, candidates + count
                done = cursor = 0
                while done < count:
                    if used >= budget or poller.poll(0):
                        status, stopped = (1 if used >= budget else 2), True
                        break
                    chunk = min(interval, budget - used, count - done)
                    done += chunk
                    for _, contact, window in (o for o in outcomes[cursor:] if o[0] < done):
                        cursor += 1
                        contacts += [contact] if contact else []
                        uncertain, windows = uncertain + (contact is None), windows + [window]
                    used, chunks, poller.work = used + chunk, chunks + 1, poller.work + chunk
                if stopped:
                    break
            capacity = min(2 * capacity, 65536)
        if status == 0:
            reported, status = (node_pairs, max_heap), 2 if stopped else 0
        contacts.sort(key=lambda c: (first(c[3]), first(c[2]), c[0], c[1]))
        return (status, used, uncertain, b"".join(struct.pack("=IIddddd", *c) for c in contacts),
                b"".join(windows), reported[0], leaf_pairs, candidates, chunks, reported[1])


CASES = {  # sphere centre, leaf size, velocity, t_begin, t_end, box_static, excluded
    "through": ((-2.0, 0.0, 0.0), 24, (1.0, 0.0, 0.0), 0.0, 4.0, 0.0, False),
    "oblique": ((-2.0, 0.1, 0.0), 2, (0.9, 0.25, -0.1), -0.5, 3.5, 0.2, True),
    "at_rest": ((-1.0, 0.0, 0.0), 4, (0.0, 0.0, 0.0), 0.0, 1.0, 0.0, False),
    "instant": ((-2.0, 0.0, 0.0), 3, (1.0, 0.0, 0.0), 1.0, 1.0, 0.0, False),
}


@functools.cache
def reference_case(name):
    centre, leaf, velocity, t0, t1, box_static, exclude = CASES[name]
    # A small sphere plus two collinear triangles (undecided wherever tested) into a torus.
    vertices, triangles = sphere(16, 0.5, centre)
    n = len(vertices)
    needles = np.add(centre, [[0.1, 0.3, 0], [0.3, 0.3, 0], [0.5, 0.3, 0], [0.2, -0.2, 0.1]])
    vertices = np.vstack([vertices, needles])
    triangles = np.vstack([triangles, np.array([[n, n + 1, n + 2], [n + 3, n, n + 2]], np.uint32)])
    excluded = [np.arange(len(triangles)) % 7 == 3, np.arange(256) % 5 == 1] if exclude else [None] * 2
    moving = zet_native.build_tree(vertices, triangles, leaf, excluded[0])
    obstacle = zet_native.build_tree(*torus(16, 8), leaf, excluded[1])
    args = (velocity, t0, t1)
    return moving, obstacle, args, box_static, ReferenceQuery(moving, obstacle, *args, box_static)


@pytest.mark.parametrize("case", CASES)
def test_matches_reference(case):
    moving, obstacle, args, box_static, ref = reference_case(case)
    module = lambda budget, interval, cancel: query(moving, obstacle, *args, budget, interval, cancel, box_static)
    full = both(module, ref.run, UNLIMITED, interval=4096)
    total = full[7]
    assert full[0] == 0 and full[1] == total > 300 and full[3] and full[6] > 100
    assert {bool(c) for _, outcomes in ref.jobs for _, c, _ in outcomes} == {True, False}
    contacts = np.frombuffer(full[3], zet_native.CONTACT_DTYPE)
    windows = np.frombuffer(full[4], zet_native.UNCERTAIN_WINDOW_DTYPE)
    for tree, field in ((moving, "moving_triangle"), (obstacle, "obstacle_triangle")):
        assert not tree.excluded[np.r_[contacts[field], windows[field]]].any()
    if case == "at_rest":  # every window is the root interval: ties are broken by indices
        assert (contacts["enter"] == 0).all() and (contacts["exit"] == 1).all()
    for budget in (0, 1, 5, 37, total // 2 + 1, total - 1, total):
        for interval in (1, 3, 1000):
            got = both(module, ref.run, budget, interval=interval)
            # The budget is tested before each further chunk only, so using it up exactly
            # completes; the job at which it stops still counts in full.
            assert got[0] == (budget < total) and got[1] == budget
            assert got[7] > budget or budget == total
    # Consultations landing in the first or a later pop phase, or between a job's chunks.
    for interval, yes_at, answer in [(1, 1, True), (1, 900, True), (1, 2500, True), (3, 7, True), (3, 400, True),
                                     (50, 20, True), (50, 45, True), (1000, 2, True), (1000, math.inf, True),
                                     (1, 2, Refusal("call")), (40, 2, BadTruth()), (700, 2, BadTruth())]:
        for budget in (UNLIMITED, total // 3, 0):
            both(module, ref.run, budget, interval=interval, yes_at=yes_at, answer=answer)


# ---------------------------------------------------------------- thread count, NaN

def test_independent_of_thread_count():
    # A sphere through a torus, leaves of two: tens of thousands of leaf pairs.
    segments, major, minor = (60, 60, 30) if SANITIZED else (142, 200, 50)
    moving = zet_native.build_tree(*sphere(segments, 0.5, (-2.0, 0.0, 0.0)), 2)
    obstacle = zet_native.build_tree(*torus(major, minor), 2)
    total = query(moving, obstacle, (1.0, 0.05, 0.02), 0.0, 4.0)[7]
    runs = [(UNLIMITED, 4096, None), (1001, 4096, None), (total // 2 + 1, 4096, None),
            (total - 99, 7, None), (UNLIMITED, total // 8, 4), (UNLIMITED, 997, 30)]
    results = []
    for limit in (1, 2, 5, 32):
        zn.set_thread_limit(limit)
        results.append([query(moving, obstacle, (1.0, 0.05, 0.02), 0.0, 4.0, budget, interval,
                               yes_at and Asker(yes_at)) for budget, interval, yes_at in runs])
    assert results[1] == results[0] and results[2] == results[0] and results[3] == results[0]
    full, *cut, cancelled, cancelled_later = results[0]
    assert full[0] == 0 and full[6] > 20000 and len(full[3]) > 0
    for (budget, _, _), got in zip(runs[1:], cut):
        assert got[0] == 1 and got[1] == budget and got[7] > budget
    assert cancelled[0] == cancelled_later[0] == 2


NAN_FAULTS = ("vertices", "boxes", "box_tol", "abs_tol")  # a NaN velocity is refused


@pytest.mark.parametrize("faults", [(fault,) for fault in NAN_FAULTS] + [NAN_FAULTS])
def test_nan_inputs_are_deterministic(faults):
    moving, obstacle, (velocity, t0, t1), box_static, _ = reference_case("oblique")
    moving, obstacle = [np.array(x) for x in moving], [np.array(x) for x in obstacle]
    velocity, box_tol = np.array(velocity), math.nan if "box_tol" in faults else BOX_TOL
    tols = [math.nan if "abs_tol" in faults else TOLS[0], *TOLS[1:]]
    if "vertices" in faults:
        moving[0][::9, 1] = np.nan
    if "boxes" in faults:
        obstacle[3][1::3, 0] = obstacle[4][2::5, 2] = np.nan
    got = []
    for limit in (1, 32):
        zn.set_thread_limit(limit)
        got.append([query(moving, obstacle, velocity, t0, t1, budget, interval,
                          yes_at and Asker(yes_at), box_static, box_tol, tols)
                    for budget, interval, yes_at in [(UNLIMITED, 9, None), (777, 5, None), (UNLIMITED, 50, 9)]])
    assert got[0] == got[1]


# ---------------------------------------------------------------- order, small trees

def triangles_at(heights, dx=0.0):
    """One right triangle per height, each with vertices of its own."""
    return own_vertices([[(dx, 0, z), (1 + dx, 0, z), (dx, 1, z)] for z in heights])


def test_contact_order_and_small_trees():
    # Two identical moving triangles rise through obstacles at 0.3, 0.7 and (again) 0.7.
    moving = zet_native.build_tree(*triangles_at([0.0, 0.0]), 1)
    obstacle = zet_native.build_tree(*triangles_at([0.3, 0.7, 0.7], 0.1), 1)
    contacts = np.frombuffer(query(moving, obstacle, (0, 0, 1), 0.0, 1.0)[3], zet_native.CONTACT_DTYPE)
    pairs = list(zip(contacts["moving_triangle"].tolist(), contacts["obstacle_triangle"].tolist()))
    assert pairs == [(0, 1), (0, 2), (1, 1), (1, 2), (0, 0), (1, 0)]
    assert contacts["exit"][0] == contacts["exit"][3] == pytest.approx(0.7)
    assert contacts["exit"][4] == contacts["exit"][5] == pytest.approx(0.3)
    # Both roots leaves: one job. Roots far apart: the root pair alone is popped.
    one, other = [zet_native.build_tree(*triangles_at([z]), 4) for z in (0.0, 0.5)]
    got = query(one, other, (0, 0, 1), 0.0, 1.0)
    assert got[0] == 0 and got[5:] == (1, 1, 1, 1, 1) and len(got[3]) == 48
    far = zet_native.build_tree(*triangles_at([0.0, 1.0], 50.0), 1)
    assert query(moving, far, (0, 0, 1), 0.0, 1.0) == (0, 0, 0, b"", b"", 1, 0, 0, 0, 1)


# ---------------------------------------------------------------- arguments

BUDGET = "pair budget must be non-negative and cancel interval positive"
ROOT = "root interval must be finite and ordered"
LENGTHS = "%s tree arrays have inconsistent lengths"
VERTEX = "%s triangle index is outside the vertex array"
LEAF = "%s leaf triangle is outside the triangle array"
NODE = "%s tree node {} is malformed"


def base_tree():
    """Four triangles in a row, leaves of one: nodes 0 (1, 4), 1 (2, 3), 4 (5, 6)."""
    vertices, triangles = triangles_at([0.0] * 4)
    vertices[:, 0] += np.repeat([0.0, 3.0, 6.0, 9.0], 3)
    tree = [np.array(x) for x in zet_native.build_tree(vertices, triangles, 1)]
    assert tree[5][:, :2].tolist() == [[1, 4], [2, 3], [-1, -1], [-1, -1], [5, 6], [-1, -1], [-1, -1]]
    return tree


def edit(*meta, **changes):
    """A base tree with node_meta entries set, ((node, field), value), and elements replaced
    by functions of themselves."""
    def make():
        tree = base_tree()
        for at, value in meta:
            tree[5][at] = value
        names = zet_native.TriangleTree._fields
        return [changes.get(name, lambda x: x)(x) for name, x in zip(names, tree)]
    return make


def call_with(name, tree):
    if name == "mesh":
        return zn.self_intersection_pairs(tuple(tree), 0.0, *TOLS, UNLIMITED, 16, 4096, None)
    pair = (tree, base_tree()) if name == "moving" else (base_tree(), tree)
    return query(*pair, (1, 0, 0), 0.0, 1.0)


def u32(a):
    return a.astype(np.uint32)


def reached_twice(step):
    """Node i's children are i + 1 and i + step; with step 1 a walk would take 2^64 steps."""
    meta = np.array([[i + 1, i + step, 0, 1, 0] for i in range(64)] + [[-1, -1, 0, 1, 0]] * 2, np.int32)
    boxes = np.tile([[-1.0, -1.0, -1.0]], (66, 1))
    return lambda: [*triangles_at([0.0]), np.zeros(1, np.uint8), boxes, -boxes, meta, np.zeros(1, np.uint32)]


def rows(n):
    return lambda a: a[:n].copy()


@pytest.mark.parametrize("name", ["moving", "obstacle", "mesh"])
@pytest.mark.parametrize("make, message", [
    (edit(order=lambda a: a.astype(np.int64), excluded=rows(2)), DTYPE),
    (edit(excluded=lambda a: np.zeros(5, np.uint8), triangles=lambda a: a + 99), LENGTHS),
    (edit(node_min=rows(6)), LENGTHS),
    (edit(node_max=lambda a: np.vstack([a, a[:1]])), LENGTHS),
    (edit(node_min=rows(0), node_max=rows(0), node_meta=rows(0)), LENGTHS),
    (edit(triangles=lambda a: u32(np.where(a == 5, 12, a)), order=lambda a: a + 4), VERTEX),
    (edit(((3, 0), 3), order=lambda a: u32(np.where(a == 2, 4, a))), LEAF),
    (edit(((1, 0), 1)), NODE.format(1)),
    (edit(((0, 0), 0)), NODE.format(0)),
    (edit(((4, 1), 7)), NODE.format(4)),
    (edit(((4, 1), 3)), NODE.format(4)),
    (edit(((6, 2), 3), ((6, 3), 2)), NODE.format(6)),
    (edit(((5, 2), -1)), NODE.format(5)),
    (edit(((2, 3), -1)), NODE.format(2)),
    (edit(((0, 1), 1)), NODE.format(0)),  # both children node 1
    (edit(((1, 1), 4), ((6, 2), 9)), NODE.format(1)),  # node 4 is already node 0's child
    (edit(((4, 0), 6), ((4, 1), 5)), None),  # children in either order
    (edit(((2, 0), -7), ((2, 1), 6), ((0, 2), -3), ((0, 3), 99), ((1, 4), 5)), None),
    (edit(((6, 3), 0), order=lambda a: np.array([0, 1, 2, 3, 2, 1], np.uint32)), None),
    (edit(((0, 0), -1), ((0, 1), -1), node_min=rows(1), node_max=rows(1), node_meta=rows(1)), None),
    (edit(excluded=lambda a: np.ones(len(a), bool)), None),
    (reached_twice(1), NODE.format(0)), (reached_twice(2), NODE.format(1)),
])
def test_tree_checks(name, make, message):
    if message is None:
        assert call_with(name, make())[0] == 0
    else:
        with pytest.raises(ValueError, match=f"^{re.escape(message % name)}$"):
            call_with(name, make())


BAD = edit(((1, 0), 1))


@pytest.mark.parametrize("change, error, message", [
    (dict(budget=-1, cancel=5, t1=-1.0, moving=BAD), ValueError, BUDGET),
    (dict(interval=0, cancel=5), ValueError, BUDGET),
    (dict(cancel=5, t1=-1.0), TypeError, CALLABLE),
    (dict(t1=-1.0, moving=BAD), ValueError, ROOT),
    (dict(t0=math.nan, moving=BAD), ValueError, ROOT),
    (dict(t1=math.inf), ValueError, ROOT),
    (dict(t0=-math.inf), ValueError, ROOT),
    (dict(moving=BAD, obstacle=BAD, velocity=np.zeros(4)), ValueError, NODE.format(1) % "moving"),
    (dict(obstacle=BAD, velocity=np.array([math.nan, 0.0, 0.0])), ValueError, NODE.format(1) % "obstacle"),
    (dict(velocity=np.full(4, math.nan)), ValueError, SHAPE % "velocity"),  # its shape before its values
    (dict(velocity=np.array([math.nan, 0.0, 0.0])), ValueError, "velocity must be finite"),
    (dict(velocity=[1.0, 0.0, 0.0]), TypeError, None),
])
def test_argument_checks_in_order(change, error, message):
    a = dict(moving=base_tree, obstacle=base_tree, velocity=np.array([1.0, 0, 0]), t0=0.0, t1=1.0,
             budget=10, interval=1, cancel=None) | change
    with pytest.raises(error, match=message and f"^{re.escape(message)}$"):
        zn.bvh_path_query(tuple(a["moving"]()), tuple(a["obstacle"]()), a["velocity"], a["t0"], a["t1"],
                          BOX_TOL, 0.0, *TOLS, a["budget"], a["interval"], a["cancel"])
