"""fit_deform and apply_deform: fitted warps, the kernel convention, and apply_deform's checks."""
import re

import numpy as np
import pytest

import tarvic._tarvic as ext
from conftest import deform_reference, shape_cloud


def warp(points):
    """A smooth displacement field, about a tenth of the cloud's size."""
    return points + 0.1 * np.sin(2.0 * points[:, [1, 2, 0]])


@pytest.fixture(scope="module")
def warped():
    src = shape_cloud(300, seed=11)
    return src, warp(src)


@pytest.fixture(scope="module")
def fitted(warped):
    return ext.fit_deform(*warped)


class TestFit:
    def test_result_record(self, warped, fitted):
        src, _ = warped
        out_src, w, beta, sigma2, nrms, iterations, converged, modes = fitted
        for arr in (out_src, w):
            assert arr.shape == src.shape and arr.dtype == np.float64
            assert arr.flags.writeable and arr.flags.c_contiguous and not np.shares_memory(arr, src)
        assert [type(v) for v in (beta, sigma2, nrms, iterations, converged, modes)] == [float, float, float, int, bool, int]
        assert 1 <= modes <= 100
        np.testing.assert_allclose(out_src, src, atol=1e-12)

    def test_fit_then_apply_reproduces_the_target(self, warped, fitted):
        src, tgt = warped
        out_src, w, beta = fitted[:3]
        moved = ext.apply_deform(out_src, out_src, w, beta)
        # Clean one-to-one data: the fitted positions sit on the target, up to the f32 kernel.
        assert np.abs(moved - tgt).max() < 1e-3 * np.abs(tgt - src).max()

    def test_apply_matches_naive_kernel_sum(self, warped, fitted):
        out_src, w, beta = fitted[:3]
        pts = np.random.default_rng(12).uniform(out_src.min(0), out_src.max(0), size=(200, 3))
        expected = deform_reference(pts, out_src, w, beta)
        shift = np.abs(expected - pts).max()
        np.testing.assert_allclose(ext.apply_deform(pts, out_src, w, beta), expected, rtol=0, atol=1e-3 * shift)

    def test_beta_is_returned_in_absolute_units(self, warped, fitted):
        src, tgt = warped
        beta_unit = fitted[2]
        beta_scaled = ext.fit_deform(10.0 * src, 10.0 * tgt)[2]
        assert beta_scaled == pytest.approx(10.0 * beta_unit, rel=1e-12)
        assert ext.fit_deform(src, tgt, beta=2.0)[2] == pytest.approx(2.0 * beta_unit, rel=1e-12)
        assert beta_scaled != 1.0

    def test_layouts_match_contiguous(self, warped):
        src, tgt = warped
        # One thread: the comparison is about the layouts, not about parallel summation order.
        reference = ext.fit_deform(src, tgt, threads=1)
        wide = np.zeros((len(src), 6))
        wide[:, 2:5] = src
        for s_in, t_in in [(np.asfortranarray(src), tgt), (wide[:, 2:5], np.asfortranarray(tgt))]:
            for a, b in zip(ext.fit_deform(s_in, t_in, threads=1), reference):
                np.testing.assert_array_equal(a, b)

    def test_option_errors(self, warped):
        src, tgt = warped
        with pytest.raises(ValueError, match=re.escape("`num_modes` must be >= 1") + "$"):
            ext.fit_deform(src, tgt, num_modes=0)
        with pytest.raises(OverflowError):
            ext.fit_deform(src, tgt, num_modes=-1)
        with pytest.raises(ValueError, match=re.escape("`alpha` must be finite and > 0, got 0") + "$"):
            ext.fit_deform(src, tgt, alpha=0.0, beta=0.0)
        with pytest.raises(ValueError, match=re.escape("`beta` must be finite and > 0, got -1") + "$"):
            ext.fit_deform(src, tgt, beta=-1.0)
        with pytest.raises(TypeError, match=re.escape("argument 'num_modes': ")):
            ext.fit_deform(src, tgt, num_modes=1.5)


class TestApplyDeform:
    def test_zero_coefficients_return_the_points(self):
        pts = shape_cloud(40, seed=13)
        src = shape_cloud(10, seed=14)
        np.testing.assert_array_equal(ext.apply_deform(pts, src, np.zeros_like(src), 0.3), pts)

    def test_empty_points(self):
        src = shape_cloud(10, seed=14)
        out = ext.apply_deform(np.zeros((0, 3)), src, np.ones_like(src), 0.3)
        assert out.shape == (0, 3) and out.dtype == np.float64

    def test_beta_is_passed_through_unchecked(self):
        pts, src = shape_cloud(30, seed=15), shape_cloud(8, seed=16)
        w = np.random.default_rng(17).normal(size=src.shape)
        # Only beta² enters the kernel: a negative width is not an error and equals its magnitude.
        np.testing.assert_array_equal(ext.apply_deform(pts, src, w, -0.4), ext.apply_deform(pts, src, w, 0.4))

    def test_nan_and_zero_width_move_each_point_by_its_own_coefficient(self):
        # A NaN width clamps to the smallest width, as zero does: only coincident points weigh in.
        src = shape_cloud(20, seed=21)
        ones = np.ones_like(src)
        for beta in (0.0, float("nan")):
            np.testing.assert_array_equal(ext.apply_deform(src, src, ones, beta), src + 1.0)
        pts = shape_cloud(25, seed=22)
        np.testing.assert_array_equal(ext.apply_deform(pts, src, ones, float("nan")), pts)

    def test_inputs_are_never_written(self):
        pts, src = shape_cloud(30, seed=18), shape_cloud(8, seed=19)
        w = np.random.default_rng(20).normal(size=src.shape)
        keep = pts.copy(), src.copy(), w.copy()
        ext.apply_deform(np.asfortranarray(pts), src, w[:, :], 0.5)
        for a, b in zip((pts, src, w), keep):
            np.testing.assert_array_equal(a, b)

    def test_shape_messages(self):
        pts = np.zeros((4, 3))
        with pytest.raises(ValueError, match=re.escape("`source` and `w` must have the same shape, got [5, 3] and [5, 2]") + "$"):
            ext.apply_deform(pts, np.zeros((5, 3)), np.zeros((5, 2)), 1.0)
        with pytest.raises(ValueError, match=re.escape("`source` and `w` must have the same shape, got [5, 3] and [4, 3]") + "$"):
            ext.apply_deform(pts, np.zeros((5, 3)), np.zeros((4, 3)), 1.0)
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 2)") + "$"):
            ext.apply_deform(pts, np.zeros((5, 2)), np.zeros((5, 2)), 1.0)
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 4)") + "$"):
            ext.apply_deform(np.zeros((4, 4)), np.zeros((5, 3)), np.zeros((5, 3)), 1.0)
        with pytest.raises(TypeError, match=re.escape("argument 'w': ")):
            ext.apply_deform(pts, np.zeros((5, 3)), np.zeros((5, 3), np.float32), 1.0)
