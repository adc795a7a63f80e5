"""Ctrl-C during long native calls.

While a native call runs with the interpreter lock released, a SIGINT only sets a flag; the
interpreter raises KeyboardInterrupt the next time it runs Python code on the main thread.
Calls that take ``should_cancel`` consult it from the calling thread every few thousand work
units, so a Python callable there is such a moment: ``keep_going`` never asks to stop, but
while it runs the pending KeyboardInterrupt is raised inside it and the native call ends
with that exception. Calls that take no ``should_cancel`` are split into slices instead
(``in_chunks``), with the same effect between two slices.
"""

from __future__ import annotations

from collections.abc import Callable

ShouldCancel = Callable[[], object] | None


def keep_going() -> bool:
    """The default ``should_cancel`` of the companion: never cancels, lets Ctrl-C through."""
    return False


# Items of the first slice of a sliced call (see in_chunks): about a quarter of a second where an
# item is at its costliest on one core; calls up to this size are not sliced at all.
PAIRS_PER_SLICE = 1 << 18  # triangle pair batches (kernel, distance, cones); overlap areas take 4x
POINTS_PER_SLICE = 1 << 16  # winding points
EVALUATIONS_PER_SLICE = 1 << 20  # margins and cap bounds: directions times groups
RAYS_PER_SLICE = 1 << 21  # direction scores: directions times vertex rays
CELLS_PER_SLICE = 1 << 18  # cell bounds: cells times relevant groups
