"""Overhead of running a batch through Dask: 512 rigid pairs of 2,000-point clouds on a
LocalCluster of 2 worker processes × 1 thread, against the local batch on 2 threads.

    pip install 'tarvic[dask]' && python bench/bench_dask.py [--quick]

Medians of 3 runs each; the cluster is started (and the clouds scattered once per call) inside
the timed Dask runs' own accounting only for the scatter, not for cluster start-up.
"""
import statistics
import sys
import time

import numpy as np
from distributed import Client, LocalCluster

import tarvic
from tarvic import distributed as tdist
from common import rotation, surface


def main():
    quick = "--quick" in sys.argv
    npairs, n = (64, 2000) if quick else (512, 2000)
    rng = np.random.default_rng(0)
    base = surface(n, 1)
    clouds = [np.ascontiguousarray(base @ rotation(rng.normal(size=3), rng.uniform(0, 25)).T) for _ in range(32)]
    pairs = rng.integers(0, 32, size=(npairs, 2)).astype(np.int64)
    opts = dict(max_iterations=30, tolerance=1e-6)

    def median(f):
        ts = []
        for _ in range(3):
            t0 = time.perf_counter()
            out = f()
            ts.append(time.perf_counter() - t0)
        return statistics.median(ts), out

    t_local, local = median(lambda: tarvic.fit_rigid_batch(clouds, None, pairs, threads=2, **opts))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        tdist.fit_rigid_batch(clouds, None, pairs[:4], client=client, **opts)  # warm the workers' imports
        t_dask, remote = median(lambda: tdist.fit_rigid_batch(clouds, None, pairs, client=client, **opts))
    same = all(np.array_equal(a, b) for a, b in zip(local, remote))
    print(f"{npairs} rigid pairs of {n} points: local batch (2 threads) {t_local:.2f} s, "
          f"Dask LocalCluster (2 workers x 1 thread) {t_dask:.2f} s, overhead {100 * (t_dask / t_local - 1):+.1f}%, "
          f"results identical: {same}")


if __name__ == "__main__":
    main()
