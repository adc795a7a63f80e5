"""The sphere of directions as a longitude/latitude grid: the planner's candidate directions,
their margins against the seat's cones, and how much room a free direction has around it."""

from typing import NamedTuple

import numpy as np

import zet_native


class DirectionGrid(NamedTuple):
    longitude: np.ndarray  # float64 (columns,), degrees, cell centres from -180 to 180
    latitude: np.ndarray  # float64 (rows,), degrees, cell centres from -90 to 90
    directions: np.ndarray  # float64 (rows * columns, 3), unit, row by row


def direction_grid(step_degrees):
    longitude = np.arange(-180.0, 180.0, step_degrees) + step_degrees / 2
    latitude = np.arange(-90.0, 90.0, step_degrees) + step_degrees / 2
    lat, lon = np.meshgrid(np.radians(latitude), np.radians(longitude), indexing="ij")
    directions = np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], -1)
    return DirectionGrid(longitude, latitude, directions.reshape(-1, 3))


def longitude_latitude(directions):
    """Degrees (longitude, latitude) of unit directions (n, 3)."""
    d = np.atleast_2d(directions)
    return np.degrees(np.arctan2(d[:, 1], d[:, 0])), np.degrees(np.arcsin(np.clip(d[:, 2], -1.0, 1.0)))


def smallest_margins(directions, groups, block=1024):
    """Each direction's smallest margin over every group (a block of directions at a time, so
    the (directions, groups) table stays small)."""
    everything = np.arange(len(groups.kinds))
    return np.concatenate([zet_native.margins(directions[i:i + block], everything, groups).min(axis=1)
                           for i in range(0, len(directions), block)])


def room(directions, free):
    """For each free direction, the angle (radians) to the nearest direction that is not free:
    how far the planner could be off and still be on a free direction of the grid."""
    inside, outside = directions[free], directions[~free]
    if not len(outside):
        return np.full(len(inside), np.pi)
    nearest = np.max(inside @ outside.T, axis=1)
    return np.arccos(np.clip(nearest, -1.0, 1.0))
