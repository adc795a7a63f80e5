"""Type checkers see the companion's annotations and the native module's stubs as installed."""

import importlib.util
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from support import SANITIZED

CLIENT = textwrap.dedent('''
    import numpy as np
    import _zet_native
    import zet_native

    tree: zet_native.TriangleTree = zet_native.build_tree([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
    result = zet_native.path_query(tree, tree, (1.0, 0.0, 0.0), 0.0, 1.0)
    first: float = result.first_contact
    status: zet_native.SearchStatus = result.status
    hits: zet_native.RayHits = zet_native.ray_hits(np.zeros((1, 3)), (0, 0, 1), 1.0, tree)
    build: str = _zet_native.vector_build
    packed: tuple[bytes, bytes, bytes, bytes] = _zet_native.build_aabb_tree(
        tree.vertices, tree.triangles, 4, None, 1024)
''')

WRONG = textwrap.dedent('''
    import zet_native

    tree = zet_native.build_tree([[0, 0, 0]], [[0, 0, 0]])
    late: str = zet_native.path_query(tree, tree, (1, 0, 0), 0.0, 1.0).first_contact
    _zet_native_count: int = __import__("_zet_native").thread_limit()
    bad: bytes = zet_native.thread_limit()
''')


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    """One mypy cache for the module: numpy's stubs are analysed once, not per test."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    if SANITIZED:
        pytest.skip("typing does not depend on the build; checked in the plain run")
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cache, cwd, *paths):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, paths)],
                          capture_output=True, text=True, cwd=cwd)


def mypy(tmp_path, cache, source):
    client = tmp_path / "client.py"
    client.write_text(source)
    return run_mypy(cache, tmp_path, client)


def test_a_typed_client_checks_clean(tmp_path, cache):
    run = mypy(tmp_path, cache, CLIENT)
    assert run.returncode == 0, run.stdout + run.stderr


def test_type_errors_are_found(tmp_path, cache):
    run = mypy(tmp_path, cache, WRONG)
    assert run.returncode == 1
    assert 'Incompatible types in assignment (expression has type "float", variable has type "str")' in run.stdout
    assert 'expression has type "int", variable has type "bytes"' in run.stdout


def test_the_package_sources_check_clean(tmp_path, cache):
    run = run_mypy(cache, tmp_path, Path(__file__).resolve().parents[1] / "python" / "zet_native")
    assert run.returncode == 0, run.stdout + run.stderr
