"""Registration at scale: the fast path (Gauss transforms with a reported bound) against the exact
dense path, whole fits, side by side in one run where the exact path fits in the time.

    python bench/bench_scale.py [--quick] [--sizes 10000,100000,1000000] [--exact-up-to N] [--sample-up-to N]
                                [--deform-up-to N] [--lidar-exact] [--horse-exact]

Cases (each in a fresh process, tarvic on 2 threads, default tolerance 1e-6, accuracy 1e-6):
- rigid, synthetic: a smooth closed surface of N points onto N other points of the same surface under
  a known similarity (20° rotation, scale 1.1, a shift) with 0.3% noise; recovery error is the
  rotation error in degrees and the translation error over the cloud's diagonal;
- rigid, the shared LiDAR pair (small_gicp, about 70k points each) at full resolution against its
  ground-truth transform;
- rigid, a noise-free moved copy of horse.ply (48,485 points), stored in single precision as a
  scanner or a PLY file would; it should converge within the tolerance;
- deformable, synthetic: the surface bent by a smooth displacement and turned by 10°, 100 modes;
  recovery error is the RMS distance to the true positions over the initial one.
Peak memory is the growth of the process's resident set over the loaded inputs. Where a whole
exact fit would take too long (sizes above --exact-up-to, up to --sample-up-to), the exact path runs
3 iterations and its whole-fit time is estimated as its time per iteration times the fast fit's
iterations (marked "est.").
"""
import sys

from common import DATA, cpu_model, run_isolated, table

RIGID = r"""
import time, numpy as np, common, tarvic
{load}
base = _rss()
t0 = time.perf_counter()
fit = tarvic.fit_rigid(src, tgt, w={w}, method="{method}", max_iterations={iters}, threads=2)
dt = time.perf_counter() - t0
diag = float(np.linalg.norm(np.ptp(np.vstack([src, tgt]), axis=0)))
print(json.dumps(dict(t=dt, iters=fit.iterations, converged=bool(fit.converged), mem=_rss() - base,
                      rot=common.rotation_error_deg(fit.rotation, R_true),
                      trans=float(np.linalg.norm(fit.translation - t_true)) / diag,
                      scale=float(fit.scale), bound=float(fit.error_bound), method=fit.method)))
"""

SURFACE = r"""
n = {n}
src, tgt, R_true, t_true, s_true = common.moved_surface(n)
"""

LIDAR = r"""
src = tarvic.io.read({src!r}); tgt = tarvic.io.read({tgt!r})
T = np.loadtxt({gt!r}); R_true, t_true = T[:3, :3], T[:3, 3]
"""

HORSE = r"""
src = tarvic.io.read({path!r})
R_true, t_true = common.rotation([0.0, 1.0, 0.2], 35), np.array([0.05, 0.1, -0.02])
# A noise-free copy as a scanner or a float32 PLY would store it.
tgt = (1.25 * src @ R_true.T + t_true).astype(np.float32).astype(np.float64)
"""

DEFORM = r"""
import time, numpy as np, common, tarvic
n = {n}
src = common.surface(n, 3)
bent = src + 0.15 * np.column_stack([np.sin(2 * src[:, 1]), np.cos(2 * src[:, 2]), np.sin(2 * src[:, 0])])
true = bent @ common.rotation([0.2, 0.3, 1.0], 10).T
tgt = (true + np.random.default_rng(1).normal(scale=0.003, size=true.shape))[np.random.default_rng(0).permutation(n)]
base = _rss()
t0 = time.perf_counter()
fit = tarvic.fit_deform(src, tgt, method="{method}", max_iterations={iters}, threads=2)
dt = time.perf_counter() - t0
moved = fit.apply(src)
err = float(np.sqrt(np.mean(np.sum((moved - true) ** 2, 1))) / np.sqrt(np.mean(np.sum((src - true) ** 2, 1))))
print(json.dumps(dict(t=dt, iters=fit.iterations, converged=bool(fit.converged), mem=_rss() - base, err=err,
                      bound=float(fit.error_bound), method=fit.method, modes=fit.modes)))
"""


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


def rigid_row(name, load, exact, w=0.0, iters=200, sample=False):
    row = {"case": name}
    for method in ("fast", "exact") if exact else ("fast",):
        r = run_isolated(RIGID.format(load=load, method=method, w=w, iters=iters))
        tag = "" if method == "fast" else " (exact)"
        row[f"s{tag}"] = f"{r['t']:.1f}"
        row[f"its{tag}"] = f"{r['iters']}{'' if r['converged'] else '*'}"
        row[f"MiB{tag}"] = f"{r['mem']:.0f}"
        row[f"rot°{tag}"] = f"{r['rot']:.1e}"
        row[f"t/diag{tag}"] = f"{r['trans']:.1e}"
        if method == "fast":
            row["bound"] = f"{r['bound']:.1e}"
    if exact:
        row["speed-up"] = f"{float(row['s (exact)']) / max(float(row['s']), 1e-9):.0f}x"
    elif sample:
        r = run_isolated(RIGID.format(load=load, method="exact", w=w, iters=3))
        est = r["t"] / max(r["iters"], 1) * int(row["its"].rstrip("*"))
        row["s (exact)"] = f"{est:.0f} est."
        row["speed-up"] = f"{est / max(float(row['s']), 1e-9):.0f}x est."
    table([row], list(row))
    return row


def main():
    quick = "--quick" in sys.argv
    sizes = [int(s) for s in option("--sizes", "10000,30000" if quick else "10000,100000,1000000").split(",")]
    exact_up_to = int(option("--exact-up-to", "30000"))
    sample_up_to = int(option("--sample-up-to", "30000" if quick else "100000"))
    deform_up_to = int(option("--deform-up-to", "10000" if quick else "100000"))
    print(f"CPU: {cpu_model()}; tarvic on 2 threads; '*' marks a fit that did not converge")
    rigid = [rigid_row(f"surface {n}", SURFACE.format(n=n), n <= exact_up_to, sample=n <= sample_up_to) for n in sizes]
    lidar = DATA / "small_gicp"
    if (lidar / "source.ply").exists():
        rigid.append(rigid_row("LiDAR pair", LIDAR.format(src=str(lidar / "source.ply"), tgt=str(lidar / "target.ply"),
                                                          gt=str(lidar / "T_target_source.txt")),
                               "--lidar-exact" in sys.argv, w=0.1, sample=True))
    else:
        print(f"skipping the LiDAR pair: {lidar} not found")
    horse = DATA / "probreg" / "horse.ply"
    if horse.exists():
        rigid.append(rigid_row("horse copy", HORSE.format(path=str(horse)), "--horse-exact" in sys.argv, sample=True))
    else:
        print(f"skipping horse.ply: {horse} not found")
    deform = []
    for n in [s for s in sizes if s <= deform_up_to]:
        row = {"case": f"deform {n}"}
        for method in ("fast", "exact") if n <= min(exact_up_to, 20000) else ("fast",):
            r = run_isolated(DEFORM.format(n=n, method=method, iters=100))
            tag = "" if method == "fast" else " (exact)"
            row[f"s{tag}"] = f"{r['t']:.1f}"
            row[f"its{tag}"] = f"{r['iters']}{'' if r['converged'] else '*'}"
            row[f"MiB{tag}"] = f"{r['mem']:.0f}"
            row[f"err{tag}"] = f"{r['err']:.3f}"
            if method == "fast":
                row["bound"] = f"{r['bound']:.1e}"
        table([row], list(row))
        deform.append(row)
    print()
    for rows in (rigid, deform):
        if rows:
            keys = list(dict.fromkeys(k for r in rows for k in r))
            table([{k: r.get(k, "") for k in keys} for r in rows], keys)
            print()


if __name__ == "__main__":
    main()
