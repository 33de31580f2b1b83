"""Batch fits against a Python loop of single fits, on the same pool.

    python bench/bench_batch.py [--quick]

256 rigid pairs of 1,000-point clouds and 64 deformable pairs (500 points): the batch on 2
threads and on 1 thread, and a loop of fit_rigid / fit_deform calls on the process-wide pool
of 2 threads. Medians of 3 runs.
"""
import statistics
import sys
import time

import numpy as np

import tarvic
from common import rotation, surface, table


def clouds(k, n, seed):
    base = surface(n, seed)
    rng = np.random.default_rng(seed)
    out = []
    for i in range(k):
        r = rotation(rng.normal(size=3), rng.uniform(0, 30))
        out.append(np.ascontiguousarray(base @ r.T * rng.uniform(0.9, 1.1) + rng.normal(size=3) * 0.1))
    return out


def median_time(f, reps=3):
    ts = []
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts)


def main():
    quick = "--quick" in sys.argv
    tarvic.set_num_threads(2)
    rows = []
    for kind, npairs, n in (("rigid", 64 if quick else 256, 1000), ("deform", 16 if quick else 64, 500)):
        cl = clouds(16, n, 1)
        rng = np.random.default_rng(2)
        pairs = rng.integers(0, 16, size=(npairs, 2)).astype(np.int64)
        if kind == "rigid":
            opts = dict(max_iterations=50)
            batch = lambda th: tarvic.fit_rigid_batch(cl, None, pairs, threads=th, **opts)
            loop = lambda: [tarvic.fit_rigid(cl[i], cl[j], **opts) for i, j in pairs]
        else:
            opts = dict(max_iterations=30, num_modes=40)
            batch = lambda th: tarvic.fit_deform_batch(cl, None, pairs, threads=th, **opts)
            loop = lambda: [tarvic.fit_deform(cl[i], cl[j], **opts) for i, j in pairs]
        t1 = median_time(lambda: batch(1))
        t2 = median_time(lambda: batch(2))
        tl = median_time(loop)
        rows.append({"kind": kind, "pairs": npairs, "points": n, "batch 1 thr s": f"{t1:.2f}",
                     "batch 2 thr s": f"{t2:.2f}", "loop 2 thr s": f"{tl:.2f}", "2 vs 1": f"{t1 / t2:.2f}x",
                     "batch vs loop": f"{tl / t2:.2f}x"})
    table(rows, list(rows[0]))


if __name__ == "__main__":
    main()
