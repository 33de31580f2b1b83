"""The package's fits: the extension's functions with the same arguments, plus keyword options
of their own, returning named results.

They run the package's second compiled module, `tarvic._engine`, which takes every argument of
`tarvic._tarvic` in the same order and checks it the same way, so the extension's messages and
exception classes reach the caller unchanged; with `method="exact"` (and, for small clouds, the
default "auto") the numbers are the extension's too.
"""
from __future__ import annotations

from typing import Callable, List, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _engine, _tarvic
from ._results import DeformFit, Iteration, RigidBatch, RigidFit

Array = npt.NDArray[np.float64]
Pairs = npt.NDArray[np.int64]
Progress = Union[bool, Literal["always"]]
Callback = Callable[[Iteration], object]


def _hand_over(callback: Optional[Callback]) -> Optional[Callable[[int, float, Optional[Array]], object]]:
    """The extension calls back with the record's fields; the caller's callback gets the record."""
    if callback is None:
        return None
    if not callable(callback):
        raise TypeError(f"argument 'callback': must be callable or None, not {type(callback).__name__}")
    return lambda iteration, sigma2, matrix: callback(Iteration(iteration, sigma2, matrix))


def _doc(ext: Callable[..., object], returns: str, watch: bool = False) -> str:
    """The extension's docstring with its Returns section replaced by the named result's."""
    text = ext.__doc__ or ""
    head = text.split("\nReturns\n-------\n", 1)[0].rstrip()
    return f"{head}\n{_METHOD_DOC}{_WATCH_DOC if watch else ''}\nReturns\n-------\n{returns}\n"


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
) -> RigidFit:
    return RigidFit(
        *_engine.fit_rigid(
            source, target, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, method, accuracy,
            progress, _hand_over(callback), progress_delay,
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
) -> DeformFit:
    return DeformFit(
        *_engine.fit_deform(
            source, target, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, method, accuracy,
            progress, _hand_over(callback), progress_delay,
        )
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
    *,
    method: str = "auto",
    accuracy: float = 1e-6,
) -> List[DeformFit]:
    fits = _engine.fit_deform_batch(
        sources, targets, pairs, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, progress,
        method, accuracy,
    )
    return [DeformFit(*f) for f in fits]


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

fit_rigid.__doc__ = _doc(
    _tarvic.fit_rigid,
    "A `RigidFit`: the tuple `(scale, rotation, translation, sigma2, nrms, iterations, converged)`\n"
    "with those names as fields, where `rotation` is (3, 3) in the column-vector convention and\n"
    "`translation` is (3, ); `.apply(points)` carries points through it and `.matrix` is the\n"
    "4 x 4 homogeneous form. `.method` and `.error_bound` say how it was computed.",
    watch=True,
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
    watch=True,
)
fit_deform_batch.__doc__ = _doc(
    _tarvic.fit_deform_batch,
    "A list of `P` `DeformFit`s, aligned to `pairs`. A list rather than stacked arrays because\n"
    "the clouds in a batch need not be the same size.",
)
