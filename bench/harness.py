"""The one timing loop every benchmark row goes through, and the rows it makes.

A case declares its data (a cached set-up), our call, the peers' calls and the work one call
does; measure() times ours on each thread count, then the peers, and rows() turns the figures
into table rows: ours, the peer and the ratio (peer time / our time: above 1, ours is faster).
"""

import os
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import _zet_native

QUICK = os.environ.get("BENCH_QUICK") == "1"


def size(full, quick):
    """The full size, or the tiny one of a quick run (BENCH_QUICK=1)."""
    return quick if QUICK else full


class Unavailable(Exception):
    """Why a peer (or the data of a case) could not give its figure."""


class Timed(float):
    """Seconds a call measured itself, its preparation kept off the clock."""


class Cell(str):
    """A figure that is not a time (peak memory), with its number for the bars."""

    def __new__(cls, text, value):
        cell = super().__new__(cls, text)
        cell.value = value
        return cell


@dataclass
class Peer:
    label: str
    run: Callable | None  # run(data) or, with per_thread, run(data, threads); None: ours on 1 thread
    what: str = ""  # how the peer is called, for the results' list of peers
    work: Callable | int | None = None  # the work of one run when it is a subset of the case's
    threads: tuple = (1, 2)  # the rows it stands in
    per_thread: bool = False  # run again for each thread count of its rows
    ours: bool = False  # our own code: timed with ours, in turns
    turns: bool = False  # another library's code with no thread pool left idle: timed with ours, in turns
    shared: bool = False  # depends on the data only: measured once for every case of that data
    repeats: int = 3
    summary: bool = True  # in the README's summary


@dataclass
class Case:
    function: str
    case: str  # may name fields of the data, e.g. "{pairs} pairs"
    setup: Callable  # () -> dict, cached: cases of the same data share it
    ours: Callable  # (data, threads) -> result, a Timed or a Cell
    work: Callable | int = 1  # units of work of one call
    unit: str | None = None  # rate in units/s; None: seconds; "call": per call
    peers: list = field(default_factory=list)
    threads: tuple = (1, 2)
    lanes: bool = False  # a lane kernel: run on every vector build
    repeats: int = 3
    suffix: str = ""  # after our time, e.g. " to best"
    digits: int = 2  # of the ratio
    paired: bool = False  # a cost: ours against its own-code peers round by round (see paired_cost)

    def label(self, data):
        return self.case.format(**data) if data else self.case

    def units(self, data, work=None):
        w = self.work if work is None else work
        return w(data) if callable(w) else w


def progress(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def sample(call, calls=1):
    """(wall seconds, calling thread's CPU seconds, result) of `calls` calls, per call."""
    result = None
    start, cpu = time.perf_counter(), time.thread_time()
    for _ in range(calls):
        result = None  # the last call's result is freed before the next call, not after it
        result = call()
    wall, cpu = time.perf_counter() - start, time.thread_time() - cpu
    if isinstance(result, Timed):
        wall = cpu = float(result)
    return wall / calls, cpu / calls, result


def best_of(items, repeats, min_total=0.5, max_repeats=10, loop_seconds=None, history=None):
    """Best (wall, cpu) of each item (key, threads or None, call), the items taking turns round
    by round so that a passing load weighs on all alike, in the reverse order every other round
    so that no item always runs in the wake of the same one; more rounds for short ones. With
    loop_seconds, each sample is a loop of calls about that long (calls of microseconds). With
    history (a dict), each key's CPU seconds of every round go to history[key] as well."""
    best, calls, total, rounds, live = {}, {}, 0.0, 0, list(items)
    for key, threads, call in items if loop_seconds else ():
        if threads:
            _zet_native.set_thread_limit(threads)
        once = max(sample(call)[0], 1e-7)
        calls[key] = max(1, min(100_000, int(loop_seconds / once)))
    while live and (rounds < repeats or (total < min_total and rounds < max_repeats)) and not (QUICK and rounds):
        rounds += 1
        for item in list(live) if rounds % 2 else list(reversed(live)):
            key, threads, call = item
            if threads:
                _zet_native.set_thread_limit(threads)
            wall, cpu, result = sample(call, calls.get(key, 1))
            if isinstance(result, Cell):
                best[key] = result
                live.remove(item)
                continue
            # A result held on would make the next item's call find less free memory than its
            # own turn leaves behind (a large one costs the next call fresh pages).
            result = None
            total += wall * calls.get(key, 1)
            if history is not None:
                history.setdefault(key, []).append(cpu)
            old = best.get(key, (float("inf"), float("inf")))
            best[key] = (min(old[0], wall), min(old[1], cpu))
    return best


def guarded(run):
    """run(), or the Unavailable that says why not: a peer that is missing or breaks is
    reported, never fatal."""
    try:
        return run()
    except Unavailable as exc:
        return exc
    except Exception as exc:
        return Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])


def paired_cost(ours, theirs):
    """ours / theirs - 1 of CPU seconds measured in the same round, as the geometric mean of
    two medians: over the rounds where ours ran first and over those where it ran second.
    A cost of a few tenths of a percent hides in the spread of best-of times, which can come
    from different rounds: a load that comes and goes on the other core, or the cache it
    leaves, weighs on both calls of one round alike, and the median passes over the rounds
    where it did not. A call can also leave something to the one after it (memory to take
    back, a cache to refill): the items take turns in alternate orders (see best_of), and the
    ratio in one order errs by such a carry-over as much as the ratio in the other order errs
    the opposite way, so their product cancels it."""
    def median(values):
        values, middle = sorted(values), len(values) // 2
        return values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2

    ratios = [a / b for a, b in zip(ours, theirs)]
    if len(ratios) < 2:
        return median(ratios) - 1
    return (median(ratios[0::2]) * median(ratios[1::2])) ** 0.5 - 1


def measure_ours(case, data):
    """{threads: (wall, cpu) or Cell} of ours, with the peers that are our own code, in turns;
    for a paired case also {("cost", peer label): paired_cost} on its first thread count."""
    loop = 0.05 if case.unit == "call" else None
    items = [(t, t, lambda t=t: case.ours(data, t)) for t in case.threads]
    for p in case.peers:
        if p.ours or p.turns:
            items += [((p.label, t), t, lambda p=p, t=t: p.run(data, t)) for t in p.threads] if p.per_thread \
                else [((p.label, None), p.threads[0], lambda p=p: p.run(data))]
    history = {} if case.paired else None
    best = best_of(items, case.repeats, loop_seconds=loop, history=history)
    for key in history or ():
        if isinstance(key, tuple):
            best["cost", key[0]] = paired_cost(history[case.threads[0]], history[key])
    return best


_measured = {}


def measure_peer(peer, data, threads=None):
    """(wall, cpu) of the best of the peer's runs, or Unavailable; measured once per data set
    (and thread count, for a peer run on each), for every case of that data when shared."""
    key = (peer.label if peer.shared else id(peer), id(data), threads)
    if key not in _measured:
        call = (lambda: peer.run(data, threads)) if peer.per_thread else (lambda: peer.run(data))
        _measured[key] = guarded(lambda: best_of([("peer", None, call)], peer.repeats, min_total=0.0)["peer"])
    return _measured[key]


def measure(cases, peers=True):
    """{case index: {"data", "ours", "peers"}}: ours for every case first, then the peers (whose
    idle thread pools must not share the cores with our timed runs); peers that leave no pool
    behind may take turns with ours instead, so that a load that comes and goes over the minutes
    between the two passes does not decide their ratio."""
    out = {}
    for i, case in enumerate(cases):
        data = guarded(case.setup)
        out[i] = {"data": data, "peers": {}}
        out[i]["ours"] = data if isinstance(data, Unavailable) else guarded(lambda: measure_ours(case, data))
        progress(f"ours: {case.function} {case.label(data) if isinstance(data, dict) else case.case} done")
    _zet_native.set_thread_limit(0)
    for i, case in enumerate(cases):
        ours = out[i]["ours"]
        if not peers or isinstance(ours, Unavailable):
            continue
        for p in case.peers:
            for t in p.threads:
                if p.ours or p.turns:
                    got = ours.get((p.label, t if p.per_thread else None))
                elif p.run is None:
                    got = ours.get(1)
                else:
                    got = measure_peer(p, out[i]["data"], t if p.per_thread else None)
                out[i]["peers"][p.label, t] = got
        if any(not (p.ours or p.turns) and p.run for p in case.peers):
            progress(f"peers: {case.function} {case.label(out[i]['data'])} done")
    return out


# --- rows ------------------------------------------------------------------------------

def rate(count, seconds, unit):
    value = count / seconds
    if value < 1e3:
        return f"{value:.0f} {unit}/s"
    return f"{value / 1e6:.2f} M {unit}/s" if value >= 1e6 else f"{value / 1e3:.1f} k {unit}/s"


def duration(seconds, call=False):
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms" if call else f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def figure(case, work, seconds):
    if case.unit in (None, "call"):
        return duration(seconds, case.unit == "call")
    return rate(work, seconds, case.unit)


def rows(cases, measured, build, notes):
    """Table rows (dicts) of the measured cases on one build; reasons of n/a go to the notes."""
    out = []
    for i, case in enumerate(cases):
        m = measured.get(i)
        if m is None:
            continue
        data, ours = m["data"], m["ours"]
        label = case.label(data) if isinstance(data, dict) else case.case
        base = {"function": case.function, "case": label, "build": build if case.lanes else "-"}
        if isinstance(ours, Unavailable):
            notes.setdefault(f"{case.function} {label}: n/a: {ours}", None)
            out.append(dict(base, threads="-", ours="n/a", peer="-", figure="-", ratio="-"))
            continue
        work = case.units(data)
        for t in case.threads:
            o = ours[t]
            cell = o if isinstance(o, Cell) else figure(case, work, o[0]) + case.suffix
            row = dict(base, threads=t, ours=cell, seconds=None if isinstance(o, Cell) else o[0],
                       cpu=None if isinstance(o, Cell) else o[1], work=work, value=getattr(o, "value", None))
            here = [p for p in case.peers if t in p.threads]
            if not here:
                out.append(dict(row, peer="-", figure="-", ratio="-"))
            for p in here:
                got = m["peers"].get((p.label, t))
                if got is None:
                    continue
                if isinstance(got, Unavailable):
                    notes.setdefault(f"{p.label} n/a: {got}", None)
                    out.append(dict(row, peer=p.label, figure="n/a", ratio="n/a", summary=p.summary))
                    continue
                scale = work / case.units(data, p.work) if p.work else 1.0
                peer_s = got[0] * scale
                out.append(dict(row, peer=p.label, figure=figure(case, work, peer_s), peer_s=peer_s,
                                peer_cpu=got[1] * scale, ratio=f"{peer_s / o[0]:.{case.digits}f}x", summary=p.summary,
                                cost=ours.get(("cost", p.label))))
    return out


def format_table(table, header):
    """Rows (tuples) as aligned text columns under the header."""
    widths = [max(len(str(r[i])) for r in [header] + table) for i in range(len(header))]
    lines = ["  ".join(str(h).ljust(w) for h, w in zip(header, widths)).rstrip(), "  ".join("-" * w for w in widths)]
    return "\n".join(lines + ["  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip() for r in table])


def markdown_table(header, table):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(out + ["| " + " | ".join(str(c).replace("|", "/") for c in r) + " |" for r in table])
