"""The README's quick start runs as written and prints what its comments say."""

import contextlib
import io
import re
from pathlib import Path

import pytest


def quick_start():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    section = readme.split("## Quick start", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_quick_start_runs():
    pytest.importorskip("trimesh")
    code = quick_start()
    assert len(code.strip().splitlines()) < 30
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README quick start", "exec"), {})
    lines = out.getvalue().splitlines()
    assert lines[0].startswith("COMPLETE ") and lines[0].endswith(" 2.4")
    assert lines[1] == "True"
    assert lines[2].endswith(" 2.4")
    assert lines[3] == "[ True False]"
