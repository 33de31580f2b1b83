"""The package's Python API: named results that stay tuples, wrappers that add nothing but names."""
import inspect
import pickle
import pydoc

import numpy as np
import pytest

import tarvic
import tarvic._tarvic as ext
from conftest import rotation, shape_cloud, similarity

FITS = ["fit_rigid", "fit_rigid_batch", "fit_deform", "fit_deform_batch"]


def assert_same(a, b):
    """Element-wise identity of two results (tuples of numbers and arrays, or lists of them)."""
    assert type(a) in (tuple, list) or isinstance(a, tuple)
    assert len(a) == len(b)
    for x, y in zip(a, b):
        if isinstance(x, (tuple, list)):
            assert_same(x, y)
        elif isinstance(x, np.ndarray):
            assert x.dtype == y.dtype and x.shape == y.shape
            np.testing.assert_array_equal(x, y)
        else:
            assert type(x) is type(y) and (x == y or (x != x and y != y)), (x, y)


@pytest.fixture(scope="module")
def clouds():
    src = shape_cloud(300, seed=4)
    tgt = similarity(src, 1.1, rotation([1, -1, 2], 20), np.array([0.3, 0.1, -0.2]))
    return src, tgt


class TestWrappers:
    @pytest.mark.parametrize("name", FITS)
    def test_signature_matches_the_extension(self, name):
        # A default that drifted from the extension's would silently change results.
        ours = inspect.signature(getattr(tarvic, name)).parameters
        theirs = inspect.signature(getattr(ext, name)).parameters
        # The package's own options come after the extension's, keyword only; single fits can
        # also be watched, and guided.
        own = {"method": "auto", "accuracy": 1e-6}
        if "batch" not in name:
            own.update(progress=False, progress_delay=0.0, callback=None)
        own.update({"fit_rigid": {"init": None, "landmarks": None, "landmark_weight": 0.1},
                    "fit_deform": {"prior": None, "landmarks": None, "landmark_weight": 0.1}}.get(name, {}))
        assert list(ours) == list(theirs) + list(own)
        for p, default in own.items():
            assert ours[p].kind == inspect.Parameter.KEYWORD_ONLY and ours[p].default == default, p
        for p in theirs:
            assert ours[p].default == theirs[p].default, p
            assert ours[p].kind == theirs[p].kind, p

    @pytest.mark.parametrize("name", FITS)
    def test_docstring_shown_by_help(self, name):
        text = pydoc.render_doc(getattr(tarvic, name), renderer=pydoc.plaintext)
        assert "Arguments" in text and "Returns" in text
        assert ("DeformFit" if "deform" in name else "Rigid") in text

    @pytest.mark.parametrize(
        "call",
        [
            lambda f: f.fit_rigid(np.zeros((5, 2)), np.zeros((5, 3))),
            lambda f: f.fit_rigid(shape_cloud(20), shape_cloud(20), w=1.5),
            lambda f: f.fit_rigid(shape_cloud(20), shape_cloud(20), scale=False, scale_bounds=(0.5, 2.0)),
            lambda f: f.fit_rigid(shape_cloud(20).astype(np.float32), shape_cloud(20)),
            lambda f: f.fit_rigid(shape_cloud(20), shape_cloud(20), max_iterations=-1),
            lambda f: f.fit_deform(shape_cloud(20), shape_cloud(20), alpha=0.0),
            lambda f: f.fit_deform(shape_cloud(20), shape_cloud(20), beta="wide"),
            lambda f: f.fit_rigid_batch([shape_cloud(20)], None, np.array([[0, 1]])),
            lambda f: f.fit_deform_batch([shape_cloud(20)], None, np.array([[0, 0]], dtype=np.int32)),
        ],
    )
    def test_errors_are_the_extensions(self, call):
        with pytest.raises(Exception) as ours:
            call(tarvic)
        with pytest.raises(Exception) as theirs:
            call(ext)
        assert type(ours.value) is type(theirs.value)
        assert str(ours.value) == str(theirs.value)


class TestNamedResults:
    def test_rigid_fit_is_the_plain_tuple_with_names(self, clouds):
        src, tgt = clouds
        fit = tarvic.fit_rigid(src, tgt, threads=1)
        assert isinstance(fit, tuple) and isinstance(fit, tarvic.RigidFit)
        assert_same(tuple(fit), ext.fit_rigid(src, tgt, threads=1))
        scale, rot, trans, sigma2, nrms, iterations, converged = fit
        assert (scale, sigma2, iterations, converged) == (fit.scale, fit.sigma2, fit.iterations, fit.converged)
        assert fit.rotation is rot and fit.translation is trans and fit[6] is converged

    def test_rigid_apply_and_matrix(self, clouds):
        src, tgt = clouds
        fit = tarvic.fit_rigid(src, tgt)
        np.testing.assert_array_equal(fit.apply(src), ext.apply_rigid(src, fit.scale, fit.rotation, fit.translation))
        m = fit.matrix
        assert m.shape == (4, 4) and m.dtype == np.float64
        np.testing.assert_array_equal(m[3], [0, 0, 0, 1])
        homogeneous = np.column_stack([src, np.ones(len(src))]) @ m.T
        np.testing.assert_allclose(homogeneous[:, :3], fit.apply(src), rtol=0, atol=1e-12)
        # Near-exact recovery of the similarity that made the target.
        np.testing.assert_allclose(m[:3, :3], 1.1 * rotation([1, -1, 2], 20), atol=1e-4)

    def test_deform_fit_is_the_plain_tuple_with_names(self, clouds):
        src, tgt = clouds
        fit = tarvic.fit_deform(src, tgt, max_iterations=30, num_modes=20, threads=1)
        assert isinstance(fit, tarvic.DeformFit)
        assert_same(tuple(fit), ext.fit_deform(src, tgt, max_iterations=30, num_modes=20, threads=1))
        source, w, beta, *_ = fit
        np.testing.assert_array_equal(fit.apply(tgt), ext.apply_deform(tgt, source, w, beta))
        assert fit.modes == 20

    def test_rigid_batch_names_pairs_and_matrices(self, clouds):
        src, tgt = clouds
        clouds_ = [src, tgt, src[::2]]
        pairs = np.array([[0, 1], [2, 1], [1, 0]])
        batch = tarvic.fit_rigid_batch(clouds_, None, pairs, max_iterations=80)
        assert isinstance(batch, tarvic.RigidBatch)
        assert_same(tuple(batch), ext.fit_rigid_batch(clouds_, None, pairs, max_iterations=80))
        assert batch.matrices.shape == (3, 4, 4)
        for k, (i, j) in enumerate(pairs):
            one = batch.pair(k)
            single = tarvic.fit_rigid(clouds_[i], clouds_[j], max_iterations=80, threads=1)
            assert_same(tuple(one), tuple(single))
            np.testing.assert_array_equal(batch.matrices[k], one.matrix)
        assert_same(tuple(batch.pair(-1)), tuple(batch.pair(2)))
        assert [tuple(f)[0] for f in batch.fits()] == batch.scales.tolist()
        with pytest.raises(IndexError):
            batch.pair(3)

    def test_empty_rigid_batch(self):
        batch = tarvic.fit_rigid_batch([shape_cloud(10)], None, np.zeros((0, 2), np.int64))
        assert batch.fits() == [] and batch.matrices.shape == (0, 4, 4)

    def test_deform_batch_is_a_list_of_named_fits(self, clouds):
        src, tgt = clouds
        pairs = np.array([[0, 1], [1, 0]])
        fits = tarvic.fit_deform_batch([src, tgt], None, pairs, max_iterations=10, num_modes=10)
        plain = ext.fit_deform_batch([src, tgt], None, pairs, max_iterations=10, num_modes=10)
        assert isinstance(fits, list) and all(isinstance(f, tarvic.DeformFit) for f in fits)
        assert_same([tuple(f) for f in fits], plain)

    def test_results_pickle(self, clouds):
        # Results cross process boundaries (multiprocessing, Dask) as themselves.
        src, tgt = clouds
        for result in (tarvic.fit_rigid(src, tgt, max_iterations=5),
                       tarvic.fit_deform(src, tgt, max_iterations=5, num_modes=5),
                       tarvic.fit_rigid_batch([src, tgt], None, np.array([[0, 1]]), max_iterations=5)):
            back = pickle.loads(pickle.dumps(result))
            assert type(back) is type(result)
            assert_same(tuple(back), tuple(result))
