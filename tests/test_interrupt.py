"""Ctrl-C stops every long companion call within about a second.

A timer thread sends SIGINT to the process while the call runs with the interpreter lock
released; each input is sized to take several seconds on one thread when not interrupted."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from support import SANITIZED, sphere, torus

import zet_native

SIGNAL_AFTER = 0.3  # seconds into the call
STOPPED_WITHIN = 2.0  # seconds from the call's start: the signal, then at most one slice


@pytest.fixture(autouse=True)
def one_thread():
    previous = zet_native.set_thread_limit(1)
    yield
    zet_native.set_thread_limit(previous)


def interrupted(call):
    """Seconds until ``call`` raised KeyboardInterrupt after a SIGINT sent SIGNAL_AFTER in."""
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach the main thread only")
    timer = threading.Timer(SIGNAL_AFTER, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
    return time.perf_counter() - start


@pytest.fixture(scope="module")
def scene():
    moving = zet_native.build_tree(*sphere(300, 0.6, (-2.0, 0.0, 0.0)), 1)
    obstacle = zet_native.build_tree(*torus(500, 120), 1)
    return moving, obstacle


@pytest.fixture(scope="module")
def groups():
    rng = np.random.default_rng(1)
    moving = rng.normal(size=(2000, 3, 3))
    return zet_native.pair_cone_groups(moving, moving + rng.normal(size=(2000, 3, 3)) * 0.1 + 1.0).groups


def long_calls(scene, groups):
    """name -> (inputs made before the timer starts, the call on them)."""
    rng = np.random.default_rng(2)
    moving, obstacle = scene
    big = 2 if SANITIZED else 1  # under the sanitizers everything runs slower: smaller inputs suffice

    def soup(m, spread, size):
        corners = rng.uniform(-spread, spread, (m, 1, 3)) + rng.uniform(-size, size, (m, 3, 3))
        return corners.reshape(-1, 3), np.arange(3 * m).reshape(-1, 3)

    return {
        "build_tree": (lambda: soup(2_000_000 // big, 10, 0.5), lambda m: zet_native.build_tree(*m, 1)),
        "path_query": (lambda: None, lambda _: zet_native.path_query(moving, obstacle, (1.0, 0.05, 0.02), 0.0, 4.0)),
        "check_clearance": (lambda: None, lambda _: zet_native.check_clearance(moving, [obstacle], (1.0, 0.05, 0.02),
                                                                               4.0, 0.05)),
        "self_intersections": (lambda: zet_native.build_tree(*soup(60000, 1, 0.3)),
                               lambda tree: zet_native.self_intersections(tree)),
        "ray_hits": (lambda: rng.uniform(-1.5, 1.5, (4_000_000 // big, 3)),
                     lambda origins: zet_native.ray_hits(origins, (0.3, 0.5, 0.8), 3.0, obstacle)),
        "winding": (lambda: (rng.uniform(-1.5, 1.5, (6_000_000 // big, 3)), zet_native.winding_tree(obstacle)),
                    lambda a: zet_native.winding(a[0], (0.3, 0.5, 0.8), a[1])),
        "direction_scores": (lambda: (rng.normal(size=(4000, 3)), zet_native.ray_mesh(moving),
                                      zet_native.ray_mesh(obstacle)),
                             lambda a: zet_native.direction_scores(a[0], 2.0, a[1], [a[2]])),
        "margins": (lambda: rng.normal(size=(100_000, 3)),
                    lambda directions: zet_native.margins(directions, np.arange(len(groups.kinds)), groups)),
    }


CASES = ["build_tree", "path_query", "check_clearance", "self_intersections", "ray_hits", "winding",
         "direction_scores", "margins"]


@pytest.mark.parametrize("name", CASES)
def test_ctrl_c_stops_long_calls(name, scene, groups):
    prepare, call = long_calls(scene, groups)[name]
    inputs = prepare()
    elapsed = interrupted(lambda: call(inputs))
    assert elapsed < STOPPED_WITHIN, f"{name} ran {elapsed:.2f} s"


def test_should_cancel_none_turns_polling_off(scene):
    # With no callable there is nothing to consult: the call runs to its end.
    result = zet_native.path_query(scene[0], scene[1], (1.0, 0.05, 0.02), 0.0, 0.05, should_cancel=None)
    assert result.status == zet_native.SearchStatus.COMPLETE
