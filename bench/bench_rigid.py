"""fit_rigid against pycpd and cycpd on problems that converge: whole fit, time per iteration,
peak memory, recovery error; then fit_affine against pycpd's AffineRegistration on the same clouds.

    pip install -r bench/requirements.txt && python bench/bench_rigid.py [--quick] [--reps K] [--sizes 1000,5000] [--affine-only]

The problem is what real registrations look like: a smooth closed surface (M points) onto 90% of
a copy under a known similarity (30° rotation, scale 1.2, a shift) with 0.5% noise, so the
variance falls by four orders of magnitude over the fit and the kernels work where most values
are tiny. Every library runs 50 iterations with tolerance 0 (cycpd may stop earlier on its own
rule; its time per iteration is still comparable). Each run is a fresh process so that peak
memory (growth of the resident set over the loaded inputs) is comparable; medians over K runs.
tarvic runs on 2 threads; the peers' NumPy is left to choose its own kernels.

The affine rows fit the same clouds with an affine map (50 iterations, tolerance 0, one run per
library): time per iteration, peak memory, and the recovery error as the largest entry of
B − s·R against the similarity that made the target.
"""
import sys

from common import CYCPD_PATCH, DATA, OPENBLAS_VARS, cpu_model, median, run_isolated, table

CASE = CYCPD_PATCH + r"""
import time, numpy as np, common
src, tgt, R = {load}
import {lib}
base = _rss()
t0 = time.perf_counter()
if "{lib}" == "pycpd":
    from pycpd import RigidRegistration
    reg = RigidRegistration(X=tgt, Y=src, max_iterations=50, tolerance=0.0)
    TY, (s, Rp, t) = reg.register()
    R_fit, iters = np.asarray(Rp).T, reg.iteration   # the peers map rows: Y @ R
elif "{lib}" == "cycpd":
    from cycpd import rigid_registration
    reg = _cycpd(rigid_registration)(X=tgt, Y=src, max_iterations=50, tolerance=0.0, verbose=False,
                                     print_reg_params=False)
    TY, (s, Rp, t) = reg.register()
    R_fit, iters = np.asarray(Rp).T, reg.iteration
else:
    s, R_fit, t, _, _, iters, _ = tarvic.fit_rigid(src, tgt, tolerance=0.0, max_iterations=50, threads=2)
dt = time.perf_counter() - t0
print(json.dumps(dict(t=dt, iters=int(iters), mem=_rss() - base, err=common.rotation_error_deg(R_fit, R))))
"""


AFFINE_CASE = r"""
import time, numpy as np, common
src, tgt, R = {load}
import {lib}
base = _rss()
t0 = time.perf_counter()
if "{lib}" == "pycpd":
    from pycpd import AffineRegistration
    reg = AffineRegistration(X=tgt, Y=src, max_iterations=50, tolerance=0.0)
    TY, (Bp, t) = reg.register()
    B, iters = np.asarray(Bp).T, reg.iteration   # the peers map rows: Y @ B
else:
    fit = tarvic.fit_affine(src, tgt, tolerance=0.0, max_iterations=50, threads=2)
    B, iters = fit.B, fit.iterations
dt = time.perf_counter() - t0
print(json.dumps(dict(t=dt, iters=int(iters), mem=_rss() - base, err=float(np.abs(B - {scale} * R).max()))))
"""


def affine_rows(cases):
    """One run of each library per case (the affine fit's cost is the rigid fit's plus a 3 x 3 solve)."""
    rows = []
    for name, load, scale in cases:
        runs = {lib: run_isolated(AFFINE_CASE.format(load=load, lib=lib, scale=scale),
                                  env_drop=() if lib == "tarvic" else OPENBLAS_VARS)
                for lib in ("tarvic", "pycpd")}
        it = {lib: r["t"] / max(r["iters"], 1) for lib, r in runs.items()}
        rows.append({"case": name, "tarvic fit s": f"{runs['tarvic']['t']:.3f}", "pycpd fit s": f"{runs['pycpd']['t']:.2f}",
                     "tarvic ms/it": f"{1e3 * it['tarvic']:.2f}", "pycpd ms/it": f"{1e3 * it['pycpd']:.1f}",
                     "vs pycpd (it)": f"{it['pycpd'] / it['tarvic']:.0f}x",
                     "MiB t/p": f"{runs['tarvic']['mem']:.0f}/{runs['pycpd']['mem']:.0f}",
                     "err t/p": f"{runs['tarvic']['err']:.1e}/{runs['pycpd']['err']:.1e}",
                     "iters t/p": f"{runs['tarvic']['iters']}/{runs['pycpd']['iters']}"})
        table(rows[-1:], list(rows[-1]))
    return rows


def main():
    quick = "--quick" in sys.argv
    reps = int(sys.argv[sys.argv.index("--reps") + 1]) if "--reps" in sys.argv else (1 if quick else 3)
    sizes = [1000, 2000] if quick else [1000, 5000, 10000]
    if "--sizes" in sys.argv:
        sizes = [int(v) for v in sys.argv[sys.argv.index("--sizes") + 1].split(",")]
    cases = []
    for n in sizes:
        load = (f"(lambda s: (s, (s[: {n} * 9 // 10] @ common.rotation([0.3, 0.4, 0.8], 30).T) * 1.2 + [0.3, -0.2, 0.5]"
                f" + np.random.default_rng(2).normal(scale=0.005, size=({n} * 9 // 10, 3)),"
                f" common.rotation([0.3, 0.4, 0.8], 30)))(common.surface({n}, 5))")
        cases.append((f"surface {n}", load, 1.2))
    bunny = DATA / "pycpd" / "bunny_source.txt"
    if bunny.exists():
        load = (f"(lambda s: (s, s @ common.rotation([0.2, 1.0, 0.1], 40).T * 0.8 + [0.05, 0.0, -0.02]"
                f" + np.random.default_rng(2).normal(scale=0.0005, size=(453, 3)),"
                f" common.rotation([0.2, 1.0, 0.1], 40)))(np.loadtxt({str(bunny)!r}))")
        cases.append(("bunny 453", load, 0.8))
    else:
        print(f"skipping the bunny: {bunny} not found")
    print(f"CPU: {cpu_model()}; tarvic on 2 threads; medians of {reps} run(s)")
    rows = []
    for name, load, _ in ([] if "--affine-only" in sys.argv else cases):
        runs = {lib: [run_isolated(CASE.format(load=load, lib=lib), env_drop=() if lib == "tarvic" else OPENBLAS_VARS)
                      for _ in range(reps)] for lib in ("tarvic", "cycpd", "pycpd")}
        fit = {lib: median([r["t"] for r in rs]) for lib, rs in runs.items()}
        it = {lib: median([r["t"] / max(r["iters"], 1) for r in rs]) for lib, rs in runs.items()}
        last = {lib: rs[-1] for lib, rs in runs.items()}
        rows.append({"case": name, "tarvic fit s": f"{fit['tarvic']:.3f}", "cycpd fit s": f"{fit['cycpd']:.2f}",
                     "pycpd fit s": f"{fit['pycpd']:.2f}",
                     "tarvic ms/it": f"{1e3 * it['tarvic']:.2f}", "cycpd ms/it": f"{1e3 * it['cycpd']:.1f}",
                     "pycpd ms/it": f"{1e3 * it['pycpd']:.1f}",
                     "vs cycpd (it)": f"{it['cycpd'] / it['tarvic']:.0f}x", "vs pycpd (it)": f"{it['pycpd'] / it['tarvic']:.0f}x",
                     "vs pycpd (fit)": f"{fit['pycpd'] / fit['tarvic']:.0f}x",
                     "MiB t/c/p": f"{last['tarvic']['mem']:.0f}/{last['cycpd']['mem']:.0f}/{last['pycpd']['mem']:.0f}",
                     "err° t/c/p": "/".join(f"{last[k]['err']:.1e}" for k in ("tarvic", "cycpd", "pycpd")),
                     "iters t/c/p": "/".join(str(last[k]["iters"]) for k in ("tarvic", "cycpd", "pycpd"))})
        table(rows[-1:], list(rows[-1]))
    if rows:
        print()
        table(rows, list(rows[0]))
    print("\naffine fits of the same clouds (one run each)")
    affine = affine_rows(cases)
    print()
    table(affine, list(affine[0]))


if __name__ == "__main__":
    main()
