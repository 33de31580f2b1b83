"""Correspondences of a fitted model: permutations recovered, outliers found, the command's CSV."""
import csv
import subprocess
import sys

import numpy as np
import pytest

import tarvic
from conftest import rotation, shape_cloud, similarity


@pytest.fixture(scope="module")
def shuffled_copy():
    """A cloud and a moved, shuffled, noise-free copy: target point n is source point perm[n]."""
    src = shape_cloud(2000, seed=2)
    perm = np.random.default_rng(0).permutation(len(src))
    return src, similarity(src, 1.2, rotation([1, 2, 3], 30), np.array([0.5, -1.0, 2.0]))[perm], perm


def dense_reference(moved, target, sigma2):
    """Every posterior P_mn (w = 0) of small clouds, as an M x N matrix."""
    d2 = ((target[None, :, :] - moved[:, None, :]) ** 2).sum(-1)
    k = np.maximum(np.exp(-d2 / (2.0 * sigma2)), np.exp(-708.0))
    return k / k.sum(0)


class TestModel:
    def test_rigid_fit_of_a_shuffled_copy_recovers_the_permutation(self, shuffled_copy):
        src, tgt, perm = shuffled_copy
        fit = tarvic.fit_rigid(src, tgt)
        found = tarvic.correspondences(fit, tgt, source=src)
        assert isinstance(found, tarvic.Correspondences)
        np.testing.assert_array_equal(found.target_match, perm)
        np.testing.assert_array_equal(found.source_match[perm], np.arange(len(src)))
        assert found.source_match.dtype == found.target_match.dtype == np.int64
        assert found.target_probability.min() > 0.99 and found.source_probability.min() > 0.99
        assert found.target_outlier.max() == 0.0  # w = 0: no outlier term
        assert 0.0 <= found.error_bound <= 1e-6

    def test_deformable_fit_recovers_it_too(self, shuffled_copy):
        src, _, perm = shuffled_copy
        tgt = similarity(src, 1.0, rotation([0, 0, 1], 8), np.zeros(3))[perm]
        found = tarvic.correspondences(tarvic.fit_deform(src, tgt), tgt)
        np.testing.assert_array_equal(found.target_match, perm)
        np.testing.assert_array_equal(found.source_match[perm], np.arange(len(src)))

    def test_injected_outliers_are_found(self):
        rng = np.random.default_rng(0)
        src = shape_cloud(2000, seed=2)
        inliers = similarity(src, 1.2, rotation([1, 2, 3], 30), np.array([0.5, -1.0, 2.0]))
        inliers += rng.normal(scale=0.01, size=src.shape)
        outliers = rng.uniform(inliers.min(0), inliers.max(0), size=(500, 3))
        order = rng.permutation(2500)
        tgt = np.vstack([inliers, outliers])[order]
        injected = order >= 2000
        fit = tarvic.fit_rigid(src, tgt, w=0.2)
        p = tarvic.correspondences(fit, tgt, w=0.2, source=src).target_outlier
        # Uniform outliers that happen to fall on the surface are inliers as far as any model can tell.
        assert (p[injected] > 0.5).mean() > 0.9 and np.median(p[injected]) > 0.99
        assert (p[~injected] < 0.1).mean() > 0.95 and np.median(p[~injected]) < 0.01
        # Without an outlier term nothing is an outlier.
        assert tarvic.correspondences(fit, tgt, w=0.0, source=src).target_outlier.max() == 0.0

    @pytest.mark.parametrize("sigma2", [0.002, 0.05, 1.0])
    def test_matches_are_the_largest_posteriors(self, sigma2):
        rng = np.random.default_rng(4)
        moved, target = rng.normal(size=(90, 3)), rng.normal(size=(70, 3))
        found = tarvic.correspondences(moved, target, sigma2, accuracy=1e-10)
        p = dense_reference(moved, target, sigma2)
        rows, cols = np.arange(90), np.arange(70)
        np.testing.assert_allclose(p[rows, found.source_match], p.max(1), rtol=1e-8)
        np.testing.assert_allclose(found.source_probability, p.max(1), rtol=1e-8)
        np.testing.assert_allclose(p[found.target_match, cols], p.max(0), rtol=1e-8)
        np.testing.assert_allclose(found.target_probability, p.max(0), rtol=1e-8)


class TestArguments:
    def test_fits_supply_their_variance_arrays_need_one(self, shuffled_copy):
        src, tgt, _ = shuffled_copy
        fit = tarvic.fit_rigid(src, tgt, max_iterations=3)
        by_fit = tarvic.correspondences(fit, tgt, source=src)
        by_points = tarvic.correspondences(fit.apply(src), tgt, fit.sigma2)
        for a, b in zip(by_fit, by_points):
            np.testing.assert_array_equal(a, b)
        with pytest.raises(TypeError, match="need the `source`"):
            tarvic.correspondences(fit, tgt)
        with pytest.raises(TypeError, match="need `sigma2`"):
            tarvic.correspondences(src, tgt)
        with pytest.raises(TypeError, match="with moved points pass no `source`"):
            tarvic.correspondences(src, tgt, 1.0, source=src)

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(w=1.0), ValueError, r"`w` must be in \[0, 1\), got 1"),
        (dict(sigma2=-1.0), ValueError, "`sigma2` must be finite and > 0, got -1"),
        (dict(accuracy=0.0), ValueError, r"`accuracy` must be in \(0, 1\), got 0"),
        (dict(threads=-1), OverflowError, None),
        (dict(target=np.zeros((0, 3))), ValueError, "`target` has no points"),
        (dict(target=np.zeros((4, 2))), ValueError, r"expected an \(N, 3\) array"),
        (dict(target=np.zeros((4, 3), dtype=np.float32)), TypeError, "argument 'target'"),
    ])
    def test_bad_input_is_refused_naming_it(self, kwargs, error, message):
        args = dict(fit_or_moved=shape_cloud(20), target=shape_cloud(30, seed=1), sigma2=0.1)
        args.update(kwargs)
        with pytest.raises(error, match=message):
            tarvic.correspondences(**args)


def read_matches(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == ["side", "index", "match", "probability", "outlier"]
    source = [r for r in rows[1:] if r[0] == "source"]
    target = [r for r in rows[1:] if r[0] == "target"]
    assert len(source) + len(target) == len(rows) - 1
    return source, target


class TestCommandLine:
    @pytest.mark.parametrize("deform", [False, True])
    def test_register_writes_the_matches(self, shuffled_copy, tmp_path, deform):
        src, tgt, perm = shuffled_copy
        if deform:
            tgt = similarity(src, 1.0, rotation([0, 0, 1], 8), np.zeros(3))[perm]
        np.save(tmp_path / "a.npy", src)
        np.save(tmp_path / "b.npy", tgt)
        out = tmp_path / "m.csv"
        proc = subprocess.run([sys.executable, "-m", "tarvic", "register", str(tmp_path / "a.npy"),
                               str(tmp_path / "b.npy"), "--matches", str(out),
                               *(["--deform"] if deform else ["--w", "0.05"])],
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
        assert f"wrote correspondences to {out}" in proc.stdout
        source, target = read_matches(out)
        assert [int(r[1]) for r in source] == list(range(len(src)))
        assert [int(r[1]) for r in target] == list(range(len(tgt)))
        np.testing.assert_array_equal([int(r[2]) for r in target], perm)
        np.testing.assert_array_equal(np.array([int(r[2]) for r in source])[perm], np.arange(len(src)))
        assert all(r[4] == "" for r in source)
        outlier = np.array([float(r[4]) for r in target])
        if deform:
            assert outlier.max() == 0.0  # no outlier term
        else:
            assert 0.0 < outlier.max() < 0.01  # w > 0: small but present

    def test_unwritable_matches_refused_before_the_fit_and_nothing_left(self, tmp_path):
        np.save(tmp_path / "a.npy", shape_cloud(50))
        np.save(tmp_path / "b.npy", shape_cloud(50) + 0.1)
        proc = subprocess.run([sys.executable, "-m", "tarvic", "register", str(tmp_path / "a.npy"),
                               str(tmp_path / "b.npy"), "--out", str(tmp_path / "moved.ply"),
                               "--matches", str(tmp_path / "missing" / "m.csv")],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 2 and proc.stderr.count("\n") == 1 and "no such directory" in proc.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a.npy", "b.npy"]
