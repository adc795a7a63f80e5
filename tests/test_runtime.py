"""Thread limit, stage shares, ZET_NATIVE_THREADS, concurrent calls, buffer release on every path, leaks."""

import os
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import _zet_native as zn
from support import PARALLEL_M, Refusal, assert_released, exported, soup

INT32_MAX = 2**31 - 1
AUTOMATIC = min(max(os.sysconf("SC_NPROCESSORS_ONLN") - 1, 1), 32)


def test_set_thread_limit():
    for name in ("thread_limit", "leave_stage"):  # registered without arguments
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(zn, name)(1)
    zn.set_thread_limit(5)
    with pytest.raises(ValueError, match=r"^thread limit must be 0 \(automatic\) or positive$"):
        zn.set_thread_limit(-1)
    assert zn.set_thread_limit(1) == 5 and zn.thread_limit() == 1
    assert zn.set_thread_limit(1000) == 1 and zn.thread_limit() == 32
    assert zn.set_thread_limit(0) == 1000 and zn.thread_limit() == AUTOMATIC
    # Beyond 32 bits: clamped while a C long holds the value, the parser's OverflowError beyond.
    assert zn.set_thread_limit(2**40) == 0 and zn.thread_limit() == 32
    for bad, error in ((2**70, OverflowError), (-(2**70), OverflowError), (2.0, TypeError)):
        with pytest.raises(error):
            zn.set_thread_limit(bad)
    assert zn.set_thread_limit(0) == INT32_MAX


@pytest.mark.parametrize("share, error", [(0, ValueError), (101, ValueError), (-1, ValueError),
                                          (2**40, ValueError), (2**70, OverflowError)])
def test_enter_stage_refuses_bad_shares(share, error):
    zn.set_thread_limit(64)
    with pytest.raises(error, match=r"^stage share must be within \[1, 100\] percent$"
                       if error is ValueError else None):
        zn.enter_stage(share)
    zn.enter_stage(30)  # alone, since the refused call marked nothing: the full count
    assert zn.thread_limit() == 32


def test_stage_shares_across_interpreter_threads():
    zn.set_thread_limit(64)
    zn.leave_stage()  # on an unmarked thread: must not lower the stage count
    barrier, seen = threading.Barrier(3, timeout=30), {}

    def stage(name):
        try:
            zn.enter_stage(50)
            zn.enter_stage(30)  # a marked thread only updates its share
            barrier.wait()
            seen[name, "both"] = zn.thread_limit()  # 30 % of 64, rounded up
            barrier.wait()
            if name == "b":
                zn.leave_stage(), zn.leave_stage()
            barrier.wait()
            seen[name, "a alone"] = zn.thread_limit()  # a single stage gets the full count
            barrier.wait()
        finally:
            zn.leave_stage()

    threads = [threading.Thread(target=stage, args=(name,)) for name in "ab"]
    for thread in threads:
        thread.start()
    for _ in range(4):
        barrier.wait()
        seen.setdefault(("main", "both"), zn.thread_limit())
    for thread in threads:
        thread.join()
    assert seen == {("a", "both"): 20, ("b", "both"): 20, ("main", "both"): 32,
                    ("a", "a alone"): 32, ("b", "a alone"): 32}
    zn.enter_stage(1)  # the stage count is back to zero
    assert zn.thread_limit() == 32


@pytest.mark.parametrize("text, setting", [
    (None, 0), ("6", 6), ("12abc", 12), ("-4", 0), ("abc", 0), (" 7", 7), ("+5", 5), ("0x10", 0),
    ("40", 40), ("99999999999", INT32_MAX), ("9" * 30, INT32_MAX), ("-" + "9" * 30, 0),
])
def test_environment_thread_limit(text, setting):
    env = {key: value for key, value in os.environ.items() if key != "ZET_NATIVE_THREADS"}
    env.update({} if text is None else {"ZET_NATIVE_THREADS": text})
    code = "import _zet_native as z; print(z.thread_limit(), z.set_thread_limit(0))"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    assert out == [str(min(setting, 32) if setting else AUTOMATIC), str(setting)]


def test_concurrent_calls_from_interpreter_threads():
    zn.set_thread_limit(3)
    meshes = [soup(PARALLEL_M + 1000 * i, 30 + i) for i in range(3)]
    pairs = np.random.default_rng(5).uniform(0, 1, (2, 9000, 3, 2))
    results = lambda i: (zn.build_aabb_tree(*meshes[i], 2, None, 1), zn.clipped_overlap_areas(*pairs, 0.0))
    expected, got = [results(i) for i in range(3)], {}
    threads = [threading.Thread(target=lambda i=i: got.update({(i, r): results(i) for r in range(3)}))
               for i in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == {(i, r): expected[i] for i in range(3) for r in range(3)}


def boom():
    raise Refusal


NO = []  # a falsy answer that is not immortal, so a reference kept on it would show
VERTICES, TRIANGLES = soup(40, 1)
PAIRS = np.random.default_rng(2).uniform(0, 1, (2, 8, 3, 2))
TRIANGLE_PAIRS = np.random.default_rng(3).uniform(0, 1, (2, 8, 3, 3))
CALLS = {  # every way out: success, each failed check, cancellation, should_cancel raising
    "build": lambda v, t: zn.build_aabb_tree(v, t, 2, lambda: NO, 1),
    "build index": lambda v, t: zn.build_aabb_tree(v[:5], t, 2, None, 1),
    "build dtype": lambda v, t: zn.build_aabb_tree(v, t.cast("B").cast("i", (40, 3)), 2, None, 1),
    "build cancelled": lambda v, t: zn.build_aabb_tree(v, t, 2, lambda: True, 1),
    "build raising": lambda v, t: zn.build_aabb_tree(v, t, 2, boom, 3),
    "areas": lambda s, c: zn.clipped_overlap_areas(s, c, 0.0),
    "areas dtype": lambda s, c: zn.clipped_overlap_areas(s, c.cast("B").cast("f", (8, 3, 4)), 0.0),
    "areas shape": lambda s, c: zn.clipped_overlap_areas(s, c.cast("B").cast("d", (8, 2, 3)), 0.0),
    "areas length": lambda s, c: zn.clipped_overlap_areas(s[:3], c, 0.0),
    "distance": lambda m, o: zn.triangle_distance_batch(m, o, 0.0, 1e-12),
    "distance dtype": lambda m, o: zn.triangle_distance_batch(m, o.cast("B").cast("f", (8, 3, 6)), 0.0, 1e-12),
    "distance length": lambda m, o: zn.triangle_distance_batch(m, o[:1], 0.0, 1e-12),
}


def arguments(name):
    return [exported(a) for a in {"build": (VERTICES, TRIANGLES), "areas": PAIRS}.get(name.split()[0], TRIANGLE_PAIRS)]


def call(name, first, second):
    try:
        CALLS[name](first, second)
    except (ValueError, InterruptedError, Refusal):
        pass


@pytest.mark.parametrize("name", CALLS)
def test_buffers_released_on_every_path(name):
    exports = arguments(name)
    call(name, *(view for _, view in exports))
    assert_released(*exports)


def test_repeated_calls_leak_nothing():
    args = {name: arguments(name) for name in CALLS}

    def run(rounds):
        for _ in range(rounds):
            for name, ((_, first), (_, second)) in args.items():
                call(name, first, second)
            zn.build_aabb_tree(VERTICES, TRIANGLES, 1, None, 1)

    run(20)
    watched = [VERTICES, TRIANGLES, PAIRS, TRIANGLE_PAIRS, boom, NO, *(v for pair in args.values() for _, v in pair)]
    references = [sys.getrefcount(item) for item in watched]
    tracemalloc.start()
    try:
        run(100)
        before = tracemalloc.get_traced_memory()[0]
        run(400)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(item) for item in watched] == references
    assert grown < 64 * 1024, f"{grown} bytes kept over 400 rounds"
