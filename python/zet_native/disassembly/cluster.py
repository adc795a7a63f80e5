"""Many assemblies at once, one per Dask worker.

Meshes travel to the workers as numpy arrays (each worker builds its own trees) and plans
come back as plain data (``Plan.to_json``). An assembly whose worker dies is tried once more;
if that fails too, it is reported as failed with the reason and the other plans are kept.
Without Dask the assemblies are planned one after another in this process.
"""

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
    ``progress``: called with 1 after each assembly.
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
        out[name] = _failed(parts.names, parts.reason) if isinstance(parts, Refused) else plan_assembly(parts, options)
        if progress:
            progress(1)
    return out


def _on_dask(loaded: Loaded, client: Any, options: dict[str, Any],
             progress: ProgressCallback | None) -> dict[str, dict[str, Any]]:
    import dask
    from dask.distributed import Client, LocalCluster

    own: Any = None
    if client is None:
        # A dead worker should come back to us at once: we retry it once ourselves.
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
            workers = max(1, min(os.cpu_count() or 1, len(loaded)))
            cluster: Any = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)
            own = client = Client(cluster)  # type: ignore[no-untyped-call]
    try:
        out: dict[str, Any] = {name: None for name in loaded}
        futures: dict[str, Any] = {}
        for name, parts in loaded.items():
            if isinstance(parts, Refused):
                out[name] = _failed(parts.names, parts.reason)
            else:
                futures[name] = client.submit(plan_assembly, parts, options, key=f"plan-{name}-{id(parts)}", pure=False)
        for name, future in futures.items():
            try:
                out[name] = future.result()
            except Exception as first:  # the worker died or the task failed: once more
                retry = client.submit(plan_assembly, loaded[name], options, pure=False)
                try:
                    out[name] = retry.result()
                except Exception as second:
                    submitted = cast("dict[str, Mesh]", loaded[name])  # only checked parts were submitted
                    out[name] = _failed(list(submitted), f"failed twice on the cluster: "
                                        f"{type(second).__name__}: {second}".splitlines()[0]
                                        + (f" (first: {type(first).__name__})" if first else ""))
            if progress:
                progress(1)
        return out
    finally:
        if own is not None:
            cluster = own.cluster
            own.close()
            cluster.close()
