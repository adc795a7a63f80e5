"""Every module function on its valid and error paths releases every buffer it borrowed, and over 10^5 calls
(10^4 sanitized) reference counts, objects, traced and resident memory stay flat."""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest
from calls import CALLS
from support import SANITIZED, Refusal, assert_released
from test_cancellation import export
from test_fuzz import get, paths, put, spoil

CALLS_EACH = 10_000 if SANITIZED else 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")
TRIM = getattr(ctypes.CDLL(None), "malloc_trim", lambda pad: 0)


def resident():
    """Resident bytes, once the C allocator has returned the free pages it can (glibc)."""
    TRIM()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def raising():
    raise Refusal("no")


def variants(call):
    """The valid call and its error paths."""
    args = call.build(1, 3)
    if not args:
        return [args, [1]]
    arrays = [p for p in paths(args) if isinstance(get(args, p), np.ndarray)]
    if not arrays:
        return [args, [-1]]
    last = get(args, arrays[-1])
    out = [args, put(args, arrays[-1], last.astype(np.int8 if last.dtype == np.float32 else np.float32))]
    if last.ndim:  # one row more than the other arrays
        out.append(put(args, arrays[-1], np.concatenate([last, last[:1]])))
    for path in arrays:  # each index or tree array out of range: refused once every array is held
        spoiled = np.array(get(args, path))
        if spoiled.dtype.kind in "iu" and spoiled.size:
            spoil([spoiled])
            out.append(put(args, path, spoiled))
    if call.cancel is not None:
        out += [put(args, (call.cancel,), raising), put(args, (call.cancel,), lambda: True)]
    return out


def references(objects):
    return [sys.getrefcount(x) for x in objects]


def run(call, calls, cycle):
    for i in range(calls):
        try:
            call.function(*cycle[i % len(cycle)])
        except (ValueError, TypeError, IndexError, InterruptedError, Refusal):
            pass


@pytest.mark.parametrize("call", CALLS, ids=repr)
def test_memory_stays_flat(call):
    cycle = variants(call)
    objects = [get(args, p) for args in cycle for p in paths(args)]
    result = call.function(*cycle[0])  # owned by this frame alone, and its items by it alone
    assert sys.getrefcount(result) == 2 or not isinstance(result, (bytes, tuple, list))
    if isinstance(result, (tuple, list)):
        assert all(sys.getrefcount(result[i]) == 2 for i in range(len(result))
                   if isinstance(result[i], (bytes, tuple)) and len(result[i]) > 1)
    del result
    run(call, CALLS_EACH // 10, cycle)  # warm-up: caches, free lists and arenas settle
    gc.collect()
    refs, count, rss = references(objects), len(gc.get_objects()), resident()
    tracemalloc.start()
    try:
        run(call, CALLS_EACH // 10, cycle)
        traced = tracemalloc.get_traced_memory()[0]
        run(call, CALLS_EACH // 10, cycle)
        grown = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    run(call, CALLS_EACH - CALLS_EACH // 5, cycle)
    gc.collect()
    assert references(objects) == refs
    assert len(gc.get_objects()) <= count + 2
    # 16 bytes a call would trace 16 x 10^4 (10^3 under the sanitizers) bytes more.
    assert grown < CALLS_EACH // 10
    if not SANITIZED:  # AddressSanitizer keeps freed memory in quarantine
        assert resident() - rss < 4 * CALLS_EACH


@pytest.mark.parametrize("call", CALLS, ids=repr)
def test_buffers_released_on_every_path(call):
    for args in variants(call):
        borrowed, exports = export(args)
        try:
            call.function(*borrowed)
        except (ValueError, TypeError, IndexError, InterruptedError, Refusal):
            pass
        assert_released(*exports)
