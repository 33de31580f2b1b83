"""Shared pieces of the Python benchmarks: clouds, subprocess runs with peak memory, tables."""
import json
import os
import pathlib
import subprocess
import sys

import numpy as np

DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


def surface(n, seed=0):
    """n points on a bumpy ellipsoid (deterministic)."""
    rng = np.random.default_rng(seed)
    th = rng.uniform(0, 2 * np.pi, n)
    ph = np.arccos(rng.uniform(-1, 1, n))
    r = 1 + 0.3 * np.sin(3 * th) * np.sin(2 * ph)
    return np.column_stack([1.5 * r * np.sin(ph) * np.cos(th), r * np.sin(ph) * np.sin(th), 0.7 * r * np.cos(ph)])


def rotation(axis, deg):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    x, y, z = axis
    a = np.deg2rad(deg)
    c, s, t = np.cos(a), np.sin(a), 1 - np.cos(a)
    return np.array([[t * x * x + c, t * x * y - s * z, t * x * z + s * y],
                     [t * x * y + s * z, t * y * y + c, t * y * z - s * x],
                     [t * x * z - s * y, t * y * z + s * x, t * z * z + c]])


def moved_surface(n):
    """The large-scale rigid problem: n points of a surface onto n other points of it under a known
    similarity with 0.3% noise. Returns (source, target, rotation, translation, scale)."""
    rot, shift, scale = rotation([0.3, 0.4, 0.8], 20), np.array([0.1, -0.05, 0.08]), 1.1
    target = scale * surface(n, 6) @ rot.T + shift + np.random.default_rng(2).normal(scale=0.003, size=(n, 3))
    return surface(n, 5), target, rot, shift, scale


def rotation_error_deg(a, b):
    c = np.clip((np.trace(a @ b.T) - 1) / 2, -1, 1)
    return float(np.degrees(np.arccos(c)))


def cpu_model():
    """The CPU's model name, for the tables."""
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    import platform
    return platform.processor() or "unknown CPU"


def median(xs):
    xs = sorted(xs)
    return xs[len(xs) // 2] if len(xs) % 2 else 0.5 * (xs[len(xs) // 2 - 1] + xs[len(xs) // 2])


# cycpd 0.28 under NumPy 2 leaves its variance as a 1 x 1 array after each update, which its own
# loop condition cannot compare; its verbose mode unwraps it the same way before printing.
CYCPD_PATCH = r"""
import numpy as np
def _cycpd(cls):
    class Unwrapped(cls):
        def iterate(self):
            while isinstance(self.sigma2, np.ndarray):
                self.sigma2 = self.sigma2.reshape(-1)[0]
            super().iterate()
            while isinstance(self.sigma2, np.ndarray):
                self.sigma2 = self.sigma2.reshape(-1)[0]
    return Unwrapped
"""


def run_isolated(code, env_drop=()):
    """Run `code` in a fresh interpreter; it prints one JSON object. Adds peak RSS growth (MiB)."""
    prologue = (
        "import resource, json, sys\n"
        "def _rss():\n"
        "    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in env_drop}
    env["PYTHONPATH"] = str(pathlib.Path(__file__).resolve().parent) + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", prologue + code], capture_output=True, text=True, env=env)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout.strip().splitlines()[-1])


# Drop these for pycpd only, so NumPy's bundled OpenBLAS picks its best kernel.
OPENBLAS_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def table(rows, cols):
    widths = [max(len(c), *(len(str(r[c])) for r in rows)) for c in cols]
    print("  ".join(c.rjust(w) for c, w in zip(cols, widths)))
    for r in rows:
        print("  ".join(str(r[c]).rjust(w) for c, w in zip(cols, widths)))
