"""Coherent Point Drift registration of 3-D point clouds.

Rigid and similarity fits (`fit_rigid`, `apply_rigid`), affine fits (`fit_affine`), deformable
fits (`fit_deform`, `apply_deform`), batches of each (`fit_rigid_batch`, `fit_affine_batch`,
`fit_deform_batch`), the point matches of a fit (`correspondences`), and the size of the
process-wide thread pool (`set_num_threads`, `num_threads`). The fits return named tuples
(`RigidFit`, `AffineFit`, `DeformFit`, `RigidBatch`) with an ``apply`` method; `tarvic.io` reads and writes
point-cloud files, `tarvic.plot` draws clouds before and after a fit, and the ``tarvic`` command
runs all of it from a shell.
"""


def _preload_tbb() -> None:
    """Load the tbb wheel's oneTBB library with global symbols before the extension needs it.

    The extension's RPATH finds it in a plain virtual environment, but not where the tbb wheel
    and this package sit in different prefixes (a --user install beside a system tbb, for example).
    A build against a system oneTBB needs none of this, and a missing tbb distribution is left to
    the loader (and to the ImportError it raises if it cannot find the library either).
    """
    try:
        from ._build_info import TBB_FROM_WHEEL
    except ImportError:
        TBB_FROM_WHEEL = True  # a build that wrote no record: assume the wheel
    if not TBB_FROM_WHEEL:
        return
    import ctypes
    import importlib.metadata
    import sys

    if sys.platform == "win32":
        names = ("tbb12.dll",)
    elif sys.platform == "darwin":
        names = ("libtbb.12.dylib",)
    else:
        names = ("libtbb.so.12",)
    try:
        files = importlib.metadata.distribution("tbb").files or ()
    except importlib.metadata.PackageNotFoundError:
        return
    for f in files:
        if f.name in names:
            try:
                ctypes.CDLL(str(f.locate()), mode=ctypes.RTLD_GLOBAL)
            except OSError:
                continue
            return


_preload_tbb()
del _preload_tbb

from ._api import (  # noqa: E402
    fit_affine,
    fit_affine_batch,
    fit_deform,
    fit_deform_batch,
    fit_rigid,
    fit_rigid_batch,
)
from ._correspondences import Correspondences, correspondences  # noqa: E402
from ._results import AffineFit, DeformFit, Iteration, RigidBatch, RigidFit  # noqa: E402
from ._tarvic import apply_deform, apply_rigid, num_threads, set_num_threads  # noqa: E402


def _version() -> str:
    import importlib.metadata

    try:
        return importlib.metadata.version("tarvic")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


__version__ = _version()
del _version

__all__ = [
    "fit_rigid",
    "fit_rigid_batch",
    "apply_rigid",
    "fit_affine",
    "fit_affine_batch",
    "fit_deform",
    "fit_deform_batch",
    "apply_deform",
    "set_num_threads",
    "num_threads",
    "RigidFit",
    "AffineFit",
    "DeformFit",
    "RigidBatch",
    "Iteration",
    "correspondences",
    "Correspondences",
]

_SUBMODULES = ("io", "plot", "transform_file", "distributed", "cli")


def __getattr__(name: str) -> object:
    # `tarvic.io.read(...)` works after a plain `import tarvic`, without importing every
    # optional dependency at start-up.
    if name in _SUBMODULES:
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
