"""Speed and memory of _zet_native against peer libraries: one table of (function, case,
vector build, threads, ours, peer, peer figure, ratio), its notes and its bars.

Run by bench/run in .venv-bench, where the project and the peers are installed side by
side, so ours and the peers work on the same arrays in one process. Every section has the
same shape (prepare, run_ours, run_peers, then rows, peer_lines, note_lines and bars); the
table SECTIONS lists them. Our figures are all taken before any peer is imported (a peer's
idle thread pool must not share the two cores with our timed runs).

The sections of kernels with vector builds (overlap, rays and winding, cones) run once more
for every narrower build the processor offers, each in a process of its own with
ZET_NATIVE_LANES set (the module reads it once), and their rows carry the build's name.

Writes the full table to bench/RESULTS.md and a summary of at most SUMMARY_ROWS rows into
the README between its bench markers. Figures are reported, never asserted.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

import meshes
from cancel_cost import CancelCost
from common import cpu_snapshot, format_table, others_note, progress
from planner_loop import PlannerLoop
from tree_and_overlap import TreeAndOverlap

import _zet_native
from collision import Collision
from cones import Cones
from distance import Distance
from rays import Rays

# name -> (section maker, whether its kernels have vector builds)
SECTIONS = {
    "trees": (lambda: TreeAndOverlap("trees"), False),
    "overlap": (lambda: TreeAndOverlap("overlap"), True),
    "collision": (Collision, False),
    "distance": (Distance, False),
    "rays": (Rays, True),
    "cones": (Cones, True),
    "planner loop": (PlannerLoop, False),
    "cancel cost": (CancelCost, False),
}
RESULTS = meshes.REPO / "bench" / "RESULTS.md"
README = meshes.REPO / "README.md"
README_BEGIN, README_END = "<!-- bench table: begin -->", "<!-- bench table: end -->"
SUMMARY_ROWS = 25
# Rows set against ourselves (thread scaling, the cost of Ctrl-C support): in the full table only.
NOT_PEERS = ("ours ", "ours,", "should_cancel=")
HEADER = ("function", "case", "build", "threads", "ours", "peer", "peer figure", "ratio")
BUILD_NAMES = {1: "scalar", 4: "4 lanes (AVX2)", 8: "8 lanes (AVX-512F)"}


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


def vector_build():
    """The build the module runs, as it reports it; before it reported one, what the
    processor offers capped by ZET_NATIVE_LANES, marked as such."""
    reported = getattr(_zet_native, "vector_build", None)
    if reported is not None:
        return str(reported)
    lanes = offered_lanes()[-1]
    cap = os.environ.get("ZET_NATIVE_LANES")
    if cap in ("1", "4"):
        lanes = min(lanes, int(cap))
    return BUILD_NAMES[lanes] + "*"


def machine_line():
    model, _ = cpu_flags()
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    except (OSError, ValueError):
        memory = float("nan")
    build = vector_build()
    inferred = (" (* the module does not report its build: inferred from the processor and ZET_NATIVE_LANES)"
                if build.endswith("*") else "")
    return (f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB; vector build that ran: {build}; "
            f"builds offered: {', '.join(BUILD_NAMES[n] for n in offered_lanes())}{inferred}")


def load_line(what):
    one, five, fifteen = os.getloadavg()
    return f"load average {what}: {one:.2f}, {five:.2f}, {fifteen:.2f} (1, 5, 15 min; 2 cores)"


def run_sections(names):
    """Runs the named sections: prepare, ours (all sections), then peers. Returns the report
    of each as plain data."""
    sections = [(name, SECTIONS[name][0]()) for name in names]
    for _, section in sections:
        section.prepare()
    start = cpu_snapshot()
    for _, section in sections:
        section.run_ours()
    ours_end = cpu_snapshot()
    for _, section in sections:
        section.run_peers()
    build = vector_build()
    report = {"build": build, "sections": {},
              "load": [others_note(start, ours_end, "while ours ran"),
                       others_note(ours_end, cpu_snapshot(), "while the peers ran")]}
    for name, section in sections:
        label = build if SECTIONS[name][1] else "-"
        rows = [None if r is None else list(r[:2]) + [label] + list(r[2:]) for r in section.rows()]
        report["sections"][name] = {"rows": rows, "peer_lines": section.peer_lines(),
                                    "notes": section.note_lines(), "bars": section.bars()}
    return report


def run_build(lanes, names):
    """The report of the named sections on the build of `lanes` lanes, from a process of its own."""
    out = meshes.REPO / "build" / f"bench-lanes-{lanes}.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, ZET_NATIVE_LANES=str(lanes))
    progress(f"sections {', '.join(names)} on {BUILD_NAMES[lanes]} (ZET_NATIVE_LANES={lanes})")
    done = subprocess.run([sys.executable, __file__, "--sections", ",".join(names), "--json", str(out)], env=env)
    if done.returncode != 0:
        return {"build": BUILD_NAMES[lanes], "error": f"exit {done.returncode}", "sections": {}}
    return json.loads(out.read_text())


# --- the table --------------------------------------------------------------------------

def markdown_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(str(c).replace("|", "/") for c in r) + " |" for r in rows if r is not None]
    return "\n".join(out)


def ratio_of(cell):
    try:
        return float(str(cell).rstrip("x"))
    except ValueError:
        return None


def summary(rows, build):
    """One row per function and peer (the variants of a peer's call taken together) on the
    build that ran: the lowest ratio on 1 and on 2 threads over its cases, and the case of
    the lowest."""
    groups = {}
    for r in rows:
        if r is None or r[2] not in ("-", build) or ratio_of(r[7]) is None or r[5].startswith(NOT_PEERS):
            continue
        peer = r[5].split(" ")[0]
        function = r[0].split(" + ")[-1] if r[0].startswith("build_aabb_tree") else r[0]  # with its tree build
        g = groups.setdefault((function, peer), {})
        if r[3] in (1, 2):
            best = g.get(r[3])
            if best is None or ratio_of(r[7]) < best[0]:
                g[r[3]] = (ratio_of(r[7]), r[1])
    out = []
    for (function, peer), g in groups.items():
        worst = min(g.values())
        out.append((function, peer, f"{g[1][0]:.2f}x" if 1 in g else "-", f"{g[2][0]:.2f}x" if 2 in g else "-",
                    worst[1]))
    return out


def write_results(reports, started, loads):
    main = reports[0]
    lines = ["# Benchmark results", "",
             f"Written by `make bench` on {time.strftime('%Y-%m-%d %H:%M')} (Python {platform.python_version()}).",
             "", f"Machine: {machine_line()}.", ""]
    lines += [f"- {x}" for x in loads + main["load"]]
    lines += ["", "Ours: thread limit set with `set_thread_limit`; time = best of several runs (each section says "
              "how many); ratio = peer time / our time, i.e. our throughput / the peer's (above 1: ours faster). "
              "Rows whose build is not `-` are of kernels with vector builds, run once per build the processor "
              "offers (`ZET_NATIVE_LANES`, each build in a process of its own).", "", "## Peers", ""]
    for section in main["sections"].values():
        lines += [f"- {x}" for x in section["peer_lines"]]
    rows = []
    for name in SECTIONS:
        for report in reports:
            section = report["sections"].get(name)
            if section:
                if rows:
                    rows.append(None)
                rows += [tuple(r) if r else None for r in section["rows"]]
    lines += ["", "## Table", "", markdown_table(HEADER, rows), "", "## Notes", ""]
    for report in reports:
        if "error" in report:
            lines.append(f"- the run on {report['build']} failed: {report['error']}")
        for name, section in report["sections"].items():
            tag = f"[{name}, {report['build']}] " if len(reports) > 1 and SECTIONS[name][1] else f"[{name}] "
            lines += [f"- {tag}{x}" for x in section["notes"]]
        if report is not main:
            lines += [f"- [{report['build']}] {x}" for x in report.get("load", [])]
    lines += ["", "## Bars (reported, not enforced)", ""]
    for report in reports:
        for name, section in report["sections"].items():
            tag = f" ({report['build']})" if SECTIONS[name][1] else ""
            lines += [f"- {x.strip()}{tag}" for x in section["bars"]]
    lines += ["", f"Total bench time {time.perf_counter() - started:.0f} s."]
    RESULTS.write_text("\n".join(lines) + "\n")
    progress(f"full table written to {RESULTS.relative_to(meshes.REPO)}")
    return rows


def rows_of_results():
    """(rows, build that ran, machine, first load line) read back from bench/RESULTS.md."""
    text = RESULTS.read_text().splitlines()
    table = text.index("## Table")
    rows = []
    for line in text[table + 4:]:
        if not line.startswith("| "):
            break
        cells = [c.strip() for c in line.strip("|").split("|")]
        rows.append(tuple(cells[:3]) + (int(cells[3]) if cells[3].isdigit() else cells[3],) + tuple(cells[4:]))
    machine = next(line for line in text if line.startswith("Machine: "))[len("Machine: "):].rstrip(".")
    build = machine.split("vector build that ran: ")[1].split(";")[0]
    load = next(line for line in text if "load average at the start" in line)[2:]
    return rows, build, machine, load


def update_readme(rows, build, loads, machine=None):
    text = README.read_text()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        progress("README has no bench table markers; not updated")
        return
    short = summary(rows, build)
    dropped = max(0, len(short) - SUMMARY_ROWS)
    block = [README_BEGIN,
             f"Measured {time.strftime('%Y-%m-%d')} by `make bench` on {machine or machine_line()}; {loads[0]}. Ratio = "
             "peer time / our time (above 1: ours faster), the lowest over the cases of each function and peer, "
             "on 1 and 2 threads; the full table, every vector build and the bars are in "
             "[bench/RESULTS.md](bench/RESULTS.md).", "",
             markdown_table(("function", "peer", "1 thread", "2 threads", "lowest case"), short[:SUMMARY_ROWS])]
    if dropped:
        block.append(f"\n({dropped} more in bench/RESULTS.md)")
    README.write_text(text[:begin] + "\n".join(block) + "\n" + text[end:])
    progress("summary copied into README.md")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sections", help="comma-separated sections to run (all when absent)")
    parser.add_argument("--json", help="write the report here instead of the results and README")
    parser.add_argument("--readme-only", action="store_true",
                        help="only write the README's summary again, from bench/RESULTS.md")
    args = parser.parse_args()
    if args.readme_only:
        rows, build, machine, load = rows_of_results()
        update_readme(rows, build, [load], machine)
        return
    names = args.sections.split(",") if args.sections else list(SECTIONS)
    if args.json:
        report = run_sections(names)
        with open(args.json, "w") as f:
            json.dump(report, f)
        return
    started = time.perf_counter()
    loads = [load_line("at the start")]
    reports = [run_sections(names)]
    lanes = [n for n in offered_lanes() if BUILD_NAMES[n] not in reports[0]["build"]]
    vector_sections = [n for n in names if SECTIONS[n][1]]
    for n in reversed(lanes):
        if vector_sections:
            reports.append(run_build(n, vector_sections))
    loads.append(load_line("at the end"))
    rows = write_results(reports, started, loads)
    print(format_table(rows, HEADER))
    for report in reports:
        for section in report["sections"].values():
            print("\n".join(section["bars"]))
    update_readme(rows, reports[0]["build"], loads)


if __name__ == "__main__":
    main()
