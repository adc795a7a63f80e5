"""Speed and memory of _zet_native against peer libraries.

Run by bench/run in .venv-bench, where the project and the peers are installed side by
side, so ours and the peers work on the same arrays in one process. Three sections:
tree_and_overlap.py (build_aabb_tree, clipped_overlap_areas), collision.py (the
translating triangle kernel, bvh_path_query, self_intersection_pairs) and distance.py (the
triangle distance kernel, triangle_distance_batch, clearance_candidate_pairs then
clearance_pairs). Our figures are all taken before any peer is imported (a peer's idle
thread pool must not share the two cores with our timed runs). Prints one table and the
bars and writes them to bench/results/latest.txt. Figures are reported, never asserted.
"""

import os
import platform
import time

import meshes
from collision import Collision
from cones import Cones
from common import cpu_snapshot, format_table, others_note, progress
from distance import Distance
from rays import Rays
from tree_and_overlap import TreeAndOverlap

RESULTS = meshes.REPO / "bench" / "results" / "latest.txt"
README = meshes.REPO / "README.md"
README_BEGIN, README_END = "<!-- bench table: begin -->", "<!-- bench table: end -->"


def machine():
    """The processor, its memory and which vector builds of the lane kernels it runs."""
    model, flags = platform.processor() or platform.machine(), set()
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30
    except (OSError, ValueError):
        memory = float("nan")
    lanes = "8 lanes (AVX-512F)" if "avx512f" in flags else "4 lanes (AVX2)" if "avx2" in flags else "scalar"
    cap = os.environ.get("ZET_NATIVE_LANES")
    lanes += f", capped by ZET_NATIVE_LANES={cap}" if cap else ""
    return (f"machine: {model}, {os.cpu_count()} cores, {memory:.0f} GiB; vector builds of the overlap, winding "
            f"and ray-hit kernels: {lanes}")


def main():
    started = time.perf_counter()
    sections = [TreeAndOverlap(), Collision(), Distance(), Rays(), Cones()]
    for section in sections:
        section.prepare()

    # Phase 1: ours, before any peer is imported.
    ours_start = cpu_snapshot()
    for section in sections:
        section.run_ours()
    ours_end = cpu_snapshot()

    # Phase 2: peers.
    for section in sections:
        section.run_peers()
    peers_end = cpu_snapshot()

    # The table.
    rows = []
    for section in sections:
        if rows:
            rows.append(None)
        rows.extend(section.rows())

    lines = []
    lines.append(f"_zet_native vs peers: build_aabb_tree, clipped_overlap_areas, the translating triangle kernel, "
                 f"bvh_path_query, self_intersection_pairs, the triangle distance, triangle_distance_batch, "
                 f"clearance_candidate_pairs + clearance_pairs, ray_tree_hits, direction_ray_scores, "
                 f"ray_winding_batch, pair_cones, cone_margins, cone_cap_lower_bounds, cells_bound_batch "
                 f"({platform.python_implementation()} "
                 f"{platform.python_version()}, {os.cpu_count()} cores, {time.strftime('%Y-%m-%d %H:%M')})")
    lines.append(machine())
    lines.append("ours: thread limit set with set_thread_limit; time = best of 5 or more runs unless said otherwise "
                 "(peers: 3); ratio = peer time / our time, i.e. ours throughput / peer throughput (above 1: ours "
                 "faster)")
    for section in sections:
        lines.extend(section.peer_lines())
    lines.append("")
    lines.append(format_table(rows))
    lines.append("")
    for section in sections:
        lines.extend(section.note_lines())
    lines.append(others_note(ours_start, ours_end, "while ours ran"))
    lines.append(others_note(ours_end, peers_end, "while the peers ran"))
    lines.append("")
    lines.append("bars (reported, not enforced):")
    for section in sections:
        lines.extend(section.bars())
    lines.append(f"total bench time {time.perf_counter() - started:.0f} s")
    text = "\n".join(lines) + "\n"
    print(text, end="")
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(text)
    progress(f"table written to {RESULTS.relative_to(meshes.REPO)}")
    update_readme(machine(), format_table(rows))


def update_readme(machine_line, table):
    """The README's copy of the table, between its two markers, with the machine and date."""
    text = README.read_text()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        progress("README has no bench table markers; not updated")
        return
    block = (f"{README_BEGIN}\nMeasured {time.strftime('%Y-%m-%d')} by `make bench`; {machine_line[0].lower()}"
             f"{machine_line[1:]}.\n\n```\n{table}\n```\n")
    README.write_text(text[:begin] + block + text[end:])
    progress("table copied into README.md")


if __name__ == "__main__":
    main()
