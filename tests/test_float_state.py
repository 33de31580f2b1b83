"""The kernels flush subnormals to zero on their own threads only: callers keep IEEE arithmetic."""
import threading

import numpy as np

import tarvic


def _subnormals_survive() -> bool:
    tiny32 = np.float32(1e-38) * np.float32(1e-3)          # subnormal result (flush-to-zero: 0)
    tiny64 = np.array([5e-324, 1e-310]) * np.float64(1.0)  # subnormal operands (denormals-are-zero: 0)
    return bool(0 < tiny32 < np.finfo(np.float32).tiny) and tiny64.tolist() == [5e-324, 1e-310]


def test_fits_leave_the_floating_point_state_alone():
    rng = np.random.default_rng(4)
    assert _subnormals_survive()
    src = rng.normal(size=(600, 3))
    tgt = src + rng.normal(scale=1e-3, size=src.shape)
    # Tiny variances: the kernels run in the regime where they form subnormals.
    tarvic.fit_rigid(src, tgt, sigma2=1e-6, max_iterations=3)                # process-wide pool
    tarvic.fit_rigid(src, tgt, sigma2=1e-6, max_iterations=3, threads=2)     # dedicated pool
    fit = tarvic.fit_deform(src, tgt, sigma2=1e-6, max_iterations=2, num_modes=10, threads=2)
    tarvic.apply_deform(src, fit.source, fit.w, 1e-3)
    tarvic.fit_rigid_batch([src, tgt], None, np.array([[0, 1], [1, 0]]), sigma2=1e-6, max_iterations=2)
    assert _subnormals_survive()
    seen = []
    t = threading.Thread(target=lambda: seen.append(_subnormals_survive()))
    t.start()
    t.join()
    assert seen == [True]
