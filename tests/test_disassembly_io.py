"""The disassembly planner's edges: bad input, mesh folders, the command line and its JSON,
Ctrl-C in the middle of a plan, and many assemblies on Dask."""

import _thread
import json
import sys
import threading
import warnings
from pathlib import Path

import assemblies
import numpy as np
import pytest
import support

from zet_native.disassembly import AssemblyError, Interrupted, analysis, checked_parts, cluster, describe, plan, plan_many
from zet_native.disassembly.__main__ import main


def test_bad_parts_are_refused_with_a_reason():
    v, t = assemblies.box_with_lid()["lid"]
    bad_v = v.copy()
    bad_v[3, 1] = np.nan
    far = t.copy()
    far[0, 2] = len(v)
    cases = [({}, "no parts"),
             ({"a": (np.zeros((0, 3)), np.zeros((0, 3), int))}, "'a' is empty"),
             ({"a": (bad_v, t)}, "NaN or infinite"),
             ({"a": (v, far)}, "faces out of range"),
             ([("a", (v, t)), ("a", (v, t))], "two parts are named 'a'"),
             ({"a": (v[:, :2], t)}, r"\(n, 3\) arrays")]
    for parts, message in cases:
        with pytest.raises(AssemblyError, match=message):
            plan(parts)


def test_array_likes_and_folders_give_the_same_plan(tmp_path):
    parts = assemblies.box_with_lid()
    as_lists = {n: (v.tolist(), t.astype(np.int64).tolist()) for n, (v, t) in parts.items()}
    folder = assemblies.write_obj_folder(tmp_path / "lidded", parts)
    expected = plan(parts).to_json()
    assert plan(as_lists).to_json() == expected
    assert plan(folder).to_json() == expected
    (tmp_path / "empty").mkdir()
    with pytest.raises(AssemblyError, match="no mesh files"):
        checked_parts(tmp_path / "empty")


def test_folders_and_options_a_user_may_get_wrong(tmp_path):
    parts = assemblies.box_with_lid()
    folder = assemblies.write_obj_folder(tmp_path / "lidded", parts)
    expected = plan(parts).to_json()
    # A byte-order mark is not part of the first vertex; hidden files are no parts.
    text = (folder / "box.obj").read_text()
    (folder / "box.obj").write_bytes(b"\xef\xbb\xbf" + text.encode())
    (folder / "._lid.obj").write_bytes(b"\x00\x05\x16\x07 Mac OS X")
    assert plan(folder).to_json() == expected
    # A mesh name that is no regular file is refused, not left out of the plan.
    (folder / "ghost.obj").symlink_to(tmp_path / "nowhere.obj")
    with pytest.raises(AssemblyError, match="ghost.obj: not a readable file"):
        plan(folder)
    (folder / "ghost.obj").unlink()
    big = np.array([[0, 1, 2**64 - 1]], dtype=np.uint64)
    for call, message in [(lambda: plan(5), "must be a mapping"),
                          (lambda: plan(parts, threads=0), "threads must be"),
                          (lambda: plan(parts, threads=1.5), "threads must be"),
                          (lambda: plan(parts, allowance=None), "allowance must be"),
                          (lambda: plan({"a": (parts["lid"][0], big)}), "vertex index 18446744073709551615"),
                          (lambda: plan_many([parts]), "must be a mapping"),
                          (lambda: plan_many({1: parts, "1": parts}), "two assemblies are named '1'")]:
        with pytest.raises(AssemblyError, match=message):
            call()
    # More threads than parts is the same plan, at once.
    assert plan(parts, threads=10**20).to_json() == expected


def test_obj_reader_fans_polygons_and_takes_negative_indices(tmp_path):
    path = tmp_path / "quad.obj"
    path.write_text("# a quad\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1/1 2/2 3/3 4/4\nf -4 -3 -1\n")
    from zet_native.disassembly import read_obj
    v, t = read_obj(path)
    assert v.shape == (4, 3) and t.tolist() == [[0, 1, 2], [0, 2, 3], [0, 1, 3]]


def test_command_line_prints_and_writes_the_contract(tmp_path, capsys):
    lid = assemblies.write_obj_folder(tmp_path / "lidded", assemblies.box_with_lid())
    ring = assemblies.write_obj_folder(tmp_path / "ring", assemblies.captive_ring())
    out = tmp_path / "plan.json"
    assert main([str(lid), "--json", str(out), "--threads", "2"]) == 0
    printed = capsys.readouterr().out
    assert "lid" in printed and "every part came out" in printed
    data = json.loads(out.read_text())
    entry = data["lidded"]
    assert entry["parts"] == ["box", "lid"] and entry["remaining"] == [] and entry["blockers"] == {}
    assert [s["part"] for s in entry["steps"]] == ["lid", "box"]
    assert all(set(s) >= {"part", "direction", "distance"} for s in entry["steps"])
    # A captive part is still a planned assembly: exit 0, the ring reported with its blocker.
    assert main([str(ring), "--json", str(out)]) == 0
    assert json.loads(out.read_text())["ring"]["blockers"]["ring"] == ["bar"]
    (tmp_path / "nothing").mkdir()
    assert main([str(tmp_path / "nothing")]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "no mesh files" in err[0]


def test_command_line_refuses_outputs_and_schedulers_it_cannot_use(tmp_path, capsys):
    lid = assemblies.write_obj_folder(tmp_path / "lidded", assemblies.box_with_lid())
    missing = tmp_path / "no such folder"
    # Found before any planning: one line each, nothing printed on standard output.
    for args, reason in [(["--json", str(lid / "box.obj")], "a file of an assembly being planned"),
                         (["--picture", str(tmp_path / "plan.txt")], "not a picture file"),
                         (["--threads", "0"], "at least 1"),
                         (["--json", str(missing / "plan.json")], "no folder"),
                         (["--picture", str(missing / "plan.png")], "no folder"),
                         (["--json", str(tmp_path)], "a folder"),
                         (["--scheduler", "not-an-address"], "--scheduler not-an-address")]:
        assert main([str(lid), *args]) == 2
        out, err = capsys.readouterr()
        assert out == "" and len(err.strip().splitlines()) == 1 and reason in err
    assert (lid / "box.obj").read_text().startswith("v ")  # the input is left as it was
    # A file that cannot be written after the planning (no new files in /proc): the plan is
    # printed, then one line says why the file is missing.
    if Path("/proc/self").is_dir():
        assert main([str(lid), "--json", "/proc/self/plan.json"]) == 2
        out, err = capsys.readouterr()
        assert "every part came out" in out and err.startswith("error: --json /proc/self/plan.json")


def test_command_line_ctrl_c_among_several_folders_prints_the_plans_done(tmp_path, capsys, monkeypatch):
    lid = assemblies.write_obj_folder(tmp_path / "lidded", assemblies.box_with_lid())
    ring = assemblies.write_obj_folder(tmp_path / "ring", assemblies.captive_ring())
    done = plan(assemblies.box_with_lid()).to_json()

    def stopped_after_the_first(loaded, client, **options):
        raise cluster.Stopped({"lidded": done})

    monkeypatch.setattr("zet_native.disassembly.__main__.plan_many", stopped_after_the_first)
    assert main([str(lid), str(ring)]) == 130
    out, err = capsys.readouterr()
    assert "lidded" in out and "every part came out" in out and "ring" not in out
    assert err.strip().splitlines()[-1] == "interrupted"


def test_ctrl_c_stops_the_plan_and_keeps_the_steps_done(monkeypatch):
    parts = assemblies.grid_of_blocks(2, 3)
    checked = analysis.Assembly._path_query
    calls = []

    def counted(self, *args, **options):
        calls.append(None)
        return checked(self, *args, **options)

    monkeypatch.setattr(analysis.Assembly, "_path_query", counted)
    full = plan(parts)
    halfway = len(calls) // 2
    for threads in (1, 2):
        calls = []

        def check_then_ctrl_c(self, *args, **options):
            # Ctrl-C part way through the plan, whatever the machine's speed: the signal lands on
            # the main thread at its next Python step, while workers may still be checking.
            calls.append(None)
            if len(calls) == halfway:
                _thread.interrupt_main()
            return checked(self, *args, **options)

        monkeypatch.setattr(analysis.Assembly, "_path_query", check_then_ctrl_c)
        with pytest.raises(Interrupted) as stopped:
            plan(parts, threads=threads)
        partial = stopped.value.plan
        assert partial.cancelled and len(partial.steps) < len(parts)
        assert partial.steps == full.steps[:len(partial.steps)]
        # The parts still in place are not said to be held: nothing settled what holds them.
        text = "\n".join(describe(partial.to_json()))
        assert "still in place when interrupted" in text and "cannot leave" not in text


def test_a_build_that_fails_or_stops_on_another_thread_ends_the_plan(monkeypatch):
    # The builds run among the first step's tasks: the tasks waiting for a build must not wait
    # for ever when it fails, and the build's own error is what the caller gets.
    parts = assemblies.grid_of_blocks(2, 3)
    built = analysis.Assembly._built
    for error, outcome in ((MemoryError("no room"), MemoryError), (InterruptedError("stopped"), Interrupted)):
        def failing(self, name, inner, error=error):
            if (name, inner) == (self.largest[-1], False):  # the last first half, claimed by either thread
                raise error
            return built(self, name, inner)

        monkeypatch.setattr(analysis.Assembly, "_built", failing)
        for threads in (1, 2, 4):
            with pytest.raises(outcome) as raised:
                plan(parts, threads=threads)
            if outcome is Interrupted:
                stopped = raised.value.plan
                assert stopped.cancelled and not stopped.steps and stopped.remaining == list(parts)
            else:
                assert str(raised.value) == "no room"


def test_a_threaded_plan_lowers_the_switch_interval_and_puts_it_back():
    parts = assemblies.box_with_lid()
    before = sys.getswitchinterval()
    try:
        for threads, during in ((1, before), (2, analysis.SWITCH_INTERVAL)):
            seen = []
            plan(parts, threads=threads, progress=lambda n: seen.append(sys.getswitchinterval()))
            assert seen and all(x == pytest.approx(during, rel=0.01) for x in seen)
            assert sys.getswitchinterval() == before
        # Two plans at once on threads of their own: the interval comes back once both end,
        # even when one of them is stopped.
        start = threading.Barrier(2)

        def one(stop):
            met = []

            def hook(n):
                if not met:  # both plans are running
                    met.append(start.wait(timeout=10))
                if stop:
                    raise KeyboardInterrupt
            try:
                plan(parts, threads=2, progress=hook)
            except Interrupted:
                pass

        runs = [threading.Thread(target=one, args=(stop,)) for stop in (False, True)]
        for run in runs:
            run.start()
        for run in runs:
            run.join()
        assert sys.getswitchinterval() == before
        # A value somebody else sets while a plan runs is theirs to keep.
        plan(parts, threads=2, progress=lambda n: sys.setswitchinterval(0.003))
        assert sys.getswitchinterval() == pytest.approx(0.003)
    finally:
        sys.setswitchinterval(before)


def test_plan_many_serially_without_dask(monkeypatch):
    import builtins
    real_import = builtins.__import__

    def no_dask(name, *args, **kwargs):
        if name.startswith("dask"):
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_dask)
    monkeypatch.setattr("zet_native.disassembly.cluster._warned", False)
    bad = {"a": (np.zeros((3, 3)), [[0, 1, 7]])}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = plan_many({"lid": assemblies.box_with_lid(), "bad": bad})
        plan_many({"lid": assemblies.box_with_lid()})
    assert len(caught) == 1 and "one after another" in str(caught[0].message)
    assert found["lid"] == plan(assemblies.box_with_lid()).to_json()
    assert "faces out of range" in found["bad"]["failed"] and found["bad"]["parts"] == ["a"]
    # Nothing planned, nothing came out: by the contract's keys alone, the part remains.
    assert found["bad"]["remaining"] == ["a"] and found["bad"]["blockers"] == {"a": []}
    # Ctrl-C in the second plan: the first is kept, the rest dropped.
    real_plan = cluster.plan

    def second_interrupted(parts, **options):
        if "ring" in parts:
            raise Interrupted(real_plan(parts, **options))
        return real_plan(parts, **options)

    monkeypatch.setattr(cluster, "plan", second_interrupted)
    with pytest.raises(cluster.Stopped) as stopped:
        plan_many({"lid": assemblies.box_with_lid(), "ring": assemblies.captive_ring(), "peg": assemblies.pinned_peg()})
    assert list(stopped.value.plans) == ["lid"]


@pytest.mark.skipif(support.SANITIZED, reason="worker processes do not inherit the preloaded sanitizer")
def test_plan_many_on_a_local_cluster_equals_serial_plans():
    distributed = pytest.importorskip("dask.distributed")
    batch = {"lid": assemblies.box_with_lid(), "ring": assemblies.captive_ring()}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local, distributed.Client(local) as client:
        found = plan_many(batch, client)
        assert list(found) == list(batch)
        for name, parts in batch.items():
            assert found[name] == plan(parts).to_json()
        # Ctrl-C while waiting for the second plan: the first is kept, and the user's cluster
        # is left as it was (its own plans still run).
        real_result = cluster._result
        waits = []

        def ctrl_c_at_the_second(future):
            waits.append(future)
            if len(waits) == 2:
                raise KeyboardInterrupt
            return real_result(future)

        cluster._result = ctrl_c_at_the_second
        try:
            with pytest.raises(cluster.Stopped) as stopped:
                plan_many(batch, client)
        finally:
            cluster._result = real_result
        assert list(stopped.value.plans) == ["lid"]
        assert plan_many({"lid": batch["lid"]}, client)["lid"] == found["lid"]
