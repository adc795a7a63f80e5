"""Timing, formatting and machine-load helpers shared by the benchmark sections."""

import os
import resource
import sys
import time


def progress(message):
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def best_time(run, repeats=3, min_total=0.5, max_repeats=10):
    """Best of at least `repeats` runs, more for short ones (until min_total seconds).

    `run()` returns the seconds it measured itself.
    """
    best, total, count = float("inf"), 0.0, 0
    while count < repeats or (total < min_total and count < max_repeats):
        seconds = run()
        best, total, count = min(best, seconds), total + seconds, count + 1
    return best


def timed(function, *args):
    def run():
        start = time.perf_counter()
        function(*args)
        return time.perf_counter() - start
    return run


def rate(count, seconds, unit):
    value = count / seconds
    if value >= 1e6:
        return f"{value / 1e6:.2f} M {unit}/s"
    return f"{value / 1e3:.1f} k {unit}/s"


def duration(seconds):
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} us"


def ratio(ours_seconds, peer_seconds):
    return f"{peer_seconds / ours_seconds:.2f}x"


def verdict(ok):
    return "met" if ok else "NOT met"


def format_table(rows, header=("function", "case", "threads", "ours", "peer", "peer figure", "ratio")):
    """Rows (tuples, None for a rule) as aligned text columns under the header."""
    widths = [max(len(str(r[i])) for r in [header] + [r for r in rows if r]) for i in range(len(header))]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(str(h).ljust(w) for h, w in zip(header, widths)).rstrip(), line]
    for r in rows:
        out.append(line if r is None else "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())
    return "\n".join(out)


def cpu_snapshot():
    """(wall, busy CPU seconds of the whole machine, steal seconds, our own CPU seconds)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    tick = os.sysconf("SC_CLK_TCK")
    user, nice, system, _, _, irq, softirq, steal = fields[:8]
    own = sum(getattr(resource.getrusage(who), a) for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)
              for a in ("ru_utime", "ru_stime"))
    return time.perf_counter(), (user + nice + system + irq + softirq) / tick, steal / tick, own


def others_note(before, after, what):
    """How busy the rest of the machine was between two snapshots."""
    wall = after[0] - before[0]
    others = max(0.0, (after[1] - before[1]) - (after[3] - before[3])) / wall
    steal = (after[2] - before[2]) / wall
    note = f"other processes used {others:.2f} cores on average {what} (hypervisor steal {steal:.2f})"
    if others > 0.2 or steal > 0.2:
        note += ": the machine was shared, figures (above all on 2 threads) may be low"
    return note
