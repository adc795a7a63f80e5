"""Timed steps of an example: each step's wall time is kept for the report, and a step still
running after a second prints a progress line every second, so a long run never sits silent.

The kernels release the interpreter lock, so the progress thread gets to print while they work.
"""

import threading
import time


class Steps:
    """Wall time of each named step, in the order they ran."""

    def __init__(self):
        self.seconds = {}

    def __call__(self, label):
        return _Step(self, label)


class _Step:
    def __init__(self, steps, label):
        self.steps, self.label = steps, label

    def __enter__(self):
        self.start = time.perf_counter()
        self.done = threading.Event()
        self.progress = threading.Thread(target=self._report, daemon=True)
        self.progress.start()
        return self

    def _report(self):
        while not self.done.wait(1.0):
            print(f"  ... {self.label}: {time.perf_counter() - self.start:.0f} s so far", flush=True)

    def __exit__(self, *exc):
        self.done.set()
        self.progress.join()
        self.seconds = time.perf_counter() - self.start
        self.steps.seconds[self.label] = self.steps.seconds.get(self.label, 0.0) + self.seconds
        if self.seconds > 1.0:
            print(f"  ... {self.label} took {self.seconds:.1f} s", flush=True)
