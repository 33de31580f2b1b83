"""The package's fits: the extension's functions with the same arguments, returning named results.

Every argument is passed on positionally, so the extension does all of the checking and its
messages and exception classes reach the caller unchanged.
"""
from __future__ import annotations

from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from . import _tarvic
from ._results import DeformFit, RigidBatch, RigidFit

Array = npt.NDArray[np.float64]
Pairs = npt.NDArray[np.int64]


def _doc(ext: Callable[..., object], returns: str) -> str:
    """The extension's docstring with its Returns section replaced by the named result's."""
    text = ext.__doc__ or ""
    head = text.split("\nReturns\n-------\n", 1)[0].rstrip()
    return f"{head}\n\nReturns\n-------\n{returns}\n"


def fit_rigid(
    source: Array,
    target: Array,
    scale: bool = True,
    scale_bounds: Optional[Tuple[float, float]] = None,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
) -> RigidFit:
    return RigidFit(
        *_tarvic.fit_rigid(source, target, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads)
    )


def fit_rigid_batch(
    sources: Sequence[Array],
    targets: Optional[Sequence[Array]],
    pairs: Pairs,
    scale: bool = True,
    scale_bounds: Optional[Tuple[float, float]] = None,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
    progress: bool = False,
) -> RigidBatch:
    return RigidBatch(
        *_tarvic.fit_rigid_batch(
            sources, targets, pairs, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, progress
        )
    )


def fit_deform(
    source: Array,
    target: Array,
    alpha: float = 2.0,
    beta: float = 1.0,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    num_modes: int = 100,
    threads: Optional[int] = None,
) -> DeformFit:
    return DeformFit(
        *_tarvic.fit_deform(source, target, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads)
    )


def fit_deform_batch(
    sources: Sequence[Array],
    targets: Optional[Sequence[Array]],
    pairs: Pairs,
    alpha: float = 2.0,
    beta: float = 1.0,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    num_modes: int = 100,
    threads: Optional[int] = None,
    progress: bool = False,
) -> List[DeformFit]:
    fits = _tarvic.fit_deform_batch(
        sources, targets, pairs, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, progress
    )
    return [DeformFit(*f) for f in fits]


fit_rigid.__doc__ = _doc(
    _tarvic.fit_rigid,
    "A `RigidFit`: the tuple `(scale, rotation, translation, sigma2, nrms, iterations, converged)`\n"
    "with those names as fields, where `rotation` is (3, 3) in the column-vector convention and\n"
    "`translation` is (3, ); `.apply(points)` carries points through it and `.matrix` is the\n"
    "4 x 4 homogeneous form.",
)
fit_rigid_batch.__doc__ = _doc(
    _tarvic.fit_rigid_batch,
    "A `RigidBatch`: the tuple `(scales, rotations, translations, sigma2s, nrms, iterations,\n"
    "converged)` with those names as fields, arrays of length `P` (rotations `(P, 3, 3)`,\n"
    "translations `(P, 3)`) aligned to `pairs`; `.pair(k)` is pair k's `RigidFit` and\n"
    "`.matrices` the (P, 4, 4) homogeneous forms.",
)
fit_deform.__doc__ = _doc(
    _tarvic.fit_deform,
    "A `DeformFit`: the tuple `(source, w, beta, sigma2, nrms, iterations, converged, modes)`\n"
    "with those names as fields, where `source` and `w` are (M, 3) and `beta` is the kernel\n"
    "width in the clouds' units; `.apply(points)` carries points through the deformation.",
)
fit_deform_batch.__doc__ = _doc(
    _tarvic.fit_deform_batch,
    "A list of `P` `DeformFit`s, aligned to `pairs`. A list rather than stacked arrays because\n"
    "the clouds in a batch need not be the same size.",
)
