"""Align many specimens to one template in a single call, one registration per core.

Run: python examples/batch_to_template.py
"""
import numpy as np
import numpy.typing as npt

import tarvic


def turn_about_z(degrees: float) -> npt.NDArray[np.float64]:
    a = np.radians(degrees)
    return np.array([[np.cos(a), -np.sin(a), 0.0], [np.sin(a), np.cos(a), 0.0], [0.0, 0.0, 1.0]])


def main() -> None:
    rng = np.random.default_rng(11)
    template = rng.normal(size=(800, 3)) * np.array([3.0, 1.5, 0.5])
    # Each specimen: 600 of the template's points, turned by up to 40 degrees and shifted.
    # (CPD finds the nearest good alignment, so the turns are kept moderate.)
    angles = rng.uniform(-40.0, 40.0, 24)
    specimens = [template[rng.permutation(800)[:600]] @ turn_about_z(a).T + rng.normal(size=3) for a in angles]

    clouds = [template, *specimens]
    pairs = np.array([[k, 0] for k in range(1, len(clouds))], dtype=np.int64)  # specimen k onto the template
    batch = tarvic.fit_rigid_batch(clouds, None, pairs, scale=False)
    print(f"{len(pairs)} fits, {int(batch.converged.sum())} converged; median nrms {np.median(batch.nrms):.2e}")

    # Fitting specimen onto template undoes its turn.
    recovered = np.degrees(np.arctan2(batch.rotations[:, 1, 0], batch.rotations[:, 0, 0]))
    print(f"largest angle error {np.abs(recovered + angles).max():.3f} degrees")
    aligned = [batch.pair(k).apply(clouds[i]) for k, (i, _) in enumerate(pairs)]
    print("matrices", batch.matrices.shape, "and", len(aligned), "aligned clouds")
    assert batch.converged.all() and np.abs(recovered + angles).max() < 1.0


if __name__ == "__main__":
    main()
