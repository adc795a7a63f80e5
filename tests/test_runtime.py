"""Thread limit, stage shares and ZET_NATIVE_THREADS. Concurrent calls, buffer release and leaks
of every function are in test_concurrency.py and test_leaks.py."""

import os
import subprocess
import sys
import threading

import pytest

import _zet_native as zn

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
