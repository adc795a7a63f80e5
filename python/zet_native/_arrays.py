"""Conversion of what callers pass into the exact arrays the native module takes, and of its
packed results into writable numpy arrays.

The native module accepts only C-contiguous arrays of one dtype and shape per argument. Here
every argument is converted with numpy first, so lists, tuples, views in any memory order and
any real or integer dtype work, and a bad value is reported with the argument's name and the
first offending row instead of a dtype message from deep inside a call.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_UINT32_LIMIT = 2**32


def _shape_text(shape: Sequence[int]) -> str:
    names = iter("nmkl")
    return "(" + ", ".join(next(names) if s < 0 else str(s) for s in shape) + ("," if len(shape) == 1 else "") + ")"


def _check_shape(array: np.ndarray, shape: Sequence[int], name: str) -> None:
    if array.ndim != len(shape) or any(s >= 0 and a != s for a, s in zip(array.shape, shape)):
        raise ValueError(f"{name} must have shape {_shape_text(shape)}, got {array.shape}")


def _as_numeric(value: Any, name: str) -> np.ndarray:
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:  # ragged nesting and the like
        raise ValueError(f"{name} must be an array of numbers: {error}") from None
    return array


def real_array(value: npt.ArrayLike, name: str, shape: Sequence[int], *, rows: bool = False) -> np.ndarray:
    """``value`` as a C-contiguous float64 array of ``shape`` (-1: any extent). Any real or
    integer dtype is converted; booleans, complex numbers and objects are refused. With
    ``rows``, a single row of the trailing shape is taken as one row."""
    array = _as_numeric(value, name)
    if array.dtype.kind not in "fiu":
        raise ValueError(f"{name} must hold real numbers, got dtype {array.dtype}")
    if array.size == 0 and array.ndim == 1 and len(shape) > 1:  # an empty list: no rows
        array = array.reshape((0, *(max(s, 0) for s in shape[1:])))
    elif rows and array.ndim == len(shape) - 1:
        array = array.reshape((1, *array.shape))
    _check_shape(array, shape, name)
    return np.ascontiguousarray(array, dtype=np.float64)


def at_least_zero(value: npt.ArrayLike, name: str) -> None:
    """Refuses a radius (a number or an array of them) that is NaN or below 0, which the native
    module would take as no bound at all or as a cap turned inside out."""
    flat = np.asarray(value, dtype=np.float64).reshape(-1)
    bad = np.flatnonzero(~(flat >= 0.0))
    if len(bad):
        raise ValueError(f"{name} must be at least 0 (and not NaN), got {float(flat[bad[0]])}")


def scalar_or_rows(value: npt.ArrayLike, name: str, count: int) -> np.ndarray:
    """A real scalar broadcast to ``count`` values, or exactly ``count`` values, as float64."""
    array = _as_numeric(value, name)
    if array.dtype.kind not in "fiu":
        raise ValueError(f"{name} must hold real numbers, got dtype {array.dtype}")
    if array.ndim == 0:
        return np.full(count, float(array), dtype=np.float64)
    _check_shape(array, (count,), name)
    return np.ascontiguousarray(array, dtype=np.float64)


def _integers(value: npt.ArrayLike, name: str, shape: Sequence[int]) -> np.ndarray:
    """``value`` as an integer array of ``shape`` (an empty list: no rows), not yet converted."""
    array = _as_numeric(value, name)
    if array.size == 0 and array.ndim == 1 and len(shape) > 1:
        array = array.reshape((0, *(max(s, 0) for s in shape[1:])))
    if array.dtype.kind not in "iu":
        raise ValueError(f"{name} must hold integers, got dtype {array.dtype}")
    _check_shape(array, shape, name)
    return array


def index_array(value: npt.ArrayLike, name: str, shape: Sequence[int], *, limit: int | None = None,
                dtype: npt.DTypeLike = np.uint32) -> np.ndarray:
    """``value`` as a C-contiguous integer array (uint32 or int64) of ``shape``. Every entry
    must be at least 0 and below ``limit`` (when given) and fit the dtype; otherwise a
    ValueError names the argument and the first offending row."""
    array = _integers(value, name, shape)
    top = _UINT32_LIMIT if np.dtype(dtype) == np.uint32 else 2**63
    if limit is not None:
        top = min(top, limit)
    # Two reductions settle the usual case; the offending row is looked for only when one fails.
    if array.size and not ((array.dtype.kind == "u" or array.min() >= 0) and array.max() < top):
        flat = array.reshape(len(array), -1)
        bad = (flat < 0) | (flat >= top) if array.dtype.kind == "i" else flat >= top
        rows = np.flatnonzero(bad.any(axis=1))
        if len(rows):
            row = int(rows[0])
            bound = f"the vertex count {limit}" if limit is not None and limit <= top else f"{top}"
            raise ValueError(f"{name} row {row} holds {array[row].tolist()}: every index must be "
                             f"at least 0 and below {bound}")
    return np.ascontiguousarray(array, dtype=dtype)


def signed_array(value: npt.ArrayLike, name: str, shape: Sequence[int], dtype: npt.DTypeLike) -> np.ndarray:
    """``value`` as a C-contiguous array of a signed integer dtype (int32 or int64) and
    ``shape``, negative entries included; entries beyond the dtype's range are refused."""
    array = _integers(value, name, shape)
    info = np.iinfo(dtype)
    if array.size and (int(array.min()) < info.min or int(array.max()) > info.max):
        raise ValueError(f"{name} holds values outside the range of {info.dtype}")
    return np.ascontiguousarray(array, dtype=dtype)


def mask_array(value: npt.ArrayLike, name: str, length: int) -> np.ndarray:
    """A per-item mask of ``length`` entries (bool or integer, nonzero meaning set) as uint8."""
    array = _as_numeric(value, name)
    if array.dtype.kind not in "biu":
        raise ValueError(f"{name} must be a boolean or integer mask, got dtype {array.dtype}")
    _check_shape(array, (length,), name)
    return np.ascontiguousarray(array != 0, dtype=np.uint8)


def selection(value: npt.ArrayLike, name: str, length: int) -> np.ndarray:
    """Indices of ``length`` items as int64: a boolean mask (of ``length`` entries) selects
    where it is true, integers are taken as indices (range checks are the native module's,
    with IndexError)."""
    array = _as_numeric(value, name)
    if array.dtype.kind == "b":
        _check_shape(array, (length,), name)
        return np.flatnonzero(array).astype(np.int64)
    if array.size == 0:
        return np.zeros(0, dtype=np.int64)
    if array.dtype.kind not in "iu":
        raise ValueError(f"{name} must be integer indices or a boolean mask, got dtype {array.dtype}")
    if array.ndim > 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    if array.dtype.kind == "u" and array.size and int(array.max()) >= 2**63:
        raise ValueError(f"{name} holds an index too large for int64")
    return np.ascontiguousarray(array.reshape(-1), dtype=np.int64)


def unpack(packed: bytes, dtype: npt.DTypeLike, shape: Sequence[int] | None = None) -> np.ndarray:
    """A packed native result as a writable numpy array of its own."""
    array = np.frombuffer(packed, dtype=dtype).copy()
    return array if shape is None else array.reshape(shape)


def join(parts: Sequence[bytes], dtype: npt.DTypeLike, shape: Sequence[int] | None = None) -> np.ndarray:
    """Packed native results of consecutive slices as one writable array, copied once."""
    if len(parts) == 1:
        return unpack(parts[0], dtype, shape)
    array = np.concatenate([np.frombuffer(p, dtype=dtype) for p in parts])
    return array if shape is None else array.reshape(shape)


# Seconds that one slice of a sliced call aims at: long enough that the fixed cost of a native
# call (argument checks, setup) vanishes against it, short enough for Ctrl-C to land at once.
SLICE_SECONDS = 0.25
# Bytes of native output that one slice of a call copied into a result array holds at most: the
# copy then reads the slice's bytes while they are still in the processor's cache, and the
# allocator hands the next slice the block just freed instead of fresh pages. Copying a large
# result after one call would cost a tenth of the call where the kernel is cheap per output.
HOT_SLICE_BYTES = 1 << 22


def in_chunks(total: int, first: int, run: Callable[[int, int], Any], seconds: float = SLICE_SECONDS,
              into: np.ndarray | tuple[np.ndarray, ...] | None = None, growth: float = 8.0,
              hot_bytes: int | None = HOT_SLICE_BYTES) -> list[Any]:
    """Calls ``run(start, stop)`` over consecutive slices of the ``total`` items and returns their
    results in order. A call into the native module cannot be interrupted when it takes no
    ``should_cancel``; between two calls the interpreter delivers pending signals, so Ctrl-C
    lands within one slice. Every item is computed independently of the others, so the joined
    results are those of one call over everything.

    Up to ``first`` items (an amount that takes well under a second even where an item is
    costly) make one call. Beyond that the first slice holds ``first`` items and each later
    one as many as the last slice's pace fits into ``seconds``, growing or shrinking at most
    ``growth``-fold from slice to slice (a guard where a slice's items may be far cheaper than
    the next one's); a remainder under half a slice joins the slice before it.

    With ``into`` (a new array of ``total`` rows, one per item, or a tuple of them), ``run``
    returns the packed rows of its items (a tuple of packed results, one per array); each slice
    holds at most ``hot_bytes`` of them (no bound with None) and is copied into its rows as soon
    as it returns, and the list holds each slice's (start, stop)."""
    outputs = () if into is None else into if isinstance(into, tuple) else (into,)
    rows = [out.reshape(total, int(np.prod(out.shape[1:], dtype=np.int64))) for out in outputs]
    cap = total
    if rows and hot_bytes is not None:
        cap = max(1, hot_bytes // max(sum(r.itemsize * r.shape[1] for r in rows), 1))
        first = min(first, cap)

    def call(start: int, stop: int) -> Any:
        result = run(start, stop)
        if not rows:
            return result
        for r, packed in zip(rows, result if isinstance(into, tuple) else (result,)):
            r[start:stop] = np.frombuffer(packed, dtype=r.dtype).reshape(stop - start, r.shape[1])
        return start, stop

    if total <= first:
        return [call(0, total)]
    results, start, size = [], 0, max(first, 1)
    while start < total:
        stop = min(start + size, total)
        began = time.perf_counter()
        results.append(call(start, stop))
        pace = (stop - start) / max(time.perf_counter() - began, 1e-6)
        size = int(min(max(pace * seconds, size / growth, 1), size * growth, cap))
        start = stop
        if total - start - size < size // 2 and total - start <= cap:
            size = total - start  # a short last slice would cost a call for little work
    return results
