"""The package's fits: the extension's functions with the same arguments, plus keyword options
of their own, returning named results.

They run the package's second compiled module, `tarvic._engine`, which takes every argument of
`tarvic._tarvic` in the same order and checks it the same way, so the extension's messages and
exception classes reach the caller unchanged; with `method="exact"` (and, for small clouds, the
default "auto") the numbers are the extension's too.
"""
from __future__ import annotations

import math
from typing import Callable, List, Literal, Optional, Sequence, Tuple, Type, Union

import numpy as np
import numpy.typing as npt

from . import _engine, _tarvic
from ._results import AffineFit, DeformFit, Iteration, RigidBatch, RigidFit

Array = npt.NDArray[np.float64]
Pairs = npt.NDArray[np.int64]
Landmarks = Optional[npt.ArrayLike]
Progress = Union[bool, Literal["always"]]
Callback = Callable[[Iteration], object]


def _hand_over(callback: Optional[Callback]) -> Optional[Callable[[int, float, Optional[Array]], object]]:
    """The extension calls back with the record's fields; the caller's callback gets the record."""
    if callback is None:
        return None
    if not callable(callback):
        raise TypeError(f"argument 'callback': must be callable or None, not {type(callback).__name__}")
    return lambda iteration, sigma2, matrix: callback(Iteration(iteration, sigma2, matrix))


def _start(value: object, sigma2: Optional[float], kinds: Tuple[Type[object], ...],
           what: str) -> Tuple[object, Optional[float]]:
    """`init` and `sigma2` for the compiled module: a fit of one of `kinds` gives its 4 x 4
    matrix and, unless `sigma2` is set, its variance (the fit goes on where that one stopped);
    anything that is no fit goes as it is, for the module to check."""
    if isinstance(value, kinds):
        previous = float(value.sigma2)  # type: ignore[attr-defined]
        if sigma2 is None and math.isfinite(previous) and previous > 0:
            sigma2 = previous
        return value.matrix, sigma2  # type: ignore[attr-defined]
    if isinstance(value, (RigidFit, AffineFit, DeformFit)):
        article = "an" if type(value).__name__[0] in "AEIOU" else "a"
        raise ValueError(f"`init` must be {what}, got {article} {type(value).__name__}")
    return value, sigma2


def _doc(ext: Callable[..., object], returns: str, guide: str = "") -> str:
    """The extension's docstring with the package's options added and its Returns section
    replaced by the named result's."""
    text = ext.__doc__ or ""
    head = text.split("\nReturns\n-------\n", 1)[0].rstrip()
    return f"{head}\n{_METHOD_DOC}{guide}\nReturns\n-------\n{returns}\n"


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
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
    progress: Progress = False,
    progress_delay: float = 0.0,
    callback: Optional[Callback] = None,
    init: Optional[Union[Array, RigidFit]] = None,
    landmarks: Landmarks = None,
    landmark_weight: float = 0.1,
) -> RigidFit:
    start, sigma2 = _start(init, sigma2, (RigidFit,), "a 4 x 4 similarity matrix or a RigidFit")
    return RigidFit(
        *_engine.fit_rigid(
            source, target, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, method, accuracy,
            progress, _hand_over(callback), progress_delay, start, landmarks, landmark_weight,
        )
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
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
) -> RigidBatch:
    fits = _engine.fit_rigid_batch(
        sources, targets, pairs, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, progress,
        method, accuracy,
    )
    return RigidBatch.from_fits(fits)


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
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
    progress: Progress = False,
    progress_delay: float = 0.0,
    callback: Optional[Callback] = None,
    prior: Optional[Union[RigidFit, AffineFit]] = None,
    landmarks: Landmarks = None,
    landmark_weight: float = 0.1,
) -> DeformFit:
    if prior is not None and not isinstance(prior, (RigidFit, AffineFit)):
        if isinstance(prior, DeformFit):
            raise ValueError("`prior` must be a RigidFit or an AffineFit, got a DeformFit")
        raise TypeError(f"argument 'prior': must be a RigidFit, an AffineFit or None, not {type(prior).__name__}")
    fit = _engine.fit_deform(
        source, target, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, method, accuracy,
        progress, _hand_over(callback), progress_delay, None if prior is None else prior.matrix, landmarks,
        landmark_weight,
    )
    return DeformFit(*fit, prior=prior)


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
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
) -> List[DeformFit]:
    fits = _engine.fit_deform_batch(
        sources, targets, pairs, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, progress,
        method, accuracy,
    )
    return [DeformFit(*f) for f in fits]


def fit_affine(
    source: Array,
    target: Array,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
    progress: Progress = False,
    progress_delay: float = 0.0,
    callback: Optional[Callback] = None,
    init: Optional[Union[Array, RigidFit, AffineFit]] = None,
    landmarks: Landmarks = None,
    landmark_weight: float = 0.1,
) -> AffineFit:
    """Fit the affine map ``p -> B @ p + translation`` taking `source` onto `target` (Coherent
    Point Drift, Myronenko & Song 2010, Fig. 3).

    Arguments
    ---------
    - `source`, `target`: (M, 3) and (N, 3) float64 arrays, any memory order; never written.
    - `w`, `tolerance`, `max_iterations`, `sigma2`, `threads`: as for `fit_rigid`.
    """
    start, sigma2 = _start(init, sigma2, (RigidFit, AffineFit), "a 4 x 4 matrix, a RigidFit or an AffineFit")
    return AffineFit(
        *_engine.fit_affine(
            source, target, w, tolerance, max_iterations, sigma2, threads, method, accuracy, progress,
            _hand_over(callback), progress_delay, start, landmarks, landmark_weight,
        )
    )


def fit_affine_batch(
    sources: Sequence[Array],
    targets: Optional[Sequence[Array]],
    pairs: Pairs,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
    progress: bool = False,
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
) -> List[AffineFit]:
    """Affine fits of many pairs, one per core, as `fit_rigid_batch` runs them.

    Arguments
    ---------
    - `sources`, `targets`, `pairs`, `progress`: as for `fit_rigid_batch`.
    - `w`, `tolerance`, `max_iterations`, `sigma2`, `threads`: as for `fit_affine`.
    """
    fits = _engine.fit_affine_batch(
        sources, targets, pairs, w, tolerance, max_iterations, sigma2, threads, progress, method, accuracy
    )
    return [AffineFit(*f) for f in fits]


_GUIDE_DOC = (
    "- `landmarks`: (L, 2) integer array of known pairs (source index, target index), or\n"
    "              None. Each pair enters every M-step as posterior mass of its own (extended\n"
    "              CPD, Golyanik et al. 2016), so a few pairs steer the fit past a wrong optimum.\n"
    "- `landmark_weight`: how hard the pairs pull, > 0 (default 0.1): together they carry that\n"
    "              fraction of the target's N points' posterior mass, split evenly.\n"
)
_INIT_DOC = (
    "- `init`:     Where to start: a (4, 4) homogeneous float64 matrix (last row 0 0 0 1){extra},\n"
    "              or a previous {fits}. The fit starts from the source as it places it, and\n"
    "              the result is the whole map from the original source, `init` included. A\n"
    "              previous fit also gives the starting `sigma2` (its own) unless one is given.\n"
)
_PRIOR_DOC = (
    "- `prior`:    A RigidFit or AffineFit to fit the deformation after: the deformation is fitted\n"
    "              to the source as the prior places it, and the result's `apply` carries points\n"
    "              through the prior, then the deformation (the result keeps it as `prior`).\n"
)

_METHOD_DOC = (
    "\n"
    "Options of the package (keyword only)\n"
    "-------------------------------------\n"
    "- `method`:   How each E-step is summed (and a deformable fit's kernel products).\n"
    "              \"exact\": the dense sums of `tarvic._tarvic`, O(M * N) per iteration, in\n"
    "              single precision; \"fast\": Gauss transforms in double precision, close to\n"
    "              linear in M + N, each within `accuracy`; \"auto\" (default): exact while\n"
    "              M * N <= 2.5e7 (so small fits return exactly what `tarvic._tarvic` does),\n"
    "              fast above.\n"
    "- `accuracy`: On the fast path, a guaranteed bound in (0, 1) on the relative error of the\n"
    "              E-step's sums against the exact Gaussian (rounding included). The result's\n"
    "              `error_bound` is the largest bound reached over the fit.\n"
)

_WATCH_DOC = (
    "- `progress`: True draws one line on standard error while the fit runs (iteration,\n"
    "              variance, elapsed time), redrawn in place and erased at the end, when\n"
    "              standard error is a terminal; \"always\" draws it wherever it goes.\n"
    "- `progress_delay`: Seconds the fit runs before the line appears (0: at once).\n"
    "- `callback`: Called after every EM iteration with an `Iteration` record (iteration,\n"
    "              sigma2 in squared units, the 4 x 4 matrix of the current transform or\n"
    "              None for deformable fits), on the calling thread while the fit waits.\n"
    "              Returning False stops the fit there: the result is that iteration's,\n"
    "              with `converged` False. An exception it raises stops the fit and\n"
    "              propagates unchanged.\n"
)

fit_affine.__doc__ = (
    f"{(fit_affine.__doc__ or '').rstrip()}\n{_METHOD_DOC}"
    + _WATCH_DOC
    + _INIT_DOC.format(extra="", fits="RigidFit or AffineFit")
    + _GUIDE_DOC
    + "\nReturns\n-------\n"
    "An `AffineFit`: the tuple `(B, translation, sigma2, nrms, iterations, converged)` with those\n"
    "names as fields, `B` (3, 3) acting on column vectors and `translation` (3, ); `.apply(points)`\n"
    "carries points through it and `.matrix` is the 4 x 4 homogeneous form. `.method` and\n"
    "`.error_bound` say how it was computed; `.singular` that it stopped at a singular system.\n"
)
fit_affine_batch.__doc__ = (
    f"{(fit_affine_batch.__doc__ or '').rstrip()}\n{_METHOD_DOC}\nReturns\n-------\n"
    "A list of `P` `AffineFit`s, aligned to `pairs`.\n"
)
fit_rigid.__doc__ = _doc(
    _tarvic.fit_rigid,
    "A `RigidFit`: the tuple `(scale, rotation, translation, sigma2, nrms, iterations, converged)`\n"
    "with those names as fields, where `rotation` is (3, 3) in the column-vector convention and\n"
    "`translation` is (3, ); `.apply(points)` carries points through it and `.matrix` is the\n"
    "4 x 4 homogeneous form. `.method` and `.error_bound` say how it was computed.",
    _WATCH_DOC + _INIT_DOC.format(extra=",\n              a similarity to 1e-6", fits="RigidFit") + _GUIDE_DOC,
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
    _WATCH_DOC + _PRIOR_DOC + _GUIDE_DOC,
)
fit_deform_batch.__doc__ = _doc(
    _tarvic.fit_deform_batch,
    "A list of `P` `DeformFit`s, aligned to `pairs`. A list rather than stacked arrays because\n"
    "the clouds in a batch need not be the same size.",
)
