"""fit_affine and fit_affine_batch: recovery of a known affine map, agreement with a float64
reference of the same EM, the named result, the batch, and the singular ending."""
import pickle
import re

import numpy as np
import pytest

import tarvic
from conftest import shape_cloud

# A shear with anisotropic scale: no similarity comes close to it.
B = np.array([[1.3, 0.4, -0.1], [0.05, 0.8, 0.3], [-0.2, 0.1, 1.1]])
T = np.array([0.5, -0.3, 0.8])


def affine_reference(source, target, w, iterations):
    """The affine EM (Fig. 3 of the CPD paper) in float64 with tarvic's conventions: starting
    variance the all-pairs mean squared distance / 3, outliers uniform over the target's bounding
    box (each side at least 1e-3 of the longest)."""
    m, n = len(source), len(target)
    sigma2 = ((target[None, :, :] - source[:, None, :]) ** 2).sum() / (3.0 * m * n)
    extent = np.ptp(target, axis=0)
    volume = np.prod(np.maximum(extent, 1e-3 * extent.max()))
    b, t = np.eye(3), np.zeros(3)
    for _ in range(iterations):
        moved = source @ b.T + t
        k = np.exp(-((target[None, :, :] - moved[:, None, :]) ** 2).sum(-1) / (2.0 * sigma2))
        c = (2.0 * np.pi * sigma2) ** 1.5 * m * w / (1.0 - w) / volume
        p = k / (k.sum(0) + c)
        p1, pt1 = p.sum(1), p.sum(0)
        mass = p1.sum()
        mux, muy = pt1 @ target / mass, p1 @ source / mass
        xh, yh = target - mux, source - muy
        a = xh.T @ p.T @ yh
        b = a @ np.linalg.inv((yh * p1[:, None]).T @ yh)
        t = mux - b @ muy
        sigma2 = (np.einsum("n,ni,ni->", pt1, xh, xh) - np.trace(a @ b.T)) / (3.0 * mass)
    return b, t, sigma2


def noisy_target(source, rng, noise, outliers):
    moved = source @ B.T + T + rng.normal(scale=noise, size=source.shape)
    clutter = rng.uniform(moved.min(0), moved.max(0), size=(outliers, 3))
    both = np.vstack([moved, clutter])
    return both[rng.permutation(len(both))]


class TestRecovery:
    @pytest.mark.parametrize("method", ["exact", "fast"])
    def test_shear_and_anisotropic_scale_through_noise_and_outliers(self, method):
        rng = np.random.default_rng(0)
        src = shape_cloud(800, seed=3)
        tgt = noisy_target(src, rng, noise=0.01, outliers=80)
        fit = tarvic.fit_affine(src, tgt, w=0.1, max_iterations=500, method=method)
        assert fit.converged and not fit.singular and fit.method == method
        np.testing.assert_allclose(fit.B, B, atol=5e-3)
        np.testing.assert_allclose(fit.translation, T, atol=5e-3)
        # The fit explains the inliers down to their noise (0.01 per axis).
        residual = fit.apply(src) - (src @ B.T + T)
        assert np.sqrt((residual**2).sum(1).mean()) < 0.01

    @pytest.mark.parametrize("w", [0.0, 0.1])
    @pytest.mark.parametrize("iterations", [1, 10, 30])
    def test_same_em_as_a_float64_reference(self, w, iterations):
        rng = np.random.default_rng(5)
        src = shape_cloud(120, seed=8)
        tgt = noisy_target(src[:100], rng, noise=0.02, outliers=10)
        b, t, sigma2 = affine_reference(src, tgt, w, iterations)
        # The fast path works in double precision: the same numbers to rounding.
        fast = tarvic.fit_affine(src, tgt, w=w, tolerance=0.0, max_iterations=iterations, method="fast",
                                 accuracy=1e-12)
        assert fast.iterations == iterations
        np.testing.assert_allclose(fast.B, b, rtol=0, atol=1e-11)
        np.testing.assert_allclose(fast.translation, t, rtol=0, atol=1e-11)
        assert fast.sigma2 == pytest.approx(sigma2, rel=1e-10)
        # The exact path's kernel is single precision.
        exact = tarvic.fit_affine(src, tgt, w=w, tolerance=0.0, max_iterations=iterations, method="exact")
        np.testing.assert_allclose(exact.B, b, rtol=0, atol=1e-5)
        assert exact.sigma2 == pytest.approx(sigma2, rel=1e-4)

    def test_planar_source_stops_as_singular(self):
        src = shape_cloud(300, seed=1)
        src[:, 2] = 0.5
        fit = tarvic.fit_affine(src, shape_cloud(300, seed=2))
        assert fit.singular and not fit.converged and fit.iterations == 0
        np.testing.assert_array_equal(fit.matrix, np.eye(4))
        assert "singular=True" in repr(fit)


@pytest.fixture(scope="module")
def fit():
    src = shape_cloud(300, seed=4)
    return tarvic.fit_affine(src, src @ B.T + T, threads=1)


class TestResult:
    def test_tuple_fields_matrix_and_apply(self, fit):
        b, t, sigma2, nrms, iterations, converged = fit
        assert isinstance(fit, tuple) and len(fit) == 6
        assert b is fit.B and t is fit.translation and b.shape == (3, 3) and t.shape == (3,)
        assert isinstance(iterations, int) and converged is True and sigma2 > 0 and nrms > 0
        m = fit.matrix
        np.testing.assert_array_equal(m[:3, :3], fit.B)
        np.testing.assert_array_equal(m[:3, 3], fit.translation)
        np.testing.assert_array_equal(m[3], [0, 0, 0, 1])
        pts = np.asfortranarray(shape_cloud(50, seed=9))[::-1]
        np.testing.assert_allclose(fit.apply(pts), pts @ fit.B.T + fit.translation, rtol=0, atol=1e-14)
        homogeneous = np.column_stack([pts, np.ones(len(pts))]) @ m.T
        np.testing.assert_allclose(homogeneous[:, :3], fit.apply(pts), rtol=0, atol=1e-14)
        np.testing.assert_allclose(fit.B, B, atol=1e-4)

    def test_pickle_replace_repr(self, fit):
        back = pickle.loads(pickle.dumps(fit))
        assert type(back) is tarvic.AffineFit
        np.testing.assert_array_equal(back.B, fit.B)
        assert (back.method, back.error_bound, back.singular) == (fit.method, fit.error_bound, fit.singular)
        assert fit._replace(iterations=3).iterations == 3 and fit._replace(singular=True).singular
        assert "method='exact'" in repr(fit)

    def test_apply_refuses_bad_points(self, fit):
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 2)")):
            fit.apply(np.zeros((4, 2)))
        with pytest.raises(TypeError, match="argument 'points'"):
            fit.apply(np.zeros((4, 3), dtype=np.float32))


class TestBatch:
    def test_each_pair_is_its_single_fit(self):
        a = shape_cloud(200, seed=1)
        clouds = [a, a @ B.T + T, shape_cloud(150, seed=3)]
        pairs = np.array([[0, 1], [2, 1], [1, 0]])
        fits = tarvic.fit_affine_batch(clouds, None, pairs, threads=2)
        assert [type(f) for f in fits] == [tarvic.AffineFit] * 3
        for f, (i, j) in zip(fits, pairs):
            single = tarvic.fit_affine(clouds[i], clouds[j], threads=1)
            # A batch runs each fit on one thread, as `threads=1` does: the same numbers.
            np.testing.assert_array_equal(f.B, single.B)
            assert (f.iterations, f.sigma2) == (single.iterations, single.sigma2)
        np.testing.assert_allclose(fits[0].B, B, atol=1e-4)
        assert tarvic.fit_affine_batch(clouds, None, np.zeros((0, 2), np.int64)) == []

    @pytest.mark.parametrize(
        "pairs, kwargs, error, message",
        [
            (np.array([[0, 2]]), {}, ValueError, "pair 0 references cloud 2, but only 2 were given"),
            (np.array([[0, -1]]), {}, ValueError, "`pairs` must not contain negative indices"),
            (np.array([[0, 1]]), {"w": 1.0}, ValueError, "`w` must be in [0, 1), got 1"),
            (np.array([[0, 1]]), {"method": "slow"}, ValueError, "`method` must be 'auto', 'exact' or 'fast'"),
            (np.array([[0, 1]], dtype=np.int32), {}, TypeError, "argument 'pairs'"),
        ],
    )
    def test_refusals(self, pairs, kwargs, error, message):
        clouds = [shape_cloud(20, seed=1), shape_cloud(20, seed=2)]
        with pytest.raises(error, match=re.escape(message)):
            tarvic.fit_affine_batch(clouds, None, pairs, **kwargs)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(w=-0.1), ValueError, "`w` must be in [0, 1), got -0.1"),
        (dict(tolerance=float("nan")), ValueError, "`tolerance` must be finite and >= 0, got NaN"),
        (dict(max_iterations=0), ValueError, "`max_iterations` must be >= 1"),
        (dict(sigma2=0.0), ValueError, "`sigma2` must be finite and > 0, got 0"),
        (dict(accuracy=2.0), ValueError, "`accuracy` must be in (0, 1), got 2"),
        (dict(w="0.1"), TypeError, "argument 'w'"),
    ],
)
def test_options_refused_before_anything_runs(kwargs, error, message):
    big = np.zeros((1_000_000, 3))  # minutes to fit: a prompt refusal shows nothing ran
    with pytest.raises(error, match=re.escape(message)):
        tarvic.fit_affine(big, big, **kwargs)
