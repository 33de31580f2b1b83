"""The scripts in examples/ run, and type-check under mypy --strict against the package."""
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[1] / "examples").glob("*.py"))


def test_there_are_examples():
    assert len(EXAMPLES) >= 3


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(script, tmp_path):
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_pass_mypy_strict():
    pytest.importorskip("mypy", reason="mypy is not installed")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *map(str, EXAMPLES)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
