"""Ctrl-C stops long companion calls within about a second, both where the default
should_cancel is consulted and where the call is split into slices.

A timer thread sends SIGINT to the process while the call runs with the interpreter lock
released; each input is sized to take several seconds on one thread when not interrupted."""

import inspect
import os
import signal
import threading
import time

import numpy as np
import pytest
from support import SANITIZED, sphere, torus

import zet_native
from zet_native._interrupt import keep_going

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


def long_calls(scene):
    """name -> (inputs made before the timer starts, the call on them): a call that consults
    the default should_cancel, and calls split into slices (by points, by directions)."""
    rng = np.random.default_rng(2)
    moving, obstacle = scene
    big = 2 if SANITIZED else 1  # under the sanitizers everything runs slower: smaller inputs suffice
    return {
        "path_query": (lambda: None, lambda _: zet_native.path_query(moving, obstacle, (1.0, 0.05, 0.02), 0.0, 4.0)),
        "winding": (lambda: (rng.uniform(-1.5, 1.5, (6_000_000 // big, 3)), zet_native.winding_tree(obstacle)),
                    lambda a: zet_native.winding(a[0], (0.3, 0.5, 0.8), a[1])),
        "direction_scores": (lambda: (rng.normal(size=(4000, 3)), zet_native.ray_mesh(moving),
                                      zet_native.ray_mesh(obstacle)),
                             lambda a: zet_native.direction_scores(a[0], 2.0, a[1], [a[2]])),
    }


@pytest.mark.parametrize("name", ["path_query", "winding", "direction_scores"])
def test_ctrl_c_stops_long_calls(name, scene):
    prepare, call = long_calls(scene)[name]
    inputs = prepare()
    elapsed = interrupted(lambda: call(inputs))
    assert elapsed < STOPPED_WITHIN, f"{name} ran {elapsed:.2f} s"


@pytest.mark.parametrize("function", [zet_native.build_tree, zet_native.path_query, zet_native.self_intersections,
                                      zet_native.clearance_candidates, zet_native.clearance_search,
                                      zet_native.check_clearance, zet_native.ray_hits])
def test_every_polled_call_lets_ctrl_c_through_by_default(function):
    # The default that path_query's case above shows stopping a call on Ctrl-C.
    assert inspect.signature(function).parameters["should_cancel"].default is keep_going
