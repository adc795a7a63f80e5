"""How deep two triangles overlap along a straight path: the largest, over a window of the
path, of the smallest translation that separates them.

For two triangles A (moving, at A + t d) and B, the overlap along a unit axis u is
min(maxA + s t - minB, maxB - minA - s t) with s = u . d, and the smallest separating
translation is the smallest of these overlaps over the axes that can separate two
triangles: the two face normals and the nine edge-by-edge cross products (the face normals
of their Minkowski difference). A negative value means they are apart.

As a function of t it is the minimum of lines, so it is concave, and its largest value over
a window [lo, hi] is its value at the global maximiser clamped into the window. That
maximiser is where a rising and a falling line cross at the lowest height (the optimum of a
two-variable linear programme sits on one rising and one falling constraint); flat lines
(static axes) only cap the value, which the final evaluation includes.
"""

import numpy as np
import numpy.typing as npt

BLOCK = 4096  # contacts per block: bounds the (block, 11, 11) crossing table


def lengths(x: np.ndarray) -> np.ndarray:
    """The lengths of the rows of x (..., 3), as np.linalg.norm along the last axis computes them
    (the three squares added in order), without numpy's reduction over an axis of three, which
    costs more than the arithmetic on the small arrays of a plan."""
    squares = x * x
    length: np.ndarray = np.sqrt(squares[..., 0] + squares[..., 1] + squares[..., 2])
    return length


def _dots(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Dot products along the last axis (broadcast), added in order: (u0 v0 + u1 v1) + u2 v2.
    Not ``@``, although that is about twice as quick here: a matrix product may fuse and order
    the products its own way (the BLAS kernel is chosen for the processor at run time), so
    the depths' last bits, which a plan reports, would depend on the machine."""
    dots: np.ndarray = u[..., 0] * v[..., 0]
    dots += u[..., 1] * v[..., 1]
    dots += u[..., 2] * v[..., 2]
    return dots


def of_three(pick: np.ufunc, x: np.ndarray) -> np.ndarray:
    """``pick`` (np.maximum or np.minimum) over the last axis of three, in order: the values of
    ``x.max(axis=-1)`` (or min) bit for bit, NaN and signed zeros alike, without numpy's
    reduction over a short axis, which costs ten times as much on the arrays of a plan."""
    picked: np.ndarray = pick(pick(x[..., 0], x[..., 1]), x[..., 2])
    return picked


def cross(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Cross products along the last axis (broadcast), each component u_i v_j - u_j v_i as
    numpy's own products and differences, component by component, in a few calls whatever
    the shape (on the columns in place, with no gathered copies of the operands)."""
    # In row order (C-contiguous), as the products and reductions that follow expect: their
    # summation order, and so their last bits, may depend on the layout.
    out = np.empty(np.broadcast_shapes(u.shape, v.shape), dtype=np.result_type(u, v))
    for k, (i, j) in enumerate(((1, 2), (2, 0), (0, 1))):
        np.subtract(u[..., i] * v[..., j], u[..., j] * v[..., i], out=out[..., k])
    return out


# The eleven separating axes of two triangles as cross products u x v of corner differences,
# with the corners of both triangles side by side (A's 0-2, B's 3-5): the two face normals
# (1 - 0) x (2 - 0), then A's edge i by B's edge j (edge k runs from corner k to k + 1).
_U_TO = np.array([1, 4] + [(i + 1) % 3 for i in range(3) for _ in range(3)])
_U_FROM = np.array([0, 3] + [i for i in range(3) for _ in range(3)])
_V_TO = np.array([2, 5] + [3 + (j + 1) % 3 for _ in range(3) for j in range(3)])
_V_FROM = np.array([0, 3] + [3 + j for _ in range(3) for j in range(3)])


def _axes(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Unit separating axes (n, 11, 3) of triangle pairs and which of them are usable: the two
    face normals, then the nine edge-by-edge cross products. All eleven come from one cross
    product of stacked rows, so that a few pairs cost a few numpy calls rather than dozens."""
    corners = np.concatenate([a, b], axis=1)
    u = corners[:, _U_TO] - corners[:, _U_FROM]
    v = corners[:, _V_TO] - corners[:, _V_FROM]
    axes = cross(u, v)
    norms = lengths(axes)
    edges = np.concatenate([u[:, 2::3], v[:, 2:5]], axis=1)  # A's three edges, then B's
    longest = lengths(edges).max(axis=1)
    usable = norms > 1e-12 * longest[:, None] ** 2  # parallel edges give no axis
    return axes / np.where(usable, norms, 1.0)[..., None], usable


def _lines(a: np.ndarray, b: np.ndarray, direction: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Intercepts and slopes (n, 22) of the overlap lines: of each axis the side that rises
    with t (or stays), then the side that falls; unusable axes get lines that never bind.
    ``direction``: (3,), or (n, 3) one per pair."""
    axes, usable = _axes(a, b)
    pa = _dots(axes[:, :, None], a[:, None])  # (n, 11, 3): every corner on every axis
    pb = _dots(axes[:, :, None], b[:, None])
    # One direction for all, or one per pair (each pair's products as the single direction's).
    s = _dots(axes, direction if direction.ndim == 1 else direction[:, None])
    ahead = of_three(np.maximum, pa) - of_three(np.minimum, pb)  # A's far side past B's near side: slope s
    behind = of_three(np.maximum, pb) - of_three(np.minimum, pa)  # slope -s
    # An axis against the motion (s < 0) has its rising side behind: the crossings that bound
    # the depth are those of a rising and a falling line, whichever side each comes from.
    up = s >= 0
    rising, falling = np.where(up, ahead, behind), np.where(up, behind, ahead)
    s = np.abs(s)
    both = np.concatenate([usable, usable], axis=1)
    intercepts = np.where(both, np.concatenate([rising, falling], axis=1), np.inf)
    slopes = np.where(both, np.concatenate([s, -s], axis=1), 0.0)
    return intercepts, slopes


def _largest(c: np.ndarray, m: np.ndarray, lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    """Largest value over [lo, hi] of the minimum of the lines (rising sides first, then the
    falling sides, k of each), never below 0."""
    k = c.shape[1] // 2
    if not np.any(m[:, :k] > 0):
        # No line rises (pairs at rest): no crossing exists, and the table of them would say
        # so for every pair; the crossing's place falls back to lo, as it does there.
        t_star = np.clip(lo, lo, hi)
    else:
        ci, mi, cj, mj = c[:, :k, None], m[:, :k, None], c[:, None, k:], m[:, None, k:]
        with np.errstate(divide="ignore", invalid="ignore"):
            ok = (mi > 0) & (mj < 0) & np.isfinite(ci) & np.isfinite(cj)
            t = np.where(ok, (cj - ci) / np.where(ok, mi - mj, 1.0), 0.0)
            height = np.where(ok, ci + mi * t, np.inf)
        rows = np.arange(len(c))
        flat = height.reshape(len(c), -1)
        best = flat.argmin(axis=1)
        found = np.isfinite(flat[rows, best])
        t_star = np.clip(np.where(found, t.reshape(len(c), -1)[rows, best], lo), lo, hi)
    # The lines' minimum at the window's ends and at the crossing, all three at once.
    at = np.stack([lo, hi, t_star], axis=1)
    with np.errstate(invalid="ignore"):
        values = c[:, None, :] + m[:, None, :] * at[:, :, None]
    value = np.where(np.isinf(c)[:, None, :], np.inf, values).min(axis=2).max(axis=1)
    return np.maximum(np.where(np.isfinite(value), value, 0.0), 0.0)


def overlap_depths(a: npt.ArrayLike, b: npt.ArrayLike, direction: npt.ArrayLike, lo: npt.ArrayLike,
                   hi: npt.ArrayLike, screen: float | None = None, first_only: bool = False) -> np.ndarray:
    """Largest separating depth (float64 (n,)) of each triangle pair (a[i] moving by t
    direction, or by t direction[i] when given one per pair (n, 3); b[i] fixed; corners (n, 3,
    3)) over t in [lo[i], hi[i]]; 0 when apart or only touching.

    With ``screen``, pairs whose overlap along the two face normals alone (an upper bound of
    the depth) stays within it keep that bound instead: most contacts of a tight fit are faces
    sliding on faces, and the full test is spent only on the rest, largest bound first; with
    ``first_only`` it stops after the first block that holds a depth above ``screen`` (enough
    to know that the path is blocked), the pairs not tested keeping their bounds."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 3, 3)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 3, 3)
    direction = np.asarray(direction, dtype=np.float64)
    lo = np.broadcast_to(np.asarray(lo, dtype=np.float64), len(a)).copy()
    hi = np.broadcast_to(np.asarray(hi, dtype=np.float64), len(a)).copy()
    per_pair = direction.ndim == 2
    if per_pair and (direction.shape != (len(a), 3) or screen is not None):
        raise ValueError("directions per pair are (n, 3), and screen takes a single direction")
    if screen is not None:
        out = np.zeros(len(a))
        for start in range(0, len(a), 16 * BLOCK):
            part = slice(start, start + 16 * BLOCK)
            out[part] = _face_bound(a[part], b[part], direction, lo[part], hi[part])
        rest = np.flatnonzero(out > screen)
        if first_only and len(rest) > BLOCK:  # the largest bounds first: likely the deep ones
            top = np.argpartition(-out[rest], BLOCK)
            rest = rest[top]
    else:
        out, rest = np.zeros(len(a)), np.arange(len(a))
    for start in range(0, len(rest), BLOCK):
        k = rest[start:start + BLOCK]
        out[k] = _largest(*_lines(a[k], b[k], direction[k] if per_pair else direction), lo[k], hi[k])
        if first_only and screen is not None and np.any(out[k] > screen):
            break
    return out


def depths_at_rest(a: npt.ArrayLike, b: npt.ArrayLike, screen: float, lo: npt.ArrayLike = 0.0,
                   hi: npt.ArrayLike = 0.0) -> np.ndarray:
    """``overlap_depths(a, b, 0, lo, hi, screen=screen)`` for triangle pairs in place (windows
    within [0, 0]). At rest every overlap line is flat, so the face normals' bound is the
    smallest of their intercepts, with no crossing to look for; a zero may come out as -0.0."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 3, 3)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 3, 3)
    lo = np.broadcast_to(np.asarray(lo, dtype=np.float64), len(a)).copy()
    hi = np.broadcast_to(np.asarray(hi, dtype=np.float64), len(a)).copy()
    still = np.zeros(3)
    out = np.zeros(len(a))
    for start in range(0, len(a), 16 * BLOCK):
        part = slice(start, start + 16 * BLOCK)
        out[part] = np.maximum(_face_lines(a[part], b[part], still)[0].min(axis=1), 0.0)
    rest = np.flatnonzero(out > screen)
    for start in range(0, len(rest), BLOCK):
        k = rest[start:start + BLOCK]
        out[k] = _largest(*_lines(a[k], b[k], still), lo[k], hi[k])
    return out


def _face_lines(a: np.ndarray, b: np.ndarray, direction: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Intercepts and slopes (n, 4) of the overlap along the two face normals: a flat triangle
    projects to one point on its own normal, so each normal gives two lines."""
    na = cross(a[:, 1] - a[:, 0], a[:, 2] - a[:, 0])
    nb = cross(b[:, 1] - b[:, 0], b[:, 2] - b[:, 0])
    length_a, length_b = lengths(na), lengths(nb)
    na /= np.maximum(length_a, 1e-300)[:, None]
    nb /= np.maximum(length_b, 1e-300)[:, None]
    pa = np.einsum("nij,nj->ni", b, na)  # b on A's normal
    pb = np.einsum("nij,nj->ni", a, nb)  # a on B's normal
    ha, hb = np.einsum("nj,nj->n", a[:, 0], na), np.einsum("nj,nj->n", b[:, 0], nb)
    sa, sb = _dots(na, direction), _dots(nb, direction)
    # a moves: on A's normal its point rises by sa t (overlap ha + sa t - min pa and max pa - ha - sa t);
    # on B's normal its interval rises by sb t.
    low_a, high_a, low_b, high_b = (of_three(f, x) for x in (pa, pb) for f in (np.minimum, np.maximum))
    c = np.stack([ha - low_a, high_a - ha, high_b - hb, hb - low_b], axis=1)
    m = np.stack([sa, -sa, sb, -sb], axis=1)
    # A triangle without area (its corners on a line) has no normal: the zero vector is no
    # axis, and the overlap of 0 along it would pass for a bound of a needle through a face.
    c[length_a == 0, :2] = np.inf
    c[length_b == 0, 2:] = np.inf
    return c, m


def _face_bound(a: np.ndarray, b: np.ndarray, direction: np.ndarray, lo: np.ndarray,
                hi: np.ndarray) -> np.ndarray:
    """The overlap along the two face normals alone, its largest value over [lo, hi]: an upper
    bound of the depth, cheap enough for millions of sliding contacts. The largest value of
    the minimum of the four lines sits at an end of the window or where two of them cross."""
    c, m = _face_lines(a, b, direction)
    ts = [lo, hi]
    for i in range(4):
        for j in range(i + 1, 4):
            with np.errstate(divide="ignore", invalid="ignore"):
                t = (c[:, j] - c[:, i]) / (m[:, i] - m[:, j])
            ts.append(np.clip(np.where(np.isfinite(t), t, lo), lo, hi))
    t = np.stack(ts, axis=1)  # (n, 8)
    values = (c[:, None, :] + m[:, None, :] * t[:, :, None]).min(axis=2).max(axis=1)
    bound: np.ndarray = np.maximum(values, 0.0)
    return bound
