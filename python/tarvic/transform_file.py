"""Fitted transforms saved as JSON, the files ``tarvic register --json`` writes and
``tarvic apply`` reads.

The format (all lengths in the units of the clouds)::

    {
      "format": "tarvic-transform",
      "version": 1,                    # 2 when the transform has a "prior" (see below)
      "kind": "rigid",                 # or "affine", or "deform"
      "transform": {                   # what applying it needs
        "scale": 1.0,                  # rigid: p -> scale * rotation @ p + translation
        "rotation": [[...], [...], [...]],   # (3, 3), acting on column vectors
        "translation": [x, y, z],
        "matrix": [[...] x 4]          # the same as a 4 x 4 homogeneous matrix; optional, and
                                       # when present it must agree with the three above
        # affine instead: "B": (3, 3), "translation", and the optional "matrix";
        # p -> B @ p + translation
        # deform instead: "source": (M, 3) kernel centres, "w": (M, 3) coefficients,
        # "beta": absolute kernel width; x -> x + sum_j exp(-|x - source_j|^2 / (2 beta^2)) w_j;
        # and, for a deformation fitted after a rigid or affine fit, "prior": that fit's own
        # record ({"kind", "transform", "fit"}), applied to the points first
      },
      "fit": {"sigma2": ..., "nrms": ..., "iterations": ..., "converged": ..., "method": ...,
              "error_bound": ..., "modes": ...},
      "inputs": {...}, "options": {...}   # free-form records of how it was made
    }

A deformation with a prior is written as version 2, so that readers of version 1 (which would
apply the deformation alone) refuse it; this module reads both versions.

Numbers are written in their shortest round-trip form, so a loaded transform is bit-identical
to the fitted one. JSON has no infinities or NaN: such values are written as ``null``; a
``null`` inside "transform" makes the file unusable (`load` refuses it), one in "fit" loads as NaN.

`load` refuses a "rigid" transform that is not a similarity: a rotation that is not orthonormal
to within 1e-6 (or is a reflection), a scale that is not positive, a matrix that disagrees with
the scale, rotation and translation (by more than 1e-6 relative to its largest entry). An
"affine" matrix, likewise, must agree with "B" and "translation" and end in the row 0 0 0 1.
"""
from __future__ import annotations

import json
import math
import os
import stat
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._results import AffineFit, DeformFit, RigidFit, _homogeneous, _homogeneous_affine

__all__ = ["FORMAT", "VERSION", "TransformFileError", "save", "load", "to_dict", "from_dict"]

FORMAT = "tarvic-transform"
VERSION = 1
# Files with a prior before the deformation; the versions this module reads.
_VERSION_PRIOR = 2
_VERSIONS = (VERSION, _VERSION_PRIOR)
# How far from orthonormal a rotation read from a file may be (rounding in hand-written or
# single-precision files), and how far "matrix" may be from the parts it repeats.
_TOLERANCE = 1e-6
PathLike = Union[str, "os.PathLike[str]"]


class TransformFileError(ValueError):
    """A transform file that cannot be read or used; the message names the file and the reason."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def _finite_or_none(x: Any) -> Any:
    """JSON-safe copy of a nested record: non-finite floats become None, tuples lists."""
    if isinstance(x, Mapping):
        return {k: _finite_or_none(v) for k, v in x.items()}
    if isinstance(x, (list, tuple)):
        return [_finite_or_none(v) for v in x]
    if isinstance(x, float) and not math.isfinite(x):
        return None
    return x


Fit = Union[RigidFit, AffineFit, DeformFit]


def _parts(fit: Fit) -> Tuple[str, Dict[str, Any], Dict[str, Any]]:
    """The kind, "transform" and "fit" records of a fit (a deformation's prior included)."""
    transform: Dict[str, Any]
    fit_record: Dict[str, Any] = {
        "sigma2": float(fit.sigma2),
        "nrms": float(fit.nrms),
        "iterations": int(fit.iterations),
        "converged": bool(fit.converged),
        "method": str(fit.method),
        "error_bound": float(fit.error_bound),
    }
    if isinstance(fit, RigidFit):
        kind = "rigid"
        transform = {
            "scale": float(fit.scale),
            "rotation": np.asarray(fit.rotation, dtype=np.float64).tolist(),
            "translation": np.asarray(fit.translation, dtype=np.float64).tolist(),
            "matrix": fit.matrix.tolist(),
        }
    elif isinstance(fit, AffineFit):
        kind = "affine"
        transform = {
            "B": np.asarray(fit.B, dtype=np.float64).tolist(),
            "translation": np.asarray(fit.translation, dtype=np.float64).tolist(),
            "matrix": fit.matrix.tolist(),
        }
    elif isinstance(fit, DeformFit):
        kind = "deform"
        transform = {
            "beta": float(fit.beta),
            "source": np.asarray(fit.source, dtype=np.float64).tolist(),
            "w": np.asarray(fit.w, dtype=np.float64).tolist(),
        }
        fit_record["modes"] = int(fit.modes)
        if fit.prior is not None:
            prior_kind, prior_transform, prior_fit = _parts(fit.prior)
            transform["prior"] = {"kind": prior_kind, "transform": prior_transform, "fit": prior_fit}
    else:
        raise TypeError(f"fit must be a RigidFit, an AffineFit or a DeformFit, not {type(fit).__name__}")
    return kind, transform, fit_record


def to_dict(
    fit: Fit,
    *,
    inputs: Optional[Mapping[str, Any]] = None,
    options: Optional[Mapping[str, Any]] = None,
) -> Dict[str, Any]:
    """The JSON record of a fit (see the module's documentation)."""
    kind, transform, fit_record = _parts(fit)
    record: Dict[str, Any] = {
        "format": FORMAT,
        "version": _VERSION_PRIOR if "prior" in transform else VERSION,
        "kind": kind,
        "transform": transform,
        "fit": fit_record,
    }
    if inputs is not None:
        record["inputs"] = dict(inputs)
    if options is not None:
        record["options"] = dict(options)
    result: Dict[str, Any] = _finite_or_none(record)
    return result


def _text(
    fit: Fit,
    *,
    inputs: Optional[Mapping[str, Any]] = None,
    options: Optional[Mapping[str, Any]] = None,
) -> str:
    """The file's contents: `to_dict` as indented JSON."""
    return json.dumps(to_dict(fit, inputs=inputs, options=options), indent=1, allow_nan=False) + "\n"


def save(
    path: PathLike,
    fit: Fit,
    *,
    inputs: Optional[Mapping[str, Any]] = None,
    options: Optional[Mapping[str, Any]] = None,
) -> None:
    """Write `fit` as a transform file at `path`, atomically (temporary file, then rename)."""
    from .io import _atomic_output

    text = _text(fit, inputs=inputs, options=options)
    with _atomic_output(path) as tmp:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)


def _array(value: Any, shape: Tuple[Optional[int], ...], what: str) -> npt.NDArray[np.float64]:
    """`value` as a float64 array of `shape` (None: any length), finite throughout."""
    if value is None:
        raise ValueError(f'"{what}" is missing')
    try:
        raw = np.array(value, dtype=object)
        # Only JSON numbers (and nulls, refused below as non-finite); no strings or booleans.
        if not all(v is None or (isinstance(v, (int, float)) and not isinstance(v, bool)) for v in raw.flat):
            raise ValueError
        a = np.array(raw, dtype=np.float64)  # a null becomes NaN
    except (TypeError, ValueError, OverflowError) as exc:
        raise ValueError(f'"{what}" must be an array of numbers') from exc
    if a.ndim != len(shape) or any(n is not None and n != m for n, m in zip(shape, a.shape)):
        expected = ", ".join("M" if n is None else str(n) for n in shape)
        raise ValueError(f'"{what}" has shape {a.shape}, expected ({expected})')
    if not np.isfinite(a).all():
        raise ValueError(f'"{what}" has values that are null or not finite')
    return a


def _number(value: Any, what: str, required: bool) -> float:
    if value is None:
        if required:
            raise ValueError(f'"{what}" is missing or not finite')
        return math.nan
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f'"{what}" must be a number')
    try:
        number = float(value)
    except OverflowError as exc:
        raise ValueError(f'"{what}" is too large') from exc
    if required and not math.isfinite(number):
        raise ValueError(f'"{what}" is not finite')
    return number


def _check_similarity(scale: float, rotation: npt.NDArray[np.float64], at: str) -> None:
    """Refuse what `RigidFit.apply` would silently carry out although it is no similarity."""
    if not scale > 0:
        raise ValueError(f'"{at}.scale" must be positive, not {scale}')
    off = float(np.abs(rotation.T @ rotation - np.eye(3)).max())
    if not off <= _TOLERANCE:
        raise ValueError(f'"{at}.rotation" is not a rotation: R^T R differs from the identity by {off:.3g}')
    if np.linalg.det(rotation) < 0:
        raise ValueError(f'"{at}.rotation" is a reflection (its determinant is negative), not a rotation')


def _check_matrix(matrix: Any, expected: npt.NDArray[np.float64], at: str, parts: str) -> None:
    """An optional "matrix" must repeat the parts it is made of (to 1e-6 of its largest entry)."""
    if matrix is None:
        return
    m = _array(matrix, (4, 4), f"{at}.matrix")
    with np.errstate(over="ignore", invalid="ignore"):
        off = float(np.abs(m - expected).max())
        size = float(np.abs(expected).max())
    if not off <= _TOLERANCE * size:
        raise ValueError(f'"{at}.matrix" differs from {parts} by {off:.3g}')


def _fit(kind: Any, t: Any, f: Any, at: str) -> Fit:
    """The fit of one "kind"/"transform"/"fit" record; `at` is where its transform is ("transform")."""
    if not isinstance(t, Mapping) or not isinstance(f, Mapping):
        raise ValueError(f'"{at}" and its "fit" must be objects')
    iterations = f.get("iterations", 0)
    iterations = iterations if isinstance(iterations, int) and not isinstance(iterations, bool) else 0
    converged = f.get("converged") is True
    sigma2, nrms = _number(f.get("sigma2"), "fit.sigma2", False), _number(f.get("nrms"), "fit.nrms", False)
    if kind == "rigid":
        scale = _number(t.get("scale"), f"{at}.scale", True)
        rotation = _array(t.get("rotation"), (3, 3), f"{at}.rotation")
        translation = _array(t.get("translation"), (3,), f"{at}.translation")
        _check_similarity(scale, rotation, at)
        _check_matrix(t.get("matrix"), _homogeneous(scale, rotation, translation), at,
                      '"scale", "rotation" and "translation"')
        return RigidFit(scale, rotation, translation, sigma2, nrms, iterations, converged)
    if kind == "affine":
        b = _array(t.get("B"), (3, 3), f"{at}.B")
        translation = _array(t.get("translation"), (3,), f"{at}.translation")
        _check_matrix(t.get("matrix"), _homogeneous_affine(b, translation), at, '"B" and "translation"')
        return AffineFit(b, translation, sigma2, nrms, iterations, converged)
    if kind == "deform":
        source = _array(t.get("source"), (None, 3), f"{at}.source")
        w = _array(t.get("w"), (None, 3), f"{at}.w")
        if w.shape != source.shape:
            raise ValueError(f'"{at}.w" has {len(w)} rows but "{at}.source" has {len(source)}')
        modes = f.get("modes", 0)
        modes = modes if isinstance(modes, int) and not isinstance(modes, bool) else 0
        beta = _number(t.get("beta"), f"{at}.beta", True)
        if not beta > 0:
            raise ValueError(f'"{at}.beta" must be positive, not {beta}')
        prior = t.get("prior")
        first: Optional[Union[RigidFit, AffineFit]] = None
        if prior is not None:
            if not isinstance(prior, Mapping):
                raise ValueError(f'"{at}.prior" must be an object')
            if prior.get("kind") not in ("rigid", "affine"):
                raise ValueError(f'"{at}.prior" must be of kind "rigid" or "affine", not {prior.get("kind")!r}')
            made = _fit(prior["kind"], prior.get("transform"), prior.get("fit", {}), f"{at}.prior.transform")
            assert isinstance(made, (RigidFit, AffineFit))
            first = made
        return DeformFit(source, w, beta, sigma2, nrms, iterations, converged, modes, prior=first)
    raise ValueError(f'unknown "kind" {kind!r} (expected "rigid", "affine" or "deform")')


def from_dict(record: Mapping[str, Any]) -> Fit:
    """The fit a transform record describes; ValueError says what is wrong with a bad one."""
    if not isinstance(record, Mapping) or record.get("format") != FORMAT:
        raise ValueError(f'not a tarvic transform (no "format": "{FORMAT}")')
    version = record.get("version")
    if type(version) is not int or version not in _VERSIONS:  # not `true`, which equals 1
        raise ValueError(f"unsupported version {version!r} (this tarvic reads versions 1 and 2)")
    t, f = record.get("transform"), record.get("fit", {})
    if not isinstance(t, Mapping) or not isinstance(f, Mapping):
        raise ValueError('"transform" and "fit" must be objects')
    return _fit(record.get("kind"), t, f, "transform")


def _parse_int(text: str) -> Any:
    # Python refuses to convert integers of more than 4300 digits; any that long is out of
    # range for every field anyway, and becomes an infinity that the checks refuse.
    if len(text) > 4000:
        return -math.inf if text.startswith("-") else math.inf
    return int(text)


def load(path: PathLike) -> Fit:
    """Read a transform file; `TransformFileError` names the file and what is wrong with it."""
    name = os.fspath(path)
    if "\0" in name:
        raise TransformFileError(name, "the file name contains a NUL byte")
    try:
        info = os.stat(name)
        if not stat.S_ISREG(info.st_mode):
            # A device or pipe could feed json.load forever.
            raise TransformFileError(name, "is a directory" if stat.S_ISDIR(info.st_mode) else "is not a regular file")
        # A byte-order mark is allowed, as in cloud text files.
        with open(name, encoding="utf-8-sig") as f:
            record = json.load(f, parse_int=_parse_int)
    except FileNotFoundError as exc:
        raise TransformFileError(name, "no such file") from exc
    except (OSError, UnicodeDecodeError) as exc:
        raise TransformFileError(name, f"cannot read it ({exc.strerror if isinstance(exc, OSError) else exc})") from exc
    except json.JSONDecodeError as exc:
        raise TransformFileError(name, f"not valid JSON ({exc.msg} at line {exc.lineno})") from exc
    except RecursionError as exc:
        raise TransformFileError(name, "not a transform (nested too deeply)") from exc
    except MemoryError as exc:
        raise TransformFileError(name, "too large to read into memory") from exc
    try:
        return from_dict(record)
    except ValueError as exc:
        raise TransformFileError(name, str(exc)) from exc
