"""Peak memory of one build_aabb_tree call, run in a fresh process.

usage: memory_probe.py VERTICES.npy TRIANGLES.npy LEAF_SIZE THREADS

Prints JSON: the growth of the peak resident set (VmHWM) over the call (the inputs are
loaded and the module imported before the baseline), the peak of the memory traced by
tracemalloc during the call (the interpreter's allocators, which the build uses for its
working arrays and results), and the triangle count.
"""

import json
import sys
import tracemalloc

import numpy as np

import _zet_native


def max_rss_bytes():
    """The peak resident set of this process image.

    VmHWM rather than getrusage's ru_maxrss: the latter keeps the peak of the parent
    that forked this process across exec, which would hide the growth of the call.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024  # kB
    raise RuntimeError("no VmHWM in /proc/self/status")


def main():
    vertices = np.load(sys.argv[1])
    triangles = np.load(sys.argv[2])
    leaf_size, threads = int(sys.argv[3]), int(sys.argv[4])
    _zet_native.set_thread_limit(threads)
    baseline = max_rss_bytes()
    tracemalloc.start()
    result = _zet_native.build_aabb_tree(vertices, triangles, leaf_size, None, 1024)
    _, traced_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    peak = max_rss_bytes()
    json.dump({"triangles": len(triangles), "rss_growth": peak - baseline,
               "traced_peak": traced_peak, "result_bytes": sum(len(r) for r in result)},
              sys.stdout)


if __name__ == "__main__":
    main()
