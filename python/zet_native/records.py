"""numpy dtypes of the packed records that the native module returns."""

from __future__ import annotations

import numpy as np

# One row of node_meta: left child (negative for a leaf), right child, leaf start in order,
# triangle count, reserved.
NODE_META_DTYPE = np.dtype(
    [("left", "=i4"), ("right", "=i4"), ("start", "=i4"), ("count", "=i4"), ("reserved", "=i4")]
)

# A triangle pair in contact along a path (48 bytes): the contact window [enter, exit] (the
# triangles come within the kernel's tolerance of each other), whether they truly overlap
# (strict, 1.0 or 0.0) and the window of true overlap [strict_enter, strict_exit].
CONTACT_DTYPE = np.dtype(
    [("moving_triangle", "=u4"), ("obstacle_triangle", "=u4"), ("enter", "=f8"), ("exit", "=f8"),
     ("strict", "=f8"), ("strict_enter", "=f8"), ("strict_exit", "=f8")]
)

# A triangle pair whose contact window was found with some axes untested (24 bytes).
UNCERTAIN_WINDOW_DTYPE = np.dtype(
    [("moving_triangle", "=u4"), ("obstacle_triangle", "=u4"), ("enter", "=f8"), ("exit", "=f8")]
)

# One result of the translating triangle pair kernel: status (CcdStatus), contact window,
# strict flag and window, the number of axes tested, the axes skipped, reason (CcdReason).
CCD_RESULT_DTYPE = np.dtype(
    [("status", "=i4"), ("enter", "=f8"), ("exit", "=f8"), ("strict", "=i4"),
     ("strict_enter", "=f8"), ("strict_exit", "=f8"), ("axis_count", "=i4"),
     ("skipped_axes", "=i4"), ("reason", "=i4")]
)

# The conservative distance of one triangle pair (72 bytes): the bracket [lower, upper] of the
# distance, the closest points on the moving and the obstacle triangle (one point where they
# cross each other), and the feature pair or crossing edge that gave it (DistanceFeature, a
# float64 holding a small integer).
DISTANCE_DTYPE = np.dtype(
    [("lower", "=f8"), ("upper", "=f8"), ("point_a", "=f8", (3,)), ("point_b", "=f8", (3,)),
     ("feature", "=f8")]
)

# A candidate pair whose clearance search found a violation (96 bytes): the pair's position in
# the candidate array, whether everything after the witness interval was proved clear, the
# witness interval and its midpoint t, the distance bracket at t and the closest points (on
# the moving triangle at its position at t, and on the obstacle triangle).
CLEARANCE_WITNESS_DTYPE = np.dtype(
    [("pair_index", "=u4"), ("clear_after", "=u4"), ("t_lo", "=f8"), ("t_hi", "=f8"), ("t", "=f8"),
     ("lower", "=f8"), ("upper", "=f8"), ("point_a", "=f8", (3,)), ("point_b", "=f8", (3,))]
)
