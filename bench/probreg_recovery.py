"""fit_deform on the non-rigid pairs of ../shared/data/probreg (bunny 8,171 points, face 23,728
points): RMS distance from the moved source to the target's nearest points, before and after.

    python bench/probreg_recovery.py
"""
import time

import numpy as np
from scipy.spatial import cKDTree

import tarvic
from common import DATA


def nn_rms(points, tree, target):
    return float(np.sqrt(np.mean(np.sum((points - target[tree.query(points)[1]]) ** 2, axis=1))))


def main():
    for name in ("bunny", "face"):
        xs, ys = DATA / "probreg" / f"{name}-x.txt", DATA / "probreg" / f"{name}-y.txt"
        if not xs.exists():
            print(f"skipping {name}: {xs} not found")
            continue
        src, tgt = np.loadtxt(xs), np.loadtxt(ys)
        tree = cKDTree(tgt)
        t0 = time.perf_counter()
        s, w, beta, sigma2, nrms, iters, conv, modes = tarvic.fit_deform(src, tgt)
        dt = time.perf_counter() - t0
        moved = tarvic.apply_deform(src, s, w, beta)
        size = float(np.ptp(tgt, axis=0).max())
        print(f"{name}: {len(src)} -> {len(tgt)} points, extent {size:.4g}; nearest-point RMS "
              f"{nn_rms(src, tree, tgt):.4g} before, {nn_rms(moved, tree, tgt):.4g} after; "
              f"{iters} iterations, converged {conv}, {modes} modes, {dt:.1f} s")


if __name__ == "__main__":
    main()
