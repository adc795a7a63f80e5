"""How the planner example words its findings: directions, faces, blockings, violations."""

import numpy as np

AXES = {(1, 0, 0): "+x", (-1, 0, 0): "-x", (0, 1, 0): "+y", (0, -1, 0): "-y", (0, 0, 1): "+z", (0, 0, -1): "-z"}


def vector(d):
    return "(" + ", ".join(f"{x:+.3f}" for x in d) + ")"


def face_name(normal):
    """+x, -z, ... for an axis normal, else the normal itself."""
    rounded = np.round(normal)
    return AXES.get(tuple(int(x) for x in rounded), vector(normal)) if np.allclose(normal, rounded) else vector(normal)


def tilt(d):
    """Degrees between a direction and +z."""
    return float(np.degrees(np.arccos(np.clip(d[2], -1.0, 1.0))))


def blocking_text(name, b):
    """What a removal_check.Blocking says about one obstacle."""
    said = []
    if b.sliding:
        said.append(f"slides along the {name} until t = {b.slides_until:.3f} ({b.sliding} pairs)")
    if b.meeting:
        said.append(f"meets the {name} at t = {b.enter:.3f} near {vector(b.where)} ({b.meeting} pairs)")
    return ", ".join(said)


def violation_text(v):
    """A removal_check.Violation in words."""
    return (f"part triangle {v.part_triangle} and {v.obstacle} triangle {v.obstacle_triangle} at t = "
            f"{v.t_lo:.3f}..{v.t_hi:.3f}, distance {v.distance:.4f}")
