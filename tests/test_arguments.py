"""Every array argument of every module function (inside tuples too): another dtype, byte order, rank, extent
or layout is refused naming it, the first of several, after the parser's errors; other exporters of the same
values give the same result."""

import pickle
import re

import numpy as np
import pytest
from calls import BY_NAME, KERNELS
from support import CALLABLE, DTYPE, F64, SHAPE, exported, refused
from test_fuzz import get, paths, put

RAY_TREE = "node_min, node_max, node_meta, order, usable, points, bounds_min, bounds_max"
CONES = "kinds, generators, generator_mask, facets, facet_mask, blocks_all, shifts, wedges*3, wedge_mask"
NAMES = {  # the name in each array argument's messages, in the order of the arguments
    "build_aabb_tree": "vertices, triangles",
    "translation_triangle_ccd_batch": "moving, obstacle, velocity, paths",
    "bvh_path_query": "moving*7, obstacle*7, velocity",
    "self_intersection_pairs": "mesh*7",
    "triangle_distance_batch": "moving, obstacle",
    "clearance_candidate_pairs": "moving*7, obstacle*7, velocity",
    "clearance_pairs": "moving*2, obstacle*2, pairs, lowers, velocity",
    "ray_tree_hits": "origins, direction, node_min, node_max, node_meta, order, tree mesh*2, usable",
    "direction_ray_scores": f"directions, moving mesh*2, {RAY_TREE}" + f", obstacle mesh*2, {RAY_TREE}" * 2,
    "ray_winding_batch": "points, direction, node_min, node_max, child_left, child_right, is_leaf, leaf_table, "
                         "triangle_vertices, usable",
    "clipped_overlap_areas": "subject, clip",
    "pair_cones": "moving triangles, obstacle triangles, epsilon",
    "cone_groups": "generators, generator_mask",
    "cone_wedges": "generators, generator_mask",
    "cone_margins": f"vectors, selected, {CONES}",
    "cone_cap_lower_bounds": "directions, selected, cap_axes, cap_cos, blocks_all, shifts, angular_radius",
    "cells_bound_batch": f"centers, radii, angular, cell_offsets, relevant, relevant_offsets, {CONES}, cap_axes, cap_cos",
}
STRICT = {"build_aabb_tree", "translation_triangle_ccd_batch", "triangle_distance_batch"}  # the dtype named


def arrays(call):
    """A valid call's arguments and (path, name) of each of its arrays."""
    args = call.build(6, 7)
    names = [n for item in NAMES[call.name].split(", ") for n in [item.partition("*")[0]] * int(item.partition("*")[2] or 1)]
    found = [p for p in paths(args) if isinstance(get(args, p), np.ndarray)]
    assert len(found) == len(names)
    return args, list(zip(found, names))


def kind_message(call, array, name):
    if call.name not in STRICT:
        return DTYPE % name
    return F64 % name if array.dtype == np.float64 else f"{name} must be a C-contiguous uint32 array"


def other_dtype(a):
    return a.astype(np.float32 if a.dtype == np.float64 else np.float64)


@pytest.mark.parametrize("call", KERNELS, ids=repr)
def test_each_array_refused_by_name(call):
    args, found = arrays(call)
    every = {name for _, name in found}
    for path, name in found:
        a = get(args, path)
        same_size = a.astype({"f": "i", "i": "u", "u": "i", "b": "u"}[a.dtype.kind] + str(a.itemsize))
        for bad in [other_dtype(a), same_size, a[..., None].copy()] + [a.astype(">" + a.dtype.str[1:])] * (a.itemsize > 1):
            refused(call.function, put(args, path, bad), ValueError, kind_message(call, a, name), ())
        if a.ndim > 1 and a.dtype.kind in "fu" or a.dtype == np.int32 or a.shape == (3,):  # a fixed last extent
            refused(call.function, put(args, path, np.zeros(a.shape[:-1] + (a.shape[-1] + 1,), a.dtype)),
                    ValueError, SHAPE % name, ())
        strided = np.asfortranarray(a) if a.ndim > 1 else np.repeat(a, 2)[::2]
        refused(call.function, put(args, path, strided), None, None, every)


@pytest.mark.parametrize("call", KERNELS, ids=repr)
def test_first_refused_array_is_reported(call):
    args, found = arrays(call)
    for k, (_, name) in enumerate(found):
        bad = args
        for path, _ in found[k:]:
            bad = put(bad, path, other_dtype(get(args, path)))
        refused(call.function, bad, ValueError, kind_message(call, get(args, found[k][0]), name), ())


@pytest.mark.parametrize("call", KERNELS, ids=repr)
def test_parser_comes_first(call):
    """The argument count, a scalar of the wrong type and a should_cancel that cannot be called
    are refused before any array is looked at."""
    args, found = arrays(call)
    for wrong in (args[:-1], [*args, None]):
        message = f"{call.name}() takes exactly {len(args)} arguments ({len(wrong)} given)"
        refused(call.function, wrong, TypeError, message, ())
    spoiled = args
    for path, _ in found:
        spoiled = put(spoiled, path, other_dtype(get(args, path)))
    for i, value in enumerate(args):
        if type(value) in (int, float):
            refused(call.function, put(spoiled, (i,), "x" if type(value) is float else 2.5), TypeError, None,
                    {name for _, name in found})
    if call.cancel is not None:
        refused(call.function, put(spoiled, (call.cancel,), 5), TypeError, CALLABLE, ())


def ctypes_copy(a):
    kind = np.ctypeslib.as_ctypes_type(a.dtype)
    for extent in reversed(a.shape):
        kind = kind * extent
    return kind.from_buffer_copy(a)


def misaligned(a, bare=False):
    """A copy starting one byte into its storage, as numpy exports it ('=d') or in the bare letter ('d')."""
    if bare:
        return memoryview(bytearray(b"\0" + a.tobytes()))[1:].cast(a.dtype.char, a.shape)
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, offset=1).reshape(a.shape)
    out[...] = a
    return out


@pytest.mark.parametrize("call", KERNELS, ids=repr)
def test_exporters_give_the_same_result(call):
    """Any aligned or misaligned exporter of the right format; the functions that name the
    dtype in their message take the bare format letter only ('d', 'I')."""
    args, found = arrays(call)
    expected = pickle.dumps(call.function(*args))
    for path, name in found:
        a = get(args, path)
        others = [misaligned(a), ctypes_copy(a), memoryview(a.tobytes()).cast("@" + a.dtype.char, a.shape)]
        for copy in [exported(a)[1], misaligned(a, bare=True)] + ([] if call.name in STRICT else others):
            assert pickle.dumps(call.function(*put(args, path, copy))) == expected, (path, type(copy))
        for copy in others if call.name in STRICT else []:
            refused(call.function, put(args, path, copy), ValueError, kind_message(call, a, name), ())



SCANNED = ["build_aabb_tree", "bvh_path_query", "self_intersection_pairs", "clearance_candidate_pairs",
           "clearance_pairs", "ray_tree_hits", "direction_ray_scores", "ray_winding_batch"]


def spoiled_calls(call, size):
    """A valid call of that size with one element of one integer array set to its dtype's
    largest value, for each such array and for its last element and the first of its last row."""
    args = call.build(size, 7)
    for path in paths(args):
        value = get(args, path)
        if not isinstance(value, np.ndarray) or value.dtype.kind not in "iu" or value.size == 0:
            continue
        for at in sorted({value.size - 1, value.size - (value.shape[-1] if value.ndim > 1 else 1)}):
            spoiled = value.copy()
            spoiled.reshape(-1)[at] = np.iinfo(spoiled.dtype).max
            yield lambda spoiled=spoiled, path=path: call.function(*put(args, path, spoiled))


def refusal(spoiled_call):
    try:
        spoiled_call()
    except (ValueError, IndexError) as error:
        return type(error), re.sub(r"\d+", "#", str(error))
    return None


@pytest.mark.parametrize("name", SCANNED)
def test_long_scans_find_the_last_fault(name):
    # Scans of a few thousand indices run with the interpreter lock released, shorter ones
    # with it held: both find a fault in the last element and report it the same way. (The
    # spoils a small call accepts are not run large: some would run the whole kernel.)
    call = BY_NAME[name]
    small = [refusal(c) for c in spoiled_calls(call, 6)]
    large = [refusal(c) if expected else None for c, expected in zip(spoiled_calls(call, 8000), small)]
    assert large == small
    assert any(small)
