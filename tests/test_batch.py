"""fit_rigid_batch and fit_deform_batch: result layout, agreement with single fits, pairs and lists."""
import re

import numpy as np
import pytest

import tarvic._tarvic as ext
from conftest import check_ok, rotation, run_python, shape_cloud, similarity


@pytest.fixture(scope="module")
def clouds():
    """One shape in three poses and sizes (some points repeated, rows shuffled, a little noise),
    so every pair is related by a similarity and its fit converges."""
    base = shape_cloud(150, seed=30)
    rng = np.random.default_rng(31)
    out = []
    for k in range(3):
        points = np.vstack([base, base[: 20 * k]])
        points = points[rng.permutation(len(points))]
        moved = similarity(points, 1.0 + 0.2 * k, rotation([1, k, 2], 15 * k), np.array([0.1 * k, 0.0, -0.1 * k]))
        out.append(moved + rng.normal(scale=0.003, size=moved.shape))
    return out


PAIRS = np.array([[0, 1], [2, 0], [1, 1], [1, 2]], dtype=np.int64)
RIGID_NAMES = ["scales", "rotations", "translations", "sigma2s", "nrms", "iterations", "converged"]


def assert_same_records(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        if isinstance(x, np.ndarray):
            np.testing.assert_array_equal(x, y)
        else:
            assert x == y


class TestRigidBatch:
    def test_result_arrays(self, clouds):
        out = ext.fit_rigid_batch(clouds, None, PAIRS)
        assert isinstance(out, tuple) and len(out) == 7
        shapes = [(4,), (4, 3, 3), (4, 3), (4,), (4,), (4,), (4,)]
        dtypes = [np.float64] * 5 + [np.int64, np.bool_]
        for arr, shape, dtype in zip(out, shapes, dtypes):
            assert arr.shape == shape and arr.dtype == dtype
            assert arr.flags.c_contiguous and arr.flags.writeable

    def test_row_k_is_the_single_fit_of_pair_k(self, clouds):
        out = ext.fit_rigid_batch(clouds, clouds, PAIRS, w=0.05)
        for k, (i, j) in enumerate(PAIRS):
            single = ext.fit_rigid(clouds[i], clouds[j], w=0.05)
            # Only the E-step's summation order differs (parallel chunks against one sweep). Near the
            # tolerance that can move the stopping iteration by several, but not the transform.
            assert out[0][k] == pytest.approx(single[0], rel=1e-5)
            np.testing.assert_allclose(out[1][k], single[1], atol=1e-5)
            np.testing.assert_allclose(out[2][k], single[2], atol=1e-5)
            assert out[4][k] == pytest.approx(single[4], rel=1e-2)
            assert 1 <= out[5][k] <= 200

    def test_thread_counts_and_shared_targets_give_identical_records(self, clouds):
        one = ext.fit_rigid_batch(clouds, None, PAIRS, threads=1)
        assert_same_records(one, ext.fit_rigid_batch(clouds, None, PAIRS, threads=2))
        assert_same_records(one, ext.fit_rigid_batch(clouds, list(clouds), PAIRS, threads=2))
        # With the sources as targets, (0, 1) and (1, 0) fit cloud 0 onto cloud 1 and back.
        there_and_back = ext.fit_rigid_batch(clouds, None, np.array([[0, 1], [1, 0]]))
        explicit = ext.fit_rigid_batch(clouds[:2], clouds[1::-1], np.array([[0, 0], [1, 1]]))
        assert_same_records(there_and_back, explicit)

    def test_layouts_and_stacked_arrays(self, clouds):
        same = [c[:100] for c in clouds]
        stacked = np.stack(same)  # (K, N, 3) iterates as K clouds
        reference = ext.fit_rigid_batch(same, None, PAIRS)
        assert_same_records(reference, ext.fit_rigid_batch(stacked, None, PAIRS))
        odd = [np.asfortranarray(same[0]), np.repeat(same[1], 2, axis=0)[::2], same[2][::-1][::-1]]
        assert_same_records(reference, ext.fit_rigid_batch(odd, odd, PAIRS))
        # Pairs in any layout, read by rows.
        fortran_pairs = np.asfortranarray(PAIRS)
        assert_same_records(reference, ext.fit_rigid_batch(same, None, fortran_pairs))

    def test_empty_pairs(self, clouds):
        out = ext.fit_rigid_batch(clouds, None, np.zeros((0, 2), np.int64))
        assert [a.shape for a in out] == [(0,), (0, 3, 3), (0, 3), (0,), (0,), (0,), (0,)]
        assert ext.fit_rigid_batch([], [], np.zeros((0, 2), np.int64))[0].shape == (0,)

    def test_inputs_are_never_written(self, clouds):
        keep = [c.copy() for c in clouds]
        pairs = PAIRS.copy()
        ext.fit_rigid_batch(clouds, None, pairs)
        for a, b in zip(clouds, keep):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(pairs, PAIRS)


class TestBatchArguments:
    @pytest.mark.parametrize("fit", [ext.fit_rigid_batch, ext.fit_deform_batch])
    def test_pairs(self, clouds, fit):
        with pytest.raises(ValueError, match=re.escape("`pairs` must be (P, 2), got (P, 3)") + "$"):
            fit(clouds, None, np.zeros((4, 3), np.int64))
        bad = PAIRS.copy()
        bad[2, 1] = -1
        with pytest.raises(ValueError, match=re.escape("`pairs` must not contain negative indices") + "$"):
            fit(clouds, None, bad)
        for wrong in (np.zeros(2, np.int64), PAIRS.astype(np.int32), PAIRS.tolist()):
            with pytest.raises(TypeError, match=re.escape("argument 'pairs': ")):
                fit(clouds, None, wrong)
        with pytest.raises(ValueError, match=re.escape("pair 1 references cloud 3, but only 3 were given") + "$"):
            fit(clouds, None, np.array([[0, 1], [3, 0]]))
        with pytest.raises(ValueError, match=re.escape("pair 0 references cloud 2, but only 2 were given") + "$"):
            fit(clouds, clouds[:2], np.array([[0, 2]]))
        with pytest.raises(TypeError, match=re.escape(f"{fit.__name__}() missing 1 required positional argument: 'targets'")):
            fit(clouds, pairs=PAIRS)

    @pytest.mark.parametrize("fit", [ext.fit_rigid_batch, ext.fit_deform_batch])
    def test_cloud_lists(self, clouds, fit):
        with pytest.raises(TypeError, match=re.escape("argument 'sources': Can't extract `str` to `Vec`") + "$"):
            fit("abc", None, PAIRS)
        with pytest.raises(TypeError, match=re.escape("argument 'targets': 'int' object cannot be cast as 'Sequence'") + "$"):
            fit(clouds, 5, PAIRS)
        with pytest.raises(TypeError, match=re.escape("argument 'sources': 'list' object cannot be cast as 'ndarray'") + "$"):
            fit([clouds[0], [[0.0, 0.0, 0.0]]], None, PAIRS)
        with pytest.raises(ValueError, match=re.escape("`sources` has no points") + "$"):
            fit([clouds[0], np.zeros((0, 3))], None, PAIRS)
        nan = clouds[1].copy()
        nan[0, 0] = np.inf
        with pytest.raises(ValueError, match=re.escape("`targets` contains NaN or infinite coordinates") + "$"):
            fit(clouds, [clouds[0], nan], PAIRS)
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 2)") + "$"):
            fit(clouds, [np.zeros((5, 2))], PAIRS)
        # Options are checked before any cloud.
        with pytest.raises(ValueError, match=re.escape("`w` must be in [0, 1), got 2") + "$"):
            fit([np.zeros((0, 3))], None, PAIRS, w=2.0)

    def test_iteration_protocols(self, clouds):
        class NoLength:
            """A sequence whose length query fails: the list just grows."""

            def __getitem__(self, i):
                if i < len(clouds):
                    return clouds[i]
                raise IndexError(i)

            def __len__(self):
                raise RuntimeError("no length")

        assert_same_records(ext.fit_rigid_batch(NoLength(), None, PAIRS), ext.fit_rigid_batch(clouds, None, PAIRS))

        class Failing:
            def __init__(self, exc):
                self.exc = exc

            def __getitem__(self, i):
                if i == 0:
                    return clouds[0]
                raise self.exc

            def __len__(self):
                return 3

        with pytest.raises(TypeError, match=re.escape("argument 'sources': broken") + "$"):
            ext.fit_rigid_batch(Failing(TypeError("broken")), None, PAIRS)
        with pytest.raises(KeyError):
            ext.fit_rigid_batch(Failing(KeyError("broken")), None, PAIRS)


class TestProgress:
    CODE = """
        import numpy as np, sys, tarvic
        sys.path.insert(0, {tests!r})
        from conftest import shape_cloud
        clouds = [shape_cloud(300, seed=k) for k in range(4)]
        pairs = np.array([[i, j] for i in range(4) for j in range(4)])
        tarvic.{fit}(clouds, None, pairs, max_iterations=30, progress={progress})
        print("done")
        """

    @pytest.mark.parametrize("fit, label", [("fit_rigid_batch", "Aligning"), ("fit_deform_batch", "Registering")])
    def test_bar_is_drawn_on_stderr_and_cleared(self, fit, label, request):
        tests = str(request.path.parent)
        proc = check_ok(run_python(self.CODE.format(tests=tests, fit=fit, progress=True)))
        assert proc.stdout == "done\n"
        assert label in proc.stderr and "/16" in proc.stderr
        # The last thing written erases the bar's line.
        assert label not in proc.stderr.rsplit("\x1b[2K", 1)[-1]

    def test_no_output_without_progress(self, request):
        proc = check_ok(run_python(self.CODE.format(tests=str(request.path.parent), fit="fit_rigid_batch", progress=False)))
        assert proc.stdout == "done\n" and proc.stderr == ""


class TestDeformBatch:
    def test_list_of_tuples_matching_single_fits(self, clouds):
        out = ext.fit_deform_batch(clouds, None, PAIRS, threads=1)
        assert isinstance(out, list) and len(out) == len(PAIRS)
        for k, (i, j) in enumerate(PAIRS):
            item = out[k]
            assert isinstance(item, tuple) and len(item) == 8
            assert item[0].shape == item[1].shape == clouds[i].shape
            single = ext.fit_deform(clouds[i], clouds[j], threads=1)
            assert item[2] == single[2]  # beta depends only on the clouds
            assert item[7] == single[7]
            # The fitted deformations agree up to summation order (f32 kernel, sequential E-step).
            moved_batch = ext.apply_deform(clouds[i], item[0], item[1], item[2])
            moved_single = ext.apply_deform(clouds[i], single[0], single[1], single[2])
            extent = np.ptp(clouds[j], axis=0).max()
            np.testing.assert_allclose(moved_batch, moved_single, atol=1e-3 * extent)

    def test_empty_pairs(self, clouds):
        assert ext.fit_deform_batch(clouds, None, np.zeros((0, 2), np.int64)) == []
