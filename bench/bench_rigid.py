"""fit_rigid against pycpd's RigidRegistration: time per iteration, peak memory, recovery error.

    pip install -r bench/requirements.txt && python bench/bench_rigid.py [--quick]

Same clouds, tolerance 0 and 50 iterations for both; each run in its own process so peak
memory (growth of the resident set over the loaded inputs) is comparable. tarvic on 2 threads.
"""
import sys

from common import DATA, OPENBLAS_VARS, run_isolated, table

CASE = r"""
import time, numpy as np, common, tarvic, pycpd
src, tgt, R = {load}
base = _rss()
t0 = time.perf_counter()
if {pycpd}:
    from pycpd import RigidRegistration
    reg = RigidRegistration(X=tgt, Y=src, max_iterations=50, tolerance=0.0)
    TY, (s, Rp, t) = reg.register()
    R_fit, iters = np.asarray(Rp).T, reg.iteration   # pycpd maps rows: Y @ R
else:
    import tarvic
    s, R_fit, t, _, _, iters, _ = tarvic.fit_rigid(src, tgt, tolerance=0.0, max_iterations=50, threads=2)
dt = time.perf_counter() - t0
print(json.dumps(dict(t=dt, iters=int(iters), mem=_rss() - base, err=common.rotation_error_deg(R_fit, R), s=float(s))))
"""


def main():
    quick = "--quick" in sys.argv
    sizes = [1000, 2000] if quick else [1000, 2000, 5000, 10000]
    cases = []
    for n in sizes:
        # Target: 90% of the source's points, rotated 30°, scaled 1.2, translated, noise 0.5% (M ≠ N).
        load = (f"(lambda s: (s, (s[: {n} * 9 // 10] @ common.rotation([0.3, 0.4, 0.8], 30).T) * 1.2 + [0.3, -0.2, 0.5]"
                f" + np.random.default_rng(2).normal(scale=0.005, size=({n} * 9 // 10, 3)),"
                f" common.rotation([0.3, 0.4, 0.8], 30)))(common.surface({n}, 5))")
        cases.append((f"surface {n}", load))
    bunny = DATA / "pycpd" / "bunny_source.txt"
    if bunny.exists():
        load = (f"(lambda s: (s, s @ common.rotation([0.2, 1.0, 0.1], 40).T * 0.8 + [0.05, 0.0, -0.02]"
                f" + np.random.default_rng(2).normal(scale=0.0005, size=(453, 3)),"
                f" common.rotation([0.2, 1.0, 0.1], 40)))(np.loadtxt({str(bunny)!r}))")
        cases.append(("bunny 453", load))
    else:
        print(f"skipping the bunny: {bunny} not found")
    rows = []
    for name, load in cases:
        ours = run_isolated(CASE.format(load=load, pycpd=False))
        peer = run_isolated(CASE.format(load=load, pycpd=True), env_drop=OPENBLAS_VARS)
        ti, tp = ours["t"] / max(ours["iters"], 1), peer["t"] / max(peer["iters"], 1)
        rows.append({"case": name, "tarvic ms/it": f"{1e3 * ti:.2f}", "pycpd ms/it": f"{1e3 * tp:.1f}",
                     "speed-up": f"{tp / ti:.0f}x", "tarvic MiB": f"{ours['mem']:.1f}", "pycpd MiB": f"{peer['mem']:.1f}",
                     "tarvic err°": f"{ours['err']:.2e}", "pycpd err°": f"{peer['err']:.2e}",
                     "iters": f"{ours['iters']}/{peer['iters']}"})
        table(rows[-1:], list(rows[-1]))
    print()
    table(rows, list(rows[0]))


if __name__ == "__main__":
    main()
