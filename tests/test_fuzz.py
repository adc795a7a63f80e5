"""Every module function with one argument of a valid call fuzzed (dtype, rank, shape, byte order, layout,
exporters, NaN, huge values and indices, malformed trees, bad scalars and callables): a well-formed result or a
documented exception, in bounded time, never writing into its arguments."""

import faulthandler
import functools
import math
import time

import numpy as np
import pytest
from calls import CALLS
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import SANITIZED, Asker, BadTruth, Refusal, exported, fuzz

# IndexError is the documented error of out-of-range selections and pairs; BufferError comes
# from exporters (a memoryview that is not C-contiguous), Refusal from our should_cancel answers.
ALLOWED = (ValueError, TypeError, OverflowError, MemoryError, IndexError, BufferError, Refusal)
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy's casts of NaN and more
SLOW = 20.0 if SANITIZED else 5.0  # seconds; fuzzed calls are small, a long one is a fault
SPECIAL = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, 1e-300, 2.0**64, -1.0, 1.0]
INTS = [-2**63 - 1, -2**63, -2**31 - 1, -2**31, -1, 0, 1, 2, 3, 7, 2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64]
OTHER = [None, "text", b"bytes", [1.0, 2.0, 3.0], (), object(), 1.5, 2]
DTYPES = ["f8", "f4", "f2", "i8", "i4", "i2", "i1", "u8", "u4", "u1", "?", "c16", ">f8", ">i4", ">u4", ">i8", ">i2", "O"]


def raising():
    raise Refusal("asked")


# should_cancel values, made afresh for every example: askers count their questions.
CANCELS = [lambda: None, lambda: 5, lambda: "text", lambda: lambda: True, lambda: lambda: 1,
           lambda: lambda: BadTruth(), lambda: raising, lambda: lambda: np.ones(2), lambda: Asker(2),
           lambda: Asker(3, Refusal("late"))]


@functools.cache
def base(name, size):
    call = [call for call in CALLS if call.name == name][0]
    try:
        return call.build(size, 7)
    except ValueError:  # no valid call of that size
        return call.build(1, 7)


def paths(item, prefix=()):
    """Every position inside the nested argument tuples, the tuples themselves included."""
    found = [prefix]
    if isinstance(item, (tuple, list)):
        for i, x in enumerate(item):
            found += paths(x, prefix + (i,))
    return found


def get(item, path):
    for i in path:
        item = item[i]
    return item


def put(item, path, value):
    if not path:
        return value
    out = list(item)
    out[path[0]] = put(item[path[0]], path[1:], value)
    return out if isinstance(item, list) else tuple(out)


def sprinkle(a, rng):
    """A copy with some entries (or all) replaced by special values of the dtype."""
    out = np.array(a, copy=True, order="C")
    if out.size == 0 or out.dtype == object:
        return out
    mask = rng.random(out.shape) < rng.choice([0.1, 0.5, 1.0])
    count = int(mask.sum())
    if out.dtype.kind == "f":
        out[mask] = rng.choice(SPECIAL + list(rng.normal(size=4) * 10.0 ** rng.integers(-3, 4)), count)
    elif out.dtype.kind == "b":
        out.view(np.uint8)[mask] = rng.integers(0, 256, count)
    elif out.dtype.kind in "iu":
        info = np.iinfo(out.dtype)
        pool = np.concatenate([np.arange(-3, 13), [-1, info.min, info.max, info.max // 2 + 1]])
        out[mask] = pool[rng.integers(0, len(pool), count)].astype(out.dtype)
    return out


def array_mutation(a, kind, rng):
    a = np.asarray(a)
    if kind == "values":
        return sprinkle(a, rng)
    if kind == "dtype":
        return np.asarray(a).astype(DTYPES[rng.integers(len(DTYPES))])
    if kind == "shape":
        shape = tuple(int(x) for x in rng.integers(0, 5, rng.integers(0, 5)))
        return sprinkle(np.resize(a.ravel() if a.size else np.zeros(1, a.dtype), shape), rng)
    if kind == "rows":
        if a.ndim == 0:
            return a.reshape(1)
        return [a[:0], a[:1], a[:-1], np.concatenate([a, a[:2]])][rng.integers(4)]
    if kind == "layout":
        choice = rng.integers(6)
        if choice == 0 and a.ndim and a.size:  # strided view of the same values
            return np.repeat(a, 2, axis=-1)[..., ::2]
        if choice == 1:  # not aligned to the item size
            out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, offset=1).reshape(a.shape)
            out[...] = a
            return out
        if choice == 2 and a.size:  # a bytearray's memoryview
            return exported(a)[1]
        if choice == 3:
            out = a.copy()
            out.flags.writeable = False
            return out
        if choice == 4:
            return a.tobytes()
        return np.asfortranarray(a) if a.ndim > 1 else memoryview(np.ascontiguousarray(a))
    return OTHER[rng.integers(len(OTHER))]


def random_tree(rng, m):
    """node_min, node_max, node_meta and order of a random tree over m triangles that passes
    the checks: any shape, leaf ranges that overlap, repeat or are empty, triangles listed
    twice or never, counts that mean nothing, boxes that are NaN, inverted or miss."""
    order = rng.integers(0, max(m, 1), rng.integers(0, 2 * m + 2) if m else 0).astype(np.uint32)
    meta = []

    def node(depth):
        meta.append(None)
        i = len(meta) - 1
        if depth > 4 or rng.random() < 0.35:
            start = int(rng.integers(0, len(order) + 1))
            meta[i] = [-1, int(rng.integers(-9, 9)), start, int(rng.integers(0, len(order) - start + 1)), 0]
        else:
            meta[i] = [node(depth + 1), node(depth + 1), 0, int(rng.integers(-9, 99)), int(rng.integers(-9, 9))]
        return i

    node(0)
    k = len(meta)
    lo = rng.uniform(-3, 3, (k, 3))
    hi = lo + rng.uniform(-0.5, 4, (k, 3))
    return sprinkle(lo, rng), sprinkle(hi, rng), np.array(meta, np.int32), order


def with_random_tree(args, nodes, m, rng):
    """args with the tree arrays at the given paths (node_min, node_max, node_meta, order) replaced."""
    for path, value in zip(nodes, random_tree(rng, m)):
        args = put(args, path, value)
    return args


MUTATIONS = {
    "array": ["values", "values", "dtype", "shape", "rows", "layout", "object"],
    "float": ["special", "other"],
    "int": ["int", "other"],
    "tuple": ["shorter", "longer", "list", "other", "hole", "tree"],
    "cancel": ["cancel"],
    "arguments": ["shorter", "longer", "tree"],
}


def mutate(value, kind, rng):
    if kind == "tree":  # a tree tuple (seven or eleven items), or ray_tree_hits' arguments
        nodes = {7: (3, 4, 5, 6), 11: (2, 3, 4, 5), 13: (4, 5, 6, 7)}.get(len(value))
        if nodes is None or not isinstance(value[nodes[0]], np.ndarray):
            return value
        m = len(value[{7: 1, 11: 1, 13: 9}[len(value)]])
        return with_random_tree(value, [(i,) for i in nodes], m, rng)
    if kind == "special":
        return [*SPECIAL, 10**400, float(rng.normal() * 10.0 ** rng.integers(-8, 9))][rng.integers(len(SPECIAL) + 2)]
    if kind == "int":
        return INTS[rng.integers(len(INTS))]
    if kind == "other":
        return OTHER[rng.integers(len(OTHER))]
    if kind == "cancel":
        return CANCELS[rng.integers(len(CANCELS))]()
    if kind == "shorter":
        return value[:-1]
    if kind == "longer":
        return value + type(value)([value[0] if value else 1])
    if kind == "list":
        return list(value)
    if kind == "hole":
        return put(value, (int(rng.integers(len(value))),), None) if value else None
    return array_mutation(value, kind, rng)


def role(call, path, value):
    if path == ():
        return "arguments"
    if path == (call.cancel,):
        return "cancel"
    if isinstance(value, tuple):
        return "tuple"
    if isinstance(value, np.ndarray):
        return "array"
    return "float" if isinstance(value, float) else "int"


@pytest.fixture(autouse=True)
def watchdog():
    """A hung call ends the run with every thread's stack instead of blocking it."""
    faulthandler.dump_traceback_later(600, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# Four times the examples of the other properties (ZET_FUZZ_EXAMPLES): a call takes well under a millisecond.
@settings(fuzz, max_examples=4 * fuzz.max_examples,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(data=st.data())
@pytest.mark.parametrize("call", CALLS, ids=repr)
def test_one_argument_fuzzed(call, data):
    args = list(base(call.name, data.draw(st.sampled_from([0, 1, 2, 6]), label="size")))
    path = data.draw(st.sampled_from(paths(args)), label="path")
    value = get(args, path)
    kind = data.draw(st.sampled_from(MUTATIONS[role(call, path, value)]), label="mutation")
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    try:
        args = put(args, path, mutate(value, kind, rng))
    except (ValueError, TypeError):  # a conversion numpy refuses: keep the valid call
        pass
    arrays = [(a, a.tobytes()) for a in map(lambda p: get(args, p), paths(args))
              if isinstance(a, np.ndarray) and a.dtype != object]
    start = time.perf_counter()
    try:
        result = call.function(*args)
    except ALLOWED:
        pass
    except InterruptedError:
        assert call.name == "build_aabb_tree" and kind == "cancel"
    else:
        assert call.form(result)
    assert time.perf_counter() - start < SLOW
    assert all(a.tobytes() == before for a, before in arrays)


class Fresh:
    """A sequence that makes a new copy of an item each time it is asked for one."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return np.array(self.items[i]) if isinstance(self.items[i], np.ndarray) else self.items[i]


@pytest.mark.parametrize("call", [call for call in CALLS if any(isinstance(a, tuple) for a in base(call.name, 6))],
                         ids=repr)
def test_sequences_that_make_their_items(call):
    """Items of a tuple argument given by another sequence are held for the whole call (a
    tree as such a sequence was read from freed arrays)."""
    args = base(call.name, 6)
    expected = call.function(*args)
    for i, value in enumerate(args):
        if isinstance(value, tuple):
            for _ in range(3):
                garbage = [np.full((40, 3), 7.0) for _ in range(50)]  # reuses freed memory
                try:
                    assert call.function(*put(args, (i,), Fresh(value))) == expected
                except TypeError:  # ray meshes and obstacles must be tuples
                    assert call.name == "direction_ray_scores"
            del garbage


def spoil(arrays):
    """Largest values into every integer array: indices out of range, malformed trees."""
    for a in arrays:
        if a.dtype.kind in "iu":
            a[...] = np.iinfo(a.dtype).max


class Spoiler:
    """An exporter written in Python (or a float) that spoils the arrays before it in the
    argument order when asked for its buffer (or its value)."""

    def __init__(self, value, before):
        self.value, self.before = value, before

    def __buffer__(self, flags):
        spoil(self.before)
        return memoryview(self.value)

    def __float__(self):
        spoil(self.before)
        return self.value


def outcome(call, args):
    try:
        return call.function(*args)
    except (ValueError, TypeError, IndexError) as error:
        return type(error), str(error)


@pytest.mark.parametrize("call", CALLS, ids=repr)
def test_arguments_changed_by_exporters(call):
    """Python code that an exporter runs while the arguments are acquired changes nothing that
    was already checked: the call sees the arrays as they are once all of them are held (an
    exporter could make the triangle indices of a checked mesh point anywhere)."""
    args = base(call.name, 6)
    for path in paths(args):
        value = get(args, path)
        if not isinstance(value, (np.ndarray, float)) or path == (0,):
            continue
        mine = functools.reduce(lambda a, p: put(a, p, np.array(get(a, p))) if isinstance(get(a, p), np.ndarray)
                                else a, paths(args), args)
        before = [get(mine, p) for p in paths(mine) if p < path and isinstance(get(mine, p), np.ndarray)]
        got = outcome(call, put(mine, path, Spoiler(get(mine, path), before)))
        assert got == outcome(call, mine)
