"""Degenerate and huge inputs, with a report: what every fit returned, and how a 10-million-point
source onto 10 target points scales in time and memory.

The degenerate clouds are those of tests/test_hostile.py. The large runs each start a fresh
interpreter, so peak memory (ru_maxrss) belongs to that run alone.

    python bench/hostile_run.py [--sizes 1e5,1e6,1e7] [--iterations 5] [--skip-large]
"""
import argparse
import json
import pathlib
import subprocess
import sys
import warnings

import numpy as np

TESTS = pathlib.Path(__file__).resolve().parents[1] / "tests"
sys.path.insert(0, str(TESTS))

import tarvic  # noqa: E402
from test_hostile import CASES  # noqa: E402

LARGE = r"""
import json, resource, sys, time
import numpy as np
import tarvic
def status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])

def reset_peak():
    # Forget the peak so far (input generation has its own temporaries); VmHWM restarts from VmRSS.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
n, iters, which = int(float(sys.argv[1])), int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(0)
src = rng.normal(size=(n, 3))
tgt = rng.normal(size=(10, 3))
reset_peak()
base_kib = status_kib("VmRSS")
base = resource.getrusage(resource.RUSAGE_SELF)
t0 = time.perf_counter()
if which == "fit_rigid":
    r = tarvic.fit_rigid(src, tgt, max_iterations=iters)
    ok = bool(np.isfinite(r[1]).all() and np.isfinite(r[2]).all()); info = dict(iterations=r[5], converged=r[6])
elif which == "fit_rigid_reverse":
    r = tarvic.fit_rigid(tgt, src, max_iterations=iters)
    ok = bool(np.isfinite(r[2]).all()); info = dict(iterations=r[5], converged=r[6])
elif which == "fit_deform_reverse":
    r = tarvic.fit_deform(tgt, src, max_iterations=iters)
    ok = bool(np.isfinite(r[1]).all()); info = dict(iterations=r[5], converged=r[6])
elif which == "apply_rigid":
    ok = bool(np.isfinite(tarvic.apply_rigid(src, 1.5, np.eye(3), np.ones(3))).all()); info = {}
elif which == "apply_deform":
    ok = bool(np.isfinite(tarvic.apply_deform(src, tgt, np.ones((10, 3)), 0.5)).all()); info = {}
elif which == "fit_rigid_batch":
    r = tarvic.fit_rigid_batch([src], [tgt], np.array([[0, 0]]), max_iterations=iters)
    ok = bool(np.isfinite(r[2]).all()); info = dict(iterations=int(r[5][0]), converged=bool(r[6][0]))
elapsed = time.perf_counter() - t0
end = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps(dict(which=which, n=n, seconds=round(elapsed, 2), finite=ok,
                      peak_mib_over_input=round((status_kib("VmHWM") - base_kib) / 1024, 1),
                      input_mib=round(src.nbytes / 2**20, 1), minor_faults=end.ru_minflt - base.ru_minflt,
                      system_seconds=round(end.ru_stime - base.ru_stime, 2), **info)))
"""


def outcome_rigid(r):
    return (f"conv={r[6]!s:5} it={r[5]:3d} scale={r[0]:.4g} finite={bool(np.isfinite(r[1]).all() and np.isfinite(r[2]).all())}"
            f" sigma2={r[3]:.3g} nrms={r[4]:.3g}")


def outcome_deform(r):
    return (f"conv={r[6]!s:5} it={r[5]:3d} modes={r[7]} finite={bool(np.isfinite(r[1]).all() and np.isfinite(r[0]).all())}"
            f" beta={r[2]:.3g} sigma2={r[3]:.3g}")


def degenerate():
    print("== degenerate and extreme clouds")
    for name, (s, t, _known) in CASES.items():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            rows = [
                ("fit_rigid", outcome_rigid(tarvic.fit_rigid(s, t, max_iterations=100))),
                ("fit_rigid_batch", outcome_rigid([x[0] for x in tarvic.fit_rigid_batch(
                    [s], [t], np.array([[0, 0]]), max_iterations=100)])),
                ("fit_deform", outcome_deform(tarvic.fit_deform(s, t, max_iterations=60, num_modes=30))),
                ("fit_deform_batch", outcome_deform(tarvic.fit_deform_batch(
                    [s], [t], np.array([[0, 0]]), max_iterations=60, num_modes=30)[0])),
            ]
        for fn, text in rows:
            print(f"{name:26s} {fn:17s} {text}")


def large(sizes, iterations):
    print("== a large source onto 10 target points (and back), fresh interpreter per run")
    for which in ("fit_rigid", "fit_rigid_batch", "fit_rigid_reverse", "fit_deform_reverse", "apply_rigid",
                  "apply_deform"):
        for n in sizes:
            proc = subprocess.run([sys.executable, "-c", LARGE, str(n), str(iterations), which],
                                  capture_output=True, text=True, timeout=1800)
            if proc.returncode != 0:
                print(which, n, "FAILED", proc.returncode, proc.stderr[-500:])
                continue
            print(json.dumps(json.loads(proc.stdout.strip().splitlines()[-1])))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="1e5,1e6,1e7")
    ap.add_argument("--iterations", type=int, default=5)
    ap.add_argument("--skip-large", action="store_true")
    args = ap.parse_args()
    degenerate()
    if not args.skip_large:
        large([int(float(x)) for x in args.sizes.split(",")], args.iterations)


if __name__ == "__main__":
    main()
