"""Batches on a Dask LocalCluster (two worker processes on loopback) against the local batch."""
import os
import re
import signal
import threading
import time

import numpy as np
import pytest

import tarvic

distributed = pytest.importorskip("distributed", reason="dask.distributed is not installed (pip install tarvic[dask])")
from tarvic import distributed as tdist  # noqa: E402


def _surface(n, seed):
    rng = np.random.default_rng(seed)
    th = rng.uniform(0, 2 * np.pi, n)
    ph = np.arccos(rng.uniform(-1, 1, n))
    r = 1 + 0.3 * np.sin(3 * th) * np.sin(2 * ph)
    return np.column_stack([1.5 * r * np.sin(ph) * np.cos(th), r * np.sin(ph) * np.sin(th), 0.7 * r * np.cos(ph)])


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


@pytest.fixture(scope="module")
def clouds():
    rng = np.random.default_rng(5)
    out = []
    for k in range(6):
        a = rng.uniform(0, 0.5)
        rot = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])
        out.append(_surface(150 + 10 * k, k) @ rot.T + rng.normal(size=3) * 0.1)
    return out


def _assert_same_rigid(a, b):
    assert len(a) == len(b) == 7
    for x, y in zip(a, b):
        assert x.dtype == y.dtype and x.shape == y.shape
        np.testing.assert_array_equal(x, y)


def test_rigid_identical_to_local_in_pair_order(client, clouds):
    pairs = np.array([[i, j] for i in range(6) for j in range(6)][::-1], dtype=np.int64)
    local = tarvic.fit_rigid_batch(clouds, None, pairs, max_iterations=40)
    remote = tdist.fit_rigid_batch(clouds, None, pairs, max_iterations=40, client=client)
    _assert_same_rigid(local, remote)
    # Separate target list, too.
    tp = np.array([[0, 2], [5, 1], [3, 0]], dtype=np.int64)
    _assert_same_rigid(tarvic.fit_rigid_batch(clouds, clouds[:3], tp), tdist.fit_rigid_batch(clouds, clouds[:3], tp, client=client))


def test_deform_identical_to_local(client, clouds):
    pairs = np.array([[0, 1], [2, 3], [4, 4], [5, 0]], dtype=np.int64)
    opts = dict(max_iterations=15, num_modes=20)
    local = tarvic.fit_deform_batch(clouds, None, pairs, **opts)
    remote = tdist.fit_deform_batch(clouds, None, pairs, client=client, **opts)
    assert len(local) == len(remote) == 4
    for a, b in zip(local, remote):
        np.testing.assert_array_equal(a[0], b[0])
        np.testing.assert_array_equal(a[1], b[1])
        assert a[2:] == b[2:]


def test_affine_identical_to_local(client, clouds):
    pairs = np.array([[0, 1], [2, 3], [4, 4], [5, 0], [1, 2]], dtype=np.int64)
    local = tarvic.fit_affine_batch(clouds, None, pairs, max_iterations=30)
    remote = tdist.fit_affine_batch(clouds, None, pairs, max_iterations=30, client=client)
    assert [type(f) for f in remote] == [tarvic.AffineFit] * 5
    for a, b in zip(local, remote):
        np.testing.assert_array_equal(a.B, b.B)
        np.testing.assert_array_equal(a.translation, b.translation)
        assert a[2:] == b[2:] and (a.method, a.singular) == (b.method, b.singular)
    with pytest.raises(ValueError, match=re.escape("pair 0 references cloud 9, but only 6 were given")):
        tdist.fit_affine_batch(clouds, None, np.array([[9, 0]]), client=client)
    assert tdist.fit_affine_batch(clouds, None, np.zeros((0, 2), np.int64), client=client) == []


def test_empty_pairs(client, clouds):
    empty = np.zeros((0, 2), np.int64)
    r = tdist.fit_rigid_batch(clouds, None, empty, client=client)
    assert r[1].shape == (0, 3, 3) and r[5].dtype == np.int64
    assert tdist.fit_deform_batch(clouds, None, empty, client=client) == []


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("not a list", None, np.zeros((1, 2), np.int64)), {}),
        ((None, None, np.zeros((1, 2), np.int64)), {}),
        (([np.zeros((3, 3), np.float32)], None, np.zeros((1, 2), np.int64)), {}),
        (([np.ones((3, 3))], None, np.zeros((1, 3), np.int64)), {}),
        (([np.ones((3, 3))], None, np.array([[0, -1]], np.int64)), {"w": 2.0}),
        (([np.ones((3, 3))], None, np.array([[0, 0]], np.int64)), {"w": 2.0}),
        (([np.zeros((0, 3))], None, np.array([[0, 0]], np.int64)), {}),
        (([np.ones((3, 3))], [np.ones((3, 4))], np.array([[0, 0]], np.int64)), {}),
        (([np.ones((3, 3))], None, np.array([[0, 0], [0, 1]], np.int64)), {}),
        (([np.ones((3, 3))], None, np.zeros((1, 2), np.int32)), {}),
        (([np.ones((3, 3))], None, np.zeros((1, 2), np.int64)), {"max_iterations": -1}),
    ],
)
def test_validation_matches_local(client, args, kwargs):
    with pytest.raises(Exception) as local:
        tarvic.fit_rigid_batch(*args, **kwargs)
    before = set(client.who_has())
    with pytest.raises(type(local.value), match=re.escape(str(local.value))):
        tdist.fit_rigid_batch(*args, client=client, **kwargs)
    # Nothing was submitted: no key the cluster did not hold already (an earlier test's results
    # may still be leaving it, so the count alone can fall).
    assert set(client.who_has()) <= before


def test_worker_lost_mid_run_loses_no_pair(client):
    clouds = [_surface(1500, 10 + k) for k in range(8)]
    pairs = np.array([[i, j] for i in range(8) for j in range(8)], dtype=np.int64)
    opts = dict(max_iterations=60, tolerance=0.0)
    expected = tarvic.fit_rigid_batch(clouds, None, pairs, **opts)
    result = {}

    def run():
        result["value"] = tdist.fit_rigid_batch(clouds, None, pairs, client=client, **opts)

    t = threading.Thread(target=run)
    t.start()
    deadline = time.time() + 60
    while time.time() < deadline and not any(client.processing().values()):
        time.sleep(0.05)
    time.sleep(0.3)
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    os.kill(victim, signal.SIGKILL)
    t.join(timeout=300)
    assert not t.is_alive()
    _assert_same_rigid(expected, result["value"])
    client.wait_for_workers(2, timeout=60)
