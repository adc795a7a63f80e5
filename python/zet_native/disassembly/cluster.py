"""Many assemblies at once, one per Dask worker.

Meshes travel to the workers as numpy arrays (each worker builds its own trees) and plans
come back as plain data (``Plan.to_json``). An assembly whose worker dies is tried once more;
if that fails too, it is reported as failed with the reason and the other plans are kept.
Without Dask the assemblies are planned one after another in this process.
"""

import logging
import os
import warnings
from collections.abc import Mapping
from typing import Any, NamedTuple, cast

from .parts import AssemblyError, Mesh, PartsLike, checked_parts
from .planner import ProgressCallback, plan


class Refused(NamedTuple):
    """An assembly whose parts were refused: why, and the names of its parts when given as a
    mapping (a folder that could not be read has none)."""

    reason: str
    names: list[str]


Loaded = dict[str, dict[str, Mesh] | Refused]  # name -> checked parts, or why they were refused

_warned = False


class Stopped(KeyboardInterrupt):
    """Ctrl-C during ``plan_many``: ``plans`` holds the plans finished so far (name -> plan
    data, in input order); the others were dropped. A KeyboardInterrupt, so that code that
    stops on Ctrl-C stops here too."""

    def __init__(self, plans: dict[str, dict[str, Any]]) -> None:
        super().__init__("interrupted")
        self.plans = plans


def plan_assembly(parts: Mapping[str, Any], options: dict[str, Any]) -> dict[str, Any]:
    """The plan of one assembly as plain data; bad input becomes a ``failed`` entry, not an
    exception, so that it is not retried as if a worker had died."""
    try:
        return plan(parts, **options).to_json()
    except AssemblyError as error:
        return _failed(list(parts), str(error))


def _failed(names: list[str], reason: str) -> dict[str, Any]:
    # Nothing was planned, so no part came out: every part remains, held by nothing known.
    return {"parts": names, "steps": [], "remaining": list(names), "blockers": {n: [] for n in names},
            "failed": reason}


def plan_many(assemblies: Mapping[Any, PartsLike], client: Any = None, *, progress: ProgressCallback | None = None,
              **options: Any) -> dict[str, dict[str, Any]]:
    """Plans of several assemblies: name -> ``Plan.to_json()`` data, in input order.

    ``assemblies``: a mapping name -> parts (what ``plan`` takes: a mapping of meshes or a
    folder). ``client``: a ``dask.distributed.Client``; without one an embedded
    ``LocalCluster`` of worker processes, one per processor, is started and closed again.
    ``options`` go to ``plan`` on each worker (``allowance``, ``absolute``, ``threads``).
    An assembly that fails gets ``{"failed": reason, ...}`` with empty steps.
    ``progress``: called with 1 after each assembly. Ctrl-C raises ``Stopped`` (a
    KeyboardInterrupt) with the plans finished so far; on the embedded cluster the workers
    are ended at once, on the caller's the plans still waited for are cancelled.
    """
    loaded: Loaded = {}
    if not hasattr(assemblies, "items"):
        raise AssemblyError(f"the assemblies must be a mapping name -> parts, not {type(assemblies).__name__}")
    for name, parts in assemblies.items():
        if str(name) in loaded:  # 1 and "1": the plans are keyed by the names as text
            raise AssemblyError(f"two assemblies are named {str(name)!r}")
        try:
            loaded[str(name)] = checked_parts(parts)
        except AssemblyError as error:
            loaded[str(name)] = Refused(str(error), [str(n) for n in parts] if isinstance(parts, Mapping) else [])
    try:
        import dask.distributed  # noqa: F401
    except ImportError:
        global _warned
        if not _warned:
            warnings.warn("dask.distributed is not installed (pip install zet-native[cluster]): "
                          "planning the assemblies one after another in this process", stacklevel=2)
            _warned = True
        return _serial(loaded, options, progress)
    return _on_dask(loaded, client, options, progress)


def _serial(loaded: Loaded, options: dict[str, Any],
            progress: ProgressCallback | None) -> dict[str, dict[str, Any]]:
    out: dict[str, dict[str, Any]] = {}
    for name, parts in loaded.items():
        try:
            out[name] = _failed(parts.names, parts.reason) if isinstance(parts, Refused) else plan_assembly(parts, options)
        except KeyboardInterrupt as error:  # Interrupted too: the plan stopped half way is dropped
            raise Stopped(out) from error
        if progress:
            progress(1)
    return out


def _result(future: Any) -> Any:
    """The future's result, waited for in short turns so that Ctrl-C reaches this thread."""
    import dask.distributed

    while True:
        try:
            return future.result(timeout=0.1)
        except dask.distributed.TimeoutError:
            continue


def _on_dask(loaded: Loaded, client: Any, options: dict[str, Any],
             progress: ProgressCallback | None) -> dict[str, dict[str, Any]]:
    import dask
    from dask.distributed import Client, LocalCluster

    own: Any = None
    if client is None:
        # A dead worker should come back to us at once: we retry it once ourselves.
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
            workers = max(1, min(os.cpu_count() or 1, len(loaded)))
            # Its log lines stay quiet: a worker that dies is retried and reported here, with
            # the reason, and on Ctrl-C the workers' own notes of it would bury the plans printed.
            cluster: Any = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                silence_logs=logging.CRITICAL)
            own = client = Client(cluster)  # type: ignore[no-untyped-call]
    out: dict[str, Any] = {name: None for name in loaded}
    futures: dict[str, Any] = {}
    stopped = False
    try:
        for name, parts in loaded.items():
            if isinstance(parts, Refused):
                out[name] = _failed(parts.names, parts.reason)
            else:
                futures[name] = client.submit(plan_assembly, parts, options, key=f"plan-{name}-{id(parts)}", pure=False)
        for name, future in futures.items():
            try:
                out[name] = _result(future)
            except Exception as first:  # the worker died or the task failed: once more
                retry = client.submit(plan_assembly, loaded[name], options, pure=False)
                try:
                    out[name] = _result(retry)
                except Exception as second:
                    submitted = cast("dict[str, Mesh]", loaded[name])  # only checked parts were submitted
                    out[name] = _failed(list(submitted), f"failed twice on the cluster: "
                                        f"{type(second).__name__}: {second}".splitlines()[0]
                                        + (f" (first: {type(first).__name__})" if first else ""))
            if progress:
                progress(1)
        return out
    except KeyboardInterrupt as error:
        stopped = True
        for future in futures.values():
            future.cancel()
        raise Stopped({n: p for n, p in out.items() if p is not None}) from error
    finally:
        if own is not None:
            cluster = own.cluster
            quiet = logging.getLogger("distributed")  # this process's side of the cluster
            level = quiet.level
            if stopped:
                quiet.setLevel(logging.CRITICAL)  # the workers' ends are no news after Ctrl-C
                _stop_workers(cluster)
            try:
                own.close()
                cluster.close()
            finally:
                quiet.setLevel(level)


def _stop_workers(cluster: Any) -> None:
    """Ends the worker processes of our own cluster at once: a worker in the middle of a plan
    would otherwise hold the cluster's closing for seconds (Ctrl-C should end the command
    within about one)."""
    import signal

    for worker in getattr(cluster, "workers", {}).values():
        process = getattr(getattr(worker, "process", None), "process", None)  # the nanny's worker process
        pid = getattr(process, "pid", None)
        if pid:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass  # already gone
