"""Register a built-in shape moved by a known similarity, and report how well the fit recovers it.

Run with ``tarvic demo`` or ``python -m tarvic.demo`` (``--no-deform`` skips the short
deformable part, ``--plot FILE.png`` saves a picture of the rigid fit; that needs matplotlib).
The shape is a rabbit built from a few ellipsoids, generated from a fixed seed; no data files
are read.
"""
import argparse
import time
from typing import Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

import tarvic

Array = npt.NDArray[np.float64]

# (centre, semi-axes) of the ellipsoids a rabbit is made of: body, head, ears, tail.
RABBIT = [
    ((0.0, 0.0, 0.0), (1.0, 0.6, 0.55)),
    ((0.95, 0.0, 0.45), (0.38, 0.32, 0.32)),
    ((1.05, 0.14, 0.95), (0.08, 0.05, 0.32)),
    ((1.0, -0.14, 0.92), (0.08, 0.05, 0.28)),
    ((-1.0, 0.0, 0.15), (0.14, 0.14, 0.14)),
]


def rabbit(n: int, rng: np.random.Generator) -> Array:
    """`n` points on the surfaces of the rabbit's ellipsoids, about 2.3 units long.

    Without rotational symmetry, so its pose is well defined; points are shared out by area.
    """
    centres = np.array([c for c, _ in RABBIT])
    axes = np.array([a for _, a in RABBIT])
    # Knud Thomsen's approximation of an ellipsoid's surface area.
    p = 1.6075
    ab, ac, bc = (axes[:, 0] * axes[:, 1]) ** p, (axes[:, 0] * axes[:, 2]) ** p, (axes[:, 1] * axes[:, 2]) ** p
    area = 4 * np.pi * ((ab + ac + bc) / 3) ** (1 / p)
    part = rng.choice(len(RABBIT), size=n, p=area / area.sum())
    directions = rng.normal(size=(n, 3))
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    points: Array = centres[part] + directions * axes[part]
    return points


def rotation(axis: Sequence[float], degrees: float) -> Array:
    """Rotation about `axis` by `degrees`, column-vector convention."""
    u = np.asarray(axis, dtype=float) / np.linalg.norm(axis)
    k = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
    a = np.radians(degrees)
    r: Array = np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * (k @ k)
    return r


def angle_between(r1: Array, r2: Array) -> float:
    """Angle of r1 · r2ᵀ in degrees."""
    return float(np.degrees(np.arccos(np.clip((np.trace(r1 @ r2.T) - 1.0) / 2.0, -1.0, 1.0))))


def rigid_demo(rng: np.random.Generator) -> Tuple[Array, Array, Array]:
    source = rabbit(3000, rng)
    size = np.ptp(source, axis=0).max()
    s_true, r_true = 1.6, rotation([1.0, -0.5, 2.0], 40.0)
    t_true = size * np.array([0.2, -0.1, 0.15])

    moved = s_true * source @ r_true.T + t_true
    moved += rng.normal(scale=0.005 * s_true * size, size=moved.shape)
    lo, hi = moved.min(axis=0), moved.max(axis=0)
    outliers = rng.uniform(lo, hi, size=(len(moved) // 9, 3))  # ~10% of the target
    target = np.vstack([moved, outliers])[rng.permutation(len(moved) + len(outliers))]

    print(f"Rigid: {len(source)} source points onto {len(target)} target points "
          f"({len(outliers)} outliers, noise 0.5% of the size)")
    t0 = time.perf_counter()
    scale, rot, trans, sigma2, nrms, iterations, converged = tarvic.fit_rigid(source, target, w=0.1)
    elapsed = time.perf_counter() - t0

    np.set_printoptions(precision=5, suppress=True)
    print(f"  scale        {scale:.5f}   (true {s_true})")
    print("  rotation\n" + "\n".join("    " + line for line in str(rot).splitlines()))
    print(f"  translation  {trans}   (true {t_true})")
    print(f"  rotation error     {angle_between(rot, r_true):.4f} degrees")
    print(f"  scale error        {abs(scale - s_true) / s_true:.2e} (relative)")
    print(f"  translation error  {np.linalg.norm(trans - t_true) / np.linalg.norm(t_true):.2e} (relative)")
    print(f"  sigma2 {sigma2:.3e}, nrms {nrms:.3e}, {iterations} iterations, "
          f"{'converged' if converged else 'not converged'}, {elapsed * 1000:.1f} ms")
    return source, target, tarvic.apply_rigid(source, scale, rot, trans)


def deform_demo(rng: np.random.Generator) -> None:
    source = rabbit(1000, rng)
    # A smooth bend: the head lifted and the back arched, up to ~5% of the size.
    bend = np.column_stack([
        0.03 * np.sin(2.0 * source[:, 2]),
        0.04 * np.sin(1.5 * source[:, 0]),
        0.08 * np.exp(-((source[:, 0] - 1.0) ** 2)) + 0.04 * np.cos(1.2 * source[:, 0]),
    ])
    target = source + bend
    print(f"\nDeformable: {len(source)} points, smooth displacement of up to {np.abs(bend).max():.3f}")
    t0 = time.perf_counter()
    centres, w, beta, sigma2, nrms, iterations, converged, modes = tarvic.fit_deform(source, target)
    elapsed = time.perf_counter() - t0
    fitted = tarvic.apply_deform(source, centres, w, beta)
    print(f"  largest residual   {np.abs(fitted - target).max():.2e} (before the fit {np.abs(bend).max():.2e})")
    print(f"  beta {beta:.4f} (absolute), {modes} eigenmodes, {iterations} iterations, "
          f"{'converged' if converged else 'not converged'}, {elapsed * 1000:.1f} ms")


def run(deform: bool = True, plot: Optional[str] = None) -> None:
    """Run the demo; `plot`, a path, saves a picture of the rigid fit there."""
    rng = np.random.default_rng(2010)
    print(f"tarvic demo, {tarvic.num_threads()} threads\n")
    source, target, moved = rigid_demo(rng)
    if plot is not None:
        from . import plot as tplot

        tplot.before_after(source, target, moved, plot,
                           title="tarvic demo: rigid fit of the built-in rabbit (10% outliers)")
        print(f"  picture saved to {plot}")
    if deform:
        deform_demo(rng)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--no-deform", action="store_true", help="run only the rigid demo")
    parser.add_argument("--plot", metavar="FILE.png", help="save a picture of the rigid fit")


def main(argv: Optional[Sequence[str]] = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m tarvic.demo", description=__doc__.splitlines()[0])
    add_arguments(parser)
    args = parser.parse_args(argv)
    run(deform=not args.no_deform, plot=args.plot)


if __name__ == "__main__":
    main()
