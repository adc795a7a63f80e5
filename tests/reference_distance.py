"""A second conservative triangle distance in plain Python floats: the module's Voronoi-region order,
segment rules, replacement rule, crossing test and tolerance, each operation in the same order, so results
agree bit for bit. Points are 3-tuples, triangles 3-tuples of points. Shared by the distance and clearance
tests."""

import math

from reference_ccd import _cross, _dot, _sub

EPS = 2.220446049250313e-16


def _along(p, s, e):
    """p + s * e"""
    return (p[0] + s * e[0], p[1] + s * e[1], p[2] + s * e[2])


def _dist(a, b):
    d = _sub(a, b)
    return math.sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2])


def _clamp01(x):
    return 0.0 if x < 0.0 else 1.0 if x > 1.0 else x


def closest_point_on_triangle(p, a, b, c):
    ab, ac, ap = _sub(b, a), _sub(c, a), _sub(p, a)
    d1, d2 = _dot(ab, ap), _dot(ac, ap)
    if d1 <= 0.0 and d2 <= 0.0:
        return a
    bp = _sub(p, b)
    d3, d4 = _dot(ab, bp), _dot(ac, bp)
    if d3 >= 0.0 and d4 <= d3:
        return b
    vc = d1 * d4 - d3 * d2
    if vc <= 0.0 and d1 >= 0.0 and d3 <= 0.0:
        den = d1 - d3
        return _along(a, d1 / den if den != 0.0 else 0.0, ab)
    cp = _sub(p, c)
    d5, d6 = _dot(ab, cp), _dot(ac, cp)
    if d6 >= 0.0 and d5 <= d6:
        return c
    vb = d5 * d2 - d1 * d6
    if vb <= 0.0 and d2 >= 0.0 and d6 <= 0.0:
        den = d2 - d6
        return _along(a, d2 / den if den != 0.0 else 0.0, ac)
    va = d3 * d6 - d5 * d4
    if va <= 0.0 and d4 - d3 >= 0.0 and d5 - d6 >= 0.0:
        den = (d4 - d3) + (d5 - d6)
        return _along(b, (d4 - d3) / den if den != 0.0 else 0.0, _sub(c, b))
    s = va + vb + vc
    if s != 0.0:
        r = 1.0 / s
        v, w = vb * r, vc * r
        return tuple(a[k] + v * ab[k] + w * ac[k] for k in range(3))
    best, best_d2 = None, None
    for s0, s1 in ((a, b), (b, c), (c, a)):
        e = _sub(s1, s0)
        ee = _dot(e, e)
        q = _along(s0, _clamp01(_dot(_sub(p, s0), e) / ee) if ee != 0.0 else 0.0, e)
        dq = _sub(p, q)
        d2q = _dot(dq, dq)
        if best is None or d2q < best_d2:
            best, best_d2 = q, d2q
    return best


def closest_points_on_segments(p1, q1, p2, q2):
    d1, d2, r = _sub(q1, p1), _sub(q2, p2), _sub(p1, p2)
    a, e, f = _dot(d1, d1), _dot(d2, d2), _dot(d2, r)
    if a <= EPS and e <= EPS:
        s = t = 0.0
    elif a <= EPS:
        s, t = 0.0, _clamp01(f / e)
    else:
        c = _dot(d1, r)
        if e <= EPS:
            t, s = 0.0, _clamp01(-c / a)
        else:
            b = _dot(d1, d2)
            den = a * e - b * b
            s = 0.0 if abs(den) <= EPS * a * e else _clamp01((b * f - c * e) / den)
            t = (b * s + f) / e
            if t < 0.0:
                t, s = 0.0, _clamp01(-c / a)
            elif t > 1.0:
                t, s = 1.0, _clamp01((b - c) / a)
    return _along(p1, s, d1), _along(p2, t, d2)


def _orient(p, q, r, s):
    return _dot(_cross(_sub(q, p), _sub(r, p)), _sub(s, p))


def first_crossing(A, B):
    """(code, point) of the first edge, A's 0, 1, 2 then B's, whose ends lie strictly on opposite sides of the
    other triangle's plane and whose line shares a sign (not all 0) with the lines of that triangle's edges in
    signed volume; None if there is none. Both directions use the volumes of A's edge lines against B's."""
    o = [[_orient(A[i], A[(i + 1) % 3], B[j], B[(j + 1) % 3]) for j in range(3)] for i in range(3)]
    for side, (E, T) in enumerate(((A, B), (B, A))):
        n = _cross(_sub(T[1], T[0]), _sub(T[2], T[0]))
        h = [_dot(n, _sub(p, T[0])) for p in E]
        for k in range(3):
            nxt = (k + 1) % 3
            if not ((h[k] > 0.0 and h[nxt] < 0.0) or (h[k] < 0.0 and h[nxt] > 0.0)):
                continue
            v = o[k] if side == 0 else [o[i][k] for i in range(3)]
            if (all(x >= 0.0 for x in v) or all(x <= 0.0 for x in v)) and any(x != 0.0 for x in v):
                return 15 + 3 * side + k, _along(E[k], h[k] / (h[k] - h[nxt]), _sub(E[nxt], E[k]))
    return None


def conservative_triangle_distance(A, B, absolute_tolerance, relative_tolerance, crossings=True):
    """(lower, upper, point_a, point_b, feature) of triangles A and B; with crossings False, the fifteen
    features alone."""
    candidates = []
    for k in range(3):
        q = closest_point_on_triangle(A[k], *B)
        candidates.append((A[k], q))
    for k in range(3):
        q = closest_point_on_triangle(B[k], *A)
        candidates.append((q, B[k]))
    for i in range(3):
        for j in range(3):
            candidates.append(closest_points_on_segments(A[i], A[(i + 1) % 3], B[j], B[(j + 1) % 3]))
    best, feature = None, 0
    for code, (pa, pb) in enumerate(candidates):
        d = _dist(pa, pb)
        if code == 0 or d < best:
            best, feature = d, code
    largest = max(abs(x) for tri in (A, B) for point in tri for x in point)
    tau = absolute_tolerance + relative_tolerance * (1.0 if 1.0 > largest else largest)
    pa, pb = candidates[feature]
    finite = all(math.isfinite(x) for tri in (A, B) for point in tri for x in point)
    if crossings and finite and 0.0 < best < math.inf and (crossing := first_crossing(A, B)):
        best, feature, pa, pb = 0.0, crossing[0], crossing[1], crossing[1]
    lower = best - tau
    return (0.0 if 0.0 > lower else lower, best + tau, tuple(pa), tuple(pb), feature)
