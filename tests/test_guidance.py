"""Starting transforms (`init`), rigid or affine fits before a deformation (`prior`), and
landmark guidance (`landmarks`, `landmark_weight`): what they do and what they refuse."""
import pickle
import re

import numpy as np
import pytest

import tarvic
from conftest import rotation, rotation_error_deg, shape_cloud, similarity


def homogeneous(linear, translation):
    m = np.eye(4)
    m[:3, :3] = linear
    m[:3, 3] = translation
    return m


B = np.array([[1.3, 0.4, -0.1], [0.05, 0.8, 0.3], [-0.2, 0.1, 1.1]])
T = np.array([0.5, -0.3, 0.8])


@pytest.fixture(scope="module")
def noisy():
    """A shape under a known similarity, with noise."""
    src = shape_cloud(500, seed=21)
    s, r, t = 1.2, rotation([1, 2, 3], 40), np.array([0.3, -0.5, 0.2])
    tgt = similarity(src, s, r, t) + np.random.default_rng(2).normal(scale=0.005, size=src.shape)
    return src, tgt, homogeneous(s * r, t)


class TestInit:
    @pytest.mark.parametrize("method", ["exact", "fast"])
    def test_the_truth_as_start_is_done_in_a_few_iterations(self, noisy, method):
        src, tgt, truth = noisy
        # A tolerance above the E-step's own rounding (the default 1e-6 sits at it: near the
        # optimum the variance wanders by about that much, and meets it only by chance).
        opts = dict(tolerance=1e-4, method=method)
        cold = tarvic.fit_rigid(src, tgt, **opts)
        # With a variance near the noise's, a start at the truth has nothing left to find.
        warm = tarvic.fit_rigid(src, tgt, init=truth, sigma2=1e-4, **opts)
        assert warm.converged and warm.iterations <= 5 and cold.iterations >= 15
        np.testing.assert_allclose(warm.matrix, cold.matrix, atol=1e-4)
        # A previous fit starts from its own variance too: it goes on where that one stopped.
        again = tarvic.fit_rigid(src, tgt, init=cold, **opts)
        assert again.converged and again.iterations <= 2
        np.testing.assert_allclose(again.matrix, cold.matrix, atol=1e-5)
        # And the same for an affine fit of an affine image.
        target = src @ B.T + T + np.random.default_rng(3).normal(scale=0.005, size=src.shape)
        cold = tarvic.fit_affine(src, target, **opts)
        warm = tarvic.fit_affine(src, target, init=homogeneous(B, T), sigma2=1e-4, **opts)
        assert warm.converged and warm.iterations <= 5 and cold.iterations >= 15
        np.testing.assert_allclose(warm.B, B, atol=5e-3)

    def test_composition_is_exact(self, noisy):
        src, tgt, _ = noisy
        # Applying the result equals applying the start, then what was fitted from there: the fit
        # from `init` is the fit of the source moved by it, followed by it.
        start = homogeneous(0.9 * rotation([0, 1, 1], 25), [0.1, 0.2, -0.3])
        placed = src @ start[:3, :3].T + start[:3, 3]
        ours = tarvic.fit_rigid(src, tgt, init=start, threads=1)
        then = tarvic.fit_rigid(placed, tgt, threads=1)
        np.testing.assert_allclose(ours.matrix, then.matrix @ start, rtol=0, atol=1e-9)
        np.testing.assert_allclose(ours.apply(src), then.apply(placed), rtol=0, atol=1e-9)
        assert ours.iterations == then.iterations
        np.testing.assert_allclose(ours.rotation @ ours.rotation.T, np.eye(3), atol=1e-12)
        shear = homogeneous(B, T)
        placed = src @ B.T + T
        ours = tarvic.fit_affine(src, tgt, init=shear, threads=1)
        then = tarvic.fit_affine(placed, tgt, threads=1)
        np.testing.assert_allclose(ours.matrix, then.matrix @ shear, rtol=0, atol=1e-9)
        np.testing.assert_allclose(ours.apply(src), then.apply(placed), rtol=0, atol=1e-9)

    def test_affine_fit_starts_from_a_rigid_one(self, noisy):
        src, _, _ = noisy
        target = src @ B.T + T
        rigid = tarvic.fit_rigid(src, target)
        affine = tarvic.fit_affine(src, target, init=rigid, tolerance=1e-9)
        np.testing.assert_allclose(affine.B, B, atol=1e-4)

    @pytest.mark.parametrize(
        "fit, init, error, message",
        [
            ("rigid", homogeneous(np.diag([1.0, 1.0, 1.1]), 0), ValueError,
             "`init` of a rigid fit must be a similarity (a positive scale times a rotation, to 1e-6)"),
            ("rigid", homogeneous(np.diag([-1.0, 1.0, 1.0]), 0), ValueError, "`init` of a rigid fit must be a similarity"),
            ("affine", homogeneous(np.array([[1, 2, 3], [2, 4, 6], [0, 0, 1.0]]), 0), ValueError,
             "`init` is singular: its 3 x 3 part has no inverse"),
            ("rigid", homogeneous(np.zeros((3, 3)), 0), ValueError, "`init` is singular"),
            ("affine", homogeneous(np.eye(3), [0, np.nan, 0]), ValueError, "`init` contains NaN or infinite values"),
            ("rigid", homogeneous(np.eye(3) * 1e308, 0), ValueError,
             "`init` carries the source beyond the floating-point range"),
            ("affine", np.eye(3), ValueError, "`init` must be a (4, 4) matrix, got [3, 3]"),
            ("affine", np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0.5, 1]]), ValueError,
             "`init` must have the last row (0, 0, 0, 1) of an affine map, got (0, 0, 0.5, 1)"),
            ("affine", np.eye(4, dtype=np.float32), TypeError, "argument 'init'"),
            ("rigid", np.eye(4).tolist(), TypeError, "argument 'init'"),
        ],
    )
    def test_refused_before_anything_runs(self, fit, init, error, message):
        big = np.full((1_000_000, 3), 2.0)  # minutes to fit: a prompt refusal shows nothing ran
        with pytest.raises(error, match=re.escape(message)):
            getattr(tarvic, f"fit_{fit}")(big, big, init=init)

    def test_fits_of_the_wrong_kind(self, noisy):
        src, tgt, _ = noisy
        affine = tarvic.fit_affine(src[:50], tgt[:50], max_iterations=2)
        bent = tarvic.fit_deform(src[:50], tgt[:50], max_iterations=2)
        with pytest.raises(ValueError, match=re.escape("`init` must be a 4 x 4 similarity matrix or a RigidFit, "
                                                       "got an AffineFit")):
            tarvic.fit_rigid(src, tgt, init=affine)
        with pytest.raises(ValueError, match=re.escape("`init` must be a 4 x 4 matrix, a RigidFit or an AffineFit, "
                                                       "got a DeformFit")):
            tarvic.fit_affine(src, tgt, init=bent)
        with pytest.raises(ValueError, match=re.escape("`prior` must be a RigidFit or an AffineFit, got a DeformFit")):
            tarvic.fit_deform(src, tgt, prior=bent)
        with pytest.raises(TypeError, match=re.escape("argument 'prior': must be a RigidFit, an AffineFit or None, "
                                                      "not ndarray")):
            tarvic.fit_deform(src, tgt, prior=np.eye(4))


def bend(p):
    q = p.copy()
    q[:, 1] += 0.25 * np.sin(1.5 * p[:, 0])
    q[:, 2] += 0.15 * p[:, 0] ** 2
    return q


class TestPrior:
    @pytest.mark.parametrize("degrees, seed", [(60, 7), (90, 7), (90, 1), (90, 3)])
    def test_rigid_then_deformable_beats_deformable_alone(self, degrees, seed):
        # A bent copy of the shape, turned and moved: a deformation alone cannot undo the turn,
        # a rigid fit alone cannot undo the bend; one after the other recovers both, point for point.
        src = shape_cloud(600, seed=seed)
        truth = similarity(bend(src), 1.1, rotation([0.3, 1, 0.2], degrees), np.array([0.3, -0.2, 0.1]))
        rigid = tarvic.fit_rigid(src, truth)
        alone = tarvic.fit_deform(src, truth)
        after = tarvic.fit_deform(src, truth, prior=rigid)
        error = {name: np.linalg.norm(fit.apply(src) - truth, axis=1).mean()
                 for name, fit in (("rigid", rigid), ("alone", alone), ("after", after))}
        size = np.ptp(truth, axis=0).max()
        assert error["after"] < 1e-3 * size
        assert error["alone"] > 20 * error["after"] and error["rigid"] > 20 * error["after"]

    def test_apply_goes_through_the_prior_then_the_deformation(self, noisy):
        src, tgt, _ = noisy
        for prior in (tarvic.fit_rigid(src, tgt, max_iterations=5), tarvic.fit_affine(src, tgt, max_iterations=5)):
            # One thread on both: on several, the E-step's sums merge in whatever order work
            # stealing gives, and two deformable fits differ in the last bits.
            fit = tarvic.fit_deform(src, tgt, prior=prior, max_iterations=10, num_modes=20, threads=1)
            assert fit.prior is prior and len(tuple(fit)) == 8
            # The kernel centres are the source as the prior placed it.
            np.testing.assert_allclose(fit.source, prior.apply(src), rtol=0, atol=1e-12)
            pts = shape_cloud(40, seed=5)
            np.testing.assert_array_equal(fit.apply(pts), tarvic.apply_deform(prior.apply(pts), *fit[:3]))
            # The deformation is the one fitted to the placed source, nothing else.
            plain = tarvic.fit_deform(prior.apply(src), tgt, max_iterations=10, num_modes=20, threads=1)
            np.testing.assert_allclose(fit.w, plain.w, rtol=0, atol=1e-12)
            back = pickle.loads(pickle.dumps(fit))
            assert type(back.prior) is type(prior)
            np.testing.assert_array_equal(back.apply(pts), fit.apply(pts))
            assert fit._replace(iterations=1).prior is prior and "prior=" in repr(fit)

    def test_a_prior_that_is_no_use(self, noisy):
        src, tgt, _ = noisy
        flat = tarvic.AffineFit(np.diag([1.0, 1.0, 0.0]), np.zeros(3), 1.0, 1.0, 1, True)
        with pytest.raises(ValueError, match=re.escape("`prior` is singular: its 3 x 3 part has no inverse")):
            tarvic.fit_deform(src, tgt, prior=flat)


def ellipsoid(n, seed):
    """Points on an ellipsoid with semi-axes 2, 1 and 0.5: a half-turn about an axis maps it to itself."""
    u = np.random.default_rng(seed).normal(size=(n, 3))
    return u / np.linalg.norm(u, axis=1)[:, None] * [2.0, 1.0, 0.5]


class TestLandmarks:
    def test_rescue_a_symmetric_shape_turned_by_150_degrees(self):
        src = ellipsoid(600, seed=1)
        r = rotation([0, 0, 1], 150)
        tgt = similarity(src, 1.0, r, np.array([0.3, -0.1, 0.2]))
        tgt = tgt + np.random.default_rng(3).normal(scale=0.005, size=tgt.shape)
        # Alone, CPD takes the nearer of the two symmetric poses: 30° the other way, a half-turn off.
        alone = tarvic.fit_rigid(src, tgt)
        assert rotation_error_deg(alone.rotation, r) > 170
        # The ends of the long axis and of the middle one, known in both clouds, decide it.
        tips = [int(np.argmax(src[:, 0])), int(np.argmin(src[:, 0])), int(np.argmax(src[:, 1]))]
        for method in ("exact", "fast"):
            guided = tarvic.fit_rigid(src, tgt, landmarks=np.array([[i, i] for i in tips]), method=method)
            assert guided.converged
            assert rotation_error_deg(guided.rotation, r) < 0.5

    def test_pull_a_deformable_fit_to_the_pairs(self, noisy):
        src, _, _ = noisy
        tgt = src + [0.3, 0.0, 0.0]
        pairs = np.array([[10, 40], [20, 60]], dtype=np.int32)  # any integer type, any pairs
        free = tarvic.fit_deform(src, tgt, beta=0.3)
        guided = tarvic.fit_deform(src, tgt, beta=0.3, landmarks=pairs, landmark_weight=0.2)
        gap = {name: np.linalg.norm(f.apply(src)[pairs[:, 0]] - tgt[pairs[:, 1]], axis=1)
               for name, f in (("free", free), ("guided", guided))}
        assert (gap["guided"] < 0.2 * gap["free"]).all()

    def test_pairs_as_lists_and_unsigned_arrays_are_the_same_pairs(self, noisy):
        src, tgt, _ = noisy
        pairs = [[0, 0], [100, 100], [200, 200]]
        fits = [tarvic.fit_affine(src, tgt, landmarks=p, max_iterations=20, threads=1)
                for p in (pairs, np.array(pairs, dtype=np.uint16), np.asfortranarray(np.array(pairs))[::1])]
        for f in fits[1:]:
            np.testing.assert_array_equal(f.B, fits[0].B)
        none = tarvic.fit_affine(src, tgt, landmarks=np.zeros((0, 2), np.int64), max_iterations=20, threads=1)
        np.testing.assert_array_equal(none.B, tarvic.fit_affine(src, tgt, max_iterations=20, threads=1).B)

    @pytest.mark.parametrize(
        "landmarks, weight, error, message",
        [
            (np.array([[0, 1], [5, 99_999], [1_000_000, 0]]), 0.1, ValueError,
             "landmark 2 references source point 1000000, but only 1000000 were given"),
            (np.array([[0, 1], [5, 99_999], [3, 2_000_000]]), 0.1, ValueError,
             "landmark 2 references target point 2000000, but only 1000000 were given"),
            (np.array([[0, -1]]), 0.1, ValueError, "`landmarks` must not contain negative indices"),
            (np.array([[0, 1, 2]]), 0.1, ValueError, "`landmarks` must be (L, 2), got (L, 3)"),
            (np.array([0, 1]), 0.1, ValueError, "`landmarks` must be an (L, 2) array, got a 1-D array"),
            ([], 0.1, ValueError, "`landmarks` must be an (L, 2) array, got a 1-D array"),
            (np.array([[0.0, 1.0]]), 0.1, ValueError,
             "`landmarks` must hold integers (source index, target index), got float64"),
            (np.array([[True, False]]), 0.1, ValueError, "`landmarks` must hold integers"),
            ([[0, 1], [2]], 0.1, ValueError, "`landmarks` must be an (L, 2) array of integers"),
            ("0 1", 0.1, TypeError, "argument 'landmarks': must be an (L, 2) array of integers or None, not str"),
            (np.array([[0, 1]]), 0.0, ValueError, "`landmark_weight` must be finite and > 0, got 0"),
            (None, -1.0, ValueError, "`landmark_weight` must be finite and > 0, got -1"),
            (np.array([[0, 1]]), float("inf"), ValueError, "`landmark_weight` must be finite and > 0, got inf"),
            (np.array([[0, 1]]), "heavy", TypeError, "argument 'landmark_weight'"),
        ],
    )
    @pytest.mark.parametrize("fit", ["rigid", "affine", "deform"])
    def test_refused_before_anything_runs(self, fit, landmarks, weight, error, message):
        big = np.ones((1_000_000, 3))  # minutes to fit: a prompt refusal shows nothing ran
        with pytest.raises(error, match=re.escape(message)):
            getattr(tarvic, f"fit_{fit}")(big, big, landmarks=landmarks, landmark_weight=weight)
