"""Batches on a Dask cluster: the same fits as `tarvic.fit_rigid_batch` / `fit_affine_batch` /
`fit_deform_batch`, spread over the workers of a `dask.distributed.Client`.

Install with ``pip install tarvic[dask]``. Every argument and result is that of the local batch,
plus ``client``. The clouds are scattered to the workers once (replicated, so losing a worker
loses no data), the pairs are cut into chunks, and each task runs the local batch on its chunk
with all of its worker's threads; results come back in pair order, identical to the local batch.
"""
from __future__ import annotations

import math
import threading
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from . import _engine
from ._results import AffineFit, DeformFit, RigidBatch

__all__ = ["fit_rigid_batch", "fit_affine_batch", "fit_deform_batch"]

# One batch at a time per worker process: each task already uses all of the worker's threads.
_WORKER_LOCK = threading.Lock()

Array = npt.NDArray[np.float64]
Pairs = npt.NDArray[np.int64]


_LOCAL: Dict[str, Callable[..., Any]] = {"rigid": _engine.fit_rigid_batch, "affine": _engine.fit_affine_batch, "deform": _engine.fit_deform_batch}


def _worker_threads() -> int:
    from distributed import get_worker

    worker = get_worker()
    n = getattr(worker, "nthreads", None)
    if n is None:
        n = worker.state.nthreads
    return int(n)


def _run_chunk(kind: str, pairs: Pairs, sources: Sequence[Array], targets: Optional[Sequence[Array]],
               options: Dict[str, Any]) -> Any:
    """Task body: the local batch over one chunk of pairs (indices local to the clouds given)."""
    opts = dict(options)
    if not opts.get("threads"):
        opts["threads"] = _worker_threads()
    local = _LOCAL[kind]
    with _WORKER_LOCK:
        return local(list(sources), None if targets is None else list(targets), pairs, **opts)


def _validate(kind: str, sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Any,
              options: Dict[str, Any]) -> None:
    """Raise exactly what the local batch would raise for these inputs, without fitting anything."""
    local = _LOCAL[kind]
    good_array = isinstance(pairs, np.ndarray) and pairs.ndim == 2 and pairs.dtype == np.dtype(np.int64)
    probe = pairs[:0] if good_array else pairs
    negative = good_array and pairs.shape[1] == 2 and bool((pairs < 0).any())
    try:
        # Converts every argument and runs the option and cloud checks; no pair, so no fit.
        local(sources, targets, probe, **options)
    except (TypeError, OverflowError):
        raise
    except ValueError:
        # The local batch reads negative pairs before it checks options and clouds.
        if negative:
            raise ValueError("`pairs` must not contain negative indices") from None
        raise
    if negative:
        raise ValueError("`pairs` must not contain negative indices")
    n_src = len(sources)
    n_tgt = n_src if targets is None else len(targets)
    for k, (i, j) in enumerate(pairs.tolist()):
        if i >= n_src:
            raise ValueError(f"pair {k} references cloud {i}, but only {n_src} were given")
        if j >= n_tgt:
            raise ValueError(f"pair {k} references cloud {j}, but only {n_tgt} were given")


def _chunks(n_pairs: int, client: Any) -> List[Tuple[int, int]]:
    """Chunk boundaries: about four chunks per worker thread, so a slow or lost worker costs little."""
    cores = max(1, sum(client.nthreads().values()))
    size = max(1, math.ceil(n_pairs / (4 * cores)))
    return [(a, min(a + size, n_pairs)) for a in range(0, n_pairs, size)]


def _submit(kind: str, sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Pairs,
            options: Dict[str, Any], client: Any) -> List[Any]:
    src = [np.ascontiguousarray(s) for s in sources]
    src_f = client.scatter(src, broadcast=True)
    if targets is None:
        tgt_f = src_f
    else:
        tgt_f = client.scatter([np.ascontiguousarray(t) for t in targets], broadcast=True)
    futures = []
    for a, b in _chunks(len(pairs), client):
        chunk = pairs[a:b]
        # Send each task only the clouds its pairs use, renumbered.
        if targets is None:
            used = np.unique(chunk)
            remap = {c: n for n, c in enumerate(used.tolist())}
            local_pairs = np.vectorize(remap.__getitem__, otypes=[np.int64])(chunk).reshape(chunk.shape)
            futures.append(client.submit(_run_chunk, kind, local_pairs, [src_f[c] for c in used.tolist()], None,
                                         options, pure=False))
        else:
            us, ut = np.unique(chunk[:, 0]), np.unique(chunk[:, 1])
            rs = {c: n for n, c in enumerate(us.tolist())}
            rt = {c: n for n, c in enumerate(ut.tolist())}
            local_pairs = np.array([[rs[i], rt[j]] for i, j in chunk.tolist()], dtype=np.int64).reshape(-1, 2)
            futures.append(client.submit(_run_chunk, kind, local_pairs, [src_f[c] for c in us.tolist()],
                                         [tgt_f[c] for c in ut.tolist()], options, pure=False))
    return futures


def _gather(futures: List[Any], client: Any, progress: bool) -> List[Any]:
    try:
        if progress and futures:
            from distributed import progress as dask_progress

            dask_progress(futures)  # type: ignore[no-untyped-call]
        parts: List[Any] = client.gather(futures)
        return parts
    except BaseException:
        # Ctrl-C (or any failure) in the client: nothing keeps running for nobody.
        client.cancel(futures)
        raise


def _run(kind: str, sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Pairs,
         options: Dict[str, Any], progress: bool, client: Any) -> Any:
    _validate(kind, sources, targets, pairs, options)
    sources = list(sources)
    targets = None if targets is None else list(targets)
    futures = _submit(kind, sources, targets, pairs, options, client) if len(pairs) else []
    parts = _gather(futures, client, progress)
    items = [item for part in parts for item in part]
    if kind == "deform":
        return [DeformFit(*item) for item in items]
    if kind == "affine":
        return [AffineFit(*item) for item in items]
    return RigidBatch.from_fits(items)


def fit_rigid_batch(sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Pairs, scale: bool = True,
                    scale_bounds: Optional[Tuple[float, float]] = None, w: float = 0.0, tolerance: float = 1e-6,
                    max_iterations: int = 200, sigma2: Optional[float] = None, threads: Optional[int] = None,
                    progress: bool = False, *, client: Any, method: str = "auto",
                    accuracy: float = 1e-6) -> RigidBatch:
    """`tarvic.fit_rigid_batch` on a Dask cluster; `threads` (if set) sizes each task's pool,
    otherwise each task uses all of its worker's threads. `progress` shows Dask's progress bar.
    Returns a `RigidBatch`."""
    options = dict(scale=scale, scale_bounds=scale_bounds, w=w, tolerance=tolerance, max_iterations=max_iterations,
                   sigma2=sigma2, threads=threads, method=method, accuracy=accuracy)
    result: RigidBatch = _run("rigid", sources, targets, pairs, options, progress, client)
    return result


def fit_affine_batch(sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Pairs, w: float = 0.0,
                     tolerance: float = 1e-6, max_iterations: int = 200, sigma2: Optional[float] = None,
                     threads: Optional[int] = None, progress: bool = False, *, client: Any, method: str = "auto",
                     accuracy: float = 1e-6) -> List[AffineFit]:
    """`tarvic.fit_affine_batch` on a Dask cluster; a list of `AffineFit`s in pair order."""
    options = dict(w=w, tolerance=tolerance, max_iterations=max_iterations, sigma2=sigma2, threads=threads,
                   method=method, accuracy=accuracy)
    fits: List[AffineFit] = _run("affine", sources, targets, pairs, options, progress, client)
    return fits


def fit_deform_batch(sources: Sequence[Array], targets: Optional[Sequence[Array]], pairs: Pairs,
                     alpha: float = 2.0, beta: float = 1.0, w: float = 0.0, tolerance: float = 1e-6,
                     max_iterations: int = 200, sigma2: Optional[float] = None, num_modes: int = 100,
                     threads: Optional[int] = None, progress: bool = False, *, client: Any, method: str = "auto",
                     accuracy: float = 1e-6) -> List[DeformFit]:
    """`tarvic.fit_deform_batch` on a Dask cluster; a list of `DeformFit`s in pair order."""
    options = dict(alpha=alpha, beta=beta, w=w, tolerance=tolerance, max_iterations=max_iterations, sigma2=sigma2,
                   num_modes=num_modes, threads=threads, method=method, accuracy=accuracy)
    fits: List[DeformFit] = _run("deform", sources, targets, pairs, options, progress, client)
    return fits
