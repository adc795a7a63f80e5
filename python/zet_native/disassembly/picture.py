"""The plan as a picture: one panel per step, the parts still in place in grey, the leaving
part highlighted, its direction as an arrow (matplotlib, imported only here)."""

import importlib
from collections.abc import Mapping
from pathlib import Path
from typing import Any

import numpy as np

from .parts import Mesh

MAX_TRIANGLES = 2500  # drawn per part; larger meshes are thinned evenly


def draw_plan(path: str | Path, plan: dict[str, Any], parts: Mapping[str, Mesh], title: str | None = None) -> None:
    """``plan`` as ``Plan.to_json()`` gives it; ``parts`` name -> (vertices, triangles)."""
    # Untyped handles: matplotlib is an optional extra, and its 3-D axes are not in its stubs.
    matplotlib: Any = importlib.import_module("matplotlib")

    matplotlib.use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")
    Poly3DCollection: Any = importlib.import_module("mpl_toolkits.mplot3d.art3d").Poly3DCollection

    steps = plan["steps"]
    panels = max(1, len(steps) + (1 if plan["remaining"] else 0))
    columns = min(4, panels)
    rows = -(-panels // columns)
    fig = plt.figure(figsize=(3.6 * columns, 3.4 * rows))
    every = np.vstack([v for v, _ in parts.values()])
    low, high = every.min(axis=0), every.max(axis=0)
    reach = float(np.linalg.norm(high - low))
    in_place = list(plan["parts"])
    for k in range(panels):
        ax = fig.add_subplot(rows, columns, k + 1, projection="3d")
        step = steps[k] if k < len(steps) else None
        for name in in_place:
            v, t = parts[name]
            if len(t) > MAX_TRIANGLES:
                t = t[np.linspace(0, len(t) - 1, MAX_TRIANGLES).astype(np.int64)]
            leaving = step is not None and name == step["part"]
            held = step is None and name in plan["remaining"]
            colour = "tab:orange" if leaving else ("tab:red" if held else "lightgrey")
            ax.add_collection3d(Poly3DCollection(v[t], facecolor=colour, edgecolor="none",
                                                 alpha=0.9 if leaving or held else 0.25))
        if step is not None:
            v = parts[step["part"]][0]
            d = np.asarray(step["direction"])
            # From the side of the part's box it leaves by, so that the arrow is not hidden inside.
            half = 0.5 * float(np.abs(v.max(axis=0) - v.min(axis=0)) @ np.abs(d))
            start = (v.min(axis=0) + v.max(axis=0)) / 2 + d * half
            ax.quiver(*start, *(d * 0.3 * reach), color="black", linewidth=2)
            ax.set_title(f"{k + 1}. {step['part']} {step.get('label', '')}", fontsize=9)
            in_place.remove(step["part"])
        else:
            ax.set_title("cannot leave: " + ", ".join(plan["remaining"]), fontsize=9)
        middle, half = (low + high) / 2, 0.55 * (high - low).max()
        ax.set_xlim(middle[0] - half, middle[0] + half)
        ax.set_ylim(middle[1] - half, middle[1] + half)
        ax.set_zlim(middle[2] - half, middle[2] + half)
        ax.set_axis_off()
    # The title keeps a band of its own above the first row, however tall the figure.
    band = 0.45 / fig.get_figheight() if title else 0.0
    if title:
        fig.suptitle(title, y=1 - band / 3)
    fig.tight_layout(rect=(0, 0, 1, 1 - band))
    fig.savefig(path, dpi=90)
    plt.close(fig)
