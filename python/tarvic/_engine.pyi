"""The package's fits beyond the extension's (compiled; internal)."""
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Cloud = npt.NDArray[np.float64]
_Pairs = npt.NDArray[np.int64]
_Callback = Optional[Callable[[int, float, Optional[_Cloud]], object]]

def fit_rigid(
    source: _Cloud,
    target: _Cloud,
    scale: bool,
    scale_bounds: Optional[Tuple[float, float]],
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    threads: Optional[int],
    method: str,
    accuracy: float,
    progress: Union[bool, str] = False,
    callback: _Callback = None,
    progress_delay: float = 0.0,
    init: Any = None,
    landmarks: Any = None,
    landmark_weight: float = 0.1,
) -> Tuple[float, _Cloud, _Cloud, float, float, int, bool, str, float]: ...
def fit_rigid_batch(
    sources: Sequence[_Cloud],
    targets: Optional[Sequence[_Cloud]],
    pairs: _Pairs,
    scale: bool,
    scale_bounds: Optional[Tuple[float, float]],
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    threads: Optional[int],
    progress: bool,
    method: str,
    accuracy: float,
) -> List[Tuple[float, _Cloud, _Cloud, float, float, int, bool, str, float]]: ...
def fit_deform(
    source: _Cloud,
    target: _Cloud,
    alpha: float,
    beta: float,
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    num_modes: int,
    threads: Optional[int],
    method: str,
    accuracy: float,
    progress: Union[bool, str] = False,
    callback: _Callback = None,
    progress_delay: float = 0.0,
    prior: Optional[_Cloud] = None,
    landmarks: Any = None,
    landmark_weight: float = 0.1,
) -> Tuple[_Cloud, _Cloud, float, float, float, int, bool, int, str, float]: ...
def fit_deform_batch(
    sources: Sequence[_Cloud],
    targets: Optional[Sequence[_Cloud]],
    pairs: _Pairs,
    alpha: float,
    beta: float,
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    num_modes: int,
    threads: Optional[int],
    progress: bool,
    method: str,
    accuracy: float,
) -> List[Tuple[_Cloud, _Cloud, float, float, float, int, bool, int, str, float]]: ...
def apply_deform(
    points: _Cloud, source: _Cloud, w: _Cloud, beta: float, method: str = "auto", accuracy: float = 1e-6
) -> Tuple[_Cloud, float]: ...
def correspondences(
    moved: _Cloud,
    target: _Cloud,
    sigma2: float,
    w: float = 0.0,
    accuracy: float = 1e-6,
    threads: Optional[int] = None,
) -> Tuple[npt.NDArray[np.int64], _Cloud, npt.NDArray[np.int64], _Cloud, _Cloud, float]: ...
def fit_affine(
    source: _Cloud,
    target: _Cloud,
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    threads: Optional[int],
    method: str,
    accuracy: float,
    progress: Union[bool, str] = False,
    callback: _Callback = None,
    progress_delay: float = 0.0,
    init: Any = None,
    landmarks: Any = None,
    landmark_weight: float = 0.1,
) -> Tuple[_Cloud, _Cloud, float, float, int, bool, str, float, bool]: ...
def fit_affine_batch(
    sources: Sequence[_Cloud],
    targets: Optional[Sequence[_Cloud]],
    pairs: _Pairs,
    w: float,
    tolerance: float,
    max_iterations: int,
    sigma2: Optional[float],
    threads: Optional[int],
    progress: bool,
    method: str,
    accuracy: float,
) -> List[Tuple[_Cloud, _Cloud, float, float, int, bool, str, float, bool]]: ...
def apply_affine(points: _Cloud, matrix: _Cloud, translation: _Cloud) -> _Cloud: ...
