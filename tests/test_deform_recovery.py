"""Deformable recovery on real scans: a known smooth deformation of the bunny, and the
non-rigid pairs shipped with the data (no ground truth: distance to the target's nearest points)."""
import numpy as np
import pytest

import tarvic
from conftest import DATA_ROOT

cKDTree = pytest.importorskip("scipy.spatial").cKDTree


def _rms(a, b):
    return float(np.sqrt(np.mean(np.sum((a - b) ** 2, axis=1))))


def _load(name):
    path = DATA_ROOT / "probreg" / name
    if not path.exists():
        pytest.skip(f"{path} not present (real scans are read from ../shared/data)")
    return np.loadtxt(path)


def test_known_smooth_deformation_of_the_bunny(bunny):
    src = bunny[0]
    size = np.ptp(src, axis=0).max()
    # A smooth field of about 8% of the bunny's size, target shuffled and lightly noised.
    c = src.mean(axis=0)
    u = (src - c) / size
    field = 0.08 * size * np.column_stack([np.sin(3 * u[:, 1]), np.cos(3 * u[:, 2]) - 1, np.sin(3 * u[:, 0])])
    true = src + field
    rng = np.random.default_rng(0)
    tgt = (true + rng.normal(scale=1e-3 * size, size=true.shape))[rng.permutation(len(true))]
    s, w, beta, sigma2, nrms, iterations, converged, modes = tarvic.fit_deform(src, tgt, beta=1.0, alpha=2.0)
    moved = tarvic.apply_deform(src, s, w, beta)
    assert _rms(moved, true) < 0.1 * _rms(src, true)


@pytest.mark.parametrize("name", ["bunny"])
def test_probreg_pair_moves_onto_target(name):
    src, tgt = _load(f"{name}-x.txt"), _load(f"{name}-y.txt")
    tree = cKDTree(tgt)
    before = _rms(src, tgt[tree.query(src)[1]])
    s, w, beta, *_ = tarvic.fit_deform(src, tgt, max_iterations=60)
    moved = tarvic.apply_deform(src, s, w, beta)
    after = _rms(moved, tgt[tree.query(moved)[1]])
    assert np.isfinite(after) and after < 0.3 * before
