"""Named results of the fits: still tuples, so code that unpacks the plain results keeps working."""
from __future__ import annotations

from typing import List, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _tarvic

Array = npt.NDArray[np.float64]

__all__ = ["RigidFit", "DeformFit", "RigidBatch"]


def _homogeneous(scale: npt.ArrayLike, rotation: npt.ArrayLike, translation: npt.ArrayLike) -> Array:
    """``[[scale * rotation, translation], [0, 0, 0, 1]]``, for one transform or a stack of them."""
    r = np.asarray(rotation, dtype=np.float64)
    m = np.zeros(r.shape[:-2] + (4, 4))
    m[..., :3, :3] = np.asarray(scale, dtype=np.float64)[..., None, None] * r
    m[..., :3, 3] = translation
    m[..., 3, 3] = 1.0
    return m


class RigidFit(NamedTuple):
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
    """

    scale: float
    rotation: Array
    translation: Array
    sigma2: float
    nrms: float
    iterations: int
    converged: bool

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


class DeformFit(NamedTuple):
    """A fitted deformation ``x -> x + sum_j exp(-|x - source_j|^2 / (2 beta^2)) * w_j``.

    Unpacks as ``(source, w, beta, sigma2, nrms, iterations, converged, modes)``, the tuple
    `tarvic._tarvic.fit_deform` returns.

    - `source`: (M, 3) kernel centres, the source cloud as given.
    - `w`: (M, 3) kernel coefficients, in the units of the clouds.
    - `beta`: the kernel width in the units of the clouds (the `beta` passed to the fit times
      the clouds' radius, not the fraction itself).
    - `sigma2`, `nrms`, `iterations`, `converged`: as for `RigidFit`.
    - `modes`: kernel eigenmodes the fit was solved through.
    """

    source: Array
    w: Array
    beta: float
    sigma2: float
    nrms: float
    iterations: int
    converged: bool
    modes: int

    def apply(self, points: Array) -> Array:
        """Carry an (N, 3) float64 array of points through the fitted deformation."""
        return _tarvic.apply_deform(points, self.source, self.w, self.beta)


class RigidBatch(NamedTuple):
    """Rigid fits of P pairs, as stacked arrays aligned to the `pairs` of the call.

    Unpacks as ``(scales, rotations, translations, sigma2s, nrms, iterations, converged)``, the
    tuple `tarvic._tarvic.fit_rigid_batch` returns; ``batch[k]`` is a field, ``batch.pair(k)``
    is the fit of pair k as a `RigidFit`.
    """

    scales: Array
    rotations: Array
    translations: Array
    sigma2s: Array
    nrms: Array
    iterations: npt.NDArray[np.int64]
    converged: npt.NDArray[np.bool_]

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
        )

    def fits(self) -> List[RigidFit]:
        """Every pair's fit, in pair order."""
        return [self.pair(k) for k in range(len(self.scales))]

    @property
    def matrices(self) -> Array:
        """(P, 4, 4) homogeneous matrices, one per pair (see `RigidFit.matrix`)."""
        return _homogeneous(self.scales, self.rotations, self.translations)
