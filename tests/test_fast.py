"""The package's fast path: Gauss transforms with a reported error bound, chosen by `method`."""
import pickle
import re

import numpy as np
import pytest

import tarvic
from tarvic import _tarvic
from conftest import DATA_ROOT, rotation, rotation_error_deg, shape_cloud, similarity


@pytest.fixture(scope="module")
def pair():
    src = shape_cloud(1500, seed=11)
    tgt = similarity(shape_cloud(1300, seed=12), 1.15, rotation([1, 2, -1], 25), np.array([0.2, -0.1, 0.3]))
    tgt = tgt + np.random.default_rng(3).normal(scale=0.002, size=tgt.shape)
    return src, tgt


class TestOptions:
    @pytest.mark.parametrize(
        "kwargs, error, message",
        [
            (dict(method="fastest"), ValueError, "`method` must be 'auto', 'exact' or 'fast', got 'fastest'"),
            (dict(method="FAST"), ValueError, "`method` must be 'auto', 'exact' or 'fast', got 'FAST'"),
            (dict(method=1), TypeError, "argument 'method': must be str, not int"),
            (dict(accuracy=0.0), ValueError, "`accuracy` must be in (0, 1), got 0"),
            (dict(accuracy=1.0), ValueError, "`accuracy` must be in (0, 1), got 1"),
            (dict(accuracy=-1e-6), ValueError, "`accuracy` must be in (0, 1), got -0.000001"),
            (dict(accuracy=float("nan")), ValueError, "`accuracy` must be in (0, 1), got NaN"),
            (dict(accuracy="1e-6"), TypeError, "argument 'accuracy'"),
        ],
    )
    @pytest.mark.parametrize("fit", ["fit_rigid", "fit_deform", "fit_rigid_batch", "fit_deform_batch"])
    def test_refused_before_anything_runs(self, fit, kwargs, error, message):
        # Clouds of 10^6 x 10^6 points would take minutes to fit: a prompt refusal shows nothing ran.
        big = np.zeros((1_000_000, 3))
        args = ([big], None, np.array([[0, 0]])) if fit.endswith("batch") else (big, big)
        with pytest.raises(error, match=re.escape(message)):
            getattr(tarvic, fit)(*args, **kwargs)

    def test_deform_apply_refuses_the_same(self, pair):
        fit = tarvic.fit_deform(pair[0][:50], pair[1][:50], max_iterations=2)
        with pytest.raises(ValueError, match="`method` must be"):
            fit.apply(pair[0], method="slow")
        with pytest.raises(ValueError, match=re.escape("`accuracy` must be in (0, 1), got 2")):
            fit.apply(pair[0], accuracy=2.0)


class TestSmallFitsAreTheExtensions:
    def test_auto_rigid_is_bit_identical(self, pair):
        src, tgt = pair
        ours = tarvic.fit_rigid(src, tgt, w=0.1, threads=1)
        theirs = _tarvic.fit_rigid(src, tgt, True, None, 0.1, 1e-6, 200, None, 1)
        assert ours.method == "exact" and ours.error_bound == 0.0
        for a, b in zip(ours, theirs):
            np.testing.assert_array_equal(a, b)

    def test_auto_deform_and_batches_are_bit_identical(self, pair):
        src, tgt = pair[0][:400], pair[1][:400]
        ours = tarvic.fit_deform(src, tgt, threads=1, max_iterations=20)
        theirs = _tarvic.fit_deform(src, tgt, 2.0, 1.0, 0.0, 1e-6, 20, None, 100, 1)
        for a, b in zip(ours, theirs):
            np.testing.assert_array_equal(a, b)
        pairs = np.array([[0, 1], [1, 0]])
        batch = tarvic.fit_rigid_batch([src, tgt], None, pairs)
        for a, b in zip(batch, _tarvic.fit_rigid_batch([src, tgt], None, pairs)):
            np.testing.assert_array_equal(a, b)
        assert batch.methods == ["exact", "exact"]


class TestFastPath:
    @pytest.mark.parametrize("accuracy", [1e-3, 1e-6, 1e-9])
    def test_rigid_bound_within_accuracy_and_same_transform(self, pair, accuracy):
        src, tgt = pair
        exact = tarvic.fit_rigid(src, tgt, w=0.05, tolerance=0.0, max_iterations=400, threads=1)
        fast = tarvic.fit_rigid(src, tgt, w=0.05, tolerance=1e-10, max_iterations=500, method="fast", accuracy=accuracy)
        assert fast.method == "fast"
        assert 0.0 < fast.error_bound <= accuracy
        assert fast.converged
        # A coarse accuracy moves the optimum in proportion; a fine one lands on the exact fit's.
        assert rotation_error_deg(fast.rotation, exact.rotation) < max(1e-3, 10 * accuracy)
        np.testing.assert_allclose(fast.translation, exact.translation, atol=max(1e-5, 0.1 * accuracy))

    def test_named_results_keep_their_extras(self, pair):
        fit = tarvic.fit_rigid(*pair, method="fast", max_iterations=5)
        scale, rot, t, sigma2, nrms, iterations, converged = fit  # still a 7-tuple
        assert len(fit) == 7 and iterations == 5
        again = pickle.loads(pickle.dumps(fit))
        assert (again.method, again.error_bound) == (fit.method, fit.error_bound)
        assert fit._replace(scale=2.0).method == "fast"
        assert "method='fast'" in repr(fit)

    def test_deform_fit_and_apply(self, pair):
        src, tgt = pair[0][:600], pair[1][:600]
        fast = tarvic.fit_deform(src, tgt, method="fast", accuracy=1e-7, max_iterations=30)
        exact = tarvic.fit_deform(src, tgt, method="exact", max_iterations=30)
        assert fast.method == "fast" and 0.0 < fast.error_bound <= 1e-7
        assert len(tuple(fast)) == 8
        moved, bound = fast.apply(src, method="fast", accuracy=1e-9, with_bound=True)
        assert 0.0 < bound <= 1e-9
        # The fast apply against the naive double-precision sum, within its bound.
        d2 = ((src[:, None, :] - fast.source[None, :, :]) ** 2).sum(-1)
        k = np.exp(-d2 / (2.0 * fast.beta**2))
        reference = src + k @ fast.w
        np.testing.assert_array_less(np.abs(moved - reference), bound * (k @ np.abs(fast.w)) + 1e-300)
        # And the fit lands where the exact one does, to a small fraction of the cloud.
        scale = np.ptp(tgt, axis=0).max()
        assert np.sqrt(((fast.apply(src) - exact.apply(src)) ** 2).sum(1).mean()) < 1e-2 * scale

    def test_batch_reports_each_pair(self, pair):
        src, tgt = pair
        batch = tarvic.fit_rigid_batch([src, tgt], None, np.array([[0, 1], [1, 0]]), method="fast", max_iterations=10)
        assert batch.methods == ["fast", "fast"]
        assert batch.error_bounds.shape == (2,) and (batch.error_bounds > 0).all()
        assert batch.pair(1).method == "fast" and batch.pair(1).error_bound == batch.error_bounds[1]
        fits = tarvic.fit_deform_batch([src[:300], tgt[:300]], None, np.array([[0, 1]]), method="fast", max_iterations=5)
        assert fits[0].method == "fast"


def _load(name):
    path = DATA_ROOT / name
    if not path.exists():
        pytest.skip(f"{path} not present")
    if path.suffix == ".txt":
        return np.loadtxt(path)
    return tarvic.io.read(path)


@pytest.mark.parametrize(
    "source, target, n",
    [
        ("pycpd/bunny_source.txt", None, None),
        ("probreg/face-x.txt", None, 4000),
        ("probreg/horse.ply", None, 4000),
        ("small_gicp/source.ply", "small_gicp/target.ply", 4000),
    ],
)
def test_registration_parity_on_real_scans(source, target, n):
    """Fast and exact fits of the shared scans agree (both run to the same optimum)."""
    src = _load(source)
    rng = np.random.default_rng(0)
    if target is None:
        tgt = similarity(src, 1.1, rotation([0.3, 1.0, 0.2], 20), 0.05 * np.ptp(src, axis=0))
        tgt = tgt + rng.normal(scale=1e-3 * np.ptp(src, axis=0).max(), size=src.shape)
    else:
        tgt = _load(target)
    if n is not None:
        src = src[rng.permutation(len(src))[:n]]
        tgt = tgt[rng.permutation(len(tgt))[:n]]
    diag = np.linalg.norm(np.ptp(np.vstack([src, tgt]), axis=0))
    exact = tarvic.fit_rigid(src, tgt, w=0.1, tolerance=0.0, max_iterations=120, threads=2)
    fast = tarvic.fit_rigid(src, tgt, w=0.1, tolerance=1e-10, max_iterations=600, method="fast")
    assert fast.method == "fast" and fast.error_bound <= 1e-6
    assert rotation_error_deg(fast.rotation, exact.rotation) < 1e-3
    assert np.linalg.norm(fast.translation - exact.translation) < 1e-5 * diag
    rms = np.sqrt(((fast.apply(src) - exact.apply(src)) ** 2).sum(1).mean())
    assert rms < 1e-4 * diag
