"""The velocity of the path functions: any speed gives a sound clearance search. (A velocity
that is not finite is refused: the argument tables of test_collision_path and
test_distance_clearance.)"""


import numpy as np
import pytest

import _zet_native as zn
import zet_native

UNDER = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]])
OBSTACLE = (UNDER, np.array([[0, 1, 2]], np.uint32))


def gap_of_pass(over):
    """Closest approach of a triangle sliding along x over the triangle UNDER, computed
    from the geometry of the case: both lie in planes z = const and their xy shadows
    overlap at some point of the path, so the gap is the height difference."""
    return float(over[:, 2].min() - UNDER[:, 2].max())


@pytest.mark.parametrize("speed", [0.25, 1.0, 1.5, 2.0, 10.0])
def test_clearance_found_at_every_speed(speed):
    # A triangle passing 0.25 above another along 6 units of x, starting 3 units before it.
    over = UNDER + (-3.0, 0.0, 0.25)
    assert gap_of_pass(over) == 0.25
    mesh = (over, np.array([[0, 1, 2]], np.uint32))
    distance = 6.0
    velocity = np.array([speed, 0.0, 0.0])
    result = zn.clearance_pairs(*mesh, *OBSTACLE, np.zeros((1, 2), np.uint32), np.zeros(1), velocity,
                                distance / speed, 0.3, 0.0, 1e-12, 1e-9, 40, 0, 2**62, 4096, None)
    status, searched, _, unresolved, records = result
    witnesses = np.frombuffer(records, zet_native.CLEARANCE_WITNESS_DTYPE)
    assert (status, searched, unresolved, len(witnesses)) == (0, 1, 0, 1)
    w = witnesses[0]
    assert w["upper"] < 0.3 and w["t_lo"] <= w["t"] <= w["t_hi"]
    # The witness position can be closer than the clearance only where the shadows of the
    # two triangles come within 0.3 - 0.25 of each other along x.
    x = -3.0 + w["t"] * speed
    assert -1.3 < x < 1.3


@pytest.mark.parametrize("speed", [0.5, 1.0, 3.0, 100.0])
def test_clear_passes_stay_clear_at_every_speed(speed):
    over = UNDER + (-3.0, 0.0, 0.5)  # 0.5 above: clear of 0.3 at any speed
    status, _, _, unresolved, records = zn.clearance_pairs(
        over, OBSTACLE[1], *OBSTACLE, np.zeros((1, 2), np.uint32), np.zeros(1), np.array([speed, 0.0, 0.0]),
        6.0 / speed, 0.3, 0.0, 1e-12, 1e-6, 30, 0, 2**62, 4096, None)
    assert (status, unresolved, records) == (0, 0, b"")
