"""Named results of the fits: still tuples, so code that unpacks the plain results keeps working."""
from __future__ import annotations

from typing import Any, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from . import _engine, _tarvic

Array = npt.NDArray[np.float64]

__all__ = ["RigidFit", "AffineFit", "DeformFit", "RigidBatch", "Iteration"]


def _homogeneous(scale: npt.ArrayLike, rotation: npt.ArrayLike, translation: npt.ArrayLike) -> Array:
    """``[[scale * rotation, translation], [0, 0, 0, 1]]``, for one transform or a stack of them."""
    r = np.asarray(rotation, dtype=np.float64)
    m = np.zeros(r.shape[:-2] + (4, 4))
    m[..., :3, :3] = np.asarray(scale, dtype=np.float64)[..., None, None] * r
    m[..., :3, 3] = translation
    m[..., 3, 3] = 1.0
    return m


class Iteration(NamedTuple):
    """What a fit hands its `callback` after each EM iteration.

    - `iteration`: iterations completed (1 for the first call).
    - `sigma2`: the variance after this iteration, in squared units of the clouds.
    - `matrix`: rigid fits: the current transform as a 4 x 4 homogeneous matrix in the clouds'
      units (as `RigidFit.matrix`); deformable fits: None.
    """

    iteration: int
    sigma2: float
    matrix: Optional[Array]


class _RigidFields(NamedTuple):
    scale: float
    rotation: Array
    translation: Array
    sigma2: float
    nrms: float
    iterations: int
    converged: bool


class RigidFit(_RigidFields):
    """A fitted similarity ``p -> scale * rotation @ p + translation`` (column vectors).

    Unpacks as ``(scale, rotation, translation, sigma2, nrms, iterations, converged)``, the
    tuple `tarvic._tarvic.fit_rigid` returns.

    - `scale`: uniform scale (1.0 when fitted with ``scale=False``).
    - `rotation`: (3, 3) proper rotation acting on column vectors. pycpd's ``R`` acts on row
      vectors (``s * Y @ R + t``) and is the transpose of this one.
    - `translation`: (3,), in the units of the clouds.
    - `sigma2`: final variance of the mixture, in squared units of the clouds.
    - `nrms`: sqrt(3 * sigma2) divided by the target's RMS radius; scale-free.
    - `iterations`: EM iterations run. `converged`: whether the variance settled within
      `tolerance` before `max_iterations` (and the transform is finite).

    Two attributes say how it was computed, outside the tuple so that it unpacks as before:
    `method` (``"exact"`` or ``"fast"``) and `error_bound`, the largest bound on the relative
    error of a fast E-step over the fit (0.0 for the exact method).
    """

    method: str = "exact"
    error_bound: float = 0.0

    def __new__(
        cls,
        scale: float,
        rotation: Array,
        translation: Array,
        sigma2: float,
        nrms: float,
        iterations: int,
        converged: bool,
        method: str = "exact",
        error_bound: float = 0.0,
    ) -> "RigidFit":
        self = super().__new__(cls, scale, rotation, translation, sigma2, nrms, iterations, converged)
        self.method = method
        self.error_bound = error_bound
        return self

    def __repr__(self) -> str:
        return f"{super().__repr__()[:-1]}, method={self.method!r}, error_bound={self.error_bound!r})"

    def _replace(self, **changes: Any) -> "RigidFit":
        extras = {"method": changes.pop("method", self.method), "error_bound": changes.pop("error_bound", self.error_bound)}
        return RigidFit(*super()._replace(**changes), **extras)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (RigidFit, (*self, self.method, self.error_bound))

    def apply(self, points: Array) -> Array:
        """Carry an (N, 3) float64 array of points through the fitted transform."""
        return _tarvic.apply_rigid(points, self.scale, self.rotation, self.translation)

    @property
    def matrix(self) -> Array:
        """The 4 x 4 homogeneous matrix ``[[scale * rotation, translation], [0, 0, 0, 1]]``.

        It maps ``[x, y, z, 1]`` column vectors, the form Open3D and most registration tools
        exchange (``open3d ... .transform(fit.matrix)``).
        """
        return _homogeneous(self.scale, self.rotation, self.translation)


def _homogeneous_affine(matrix: npt.ArrayLike, translation: npt.ArrayLike) -> Array:
    """``[[matrix, translation], [0, 0, 0, 1]]``."""
    m = np.zeros((4, 4))
    m[:3, :3] = matrix
    m[:3, 3] = translation
    m[3, 3] = 1.0
    return m


class _AffineFields(NamedTuple):
    B: Array
    translation: Array
    sigma2: float
    nrms: float
    iterations: int
    converged: bool


class AffineFit(_AffineFields):
    """A fitted affine map ``p -> B @ p + translation`` (column vectors).

    Unpacks as ``(B, translation, sigma2, nrms, iterations, converged)``.

    - `B`: (3, 3), any invertible matrix: rotation, anisotropic scale and shear together.
    - `translation`: (3,), in the units of the clouds.
    - `sigma2`, `nrms`, `iterations`, `converged`: as for `RigidFit`.

    Attributes outside the tuple: `method` and `error_bound` as for `RigidFit`, and `singular`,
    True when the fit stopped because its 3 x 3 system had no inverse (a planar or collinear
    source, or posteriors that weigh only such a part of it); the map is then the last one
    accepted and `converged` is False.
    """

    method: str = "exact"
    error_bound: float = 0.0
    singular: bool = False

    def __new__(
        cls,
        B: Array,
        translation: Array,
        sigma2: float,
        nrms: float,
        iterations: int,
        converged: bool,
        method: str = "exact",
        error_bound: float = 0.0,
        singular: bool = False,
    ) -> "AffineFit":
        self = super().__new__(cls, B, translation, sigma2, nrms, iterations, converged)
        self.method = method
        self.error_bound = error_bound
        self.singular = singular
        return self

    def _extras(self) -> Tuple[str, float, bool]:
        return self.method, self.error_bound, self.singular

    def __repr__(self) -> str:
        return (f"{super().__repr__()[:-1]}, method={self.method!r}, error_bound={self.error_bound!r}, "
                f"singular={self.singular!r})")

    def _replace(self, **changes: Any) -> "AffineFit":
        extras = [changes.pop(k, v) for k, v in zip(("method", "error_bound", "singular"), self._extras())]
        return AffineFit(*super()._replace(**changes), *extras)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (AffineFit, (*self, *self._extras()))

    def apply(self, points: Array) -> Array:
        """Carry an (N, 3) float64 array of points through the fitted map."""
        return _engine.apply_affine(points, self.B, self.translation)

    @property
    def matrix(self) -> Array:
        """The 4 x 4 homogeneous matrix ``[[B, translation], [0, 0, 0, 1]]`` (column vectors)."""
        return _homogeneous_affine(self.B, self.translation)


class _DeformFields(NamedTuple):
    source: Array
    w: Array
    beta: float
    sigma2: float
    nrms: float
    iterations: int
    converged: bool
    modes: int


class DeformFit(_DeformFields):
    """A fitted deformation ``x -> x + sum_j exp(-|x - source_j|^2 / (2 beta^2)) * w_j``.

    Unpacks as ``(source, w, beta, sigma2, nrms, iterations, converged, modes)``, the tuple
    `tarvic._tarvic.fit_deform` returns.

    - `source`: (M, 3) kernel centres, the source cloud as given.
    - `w`: (M, 3) kernel coefficients, in the units of the clouds.
    - `beta`: the kernel width in the units of the clouds (the `beta` passed to the fit times
      the clouds' radius, not the fraction itself).
    - `sigma2`, `nrms`, `iterations`, `converged`: as for `RigidFit`.
    - `modes`: kernel eigenmodes the fit was solved through.

    `method` and `error_bound` as for `RigidFit`; on the fast path the bound covers the kernel
    products (eigenmodes, final positions) as well as the E-steps.

    `prior`, when the fit was made after a rigid or affine fit (``fit_deform(..., prior=fit)``),
    is that fit: the deformation was fitted to the source as the prior places it, so `source`
    holds the placed points, and `apply` carries points through the prior first, then the
    deformation.
    """

    method: str = "exact"
    error_bound: float = 0.0
    prior: Optional[Union[RigidFit, AffineFit]] = None

    def __new__(
        cls,
        source: Array,
        w: Array,
        beta: float,
        sigma2: float,
        nrms: float,
        iterations: int,
        converged: bool,
        modes: int,
        method: str = "exact",
        error_bound: float = 0.0,
        prior: Optional[Union[RigidFit, AffineFit]] = None,
    ) -> "DeformFit":
        self = super().__new__(cls, source, w, beta, sigma2, nrms, iterations, converged, modes)
        self.method = method
        self.error_bound = error_bound
        self.prior = prior
        return self

    def __repr__(self) -> str:
        prior = "" if self.prior is None else f", prior={self.prior!r}"
        return f"{super().__repr__()[:-1]}, method={self.method!r}, error_bound={self.error_bound!r}{prior})"

    def _replace(self, **changes: Any) -> "DeformFit":
        extras = {"method": changes.pop("method", self.method), "error_bound": changes.pop("error_bound", self.error_bound),
                  "prior": changes.pop("prior", self.prior)}
        return DeformFit(*super()._replace(**changes), **extras)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (DeformFit, (*self, self.method, self.error_bound, self.prior))

    @overload
    def apply(self, points: Array, *, method: str = ..., accuracy: float = ...) -> Array: ...
    @overload
    def apply(self, points: Array, *, method: str = ..., accuracy: float = ..., with_bound: Literal[True]) -> Tuple[Array, float]: ...

    def apply(
        self, points: Array, *, method: str = "auto", accuracy: float = 1e-6, with_bound: bool = False
    ) -> Union[Array, Tuple[Array, float]]:
        """Carry an (N, 3) float64 array of points through the fitted deformation.

        `method` and `accuracy` as for the fits: ``"auto"`` sums the kernel exactly unless
        N * M is large, ``"fast"`` through a Gauss transform whose relative error (against
        the sum of the magnitudes of the terms) is at most `accuracy`. With ``with_bound=True``
        the bound reached comes back too, as ``(moved, bound)``. Ctrl-C interrupts it. With a
        `prior`, the points go through it first.
        """
        placed = points if self.prior is None else self.prior.apply(points)
        moved, bound = _engine.apply_deform(placed, self.source, self.w, self.beta, method, accuracy)
        return (moved, bound) if with_bound else moved


class _RigidBatchFields(NamedTuple):
    scales: Array
    rotations: Array
    translations: Array
    sigma2s: Array
    nrms: Array
    iterations: npt.NDArray[np.int64]
    converged: npt.NDArray[np.bool_]


class RigidBatch(_RigidBatchFields):
    """Rigid fits of P pairs, as stacked arrays aligned to the `pairs` of the call.

    Unpacks as ``(scales, rotations, translations, sigma2s, nrms, iterations, converged)``, the
    tuple `tarvic._tarvic.fit_rigid_batch` returns; ``batch[k]`` is a field, ``batch.pair(k)``
    is the fit of pair k as a `RigidFit`. `methods` (a list of ``"exact"``/``"fast"``) and
    `error_bounds` (an array) say how each pair was computed.
    """

    methods: List[str] = []
    error_bounds: Array = np.zeros(0)

    def __new__(
        cls,
        scales: Array,
        rotations: Array,
        translations: Array,
        sigma2s: Array,
        nrms: Array,
        iterations: npt.NDArray[np.int64],
        converged: npt.NDArray[np.bool_],
        methods: Optional[List[str]] = None,
        error_bounds: Optional[Array] = None,
    ) -> "RigidBatch":
        self = super().__new__(cls, scales, rotations, translations, sigma2s, nrms, iterations, converged)
        self.methods = ["exact"] * len(scales) if methods is None else list(methods)
        self.error_bounds = np.zeros(len(scales)) if error_bounds is None else np.asarray(error_bounds, np.float64)
        return self

    def __repr__(self) -> str:
        return f"{super().__repr__()[:-1]}, methods={self.methods!r}, error_bounds={self.error_bounds!r})"

    def __reduce__(self) -> Tuple[Any, ...]:
        return (RigidBatch, (*self, self.methods, self.error_bounds))

    @classmethod
    def from_fits(cls, fits: Sequence[Tuple[Any, ...]]) -> "RigidBatch":
        """Stack per-pair tuples ``(scale, rotation, translation, sigma2, nrms, iterations,
        converged, method, error_bound)``."""
        p = len(fits)
        return cls(
            np.array([f[0] for f in fits], dtype=np.float64).reshape(p),
            np.array([f[1] for f in fits], dtype=np.float64).reshape(p, 3, 3),
            np.array([f[2] for f in fits], dtype=np.float64).reshape(p, 3),
            np.array([f[3] for f in fits], dtype=np.float64).reshape(p),
            np.array([f[4] for f in fits], dtype=np.float64).reshape(p),
            np.array([f[5] for f in fits], dtype=np.int64).reshape(p),
            np.array([f[6] for f in fits], dtype=np.bool_).reshape(p),
            [str(f[7]) for f in fits],
            np.array([f[8] for f in fits], dtype=np.float64).reshape(p),
        )

    def pair(self, k: int) -> RigidFit:
        """The fit of pair `k` (negative indices count from the end)."""
        return RigidFit(
            float(self.scales[k]),
            self.rotations[k],
            self.translations[k],
            float(self.sigma2s[k]),
            float(self.nrms[k]),
            int(self.iterations[k]),
            bool(self.converged[k]),
            self.methods[k],
            float(self.error_bounds[k]),
        )

    def fits(self) -> List[RigidFit]:
        """Every pair's fit, in pair order."""
        return [self.pair(k) for k in range(len(self.scales))]

    @property
    def matrices(self) -> Array:
        """(P, 4, 4) homogeneous matrices, one per pair (see `RigidFit.matrix`)."""
        return _homogeneous(self.scales, self.rotations, self.translations)
