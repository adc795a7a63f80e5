"""What holds one part: for a direction, which other parts block its translation to infinity.

Whether part Q blocks part P along d does not depend on the other parts, so every answer is
kept (per P, Q and d) and reused by later steps of the plan. P translates by t d (d a unit
vector) from t = 0 until its box has left Q's box for good (boxes are convex, so their overlap
along a ray is one interval); beyond that nothing of P can meet Q.

The allowance decides what blocks. P is checked shrunk by the allowance (every face plane
moved that far inwards, ``shrunk``) with the path query against Q as it is: faces that touch
or slide on each other, the tessellation overlaps of a tight fit and a press fit within the
allowance give no contact at all, and a contact there means that P overlaps Q deeper than
the allowance, unless the two triangles only touch (their smallest separating translation,
``depth.overlap_depths``, is zero) or, for a thin part, the pair's triangles as the part is
overlap no deeper than the allowance (``_as_it_is``). Querying the shrunk part rather than
listing every touching pair of a tight fit keeps the contacts few: a sliding fit of thousands
of triangles would otherwise report millions. Points well inside P are also tested, at positions along
the path, for lying inside Q's solid (a guard for surfaces that pass through each other only
along shared edges or planes). At rest, the deepest overlap of each pair of parts is measured
on the parts as they are (``rest_depths``): it is what the plan reports as a part's
interference, and two parts deeper than the allowance are refused, as are two whose solids
overlap deeper with no surfaces crossing (``solid_overlap``).
"""

import concurrent.futures
import contextlib
import itertools
import queue
import sys
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _zet_native
import zet_native
from zet_native._interrupt import POINTS_PER_SLICE
from zet_native._rays import INSIDE_DIRECTIONS

from .depth import depths_at_rest, overlap_depths
from .directions import AXES, best_direction, smallest_margins, sphere_grid
from .parts import AssemblyError, Mesh
from .seat_cones import seat_cone_groups

WINDING_RAY = np.array([0.2718, 0.3141, 0.9093])  # runs along no lattice line or face
WINDING_TOLERANCES = (1e-12, 1e-12)  # epsilon and origin tolerance of the walks (zet_native.winding's defaults)
GRID_DIRECTIONS = 64  # directions of the grid rated by vertex rays
GRID_CANDIDATES = 3  # ray-free grid directions checked when no axis is free
RAY_POINTS = 200  # vertices per mesh that shoot rays (evenly strided)
INTERIOR_PER_AXIS = 6  # lattice of test points inside each part
TIE_DECIMALS = 9  # margins and relative volumes that agree this far are ties (see tie)
REST_WITNESSES = 8  # points whose depth is measured for a refused overlap of solids at rest
# A part whose mean thickness (twice its volume over its area) is under this many allowances
# is thin: shrinking it may push vertices of its thinnest walls (under about 3.5 allowances)
# out of their far side, so the deep pairs of its shrunk copy are measured again as it is.
THIN_PART = 16
BUDGETS = (32, 2048, 2**62)  # candidate pairs of the successive looks at a path
PATH_SAMPLES = 12  # positions at which the interior points are tested against a blocker
HALFWAY = PATH_SAMPLES // 2 - 1  # the sample at the middle of the path
HALFWAY_STRIDE = 4  # of the interior points, those tested there before a path query
FIRST_PAIRS, REST_PAIRS = 16, 4096  # pairs of a path whose depths are computed first, then at a time

Direction = tuple[float, ...]  # a unit (x, y, z), hashable


class Cancelled(Exception):
    """Raised inside an analysis when the plan was asked to stop."""


class Tolerances(NamedTuple):
    diagonal: float  # of the assembly's bounding box
    allowance: float  # overlap depth that does not block
    seat: float  # triangles this close at rest are a part's seat (the cones of its contacts)
    pad: float  # travel past the moment boxes touch, so that they are apart
    kernel: float  # absolute tolerance of the path query's kernel


class PairCheck(NamedTuple):
    blocked: bool
    depth: float  # deepest tolerated overlap along the path (0 without one)
    deepest: float  # deepest overlap found (inf when interior points entered the solid)


class Candidate(NamedTuple):
    label: str  # "+x" ... "-z", "cone" or "grid k"
    direction: Direction  # unit (x, y, z)
    blockers: tuple[str, ...]  # names of the parts that block it, in part order
    margin: float  # smallest margin against the cones of the part's seat (NaN when blocked)
    depth: float  # deepest tolerated overlap along the path


class PartAnalysis(NamedTuple):
    name: str
    candidates: tuple[Candidate, ...]  # Candidate, in the order they were tried
    chosen: int  # index of the chosen free candidate, -1 when none is free

    @property
    def free(self) -> bool:
        return self.chosen >= 0


def each(work: Callable[[Any], Any], items: Sequence[Any], threads: int, cancel: threading.Event,
         progress: Callable[[int], object] | None = None,
         pool: concurrent.futures.ThreadPoolExecutor | None = None,
         weight: Callable[[Any], int] | None = None) -> list[Any]:
    """work(item) for each item, the results in order, on up to ``threads`` interpreter threads
    (each inside a stage of the module's thread share); ``progress(1)`` after each one (or
    ``progress(weight(item))`` when that is not 0). The items are taken in their order by
    whichever thread is free, the calling thread too: a small item then costs no hand-over,
    and no thread waits for work that another could start. An exception (Ctrl-C too) sets
    ``cancel``, so that the work still running stops soon and no item starts after it; the
    call then raises the exception of the first item in order that failed for a reason of its
    own (Ctrl-C on the calling thread at once). ``pool``: the other threads
    (``workers(threads)``), kept by the caller for many calls, else the call makes its own."""
    def done(item: Any) -> None:
        count = 1 if weight is None else weight(item)
        if progress and count:
            progress(count)

    if threads == 1 or len(items) <= 1:
        results: list[Any] = []
        for item in items:
            results.append(work(item))
            done(item)
        return results
    share = max(1, -(-100 // threads))
    found: list[Any] = [None] * len(items)
    complete = [False] * len(items)
    failed: dict[int, BaseException] = {}
    taken = itertools.count()  # the next item to start (next() on it is atomic)
    finished: queue.SimpleQueue[int] = queue.SimpleQueue()  # items the other threads have done

    def report() -> None:  # progress is reported on the calling thread only
        while not finished.empty():
            done(items[finished.get()])

    def take(calling: bool) -> None:
        zet_native.enter_stage(share)
        try:
            while not cancel.is_set() and (i := next(taken)) < len(items):
                try:
                    found[i] = work(items[i])
                except BaseException as error:
                    failed[i] = error
                    cancel.set()
                    if calling and isinstance(error, KeyboardInterrupt):
                        raise
                    return
                complete[i] = True
                if calling:
                    done(items[i])
                    report()
                else:
                    finished.put(i)
        finally:
            zet_native.leave_stage()

    own = pool is None
    if pool is None:
        pool = workers(threads)
    others = [pool.submit(take, False) for _ in range(min(threads, len(items)) - 1)]
    try:
        take(True)
        pending = set(others)
        while pending:  # short waits, so that Ctrl-C reaches this thread at once
            _, pending = concurrent.futures.wait(pending, timeout=0.1)
            report()
    except BaseException:
        cancel.set()
        raise
    finally:
        concurrent.futures.wait(others)  # what runs is waited for
        if own:
            pool.shutdown(wait=True)
    if failed:
        # A stopped tree build raises InterruptedError: like Cancelled, the effect of a stop.
        own_reasons = [failed[i] for i in sorted(failed) if not isinstance(failed[i], (Cancelled, InterruptedError))]
        raise (own_reasons or [failed[min(failed)]])[0]
    if not all(complete):
        raise Cancelled()
    return found


def workers(threads: int) -> concurrent.futures.ThreadPoolExecutor:
    """The threads that ``each`` uses beside the calling one; kept for a whole plan, since a
    plan calls ``each`` a dozen times and starting threads costs a few tenths of a
    millisecond each time."""
    return concurrent.futures.ThreadPoolExecutor(max_workers=max(1, threads - 1), thread_name_prefix="disassembly")


# The longest a thread that waits for the interpreter lock waits before the thread that holds
# it is asked to let go, while a plan's threads run (the interpreter's default is 5 ms). A
# thread back from the module waits for the lock while another runs Python, and that one lets
# go on its own only at its next long call: its short numpy calls give the lock back and take
# it again before the waiting thread wakes. With the default the waiting thread sits out most
# of the other's Python; beam-frame's plan on two threads takes about 3% less at 0.2 ms.
SWITCH_INTERVAL = 2e-4


class _Switches:
    """The interpreter's switch interval, lowered to SWITCH_INTERVAL while any plan runs on
    several threads (plans may run at once on threads of their own), and put back as it was
    when the last one ends, unless somebody else set it meanwhile."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.users = 0
        self.saved = self.ours = 0.0

    @contextlib.contextmanager
    def lowered(self) -> Iterator[None]:
        with self.lock:
            if not self.users:
                self.saved = sys.getswitchinterval()
                if self.saved > SWITCH_INTERVAL:
                    sys.setswitchinterval(SWITCH_INTERVAL)
                self.ours = sys.getswitchinterval()
            self.users += 1
        try:
            yield
        finally:
            with self.lock:
                self.users -= 1
                if not self.users and sys.getswitchinterval() == self.ours:
                    sys.setswitchinterval(self.saved)


quick_switches = _Switches().lowered


class Assembly:
    """The parts with their trees, boxes, solids and test points, and the pair checks done so far."""

    def __init__(self, parts: dict[str, Mesh], allowance: float, absolute: bool, cancel: threading.Event,
                 threads: int = 1, pool: concurrent.futures.ThreadPoolExecutor | None = None,
                 unit: float = 1.0, build: bool = True) -> None:
        self.unit = unit  # the length of one of the parts' units in the caller's (see planner.working_units)
        self.names = list(parts)
        self.meshes = parts
        boxes = {n: _extremes(v) for n, (v, _) in parts.items()}
        self.low = {n: low for n, (low, _) in boxes.items()}
        self.high = {n: high for n, (_, high) in boxes.items()}
        # The extremes of the parts' extremes are the assembly's (a zero's sign drops out of the length).
        everywhere = np.max(list(self.high.values()), axis=0) - np.min(list(self.low.values()), axis=0)
        diagonal = float(np.linalg.norm(everywhere)) or 1.0
        allow = float(allowance) if absolute else float(allowance) * diagonal
        if not allow >= 0.0 or not np.isfinite(allow):
            raise AssemblyError(f"the allowance must be a finite non-negative number, not {allowance}")
        self.tol = Tolerances(diagonal, allow, max(allow, 1e-9 * diagonal), 1e-6 * diagonal, 1e-12 * diagonal)
        self.cancel = cancel
        self._box = {n: (self.low[n].tolist(), self.high[n].tolist()) for n in parts}
        self.largest = sorted(self.names, key=lambda n: -len(parts[n][1]))  # most triangles first, stable
        # What the builds make, per part in part order (filled by ``build``, on any thread).
        self.trees: dict[str, Any] = dict.fromkeys(self.names)
        self.solids: dict[str, Any] = dict.fromkeys(self.names)
        self.interior: dict[str, Any] = dict.fromkeys(self.names)
        self.rays: dict[str, Any] = dict.fromkeys(self.names)
        self.shrunk: dict[str, Any] = dict.fromkeys(self.names)
        self.normals: dict[str, Any] = dict.fromkeys(self.names)
        self.thin: dict[str, Any] = dict.fromkeys(self.names)
        self._halves_built: set[tuple[str, bool]] = set()
        self._tables = False  # the tables of every part below are made (the last step of the builds)
        self._building = threading.Condition()
        # Every part's triangles, normals and vertices in one table each, so that the pairs of
        # many path queries are looked up at once: made by the thread that ends the last build
        # (see ``build``), while the others go on with their tasks.
        sizes = [len(parts[n][1]) for n in self.names]
        self._first_triangle = dict(zip(self.names, np.cumsum([0] + sizes[:-1]).tolist()))
        self._all_normals = self._all_vertices = np.zeros((0, 3))
        self._all_triangles = np.zeros((0, 3), dtype=np.int64)
        self._pairs: dict[tuple[str, Direction], dict[str, PairCheck]] = {}  # (P, direction) -> {Q: PairCheck}
        # (P, direction) -> box windows against every part
        self._windows: dict[tuple[str, Direction], tuple[np.ndarray, np.ndarray]] = {}
        self._met: dict[tuple[str, Direction], frozenset[str]] = {}  # (P, direction) -> parts its box meets
        self._index = {n: i for i, n in enumerate(self.names)}
        self._lows = np.array([self.low[n] for n in self.names])
        self._highs = np.array([self.high[n] for n in self.names])
        # (P, Q) -> (moving corners, obstacle corners) of the seat pairs
        self._seats: dict[tuple[str, str], tuple[np.ndarray, np.ndarray]] = {}
        # (P, Q) -> the distinct cone groups of their seat pairs
        self._groups: dict[tuple[str, str], zet_native.ConeGroups | None] = {}
        # (P, the parts near it) -> ray-free grid directions
        self._rated: dict[tuple[str, tuple[str, ...]], np.ndarray] = {}
        # (P, Q) -> per grid direction: 1 when a vertex ray between them enters the other's
        # solid, 0 when none does, -1 not asked yet
        self._ray_hits: dict[tuple[str, str], np.ndarray] = {}
        # (P, the parts of its seat) -> the best direction against its cones, its margin, the bound
        self._best: dict[tuple[str, tuple[str, ...]], tuple[np.ndarray | None, float, float]] = {}
        self._lock = threading.Lock()
        self._seat_locks: dict[frozenset[str], threading.Lock] = {}  # one per pair of parts
        # (id of a seat's cone groups, direction) -> the smallest margin against them
        self._set_margins: dict[tuple[int, tuple[float, ...]], float] = {}
        # Without ``build`` the parts are built by whoever calls ``build`` on each of ``halves()``:
        # a plan does, among the tasks of its first step.
        if build:
            each(self.build, self.halves(), threads, cancel, pool=pool)

    def should_cancel(self) -> bool:
        return self.cancel.is_set()

    def halves(self) -> list[tuple[str, bool]]:
        """The builds, (part, inner) as ``build`` takes them: every part's own tree and what
        hangs on it first, the largest parts first, then the shrunk parts' trees. Separate
        tasks keep one large part from leaving a thread waiting for it alone; the checks at
        rest and the seats need only the first halves, so a plan's first tasks after the
        builds can start while the last shrunk parts are still being built."""
        return [(n, inner) for inner in (False, True) for n in self.largest]

    def build(self, half: tuple[str, bool]) -> None:
        """One half of a part's build (see ``_built``), kept for the part; with the last one,
        the tables of every part. Any thread may run any half at any time."""
        name, inner = half
        made = self._built(name, inner)
        with self._building:
            if inner:
                self.shrunk[name], self.normals[name], self.thin[name] = made
            else:
                self.trees[name], self.solids[name], self.interior[name], self.rays[name] = made
            self._halves_built.add(half)
            last = len(self._halves_built) == 2 * len(self.names)
            if not last:
                self._building.notify_all()
        if last:  # the tables, outside the lock, before the tasks that wait for every build hear of it
            self._all_normals = np.concatenate([self.normals[n] for n in self.names])
            self._all_vertices = np.concatenate([self.meshes[n][0] for n in self.names])
            first_vertex = np.cumsum([0] + [len(self.meshes[n][0]) for n in self.names[:-1]])
            self._all_triangles = np.concatenate([self.meshes[n][1].astype(np.int64) + k
                                                  for n, k in zip(self.names, first_vertex)])
            with self._building:
                self._tables = True
                self._building.notify_all()

    def wait_built(self, names: Iterable[str] | None = None) -> None:
        """Waits until the parts' first halves are built (without ``names``, every half of
        every part and the tables of all parts): a plan's tasks follow its builds in one run
        of tasks, so this waits only for builds that run on other threads. Raises Cancelled
        when the plan stops meanwhile (a build that failed stops it too)."""
        need = None if names is None else {(n, False) for n in names}
        with self._building:
            while not (self._tables if need is None else need <= self._halves_built):
                if self.cancel.is_set():
                    raise Cancelled()
                self._building.wait(0.05)

    def _ray_points(self, n: int) -> np.ndarray:
        # Evenly strided vertices, each once: the strides never fall, so the repeats are
        # neighbours (what np.unique gives, without the masked-array module its first call imports).
        stride = np.linspace(0, n - 1, min(n, RAY_POINTS)).astype(np.int64)
        points: np.ndarray = stride[np.concatenate([[True], stride[1:] != stride[:-1]])]
        return points

    def _built(self, name: str, inner: bool) -> tuple[Any, ...]:
        """A part's tree, its solid, its interior test points and its ray mesh; or (``inner``)
        the tree of the part shrunk by the allowance and the unit face normals (which the
        shrinking computes anyway)."""
        v, t = self.meshes[name]
        if inner:
            moved, normals, thickness = shrunk(v, t, self.tol.allowance * (1 + 1e-6) + self.tol.kernel)
            thin = thickness < THIN_PART * self.tol.allowance
            return zet_native.build_tree(moved, t, 4, None, self.should_cancel), normals, thin
        tree = zet_native.build_tree(v, t, 4, None, self.should_cancel)
        solid = zet_native.winding_tree(tree)
        return tree, solid, self._interior_points(name, solid), self._ray_mesh(name, tree)

    def _ray_mesh(self, name: str, tree: zet_native.TriangleTree) -> tuple[Any, ...]:
        """``zet_native.ray_mesh(tree, self._ray_points(...), self.tol.kernel)`` with the box the
        part has already: the same extremes, without reducing its vertices again."""
        usable = np.ones(len(tree.triangles), dtype=np.uint8)  # the tree excludes no triangle
        return (tree.vertices, tree.triangles, tree.node_min, tree.node_max, tree.node_meta, tree.order, usable,
                self._ray_points(len(tree.vertices)), self.low[name], self.high[name], self.tol.kernel)

    def _interior_points(self, name: str, solid: zet_native.WindingTree) -> np.ndarray:
        low, high = self.low[name], self.high[name]
        fractions = (np.arange(INTERIOR_PER_AXIS) + 0.5) / INTERIOR_PER_AXIS
        axes = [low[k] + (high[k] - low[k]) * fractions for k in range(3)]
        points = np.ascontiguousarray(np.stack(np.meshgrid(*axes, indexing="ij"), -1).reshape(-1, 3))
        inside: np.ndarray = points[_inside(points, solid)]
        return inside

    def volume(self, name: str) -> float:
        """The volume of the part's box, in cubes of the assembly's diagonal."""
        return float(np.prod((self.high[name] - self.low[name]) / self.tol.diagonal))

    def corners(self, name: str, triangles: np.ndarray) -> np.ndarray:
        v, t = self.meshes[name]
        return _gathered(v, t, triangles)

    def near(self, p: str, q: str, widen: float | None = None) -> bool:
        # On the boxes' coordinates as Python floats (the same double arithmetic as numpy's):
        # asked for every pair at every step, where numpy's per-call cost is most of the work.
        w = self.tol.seat if widen is None else float(widen)
        (lp, hp), (lq, hq) = self._box[p], self._box[q]
        return all(lp[k] - w <= hq[k] + w and lq[k] - w <= hp[k] + w for k in range(3))

    def _query(self, p: str, q: str, d: npt.ArrayLike, length: float, shrunk: bool = False,
               budget: int = 2**62) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, bool]:
        """The overlapping and uncertain pairs of p moving along d against q, their windows, and
        whether the query ran out of its pair budget (returned, not kept: parts of one step are
        checked on several threads at once)."""
        r = self._path_query(p, q, d, length, shrunk, budget)
        exhausted = int(r.status) == 1
        c = r.contacts[r.contacts["strict"] != 0]
        u = r.uncertain_windows
        moving = np.concatenate([c["moving_triangle"], u["moving_triangle"]]).astype(np.int64)
        fixed = np.concatenate([c["obstacle_triangle"], u["obstacle_triangle"]]).astype(np.int64)
        lo = np.concatenate([c["strict_enter"], u["enter"]])
        hi = np.concatenate([c["strict_exit"], u["exit"]])
        lo, hi = np.clip(lo, 0.0, length), np.clip(hi, 0.0, length)
        return moving, fixed, lo, np.maximum(lo, hi), exhausted

    def _path_query(self, p: str, q: str, d: npt.ArrayLike, length: float, shrunk: bool,
                    budget: int) -> zet_native.PathQueryResult:
        moving_tree = self.shrunk[p] if shrunk else self.trees[p]
        r = zet_native.path_query(moving_tree, self.trees[q], np.asarray(d, dtype=np.float64), 0.0, float(length),
                                  abs_tol=self.tol.kernel, pair_budget=budget, should_cancel=self.should_cancel)
        if int(r.status) == 2:
            raise Cancelled()
        return r

    def rest_depths(self, pairs: Sequence[tuple[str, str]]) -> list[tuple[float, str]]:
        """Deepest overlap of each pair of parts in place, with where it is (the triangle pair
        that has it): the path queries one after the other, then the depths of all their
        triangle pairs in one go (each pair's depth is its own, and a few hundred cost about
        what a dozen do). A pair within the allowance there is also checked for solids that
        overlap deeper with no surfaces crossing (``solid_overlap``)."""
        found = [self._query(p, q, (0.0, 0.0, 0.0), 0.0) for p, q in pairs]
        counts = [len(moving) for moving, *_ in found]
        depths: list[np.ndarray] = [np.zeros(0)] * len(pairs)
        if sum(counts):
            a = np.concatenate([self.corners(p, moving) for (p, _), (moving, *_) in zip(pairs, found)])
            b = np.concatenate([self.corners(q, fixed) for (_, q), (_, fixed, *_) in zip(pairs, found)])
            lo, hi = (np.concatenate([f[k] for f in found]) for k in (2, 3))
            depths = np.split(depths_at_rest(a, b, self.tol.allowance, lo, hi), np.cumsum(counts)[:-1])
        out: list[tuple[float, str]] = []
        for (p, q), (moving, fixed, *_), mine in zip(pairs, found, depths):
            k = int(np.argmax(mine)) if len(mine) else -1
            deepest = (float(mine[k]), f"triangles {int(moving[k])} and {int(fixed[k])}") if k >= 0 else (0.0, "")
            solid = self.solid_overlap(p, q) if deepest[0] <= self.tol.allowance else None
            out.append(deepest if solid is None else solid)
        return out

    def solid_overlap(self, p: str, q: str) -> tuple[float, str] | None:
        """How deep the solids of p and q surely overlap where a point well inside one is inside
        the other along four rays: at least the point's distance to the nearer of the two
        surfaces (the ball of that radius about it lies in both, so no shorter translation
        takes it out of either), when that is more than the allowance; else None. Two copies
        of a part, or a part inside another, overlap with no surfaces crossing."""
        allowance = self.tol.allowance
        for a, b in ((p, q), (q, p)):
            # The interior points of a are inside a along WINDING_RAY already. A part with none
            # (an open sheet, a wall thinner than their grid) offers points of its surface
            # instead: one that lies deep in b is as far from leaving it.
            sheet = not len(self.interior[a])
            within = (b,) if sheet else (a, b)
            points = self.meshes[a][0][self._ray_points(len(self.meshes[a][0]))] if sheet else self.interior[a]
            points = np.ascontiguousarray(points[self._inside_part(points, b)])
            for d in _CHECK_RAYS:
                if len(points):
                    inside = np.logical_and.reduce([_inside(points, self.solids[n], d) for n in within])
                    points = np.ascontiguousarray(points[inside])
            if not len(points):
                continue
            points = points[np.logical_and.reduce([self._farther_than(points, n, allowance) for n in within])]
            if len(points):
                # The depth reported is the best of a few points: those deepest in the common box
                # of the two parts (the most a point's distance to the surfaces can be there).
                low, high = np.maximum(self.low[a], self.low[b]), np.minimum(self.high[a], self.high[b])
                room = np.minimum(points - low, high - points).min(axis=1)
                deepest = points[np.argsort(-room, kind="stable")[:REST_WITNESSES]]
                depths = [min(self._surface_distance(x, n) for n in within) for x in deepest]
                x = deepest[int(np.argmax(depths))] * self.unit  # where, in the caller's units
                return max(depths), (f"at least: a point of {a!r} at ({x[0]:.6g}, {x[1]:.6g}, {x[2]:.6g}) is "
                                     f"that far inside {'the solid of ' + repr(b) if sheet else 'both'}")
        return None

    def _farther_than(self, points: np.ndarray, name: str, radius: float) -> np.ndarray:
        """Whether each point is surely farther than radius from the part's surface: no
        triangle's box comes that close (the candidate traversal of the module), or the
        distance's lower bound to every one that does is above it."""
        singles = np.repeat(np.arange(len(points), dtype=np.int64), 3).reshape(-1, 3)
        tree = zet_native.build_tree(points, singles, 4, None, self.should_cancel)
        pairs = zet_native.clearance_candidates(tree, self.trees[name], (0.0, 0.0, 0.0), 0.0, radius,
                                                should_cancel=self.should_cancel).pairs.astype(np.intp)
        far = np.ones(len(points), dtype=bool)
        if len(pairs):
            at = np.repeat(points[pairs[:, 0]][:, None], 3, axis=1)
            lower = zet_native.triangle_distances(at, self.corners(name, pairs[:, 1]))["lower"]
            far[pairs[lower <= radius, 0]] = False
        return far

    def _surface_distance(self, point: np.ndarray, name: str) -> float:
        """A lower bound of the distance from a point to the part's surface (every triangle's)."""
        t = self.meshes[name][1]
        at = np.broadcast_to(point, (len(t), 3, 3))
        return float(zet_native.triangle_distances(at, self.corners(name, np.arange(len(t))))["lower"].min())

    def windows(self, p: str, d: npt.ArrayLike, widen: float) -> tuple[np.ndarray, np.ndarray]:
        """For every part, the window [lo, hi] of t >= 0 in which p's box moved by t d meets its
        box (both widened), as arrays (lo > hi: never), in part order."""
        # On the boxes' coordinates as Python floats, as ``near`` does (the same double
        # arithmetic as numpy's, in the same order): a few parts' boxes cost numpy more in
        # calls than in arithmetic, and this is asked for every part and direction tried.
        direction = np.asarray(d, dtype=np.float64).tolist()
        lp, hp = self._box[p]
        lows, highs = [], []
        for q in self.names:
            lq, hq = self._box[q]
            lo, hi = 0.0, np.inf
            for k in range(3):
                # Overlap on axis k: low_q - widen <= high_p + t d_k and low_p + t d_k <= high_q + widen.
                a = (lq[k] - widen) - (hp[k] + widen)
                b = (hq[k] + widen) - (lp[k] - widen)
                dk = direction[k]
                if abs(dk) < 1e-15:
                    if a > 0 or b < 0:
                        lo, hi = 1.0, 0.0
                    continue
                ta, tb = a / dk, b / dk
                lo, hi = max(lo, min(ta, tb)), min(hi, max(ta, tb))
            lows.append(lo)
            highs.append(hi)
        return np.array(lows), np.array(highs)

    def _box_windows(self, p: str, d: Direction) -> tuple[np.ndarray, np.ndarray]:
        wkey = (p, d)
        if wkey not in self._windows:
            self._windows[wkey] = self.windows(p, d, self.tol.seat)
        return self._windows[wkey]

    def _meeting(self, p: str, d: Direction) -> frozenset[str]:
        """The parts whose boxes p's box meets moving along d: no other part can block it."""
        if (p, d) not in self._met:
            lo, hi = self._box_windows(p, d)
            self._met[(p, d)] = frozenset(n for n, apart in zip(self.names, (lo > hi).tolist()) if not apart)
        return self._met[(p, d)]

    def pair(self, p: str, q: str, d: Direction) -> PairCheck:
        """Does q block p translating along the unit direction d (a tuple)?"""
        found = self._pairs.get((p, d), {}).get(q)
        if found is None:
            self.check_pairs(p, [q], [d])
            found = self._pairs[(p, d)][q]
        return found

    def check_pairs(self, p: str, others: Sequence[str], directions: Sequence[Direction]) -> None:
        """Checks p against each of the others along each direction (unit tuples), those not
        checked before, all at once: the path queries one after the other, then the overlap
        depths of their first contacts in one go (a few hundred triangle pairs cost about what
        a dozen do), then the interior points of the paths that no contact blocks."""
        todo: list[tuple[str, Direction, float, float]] = []  # (q, d, window's start, path length)
        for d in directions:
            along = self._pairs.setdefault((p, d), {})
            lo, hi = self._box_windows(p, d)
            for q in others:
                if q in along:
                    continue
                i = self._index[q]
                if lo[i] > hi[i]:  # the boxes never meet
                    along[q] = PairCheck(False, 0.0, 0.0)
                else:
                    todo.append((q, d, float(lo[i]), float(hi[i]) + self.tol.pad))
        if not todo:
            return
        found = self._path_depths(p, [(q, np.asarray(d), start, length) for q, d, start, length in todo])
        for (q, d, start, length), check in zip(todo, found):
            self._pairs[(p, d)][q] = check if check.blocked else self._interior_check(p, q, d, start, length, check)

    def _interior_check(self, p: str, q: str, d: Direction, start: float, length: float,
                        found: PairCheck) -> PairCheck:
        """Blocked when a point well inside p enters q's solid at one of the path's samples."""
        points = self.interior[p]
        if len(points):
            ts = _sample_times(start, length)
            moved = (points[None] + ts[:, None, None] * np.asarray(d)).reshape(-1, 3)
            if self._inside_part(moved, q).any():
                return PairCheck(True, found.depth, np.inf)
        return found

    def _inside_part(self, points: np.ndarray, q: str) -> np.ndarray:
        """Whether each point (n, 3) lies inside q's solid. A point outside q's box is outside
        its material, whatever its ray would count on a surface that is not closed; only the
        points in the box are walked (a ray from a point beside the box may still cross it, and
        most points of a path's samples lie outside the other part's box)."""
        (lx, ly, lz), (hx, hy, hz) = self._box[q]
        x, y, z = points[:, 0], points[:, 1], points[:, 2]
        in_box = (x >= lx) & (x <= hx) & (y >= ly) & (y <= hy) & (z >= lz) & (z <= hz)
        if in_box.all():
            return _inside(points, self.solids[q])
        inside = np.zeros(len(points), dtype=bool)
        if in_box.any():
            inside[in_box] = _inside(np.ascontiguousarray(points[in_box]), self.solids[q])
        return inside

    def _path_depths(self, p: str, checks: Sequence[tuple[str, np.ndarray, float, float]]) -> list[PairCheck]:
        """For each (q, d, start, length), the path query of p shrunk by the allowance against q
        along d up to length: what touches there overlaps q deeper than the allowance, unless
        the two triangles only touch (no separating depth). A path on which a point well inside
        p lies inside q's solid halfway (``start`` is where the boxes begin to meet) is blocked
        without a query: the interior check would find that point at that very sample, and
        its verdict is the same."""
        # A blocked path usually shows deep pairs among its first few dozen candidates: small
        # pair budgets first, the whole path only when they found nothing deep. A query's cost
        # is mostly fixed (a first look of 32 pairs costs about half of one of 256), and the
        # paths that a first look leaves open mostly end within a few hundred pairs: the second
        # look's budget is some times that, since a third look pays the fixed cost again (on
        # beam-frame a second look of 2048 pairs plans 5% sooner than one of 512), while a whole
        # sliding fit of millions of pairs still waits for the paths that need it. The verdict is
        # whether any pair of the whole path is deep, whatever the budgets, since each pair's
        # depth is its own; so is whether the pairs' depths are computed path by path or
        # together.
        found: list[PairCheck | None] = [None] * len(checks)
        # Most blocked paths of a tight assembly run through the other part: one walk of p's
        # interior points per path settles them, for a small part of a path query's cost.
        for i in self._entered_halfway(p, checks):
            found[i] = PairCheck(True, 0.0, np.inf)
        looking = [i for i in range(len(checks)) if found[i] is None]
        triangles = self.meshes[p][1]
        v = self.shrunk[p].vertices
        deep = 1e-3 * self.tol.allowance
        for budget in BUDGETS:
            if not looking:
                break
            look, moving, fixed, lo, hi, exhausted = self._looks(p, checks, looking, budget)
            starts = np.searchsorted(look, np.arange(len(looking)))
            counts = np.diff(np.append(starts, len(look)))
            directions = np.array([checks[i][1] for i in looking])
            lengths = np.array([checks[i][3] for i in looking], dtype=np.float64)
            # The first few pairs of every look in one call (a deep pair is usually among them).
            first = np.arange(len(look)) - starts[look] < FIRST_PAIRS
            if first.any():
                depths = overlap_depths(_gathered(v, triangles, moving[first]), self._all_corners(fixed[first]),
                                        directions[look[first]], lo[first], hi[first])
                depths = self._as_it_is(p, depths, look[first], moving[first], fixed[first], directions, lengths)
                deepest = np.full(len(looking), -np.inf)
                np.maximum.at(deepest, look[first], depths)
                for k in np.flatnonzero(deepest > deep).tolist():
                    found[looking[k]] = PairCheck(True, 0.0, float(deepest[k]) + self.tol.allowance)
            # Then the rest of the looks not decided yet, a chunk of each in one call, until one
            # is deep (a look of a few hundred pairs takes one chunk; a long one stops early).
            begin, end = starts + FIRST_PAIRS, starts + counts
            pending = [k for k in range(len(looking)) if found[looking[k]] is None and begin[k] < end[k]]
            while pending:
                sizes = [min(REST_PAIRS, int(end[k] - begin[k])) for k in pending]
                rows = np.concatenate([np.arange(begin[k], begin[k] + n) for k, n in zip(pending, sizes)])
                depths = overlap_depths(_gathered(v, triangles, moving[rows]), self._all_corners(fixed[rows]),
                                        directions[look[rows]], lo[rows], hi[rows])
                depths = self._as_it_is(p, depths, look[rows], moving[rows], fixed[rows], directions, lengths)
                for k, mine in zip(pending, np.split(depths, np.cumsum(sizes)[:-1])):
                    if np.any(mine > deep):
                        found[looking[k]] = PairCheck(True, 0.0, float(mine.max()) + self.tol.allowance)
                    begin[k] += REST_PAIRS
                pending = [k for k in pending if found[looking[k]] is None and begin[k] < end[k]]
            looking = [i for k, i in enumerate(looking) if found[i] is None and exhausted[k]]
        return [PairCheck(False, 0.0, 0.0) if f is None else f for f in found]

    def _as_it_is(self, p: str, depths: np.ndarray, look: np.ndarray, moving: np.ndarray, fixed: np.ndarray,
                  directions: np.ndarray, lengths: np.ndarray) -> np.ndarray:
        """For a thin part (see THIN_PART), the depths of pairs of the shrunk part (of the looks
        ``look``, whose directions and path lengths are given), less those whose triangles as
        the part is overlap no deeper than the allowance anywhere along the path: those are
        tolerated, and a shrunk triangle that meets the other part anyway was moved through a
        wall thinner than the shrinking, out of its far side. A look blocks when one of its
        pairs is deep, so its deepest pair is measured first, and the others only when that
        one is not deep as the part is. Other parts' depths are returned as they are."""
        deep = np.flatnonzero(depths > 1e-3 * self.tol.allowance)
        if not len(deep) or not self.thin[p]:
            return depths
        v, t = self.meshes[p]

        def overlapping(rows: np.ndarray) -> np.ndarray:
            again = overlap_depths(_gathered(v, t, moving[rows]), self._all_corners(fixed[rows]),
                                   directions[look[rows]], np.zeros(len(rows)), lengths[look[rows]])
            return again > self.tol.allowance

        by_look = deep[np.lexsort((-depths[deep], look[deep]))]  # each look's deep pairs, deepest first
        firsts = by_look[np.r_[True, look[by_look][1:] != look[by_look][:-1]]]
        unsettled = look[firsts[~overlapping(firsts)]]
        rest = by_look[np.isin(look[by_look], unsettled) & ~np.isin(by_look, firsts)]
        kept = depths.copy()
        kept[firsts[np.isin(look[firsts], unsettled)]] = 0.0
        if len(rest):
            kept[rest[~overlapping(rest)]] = 0.0
        return kept

    def _entered_halfway(self, p: str, checks: Sequence[tuple[str, np.ndarray, float, float]]) -> list[int]:
        """The checks (q, d, start, length) on which a point well inside p lies inside q's solid
        at the middle one of the interior check's samples (every HALFWAY_STRIDE-th of its
        points: where a path runs through the other part, a good share of them lie inside it,
        a fifth to two fifths on the assemblies tried, so a few settle it; a path that they
        miss is queried), with the points of all checks against one part in one walk."""
        points = self.interior[p][::HALFWAY_STRIDE]
        if not len(points):
            return []
        against: dict[str, list[int]] = {}
        for i, (q, *_) in enumerate(checks):
            against.setdefault(q, []).append(i)
        entered = []
        for q, rows in against.items():
            # The interior check's middle sample of each path, the points moved as it moves them
            # and judged as it judges them.
            times = _sample_times(np.array([checks[i][2] for i in rows]), np.array([checks[i][3] for i in rows]))
            steps = times[:, HALFWAY, None] * np.array([checks[i][1] for i in rows])
            moved = (points[None] + steps[:, None, :]).reshape(-1, 3)
            inside = self._inside_part(moved, q).reshape(len(rows), -1).any(axis=1)
            entered += [i for i, hit in zip(rows, inside.tolist()) if hit]
        return sorted(entered)

    def _looks(self, p: str, checks: Sequence[tuple[str, np.ndarray, float, float]], looking: Sequence[int],
               budget: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray, list[bool]]:
        """The path queries of p shrunk by the allowance for the checks ``looking`` (indices
        into ``checks``), with a pair budget: every look's pairs that can be deep (its strict
        contacts, then its uncertain pairs, each in the query's order; of those, the pairs of
        triangles that are not parallel) one look after the other, as (look: its index in
        ``looking``, moving triangle, fixed triangle counted over all parts, window's start,
        window's end), and whether each look ran out of its budget. The lists of all looks are
        taken apart at once: a few dozen numpy calls whatever the number of looks."""
        results = [self._path_query(p, checks[i][0], checks[i][1], checks[i][3], True, budget) for i in looking]
        exhausted = [int(r.status) == 1 for r in results]
        every = np.arange(len(looking))

        def joined(records: str, name: str) -> np.ndarray:
            # Fields one by one: joining the records themselves costs numpy a dtype promotion.
            return np.concatenate([getattr(r, records)[name] for r in results])

        strict = joined("contacts", "strict") != 0
        look = np.concatenate([np.repeat(every, [len(r.contacts) for r in results])[strict],
                               np.repeat(every, [len(r.uncertain_windows) for r in results])])
        order = np.argsort(look, kind="stable")
        look = look[order]

        def listed(contact: str, uncertain: str) -> np.ndarray:
            # Each look's strict contacts, then its uncertain pairs.
            both = np.concatenate([joined("contacts", contact)[strict], joined("uncertain_windows", uncertain)])
            return both[order]

        moving = listed("moving_triangle", "moving_triangle").astype(np.int64)
        fixed = listed("obstacle_triangle", "obstacle_triangle").astype(np.int64)
        fixed += np.array([self._first_triangle[checks[i][0]] for i in looking], dtype=np.int64)[look]
        length = np.array([checks[i][3] for i in looking], dtype=np.float64)[look]
        lo = np.clip(listed("strict_enter", "enter"), 0.0, length)
        hi = np.maximum(lo, np.clip(listed("strict_exit", "exit"), 0.0, length))
        # Parallel triangles overlap only at the instant they are coplanar, by nothing: a face
        # passing through a parallel face of the other part is no evidence.
        crossing = np.abs(np.einsum("ij,ij->i", self.normals[p][moving], self._all_normals[fixed])) < 1 - 1e-9
        return look[crossing], moving[crossing], fixed[crossing], lo[crossing], hi[crossing], exhausted

    def _all_corners(self, triangles: np.ndarray) -> np.ndarray:
        """Corners of triangles counted over all parts (those of the first part, then the next...)."""
        return _gathered(self._all_vertices, self._all_triangles, triangles)

    def seat(self, p: str, q: str) -> tuple[np.ndarray, np.ndarray]:
        """Triangle pairs of p and q within the seat distance at rest that do not overlap (the
        touching pairs whose cones say where p may start to move), as corner arrays."""
        key = (p, q)
        if key not in self._seats:
            # Both sides of a seat at once (the first analysis that needs one side needs the
            # other one too), under the pair's own lock, so that two threads do not both make them.
            with self._lock:
                pair_lock = self._seat_locks.setdefault(frozenset(key), threading.Lock())
            with pair_lock:
                if key not in self._seats:
                    # One set of pairs for both sides, found from the part first in part order
                    # whichever thread asks first: the other side is the same pairs turned round.
                    first, second = sorted(key, key=self._index.__getitem__)
                    a, b = self._seat_pairs(first, second)
                    self._seats[(first, second)], self._seats[(second, first)] = (a, b), (b, a)
        return self._seats[key]

    def _seat_pairs(self, p: str, q: str) -> tuple[np.ndarray, np.ndarray]:
        """The seat of p and q as ``seat`` gives it p's side: each pair's corners of p's triangle
        and of q's."""
        a = b = np.zeros((0, 3, 3))
        if self.near(p, q):
            status, pairs = zet_native.clearance_candidates(
                self.trees[p], self.trees[q], np.zeros(3), 0.0, self.tol.seat, should_cancel=self.should_cancel)
            if int(status) != 0:
                raise Cancelled()
            if len(pairs):
                a, b = self.corners(p, pairs[:, 0]), self.corners(q, pairs[:, 1])
                close = zet_native.triangle_distances(np.ascontiguousarray(a), np.ascontiguousarray(b))
                # Of the pairs close enough to be in the seat, those that may overlap (touching
                # within the distance's tolerance, or crossing, which is distance 0) lose the
                # ones that do by more than a thousandth of the allowance; a pair apart by more
                # than the tolerance overlaps by nothing and stays.
                near = close["upper"] <= self.tol.seat
                a, b, apart = a[near], b[near], close["lower"][near] > 0.0
                deep = 1e-3 * self.tol.allowance
                keep = apart.copy()
                keep[~apart] = ~(depths_at_rest(a[~apart], b[~apart], deep) > deep)
                a, b = a[keep], b[keep]
        return np.ascontiguousarray(a), np.ascontiguousarray(b)

    def touching(self, p: str, others: Iterable[str]) -> tuple[str, ...]:
        """The other parts that p's seat touches, in the given order."""
        return tuple(q for q in others if len(self.seat(p, q)[0]))

    def seat_groups(self, p: str, touching: Iterable[str]) -> list[zet_native.ConeGroups]:
        """The cone groups of p's seat with each of the touching parts that gives some. They
        stay apart: a part's margins are the smallest over the sets, and only a search for the
        best direction needs them as one. Each set is made when a margin or a search first
        needs it (by p's own analysis, which no other thread runs at once) and kept."""
        made: list[zet_native.ConeGroups] = []
        for q in touching:
            if (p, q) not in self._groups:
                a, b = self.seat(p, q)
                self._groups[(p, q)] = seat_cone_groups(a, b) if len(a) else None
            kept = self._groups[(p, q)]
            if kept is not None:
                made.append(kept)
        return made

    def best_cone(self, p: str, touching: tuple[str, ...]) -> tuple[np.ndarray | None, float, float]:
        """``best_direction`` against the cone groups of p's seat, kept while the seat's parts
        stay, with the floor at 0: the analysis tries the direction only when its margin is
        positive, and the grid only when the bound says that some margin may be. A set with a
        group that blocks every direction ends it before the sets after it are made: that
        group puts every direction's margin at -1 or below whatever the others give (no seat's
        groups are shifted), and that bound is all the search says then."""
        key = (p, touching)
        if key not in self._best:
            sets: list[zet_native.ConeGroups] = []
            for q in touching:
                sets += self.seat_groups(p, (q,))
                if sets and sets[-1].blocks_all.any():
                    sets = sets[-1:]
                    break
            self._best[key] = best_direction(sets, floor=0.0)
        return self._best[key]

    def grid_candidates(self, p: str, others: Iterable[str],
                        groups: Sequence[zet_native.ConeGroups]) -> list[tuple[str, np.ndarray]]:
        """Ray-free directions of the grid (no vertex ray of p along them, nor of the others
        against them, enters another solid), the widest margin first."""
        reach = float(np.linalg.norm(self.high[p] - self.low[p]))  # rays go no farther than that matters
        near = tuple(q for q in others if self.near(p, q, reach))
        grid = sphere_grid(GRID_DIRECTIONS)
        key = (p, near)  # the rating holds while the same parts are near
        if key not in self._rated:
            self._rated[key] = self._ray_free(p, near, grid)
        free = self._rated[key]
        margins = smallest_margins(grid[free], groups)
        order = np.lexsort((free, -margins))[:GRID_CANDIDATES]
        return [(f"grid {int(free[i])}", grid[free[i]]) for i in order]

    def _ray_free(self, p: str, near: Sequence[str], grid: np.ndarray) -> np.ndarray:
        """The grid directions that no vertex ray between p and a near part enters the other's
        solid along. A direction's rays against one part do not depend on the other parts nor
        on the other directions, so each part's verdict per direction is kept (a part that
        blocks a direction blocks it for as long as it stays) and asked only for the
        directions that no part has closed yet, the closest parts first: an enclosed part's
        neighbours close the whole sphere after a few calls."""
        hits = [self._ray_hits.setdefault((p, q), np.full(len(grid), -1, dtype=np.int8)) for q in near]
        open_ = np.ones(len(grid), dtype=bool)
        for known in hits:
            open_ &= known != 1
        centre = (self.low[p] + self.high[p]) / 2
        gaps = [float(np.linalg.norm((self.low[q] + self.high[q]) / 2 - centre)) for q in near]
        for i in sorted(range(len(near)), key=lambda i: (gaps[i], i)):
            todo = np.flatnonzero(open_ & (hits[i] < 0))
            if len(todo):
                counts, _ = zet_native.direction_scores(grid[todo], 2.0 * self.tol.diagonal, self.rays[p],
                                                        [self.rays[near[i]]])
                hits[i][todo] = counts > 0
            open_ &= hits[i] != 1
            if not open_.any():
                break
        return np.flatnonzero(open_)

    def prepare(self, p: str, others: Sequence[str]) -> None:
        """The largest part of p's analysis against the others done ahead of it (kept for it):
        its checks along the axes. They keep what they find in records of p's own, so that the
        checks of several parts may run at once; so may seats (``seat``), each under its
        pair's lock."""
        self.check_pairs(p, others, [d for _, d in AXIS_KEYS])

    def analyse(self, p: str, others: Sequence[str]) -> PartAnalysis:
        """The candidates of part p against the other parts still in place: the six axes
        always (they make the blocking table); when none of them is free, the direction with
        the widest margin against the cones of p's seat, then ray-free grid directions. The
        chosen one has the widest margin, the earliest tried on a tie."""
        touching = self.touching(p, others)
        candidates = self._rate(p, others, AXIS_KEYS, touching)
        upper = np.inf
        if not any(not c.blockers for c in candidates):
            direction, margin, upper = self.best_cone(p, touching)
            if direction is not None and margin > 0:
                candidates += self._rate(p, others, [("cone", direction)], touching)
        # When the seat's cones block every direction, no grid direction can be free.
        if not any(not c.blockers for c in candidates) and upper >= 0:
            seen = {c.direction for c in candidates}
            extra = [(label, d) for label, d in self.grid_candidates(p, others, self.seat_groups(p, touching))
                     if _key(d) not in seen]
            candidates += self._rate(p, others, extra, touching)
        free = [i for i, c in enumerate(candidates) if not c.blockers]
        chosen = min(free, key=lambda i: (-tie(candidates[i].margin), i)) if free else -1
        return PartAnalysis(p, tuple(candidates), chosen)

    def _rate(self, p: str, others: Sequence[str], tried: Sequence[tuple[str, np.ndarray | Direction]],
              touching: tuple[str, ...]) -> list[Candidate]:
        """The tried directions (arrays, or unit tuples already keys) with their blockers; the
        margins of the free ones against the cones of p's seat with the touching parts (a
        blocked direction never competes, so its margin is left NaN)."""
        keys = [d if isinstance(d, tuple) else _key(d) for _, d in tried]
        self.check_pairs(p, others, keys)
        found = [(label, key, *self.blockers(p, others, key)) for (label, _), key in zip(tried, keys)]
        free = [i for i, (_, _, blockers, _) in enumerate(found) if not blockers]
        margins = np.full(len(found), np.nan)
        if free:
            margins[free] = self._smallest_margins(np.array([tried[i][1] for i in free]),
                                                   self.seat_groups(p, touching))
        return [Candidate(label, key, blockers, float(m), depth)
                for (label, key, blockers, depth), m in zip(found, margins)]

    def _smallest_margins(self, directions: np.ndarray, groups: Sequence[zet_native.ConeGroups]) -> np.ndarray:
        """``smallest_margins``, with each set's smallest margin along each direction kept: a
        seat's sets stay while its parts do, and every later step rates the same free
        directions against them again."""
        directions = np.ascontiguousarray(directions, dtype=np.float64).reshape(-1, 3)
        sets = [g for g in groups if len(g.kinds)]
        if not sets:
            return np.ones(len(directions))
        keys = [tuple(row) for row in directions.tolist()]
        per_set = []
        for g in sets:  # a set is kept in self._groups for as long as self lives: its id stays its own
            missing = [i for i, k in enumerate(keys) if (id(g), k) not in self._set_margins]
            if missing:
                found = zet_native.margins(directions[missing], np.arange(len(g.kinds), dtype=np.int64), g).min(axis=1)
                for i, value in zip(missing, found.tolist()):
                    self._set_margins[(id(g), keys[i])] = value
            per_set.append(np.array([self._set_margins[(id(g), k)] for k in keys]))
        smallest: np.ndarray = np.minimum.reduce(per_set)
        return smallest

    def blockers(self, p: str, others: Sequence[str], d: Direction) -> tuple[tuple[str, ...], float]:
        """The other parts that block p along d, in the given order, and the deepest tolerated
        overlap along the path."""
        along = self._pairs.get((p, d), {})  # the checks done before, without a call each
        meeting = self._meeting(p, d)  # the others pass by without a check (blocked by none, depth 0)
        checked = [(q, along.get(q) or self.pair(p, q, d)) for q in others if q in meeting]
        blocking = tuple(q for q, c in checked if c.blocked)
        return blocking, max((c.depth for _, c in checked), default=0.0)

    def axes(self, p: str, others: Sequence[str]) -> list[tuple[str, tuple[str, ...]]]:
        """The six axes of p with the other parts that block each: the first candidates of
        every analysis, without the margins (which need the cones of p's seat)."""
        self.prepare(p, others)
        return [(label, self.blockers(p, others, d)[0]) for label, d in AXIS_KEYS]

    def clear_distance(self, p: str, others: Iterable[str], d: npt.ArrayLike) -> float:
        """How far p travels along d until its box is apart from every other box."""
        lo, hi = self.windows(p, d, 0.0)
        ends = [hi[self._index[q]] for q in others if lo[self._index[q]] <= hi[self._index[q]]]
        return max(ends) + self.tol.pad if ends else 0.0


_SAMPLE_FRACTIONS = np.arange(1, PATH_SAMPLES + 1) / PATH_SAMPLES


def _sample_times(start: npt.ArrayLike, length: npt.ArrayLike) -> np.ndarray:
    """The PATH_SAMPLES positions of the interior check along a path whose boxes begin to meet
    at ``start``: evenly up to ``length``, the last one there; a row for each path when given
    arrays of them."""
    start = np.where(0.0 > np.asarray(start), 0.0, start)  # at least 0, as Python's max(start, 0.0)
    times: np.ndarray = start[..., None] + (length - start)[..., None] * _SAMPLE_FRACTIONS
    return times


def _inside(points: np.ndarray, solid: zet_native.WindingTree, direction: np.ndarray = WINDING_RAY) -> np.ndarray:
    """Whether each point (float64, C-contiguous (n, 3)) is inside the solid: its ray along
    ``direction`` crosses it a nonzero number of times, unambiguously. As ``zet_native.winding``
    finds it, in one call of the module when the points are few enough for Ctrl-C to land at
    once (the companion slices more); the companion's checks and copies of the results would
    cost about what the walks of a path's points do."""
    if len(points) > POINTS_PER_SLICE:
        crossings, ambiguous = zet_native.winding(points, direction, solid)
        inside: np.ndarray = (crossings != 0) & ~ambiguous
        return inside
    args: Any = (points, direction, *solid, *WINDING_TOLERANCES)
    packed_crossings, packed_ambiguous = _zet_native.ray_winding_batch(*args)
    inside = (np.frombuffer(packed_crossings, "=i8") != 0) & (np.frombuffer(packed_ambiguous, np.uint8) == 0)
    return inside


# Further rays along which a point must be inside both solids, besides WINDING_RAY, before an
# overlap at rest is refused on it: on a surface that is not closed, one ray may count a
# crossing that another would not.
_CHECK_RAYS = tuple(INSIDE_DIRECTIONS[[0, 2, 3]])


def _gathered(vertices: np.ndarray, triangles: np.ndarray, chosen: np.ndarray) -> np.ndarray:
    """The corners (k, 3, 3) of the chosen triangles, ``vertices[triangles[chosen]]``: take()
    gathers the same rows several times sooner than indexing does on rows of three."""
    corners: np.ndarray = vertices.take(triangles.take(chosen, axis=0), axis=0)
    return corners


def _extremes(vertices: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The smallest and largest coordinates of (n, 3) vertices, as ``min(axis=0)`` and
    ``max(axis=0)`` give them: column by column, which is many times quicker on rows of three,
    but where an extreme is zero its sign depends on the order of the comparisons, so there the
    reductions over rows decide."""
    low = np.array([vertices[:, k].min() for k in range(3)])
    high = np.array([vertices[:, k].max() for k in range(3)])
    if not (low.all() and high.all()):
        low, high = vertices.min(axis=0), vertices.max(axis=0)
    return low, high


def _thrice(row: np.ndarray) -> np.ndarray:
    """A row of per-face values repeated for corners 0, 1 and 2 of every face, in the order of
    the corner list ``triangles.T.reshape(-1)``."""
    return np.concatenate([row, row, row])


def _dot(u: Sequence[np.ndarray] | np.ndarray, v: Sequence[np.ndarray] | np.ndarray) -> np.ndarray:
    """Dot products of vectors given axis by axis, added as np.einsum("ij,ij->i") adds rows of
    three: (x0 + x2) + x1."""
    dots: np.ndarray = (u[0] * v[0] + u[2] * v[2]) + u[1] * v[1]
    return dots


def _length(u: Sequence[np.ndarray]) -> np.ndarray:
    """Lengths of vectors given axis by axis, as np.linalg.norm takes rows of three:
    sqrt((x0 + x1) + x2) of the squares."""
    length: np.ndarray = np.sqrt((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2])
    return length


def shrunk(vertices: np.ndarray, triangles: np.ndarray, distance: float) -> tuple[np.ndarray, np.ndarray, float]:
    """The vertices moved inwards so that every face plane moves at least ``distance`` into
    the solid: along the vertex's area-weighted normal, by distance over the smallest cosine
    between it and the normals of its faces (capped, so that a needle tip moves at most four
    times as far). A part shrunk by the allowance touches another part only where the two
    overlap deeper than the allowance; touching faces, sliding and tolerated interferences
    leave no contact at all. Inward is against the normals of a positive volume. Also the unit
    face normals of the triangles as given (by the right-hand rule, whatever the volume's sign)."""
    # Coordinates axis by axis, so that every step is a pass over contiguous rows; each element
    # sees the operations of the row-wise formulas in their order (a dot product of rows is
    # (x0 + x2) + x1, as np.einsum("ij,ij->i") adds it; a length sqrt((x0 + x1) + x2), as
    # np.linalg.norm does), so the shrunk parts keep their bits.
    index = triangles.astype(np.intp)
    faces = len(index)
    corner_of = index.T.reshape(-1)  # corner 0 of every face, then corner 1, then corner 2
    xyz = np.ascontiguousarray(vertices.T, dtype=np.float64)
    at = xyz.take(corner_of, axis=1).reshape(3, 3, faces)  # axis, corner, face
    e1, e2 = at[:, 1] - at[:, 0], at[:, 2] - at[:, 0]
    normals = [e1[i] * e2[j] - e1[j] * e2[i] for i, j in ((1, 2), (2, 0), (0, 1))]
    first = at[:, 0]
    volume = _dot(first, normals).sum()
    flipped = bool(volume < 0)
    if flipped:
        normals = [-n for n in normals]
    # Each vertex's sum of its faces' normals, the faces taken by corner and then in order
    # (bincount adds in the order given).
    summed = [np.bincount(corner_of, weights=_thrice(n), minlength=len(vertices)) for n in normals]
    length = _length(summed)
    length = np.where(length > 0, length, 1.0)
    unit = [s / length for s in summed]
    face_length = np.maximum(_length(normals), 1e-300)
    face_unit = [n / face_length for n in normals]
    # Every corner's cosine at once (a smallest value is the same whatever the order it is
    # taken in; only the sign of a zero could differ, and the clip below drops it).
    u = [c.take(corner_of) for c in unit]
    f = [_thrice(c) for c in face_unit]
    cosine = np.ones(len(vertices))
    np.minimum.at(cosine, corner_of, _dot(u, f))
    step = distance / np.clip(cosine, 0.25, 1.0)
    moved, face_normals = np.empty((len(vertices), 3)), np.empty((faces, 3))
    for k in range(3):
        np.subtract(xyz[k], unit[k] * step, out=moved[:, k])
        # A negated vector has the same length: the unit normals of the triangles as given
        # are the flipped ones negated back, bit for bit.
        if flipped:
            np.negative(face_unit[k], out=face_normals[:, k])
        else:
            face_normals[:, k] = face_unit[k]
    # Twice the volume over the area: a slab's thickness, a third of a cube's side.
    thickness = float(2.0 * abs(volume) / 3.0 / face_length.sum()) if faces else 0.0
    return moved, face_normals, thickness


def tie(x: float) -> float:
    """A margin or a relative volume as ranks compare it: values that agree to TIE_DECIMALS
    decimals are a tie, since their last bits move with where the assembly is and its scale,
    and the plan should not."""
    return round(x, TIE_DECIMALS)


def _key(d: npt.ArrayLike) -> Direction:
    """A direction as a hashable unit tuple (the same bits for the same direction)."""
    d = np.asarray(d, dtype=np.float64)
    return tuple(float(x) for x in d / np.linalg.norm(d))


AXIS_KEYS = tuple((label, _key(d)) for label, d in AXES)
