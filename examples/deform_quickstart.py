"""Deformable fit: a generated surface onto a smoothly bent copy, then carrying new points along.

Run: python examples/deform_quickstart.py
"""
import numpy as np
import numpy.typing as npt

import tarvic


def main() -> None:
    rng = np.random.default_rng(3)
    x, y = rng.uniform(-1.0, 1.0, (2, 1500))
    source = np.column_stack([x, y, 0.3 * np.sin(2.0 * x) * np.cos(y)])

    def bend(p: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        out = p.copy()
        out[:, 2] += 0.15 * np.exp(-((p[:, 0] - 0.3) ** 2 + p[:, 1] ** 2) / 0.3)
        return out

    target = bend(source)
    fit = tarvic.fit_deform(source, target, beta=0.5)
    before = np.abs(target - source).max()
    after = np.abs(fit.apply(source) - target).max()
    print(f"{fit.modes} eigenmodes, {fit.iterations} iterations, kernel width {fit.beta:.3f}")
    print(f"largest residual: before {before:.4f}, after {after:.4f}")

    # Points that took no part in the fit move with the field too.
    probe = np.column_stack([np.linspace(-0.5, 0.5, 5), np.zeros(5), np.zeros(5)])
    print("probe points moved by", np.round(fit.apply(probe)[:, 2] - probe[:, 2], 4))
    assert after < 0.25 * before


if __name__ == "__main__":
    main()
