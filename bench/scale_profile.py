"""Where a large fast fit spends its time: iterations and seconds per band of the mixture's width σ
(relative to the clouds' diagonal), timed by a per-iteration callback.

    python bench/scale_profile.py [points]     (default 100000; tarvic on 2 threads)

The problem is bench_scale.py's rigid surface (`common.moved_surface`): N points of a smooth closed
surface onto N other points of it under a known similarity with 0.3% noise. Wide kernels run on the far path, narrow
ones on the near path; the bands in between are where both cost most.
"""
import sys
import time

import numpy as np

import common
import tarvic


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    src, tgt = common.moved_surface(n)[:2]
    diag = float(np.linalg.norm(np.ptp(np.vstack([src, tgt]), axis=0)))
    times, last = [], [time.perf_counter()]

    def lap(it):
        now = time.perf_counter()
        times.append((np.sqrt(it.sigma2) / diag, now - last[0]))
        last[0] = now

    start = time.perf_counter()
    fit = tarvic.fit_rigid(src, tgt, method="fast", threads=2, callback=lap)
    total = time.perf_counter() - start
    print(f"CPU: {common.cpu_model()}; M = N = {n}; {fit.iterations} iterations in {total:.1f} s "
          f"(converged {fit.converged}, bound {fit.error_bound:.1e})")
    bands = [(0.06, "> 6%"), (0.01, "1-6%"), (0.002, "0.2-1%"), (0.0, "< 0.2%")]
    print(f"{'sigma/diagonal':>14}  {'iterations':>10}  {'seconds':>8}  {'ms/iteration':>12}")
    for k, (low, name) in enumerate(bands):
        high = bands[k - 1][0] if k else np.inf
        sel = [dt for s, dt in times if low < s <= high]
        if sel:
            print(f"{name:>14}  {len(sel):>10}  {sum(sel):>8.1f}  {1e3 * sum(sel) / len(sel):>12.0f}")


if __name__ == "__main__":
    main()
