"""Coherent Point Drift registration of 3-D point clouds (compiled extension)."""
from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

_Cloud = npt.NDArray[np.float64]
_Pairs = npt.NDArray[np.int64]

def fit_rigid(
    source: _Cloud,
    target: _Cloud,
    scale: bool = True,
    scale_bounds: Optional[Tuple[float, float]] = None,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
) -> Tuple[float, _Cloud, npt.NDArray[np.float64], float, float, int, bool]:
    """Fit a rigid (optionally similarity) transform taking `source` onto `target`.

    Returns `(scale, rotation, translation, sigma2, nrms, iterations, converged)`, where
    `rotation` is (3, 3) in the column-vector convention and `translation` is (3, ).
    """

def fit_rigid_batch(
    sources: Sequence[_Cloud],
    targets: Optional[Sequence[_Cloud]],
    pairs: _Pairs,
    scale: bool = True,
    scale_bounds: Optional[Tuple[float, float]] = None,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    threads: Optional[int] = None,
    progress: bool = False,
) -> Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.bool_],
]:
    """Fit rigid transforms for many `(source, target)` pairs at once.

    Returns `(scales, rotations, translations, sigma2s, nrms, iterations, converged)`, arrays
    of length `P` (rotations `(P, 3, 3)`, translations `(P, 3)`) aligned to `pairs`.
    """

def apply_rigid(
    points: _Cloud, scale: float, rotation: npt.NDArray[np.float64], translation: npt.NDArray[np.float64]
) -> _Cloud:
    """Apply `scale`, `rotation`, `translation` to an `(N, 3)` array of points."""

def fit_deform(
    source: _Cloud,
    target: _Cloud,
    alpha: float = 2.0,
    beta: float = 1.0,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    num_modes: int = 100,
    threads: Optional[int] = None,
) -> Tuple[_Cloud, _Cloud, float, float, float, int, bool, int]:
    """Fit a deformation taking `source` onto `target`.

    Returns `(source, w, beta, sigma2, nrms, iterations, converged, modes)`, where `source`
    and `w` are (M, 3).
    """

def fit_deform_batch(
    sources: Sequence[_Cloud],
    targets: Optional[Sequence[_Cloud]],
    pairs: _Pairs,
    alpha: float = 2.0,
    beta: float = 1.0,
    w: float = 0.0,
    tolerance: float = 1e-6,
    max_iterations: int = 200,
    sigma2: Optional[float] = None,
    num_modes: int = 100,
    threads: Optional[int] = None,
    progress: bool = False,
) -> List[Tuple[_Cloud, _Cloud, float, float, float, int, bool, int]]:
    """Fit deformations for many `(source, target)` pairs at once, one registration per core."""

def apply_deform(points: _Cloud, source: _Cloud, w: _Cloud, beta: float) -> _Cloud:
    """Apply a fitted deformation to an (N, 3) array of points."""

def set_num_threads(n: int) -> None:
    """Size the process-wide thread pool; see `tarvic::set_num_threads`."""

def num_threads() -> int:
    """Threads the current context would run on."""
