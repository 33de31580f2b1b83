"""fit_rigid and apply_rigid: recovery of known similarities, layouts, and apply_rigid's checks."""
import re

import numpy as np
import pytest

import tarvic._tarvic as ext
from conftest import rotation, rotation_error_deg, shape_cloud, similarity


def assert_recovers(result, s, r, t, rot_deg=0.1, rel=1e-3):
    scale, r_fit, t_fit = result[0], result[1], result[2]
    assert rotation_error_deg(r_fit, r) < rot_deg
    assert abs(scale - s) / s < rel
    assert np.linalg.norm(t_fit - t) / np.linalg.norm(t) < rel


class TestRecovery:
    @pytest.mark.parametrize(
        "axis, degrees, s",
        [([0, 0, 1], 0.0, 1.0), ([1, 1, 0], 30.0, 0.5), ([1, -2, 3], 45.0, 2.0), ([0.3, 1, -0.2], 60.0, 1.5)],
    )
    def test_clean_similarity_with_different_point_counts(self, axis, degrees, s):
        src = shape_cloud(400, seed=2)
        r, t = rotation(axis, degrees), np.array([0.7, -1.2, 3.0])
        # The target repeats a quarter of the points and is shuffled: M != N, no correspondences,
        # and the true transform is still an exact optimum.
        rng = np.random.default_rng(3)
        moved = similarity(np.vstack([src, src[:100]]), s, r, t)
        tgt = moved[rng.permutation(len(moved))]
        result = ext.fit_rigid(src, tgt)
        assert_recovers(result, s, r, t)
        assert result[6] is True and isinstance(result[5], int) and isinstance(result[3], float)

    def test_outliers_with_w(self):
        rng = np.random.default_rng(4)
        src = shape_cloud(500, seed=5)
        s, r, t = 1.3, rotation([2, 1, 1], 40.0), np.array([1.0, 2.0, -1.0])
        tgt = similarity(src, s, r, t) + rng.normal(scale=0.005, size=src.shape)
        lo, hi = tgt.min(0), tgt.max(0)
        outliers = rng.uniform(lo, hi, size=(125, 3))  # 20% of the target
        tgt = np.vstack([tgt, outliers])[rng.permutation(625)]
        result = ext.fit_rigid(src, tgt, w=0.2)
        assert_recovers(result, s, r, t, rot_deg=1.0, rel=1e-2)

    def test_bunny(self, bunny):
        src, tgt = bunny
        # The pair as shipped: the target is the source moved by a known (Procrustes) transform.
        sc, tc = src - src.mean(0), tgt - tgt.mean(0)
        u, _, vt = np.linalg.svd(tc.T @ sc)
        r_true = u @ vt
        t_true = tgt.mean(0) - r_true @ src.mean(0)
        assert_recovers(ext.fit_rigid(src, tgt), 1.0, r_true, t_true)
        # And by a large similarity of our own, turning about the bunny's centre and shifting it by
        # half its size (CPD needs the clouds to overlap at the start).
        s, r, c = 0.6, rotation([1, 0.5, -1], 55.0), src.mean(0)
        t = c - s * r @ c + np.array([0.05, -0.03, 0.04])
        assert_recovers(ext.fit_rigid(src, similarity(src, s, r, t)), s, r, t)

    def test_identity_on_itself(self, pair):
        src = pair[0]
        scale, r, t = ext.fit_rigid(src, src)[:3]
        assert abs(scale - 1.0) < 1e-6
        np.testing.assert_allclose(r, np.eye(3), atol=1e-6)
        np.testing.assert_allclose(t, 0.0, atol=1e-6)

    def test_scale_off_is_a_proper_rotation(self, pair):
        scale, r = ext.fit_rigid(*pair, scale=False)[:2]
        assert scale == 1.0
        np.testing.assert_allclose(r @ r.T, np.eye(3), atol=1e-12)
        assert np.linalg.det(r) > 0

    def test_fit_then_apply_reproduces_the_target(self, pair):
        src, tgt = pair
        scale, r, t = ext.fit_rigid(src, tgt)[:3]
        np.testing.assert_allclose(ext.apply_rigid(src, scale, r, t), tgt, atol=1e-5)


class TestLayouts:
    def test_fortran_sliced_reversed_and_readonly_inputs_match_contiguous(self, pair):
        src, tgt = pair
        reference = ext.fit_rigid(src, tgt)
        big = np.zeros((2 * len(src), 5))
        big[::2, 1:4] = src
        readonly = tgt.copy()
        readonly.flags.writeable = False
        reversed_rows = np.ascontiguousarray(tgt[::-1])[::-1]
        for s_in, t_in in [
            (np.asfortranarray(src), np.asfortranarray(tgt)),
            (big[::2, 1:4], readonly),
            (src, reversed_rows),
        ]:
            result = ext.fit_rigid(s_in, t_in)
            for a, b in zip(result, reference):
                np.testing.assert_array_equal(a, b)

    def test_misaligned_buffer(self, pair):
        src, tgt = pair
        raw = np.zeros(src.size * 8 + 1, np.uint8)
        unaligned = np.frombuffer(raw.data, dtype=np.float64, count=src.size, offset=1).reshape(src.shape)
        assert not unaligned.flags.aligned
        # frombuffer gives a read-only view of a writable buffer: fill through the bytes.
        raw[1:] = np.frombuffer(src.tobytes(), np.uint8)
        for a, b in zip(ext.fit_rigid(unaligned, tgt), ext.fit_rigid(src, tgt)):
            np.testing.assert_array_equal(a, b)
        r = rotation([1, 2, 2], 20)
        np.testing.assert_array_equal(ext.apply_rigid(unaligned, 2.0, r, np.ones(3)), ext.apply_rigid(src, 2.0, r, np.ones(3)))

    def test_inputs_are_never_written(self, pair):
        src, tgt = pair
        keep = src.copy(), tgt.copy()
        scale, r, t = ext.fit_rigid(src, tgt)[:3]
        r_keep, t_keep = r.copy(), t.copy()
        ext.apply_rigid(src, scale, r, t)
        np.testing.assert_array_equal(src, keep[0])
        np.testing.assert_array_equal(tgt, keep[1])
        np.testing.assert_array_equal(r, r_keep)
        np.testing.assert_array_equal(t, t_keep)

    def test_results_are_fresh_writeable_arrays(self, pair):
        first = ext.fit_rigid(*pair)
        second = ext.fit_rigid(*pair)
        for arr in (first[1], first[2]):
            assert arr.dtype == np.float64 and arr.flags.writeable and arr.flags.c_contiguous
        first[1][:] = 0.0
        assert np.any(second[1] != 0.0)
        moved = ext.apply_rigid(pair[0], 1.0, np.eye(3), np.zeros(3))
        assert moved.flags.writeable and moved.flags.c_contiguous and moved.shape == pair[0].shape
        assert not np.shares_memory(moved, pair[0])


class TestApplyRigid:
    def test_matches_naive_reference(self):
        pts = shape_cloud(50, seed=7)
        s, r, t = 1.7, rotation([1, 0, 2], 33), np.array([0.1, 0.2, 0.3])
        np.testing.assert_allclose(ext.apply_rigid(pts, s, r, t), similarity(pts, s, r, t), rtol=1e-14, atol=1e-14)
        # A transposed (Fortran-ordered) rotation is read by its logical elements.
        np.testing.assert_allclose(ext.apply_rigid(pts, s, r.T, t), similarity(pts, s, r.T, t), rtol=1e-14, atol=1e-14)
        # Any layout of the points and a strided translation give the same values.
        reference = ext.apply_rigid(pts, s, r, t)
        np.testing.assert_array_equal(ext.apply_rigid(np.asfortranarray(pts), s, r, t), reference)
        np.testing.assert_array_equal(ext.apply_rigid(pts[::-1], s, r, t), reference[::-1])
        np.testing.assert_array_equal(ext.apply_rigid(np.repeat(pts, 2, axis=1)[:, ::2], s, r, t), reference)
        np.testing.assert_array_equal(ext.apply_rigid(pts, s, r, np.repeat(t, 2)[::2]), reference)

    def test_edge_inputs(self):
        r = rotation([0, 1, 0], 10)
        assert ext.apply_rigid(np.zeros((0, 3)), 1.0, r, np.zeros(3)).shape == (0, 3)
        t = np.array([1.0, -2.0, 3.0])
        np.testing.assert_array_equal(ext.apply_rigid(shape_cloud(10), 0.0, r, t), np.tile(t, (10, 1)))

    def test_shape_messages(self):
        pts, t = np.zeros((4, 3)), np.zeros(3)
        with pytest.raises(ValueError, match=re.escape("`rotation` must be (3, 3), got [2, 3]") + "$"):
            ext.apply_rigid(pts, 1.0, np.zeros((2, 3)), np.zeros(4))  # rotation is checked first
        with pytest.raises(ValueError, match=re.escape("`translation` must be (3, ), got [4]") + "$"):
            ext.apply_rigid(pts, 1.0, np.eye(3), np.zeros(4))
        with pytest.raises(TypeError, match=re.escape("argument 'translation': ")):
            ext.apply_rigid(pts, 1.0, np.eye(3), np.zeros((3, 1)))
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 2)") + "$"):
            ext.apply_rigid(np.zeros((4, 2)), 1.0, np.eye(3), t)
        # Types are checked before shapes.
        with pytest.raises(TypeError, match=re.escape("argument 'scale': ")):
            ext.apply_rigid(pts, "1", np.zeros((2, 3)), t)
