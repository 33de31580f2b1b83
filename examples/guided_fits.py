"""Affine fits, a rigid fit followed by a deformable one, and landmarks that settle a symmetric shape.

Run: python examples/guided_fits.py
"""
import numpy as np
import numpy.typing as npt

import tarvic

Array = npt.NDArray[np.float64]


def rotation(axis: Array, degrees: float) -> Array:
    k = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    k /= np.linalg.norm(axis)
    a = np.radians(degrees)
    r: Array = np.eye(3) + np.sin(a) * k + (1.0 - np.cos(a)) * (k @ k)
    return r


def main() -> None:
    rng = np.random.default_rng(3)
    # A bent, tapered tube: no symmetry that would make its pose ambiguous.
    u, v = rng.uniform(0.0, 1.0, 800), rng.uniform(0.0, 2.0 * np.pi, 800)
    r = 0.15 + 0.25 * u
    source = np.column_stack([2.0 * u, r * np.cos(v) + 0.6 * u**2, 0.6 * r * np.sin(v) + 0.2 * np.sin(3 * u)])

    # 1. An affine map: shear and anisotropic scale.
    b = np.array([[1.3, 0.4, -0.1], [0.05, 0.8, 0.3], [-0.2, 0.1, 1.1]])
    affine = tarvic.fit_affine(source, source @ b.T + 0.5, max_iterations=500)
    print(f"affine: largest error in B {np.abs(affine.B - b).max():.1e} after {affine.iterations} iterations")
    assert np.abs(affine.B - b).max() < 1e-3

    # 2. Bent, then turned by 90°: rigid first, then the deformation after it.
    bent = source + np.column_stack([np.zeros(800), 0.25 * np.sin(1.5 * source[:, 0]), 0.15 * source[:, 0] ** 2])
    target = bent @ rotation(np.array([0.3, 1.0, 0.2]), 90.0).T
    rigid = tarvic.fit_rigid(source, target)
    both = tarvic.fit_deform(source, target, prior=rigid)
    alone = tarvic.fit_deform(source, target)
    for name, bent_fit in (("deformable alone", alone), ("rigid, then deformable", both)):
        error = np.linalg.norm(bent_fit.apply(source) - target, axis=1).mean()
        print(f"{name}: mean distance of each point to where it belongs {error:.4f}")
    assert np.linalg.norm(both.apply(source) - target, axis=1).mean() < 0.01

    # 3. An ellipsoid turned by 150°: alone, the fit ends a half-turn off; three known pairs fix it.
    e = rng.normal(size=(600, 3))
    ellipsoid = e / np.linalg.norm(e, axis=1)[:, None] * np.array([2.0, 1.0, 0.5])
    turn = rotation(np.array([0.0, 0.0, 1.0]), 150.0)
    moved = ellipsoid @ turn.T
    tips = [int(np.argmax(ellipsoid[:, 0])), int(np.argmin(ellipsoid[:, 0])), int(np.argmax(ellipsoid[:, 1]))]
    for pairs in (None, np.array([[i, i] for i in tips])):
        fit = tarvic.fit_rigid(ellipsoid, moved, landmarks=pairs)
        angle = np.degrees(np.arccos(np.clip((np.trace(fit.rotation @ turn.T) - 1.0) / 2.0, -1.0, 1.0)))
        print(f"{'with' if pairs is not None else 'without'} landmarks: rotation error {angle:.2f} degrees")
    assert angle < 0.5


if __name__ == "__main__":
    main()
