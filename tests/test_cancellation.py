"""Every should_cancel consultation answered true, by raising, or with a raising truth test: the call stops
there without asking again, returns part of the full result (or raises), the same on 1 and 4 threads, and
releases its buffers."""

import numpy as np
import pytest
from calls import CANCELLABLE, with_cancel
from support import SANITIZED, Asker, BadTruth, Refusal, assert_released, exported

import _zet_native as zn

SIZE = 40 if SANITIZED else 60
ANSWERS = [True, "yes", Refusal("stop"), BadTruth()]


def prefix(*items):
    return lambda part, full: all(full[i].startswith(part[i]) for i in items)


def records(item, size):
    return lambda part, full: (
        set(part[item][i:i + size] for i in range(0, len(part[item]), size))
        <= set(full[item][i:i + size] for i in range(0, len(full[item]), size)))


# What a cancelled run returns: its status, and the part of the complete result it holds.
PARTIAL = {
    "bvh_path_query": (2, lambda part, full: records(3, 48)(part, full) and part[1] <= full[1]),
    "self_intersection_pairs": (2, lambda part, full: records(4, 8)(part, full) and part[1] <= full[1]),
    "clearance_candidate_pairs": (2, prefix(1)),
    "clearance_pairs": (4, lambda part, full: prefix(4)(part, full) and part[1] <= full[1] and part[2] <= full[2]),
    "ray_tree_hits": (1, prefix(1, 2, 3)),
}


def export(args):
    """The arguments with every array, inside tuples too, replaced by a bytearray's view."""
    exports = []

    def convert(x):
        if isinstance(x, np.ndarray):
            exports.append(exported(x))
            return exports[-1][1]
        return tuple(map(convert, x)) if isinstance(x, tuple) else x

    return [convert(a) for a in args], exports


@pytest.mark.parametrize("call", CANCELLABLE, ids=repr)
def test_cancel_at_each_consultation(call):
    args = call.build(SIZE, 11)
    full = call.function(*args)
    never, (borrowed, exports) = Asker(), export(args)
    assert call.function(*with_cancel(call, borrowed, never)) == full
    assert never.calls >= 3
    assert_released(*exports)
    for k in sorted(set(np.linspace(1, never.calls, min(never.calls, 20)).round().astype(int))):
        stopped = []
        for limit in (1, 4):
            zn.set_thread_limit(limit)
            for answer in ANSWERS:
                borrowed, exports = export(args)
                asker = Asker(k, answer)
                try:
                    result = call.function(*with_cancel(call, borrowed, asker))
                except InterruptedError:
                    assert call.name == "build_aabb_tree" and answer in (True, "yes")
                    result = "interrupted"
                except Refusal:
                    assert answer not in (True, "yes")
                    result = "refused"
                else:
                    status, partial = PARTIAL[call.name]
                    assert answer in (True, "yes") and result[0] == status and partial(result, full)
                assert asker.calls == k
                assert_released(*exports)
                stopped.append(result)
        assert stopped[:len(ANSWERS)] == stopped[len(ANSWERS):]
        assert stopped[0] == stopped[1]
