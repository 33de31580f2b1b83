"""Correspondences of a fitted model: which points matched which, and which target points are outliers."""
from __future__ import annotations

from typing import NamedTuple, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _engine
from ._results import DeformFit, RigidFit

Array = npt.NDArray[np.float64]
Indices = npt.NDArray[np.int64]

__all__ = ["Correspondences", "correspondences"]


class Correspondences(NamedTuple):
    """The matches of a fit, from the posteriors of its model (see `correspondences`).

    - `source_match`: (M,) for each source point, the index of the target point with the
      largest posterior P_mn (the target point it most probably produced).
    - `source_probability`: (M,) that posterior.
    - `target_match`: (N,) for each target point, the index of the most probable source point
      (its nearest moved source point).
    - `target_probability`: (N,) that posterior.
    - `target_outlier`: (N,) the probability that the target point is an outlier.
    - `error_bound`: the largest relative error bound of the sums behind the probabilities.
    """

    source_match: Indices
    source_probability: Array
    target_match: Indices
    target_probability: Array
    target_outlier: Array
    error_bound: float


def correspondences(
    fit_or_moved: Union[RigidFit, DeformFit, Array],
    target: Array,
    sigma2: Optional[float] = None,
    w: float = 0.0,
    *,
    source: Optional[Array] = None,
    accuracy: float = 1e-6,
    threads: Optional[int] = None,
) -> Correspondences:
    """Which target point each source point matched, which source point each target point
    matched, and how likely each target point is an outlier, under the fitted model.

    The model is the one the fit's last E-step used: the moved source points y_m, the target
    points x_n, the variance sigma2 and the outlier fraction w. The posterior that target point
    n came from source point m is P_mn = K_mn / (sum_k K_kn + c), with K_mn =
    exp(-|x_n - y_m|^2 / (2 sigma2)) (floored at exp(-708)) and c the uniform outlier term of
    the fit; the outlier probability of target point n is c / (sum_k K_kn + c).

    Parameters
    ----------
    fit_or_moved : a `RigidFit` (then pass its `source` too), a `DeformFit` (which carries its
        source), or the moved source points themselves, an (M, 3) float64 array.
    target : (N, 3) float64, the target the fit moved the source onto.
    sigma2 : the variance, in squared units; by default the fit's (required with an array).
    w : the outlier fraction the fit used (it is not part of the fit's result), in [0, 1).
    source : with a `RigidFit`, the (M, 3) source cloud it was fitted from.
    accuracy : relative error bound, in (0, 1), of the sums (Gauss transforms) behind the
        probabilities.
    threads : threads for this call, as for the fits.

    It costs about one E-step of a fast fit (the same Gauss transform, plus k-d tree searches)
    and memory linear in M + N: no M x N matrix is formed. Ctrl-C interrupts it.

    Returns
    -------
    A `Correspondences` named tuple.
    """
    fitted: Optional[float] = None  # the fit's own variance
    if isinstance(fit_or_moved, RigidFit):
        if source is None:
            raise TypeError("correspondences of a RigidFit need the `source` it was fitted from")
        moved, fitted = fit_or_moved.apply(source), fit_or_moved.sigma2
    elif isinstance(fit_or_moved, DeformFit):
        if source is not None:
            raise TypeError("a DeformFit carries its source: pass no `source`")
        moved, fitted = fit_or_moved.apply(fit_or_moved.source), fit_or_moved.sigma2
    else:
        if source is not None:
            raise TypeError("`source` goes with a RigidFit; with moved points pass no `source`")
        moved = fit_or_moved
    if sigma2 is None:
        if fitted is None:
            raise TypeError("correspondences of moved points need `sigma2` (a fit supplies its own)")
        sigma2 = fitted
    return Correspondences(*_engine.correspondences(moved, target, sigma2, w, accuracy, threads))
