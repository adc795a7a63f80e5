"""Blocked-direction cones: pair_cones, cone_margins, cone_cap_lower_bounds, and
cells_bound_batch inside the branch-and-bound direction search of examples/direction_search.py.

- pair_cones on 1,000,000 contact-like triangle pairs (moving triangle, obstacle triangle a
  short step away along a normal drawn mostly downwards), on 1 and 2 threads, against the
  numpy version in numpy_pair_cones.py (run on a subset, its rate scaled; compared byte for
  byte).
- cone_margins and cone_cap_lower_bounds: MARGIN_DIRECTIONS directions spread over the
  sphere times 1000 groups, on 1 and 2 threads, against a vectorised numpy version of the same
  formulas written here (run on a subset of the directions, its rate scaled); the results are
  compared (exact equality reported, else the largest difference).
- The direction search against 5000 groups: time to the best direction, margins offered to
  cells_bound_batch, against brute-force cone_margins over every evaluated cell times every
  group; the pruning factor is the ratio of the two counts.
No peer library computes these; numpy is the reference.
"""

import sys
import time

import meshes
import numpy as np
from common import best_time, cpu_snapshot, duration, others_note, progress, rate, timed, verdict
from numpy_pair_cones import numpy_pair_cones

import _zet_native
import zet_native

sys.path.insert(0, str(meshes.REPO / "examples"))
import direction_search  # noqa: E402

THREADS = (1, 2)
PAIRS = 1_000_000
GROUPS = 1000
MARGIN_DIRECTIONS = 20_000  # the issue asks 100k; at about 2.5 M margins/s one run would take 40 s
NUMPY_DIRECTIONS = 1000
NUMPY_PAIRS = 50_000
SEARCH_GROUPS = 5000
FACET_TOLERANCE = 1e-12  # with 0, rounding in n . g of a pair's own generators drops facets
NUMPY_BAR, THREAD_BAR, SEARCH_BAR = 10.0, 1.7, 5.0


def contact_pairs(n, seed):
    """Moving triangles (size about 0.1) and obstacle triangles 0.3 away along a unit normal
    drawn in the lower part of the sphere: contact-like pairs whose cones leave room upwards."""
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 1, 3))
    normal = rng.normal(size=(n, 1, 3))
    normal[..., 2] = -np.abs(normal[..., 2]) * 3 - 1.0
    normal /= np.linalg.norm(normal, axis=-1, keepdims=True)
    moving = p + 0.1 * rng.normal(size=(n, 3, 3))
    obstacle = p + 0.3 * normal + 0.1 * rng.normal(size=(n, 3, 3))
    return np.ascontiguousarray(moving), np.ascontiguousarray(obstacle)


def take(groups, index):
    return type(groups)(*[np.ascontiguousarray(a[index]) for a in groups])


def _dot(a, u):
    """a (..., 3) . u, broadcast, summed x, y, z in this order."""
    return a[..., 0] * u[..., 0] + a[..., 1] * u[..., 1] + a[..., 2] * u[..., 2]


def numpy_margins(directions, selected, g, common_shift=0.0, chunk=100):
    """The margin formula, vectorised over (directions, groups)."""
    out = np.empty((len(directions), len(selected)))
    kinds, gens, gmask, facets, fmask, blocks, shifts = (a[selected] for a in g[:7])
    planes, first, second, wmask = (a[selected] for a in g[7:11])
    live_facet = fmask.any(axis=1)
    for s in range(0, len(directions), chunk):
        u = directions[s:s + chunk, None, None, :]
        fd = _dot(facets[None], u)
        f = np.where(fmask[None] & ~np.isnan(fd), fd, -np.inf).max(axis=2)
        d = _dot(gens[None], u)
        ray = np.where(d >= 0, np.sqrt(np.maximum(0.0, 1.0 - d * d)), 1.0)
        ray = np.where(gmask[None], ray, np.inf).min(axis=2)
        over = wmask[None] & (_dot(first[None], u) >= 0) & (_dot(second[None], u) >= 0)
        wedge = np.where(over, np.abs(_dot(planes[None], u)), np.inf).min(axis=2)
        outside = np.fmin(ray, wedge)
        value = np.where(kinds[None] != 0, f, np.where(live_facet[None] & (f <= 0), f, outside))
        value = np.where(blocks[None], -1.0, value)
        out[s:s + chunk] = value - (shifts[None] + common_shift)
    return out


def numpy_caps(directions, selected, g, angular, common_shift=0.0):
    axes, cos, blocks, shifts = g.cap_axes[selected], g.cap_cos[selected], g.blocks_all[selected], g.shifts[selected]
    rho = np.arccos(np.minimum(1.0, np.maximum(-1.0, cos)))
    theta = np.arccos(np.minimum(1.0, np.maximum(-1.0, _dot(axes[None], directions[:, None, :]))))
    x = theta - rho[None] - angular
    v = np.where(x > 0, np.sin(np.minimum(x, np.pi / 2)), -1.0)
    v = np.where(((cos > 1e-9) & ~blocks)[None], v, -np.inf)
    return v - (shifts[None] + common_shift)


def _agreement(ours, reference):
    same = np.array_equal(ours, reference, equal_nan=True)
    if same:
        return "equal bits" if ours.tobytes() == reference.tobytes() else "equal values"
    finite = np.isfinite(ours) & np.isfinite(reference)
    mismatch = int(np.count_nonzero(~((ours == reference) | (np.isnan(ours) & np.isnan(reference)))))
    return (f"{mismatch} of {ours.size} differ, largest finite difference "
            f"{np.abs(ours[finite] - reference[finite]).max():.2e}")


class Cones:
    """One section of the benchmark: prepare, ours, peers (numpy), then rows, notes and bars."""

    def __init__(self):
        self.notes = []

    def prepare(self):
        self.moving, self.obstacle = contact_pairs(PAIRS, 20240701)
        self.epsilon = np.zeros(PAIRS)
        self.directions = meshes.sphere_directions(MARGIN_DIRECTIONS)
        progress(f"cone inputs ready: {PAIRS} pairs, {MARGIN_DIRECTIONS} directions")

    def _threads(self, function, *args, repeats=2):
        best, results = {}, set()
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            best[threads] = best_time(timed(function, *args), repeats=repeats, min_total=0.0)
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            r = function(*args)
            results.add(r if isinstance(r, bytes) else tuple(x if isinstance(x, bytes) else x for x in r))
        return best, len(results) == 1

    def run_ours(self):
        before = cpu_snapshot()
        self.pair_s, same = self._threads(_zet_native.pair_cones, self.moving, self.obstacle, self.epsilon, 1e-9,
                                          FACET_TOLERANCE, repeats=1)
        if not same:
            self.notes.append("ODD: pair_cones: results differ between 1 and 2 threads")
        progress("ours: pair_cones done")
        pg = zet_native.pair_cone_groups(self.moving[:20000], self.obstacle[:20000], facet_tolerance=FACET_TOLERANCE)
        free = np.flatnonzero(~pg.groups.blocks_all)
        self.groups = take(pg.groups, free[:GROUPS])
        self.search_groups = take(pg.groups, free[:SEARCH_GROUPS])
        self.selected = np.arange(GROUPS, dtype=np.int64)
        arrays = [np.ascontiguousarray(a) for a in self.groups[:11]]
        margin_args = (self.directions, self.selected, *arrays, 0.0)
        self.margin_s, same = self._threads(_zet_native.cone_margins, *margin_args, repeats=1)
        if not same:
            self.notes.append("ODD: cone_margins: results differ between 1 and 2 threads")
        self.margins = np.frombuffer(_zet_native.cone_margins(*margin_args), dtype=np.float64).reshape(
            MARGIN_DIRECTIONS, GROUPS)
        progress("ours: cone_margins done")
        g = self.groups
        self.angular = np.array([0.01])
        cap_args = (self.directions, self.selected, g.cap_axes, g.cap_cos, g.blocks_all, g.shifts, self.angular, 0.0)
        self.cap_s, same = self._threads(_zet_native.cone_cap_lower_bounds, *cap_args, repeats=3)
        if not same:
            self.notes.append("ODD: cone_cap_lower_bounds: results differ between 1 and 2 threads")
        self.caps = np.frombuffer(_zet_native.cone_cap_lower_bounds(*cap_args), dtype=np.float64).reshape(
            MARGIN_DIRECTIONS, GROUPS)
        progress("ours: cone_cap_lower_bounds done")
        self.search = {}
        for threads in THREADS:
            _zet_native.set_thread_limit(threads)
            runs = [direction_search.search(self.search_groups) for _ in range(5)]
            self.search[threads] = min(runs, key=lambda r: r.seconds)
        r = self.search[THREADS[-1]]
        everything = np.arange(len(self.search_groups.kinds))
        self.brute_s = {}
        for threads in THREADS:  # brute force on the same thread count as the search it is set against
            _zet_native.set_thread_limit(threads)
            brute_force = timed(zet_native.margins, r.final_centers, everything, self.search_groups)
            self.brute_s[threads] = best_time(brute_force, repeats=3, min_total=0.0)
        brute = zet_native.margins(r.final_centers, everything, self.search_groups).min(axis=1)
        self.brute_best = float(brute.max())
        self.brute_count = brute.size * len(everything)
        progress("ours: direction search done")
        self.load = others_note(before, cpu_snapshot(), "during our runs")

    def _numpy_pair_cones(self):
        """numpy's pair_cones on the first NUMPY_PAIRS pairs (rate scaled), compared byte for byte."""
        m = NUMPY_PAIRS
        args = (self.moving[:m], self.obstacle[:m], self.epsilon[:m], 1e-9, FACET_TOLERANCE)
        start = time.perf_counter()
        ref = numpy_pair_cones(*args)
        self.np_pair_s = (time.perf_counter() - start) * PAIRS / m
        ours = _zet_native.pair_cones(*args)
        same = ours[1] == ref[1] and all(
            o == np.ascontiguousarray(r).astype(np.uint8 if r.dtype == bool else r.dtype).tobytes()
            for k, (o, r) in enumerate(zip(ours, ref)) if k != 1)
        self.pair_agree = "equal bytes" if same else "DIFFERENT"

    def run_peers(self):
        self._numpy_pair_cones()
        n = NUMPY_DIRECTIONS
        d = self.directions[:n]
        start = time.perf_counter()
        ref = numpy_margins(d, self.selected, self.groups)
        self.np_margin_s = (time.perf_counter() - start) * MARGIN_DIRECTIONS / n
        self.margin_agree = _agreement(self.margins[:n], ref)
        start = time.perf_counter()
        ref = numpy_caps(d, self.selected, self.groups, self.angular[0])
        self.np_cap_s = (time.perf_counter() - start) * MARGIN_DIRECTIONS / n
        self.cap_agree = _agreement(self.caps[:n], ref)
        under = self.caps <= self.margins
        if not under.all():
            self.notes.append(f"ODD: {int((~under).sum())} cap bounds above the margin at the direction itself")
        progress("numpy: margins and cap bounds done")

    def peer_lines(self):
        return ["cones: no peer library; numpy versions of the same formulas: pair_cones in "
                f"bench/numpy_pair_cones.py (one run on the first {NUMPY_PAIRS} pairs), margins and cap bounds in "
                f"bench/cones.py (one run on the first {NUMPY_DIRECTIONS} directions); times scaled to all"]

    def rows(self):
        rows = []
        for threads in THREADS:
            rows.append(("pair_cones", f"{PAIRS // 1000}k contact pairs", threads,
                         rate(PAIRS, self.pair_s[threads], "pairs"), "numpy (same formulas)",
                         rate(PAIRS, self.np_pair_s, "pairs"), f"{self.np_pair_s / self.pair_s[threads]:.2f}x"))
        n = MARGIN_DIRECTIONS * GROUPS
        case = f"{MARGIN_DIRECTIONS // 1000}k dirs x {GROUPS} groups"
        for name, ours, numpy_s in (("cone_margins", self.margin_s, self.np_margin_s),
                                    ("cone_cap_lower_bounds", self.cap_s, self.np_cap_s)):
            for threads in THREADS:
                rows.append((name, case, threads, rate(n, ours[threads], "evals"), "numpy (same formulas)",
                             rate(n, numpy_s, "evals"), f"{numpy_s / ours[threads]:.2f}x"))
        g = len(self.search_groups.kinds)
        for threads in THREADS:
            r = self.search[threads]
            rows.append(("cells_bound_batch search", f"{g} groups, {r.cells} cells", threads,
                         f"{duration(r.time_to_best)} to best", "brute cone_margins", duration(self.brute_s[threads]),
                         f"{self.brute_s[threads] / r.time_to_best:.2f}x"))
        return rows

    def note_lines(self):
        r = self.search[THREADS[-1]]
        g = len(self.search_groups.kinds)
        lines = [
            f"cones: contact-like pairs (obstacle triangle 0.3 along a mostly downward normal, triangles about 0.1), "
            f"rank tolerance 1e-9, facet tolerance {FACET_TOLERANCE:g}; margins and cap bounds on the first "
            f"{GROUPS} groups that do not block every direction, {MARGIN_DIRECTIONS} directions (not 100k: one "
            f"1-thread run would take about 40 s), one run per thread count (cap bounds best of 3), angular radius "
            f"{self.angular[0]:g} for the cap bounds",
            f"  numpy agreement on {NUMPY_DIRECTIONS} x {GROUPS}: margins {self.margin_agree}; cap bounds "
            f"{self.cap_agree}",
            f"  pair_cones 1 thread {duration(self.pair_s[1])}, 2 threads {duration(self.pair_s[2])}; numpy "
            f"(bench/numpy_pair_cones.py) on the first {NUMPY_PAIRS} pairs, time scaled: {self.pair_agree}",
            f"  search ({g} groups, icosahedron faces split in four, chunk 16, tolerance 1e-3): best margin "
            f"{r.margin:.6f} at ({', '.join(f'{x:.4f}' for x in r.direction)}), upper bound {r.upper_bound:.6f}, "
            f"{r.cells} cells in {r.calls} calls to level {r.depth}; total "
            + ", ".join(f"{duration(self.search[t].seconds)} on {t} thread(s)" for t in THREADS)
            + f"; margins offered (cells x relevant groups, what the calls may evaluate at most in their visit) "
            f"{r.offered}, brute force over the same cells {self.brute_count} in "
            + ", ".join(f"{duration(self.brute_s[t])} on {t} thread(s)" for t in THREADS)
            + f" (best of 3), pruning factor {self.brute_count / r.offered:.1f}; brute-force best {self.brute_best:.6f} "
            f"({'equal' if self.brute_best == r.margin else 'DIFFERENT'})",
            "  " + self.load,
        ] + ["  " + n for n in self.notes]
        return lines

    def bars(self):
        out = []
        x, s = self.np_margin_s / self.margin_s[1], self.margin_s[1] / self.margin_s[2]
        out.append(f"  cone_margins >= 10x numpy on 1 thread: {x:.1f}x, {verdict(x >= NUMPY_BAR)}; "
                   f"2 threads >= 1.7x 1 thread: {s:.2f}x, {verdict(s >= THREAD_BAR)}")
        # The team kept the C library's acos and sin for the cap bounds (their results stay the
        # formula's bits), which withdrew the 10x-numpy bar of this one function.
        x, s = self.np_cap_s / self.cap_s[1], self.cap_s[1] / self.cap_s[2]
        out.append(f"  cone_cap_lower_bounds: {x:.2f}x numpy on 1 thread (no bar: acos and sin stay the C "
                   f"library's); 2 threads >= 1.7x 1 thread: {s:.2f}x, {verdict(s >= THREAD_BAR)}")
        r = self.search[1]
        x = self.brute_s[1] / r.time_to_best
        g = len(self.search_groups.kinds)
        out.append(f"  cells_bound_batch search: time to best >= 5x brute-force cone_margins over the same cells on "
                   f"1 thread: {x:.2f}x, {verdict(x >= SEARCH_BAR)}; pruning factor "
                   f"{r.cells * g / r.offered:.1f}")
        s = self.pair_s[1] / self.pair_s[2]
        x = self.np_pair_s / self.pair_s[1]
        out.append(f"  pair_cones >= 10x numpy on 1 thread: {x:.1f}x, {verdict(x >= NUMPY_BAR)}; "
                   f"2 threads >= 1.7x 1 thread: {s:.2f}x, {verdict(s >= THREAD_BAR)}")
        return out


if __name__ == "__main__":
    from common import format_table
    section = Cones()
    section.prepare()
    start = cpu_snapshot()
    section.run_ours()
    section.run_peers()
    print("\n".join(section.peer_lines()))
    print(format_table(section.rows()))
    print("\n".join(section.note_lines()))
    print("\n".join(section.bars()))
    print(others_note(start, cpu_snapshot(), "during the section"))
