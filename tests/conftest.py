"""Shared helpers: clouds with a known similarity, naive references, and fresh-process runs."""
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Real scans live beside the repository (../shared/data), never inside it.
DATA_ROOT = pathlib.Path(os.environ.get("TARVIC_DATA", pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"))
DATA = DATA_ROOT / "pycpd"


def rotation(axis, degrees):
    """Rotation matrix (column-vector convention) about `axis` by `degrees` (Rodrigues)."""
    axis = np.asarray(axis, dtype=float)
    axis = axis / np.linalg.norm(axis)
    a = np.radians(degrees)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * (k @ k)


def rotation_error_deg(r_fit, r_true):
    """Angle of r_fit · r_trueᵀ, in degrees."""
    c = (np.trace(r_fit @ r_true.T) - 1.0) / 2.0
    return np.degrees(np.arccos(np.clip(c, -1.0, 1.0)))


def similarity(points, s, r, t):
    """Naive reference of s·R·p + t for each row p."""
    return s * points @ r.T + t


def shape_cloud(n, seed=0):
    """An anisotropic, asymmetric cloud (a bent, tapered tube) so its orientation is well defined."""
    rng = np.random.default_rng(seed)
    u = rng.uniform(0.0, 1.0, n)
    v = rng.uniform(0.0, 2 * np.pi, n)
    radius = 0.15 + 0.25 * u
    x = 2.0 * u
    y = radius * np.cos(v) + 0.6 * u**2
    z = 0.6 * radius * np.sin(v) + 0.2 * np.sin(3 * u)
    return np.column_stack([x, y, z])


def deform_reference(points, source, w, beta):
    """Naive x + Σ_j exp(−|x − s_j|² / (2β²)) w_j."""
    d2 = ((points[:, None, :] - source[None, :, :]) ** 2).sum(-1)
    return points + np.exp(-d2 / (2.0 * beta**2)) @ w


@pytest.fixture(scope="session")
def bunny():
    if not (DATA / "bunny_source.txt").exists():
        pytest.skip(f"bunny data not present in {DATA}")
    return np.loadtxt(DATA / "bunny_source.txt"), np.loadtxt(DATA / "bunny_target.txt")


@pytest.fixture
def pair():
    """A small source and its similarity image, for tests about the binding rather than accuracy."""
    src = shape_cloud(200, seed=1)
    return src, similarity(src, 1.2, rotation([1, 2, 3], 25), np.array([0.5, -1.0, 2.0]))


def run_python(code, timeout=120, env=None):
    """Run `code` in a fresh interpreter (fresh pool state, own signal handlers); returns the result."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, timeout=timeout, env=full_env
    )
    # Decoded by hand: text mode would turn the progress bar's carriage returns into newlines.
    proc.stdout = proc.stdout.decode("utf-8", "replace")
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    return proc


def check_ok(proc):
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc

