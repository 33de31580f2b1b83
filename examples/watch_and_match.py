"""Watching a fit and reading its matches: a callback records (and plots) the variance after
every iteration, and may stop the fit; `correspondences` then says which points matched and
which target points are outliers.

Run: python examples/watch_and_match.py   (writes sigma2.png; needs matplotlib)
"""
from typing import List

import matplotlib

matplotlib.use("Agg")  # draw to a file, with or without a display
import matplotlib.pyplot as plt
import numpy as np

import tarvic


def main() -> None:
    rng = np.random.default_rng(11)
    u, v = rng.uniform(0.0, 1.0, (2, 3000))
    source = np.column_stack([2.0 * u, (0.2 + 0.3 * u) * np.cos(6.3 * v) + 0.5 * u**2, 0.3 * np.sin(6.3 * v)])
    angle = np.radians(25.0)
    rotation = np.array([[np.cos(angle), -np.sin(angle), 0.0], [np.sin(angle), np.cos(angle), 0.0], [0.0, 0.0, 1.0]])
    inliers = source @ rotation.T + np.array([0.3, -0.2, 0.1]) + rng.normal(scale=0.005, size=source.shape)
    clutter = rng.uniform(inliers.min(0), inliers.max(0), size=(300, 3))
    target = np.vstack([inliers, clutter])  # the last 300 target points are outliers

    # The callback runs on this thread after each iteration; returning False would stop the fit.
    sigma2: List[float] = []

    def watch(it: tarvic.Iteration) -> bool:
        sigma2.append(it.sigma2)
        return it.iteration < 150

    fit = tarvic.fit_rigid(source, target, w=0.1, callback=watch, progress=True)
    print(f"{fit.iterations} iterations, converged: {fit.converged}, sigma2 {fit.sigma2:.3g}")
    assert len(sigma2) == fit.iterations and sigma2[-1] == fit.sigma2

    fig, ax = plt.subplots(figsize=(5, 3))
    ax.semilogy(range(1, len(sigma2) + 1), sigma2, marker=".")
    ax.set_xlabel("iteration")
    ax.set_ylabel("sigma2")
    fig.tight_layout()
    fig.savefig("sigma2.png")

    # Which target point each source point matched, and which target points are outliers.
    found = tarvic.correspondences(fit, target, w=0.1, source=source)
    matched = np.mean(found.source_match == np.arange(len(source)))
    flagged = found.target_outlier > 0.5
    print(f"{matched:.1%} of source points matched their own copy; "
          f"{flagged[-300:].mean():.0%} of the clutter and {flagged[:-300].mean():.1%} of the inliers flagged as outliers")
    assert matched > 0.9 and flagged[-300:].mean() > 0.8 and flagged[:-300].mean() < 0.05


if __name__ == "__main__":
    main()
