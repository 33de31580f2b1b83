"""Pictures of a registration: the clouds before and after, from three viewpoints.

Needs matplotlib (``pip install 'tarvic[plot]'``). Figures are drawn on matplotlib's Agg
canvas directly, so plotting never changes the pyplot backend or state of a notebook.
"""
from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = ["before_after"]

# (title, elevation, azimuth, axis seen end-on) of the three panels of each row.
VIEWS: Sequence[Tuple[str, float, float, Optional[str]]] = (
    ("oblique", 25.0, -60.0, None),
    ("front (x, z)", 0.0, -90.0, "y"),
    ("top (x, y)", 90.0, -90.0, "z"),
)
SOURCE_COLOUR = "#1f6fd1"
TARGET_COLOUR = "#e8720c"


def _cloud(points: npt.ArrayLike, name: str) -> npt.NDArray[np.float64]:
    try:
        a = np.asarray(points, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be an (N, 3) array of numbers") from exc
    if a.ndim != 2 or a.shape[1] != 3:
        raise ValueError(f"{name} must be an (N, 3) array, not of shape {a.shape}")
    return a[np.isfinite(a).all(axis=1)]


def _subsample(a: npt.NDArray[np.float64], limit: int) -> npt.NDArray[np.float64]:
    # A fixed seed keeps the picture of the same fit the same.
    if len(a) <= limit:
        return a
    keep = np.random.default_rng(0).choice(len(a), size=limit, replace=False)
    return a[np.sort(keep)]


def before_after(
    source: npt.ArrayLike,
    target: npt.ArrayLike,
    moved: npt.ArrayLike,
    path: Union[str, "os.PathLike[str]"],
    *,
    title: Optional[str] = None,
    max_points: int = 20000,
    dpi: int = 110,
) -> None:
    """Save a PNG at `path`: the source and target before registration (top row) and the moved
    source and target after it (bottom row), each seen from three viewpoints.

    All six panels share one set of axis limits with equal scales on the three axes, so the
    rows compare directly. Clouds larger than `max_points` are drawn from a fixed random
    subset of that many points; points with non-finite coordinates are left out. The file is
    written to a temporary name and renamed, so a failed plot never leaves a partial file.
    """
    from .io import _atomic_output

    fig = _figure(source, target, moved, title=title, max_points=max_points, dpi=dpi)
    with _atomic_output(path) as tmp:
        fig.savefig(tmp, format="png")


def _figure(
    source: npt.ArrayLike,
    target: npt.ArrayLike,
    moved: npt.ArrayLike,
    *,
    title: Optional[str] = None,
    max_points: int = 20000,
    dpi: int = 110,
) -> Any:
    """The matplotlib Figure that `before_after` saves."""
    src, tgt, mov = _cloud(source, "source"), _cloud(target, "target"), _cloud(moved, "moved")
    if max_points < 1:
        raise ValueError(f"max_points must be positive, not {max_points}")
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.ticker import MaxNLocator
    except ImportError as exc:
        raise ModuleNotFoundError("plotting needs matplotlib: pip install 'tarvic[plot]'") from exc

    everything = np.vstack([src, tgt, mov])
    if len(everything):
        lo, hi = everything.min(axis=0), everything.max(axis=0)
    else:
        lo, hi = np.zeros(3), np.ones(3)
    centre = (lo + hi) / 2
    half = np.maximum((hi - lo) / 2 * 1.05, max(float((hi - lo).max()), 1e-12) * 0.02)

    fig = Figure(figsize=(13.5, 9.0), dpi=dpi, layout="constrained")
    FigureCanvasAgg(fig)
    rows = (("before", src, "source"), ("after", mov, "moved source"))
    tgt_drawn = _subsample(tgt, max_points)
    for r, (when, cloud, label) in enumerate(rows):
        drawn = _subsample(cloud, max_points)
        for c, (view, elev, azim, end_on) in enumerate(VIEWS):
            ax = fig.add_subplot(2, 3, 3 * r + c + 1, projection="3d", proj_type="ortho")
            size = max(0.5, min(8.0, 20000.0 / max(len(drawn), len(tgt_drawn), 1)))
            ax.scatter(*tgt_drawn.T, s=size, c=TARGET_COLOUR, alpha=0.6, linewidths=0, label="target")
            ax.scatter(*drawn.T, s=size, c=SOURCE_COLOUR, alpha=0.6, linewidths=0, label=label)
            ax.set_xlim(centre[0] - half[0], centre[0] + half[0])
            ax.set_ylim(centre[1] - half[1], centre[1] + half[1])
            ax.set_zlim(centre[2] - half[2], centre[2] + half[2])
            ax.set_box_aspect(tuple(half))
            ax.view_init(elev=elev, azim=azim)
            ax.set_title(f"{when}: {view}", fontsize=10)
            ax.tick_params(labelsize=7)
            for axis in (ax.xaxis, ax.yaxis, ax.zaxis):  # fewer ticks: labels would run together
                axis.set_major_locator(MaxNLocator(4))
            ax.set_xlabel("x", fontsize=8)
            ax.set_ylabel("y", fontsize=8)
            ax.set_zlabel("z", fontsize=8)
            if end_on is not None:  # its ticks would pile up on one spot
                getattr(ax, f"set_{end_on}ticks")([])
                getattr(ax, f"set_{end_on}label")("")
            if c == 0:
                ax.legend(loc="upper left", fontsize=8, markerscale=max(1.0, 4.0 / size))
    if title:
        fig.suptitle(title, parse_math=False)  # file names may hold "$"
    return fig
