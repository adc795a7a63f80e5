"""The path query against an all-pairs oracle: every triangle pair of two small meshes goes
through the pair kernel over the whole interval, with no tree and no swept boxes. The query
must report exactly the pairs that the oracle finds in contact, with their windows."""

import numpy as np
import pytest
from calls import triangles
from support import TOLS

import _zet_native as zn
import zet_native


def cluster(m, seed):
    """m triangles of size about 1 with centres in a cube of side 2: many pairs meet."""
    return triangles(m, seed).reshape(-1, 3), np.arange(3 * m, dtype=np.uint32).reshape(m, 3)


def oracle(moving, obstacle, velocity, t0, t1):
    """(contacts, uncertain) as dicts keyed by (moving, obstacle) triangle: the kernel's
    outcome for every pair that is neither excluded nor separated."""
    mv, mt, mx = moving.vertices, moving.triangles, moving.excluded
    ov, ot, ox = obstacle.vertices, obstacle.triangles, obstacle.excluded
    pairs = [(i, j) for i in range(len(mt)) if not mx[i] for j in range(len(ot)) if not ox[j]]
    if not pairs:
        return {}, {}
    a = np.ascontiguousarray(mv[mt[[i for i, _ in pairs]]])
    b = np.ascontiguousarray(ov[ot[[j for _, j in pairs]]])
    paths = np.tile([t0, t1], (len(pairs), 1))
    results = zn.translation_triangle_ccd_batch(a, b, np.asarray(velocity, np.float64), paths, *TOLS)
    contacts = {p: r for p, r in zip(pairs, results) if r[0] == zet_native.CcdStatus.CONTACT}
    uncertain = {p: r for p, r in zip(pairs, results) if r[0] == zet_native.CcdStatus.UNCERTAIN}
    return contacts, uncertain


CASES = [  # moving mesh seed, obstacle seed, velocity, interval, leaf sizes, excluded every k-th
    (1, 2, (1.0, 0.0, 0.0), (0.0, 3.0), (1, 1), 0),
    (3, 4, (0.4, -0.9, 0.2), (-2.0, 2.0), (4, 2), 0),
    (5, 6, (0.0, 0.0, 0.0), (0.0, 1.0), (3, 8), 0),  # standing still: static overlaps only
    (7, 8, (2.0, 1.0, -1.0), (0.5, 0.75), (2, 4), 3),
    (9, 10, (-1.0, 0.0, 0.5), (0.0, 5.0), (8, 1), 4),
]


@pytest.mark.parametrize("case", CASES)
def test_path_query_finds_exactly_the_oracle_contacts(case):
    ms, os_, velocity, (t0, t1), (lm, lo), k = case
    mv, mt = cluster(30, ms)
    ov, ot = cluster(30, os_)
    moving = zet_native.build_tree(mv, mt, lm, np.arange(len(mt)) % k == 1 if k else None)
    obstacle = zet_native.build_tree(ov + (0.3, 0.2, 0.0), ot, lo, np.arange(len(ot)) % k == 2 if k else None)
    result = zet_native.path_query(moving, obstacle, velocity, t0, t1, should_cancel=None)
    contacts, uncertain = oracle(moving, obstacle, velocity, t0, t1)
    assert result.status == zet_native.SearchStatus.COMPLETE
    assert len(contacts) >= 3  # the case has something to find
    found = {(int(c["moving_triangle"]), int(c["obstacle_triangle"])): c for c in result.contacts}
    assert set(found) == set(contacts)
    assert result.uncertain == len(uncertain)
    for pair, c in found.items():
        r = contacts[pair]
        # The query narrows each pair's interval by swept boxes before the kernel runs; the
        # contact window lies inside it, so the kernel finds the same window, up to rounding.
        assert np.isclose(c["enter"], r[1], rtol=0, atol=1e-9) and np.isclose(c["exit"], r[2], rtol=0, atol=1e-9)
        assert c["strict"] == float(r[3])
    # Contacts come latest exit first.
    assert np.all(np.diff(result.contacts["exit"]) <= 0)
