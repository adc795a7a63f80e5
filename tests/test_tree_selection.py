"""build_aabb_tree's median selection: range sizes at every change of method, ties and duplicate keys,
and signed zeros whose box signs depend on the order the selection leaves."""

import numpy as np
import pytest
from support import own_vertices, tree_arrays
from test_tree import boxes_at, reference_tree

import _zet_native as zn


def centres_of(pattern, m):
    """x coordinates of m box centres: sorted, reversed, all equal, few values and the like."""
    i = np.arange(m)
    rng = np.random.default_rng(m)
    return {
        "sorted": i, "reversed": -i, "equal": 0 * i, "two": i % 2, "organ": np.minimum(i, m - i),
        "saw": i % 7, "few": rng.integers(0, 5, m), "shuffled": rng.permutation(m),
    }[pattern].astype(float)


# Sizes on both sides of the short ranges that are sorted (13), of the ninther (42) and of the sampled
# pivot (602), as the root and as the halves of a root; long ranges (8194) below.
@pytest.mark.parametrize("m", [12, 13, 14, 26, 27, 41, 42, 43, 85, 601, 602, 603, 1205])
@pytest.mark.parametrize("pattern", ["sorted", "reversed", "equal", "two", "organ", "saw", "few", "shuffled"])
def test_selection_matches_a_sort_at_every_range_size(m, pattern):
    # Equal boxes along x: x is never shorter than y, so every split is on x and its keys are the pattern.
    mesh = boxes_at(np.stack([centres_of(pattern, m), np.zeros(m), np.zeros(m)], 1))
    for leaf_size in (1, 5):
        assert zn.build_aabb_tree(*mesh, leaf_size, None, 1) == reference_tree(*mesh, leaf_size)


@pytest.mark.parametrize("m", [8193, 8194, 8195])
@pytest.mark.parametrize("pattern", ["sorted", "reversed", "equal", "few", "shuffled"])
def test_selection_of_long_ranges_matches_a_sort(m, pattern):
    # Long ranges are partitioned another way; a leaf size of 4097 stops after the root's split.
    mesh = boxes_at(np.stack([centres_of(pattern, m), np.zeros(m), np.zeros(m)], 1))
    assert zn.build_aabb_tree(*mesh, 4097, None, 1) == reference_tree(*mesh, 4097)


def test_negative_zeros_alone_keep_the_reference_boxes():
    # -0 in x and +0 in y: no column holds both, and every box equals the sort-based build's.
    rng = np.random.default_rng(4)
    corners = rng.integers(-2, 3, (300, 3, 3)).astype(float)
    corners[..., 0][corners[..., 0] == 0] = -0.0
    corners[..., 2] += 0.5
    mesh = own_vertices(corners)
    result = zn.build_aabb_tree(*mesh, 2, None, 1)
    assert result == reference_tree(*mesh, 2)
    node_max_x = tree_arrays(result)[1][:, 0]
    assert (node_max_x == 0).any() and np.signbit(node_max_x[node_max_x == 0]).all()


def test_box_signs_of_mixed_zeros_follow_the_selection_order():
    # Only the maxima in x hold both +0 and -0. Node 1 ends its maximum in x on either; the fold keeps
    # the first in the order that the root's selection leaves, here the -0, which a selection that
    # orders the range differently would not.
    corners = [[(-1, 2, 2), (0, 1, 2), (-1, 2, 2)], [(-1, 1, -1), (0, -1, 2), (0, 1, 1)],
               [(-1, -1, 1), (-0., -1, -1), (0, 2, 2)], [(-1, 2, 1), (-0., -1, 2), (-0., 2, 1)],
               [(-1, 2, 2), (-1, 2, 1), (-0., 2, -1)], [(-1, 1, 1), (-1, 1, 1), (1, 2, 2)]]
    mesh = own_vertices(corners)
    for limit in (1, 2):
        zn.set_thread_limit(limit)
        node_max = tree_arrays(zn.build_aabb_tree(*mesh, 1, None, 1))[1]
        assert node_max[1, 0] == 0 and np.signbit(node_max[1, 0])
        assert node_max[2, 0] == 0 and not np.signbit(node_max[2, 0])
