"""A Dask worker that dies in the middle of a plan: the assembly is tried once more, and an
assembly that fails twice is reported as failed while the other plans are kept."""

import os

import assemblies
import pytest
import support

from zet_native.disassembly import plan, plan_many

distributed = pytest.importorskip("dask.distributed")


class DieWhenStarting(distributed.WorkerPlugin):
    """Ends the worker's process as soon as it starts a task whose key begins with prefix:
    a crash, not an exception, so the scheduler sees a worker die."""

    def __init__(self, prefix):
        self.prefix = prefix

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and str(key).startswith(self.prefix):
            os._exit(3)


@pytest.mark.skipif(support.SANITIZED, reason="worker processes do not inherit the preloaded sanitizer")
def test_a_dead_worker_costs_one_retry_and_no_other_plan():
    import dask

    batch = {"doomed": assemblies.box_with_lid(), "ring": assemblies.captive_ring()}
    # The scheduler gives a task up at its worker's first death, as the embedded cluster does.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        # The first attempt of "doomed" kills its worker; the retry runs under another key.
        client.register_plugin(DieWhenStarting("plan-doomed-"))
        found = plan_many(batch, client)
        assert found["doomed"] == plan(batch["doomed"]).to_json()
        assert found["ring"] == plan(batch["ring"]).to_json()

        # Every attempt dies: reported as failed with the reason, the other plan kept.
        client.register_plugin(DieWhenStarting(""), name="every-task")
        client.wait_for_workers(2)
        found = plan_many({"lid": batch["doomed"]}, client)
        assert found["lid"]["steps"] == [] and "failed twice" in found["lid"]["failed"]
        assert found["lid"]["parts"] == list(batch["doomed"])
        # Workers end only once restarted: a nanny still starting its new worker when the
        # cluster closes fails the close, and leaves threads behind for the tests after it.
        client.unregister_worker_plugin("every-task")
        client.wait_for_workers(2)
