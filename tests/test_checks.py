"""clipped_overlap_areas against a clipper written here and a convex intersection; hand cases; arguments."""

import numpy as np
import pytest
from support import refused

import _zet_native as zn


def clip_area(subject, clip, tolerance):
    """The subject clipped by the clip's three edge half-planes, with the kernel's operations in order."""
    (c0x, c0y), (c1x, c1y), (c2x, c2y) = clip
    sigma = 1.0 if (c1x - c0x) * (c2y - c0y) - (c2x - c0x) * (c1y - c0y) >= 0 else -1.0
    poly = [tuple(p) for p in subject]
    for j in range(3):
        (ax, ay), (bx, by) = clip[j], clip[(j + 1) % 3]
        side = [sigma * ((bx - ax) * (y - ay) - (by - ay) * (x - ax)) for x, y in poly]
        out, prev, d_prev = [], poly[-1] if poly else None, side[-1] if poly else None
        for cur, d_cur in zip(poly, side):
            if (d_prev >= -tolerance) != (d_cur >= -tolerance) and \
                    abs(d_prev - d_cur) > 2.220446049250313e-16 and len(out) < 16:
                t = d_prev / (d_prev - d_cur)
                out.append((prev[0] + (cur[0] - prev[0]) * t, prev[1] + (cur[1] - prev[1]) * t))
            if d_cur >= -tolerance and len(out) < 16:
                out.append(cur)
            prev, d_prev = cur, d_cur
        poly = out
    twice = 0.0
    for k, (x, y) in enumerate(poly if len(poly) >= 3 else []):
        twice += x * poly[(k + 1) % len(poly)][1] - y * poly[(k + 1) % len(poly)][0]
    return 0.5 * abs(twice)


def reference(subject, clip, tolerance=0.0):
    return np.array([clip_area(s, c, tolerance) for s, c in zip(subject.tolist(), clip.tolist())])


def areas(subject, clip, tolerance=0.0):
    return np.frombuffer(zn.clipped_overlap_areas(subject, clip, tolerance), np.float64)


def convex_overlap(a, b):
    """Another method: corners inside the other triangle and edge crossings, ordered by angle."""
    def cross(u, v):
        return u[0] * v[1] - u[1] * v[0]

    def inside(p, tri):
        sides = [cross(tri[(i + 1) % 3] - tri[i], p - tri[i]) for i in range(3)]
        return min(sides) >= -1e-12 or max(sides) <= 1e-12
    points = [p for p in a if inside(p, b)] + [p for p in b if inside(p, a)]
    for p, r in ((a[i], a[(i + 1) % 3] - a[i]) for i in range(3)):
        for q, s in ((b[j], b[(j + 1) % 3] - b[j]) for j in range(3)):
            if abs(cross(r, s)) > 1e-14:
                t, u = cross(q - p, s) / cross(r, s), cross(q - p, r) / cross(r, s)
                points += [p + t * r] if 0 <= t <= 1 and 0 <= u <= 1 else []
    if len(points) < 3:
        return 0.0
    pts = np.array(points)
    pts = pts[np.argsort(np.arctan2(*(pts - pts.mean(axis=0)).T[::-1]))]
    return 0.5 * abs(np.sum(pts[:, 0] * np.roll(pts[:, 1], -1) - pts[:, 1] * np.roll(pts[:, 0], -1)))


def random_pairs(n, seed):
    """Mostly overlapping pairs with lattice pairs, equal triangles and non-finite coordinates mixed in."""
    rng = np.random.default_rng(seed)
    subject, clip = rng.uniform(0, 1, (2, n, 3, 2))
    lattice = rng.random(n) < 0.3
    subject[lattice], clip[lattice] = rng.integers(0, 3, (2, lattice.sum(), 3, 2))
    same = rng.random(n) < 0.05
    clip[same] = subject[same]
    special = rng.random((n, 3, 2)) < 0.002
    subject[special] = np.resize([np.nan, np.inf, -np.inf, 1e300], special.sum())
    # Neighbouring side values one rounding unit apart (no crossing point is added), and two.
    tiny = 2.0**-53
    crafted = [[[0.2, tiny], [0.4, -tiny], [0.3, 0.5]], [[0.2, tiny], [0.4, -3 * tiny], [0.3, 0.5]]]
    return np.concatenate([subject, crafted]), np.concatenate([clip, [[[0, 0], [1, 0], [0, 1]]] * 2])


@pytest.mark.parametrize("tolerance", [0.0, 1e-9, 0.01, -0.01, 0.5, np.inf, np.nan])
def test_bit_exact_against_reference_clipper(tolerance):
    subject, clip = random_pairs(3000, 1)
    assert np.array_equal(areas(subject, clip, tolerance), reference(subject, clip, tolerance), equal_nan=True)


def test_agrees_with_convex_intersection():
    subject, clip = np.random.default_rng(2).uniform(0, 1, (2, 300, 3, 2))
    expected = [convex_overlap(a, b) for a, b in zip(subject, clip)]
    assert np.allclose(areas(subject, clip), expected, rtol=1e-9, atol=1e-12)


UNIT = [[0, 0], [1, 0], [0, 1]]


@pytest.mark.parametrize("subject, clip, tolerance, expected", [
    ([[0, 0], [2, 0], [0, 1]], [[0, 0], [2, 0], [0, 1]], 0.0, 1.0),  # identical
    ([[0, 0], [0, 1], [2, 0]], [[0, 0], [2, 0], [0, 1]], 0.0, 1.0),  # subject clockwise
    ([[0, 0], [2, 0], [0, 1]], [[2, 0], [0, 0], [0, 1]], 0.0, 1.0),  # clip clockwise
    ([[2, 0], [0, 1], [0, 0]], [[0, 1], [0, 0], [2, 0]], 0.0, 1.0),  # both, rotated
    (UNIT, [[2, 2], [3, 2], [2, 3]], 0.0, 0.0),                       # disjoint
    (UNIT, [[1, 0], [1, 1], [0, 1]], 0.0, 0.0),                       # touching along an edge
    ([[0.1, 0.1], [0.2, 0.1], [0.1, 0.2]], UNIT, 0.0, 0.005),         # subject inside clip
    ([[0, 0], [2, 0], [0, 2]], UNIT, 0.0, 0.5),                       # clip inside subject
    # (1.05, 0) has side value -0.05 at the hypotenuse: inside once the tolerance covers it.
    ([[0, 0], [1.05, 0], [0, 1]], UNIT, 0.04, 0.5),
    ([[0, 0], [1.05, 0], [0, 1]], UNIT, 0.06, 0.525),
    ([[0, 0], [2, 0], [0, 2]], [[0, 0], [1, 1], [2, 2]], 0.0, 0.0),   # collinear clip
    ([[0, 0], [1, 1], [2, 2]], UNIT, 0.0, 0.0),                       # collinear subject
])
def test_hand_computed_polygons(subject, clip, tolerance, expected):
    got = areas(np.array(subject, float)[None], np.array(clip, float)[None], tolerance)[0]
    assert got >= 0.0 and got == pytest.approx(expected, rel=1e-12, abs=1e-15)


S, C = random_pairs(5, 5)


@pytest.mark.parametrize("args, error, message", [
    ((S[:4], np.zeros((5, 2, 2)), 0.0), ValueError, "clip has an invalid shape"),
    ((S[:4], C, 0.0), ValueError, "subject and clip must have the same length"),
])
def test_check_order(args, error, message):
    refused(zn.clipped_overlap_areas, args, error, message, ("subject", "clip"))
