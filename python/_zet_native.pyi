"""ZET native numeric accelerators.

Array arguments are objects exposing the buffer protocol (in practice C-contiguous numpy
arrays). Array results are ``bytes`` holding packed, C-ordered elements in native byte
order; view them with ``numpy.frombuffer(data, dtype).reshape(shape)``, or use the
companion package ``zet_native``, which does this for every function.
"""

from collections.abc import Buffer, Callable
from typing import Any

ShouldCancel = Callable[[], Any] | None

def set_thread_limit(limit: int, /) -> int:
    """Set the worker thread limit (0 = automatic); returns the previous setting.

    Values above 2**31 - 1 are stored as 2**31 - 1; kernels use at most 32 threads.
    """

def thread_limit() -> int:
    """Worker threads kernels currently use, the calling thread included (1 to 32)."""

def enter_stage(share: int, /) -> None:
    """Mark the calling thread as a concurrent search stage with a share of the thread limit (percent, 1 to 100)."""

def leave_stage() -> None:
    """Unmark the calling thread; its stage no longer shares the thread limit."""

def build_aabb_tree(
    vertices: Buffer,
    triangles: Buffer,
    leaf_size: int,
    should_cancel: ShouldCancel,
    cancel_check_interval: int,
    /,
) -> tuple[bytes, bytes, bytes, bytes]:
    """Build a compact deterministic AABB tree.

    vertices: float64 (n, 3); triangles: uint32 (m, 3). Returns (node_min, node_max,
    node_meta, order): frombuffer as float64 (k, 3), float64 (k, 3), int32 (k, 5) and
    uint32 (m,). Raises InterruptedError when should_cancel answers true.
    """

def clipped_overlap_areas(subject: Buffer, clip: Buffer, tolerance: float, /) -> bytes:
    """Overlap areas of planar triangle pairs clipped in 2D.

    subject, clip: float64 (n, 3, 2). Returns float64 (n,): frombuffer(data, float64).
    """
