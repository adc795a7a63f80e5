"""The picture of the search: the sphere of directions as a longitude/latitude map coloured by
the margin against the seat's cones, with the seat's blocked cones and the directions whose
vertex rays run into each obstacle outlined, and the directions the planner tried marked. A
second panel enlarges the region around the free directions, which is small on the sphere."""

import matplotlib

matplotlib.use("Agg")  # files only, no display

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from direction_grid import longitude_latitude  # noqa: E402
from matplotlib.colors import BoundaryNorm  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402

OBSTACLE_COLOURS = ["tab:orange", "tab:purple", "tab:brown", "tab:pink"]
ZOOM_PADDING = 12.0  # degrees around the free directions in the enlarged panel


def margin_levels(margins):
    """Colour bands: eight below zero and eight above, so zero is always a band edge (flat
    colour areas also keep the PNG small)."""
    low, high = min(float(margins.min()), -1e-3), max(float(margins.max()), 1e-3)
    return np.concatenate([np.linspace(low, 0.0, 9)[:-1], np.linspace(0.0, high, 9)])


def draw_layers(ax, grid, margins, ray_hits, names, marks, levels):
    shape = (len(grid.latitude), len(grid.longitude))
    field = margins.reshape(shape)
    norm = BoundaryNorm(levels, plt.get_cmap("RdYlGn").N)
    image = ax.contourf(grid.longitude, grid.latitude, field, levels=levels, cmap="RdYlGn", norm=norm)
    ax.contour(grid.longitude, grid.latitude, field, levels=[0.0], colors="black", linewidths=1.2)
    handles = [Line2D([], [], color="black", lw=1.2, label="seat: blocked cones (margin 0)")]
    for k, name in enumerate(names):
        colour = OBSTACLE_COLOURS[k % len(OBSTACLE_COLOURS)]
        hit = ray_hits[:, k].reshape(shape).astype(float)
        if 0 < hit.sum() < hit.size:
            ax.contour(grid.longitude, grid.latitude, hit, levels=[0.5], colors=colour, linewidths=1.6,
                       linestyles="--")
            handles.append(Line2D([], [], color=colour, lw=1.6, ls="--", label=f"rays run into the {name}"))
    for label, directions, style in marks:
        lon, lat = longitude_latitude(directions)
        ax.plot(lon, lat, linestyle="none", **style)
        handles.append(Line2D([], [], linestyle="none", label=label, **style))
    return image, handles


def zoom_box(directions):
    """(lon_min, lon_max, lat_min, lat_max) around directions, padded, or None without any."""
    if not len(directions):
        return None
    lon, lat = longitude_latitude(directions)
    return (max(lon.min() - ZOOM_PADDING, -180.0), min(lon.max() + ZOOM_PADDING, 180.0),
            max(lat.min() - ZOOM_PADDING, -90.0), min(lat.max() + ZOOM_PADDING, 90.0))


def draw_direction_map(path, title, grid, margins, ray_hits, names, marks, free):
    """Writes the map to path (PNG).

    grid: DirectionGrid; margins: float64 (rows * columns,) against the seat's cones; ray_hits:
    bool (rows * columns, obstacles); names: obstacle names; marks: (label, directions (n, 3),
    style) with style a dict of plot options; free: the directions (n, 3) the enlarged panel
    shows."""
    box = zoom_box(free)
    panels = 2 if box else 1
    fig, axes = plt.subplots(1, panels, figsize=(12.0 if box else 8.5, 4.6), dpi=80, layout="constrained",
                             gridspec_kw={"width_ratios": [1.7, 1.0][:panels]}, squeeze=False)
    levels = margin_levels(margins)
    for k, ax in enumerate(axes[0]):
        image, handles = draw_layers(ax, grid, margins, ray_hits, names, marks, levels)
        ax.set_xlabel("longitude (degrees from +x towards +y)")
        if k == 0:
            ax.set(xlim=(-180, 180), ylim=(-90, 90), xticks=range(-180, 181, 45), yticks=range(-90, 91, 30),
                   ylabel="latitude (degrees above the xy plane)")
            ax.set_title(title, fontsize=10)
            ax.legend(handles=handles, loc="lower left", fontsize=7.5, framealpha=0.9)
        else:
            ax.set(xlim=box[:2], ylim=box[2:])
            ax.set_title("enlarged: the free directions, between the obstacles' ray outlines", fontsize=10)
    fig.colorbar(image, ax=axes[0].tolist(), shrink=0.85, pad=0.01, label="margin against the seat's cones",
                 format="%.2f")
    fig.savefig(path, metadata={"Software": None})
    plt.close(fig)
