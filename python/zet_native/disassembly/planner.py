"""The sequence: assembly by disassembly, one part at a time.

Each step looks at every part still in place against all the others (on several interpreter
threads when asked, each inside a stage of the module's thread share), then removes one part
that can leave. Removing a part only removes obstacles, and whether one part blocks another
along a direction does not depend on the rest, so every check is kept and a step redoes only
what a departure can change. A step first finds what blocks each part along the six axes; the
further candidates (the cone's direction, the grid) are looked for only for the parts that
could go next, since a part without a free axis leaves at least its axes' blockers behind.
Among the parts that can leave, the one with the fewest blockers left behind goes first: the
fewest parts still in place that block it in some tested direction (the least entangled part
leaves first, so a lid goes before its box and the top block before the stack); then the one
whose direction has the widest margin against its seat's cones; then the smaller part (the
volume of its box), so that of two parts that can only part from each other the smaller one
moves; then the first name in alphabetical order. Margins and box volumes (in cubes of the
assembly's diagonal) that agree to 9 decimals tie, so that the plan does not move with the
assembly's position or scale. A part's direction is its free candidate
with the widest margin, the earliest tried on a tie. When no part can leave, the plan ends
and the parts still in place are reported with what holds them.
"""

import concurrent.futures
import contextlib
import math
import threading
from collections.abc import Callable, Iterable
from typing import Any, NamedTuple

import numpy as np

from .analysis import Assembly, Cancelled, PartAnalysis, _extremes, each, quick_switches, tie, workers
from .parts import AssemblyError, Mesh, PartsLike, checked_parts

DEFAULT_ALLOWANCE = 1e-4  # of the assembly's diagonal
# The fewest near pairs that one task checks at rest (unless there are fewer): the depths of a
# task's pairs are measured in one go, whose fixed cost a share of a few pairs would pay again
# for little.
REST_SHARE = 8

ProgressCallback = Callable[[int], object]  # called with the number of parts (or assemblies) just done
Table = dict[str, dict[str, list[str]]]  # part -> {direction label: [blocking parts]}


class Step(NamedTuple):
    part: str
    label: str  # the candidate that was chosen ("+z", "cone", "grid 17", ...)
    direction: tuple[float, ...]  # unit vector
    distance: float  # travel until the part's box is apart from the boxes still in place
    margin: float  # against the cones of the part's seat (1.0 when nothing touches it)
    interference: float  # deepest tolerated overlap along its path
    left_behind: int  # parts still in place that block it in some tested direction


class Plan(NamedTuple):
    parts: list[str]  # names, in input order
    steps: list[Step]  # Step, in removal order
    remaining: list[str]  # parts that could not leave, in input order
    blockers: dict[str, list[str]]  # remaining part -> names of the parts that block it in some direction
    blocking: Table  # part -> {direction label: [blocking parts]}, of the first step (all parts in place)
    # remaining part -> {direction label: [blocking parts]}, of the last step (of an interrupted plan:
    # the last step done, where a part that could not go next shows its axes only)
    held: Table
    interference: dict[str, float]  # part -> deepest tolerated overlap with its neighbours at rest
    allowance: float  # in the assembly's units
    diagonal: float
    cancelled: bool = False

    def to_json(self) -> dict[str, Any]:
        """The plan as plain data: the keys parts, steps (part, unit direction, distance),
        remaining and blockers are a contract; the others are extras."""
        return {
            "parts": list(self.parts),
            "steps": [{"part": s.part, "direction": list(s.direction), "distance": s.distance,
                       "label": s.label, "margin": s.margin, "interference": s.interference,
                       "left_behind": s.left_behind} for s in self.steps],
            "remaining": list(self.remaining),
            "blockers": {k: list(v) for k, v in self.blockers.items()},
            "blocking": self.blocking,
            "held": self.held,
            "interference": self.interference,
            "allowance": self.allowance,
            "diagonal": self.diagonal,
            "cancelled": self.cancelled,
        }


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during a plan: ``plan`` holds the steps done so far (``cancelled`` set)."""

    def __init__(self, plan: Plan) -> None:
        super().__init__("interrupted")
        self.plan = plan


def plan(parts: PartsLike, *, allowance: float = DEFAULT_ALLOWANCE, absolute: bool = False, threads: int = 1,
         progress: ProgressCallback | None = None) -> Plan:
    """Plan the disassembly of an assembly.

    ``parts``: a mapping name -> (vertices, triangles) (array-likes), pairs of those, or a
    folder of mesh files. ``allowance``: the overlap depth that does not block, a fraction of
    the assembly's diagonal, or a length when ``absolute``. ``threads``: parts of a step
    analysed at once (while they run, the interpreter's switch interval is lowered to
    ``analysis.SWITCH_INTERVAL``). ``progress``: called with the number of parts analysed
    after each one.

    Raises ``AssemblyError`` on bad input, including two parts that overlap deeper than the
    allowance at rest (the message names them and says how deep), and ``Interrupted`` on
    Ctrl-C, carrying the steps done so far.
    """
    checked, unit = working_units(checked_parts(parts))
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise AssemblyError(f"threads must be a whole number of at least 1, not {threads!r}")
    threads = min(int(threads), len(checked))  # a step has no more parts than that to share out
    try:
        allowance = float(allowance)
    except (TypeError, ValueError) as error:
        raise AssemblyError(f"the allowance must be a finite non-negative number, not {allowance!r}") from error
    cancel = threading.Event()
    with contextlib.ExitStack() as threads_of_the_plan:
        pool = None
        if threads > 1:
            pool = workers(threads)
            threads_of_the_plan.callback(pool.shutdown, wait=True, cancel_futures=True)
            threads_of_the_plan.enter_context(quick_switches())
        try:
            # An absolute allowance is a length: in working units it is divided by the unit (exactly).
            # The parts are built by the first step's tasks, so that its checks start beside the last builds.
            assembly = Assembly(checked, allowance / unit if absolute else allowance, absolute, cancel, threads, pool,
                                unit, build=False)
        except KeyboardInterrupt as error:
            raise Interrupted(_empty(checked, cancelled=True)) from error
        state = _State(assembly, pool)
        try:
            state.run(threads, progress)
        except (KeyboardInterrupt, Cancelled, InterruptedError) as error:  # InterruptedError: a tree build stopped
            cancel.set()
            raise Interrupted(state.result(cancelled=True)) from error
        return state.result()


# The sizes (largest box side) of the assemblies planned in their own units. The module's
# kernels have a few absolute thresholds (a speed under its absolute tolerance counts as
# none, a contact tolerance of at least 1e-12, box margins of 1e-9): an assembly of a few
# nanometres in metres, or of a few thousand kilometres in millimetres, meets them at the
# size of its parts or of its paths, and its checks miss contacts or find false ones.
WORKING_SIZES = (2.0**-10, 2.0**20)


def working_units(parts: dict[str, Mesh]) -> tuple[dict[str, Mesh], float]:
    """The parts in the units the plan is made in, and the length of one of those units in the
    caller's: the caller's own, unless the assembly's largest box side is outside
    WORKING_SIZES; then units of a power of two that bring it between 1 and 2. Scaling by a
    power of two is exact, so every length of the plan is the caller's scaled exactly, and
    the plan is that of the same assembly at that size."""
    low = np.min([_extremes(v)[0] for v, _ in parts.values()], axis=0)
    high = np.max([_extremes(v)[1] for v, _ in parts.values()], axis=0)
    half_side = float(np.max(high / 2 - low / 2))  # halves: the side itself may overflow
    if not half_side > 0 or WORKING_SIZES[0] <= 2 * half_side <= WORKING_SIZES[1]:
        return parts, 1.0
    exponent = math.frexp(half_side)[1]  # half_side in [2**(exponent - 1), 2**exponent)
    scale = math.ldexp(1.0, -exponent)  # the side, 2 * half_side, then in [1, 2)
    return {n: (v * scale, t) for n, (v, t) in parts.items()}, 1.0 / scale


def _empty(parts: Iterable[str], cancelled: bool = False) -> Plan:
    names = list(parts)
    return Plan(names, [], names, {}, {}, {}, {}, 0.0, 0.0, cancelled)


class _State:
    def __init__(self, assembly: Assembly, pool: concurrent.futures.ThreadPoolExecutor | None = None) -> None:
        self.a = assembly
        self.pool = pool  # the plan's threads
        self.remaining = list(assembly.names)
        self.steps: list[Step] = []
        self.first: Table | None = None  # candidates and blockers of the first step
        self.last: Table | None = None  # those of the latest step
        self.interference = {n: 0.0 for n in assembly.names}

    def check_rest(self, pairs: list[tuple[str, str]], found: list[tuple[float, str]]) -> None:
        """The deepest overlaps at rest of the pairs of near parts: the interference of each
        part, or the first pair that overlaps beyond the allowance refused."""
        for (p, q), (depth, where) in zip(pairs, found):
            if depth > self.a.tol.allowance:
                raise AssemblyError(f"parts {p!r} and {q!r} overlap by {depth * self.a.unit:.6g} at rest ({where}), "
                                    f"beyond the allowance {self.a.tol.allowance * self.a.unit:.3g}")
            self.interference[p] = max(self.interference[p], depth)
            self.interference[q] = max(self.interference[q], depth)

    def analyse_step(self, threads: int,
                     progress: ProgressCallback | None) -> tuple[Table, list[PartAnalysis]]:
        """The parts still in place: what blocks each along the axes, and the whole analysis of
        the parts the sequence needs it for. The first step analyses every part in full (the
        blocking table shows all they tried, and it is most of the work, best spread over the
        threads at once). Later steps find what blocks each part along the axes first: a part
        with a free axis tries nothing else, so its axes are its candidates and their blockers
        its blockers left behind; a part without one leaves at least the blockers of its axes
        behind. A part is analysed further only when it could go next: a part with a free
        axis when it leaves the fewest blockers behind (the ties need its margin), a part
        without one when its axes' blockers are no more than that fewest. At a step where no
        axis is free, that is every part (the parts held at the end, with all they tried)."""
        remaining = self.remaining
        others = {p: [q for q in remaining if q != p] for p in remaining}
        if self.first is None:
            # The parts' builds first, then the overlaps at rest of the near pairs (a share of
            # the pairs per thread, of REST_SHARE pairs at least), then the two large parts of
            # every analysis as tasks of their own done ahead: the seats (the touching triangles
            # of each near pair, for both of its parts at once, the largest pairs first) and each
            # part's checks along the axes (the largest parts first). Many smaller tasks keep two
            # threads evenly busy where five whole analyses leave one thread finishing alone, and
            # a seat of its own is never one that another thread is making. The analyses follow
            # in the same run of tasks, each taking a part whose seats and axes are done (the
            # largest first), so that no thread waits for the last of another part's. All in one
            # run of tasks, so that no thread waits for the others to end a phase: a task waits
            # only for the builds it needs that another thread is still making. Once a pair
            # overlaps beyond the allowance the tasks not yet started are skipped, since the plan
            # is refused.
            names = self.a.names
            pairs = [(p, q) for i, p in enumerate(names) for q in names[i + 1:] if self.a.near(p, q)]
            count = max(1, min(threads, len(pairs) // REST_SHARE))
            shares = [pairs[k * len(pairs) // count:(k + 1) * len(pairs) // count] for k in range(count)]
            refused = threading.Event()
            largest = self.a.largest  # every part is still in place at the first step
            changed = threading.Condition()
            size = {p: len(self.a.meshes[p][1]) for p in names}
            seats = sorted(pairs, key=lambda pair: -(size[pair[0]] + size[pair[1]]))  # stable
            # Seats and axes of each part not done yet.
            unfinished = {p: 1 + sum(p in pair for pair in pairs) for p in remaining}
            unclaimed = list(largest)  # parts whose analysis no task has taken yet

            def claim() -> str:
                # Every seat and axes task was taken before any analysis (tasks start in order),
                # so waiting here only waits for those that run on other threads.
                with changed:
                    while True:
                        for p in unclaimed:
                            if not unfinished[p]:
                                unclaimed.remove(p)
                                return p
                        if self.a.cancel.is_set():
                            raise Cancelled()
                        changed.wait(0.05)

            def task(item: tuple[str, Any]) -> Any:
                kind, what = item
                if kind == "build":
                    return self.a.build(what)
                if kind == "rest":
                    self.a.wait_built({part for pair in what for part in pair})
                    found = self.a.rest_depths(what)
                    if any(depth > self.a.tol.allowance for depth, _ in found):
                        refused.set()
                    return found
                if kind == "analyse":
                    p = claim()
                    return p, None if refused.is_set() else self.a.analyse(p, others[p])
                done = what if kind == "seat" else (what,)
                try:
                    if not refused.is_set():
                        if kind == "seat":
                            self.a.wait_built(what)
                            self.a.seat(*what)
                        else:
                            self.a.wait_built()  # every part's trees and the tables
                            self.a.prepare(what, others[what])
                finally:
                    with changed:
                        for p in done:
                            unfinished[p] -= 1
                        changed.notify_all()
                return None

            tasks: list[tuple[str, Any]] = [("build", half) for half in self.a.halves()]
            tasks += [("rest", share) for share in shares if share]
            tasks += [("seat", pair) for pair in seats] + [("axes", p) for p in largest]
            tasks += [("analyse", None)] * len(remaining)
            # Progress counts a part when its axes are done (the analyses after them are quick).
            found = each(task, tasks, threads, self.a.cancel, progress, self.pool, weight=lambda t: int(t[0] == "axes"))
            kinds = [kind for kind, _ in tasks]
            self.check_rest(pairs, [pair for kind, share in zip(kinds, found) if kind == "rest" for pair in share])
            analysed = dict(found[kinds.index("analyse"):])
            analyses = [analysed[p] for p in remaining]
            return {x.name: {c.label: list(c.blockers) for c in x.candidates} for x in analyses}, analyses
        # The first step checked every axis of every part against all the others: these are
        # lookups, quicker on one thread than handed around several that share the interpreter.
        axes = each(lambda p: self.a.axes(p, others[p]), remaining, 1, self.a.cancel, progress)
        tables: Table = {}
        behind: dict[str, int] = {}
        for p, rows in zip(remaining, axes):
            tables[p] = {label: list(b) for label, b in rows}
            behind[p] = len({q for _, b in rows for q in b})
        open_ = {p for p, rows in zip(remaining, axes) if any(not b for _, b in rows)}
        fewest = min((behind[p] for p in open_), default=len(remaining))
        wanted = [p for p in remaining if (behind[p] == fewest if p in open_ else behind[p] <= fewest)]
        analyses = each(lambda p: self.a.analyse(p, others[p]), wanted, threads, self.a.cancel, pool=self.pool)
        for x in analyses:
            tables[x.name] = {c.label: list(c.blockers) for c in x.candidates}
        return tables, analyses

    def run(self, threads: int, progress: ProgressCallback | None) -> None:
        while self.remaining:
            tables, analyses = self.analyse_step(threads, progress)
            self.last = tables
            if self.first is None:
                self.first = tables
            free = [x for x in analyses if x.free]
            if not free:
                return
            ranked = min(free, key=lambda x: (_left_behind(x), -tie(x.candidates[x.chosen].margin),
                                              tie(self.a.volume(x.name)), x.name))
            c = ranked.candidates[ranked.chosen]
            others = [q for q in self.remaining if q != ranked.name]
            distance = self.a.clear_distance(ranked.name, others, c.direction)
            self.steps.append(Step(ranked.name, c.label, c.direction, float(distance), c.margin, c.depth,
                                   _left_behind(ranked)))
            self.interference[ranked.name] = max(self.interference[ranked.name], c.depth)
            self.remaining.remove(ranked.name)

    def result(self, cancelled: bool = False) -> Plan:
        a = self.a
        held: Table = {}
        blockers: dict[str, list[str]] = {}
        if self.last is not None:
            for name in self.remaining:
                if name in self.last:
                    held[name] = {label: list(found) for label, found in self.last[name].items()}
                    union = {b for found in held[name].values() for b in found}
                    blockers[name] = [n for n in a.names if n in union]
        remaining = [n for n in a.names if n in self.remaining]
        u = a.unit  # lengths back in the caller's units (exactly: u is a power of two)
        steps = [s._replace(distance=s.distance * u, interference=s.interference * u) for s in self.steps]
        return Plan(list(a.names), steps, remaining, blockers, dict(self.first or {}), held,
                    {n: d * u for n, d in self.interference.items()}, a.tol.allowance * u, a.tol.diagonal * u,
                    cancelled)


def _left_behind(analysis: PartAnalysis) -> int:
    """The parts still in place that block this part in some tested direction."""
    return len({b for c in analysis.candidates for b in c.blockers})


def describe(plan: dict[str, Any], name: str | None = None) -> list[str]:
    """Text lines of a plan given as ``Plan.to_json()`` data: one per step (part, direction,
    distance, blockers left behind), then the parts that could not leave with what holds them
    per direction."""
    if "failed" in plan:
        return [f"{name or 'assembly'}: failed: {plan['failed']}"]
    lines = [f"{name or 'assembly'}: {len(plan['parts'])} parts, allowance {plan['allowance']:.3g} "
             f"(diagonal {plan['diagonal']:.4g})" + (" -- interrupted" if plan.get("cancelled") else "")]
    width = max([len(n) for n in plan["parts"]] + [4])
    for i, s in enumerate(plan["steps"], 1):
        d = ", ".join(f"{x:+.3f}" for x in s["direction"])
        lines.append(f"  {i:>3}. {s['part']:<{width}}  {s['label']:<8} ({d})  distance {s['distance']:.4g}  "
                     f"blockers left {s['left_behind']}")
    if plan.get("cancelled"):  # what holds the parts still in place was not settled
        if plan["remaining"]:
            lines.append(f"  still in place when interrupted: {', '.join(plan['remaining'])}")
    else:
        for n in plan["remaining"]:
            held = plan["held"].get(n, {})
            by = "; ".join(f"{label} by {', '.join(b)}" for label, b in held.items() if b)
            lines.append(f"  cannot leave: {n} (held by {', '.join(plan['blockers'].get(n, [])) or 'nothing'}"
                         + (f": {by}" if by else "") + ")")
        if not plan["remaining"]:
            lines.append("  every part came out")
    deep = {n: d for n, d in plan["interference"].items() if d > 0}
    if deep:
        worst = max(deep, key=deep.__getitem__)
        lines.append(f"  tolerated interference: {len(deep)} parts, deepest {deep[worst]:.3g} ({worst})")
    return lines
