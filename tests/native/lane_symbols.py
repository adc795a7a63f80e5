"""Checks that the lane builds export nothing but their entry points.

Every lane kernel source is compiled once per instruction set. Anything else with external
linkage in those objects (an inline function, a template instantiation, a helper) could be
picked by the linker for the scalar code too, which would then run AVX-512 instructions on
a processor without them. Usage: python lane_symbols.py BUILD_DIR [BUILD_DIR ...]; exits 1
and names every offending symbol when there is one."""

import platform
import re
import subprocess
import sys
from pathlib import Path

ENTRY = re.compile(r"^zet::(\w+)_(avx2|avx512)\(")
# The compiler's reference to the C++ exception personality routine: data, the same in every
# object, not code of ours.
HARMLESS = {"DW.ref.__gxx_personality_v0"}


def exported(obj):
    run = subprocess.run(["nm", "--defined-only", "--extern-only", "-C", str(obj)],
                         capture_output=True, text=True, check=True)
    return [line.split(" ", 2)[2] for line in run.stdout.splitlines() if line.count(" ") >= 2]


def main(build_dirs):
    objects = [o for d in build_dirs for o in sorted(Path(d).glob("**/CMakeFiles/zet_lanes_*.dir/**/*.o"))]
    if not objects:
        # Lane builds exist on x86-64 only; there a build without them is a broken build.
        print("lane symbols: no lane objects found under", *build_dirs)
        return 1 if platform.machine() in ("x86_64", "AMD64") else 0
    bad, entries = [], {"avx2": set(), "avx512": set()}
    for obj in objects:
        build = "avx512" if "zet_lanes_avx512" in str(obj) else "avx2"
        for symbol in exported(obj):
            if symbol in HARMLESS:
                continue
            match = ENTRY.match(symbol)
            if match is None or match.group(2) != build:
                bad.append(f"{obj}: {symbol}")
            else:
                entries[build].add(match.group(1))
    if entries["avx512"] - entries["avx2"]:  # a kernel may have a 4-lane build only, not the reverse
        bad.append(f"entry points with an 8-lane build only: {sorted(entries['avx512'] - entries['avx2'])}")
    for line in bad:
        print("lane symbols:", line)
    print(f"lane symbols: {len(objects)} objects, entry points {sorted(entries['avx2'])}, "
          f"{len(bad)} problems")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["build"]))
