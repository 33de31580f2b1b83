"""Fitted transforms saved as JSON, the files ``tarvic register --json`` writes and
``tarvic apply`` reads.

The format, version 1 (all lengths in the units of the clouds)::

    {
      "format": "tarvic-transform",
      "version": 1,
      "kind": "rigid",                 # or "deform"
      "transform": {                   # what applying it needs
        "scale": 1.0,                  # rigid: p -> scale * rotation @ p + translation
        "rotation": [[...], [...], [...]],   # (3, 3), acting on column vectors
        "translation": [x, y, z],
        "matrix": [[...] x 4]          # the same as a 4 x 4 homogeneous matrix (informative)
        # deform instead: "source": (M, 3) kernel centres, "w": (M, 3) coefficients,
        # "beta": absolute kernel width; x -> x + sum_j exp(-|x - source_j|^2 / (2 beta^2)) w_j
      },
      "fit": {"sigma2": ..., "nrms": ..., "iterations": ..., "converged": ..., "modes": ...},
      "inputs": {...}, "options": {...}   # free-form records of how it was made
    }

Numbers are written in their shortest round-trip form, so a loaded transform is bit-identical
to the fitted one. JSON has no infinities or NaN: such values are written as ``null``; a
``null`` inside "transform" makes the file unusable (`load` refuses it), one in "fit" loads as NaN.
"""
from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from ._results import DeformFit, RigidFit

__all__ = ["FORMAT", "VERSION", "TransformFileError", "save", "load", "to_dict", "from_dict"]

FORMAT = "tarvic-transform"
VERSION = 1
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


def to_dict(
    fit: Union[RigidFit, DeformFit],
    *,
    inputs: Optional[Mapping[str, Any]] = None,
    options: Optional[Mapping[str, Any]] = None,
) -> Dict[str, Any]:
    """The JSON record of a fit (see the module's documentation)."""
    transform: Dict[str, Any]
    fit_record: Dict[str, Any] = {
        "sigma2": float(fit.sigma2),
        "nrms": float(fit.nrms),
        "iterations": int(fit.iterations),
        "converged": bool(fit.converged),
    }
    if isinstance(fit, RigidFit):
        kind = "rigid"
        transform = {
            "scale": float(fit.scale),
            "rotation": np.asarray(fit.rotation, dtype=np.float64).tolist(),
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
    else:
        raise TypeError(f"fit must be a RigidFit or a DeformFit, not {type(fit).__name__}")
    record: Dict[str, Any] = {
        "format": FORMAT,
        "version": VERSION,
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
    fit: Union[RigidFit, DeformFit],
    *,
    inputs: Optional[Mapping[str, Any]] = None,
    options: Optional[Mapping[str, Any]] = None,
) -> str:
    """The file's contents: `to_dict` as indented JSON."""
    return json.dumps(to_dict(fit, inputs=inputs, options=options), indent=1, allow_nan=False) + "\n"


def save(
    path: PathLike,
    fit: Union[RigidFit, DeformFit],
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


def from_dict(record: Mapping[str, Any]) -> Union[RigidFit, DeformFit]:
    """The fit a transform record describes; ValueError says what is wrong with a bad one."""
    if not isinstance(record, Mapping) or record.get("format") != FORMAT:
        raise ValueError(f'not a tarvic transform (no "format": "{FORMAT}")')
    if record.get("version") != VERSION:
        raise ValueError(f"unsupported version {record.get('version')!r} (this tarvic reads version {VERSION})")
    t, f = record.get("transform"), record.get("fit", {})
    if not isinstance(t, Mapping) or not isinstance(f, Mapping):
        raise ValueError('"transform" and "fit" must be objects')
    iterations = f.get("iterations", 0)
    iterations = iterations if isinstance(iterations, int) and not isinstance(iterations, bool) else 0
    converged = f.get("converged") is True
    sigma2, nrms = _number(f.get("sigma2"), "fit.sigma2", False), _number(f.get("nrms"), "fit.nrms", False)
    kind = record.get("kind")
    if kind == "rigid":
        return RigidFit(
            _number(t.get("scale"), "transform.scale", True),
            _array(t.get("rotation"), (3, 3), "transform.rotation"),
            _array(t.get("translation"), (3,), "transform.translation"),
            sigma2, nrms, iterations, converged,
        )
    if kind == "deform":
        source = _array(t.get("source"), (None, 3), "transform.source")
        w = _array(t.get("w"), (None, 3), "transform.w")
        if w.shape != source.shape:
            raise ValueError(f'"transform.w" has {len(w)} rows but "transform.source" has {len(source)}')
        modes = f.get("modes", 0)
        modes = modes if isinstance(modes, int) and not isinstance(modes, bool) else 0
        beta = _number(t.get("beta"), "transform.beta", True)
        if not beta > 0:
            raise ValueError(f'"transform.beta" must be positive, not {beta}')
        return DeformFit(source, w, beta, sigma2, nrms, iterations, converged, modes)
    raise ValueError(f'unknown "kind" {kind!r} (expected "rigid" or "deform")')


def load(path: PathLike) -> Union[RigidFit, DeformFit]:
    """Read a transform file; `TransformFileError` names the file and what is wrong with it."""
    name = os.fspath(path)
    try:
        with open(name, encoding="utf-8") as f:
            record = json.load(f)
    except FileNotFoundError as exc:
        raise TransformFileError(name, "no such file") from exc
    except (OSError, UnicodeDecodeError) as exc:
        raise TransformFileError(name, f"cannot read it ({exc.strerror if isinstance(exc, OSError) else exc})") from exc
    except json.JSONDecodeError as exc:
        raise TransformFileError(name, f"not valid JSON ({exc.msg} at line {exc.lineno})") from exc
    except RecursionError as exc:
        raise TransformFileError(name, "not a transform (nested too deeply)") from exc
    try:
        return from_dict(record)
    except ValueError as exc:
        raise TransformFileError(name, str(exc)) from exc
