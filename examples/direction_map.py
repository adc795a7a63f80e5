"""The picture of the search: the sphere of directions as a longitude/latitude map coloured by
the margin against the seat's cones, with the seat's blocked cones and the directions whose
vertex rays run into each obstacle outlined, and the directions the planner tried marked."""

import matplotlib

matplotlib.use("Agg")  # files only, no display

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.colors import TwoSlopeNorm  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

from direction_grid import longitude_latitude  # noqa: E402

OBSTACLE_COLOURS = ["tab:orange", "tab:purple", "tab:brown", "tab:pink"]


def draw_direction_map(path, title, grid, margins, ray_hits, names, marks):
    """Writes the map to path (PNG).

    grid: DirectionGrid; margins: float64 (rows * columns,) against the seat's cones; ray_hits:
    bool (rows * columns, obstacles); names: obstacle names; marks: (label, directions (n, 3),
    style) with style a dict of plot options."""
    shape = (len(grid.latitude), len(grid.longitude))
    fig, ax = plt.subplots(figsize=(9.0, 4.9), dpi=90, layout="constrained")
    low = min(float(margins.min()), -1e-3)
    high = max(float(margins.max()), 1e-3)
    image = ax.pcolormesh(grid.longitude, grid.latitude, margins.reshape(shape), cmap="RdYlGn",
                          norm=TwoSlopeNorm(0.0, low, high), shading="gouraud", rasterized=True)
    fig.colorbar(image, ax=ax, shrink=0.85, pad=0.01, label="margin against the seat's cones")
    ax.contour(grid.longitude, grid.latitude, margins.reshape(shape), levels=[0.0], colors="black",
               linewidths=1.2)
    legend = [Line2D([], [], color="black", lw=1.2, label="seat: blocked cones")]
    for k, name in enumerate(names):
        colour = OBSTACLE_COLOURS[k % len(OBSTACLE_COLOURS)]
        hit = ray_hits[:, k].reshape(shape).astype(float)
        if 0 < hit.sum() < hit.size:
            ax.contour(grid.longitude, grid.latitude, hit, levels=[0.5], colors=colour, linewidths=1.6,
                       linestyles="--")
            legend.append(Line2D([], [], color=colour, lw=1.6, ls="--", label=f"rays run into the {name}"))
    for label, direction, style in marks:
        lon, lat = longitude_latitude(direction)
        ax.plot(lon, lat, linestyle="none", **style)
        legend.append(Line2D([], [], linestyle="none", label=label, **style))
    ax.set(xlim=(-180, 180), ylim=(-90, 90), xticks=range(-180, 181, 45), yticks=range(-90, 91, 30),
           xlabel="longitude (degrees from +x towards +y)", ylabel="latitude (degrees above the xy plane)")
    ax.set_title(title, fontsize=10)
    ax.legend(handles=legend, loc="lower left", fontsize=7.5, framealpha=0.9)
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)
