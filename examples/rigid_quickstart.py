"""Rigid fit of a generated cloud onto a rotated, scaled, shifted and noisy copy of itself.

Run: python examples/rigid_quickstart.py
"""
import numpy as np
import numpy.typing as npt

import tarvic


def rotation_about_z(degrees: float) -> npt.NDArray[np.float64]:
    a = np.radians(degrees)
    return np.array([[np.cos(a), -np.sin(a), 0.0], [np.sin(a), np.cos(a), 0.0], [0.0, 0.0, 1.0]])


def main() -> None:
    rng = np.random.default_rng(7)
    # A stretched, bent arc: no symmetry that would make its pose ambiguous.
    u = rng.uniform(0.0, np.pi, 2000)
    source = np.column_stack([3.0 * np.cos(u), 1.5 * np.sin(u), 0.4 * u**2]) + rng.normal(scale=0.02, size=(2000, 3))

    true_rotation = rotation_about_z(30.0)
    target = 1.3 * source @ true_rotation.T + np.array([0.5, -1.0, 2.0])
    target += rng.normal(scale=0.01, size=target.shape)

    fit = tarvic.fit_rigid(source, target)
    print(f"scale {fit.scale:.4f}, {fit.iterations} iterations, converged: {fit.converged}")
    print("4 x 4 matrix (column vectors, as Open3D expects):")
    print(np.array2string(fit.matrix, precision=4, suppress_small=True))

    angle = np.degrees(np.arccos(np.clip((np.trace(fit.rotation @ true_rotation.T) - 1.0) / 2.0, -1.0, 1.0)))
    residual = np.linalg.norm(fit.apply(source) - target, axis=1).mean()
    print(f"rotation error {angle:.3f} degrees, mean residual {residual:.4f}")

    # The named result is still the plain tuple.
    scale, rotation, translation, sigma2, nrms, iterations, converged = fit
    assert np.allclose(tarvic.apply_rigid(source, scale, rotation, translation), fit.apply(source))
    assert angle < 0.5 and abs(fit.scale - 1.3) < 0.01


if __name__ == "__main__":
    main()
