"""The ``tarvic`` command: register point-cloud files, apply saved transforms, run batches.

Exit status: 0 on success, 2 for bad input (a one-line message on standard error), 128 + the
signal's number when stopped by Ctrl-C (130), SIGTERM (143) or SIGHUP (129), 1 for anything
unexpected (also one line, never a traceback).
"""
from __future__ import annotations

import argparse
import contextlib
import io as _stdio
import math
import os
import signal
import stat
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple, NoReturn, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class InputError(Exception):
    """Bad input from the user: reported in one line with exit status 2."""


class _Signalled(KeyboardInterrupt):
    """SIGTERM or SIGHUP, raised like Ctrl-C so that the same clean-up runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _interruption(signum: int) -> KeyboardInterrupt:
    return KeyboardInterrupt() if signum == signal.SIGINT else _Signalled(signum)


class _Signals:
    """The command's handling of Ctrl-C, SIGTERM and SIGHUP: each raises an interruption, so
    temporary files and created folders are removed on the way out; during `held` blocks
    (reserving, committing, cleaning up) the signal waits until the block is done."""

    NAMES = ("SIGINT", "SIGTERM", "SIGHUP")

    def __init__(self) -> None:
        self.depth = 0
        self.pending: Optional[int] = None

    def handler(self, signum: int, frame: object) -> None:
        if self.depth:
            self.pending = self.pending or signum
            return
        raise _interruption(signum)

    @contextlib.contextmanager
    def installed(self) -> Iterator[None]:
        """Handle the signals whose disposition is the default (an ignored SIGHUP under nohup
        stays ignored; a caller's own handler stays in place)."""
        previous: Dict[int, Any] = {}
        for name in self.NAMES:
            signum = getattr(signal, name, None)
            if signum is None:
                continue
            current = signal.getsignal(signum)
            default = signal.default_int_handler if signum == signal.SIGINT else signal.SIG_DFL
            if current is not default:
                continue
            try:
                signal.signal(signum, self.handler)
            except ValueError:  # not the main thread: nothing can be installed
                break
            previous[signum] = current
        try:
            yield
        finally:
            for signum, current in previous.items():
                signal.signal(signum, current)
            self.pending = None

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self.depth += 1
        try:
            yield
        finally:
            self.depth -= 1
            if not self.depth and self.pending is not None:
                signum, self.pending = self.pending, None
                raise _interruption(signum)


_SIGNALS = _Signals()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not argparse's usage block
        raise InputError(f"{message} (see '{self.prog} --help')")


def _say(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Arguments


def _add_fit_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("fit options (defaults as in tarvic.fit_rigid / fit_affine / fit_deform)")
    g.add_argument("--deform", action="store_true", help="fit a smooth deformation instead of a similarity")
    g.add_argument("--affine", action="store_true",
                   help="fit an affine map (any 3 x 3 matrix and a translation) instead of a similarity")
    g.add_argument("--no-scale", action="store_true", help="rigid: rotation and translation only (scale 1)")
    g.add_argument("--scale-bounds", nargs=2, type=float, metavar=("LO", "HI"), help="rigid: limits on the scale")
    g.add_argument("--w", type=float, metavar="W", help="outlier fraction in [0, 1) (default 0)")
    g.add_argument("--alpha", type=float, help="deform: stiffness of the displacement field (default 2)")
    g.add_argument("--beta", type=float,
                   help="deform: kernel width as a fraction of the clouds' radius (default 1)")
    g.add_argument("--num-modes", type=int, metavar="K", help="deform: kernel eigenmodes to solve through (default 100)")
    g.add_argument("--tolerance", type=float, help="stop when the variance changes by less than this fraction (1e-6)")
    g.add_argument("--max-iterations", type=int, metavar="N", help="cap on EM iterations (default 200)")
    g.add_argument("--sigma2", type=float, help="initial variance in squared units (default: from the clouds)")
    g.add_argument("--threads", type=int, metavar="N", help="threads to use (default, or 0: all CPUs or TARVIC_NUM_THREADS)")
    _add_method_options(g)
    g.add_argument("--drop-nonfinite", action="store_true",
                   help="leave out points with NaN or infinite coordinates instead of refusing the file")


def _add_method_options(g: Any) -> None:
    g.add_argument("--method", choices=("auto", "exact", "fast"),
                   help="how the sums are computed: exact dense sums, or Gauss transforms within --accuracy "
                        "(default auto: exact for small clouds, fast for large ones)")
    g.add_argument("--accuracy", type=float, metavar="EPS",
                   help="fast method: bound on the relative error of its sums, in (0, 1) (default 1e-6)")


def _method_options(args: argparse.Namespace) -> Dict[str, Any]:
    return {k: getattr(args, k) for k in ("method", "accuracy") if getattr(args, k) is not None}


class _Plan(NamedTuple):
    """What a command fits: the kind of fit, its keyword arguments, and with --after-rigid those
    of the rigid fit made before it."""

    kind: str  # "rigid", "affine" or "deform"
    opts: Dict[str, Any]
    first: Optional[Dict[str, Any]] = None

    @property
    def name(self) -> str:
        return {"rigid": "rigid", "affine": "affine", "deform": "deformable"}[self.kind]


def _fit_options(args: argparse.Namespace) -> _Plan:
    """The fits to make; options that do not apply to them are refused."""
    if args.deform and args.affine:
        raise InputError("--deform and --affine are different fits: give one of them")
    kind = "deform" if args.deform else "affine" if args.affine else "rigid"
    after = bool(getattr(args, "after_rigid", False))
    if after and kind == "rigid":
        raise InputError("--after-rigid needs --deform or --affine, the fit made after the rigid one")
    rigid_only = {"no_scale": "--no-scale", "scale_bounds": "--scale-bounds"}
    deform_only = {"alpha": "--alpha", "beta": "--beta", "num_modes": "--num-modes"}
    for dest, flag in deform_only.items():
        if kind != "deform" and getattr(args, dest) is not None:
            raise InputError(f"{flag} applies only to deformable fits (add --deform)")
    for dest, flag in rigid_only.items():
        if kind != "rigid" and not after and getattr(args, dest) not in (None, False):
            raise InputError(f"{flag} applies only to rigid fits (or, with --after-rigid, to the rigid one)")
    common = ("w", "tolerance", "max_iterations", "sigma2", "threads", "method", "accuracy")
    opts = {k: getattr(args, k) for k in common if getattr(args, k) is not None}
    for k in ("max_iterations", "num_modes", "threads"):
        value = opts.get(k, getattr(args, k))
        if value is not None and not 0 <= value <= sys.maxsize:
            raise InputError(f"--{k.replace('_', '-')} must be between 0 and {sys.maxsize}, not {value}")
    rigid = dict(opts)
    if args.no_scale:
        rigid["scale"] = False
    if args.scale_bounds is not None:
        rigid["scale_bounds"] = tuple(args.scale_bounds)
    if kind == "rigid":
        return _Plan(kind, rigid)
    if kind == "deform":
        opts.update({k: getattr(args, k) for k in deform_only if getattr(args, k) is not None})
    return _Plan(kind, opts, rigid if after else None)


def _build_parser() -> argparse.ArgumentParser:
    from . import __version__
    from .io import SUFFIXES

    formats = " ".join(SUFFIXES)
    top = _Parser(prog="tarvic", description="Coherent Point Drift registration of 3-D point clouds.",
                  epilog=f"Point-cloud files: {formats} (chosen by extension). See 'tarvic COMMAND --help'.")
    top.add_argument("--version", action="version", version=f"tarvic {__version__}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    reg = sub.add_parser("register", help="fit a transform taking SOURCE onto TARGET",
                         description="Fit a rigid/similarity transform (or with --affine an affine map, with "
                                     "--deform a smooth deformation) taking the points of SOURCE onto those of "
                                     "TARGET, print it, and optionally save the moved source, the transform and "
                                     "a picture.")
    reg.add_argument("source", metavar="SOURCE", help="the cloud that moves")
    reg.add_argument("target", metavar="TARGET", help="the cloud it moves onto")
    reg.add_argument("--out", metavar="FILE", help=f"write the moved source ({formats})")
    reg.add_argument("--json", metavar="FILE", help="write the fitted transform as JSON (read by 'tarvic apply')")
    reg.add_argument("--plot", metavar="FILE.png", help="save a picture of the clouds before and after")
    reg.add_argument("--matches", metavar="FILE.csv",
                     help="write the point correspondences of the fitted model as CSV: for each source point the "
                          "target point of largest posterior, for each target point the most probable source point "
                          "and the probability that it is an outlier")
    reg.add_argument("--ascii", action="store_true", help="write PLY/PCD output as text rather than binary")
    reg.add_argument("-q", "--quiet", action="store_true",
                     help="print nothing but warnings and errors (and no progress line, which a fit shows on a "
                          "terminal after a second)")
    _add_fit_options(reg)
    start = reg.add_argument_group("starting transforms")
    start.add_argument("--init", metavar="FIT.json",
                       help="start from a saved rigid (or, for --affine, affine) transform; with --deform, "
                            "fit the deformation after it")
    start.add_argument("--after-rigid", action="store_true",
                       help="fit a rigid transform first (from --init if given), then the --deform or --affine "
                            "fit after it: the usual recipe for shapes that are turned as well as bent (--no-scale "
                            "and --scale-bounds apply to the rigid fit, the other fit options to both)")

    app = sub.add_parser("apply", help="carry points through a saved transform",
                         description="Apply a transform saved by 'tarvic register --json' to the points of a file.")
    app.add_argument("transform", metavar="TRANSFORM.json")
    app.add_argument("points", metavar="POINTS")
    app.add_argument("--out", metavar="FILE", required=True, help=f"where to write the moved points ({formats})")
    app.add_argument("--ascii", action="store_true", help="write PLY/PCD output as text rather than binary")
    app.add_argument("--drop-nonfinite", action="store_true", help="leave out points with non-finite coordinates")
    _add_method_options(app.add_argument_group("deformable transforms"))
    app.add_argument("-q", "--quiet", action="store_true", help="print nothing but warnings and errors")

    bat = sub.add_parser("batch", help="register many files at once, one registration per core",
                         description="Register every SOURCE onto --target, or the pairs listed in --pairs. For "
                                     "each pair the moved source and its transform (JSON) go to --out-dir, named "
                                     "after the source (with --pairs: SOURCE-to-TARGET).")
    bat.add_argument("sources", metavar="SOURCE", nargs="*", help="clouds to register onto --target")
    which = bat.add_mutually_exclusive_group(required=True)
    which.add_argument("--target", metavar="TARGET", help="the one cloud every SOURCE moves onto")
    which.add_argument("--pairs", metavar="LIST",
                       help="a text file of 'SOURCE TARGET' lines (quote paths with spaces, or write "
                            "'SOURCE,TARGET'; paths relative to the file; # starts a comment)")
    bat.add_argument("--out-dir", metavar="DIR", required=True, help="folder for the results (created if needed)")
    bat.add_argument("--format", metavar="EXT", help=f"file type of the moved clouds ({formats}; default: the source's)")
    bat.add_argument("--ascii", action="store_true", help="write PLY/PCD output as text rather than binary")
    bat.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                     help="show a progress bar (default: when standard error is a terminal)")
    bat.add_argument("-q", "--quiet", action="store_true", help="print nothing but warnings and errors")
    _add_fit_options(bat)

    demo = sub.add_parser("demo", help="register a built-in generated shape, end to end",
                          description="Register a built-in generated shape moved by a known similarity and "
                                      "report how well the fit recovers it.")
    from .demo import add_arguments

    add_arguments(demo)
    return top


# ---------------------------------------------------------------------------------------------
# Files


class _Outputs:
    """The files a command writes. Each is created under a temporary name beside its
    destination before any work starts (so an unwritable place is found at once), and all are
    put in place together at the end, or none: a failed or interrupted run leaves none of them
    and the files they would have replaced are as they were."""

    def __init__(self, inputs: Sequence[str]) -> None:
        self._inputs = {os.path.realpath(p): p for p in inputs if "\0" not in p}
        self._staged: List[Any] = []  # tarvic.io._Output

    def __enter__(self) -> "_Outputs":
        return self

    def __exit__(self, *exc: object) -> None:
        with _SIGNALS.held():
            for output in self._staged:
                if output.temporary:
                    with contextlib.suppress(OSError):
                        os.unlink(output.temporary)
            self._staged = []

    def add(self, path: str, what: str) -> str:
        """Reserve `path` for the output `what`; returns the temporary path to write it to."""
        from .io import CloudFileError, _reserve

        if "\0" in path:
            raise InputError(f"{path}: the file name contains a NUL byte")
        target = os.path.realpath(path)
        if target in self._inputs:
            raise InputError(f"{path}: {what} would overwrite the input {self._inputs[target]}")
        if any(os.path.realpath(o.shown) == target for o in self._staged):
            raise InputError(f"{path}: {what} is also another output of this command")
        with _SIGNALS.held():
            try:
                output = _reserve(path, spool=True)
            except CloudFileError as exc:
                raise InputError(str(exc)) from exc
            self._staged.append(output)
        return str(output.temporary)

    def commit(self) -> None:
        """Rename every temporary file over its destination, then write the outputs that are
        devices or pipes. If any step fails, or a signal arrives meanwhile, the destinations
        already replaced get their old files back and new ones are removed."""
        from .io import _copy_into, _keep_aside, _os_reason, _prepare_commit, _sync_directory

        with _SIGNALS.held():
            regular = [o for o in self._staged if not o.direct]
            replaced: List[Tuple[Any, Optional[str]]] = []  # outputs in place, with their old file
            current = None
            try:
                for current in regular:
                    _prepare_commit(current.temporary, current.target)
                for current in regular:
                    old = _keep_aside(current.target)
                    try:
                        os.replace(current.temporary, current.target)
                    except BaseException:
                        if old is not None:
                            os.unlink(old)
                        raise
                    replaced.append((current, old))
                for current in self._staged:
                    if current.direct:
                        _copy_into(current.temporary, current.target)
                if _SIGNALS.pending is not None:  # stopped meanwhile: as if before the commit
                    signum, _SIGNALS.pending = _SIGNALS.pending, None
                    raise _interruption(signum)
            except BaseException as exc:
                _roll_back(replaced)
                if isinstance(exc, OSError) and current is not None:
                    raise InputError(f"{current.shown}: {_os_reason(exc)}") from exc
                raise
            for output, old in replaced:
                if old is not None:
                    with contextlib.suppress(OSError):
                        os.unlink(old)
                _sync_directory(output.target)
            for output in self._staged:
                if output.direct:
                    with contextlib.suppress(OSError):
                        os.unlink(output.temporary)
            self._staged = []


def _roll_back(replaced: List[Tuple[Any, Optional[str]]]) -> None:
    """Put back the files that outputs replaced, and remove the outputs that were new."""
    for output, old in reversed(replaced):
        with contextlib.suppress(OSError):
            if old is not None:
                os.replace(old, output.target)
            else:
                os.unlink(output.target)


def _cloud_writer(path: str, ascii_: bool) -> None:
    """Refuse an output format whose optional package is missing, before any work starts."""
    from .io import CloudFileError, _suffix, _writer

    try:
        _writer(path, _suffix(path), not ascii_)
    except CloudFileError as exc:
        raise InputError(str(exc)) from exc


def _read(path: str, drop_nonfinite: bool) -> Array:
    from .io import CloudFileError, read

    try:
        points: Array = read(path)
    except CloudFileError as exc:
        raise InputError(str(exc)) from exc
    bad = ~np.isfinite(points).all(axis=1)
    if bad.any():
        if not drop_nonfinite:
            raise InputError(f"{path}: {int(bad.sum())} of {len(points)} points have non-finite coordinates "
                             "(pass --drop-nonfinite to leave them out)")
        points = np.ascontiguousarray(points[~bad])
        if not len(points):
            raise InputError(f"{path}: no point has finite coordinates")
    return points


def _check_output(path: Optional[str], suffixes: Optional[Sequence[str]], what: str) -> None:
    """Refuse an unusable output path before any fitting time is spent."""
    from .io import _os_reason

    if path is None:
        return
    if "\0" in path:
        raise InputError(f"{path}: the file name contains a NUL byte")
    p = Path(path)
    if suffixes is not None and p.suffix.lower() not in suffixes:
        raise InputError(f"{path}: {what} must end in one of {' '.join(suffixes)}")
    parent = os.path.dirname(path) or "."
    for place, missing in ((parent, f"no such directory {parent!r}"), (path, None)):
        try:
            mode = os.stat(place).st_mode
        except FileNotFoundError:
            if missing is None:
                break
            raise InputError(f"{path}: {missing}") from None
        except OSError as exc:  # a name too long, a file where a folder should be, ...
            raise InputError(f"{path}: {_os_reason(exc)}") from exc
        if place == parent and not stat.S_ISDIR(mode):
            raise InputError(f"{path}: {parent!r} is not a directory")
        if place == path and stat.S_ISDIR(mode):
            raise InputError(f"{path}: is a directory")


def _write_cloud(path: str, temporary: str, points: Array, ascii_: bool) -> None:
    """Write `points` in the format of `path` to its reserved `temporary` file."""
    from .io import CloudFileError, _prepare_write

    # Coordinates a transform overflowed: a cloud tarvic would refuse to read back.
    bad = int(np.count_nonzero(~np.isfinite(points).all(axis=1)))
    if bad:
        raise InputError(f"{path}: {bad} of {len(points)} moved points have non-finite coordinates "
                         "(the transform overflows them); nothing was written")
    try:
        _prepare_write(path, points, not ascii_)(temporary)
    except (CloudFileError, ValueError) as exc:
        raise InputError(f"{exc}" if path in str(exc) else f"{path}: {exc}") from exc


def _carry(fit: Any, points: Array, opts: Dict[str, Any]) -> Array:
    """`fit.apply(points)`; a deformation with the fit's --method and --accuracy (it polls for
    interruption, so Ctrl-C and SIGTERM stop a large one promptly)."""
    from ._results import DeformFit

    if isinstance(fit, DeformFit):
        moved: Array = fit.apply(points, **_method_subset(opts))
    else:
        moved = fit.apply(points)
    return moved


def _method_subset(opts: Dict[str, Any]) -> Dict[str, Any]:
    return {k: v for k, v in opts.items() if k in ("method", "accuracy")}


def _write_json(path: str, temporary: str, fit: Any, inputs: Dict[str, Any], opts: Dict[str, Any]) -> None:
    from .transform_file import _text

    try:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(_text(fit, inputs=inputs, options=opts))
    except (OSError, ValueError) as exc:
        raise InputError(f"{path}: {exc.strerror if isinstance(exc, OSError) else exc}") from exc


def _write_plot(path: str, temporary: str, source: Array, target: Array, moved: Array, title: str) -> None:
    from .plot import _figure

    try:
        _figure(source, target, moved, title=title).savefig(temporary, format="png")
    except (OSError, ValueError) as exc:
        raise InputError(f"{path}: cannot draw the picture ({_one_line(exc)})") from exc


def _write_matches(path: str, temporary: str, fit: Any, moved: Array, target: Array, opts: Dict[str, Any]) -> None:
    """The correspondences of the fitted model as CSV, one row per point of either cloud:
    `side,index,match,probability,outlier` (`outlier` empty on source rows)."""
    import tarvic

    with _fit_errors(opts):
        found = tarvic.correspondences(moved, target, fit.sigma2, opts.get("w", 0.0), threads=opts.get("threads"))
    try:
        with open(temporary, "w", encoding="utf-8", newline="") as f:
            f.write("side,index,match,probability,outlier\n")
            # repr: the shortest digits that read back exactly.
            f.writelines(f"source,{i},{j},{p!r},\n"
                         for i, (j, p) in enumerate(zip(found.source_match.tolist(), found.source_probability.tolist())))
            f.writelines(f"target,{i},{j},{p!r},{o!r}\n" for i, (j, p, o) in enumerate(
                zip(found.target_match.tolist(), found.target_probability.tolist(), found.target_outlier.tolist())))
    except OSError as exc:
        raise InputError(f"{path}: {exc.strerror or exc}") from exc


def _need_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'tarvic[plot]'") from None


# A fit shows its progress line on a terminal once it has run this long (shorter ones never do).
_PROGRESS_DELAY = 1.0


def _fit(source: Array, target: Array, plan: _Plan, init: Any = None, progress: bool = False) -> Tuple[Any, Any]:
    """The fit `plan` describes, from `init` (a loaded fit) if given: the rigid or affine fit's
    start, or the fit a deformation follows. Returns it and, with --after-rigid, the rigid fit
    made first (else None). With `progress`, each fit shows its line on a terminal after a second."""
    import tarvic

    watch: Dict[str, Any] = {"progress": True, "progress_delay": _PROGRESS_DELAY} if progress else {}
    first = None
    with _fit_errors(plan.opts):
        if plan.first is not None:
            init = first = tarvic.fit_rigid(source, target, **plan.first, **watch, init=init)
        if plan.kind == "deform":
            return tarvic.fit_deform(source, target, **plan.opts, **watch, prior=init), first
        if plan.kind == "affine":
            return tarvic.fit_affine(source, target, **plan.opts, **watch, init=init), first
        return tarvic.fit_rigid(source, target, **plan.opts, **watch, init=init), first


@contextlib.contextmanager
def _fit_errors(opts: Dict[str, Any]) -> Iterator[None]:
    """The library's refusals of clouds or options, as input errors."""
    try:
        yield
    except (ValueError, TypeError, OverflowError) as exc:
        raise InputError(str(exc)) from exc
    except BaseException as exc:
        if type(exc).__name__ == "PanicException" and opts.get("threads"):
            # The one way a fit's worker fails on valid clouds: a pool of that size cannot be built.
            raise InputError(f"--threads {opts['threads']}: {_one_line(exc)}") from exc
        raise


def _check_options(plan: _Plan, init: Any = None) -> None:
    """Let the library judge the option values (and a starting transform) on a tiny cloud,
    before any file is read."""
    probe = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])

    def once(opts: Optional[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
        return None if opts is None else {**opts, "max_iterations": min(opts.get("max_iterations", 1), 1)}

    opts = once(plan.opts)
    assert opts is not None
    _fit(probe, probe, plan._replace(opts=opts, first=once(plan.first)), init)


def _load_init(path: Optional[str], plan: _Plan) -> Any:
    """The fit saved in --init's file, of a kind the plan can start from."""
    from ._results import AffineFit, RigidFit
    from .transform_file import TransformFileError, load

    if path is None:
        return None
    try:
        fit = load(path)
    except TransformFileError as exc:
        raise InputError(f"--init {exc}") from exc
    wanted = (RigidFit,) if plan.kind == "rigid" or plan.first is not None else (RigidFit, AffineFit)
    if not isinstance(fit, wanted):
        kind = {"RigidFit": "rigid", "AffineFit": "affine", "DeformFit": "deformable"}[type(fit).__name__]
        starts = "a rigid" if wanted == (RigidFit,) else "a rigid or an affine"
        raise InputError(f"--init {path}: holds {'an' if kind == 'affine' else 'a'} {kind} transform; "
                         f"this fit starts from {starts} one")
    return fit


def _g(x: float) -> str:
    return f"{x:.6g}" if math.isfinite(x) else str(x)


def _report(fit: Any, first: Any, kind: str, seconds: float, moved: Array) -> None:
    if first is not None:
        print(f"  rigid fit first: {'converged' if first.converged else 'not converged'} after "
              f"{first.iterations} iterations; sigma2 {_g(first.sigma2)}, nrms {_g(first.nrms)}")
    state = "converged" if fit.converged else "not converged"
    print(f"  {state} after {fit.iterations} iterations in {seconds:.3g} s; "
          f"sigma2 {_g(fit.sigma2)}, nrms {_g(fit.nrms)}")
    if fit.method == "fast":
        print(f"  method fast: sums within {fit.error_bound:.2g} (relative) of the exact ones")
    else:
        print("  method exact")
    if kind == "deform":
        # From the placed source (the kernel centres) to the moved one: the deformation's own part.
        shift = np.linalg.norm(moved - fit.source, axis=1)
        print(f"  kernel width beta {_g(fit.beta)} (absolute), {fit.modes} eigenmodes; "
              f"displacement mean {_g(float(shift.mean()))}, max {_g(float(shift.max()))}")
        return
    with np.printoptions(precision=8, suppress=True, floatmode="maxprec"):
        if kind == "affine":
            rows = str(fit.B).splitlines()
            print("  B            " + rows[0] + "".join("\n               " + r for r in rows[1:]))
            if fit.singular:
                print("  (stopped: the source, as the fit weighs it, is flat or a line; B has no inverse there)")
        else:
            print(f"  scale        {fit.scale:.10g}")
            rows = str(fit.rotation).splitlines()
            print("  rotation     " + rows[0] + "".join("\n               " + r for r in rows[1:]))
        print(f"  translation  {fit.translation}")


# ---------------------------------------------------------------------------------------------
# Commands


def _register(args: argparse.Namespace) -> int:
    from .io import SUFFIXES

    plan = _fit_options(args)
    _check_output(args.out, SUFFIXES, "--out")
    _check_output(args.plot, (".png",), "--plot")
    _check_output(args.json, None, "--json")
    _check_output(args.matches, None, "--matches")
    if args.out is not None:
        _cloud_writer(args.out, args.ascii)
    if args.plot is not None:
        _need_matplotlib()
    init = _load_init(args.init, plan)
    _check_options(plan, init)
    inputs_read = [args.source, args.target] + ([args.init] if args.init is not None else [])
    with _Outputs(inputs_read) as outputs:
        staged = {what: outputs.add(path, what) for what, path in
                  (("--out", args.out), ("--json", args.json), ("--plot", args.plot), ("--matches", args.matches))
                  if path is not None}
        source = _read(args.source, args.drop_nonfinite)
        target = _read(args.target, args.drop_nonfinite)
        kind = ("rigid, then " if plan.first is not None else "") + plan.name
        if not args.quiet:
            _say(f"tarvic: {kind} fit of {args.source} ({len(source)} points) onto {args.target} "
                 f"({len(target)} points)...")
        t0 = time.perf_counter()
        fit, first = _fit(source, target, plan, init, progress=not args.quiet)
        seconds = time.perf_counter() - t0
        moved = _carry(fit, source, plan.opts)
        if args.out is not None:
            _write_cloud(args.out, staged["--out"], moved, args.ascii)
        if args.json is not None:
            inputs = {"source": args.source, "target": args.target, "source_points": len(source),
                      "target_points": len(target), "seconds": seconds}
            options = dict(plan.opts)
            if args.init is not None:
                inputs["init"] = args.init
            if plan.first is not None:
                options["after_rigid"] = plan.first
            _write_json(args.json, staged["--json"], fit, inputs, options)
        if args.plot is not None:
            _write_plot(args.plot, staged["--plot"], source, target, moved,
                        f"tarvic {kind} fit: {Path(args.source).name} onto {Path(args.target).name}")
        if args.matches is not None:
            _write_matches(args.matches, staged["--matches"], fit, moved, target, plan.opts)
        outputs.commit()
    if not args.quiet:
        print(f"{kind} fit of {args.source} onto {args.target}")
        _report(fit, first, plan.kind, seconds, moved)
        for what, path in (("moved source", args.out), ("transform", args.json), ("picture", args.plot),
                           ("correspondences", args.matches)):
            if path is not None:
                print(f"  wrote {what} to {path}")
    if first is not None and not first.converged:
        _say(f"tarvic: warning: the rigid fit did not converge in {first.iterations} iterations "
             "(try a larger --max-iterations or --tolerance)")
    if not fit.converged:
        why = " (its source is flat or a line for an affine map)" if getattr(fit, "singular", False) else ""
        _say(f"tarvic: warning: the fit did not converge in {fit.iterations} iterations{why} "
             "(try a larger --max-iterations or --tolerance)")
    return EXIT_OK


def _apply(args: argparse.Namespace) -> int:
    from .io import SUFFIXES
    from .transform_file import TransformFileError, load

    _check_output(args.out, SUFFIXES, "--out")
    _cloud_writer(args.out, args.ascii)
    methods = _method_options(args)
    if methods:  # judged by the library on a tiny deformation, before any file is read
        from . import _engine

        probe = np.zeros((1, 3))
        with _fit_errors(methods):
            _engine.apply_deform(probe, probe, probe, 1.0, *(methods.get(k, d) for k, d in (("method", "auto"),
                                                                                              ("accuracy", 1e-6))))
    with _Outputs([args.transform, args.points]) as outputs:
        staged = outputs.add(args.out, "--out")
        try:
            fit = load(args.transform)
        except TransformFileError as exc:
            raise InputError(str(exc)) from exc
        points = _read(args.points, args.drop_nonfinite)
        try:
            moved = _carry(fit, points, methods)
        except (ValueError, TypeError) as exc:
            raise InputError(f"{args.transform}: {exc}") from exc
        _write_cloud(args.out, staged, moved, args.ascii)
        outputs.commit()
    if not args.quiet:
        print(f"wrote {len(moved)} points to {args.out}")
    return EXIT_OK


def _pair_fields(line: str) -> List[str]:
    """The paths on a line of a pair list.

    Paths are separated by whitespace, or by a comma (then a path may hold spaces). A path
    may be quoted with ' or ", and then hold anything but that quote: spaces, commas, "#". A
    "#" starts a comment at the start of the line or after a space or comma; inside a path
    ("scan#2.ply") it is part of the name.
    """
    groups: List[List[Tuple[int, int, Optional[str]]]] = [[]]  # (start, end, quoted text) between commas
    i, n = 0, len(line)
    while i < n:
        c = line[i]
        if c.isspace():
            i += 1
        elif c == ",":
            groups.append([])
            i += 1
        elif c == "#":
            break
        elif c in "'\"":
            end = line.find(c, i + 1)
            if end < 0:
                raise ValueError(f"no closing quotation mark for the one at column {i + 1}")
            if end + 1 < n and not (line[end + 1].isspace() or line[end + 1] == ","):
                raise ValueError(f"a quoted path must end at its closing quotation mark (column {end + 1})")
            groups[-1].append((i, end + 1, line[i + 1 : end]))
            i = end + 1
        else:
            start = i
            while i < n and not line[i].isspace() and line[i] != ",":
                i += 1
            groups[-1].append((start, i, None))
    if len(groups) == 1:
        return [quoted if quoted is not None else line[a:b] for a, b, quoted in groups[0]]
    fields = []
    for group in groups:
        if not group:
            raise ValueError("an empty path between commas")
        if len(group) == 1 and group[0][2] is not None:
            fields.append(group[0][2])
        elif any(quoted is not None for _, _, quoted in group):
            raise ValueError("quote a whole path, not part of it")
        else:  # unquoted, possibly with spaces: everything between the commas
            fields.append(line[group[0][0] : group[-1][1]])
    return fields


def _read_pairs(list_path: str) -> List[Tuple[str, str]]:
    base = Path(list_path).parent
    try:
        with open(list_path, encoding="utf-8-sig", newline="") as f:
            text = f.read()
    except FileNotFoundError:
        raise InputError(f"{list_path}: no such file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{list_path}: cannot read it ({exc})") from exc
    pairs = []
    for n, line in enumerate(text.splitlines(), 1):
        try:
            fields = _pair_fields(line)
        except ValueError as exc:
            raise InputError(f"{list_path}, line {n}: {exc}") from exc
        if not fields:
            continue
        if len(fields) != 2:
            raise InputError(f"{list_path}, line {n}: expected 'SOURCE TARGET', got {len(fields)} fields")
        if any("\0" in x for x in fields):
            raise InputError(f"{list_path}, line {n}: a path contains a NUL byte")
        pairs.append((str(base / fields[0]), str(base / fields[1])))
    if not pairs:
        raise InputError(f"{list_path}: lists no pairs")
    return pairs


def _batch(args: argparse.Namespace) -> int:
    from .io import SUFFIXES

    plan = _fit_options(args)
    if args.pairs is not None:
        if args.sources:
            raise InputError("give SOURCE files or --pairs, not both")
        named = _read_pairs(args.pairs)
    else:
        if not args.sources:
            raise InputError("no SOURCE files given")
        named = [(s, args.target) for s in args.sources]
    fmt = args.format
    if fmt is not None:
        fmt = fmt.lower() if fmt.startswith(".") else "." + fmt.lower()
        if fmt not in SUFFIXES:
            raise InputError(f"--format must be one of {' '.join(SUFFIXES)}, not {args.format}")
    _check_options(plan)

    out_dir = Path(args.out_dir)
    outputs: Dict[str, int] = {}
    names = []
    for k, (s, t) in enumerate(named):
        stem = Path(s).stem if args.pairs is None else f"{Path(s).stem}-to-{Path(t).stem}"
        suffix = fmt or Path(s).suffix.lower()
        if suffix not in SUFFIXES:
            suffix = ".ply"
        if stem in outputs:
            raise InputError(f"pairs {outputs[stem] + 1} and {k + 1} would both write {out_dir / stem}.*; "
                             "rename one of the files")
        outputs[stem] = k
        names.append((out_dir / (stem + suffix), out_dir / (stem + ".json")))

    _check_name_lengths(out_dir, [path for pair in names for path in pair])
    created = _make_folders(out_dir)
    try:
        _batch_in(args, named, names, plan)
    finally:
        with _SIGNALS.held():
            for folder in reversed(created):  # a failed or interrupted run leaves no trace
                try:
                    folder.rmdir()
                except OSError:  # not empty: the run succeeded
                    break
    return EXIT_OK


def _check_name_lengths(out_dir: Path, outputs: List[Path]) -> None:
    """Refuse an output name the file system cannot hold before anything is created."""
    from .io import _name_max

    existing = out_dir
    with contextlib.suppress(OSError):
        while not existing.exists() and existing.parent != existing:
            existing = existing.parent
    limit = _name_max(str(existing))
    for path in outputs:
        length = len(os.fsencode(path.name))
        if length > limit:
            raise InputError(f"{path}: file name too long ({length} bytes; the limit here is {limit})")


def _make_folders(folder: Path) -> List[Path]:
    """Create `folder` and its missing parents; returns those created, outermost first."""
    missing: List[Path] = []
    try:
        while not folder.exists():
            missing.append(folder)
            if folder.parent == folder:
                break
            folder = folder.parent
    except OSError as exc:
        raise InputError(f"{folder}: {exc.strerror or exc}") from exc
    created: List[Path] = []
    with _SIGNALS.held():
        for path in reversed(missing):
            try:
                path.mkdir()
            except FileExistsError:
                continue
            except OSError as exc:
                for made in reversed(created):
                    with contextlib.suppress(OSError):
                        made.rmdir()
                raise InputError(f"{path}: cannot create the folder ({exc.strerror})") from exc
            created.append(path)
    return created


def _batch_in(args: argparse.Namespace, named: List[Tuple[str, str]], names: List[Tuple[Path, Path]],
              plan: _Plan) -> None:
    import tarvic

    # One output of each file type is enough to find a missing format library.
    for cloud_out in {cloud_out.suffix: cloud_out for cloud_out, _ in names}.values():
        _cloud_writer(str(cloud_out), args.ascii)
    with _Outputs([path for pair in named for path in pair]) as outputs:
        staged = [(outputs.add(str(c), "output"), outputs.add(str(j), "output")) for c, j in names]
        # Each distinct file is read once, however many pairs use it.
        clouds: Dict[str, int] = {}
        loaded: List[Array] = []
        index = np.zeros((len(named), 2), dtype=np.int64)
        for k, pair in enumerate(named):
            for j, path in enumerate(pair):
                key = os.path.realpath(path)
                if key not in clouds:
                    clouds[key] = len(loaded)
                    loaded.append(_read(path, args.drop_nonfinite))
                index[k, j] = clouds[key]

        progress = sys.stderr.isatty() if args.progress is None else args.progress
        opts = plan.opts
        if not args.quiet:
            _say(f"tarvic: {len(named)} {plan.name} fits of {len(clouds)} files...")
        t0 = time.perf_counter()
        fits: List[Any]
        with _fit_errors(opts):
            if plan.kind == "deform":
                fits = tarvic.fit_deform_batch(loaded, None, index, progress=progress, **opts)
            elif plan.kind == "affine":
                fits = tarvic.fit_affine_batch(loaded, None, index, progress=progress, **opts)
            else:
                fits = tarvic.fit_rigid_batch(loaded, None, index, progress=progress, **opts).fits()
        seconds = time.perf_counter() - t0

        lines = []
        fit: Any  # a RigidFit or a DeformFit
        for k, ((s, t), fit, (cloud_out, json_out), (cloud_tmp, json_tmp)) in enumerate(
                zip(named, fits, names, staged)):
            source = loaded[index[k, 0]]
            _write_cloud(str(cloud_out), cloud_tmp, _carry(fit, source, opts), args.ascii)
            inputs = {"source": s, "target": t, "source_points": len(source),
                      "target_points": len(loaded[index[k, 1]])}
            _write_json(str(json_out), json_tmp, fit, inputs, opts)
            bound = f" (fast, within {fit.error_bound:.2g})" if fit.method == "fast" else ""
            lines.append(f"{s} -> {t}: {'converged' if fit.converged else 'NOT converged'} after "
                         f"{fit.iterations} iterations{bound}, nrms {_g(fit.nrms)}; wrote {cloud_out}")
        outputs.commit()
    if not args.quiet:
        print("\n".join(lines))
        print(f"{len(named)} fits in {seconds:.3g} s; results in {args.out_dir}")
    failed = sum(not f.converged for f in fits)
    if failed:
        _say(f"tarvic: warning: {failed} of {len(named)} fits did not converge")


def _demo(args: argparse.Namespace) -> int:
    from .demo import run
    from .io import CloudFileError

    if args.plot is not None:
        _check_output(args.plot, (".png",), "--plot")
        _need_matplotlib()
    try:
        run(deform=not args.no_deform, plot=args.plot)
    except CloudFileError as exc:
        raise InputError(str(exc)) from exc
    return EXIT_OK


COMMANDS = {"register": _register, "apply": _apply, "batch": _batch, "demo": _demo}


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    # File names that are not valid UTF-8 (kept as surrogate escapes) are printed escaped
    # rather than failing the print after the outputs are written.
    streams = [(s, s.errors) for s in (sys.stdout, sys.stderr) if isinstance(s, _stdio.TextIOWrapper)]
    for stream, _ in streams:
        with contextlib.suppress(ValueError):  # closed
            stream.reconfigure(errors="backslashreplace")
    try:
        with _SIGNALS.installed():
            return _main(argv)
    finally:
        for stream, errors in streams:
            with contextlib.suppress(ValueError):
                stream.reconfigure(errors=errors)


def _main(argv: Optional[Sequence[str]]) -> int:
    try:
        args = _build_parser().parse_args(argv)
        if args.command is None:
            raise InputError("no command given: register, apply, batch or demo (see 'tarvic --help')")
        return COMMANDS[args.command](args)
    except InputError as exc:
        _say(f"tarvic: error: {_one_line(exc)}")
        return EXIT_USAGE
    except KeyboardInterrupt as exc:
        signum = exc.signum if isinstance(exc, _Signalled) else signal.SIGINT
        with contextlib.suppress(OSError):  # after SIGHUP the terminal may be gone
            _say("tarvic: interrupted" if signum == signal.SIGINT else
                 f"tarvic: stopped by {signal.Signals(signum).name}")
        return 128 + signum
    except BrokenPipeError:
        # The reader went away (`tarvic ... | head`); say nothing more to it.
        sys.stdout = open(os.devnull, "w")
        return EXIT_FAILURE
    except MemoryError:
        _say("tarvic: error: out of memory")
        return EXIT_FAILURE
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else EXIT_OK
    except BaseException as exc:  # noqa: B902 - the command line never shows a traceback
        _say(f"tarvic: error: {type(exc).__name__}: {_one_line(exc)}")
        return EXIT_FAILURE


def console() -> NoReturn:
    """Entry point of the ``tarvic`` console script."""
    try:
        code = main()
    except KeyboardInterrupt as exc:  # a second signal while the first was being reported
        code = 128 + (exc.signum if isinstance(exc, _Signalled) else signal.SIGINT)
    sys.exit(code)


if __name__ == "__main__":
    console()
