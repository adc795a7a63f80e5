"""The assembly that the planner example takes apart, generated in code.

A part sits in a blind pocket of a block, pushed into the pocket's (-x, -y) corner: it rests on
the pocket floor and touches the -x and -y walls face to face, with room (GAP) towards +x and
+y. A lid on its own (held from elsewhere; it is just another fixed mesh) hangs above, offset
towards -x so that it covers a strip of the part: straight up is blocked by the lid, and the
pocket's walls allow a tilt whose tangent is at most GAP / DEPTH towards +x and towards +y. The
part can only leave by a tilt towards +x large enough to pass the lid's edge and small enough
to clear the pocket's rim.

The part is a generated peg, or any mesh (an OBJ file) scaled to the same width; the block and
the lid are sized around it.
"""

from typing import NamedTuple

import numpy as np
from meshes import lattice_solid

WIDTH = 1.0  # the part's larger horizontal extent after scaling
GAP = 0.6  # room between the part and the pocket's +x and +y walls
DEPTH = 1.0  # depth of the pocket
RIM = 1.2  # block material around the pocket
LID_ABOVE = 0.8  # gap between the part's top and the lid
LID_OVERLAP = 0.3  # strip of the part's width that the lid covers
STEP = 0.25  # largest lattice cell of the generated solids


class Scene(NamedTuple):
    title: str
    part: tuple  # (vertices float64 (n, 3), triangles uint32 (m, 3))
    obstacles: dict  # name -> (vertices, triangles), fixed meshes
    removal_length: float  # a translation of this length takes the part clear of every obstacle


def refined(breaks, step):
    """The sorted break values with points inserted so that no interval is longer than step."""
    breaks = np.unique(breaks)
    points = [breaks[:1]]
    for a, b in zip(breaks[:-1], breaks[1:]):
        n = max(1, int(np.ceil((b - a) / step - 1e-9)))
        points.append(a + (b - a) * np.arange(1, n + 1) / n)
    points = np.concatenate(points)
    points[-1] = breaks[-1]
    return points


def box_solid(boxes, holes=(), step=STEP):
    """The surface of a union of boxes less some holes (each box a (low, high) corner pair), on one
    lattice through every box face, refined so no cell edge is longer than step."""
    corners = [c for box in (*boxes, *holes) for c in box]
    axes = [refined([c[k] for c in corners], step) for k in range(3)]
    centres = np.stack(np.meshgrid(*[(a[1:] + a[:-1]) / 2 for a in axes], indexing="ij"), -1)
    inside = lambda box: np.all((centres > box[0]) & (centres < box[1]), axis=-1)  # noqa: E731
    filled = np.zeros(centres.shape[:3], dtype=bool)
    for box in boxes:
        filled |= inside(box)
    for box in holes:
        filled &= ~inside(box)
    return lattice_solid(*axes, filled)


def peg(step=STEP):
    """A square peg, WIDTH wide and 1.5 WIDTH tall."""
    return box_solid([((0.0, 0.0, 0.0), (WIDTH, WIDTH, 1.5 * WIDTH))], step=step)


def seated(part, title, step=STEP):
    """The scene around a part mesh: scaled to WIDTH, seated in the pocket's corner, lid above.

    The part's smallest coordinates land exactly on the pocket's floor and its -x and -y walls,
    so its lowest, leftmost and frontmost faces or vertices touch them with no gap.
    """
    vertices, triangles = part
    low, high = vertices.min(axis=0), vertices.max(axis=0)
    scale = WIDTH / max(high[0] - low[0], high[1] - low[1])
    corner = np.array([-0.8, -0.8, 0.5])  # the pocket's (-x, -y) floor corner
    vertices = (vertices - low) * scale + corner
    extent = (high - low) * scale
    top = corner[2] + DEPTH
    pocket = (corner, (corner[0] + extent[0] + GAP, corner[1] + extent[1] + GAP, top + 1.0))
    block = ((pocket[0][0] - RIM, pocket[0][1] - RIM, 0.0), (pocket[1][0] + RIM, pocket[1][1] + RIM, top))
    lid_bottom = corner[2] + extent[2] + LID_ABOVE
    lid = ((block[0][0] - 0.5, block[0][1], lid_bottom),
           (corner[0] + LID_OVERLAP * extent[0], block[1][1], lid_bottom + 0.2))
    obstacles = {"block": box_solid([block], [pocket], step), "lid": box_solid([lid], step=step)}
    everything = np.vstack([vertices] + [v for v, _ in obstacles.values()])
    length = float(np.linalg.norm(everything.max(axis=0) - everything.min(axis=0)))
    return Scene(title, (vertices, np.asarray(triangles, dtype=np.uint32)), obstacles, length)


def peg_in_block(step=STEP):
    return seated(peg(step), "a square peg in the corner of a pocket, a lid above", step)
