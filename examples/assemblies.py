"""Multi-part assemblies generated in code, with known ways apart, for the disassembly
planner's demo, tests and benchmark. Every part is a closed lattice surface (a union of
boxes less some holes, scene.box_solid); parts touch face to face where they meet.

Each builder returns a dict name -> (vertices float64 (n, 3), triangles uint32 (m, 3)).
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from scene import box_solid  # noqa: E402


def _box(low, high):
    return (tuple(map(float, low)), tuple(map(float, high)))


def box_with_lid(step=1.0):
    """An open box and a lid whose skirt hugs the box's walls: the lid can only go up, the box
    only down; the lid is the smaller part, so it leaves first, upwards."""
    box = box_solid([_box((0, 0, 0), (2, 2, 1))], [_box((0.2, 0.2, 0.2), (1.8, 1.8, 2))], step)
    lid = box_solid([_box((-0.2, -0.2, 0.7), (2.2, 2.2, 1.2))], [_box((0, 0, 0.5), (2, 2, 1))], step)
    return {"box": box, "lid": lid}


def channel_stack(blocks=3, step=1.0):
    """Blocks stacked in a U-channel whose end walls stop below the top block: the top block
    leaves up or along the channel, the ones below only up, top down."""
    height = 0.2 + 0.4 * blocks
    channel = box_solid([_box((0, 0, 0), (3, 1.4, height))],
                        [_box((0.2, 0.2, 0.2), (2.8, 1.2, height + 1)),
                         _box((-1, 0.2, height - 0.4), (4, 1.2, height + 1))], step)
    parts = {"channel": channel}
    for k in range(blocks):
        z = 0.2 + 0.4 * k
        parts[f"block-{k + 1}"] = box_solid([_box((0.5, 0.2, z), (2.5, 1.2, z + 0.4))], step=step)
    return parts


def pinned_peg(step=1.0):
    """A peg standing in a blind hole of a base, held by a cross pin through both: the pin goes
    first (along its axis), then the peg (up)."""
    base = box_solid([_box((0, 0, 0), (2, 2, 1.2))],
                     [_box((0.6, 0.6, 0.3), (1.4, 1.4, 2)), _box((-1, 0.9, 0.7), (3, 1.1, 0.9))], step)
    peg = box_solid([_box((0.6, 0.6, 0.3), (1.4, 1.4, 2.0))], [_box((0.5, 0.9, 0.7), (1.5, 1.1, 0.9))], step)
    pin = box_solid([_box((-0.3, 0.9, 0.7), (2.3, 1.1, 0.9))], step=step)
    return {"base": base, "peg": peg, "pin": pin}


def captive_ring(step=1.0):
    """A ring around a bar whose end caps are wider than the ring's hole (bar and caps one
    part): neither can leave; a loose block beside them can."""
    bar = box_solid([_box((0, 0.8, 0.8), (4, 1.2, 1.2)), _box((0, 0, 0), (0.4, 2, 2)), _box((3.6, 0, 0), (4, 2, 2))],
                    step=step)
    ring = box_solid([_box((1.6, 0.4, 0.4), (2.4, 1.6, 1.6))], [_box((1, 0.7, 0.7), (3, 1.3, 1.3))], step)
    block = box_solid([_box((5, 0, 0), (6, 1, 1))], step=step)
    return {"bar": bar, "block": block, "ring": ring}


def pressed_peg(interference, step=1.0):
    """A square peg pressed through a square hole of a plate, ``interference`` wider than the
    hole on every side (the overlap of the two along the whole slide)."""
    plate = box_solid([_box((0, 0, 0), (2, 2, 0.4))], [_box((0.7, 0.7, -1), (1.3, 1.3, 1))], step)
    e = interference
    peg = box_solid([_box((0.7 - e, 0.7 - e, -0.5), (1.3 + e, 1.3 + e, 0.9))], step=step)
    return {"peg": peg, "plate": plate}


def grid_of_blocks(n=4, cells=12):
    """n x n x n touching cubes (each a lattice of cells^2 squares per face, about 12 cells^2
    triangles): the planner takes them apart layer by layer."""
    parts = {}
    for i in range(n):
        for j in range(n):
            for k in range(n):
                low = np.array([i, j, k], dtype=float)
                parts[f"cube-{i}{j}{k}"] = box_solid([_box(low, low + 1)], step=1.0 / cells)
    return parts


ALL = {"box-with-lid": box_with_lid, "channel-stack": channel_stack, "pinned-peg": pinned_peg,
       "captive-ring": captive_ring}


def write_obj_folder(folder, parts):
    """Each part as an OBJ file named after it, in ``folder`` (made when missing)."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for name, (v, t) in parts.items():
        lines = [f"v {x!r} {y!r} {z!r}" for x, y, z in v.tolist()]
        lines += [f"f {a + 1} {b + 1} {c + 1}" for a, b, c in t.tolist()]
        (folder / f"{name}.obj").write_text("\n".join(lines) + "\n")
    return folder
