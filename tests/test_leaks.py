"""No entry point leaks memory or references, whether it returns or raises at any argument.

The counts measured (allocated blocks, resident size) belong to the whole process, so other threads
(a Dask cluster an earlier test left running, say) could move them: they are measured in a fresh
interpreter that runs no thread of its own besides the pool's workers.
"""
import json
import pathlib
import sys
import threading

import numpy as np
import pytest

from conftest import check_ok, run_python
from leak_cases import Cases, rss_kib, size_pool

GROUPS = ["fit_rigid", "fit_rigid_batch", "apply_rigid", "fit_deform", "fit_deform_batch", "apply_deform",
          "set_num_threads", "num_threads", "watched_fits", "correspondences", "engine_guided"]
TESTS = str(pathlib.Path(__file__).resolve().parent)


def measure(groups, leaky=False):
    """leak_cases.measure in a fresh interpreter: {group: {calls, blocks, changed}, "rss": ...}."""
    code = (f"import json, sys; sys.path.insert(0, {TESTS!r}); import leak_cases; "
            f"print(json.dumps(leak_cases.measure({groups!r}, leaky={leaky!r})))")
    return json.loads(check_ok(run_python(code, timeout=600)).stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def report():
    return measure(GROUPS)


def check_flat(group, got):
    """Each check fails with its own message: references, or Python allocations."""
    calls = got["calls"]
    assert not got["changed"], f"{group}: reference counts changed over {calls} calls: {got['changed']}"
    # One leaked object per call would be `calls` blocks; caches and free lists settle after warm-up.
    assert got["blocks"] < max(32, calls // 20), f"{group}: {got['blocks']} Python allocations kept over {calls} calls"


@pytest.mark.parametrize("group", GROUPS)
def test_objects_and_references_stay_flat(report, group):
    check_flat(group, report[group])


@pytest.mark.skipif(rss_kib() is None, reason="needs /proc/self/status")
def test_resident_size_stays_flat_for_large_copies_and_results(report):
    # Each call copies or returns at least one 40000-point cloud (937 KiB): leaking it on every
    # call would add over 100 MiB; allocator noise stays well below the slack.
    got = report["rss"]
    assert got["growth_kib"] < 24 * 1024, f"resident size grew by {got['growth_kib']} KiB over {got['calls']} calls"


def test_other_threads_do_not_move_the_measurement():
    # A thread of this process that keeps allocating, as a running Dask cluster does.
    stop = threading.Event()
    kept = []

    def allocate():
        while not stop.is_set():
            kept.append([object() for _ in range(50)])
            if len(kept) > 2000:
                del kept[:1000]

    other = threading.Thread(target=allocate, daemon=True)
    other.start()
    try:
        got = measure(["apply_rigid"])
    finally:
        stop.set()
        other.join()
    check_flat("apply_rigid", got["apply_rigid"])


def test_measurement_still_sees_leaks():
    got = measure(["leaky-objects", "leaky-references"], leaky=True)
    with pytest.raises(AssertionError, match="^leaky-objects: .* Python allocations kept"):
        check_flat("leaky-objects", got["leaky-objects"])
    with pytest.raises(AssertionError, match="^leaky-references: reference counts changed"):
        check_flat("leaky-references", got["leaky-references"])


def sole_references(container, where=()):
    """Paths of the arrays, floats and nested results in `container` that something else also holds."""
    extra = []
    for i in range(len(container)):
        item = container[i]
        if isinstance(item, (tuple, list, np.ndarray, float)):
            # The container, `item` here and getrefcount's argument.
            if sys.getrefcount(item) != 3:
                extra.append(where + (i,))
            if isinstance(item, (tuple, list)):
                extra += sole_references(item, where + (i,))
        del item
    return extra


def test_results_are_referenced_only_by_the_caller():
    size_pool()
    c = Cases(m=24)
    for group in ("fit_rigid", "fit_rigid_batch", "fit_deform", "fit_deform_batch", "apply_rigid", "apply_deform"):
        _name, fn, _expected = c.table[group][0]
        assert sole_references([fn()]) == [], group
