"""A second translating triangle pair kernel and swept box test in plain Python floats: the
axis list is built first and swept afterwards, with the module's operations in the same
order, so results agree bit for bit. Shared by the kernel, path, self and clearance tests."""

import math


def min_as_written(x, y):
    return x if x < y else y


def max_as_written(x, y):
    return x if x > y else y


def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _norm(a):
    return math.sqrt(_dot(a, a))


def ieee_div(x, y):
    """IEEE division (Python raises on a zero divisor)."""
    if y != 0.0 or math.isnan(y):
        return x / y
    if x == 0.0 or math.isnan(x):
        return math.nan
    return math.copysign(math.inf, x) * math.copysign(1.0, y)


def ref_degenerate(p, abs_tol, rel_tol):
    longest = max_as_written(max_as_written(_norm(_sub(p[1], p[0])), _norm(_sub(p[2], p[1]))),
                   _norm(_sub(p[0], p[2])))
    if abs_tol >= longest:
        return True
    area2 = _norm(_cross(_sub(p[1], p[0]), _sub(p[2], p[0])))
    return max_as_written(longest, abs_tol) * abs_tol + rel_tol * longest * longest >= area2


def ref_kernel(p, q, v, t0, t1, abs_tol, rel_tol, sin_tol):
    """Build the whole axis list first, then sweep it: a different arrangement from the
    module's, with the same operations in the same order."""
    out = [2, t0, t1, 0, t0, t1, 0, 0, 1]
    if ref_degenerate(p, abs_tol, rel_tol):
        return tuple(out)
    if ref_degenerate(q, abs_tol, rel_tol):
        out[8] = 2
        return tuple(out)
    e = [_sub(p[1], p[0]), _sub(p[2], p[1]), _sub(p[0], p[2])]
    f = [_sub(q[1], q[0]), _sub(q[2], q[1]), _sub(q[0], q[2])]
    na = _cross(_sub(p[1], p[0]), _sub(p[2], p[0]))
    nb = _cross(_sub(q[1], q[0]), _sub(q[2], q[0]))
    offers = [(na, _norm(e[0]) * _norm(e[2])), (nb, _norm(f[0]) * _norm(f[2]))]
    offers += [(_cross(a, b), _norm(a) * _norm(b)) for a in e for b in f]
    offers += [(_cross(na, a), _norm(a) * _norm(na)) for a in e]
    offers += [(_cross(nb, b), _norm(b) * _norm(nb)) for b in f]
    axes, skipped = [], 0
    for c, d in offers:
        length = _norm(c)
        if length == 0.0:
            continue
        if d == 0.0 or length / d <= sin_tol:
            skipped += 1
            continue
        u = (c[0] / length, c[1] / length, c[2] / length)
        if any(abs(_dot(u, w)) >= 1.0 - rel_tol for w in axes):
            continue
        axes.append(u)
    if not axes:
        out[6], out[7], out[8] = skipped, skipped, 3
        return tuple(out)
    speed = _norm(v)
    enter, exit_, s_enter, s_exit, overlap = t0, t1, t0, t1, True
    for k, u in enumerate(axes, 1):
        a = [_dot(u, x) for x in p]
        b = [_dot(u, x) for x in q]
        min_a, max_a = min_as_written(min_as_written(a[0], a[1]), a[2]), max_as_written(max_as_written(a[0], a[1]), a[2])
        min_b, max_b = min_as_written(min_as_written(b[0], b[1]), b[2]), max_as_written(max_as_written(b[0], b[1]), b[2])
        scale = max_as_written(max_as_written(max_as_written(abs(min_a), abs(max_a)), abs(min_b)), abs(max_b))
        tol = max_as_written(1.0, scale) * rel_tol + abs_tol
        s = _dot(u, v)
        if abs(s) <= max_as_written(1.0, speed) * rel_tol + abs_tol:
            if min_b - tol > max_a + tol or min_a - tol > max_b + tol:
                return (1, t0, t1, 0, t0, t1, k, skipped, 4)
            if min_b > max_a or min_a > max_b:
                overlap = False
            continue
        ta = ieee_div((min_b - tol) - (max_a + tol), s)
        tb = ieee_div((max_b + tol) - (min_a - tol), s)
        enter, exit_ = max_as_written(enter, min_as_written(ta, tb)), min_as_written(exit_, max_as_written(ta, tb))
        if enter > exit_:
            return (1, t0, t1, 0, t0, t1, k, skipped, 5)
        ca, cb = ieee_div(min_b - max_a, s), ieee_div(max_b - min_a, s)
        s_enter, s_exit = max_as_written(s_enter, min_as_written(ca, cb)), min_as_written(s_exit, max_as_written(ca, cb))
        if s_enter > s_exit:
            overlap = False
    strict = 1 if overlap and s_exit >= s_enter else 0
    return (2 if skipped else 0, enter, exit_, strict, s_enter, s_exit, len(axes), skipped,
            6 if skipped else 0)


def swept_box(a_min, a_max, b_min, b_max, v, t_lo, t_hi, box_tol, box_static, margin=0.0):
    """The window in [t_lo, t_hi] in which box a moved by t v meets box b widened by margin,
    or None; components of v within box_static are tested over the whole window at once."""
    lo, hi = t_lo, t_hi
    for d in range(3):
        b_lo, b_hi = b_min[d] - margin - box_tol, b_max[d] + margin + box_tol
        a_lo, a_hi = a_min[d] - box_tol, a_max[d] + box_tol
        if abs(v[d]) <= box_static:
            d_min, d_max = sorted((v[d] * t_lo, v[d] * t_hi))
            if b_lo > a_hi + d_max or a_lo + d_min > b_hi:
                return None
            continue
        ta, tb = ieee_div(b_lo - a_hi, v[d]), ieee_div(b_hi - a_lo, v[d])
        lo, hi = max_as_written(lo, min_as_written(ta, tb)), min_as_written(hi, max_as_written(ta, tb))
        if lo > hi:
            return None
    return lo, hi
