"""Speed and memory of _zet_native against peer libraries: one table of (function, case,
vector build, threads, ours, peer, peer figure, ratio), from the cases declared in cases.py.

Run by bench/run in .venv-bench, where the project and the peers are installed side by side,
so ours and the peers work on the same arrays in one process. The lane kernels' cases run
again on every narrower vector build the processor offers, each in a process of its own with
ZET_NATIVE_LANES set (the module reads it once); their peers' figures are those of the main
process, on the same data. Writes bench/RESULTS.md and a summary of at most SUMMARY_ROWS rows
into the README between its bench markers. Figures are reported, never asserted.

  python bench/bench.py [--quick] [--groups trees,rays] [--readme-only]
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

import inputs as meshes

import _zet_native

if "--quick" in sys.argv:
    os.environ["BENCH_QUICK"] = "1"
import harness  # noqa: E402
import peers  # noqa: E402
from harness import format_table, markdown_table, progress  # noqa: E402

RESULTS = meshes.REPO / "bench" / "RESULTS.md"
README = meshes.REPO / "README.md"
README_BEGIN, README_END = "<!-- bench table: begin -->", "<!-- bench table: end -->"
SUMMARY_ROWS = 25
HEADER = ("function", "case", "build", "threads", "ours", "peer", "peer figure", "ratio")
COLUMNS = ("function", "case", "build", "threads", "ours", "peer", "figure", "ratio")
BUILD_NAMES = {1: "scalar", 4: "4 lanes (AVX2)", 8: "8 lanes (AVX-512F)"}

# Bars, reported, not enforced. Measures: "rate" the lowest of ours per second, "ratio" the
# lowest ratio, "scaling" the lowest 1-thread / 2-thread time, "seconds" the longest of ours,
# "memory" the largest figure, "cpu" the largest CPU time overhead of ours over the peer
# row's (for paired cases the median of the rounds' overheads). Bars over lane kernels are
# given per build.
B, P, T = "function", "peer", "threads"
BARS = [  # text, selection (the function by name, case and peer by a part), measure, bound
    ("build torus-1M leaf 4, 1 thread >= 4 M tri/s", {B: "build_aabb_tree", "case": "1M leaf 4", T: 1, P: "coal"}, "rate", 4e6),
    ("build torus-1M leaf 4, 2 threads >= 1.6x 1 thread", {B: "build_aabb_tree", "case": "1M leaf 4"}, "scaling", 1.6),
    ("build faster than coal (every case, 1 thread)", {B: "build_aabb_tree", "case": "leaf", P: "coal", T: 1}, "ratio", 1),
    ("build faster than python-fcl (every case, 1 thread)", {B: "build_aabb_tree", "case": "leaf", P: "python-fcl", T: 1}, "ratio", 1),
    ("build peak memory <= 400 B/tri at 1M", {B: "build_aabb_tree", "case": "torus-1M leaf"}, "memory", 400),
    ("overlap >= 20 M pairs/s on 1 thread", {B: "clipped_overlap_areas", T: 1}, "rate", 20e6),
    ("overlap >= 30x shapely intersection+area on 1 thread", {B: "clipped_overlap_areas", T: 1, P: "shapely i"}, "ratio", 30),
    ("pair kernel >= 5 M evaluations/s (translating set)",
     {B: "translating_triangle_ccd (C++)", "case": "pairs, translating"}, "rate", 5e6),
    ("path query >= 10x python-fcl polynomial, 1 thread", {B: "bvh_path_query", P: "polynomial", T: 1}, "ratio", 10),
    ("path query >= 10x python-fcl cons. advancement, 1 thread", {B: "bvh_path_query", P: "cons.", T: 1}, "ratio", 10),
    ("path query 2 threads >= 1.5x 1 thread (full pass)", {B: "bvh_path_query", "case": "full pass"}, "scaling", 1.5),
    ("self-intersections with the tree build faster than pymeshlab and Open3D (1 thread)",
     {B: "build_aabb_tree leaf 4 + self_intersection_pairs", T: 1}, "ratio", 1),
    ("distance kernel >= 5 M pairs/s", {B: "conservative_triangle_distance (C++)"}, "rate", 5e6),
    ("clearance faster than coal sampled at equal resolution (1 thread)",
     {B: "clearance_candidate_pairs + clearance_pairs", P: "coal", T: 1}, "ratio", 1),
    ("ray_tree_hits >= 2 M rays/s (rays a tenth of the mesh's size)", {B: "ray_tree_hits", P: "embreex"}, "rate", 2e6),
    ("direction_ray_scores 2 threads >= 1.7x 1 thread", {B: "direction_ray_scores"}, "scaling", 1.7),
    ("ray_winding_batch faster than trimesh contains (1 thread)", {B: "ray_winding_batch", P: "trimesh"}, "ratio", 1),
    ("ray_winding_batch faster than Open3D compute_occupancy (1 thread)", {B: "ray_winding_batch", T: 1, P: "Open3D"}, "ratio", 1),
    ("cone_margins >= 10x numpy on 1 thread", {B: "cone_margins", "case": "dirs", T: 1}, "ratio", 10),
    ("cone_margins 2 threads >= 1.7x 1 thread", {B: "cone_margins", "case": "dirs"}, "scaling", 1.7),
    ("cone_cap_lower_bounds 2 threads >= 1.7x 1 thread", {B: "cone_cap_lower_bounds"}, "scaling", 1.7),
    ("pair_cones >= 10x numpy on 1 thread", {B: "pair_cones", T: 1}, "ratio", 10),
    ("pair_cones 2 threads >= 1.7x 1 thread", {B: "pair_cones"}, "scaling", 1.7),
    ("search: time to best >= 5x brute-force cone_margins over its cells (1 thread)", {B: "cells_bound_batch search", T: 1}, "ratio", 5),
    ("planner loop: no case slower on 2 threads than on 1 (5% for noise)", {"case": "planner"}, "scaling", 1 / 1.05),
    ("the should_cancel polls cost < 1% of the calling thread's CPU time", {"case": "should_cancel="}, "cpu", 0.01),
    ("the companion's slices cost < 1% of the calling thread's CPU time (against the companion in one call)",
     {"case": "companion, sliced", P: "companion in one call"}, "cpu", 0.01),
    ("the companion's writable results cost < 1% of the calling thread's CPU time (against the raw module's bytes)",
     {"case": "companion, sliced", P: "raw module"}, "cpu", 0.01),
    ("plan beam-frame on 1 thread <= 5 s", {B: "plan", "case": "beam-frame", T: 1}, "seconds", 5),
    ("plan beam-frame 2 threads >= 1.5x 1 thread", {B: "plan", "case": "beam-frame"}, "scaling", 1.5),
    ("plan grid of 64 cubes <= 20 s", {B: "plan", "case": "grid"}, "seconds", 20),
    ("plan >= 10x the python-fcl sampled planner", {B: "plan", P: "python-fcl"}, "ratio", 10),
]


def cpu_flags():
    model, flags = platform.processor() or platform.machine(), set()
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
    except OSError:
        pass
    return model, flags


def offered_lanes():
    """The lane counts of the builds this processor runs, narrowest first."""
    _, flags = cpu_flags()
    return [1] + [4] * ("avx2" in flags) + [8] * ("avx512f" in flags)


def machine_line():
    model, _ = cpu_flags()
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    return (f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB; vector build that ran: {_zet_native.vector_build}; "
            f"builds offered: {', '.join(BUILD_NAMES[n] for n in offered_lanes())}")


def load_line(what):
    one, five, fifteen = os.getloadavg()
    return f"load average {what}: {one:.2f}, {five:.2f}, {fifteen:.2f} (1, 5, 15 min; {os.cpu_count()} cores)"


def selected(groups, names, lanes_only=False):
    """[(group, case)] of the named groups, lane kernels only when asked."""
    return [(g, c) for g in names for c in groups[g] if c.lanes or not lanes_only]


def run_build(lanes, names):
    """Our figures of the lane kernels on the build of `lanes` lanes, from a process of its own."""
    out = meshes.REPO / "build" / f"bench-lanes-{lanes}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    progress(f"lane kernels on {BUILD_NAMES[lanes]} (ZET_NATIVE_LANES={lanes})")
    done = subprocess.run([sys.executable, __file__, "--groups", ",".join(names), "--lanes-json", str(out)]
                          + ["--quick"] * harness.QUICK, env=dict(os.environ, ZET_NATIVE_LANES=str(lanes)))
    if done.returncode:
        return {"build": BUILD_NAMES[lanes], "error": f"exit {done.returncode}"}
    return json.loads(out.read_text())


def key(case):
    return f"{case.function}|{case.case}"


def lanes_json(cases, path):
    """Writes our figures of the lane kernels (no foreign peers) for the main process to use."""
    chosen = [c for _, c in cases]
    measured = harness.measure(chosen, peers=False)
    ours = {key(chosen[i]): [[k if isinstance(k, tuple) else [k], v] for k, v in m["ours"].items()]
            for i, m in measured.items() if isinstance(m["ours"], dict)}
    with open(path, "w") as f:
        json.dump({"build": str(_zet_native.vector_build), "ours": ours, "load": load_line("in this build's run")}, f)


def narrower(cases, measured, report):
    """The main run's measurements with our figures (and our own reference calls') replaced by
    those of another build."""
    out = {}
    for i, case in enumerate(cases):
        if not (case.lanes and key(case) in report["ours"] and i in measured):
            continue
        ours = {(k[0] if len(k) == 1 else tuple(k)): tuple(v) for k, v in report["ours"][key(case)]}
        own = {p.label: p for p in case.peers if p.ours or p.run is None}
        peers = {}
        for (label, t), v in measured[i]["peers"].items():
            p = own.get(label)
            peers[label, t] = v if p is None else ours.get(1) if p.run is None else ours.get(
                (label, t if p.per_thread else None))
        out[i] = dict(measured[i], ours=ours, peers=peers)
    return out


def matches(row, selection):
    for key, want in selection.items():
        have = row.get(key)
        if have != want if key in ("function", "threads") else want not in str(have):
            return False
    return True


def bar_lines(table, builds):
    out = []
    for text, selection, measure, bound in BARS:
        for build in builds:
            rows = [r for r in table if matches(r, selection) and r["build"] in ("-", build)
                    and r.get("value" if measure == "memory" else "seconds") is not None]
            if not rows or (build != builds[0] and all(r["build"] == "-" for r in rows)):
                continue
            value, ok = bar_value(rows, measure, bound)
            if value is None:
                continue
            tag = "" if all(r["build"] == "-" for r in rows) else f" ({build})"
            out.append(f"- {text}: {value}, {'met' if ok else 'NOT met'}{tag}")
    return out


def bar_value(rows, measure, bound):
    if measure == "rate":
        low = min(r["work"] / r["seconds"] for r in rows)
        return f"{low / 1e6:.2f} M/s", low >= bound
    if measure == "ratio":
        ratios = [r["peer_s"] / r["seconds"] for r in rows if r.get("peer_s")]
        return (f"lowest {min(ratios):.2f}x", min(ratios) >= bound) if ratios else (None, False)
    if measure == "scaling":
        one = {(r["function"], r["case"]): r["seconds"] for r in rows if r["threads"] == 1}
        two = {(r["function"], r["case"]): r["seconds"] for r in rows if r["threads"] == 2}
        ratios = [one[k] / two[k] for k in one if k in two]
        return (f"lowest {min(ratios):.2f}x", min(ratios) >= bound) if ratios else (None, False)
    if measure == "seconds":
        return f"{max(r['seconds'] for r in rows):.2f} s", max(r["seconds"] for r in rows) <= bound
    if measure == "memory":
        return f"at most {max(r['value'] for r in rows):.0f} B/tri", max(r["value"] for r in rows) <= bound
    costs = [(r["cost"] if r.get("cost") is not None else r["cpu"] / r["peer_cpu"] - 1, r["function"])
             for r in rows if r.get("peer_cpu")]
    worst, where = max(costs) if costs else (None, None)
    return (f"at most {worst * 100:+.2f}% ({where})", worst < bound) if costs else (None, False)


# --- the results and the README --------------------------------------------------------

def ratio_of(cell):
    try:
        return float(str(cell).rstrip("x"))
    except ValueError:
        return None


def summary(table, build):
    """One row per function and peer (the variants of a peer's call together) on the build that
    ran: the lowest ratio on 1 and on 2 threads over its cases, and the case of the lowest. Rows
    set against ourselves (thread scaling, Ctrl-C support) stay in the full table only."""
    groups = {}
    for r in table:
        if (r["build"] not in ("-", build) or ratio_of(r["ratio"]) is None or not r.get("summary", True)
                or r["peer"].startswith(("ours ", "ours,", "should_cancel="))):
            continue
        function = r["function"].split(" + ")[-1] if r["function"].startswith("build_aabb_tree") else r["function"]
        g = groups.setdefault((function, r["peer"].split(" ")[0]), {})
        if r["threads"] in (1, 2) and (r["threads"] not in g or ratio_of(r["ratio"]) < g[r["threads"]][0]):
            g[r["threads"]] = (ratio_of(r["ratio"]), r["case"])
    return [(f, p, f"{g[1][0]:.2f}x" if 1 in g else "-", f"{g[2][0]:.2f}x" if 2 in g else "-", min(g.values())[1])
            for (f, p), g in groups.items()]


def write_results(path, table, peer_lines, notes, loads, bars, started):
    lines = ["# Benchmark results", "",
             f"Written by `make bench` on {time.strftime('%Y-%m-%d %H:%M')} (Python {platform.python_version()}).", "",
             f"Machine: {machine_line()}; {loads[0]}.", ""] + [f"- {x}" for x in loads[1:]]
    lines += ["", "Ours: thread limit set with `set_thread_limit`; time = best of several runs, the thread counts (and "
              "our own reference calls, and the python-fcl planners, which leave no thread pool behind) taking turns; "
              "the other peers are timed after all of ours; ratio = peer time / our time, i.e. our throughput / the peer's "
              "(above 1: ours faster); a peer run on a subset has its time scaled to the whole case. Rows whose build "
              "is not `-` are of lane kernels, run once per vector build (`ZET_NATIVE_LANES`, each build in a "
              "process of its own, against the same peer figures). The answers are compared with the peers' by "
              "`pytest -m peers bench` (run by `make bench`).", "", "## Peers", ""] + [f"- {x}" for x in peer_lines]
    cells = [tuple(r[c] for c in COLUMNS) for r in table]
    lines += ["", "## Table", "", markdown_table(HEADER, cells), "", "## Notes", ""] + [f"- {x}" for x in notes]
    lines += ["", "## Bars (reported, not enforced)", ""] + bars
    lines += ["", f"Total bench time {time.perf_counter() - started:.0f} s."]
    path.write_text("\n".join(lines) + "\n")
    progress(f"full table written to {path}")


def rows_of_results():
    """(rows as dicts, build that ran, machine, first load line) read back from bench/RESULTS.md."""
    text = RESULTS.read_text().splitlines()
    table = []
    for line in text[text.index("## Table") + 4:]:
        if not line.startswith("| "):
            break
        cells = [c.strip() for c in line.strip("|").split("|")]
        cells[3] = int(cells[3]) if cells[3].isdigit() else cells[3]
        table.append(dict(zip(COLUMNS, cells)))
    machine = next(x for x in text if x.startswith("Machine: "))[len("Machine: "):].rstrip(".")
    machine, _, load = machine.partition("; load average at the start")
    load = "load average at the start" + load if load else next(x for x in text if "at the start" in x)[2:]
    return table, machine.split("vector build that ran: ")[1].split(";")[0], machine, load


def update_readme(table, build, load, machine=None):
    text = README.read_text()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        progress("README has no bench table markers; not updated")
        return
    short = summary(table, build)
    block = [README_BEGIN,
             f"Measured {time.strftime('%Y-%m-%d')} by `make bench` on {machine or machine_line()}; {load}. Ratio = "
             "peer time / our time (above 1: ours faster), the lowest over the cases of each function and peer, "
             "on 1 and 2 threads; the full table, every vector build and the bars are in "
             "[bench/RESULTS.md](bench/RESULTS.md).", "",
             markdown_table(("function", "peer", "1 thread", "2 threads", "lowest case"), short[:SUMMARY_ROWS])]
    if len(short) > SUMMARY_ROWS:
        block.append(f"\n({len(short) - SUMMARY_ROWS} more in bench/RESULTS.md)")
    README.write_text(text[:begin] + "\n".join(block) + "\n" + text[end:])
    progress("summary copied into README.md")


def memory_probe(vertices, triangles, leaf, threads):
    """Peak memory of one build in this fresh process: the growth of the peak resident set
    (VmHWM, which unlike ru_maxrss does not keep the forking parent's peak) over the call, and
    tracemalloc's peak, with the inputs loaded and the module imported before the baseline."""
    import tracemalloc

    import numpy as np

    def peak():
        with open("/proc/self/status") as f:
            return next(int(x.split()[1]) * 1024 for x in f if x.startswith("VmHWM:"))
    v, t = np.load(vertices), np.load(triangles)
    _zet_native.set_thread_limit(int(threads))
    baseline = peak()
    tracemalloc.start()
    result = _zet_native.build_aabb_tree(v, t, int(leaf), None, 1024)
    traced = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(json.dumps({"rss_growth": peak() - baseline, "traced_peak": traced, "result_bytes": sum(map(len, result))}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--groups", help="comma-separated groups of cases to run (all when absent)")
    parser.add_argument("--quick", action="store_true", help="every case on tiny sizes; writes build/bench-quick.md")
    parser.add_argument("--lanes-json", help="(internal) our figures of the lane kernels, to this file")
    parser.add_argument("--memory-probe", nargs=4, help="(internal) VERTICES.npy TRIANGLES.npy LEAF THREADS")
    parser.add_argument("--readme-only", action="store_true", help="only the README's summary, from RESULTS.md")
    args = parser.parse_args()
    if args.memory_probe:
        return memory_probe(*args.memory_probe)
    if args.readme_only:
        table, build, machine, load = rows_of_results()
        return update_readme(table, build, load, machine)
    import cases as declared
    groups = declared.all_cases()
    names = args.groups.split(",") if args.groups else list(groups)
    if args.lanes_json:
        return lanes_json(selected(groups, names, lanes_only=True), args.lanes_json)
    started, loads = time.perf_counter(), [load_line("at the start")]
    chosen = [c for _, c in selected(groups, names)]
    measured = harness.measure(chosen)
    declared.close_cluster()
    main_build = str(_zet_native.vector_build)
    builds, runs, notes = [main_build], [(main_build, measured)], {}
    lane_groups = [g for g in names if any(c.lanes for c in groups[g])]
    for lanes in reversed(offered_lanes()):
        if BUILD_NAMES[lanes] != main_build and lane_groups:
            report = run_build(lanes, lane_groups)
            if "error" in report:
                notes[f"the run on {report['build']} failed: {report['error']}"] = None
                continue
            builds.append(report["build"])
            loads.append(f"{report['build']}: {report['load']}")
            runs.append((report["build"], narrower(chosen, measured, report)))
    loads.append(load_line("at the end"))
    table = []
    for i, case in enumerate(chosen):
        for build, run in runs:
            table += harness.rows([case], {0: run[i]} if i in run else {}, build, notes)
        if case.lanes and 8 not in offered_lanes():
            table.append({"function": case.function, "case": case.label(measured[i]["data"]) if isinstance(
                measured[i]["data"], dict) else case.case, "build": BUILD_NAMES[8], "threads": "-",
                "ours": "skipped: this processor has no AVX-512F", "peer": "-", "figure": "-", "ratio": "-"})
    peer_lines = {f"{p.label} ({peers.version(p.label)}): {p.what}".replace(" ():", ":"): None
                  for c in chosen for p in c.peers if p.what}
    bars = bar_lines(table, builds)
    path = meshes.REPO / "build" / "bench-quick.md" if harness.QUICK else RESULTS
    write_results(path, table, list(peer_lines), list(notes), loads, bars, started)
    print(format_table([tuple(r[c] for c in COLUMNS) for r in table], HEADER))
    print("\n".join(bars))
    if not harness.QUICK and not args.groups:
        update_readme(table, main_build, loads[0])


if __name__ == "__main__":
    main()
