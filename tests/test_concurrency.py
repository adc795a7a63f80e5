"""Every kernel gives the bytes of one thread on any thread limit, from eight interpreter threads at once (half
in stages, the limit changing, should_cancel calling the module); a thread ending leaves its stage."""

import functools
import pickle
import random
import threading

import pytest
from calls import BY_NAME, KERNELS, PARALLEL, with_cancel
from support import PARALLEL_M, SANITIZED

import _zet_native as zn

SIZE = 40 if SANITIZED else 160
WORKERS = 8


@functools.cache
def jobs():
    """(call, arguments) of every kernel at two seeds, and one tree build on the parallel path."""
    found = [(call, call.build(SIZE, seed)) for seed in (1, 2) for call in KERNELS]
    return found + [(BY_NAME["build_aabb_tree"], BY_NAME["build_aabb_tree"].build(PARALLEL_M, 3))]


@functools.cache
def inner_jobs():
    return [(call, call.build(3, 4)) for call in KERNELS]


def canonical(result):
    return pickle.dumps(result)  # floats as their eight bytes


@functools.cache
def expected():
    """Each call on its own, one thread, no stage."""
    zn.set_thread_limit(1)
    try:
        return ([canonical(call.function(*args)) for call, args in jobs()],
                [canonical(call.function(*args)) for call, args in inner_jobs()])
    finally:
        zn.set_thread_limit(0)


class Nesting:
    """should_cancel that calls the next small kernel call at each question, once around the
    list, and answers False; keeps what those calls returned."""

    def __init__(self):
        self.results = []

    def __call__(self):
        if len(self.results) < len(inner_jobs()):
            call, args = inner_jobs()[len(self.results)]
            self.results.append(canonical(call.function(*args)))
        return False


def check_nested(nesting):
    assert nesting.results == expected()[1][:len(nesting.results)]


@functools.cache
def parallel_case(call):
    """The call's arguments at a size where it fans out, and its result on one thread."""
    args = call.build(call.parallel // 4 if SANITIZED and call.parallel > 4 * 2048 else call.parallel, 5)
    zn.set_thread_limit(1)
    try:
        return args, call.function(*args)
    finally:
        zn.set_thread_limit(0)


@pytest.mark.parametrize("call", PARALLEL, ids=repr)
def test_thread_limits_give_the_bytes_of_one_thread(call):
    """Every kernel that fans out, at a size where it does, on several thread limits. Every
    result stays alive until compared, so that no call can be handed the memory of an earlier
    result and pass with work it skipped."""
    args, one_thread = parallel_case(call)
    results = []
    for limit in (2, 5, 32):
        zn.set_thread_limit(limit)
        results.append(call.function(*args))
    zn.set_thread_limit(0)
    for limit, result in zip((2, 5, 32), results):
        assert canonical(result) == canonical(one_thread), f"{call.name} differs on {limit} threads"


def test_threads_and_stages_give_the_bytes_of_one_thread():
    reference, _ = expected()
    barrier, done, errors = threading.Barrier(WORKERS + 1), threading.Event(), []
    mismatches = []

    def worker(w):
        try:
            if w % 2:
                zn.enter_stage(20 * (w % 5) + 10)
            order = list(range(len(jobs()))) * 2
            random.Random(w).shuffle(order)
            barrier.wait()
            for i in order:
                call, args = jobs()[i]
                nesting = Nesting() if call.cancel is not None and w % 4 == 1 else None
                got = call.function(*(with_cancel(call, args, nesting) if nesting else args))
                if canonical(got) != reference[i]:
                    mismatches.append((w, call.name, i))
                if nesting:
                    check_nested(nesting)
            zn.leave_stage()
        except BaseException as error:  # reported by the main thread
            errors.append(error)
            barrier.abort()

    def limits():
        barrier.wait()
        for k in range(10**6):
            if done.wait(0.002):
                return
            zn.set_thread_limit((1, 2, 3, 8)[k % 4])

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(WORKERS)]
    changer = threading.Thread(target=limits)
    for thread in threads + [changer]:
        thread.start()
    for thread in threads:
        thread.join()
    done.set()
    changer.join()
    assert not errors and not mismatches


def test_a_thread_ending_inside_its_stage_leaves_it():
    """The stage of a thread that ended without leave_stage was counted ever after, halving
    the threads of every later stage that ran alone."""
    zn.set_thread_limit(8)
    for share in (10, 100):
        thread = threading.Thread(target=zn.enter_stage, args=(share,))
        thread.start()
        thread.join()
    zn.enter_stage(50)
    assert zn.thread_limit() == 8

