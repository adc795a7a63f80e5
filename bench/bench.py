"""Speed and memory of build_aabb_tree and clipped_overlap_areas against peer libraries.

Run by bench/run in .venv-bench, where the project and the peers are installed side by
side, so ours and the peers work on the same arrays in one process. Our figures are all
taken before any peer is imported (a peer's idle thread pool must not share the two cores
with our timed runs). Prints one table and writes it to bench/results/latest.txt.
Figures are reported, never asserted.
"""

import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import _zet_native

import meshes
import peers

LEAF_SIZES = (1, 4, 16)
THREADS = (1, 2)
OVERLAP_PAIRS = 1_000_000
RESULTS = meshes.REPO / "bench" / "results" / "latest.txt"


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


def ratio(ours_seconds, peer_seconds):
    return f"{peer_seconds / ours_seconds:.2f}x"


# --- phase 1: ours ------------------------------------------------------------------

def bench_ours_build(cases):
    """{(case, leaf, threads): seconds} and a list of determinism notes."""
    seconds, notes = {}, []
    for name, (vertices, triangles) in cases.items():
        for leaf in LEAF_SIZES:
            results = {}
            for threads in THREADS:
                _zet_native.set_thread_limit(threads)
                results[threads] = _zet_native.build_aabb_tree(vertices, triangles, leaf, None, 1024)
                seconds[name, leaf, threads] = best_time(
                    timed(_zet_native.build_aabb_tree, vertices, triangles, leaf, None, 1024), repeats=5)
            if results[1] != results[2]:
                notes.append(f"ODD: {name} leaf {leaf}: the 1- and 2-thread builds differ")
            order = np.frombuffer(results[1][3], dtype=np.uint32)
            if not np.array_equal(np.sort(order), np.arange(len(triangles), dtype=np.uint32)):
                notes.append(f"ODD: {name} leaf {leaf}: order is not a permutation of the triangles")
        progress(f"ours: build_aabb_tree {name} ({len(triangles)} triangles) done")
    return seconds, notes


def bench_memory(vertices, triangles):
    """{(leaf, threads): probe result} of one build each in a fresh process."""
    out = {}
    with tempfile.TemporaryDirectory(prefix="zet-bench-") as tmp:
        vpath, tpath = os.path.join(tmp, "vertices.npy"), os.path.join(tmp, "triangles.npy")
        np.save(vpath, vertices)
        np.save(tpath, triangles)
        probe = meshes.REPO / "bench" / "memory_probe.py"
        for leaf in LEAF_SIZES:
            for threads in THREADS:
                done = subprocess.run([sys.executable, str(probe), vpath, tpath, str(leaf), str(threads)],
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    out[leaf, threads] = {"error": (done.stderr.strip().splitlines() or ["?"])[-1]}
                else:
                    out[leaf, threads] = json.loads(done.stdout)
    progress("ours: peak memory probes done")
    return out


def bench_ours_overlap(subject, clip):
    seconds, results = {}, {}
    for threads in THREADS:
        _zet_native.set_thread_limit(threads)
        results[threads] = _zet_native.clipped_overlap_areas(subject, clip, 0.0)
        seconds[threads] = best_time(timed(_zet_native.clipped_overlap_areas, subject, clip, 0.0), repeats=5)
    progress("ours: clipped_overlap_areas done")
    return seconds, results


# --- phase 2: peers -----------------------------------------------------------------

def bench_peer_builds(cases):
    """{(peer, case): seconds or Unavailable}."""
    out = {}
    for label, module, _, build in peers.BUILD_PEERS:
        for name, (vertices, triangles) in cases.items():
            try:
                out[label, name] = best_time(lambda: build(vertices, triangles))
            except peers.Unavailable as exc:
                out[label, name] = exc
            except Exception as exc:  # a peer that breaks on a mesh is reported, not fatal
                out[label, name] = peers.Unavailable(f"{type(exc).__name__}: {exc}".splitlines()[0])
        progress(f"peer: {label} done")
    return out


def bench_shapely(subject, clip):
    """(best construction seconds, best intersection+area seconds, areas) or Unavailable."""
    try:
        build_best = op_best = float("inf")
        areas = None
        for _ in range(3):
            build_s, op_s, areas = peers.shapely_overlap(subject, clip)
            build_best, op_best = min(build_best, build_s), min(op_best, op_s)
        progress("peer: shapely done")
        return build_best, op_best, areas
    except peers.Unavailable as exc:
        return exc


# --- table --------------------------------------------------------------------------

def format_table(rows):
    header = ("function", "case", "threads", "ours", "peer", "peer figure", "ratio")
    widths = [max(len(str(r[i])) for r in [header] + [r for r in rows if r]) for i in range(len(header))]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(str(h).ljust(w) for h, w in zip(header, widths)), line]
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


def main():
    started = time.perf_counter()
    cases = {}
    for name, (nu, nv) in meshes.GENERATED.items():
        cases[name] = meshes.wavy_torus(nu, nv)
    obj_present = meshes.obj_meshes()
    notes = []
    for name, path in obj_present:
        try:
            cases[name] = meshes.read_obj(path)
        except Exception as exc:
            notes.append(f"skipped {path.name}: {exc}")
    if not obj_present:
        notes.append(f"no OBJ meshes at {meshes.MESH_DIR}: real-mesh cases skipped")
    subject, clip = meshes.overlap_pairs(OVERLAP_PAIRS)
    progress(f"inputs ready: {', '.join(f'{k} ({len(v[1])} triangles)' for k, v in cases.items())}")

    # Phase 1: ours, before any peer is imported.
    ours_start = cpu_snapshot()
    build_s, build_notes = bench_ours_build(cases)
    notes += build_notes
    memory = bench_memory(*cases["torus-1M"])
    overlap_s, overlap_results = bench_ours_overlap(subject, clip)
    if overlap_results[1] != overlap_results[2]:
        notes.append("ODD: clipped_overlap_areas differs between 1 and 2 threads")

    ours_end = cpu_snapshot()

    # Phase 2: peers.
    peer_s = bench_peer_builds(cases)
    shapely_result = bench_shapely(subject, clip)

    # The table.
    rows = []
    unavailable = {}  # reasons of n/a cells, in order, once each
    for name, (vertices, triangles) in cases.items():
        m = len(triangles)
        for leaf in LEAF_SIZES:
            for threads in THREADS:
                ours_s = build_s[name, leaf, threads]
                for label, _, _, _ in peers.BUILD_PEERS:
                    p = peer_s[label, name]
                    if isinstance(p, peers.Unavailable):
                        peer_cell, ratio_cell = "n/a", "n/a"
                        unavailable.setdefault(f"{label} n/a: {p}", None)
                    else:
                        peer_cell, ratio_cell = rate(m, p, "tri"), ratio(ours_s, p)
                    rows.append(("build_aabb_tree", f"{name} leaf {leaf}", threads, rate(m, ours_s, "tri"),
                                 label, peer_cell, ratio_cell))
        rows.append(None)
    m1 = len(cases["torus-1M"][1])
    for leaf in LEAF_SIZES:
        for threads in THREADS:
            r = memory[leaf, threads]
            if "error" in r:
                cell = f"probe failed: {r['error']}"
            else:
                cell = f"{r['rss_growth'] / m1:.0f} B/tri (traced {r['traced_peak'] / m1:.0f})"
            rows.append(("build_aabb_tree", f"torus-1M leaf {leaf} peak memory", threads, cell, "-", "-", "-"))
    notes.append("peak memory: growth of the peak resident set over one call in a fresh process, per "
                 "triangle, results included; traced = tracemalloc's peak over the call; result sizes "
                 + ", ".join(f"leaf {leaf} {memory[leaf, 1]['result_bytes'] / m1:.0f} B/tri"
                             for leaf in LEAF_SIZES if "result_bytes" in memory[leaf, 1]))
    rows.append(None)
    n = len(subject)
    ours_areas = {t: np.frombuffer(overlap_results[t], dtype=np.float64) for t in THREADS}
    for threads in THREADS:
        if isinstance(shapely_result, peers.Unavailable):
            rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads,
                         rate(n, overlap_s[threads], "pairs"), "shapely", "n/a", "n/a"))
            unavailable.setdefault(f"shapely n/a: {shapely_result}", None)
            continue
        build_best, op_best, _ = shapely_result
        rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads,
                     rate(n, overlap_s[threads], "pairs"), "shapely intersection+area",
                     rate(n, op_best, "pairs"), ratio(overlap_s[threads], op_best)))
        rows.append(("clipped_overlap_areas", f"{n / 1e6:g}M random pairs", threads,
                     rate(n, overlap_s[threads], "pairs"), "shapely polygons+intersection+area",
                     rate(n, build_best + op_best, "pairs"), ratio(overlap_s[threads], build_best + op_best)))

    # Notes and the bars of the issue, reported against the figures above.
    lines = []
    lines.append(f"_zet_native build_aabb_tree and clipped_overlap_areas vs peers "
                 f"({platform.python_implementation()} {platform.python_version()}, {os.cpu_count()} cores, "
                 f"{time.strftime('%Y-%m-%d %H:%M')})")
    lines.append("ours: thread limit set with set_thread_limit; time = best of 5 or more runs (peers: 3); "
                 "ratio = ours throughput / peer throughput (above 1: ours faster)")
    for label, module, what, _ in peers.BUILD_PEERS:
        lines.append(f"peer {label} {peers.version(module)}: {what}")
    lines.append(f"peer shapely {peers.version('shapely')}: shapely.intersection + shapely.area on polygons "
                 "built beforehand (and, second row, including shapely.polygons from the coordinate arrays); "
                 "1 thread")
    lines.append("")
    lines.append(format_table(rows))
    lines.append("")
    if not isinstance(shapely_result, peers.Unavailable):
        diff = np.abs(ours_areas[1] - shapely_result[2])
        lines.append(f"overlap areas vs shapely: largest absolute difference {diff.max():.3g} "
                     f"(pair {int(diff.argmax())}); largest area {ours_areas[1].max():.3g}; "
                     f"{int((ours_areas[1] > 0).sum())} of {n} pairs overlap")
    lines.extend(unavailable)
    lines.extend(notes)
    lines.append(others_note(ours_start, ours_end, "while ours ran"))
    lines.append(others_note(ours_end, cpu_snapshot(), "while the peers ran"))
    lines.append("")
    lines.extend(bars(build_s, peer_s, memory, m1, overlap_s, shapely_result, n))
    lines.append(f"total bench time {time.perf_counter() - started:.0f} s")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(text)
    progress(f"table written to {RESULTS.relative_to(meshes.REPO)}")


def bars(build_s, peer_s, memory, m1, overlap_s, shapely_result, n):
    out = ["bars (reported, not enforced):"]

    def verdict(ok):
        return "met" if ok else "NOT met"

    one = m1 / build_s["torus-1M", 4, 1] / 1e6
    two = m1 / build_s["torus-1M", 4, 2] / 1e6
    out.append(f"  build 1M leaf 4, 1 thread >= 4 M tri/s: {one:.2f} M tri/s, {verdict(one >= 4)}")
    out.append(f"  build 1M leaf 4, 2 threads >= 1.6x 1 thread: {two / one:.2f}x, {verdict(two / one >= 1.6)}")
    for label in ("coal", "python-fcl"):
        pairs = [(k, v) for k, v in peer_s.items() if k[0] == label and not isinstance(v, peers.Unavailable)]
        if not pairs:
            out.append(f"  faster than {label}: n/a ({label} unavailable)")
            continue
        worst = min(v / build_s[case, leaf, 1] for (_, case), v in pairs for leaf in LEAF_SIZES)
        out.append(f"  faster than {label} (every case and leaf size, 1 thread): lowest ratio {worst:.2f}x, "
                   f"{verdict(worst > 1)}")
    o3d = peer_s.get(("Open3D", "torus-1M"))
    if isinstance(o3d, float):
        out.append(f"  Open3D at 1M leaf 4: {o3d / build_s['torus-1M', 4, 1]:.2f}x on 1 thread, "
                   f"{o3d / build_s['torus-1M', 4, 2]:.2f}x on 2 threads (no bar)")
    probes = [r for r in memory.values() if "error" not in r]
    if probes:
        worst = max(r["rss_growth"] for r in probes) / m1
        out.append(f"  peak memory <= 400 B/tri at 1M: at most {worst:.0f} B/tri, {verdict(worst <= 400)}")
    pairs1 = n / overlap_s[1] / 1e6
    out.append(f"  overlap >= 20 M pairs/s on 1 thread: {pairs1:.2f} M pairs/s, {verdict(pairs1 >= 20)}")
    if not isinstance(shapely_result, peers.Unavailable):
        r = shapely_result[1] / overlap_s[1]
        out.append(f"  overlap >= 30x shapely intersection+area on 1 thread: {r:.1f}x, {verdict(r >= 30)}")
    return out


if __name__ == "__main__":
    main()
