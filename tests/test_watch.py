"""Watching a single fit: the per-iteration callback and the progress line."""
import os
import pty
import select
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tarvic
from conftest import check_ok, rotation, run_python, shape_cloud, similarity

CLEAR = b"\r\x1b[2K"


@pytest.fixture(scope="module")
def clouds():
    src = shape_cloud(400, seed=3)
    return src, similarity(src, 1.3, rotation([1, -2, 0.5], 35), np.array([0.2, -0.4, 1.0]))


def fit(kind, src, tgt, **kw):
    return (tarvic.fit_rigid if kind == "rigid" else tarvic.fit_deform)(src, tgt, threads=1, **kw)


def same_result(a, b):
    """Every field of two fits but `converged` equal, arrays bit for bit."""
    fields = [f for f in a._fields if f != "converged"]
    return all(np.array_equal(getattr(a, f), getattr(b, f)) for f in fields) and a.method == b.method


class TestCallback:
    @pytest.mark.parametrize("kind", ["rigid", "deform"])
    def test_called_after_every_iteration_on_the_calling_thread(self, clouds, kind):
        records, threads = [], set()

        def record(it):
            records.append(it)
            threads.add(threading.get_ident())

        f = fit(kind, *clouds, callback=record)
        assert [r.iteration for r in records] == list(range(1, f.iterations + 1))
        assert threads == {threading.get_ident()}
        assert all(isinstance(r, tarvic.Iteration) and r.sigma2 > 0 for r in records)
        if kind == "rigid":
            # The last record is the result, in the clouds' units, exactly.
            assert np.array_equal(records[-1].matrix, f.matrix) and records[-1].sigma2 == f.sigma2
            assert records[-1].matrix.shape == (4, 4)
        else:
            assert all(r.matrix is None for r in records)
        # The variance falls, as an EM fit's does.
        assert records[-1].sigma2 < records[0].sigma2

    def test_the_iteration_that_ends_at_the_variance_floor_is_reported_too(self):
        # An exact copy: the last update leaves no positive variance, and the fit keeps the one before.
        rng = np.random.default_rng(0)
        src = rng.normal(size=(500, 3)) * [3.0, 1.0, 0.5]
        tgt = src @ np.array([[0.96, -0.28, 0.0], [0.28, 0.96, 0.0], [0.0, 0.0, 1.0]]).T + 0.1
        records = []
        f = fit("rigid", src, tgt, w=0.1, callback=records.append)
        assert f.converged and len(records) == f.iterations
        assert records[-1].sigma2 == f.sigma2 and np.array_equal(records[-1].matrix, f.matrix)

    @pytest.mark.parametrize("method", ["exact", "fast"])
    @pytest.mark.parametrize("kind", ["rigid", "deform"])
    def test_false_at_iteration_3_gives_the_fit_capped_at_3(self, clouds, kind, method):
        capped = fit(kind, *clouds, max_iterations=3, method=method)
        calls = []

        def stop_at_3(it):
            calls.append(it.iteration)
            return it.iteration != 3

        stopped = fit(kind, *clouds, callback=stop_at_3, method=method)
        assert calls == [1, 2, 3]
        assert stopped.iterations == 3 and not stopped.converged and not capped.converged
        assert same_result(stopped, capped)

    def test_numpy_false_stops_and_other_answers_go_on(self, clouds):
        plain = fit("rigid", *clouds)
        assert plain.converged and plain.iterations > 3
        assert fit("rigid", *clouds, callback=lambda it: np.bool_(it.iteration < 2)).iterations == 2
        for answer in (None, True, 0, [], "no", np.bool_(True)):
            watched = fit("rigid", *clouds, callback=lambda it, a=answer: a)
            assert watched.converged and same_result(watched, plain), answer

    @pytest.mark.parametrize("kind", ["rigid", "deform"])
    def test_exception_propagates_unchanged_and_stops_the_fit(self, clouds, kind):
        class Stop(Exception):
            pass

        raised, calls = Stop("enough"), []

        def boom(it):
            calls.append(it.iteration)
            if it.iteration == 2:
                raise raised

        with pytest.raises(Stop) as info:
            fit(kind, *clouds, callback=boom, tolerance=0.0)
        assert info.value is raised
        assert calls == [1, 2]
        assert any(frame.name == "boom" for frame in __import__("traceback").extract_tb(info.value.__traceback__))

    @pytest.mark.parametrize("kind", ["rigid", "affine"])
    def test_fits_from_a_start_report_the_whole_map(self, clouds, kind):
        # The fit runs on the source as the start places it; what it reports is the map from the
        # original source, start included, at every iteration as in the result.
        src, tgt = clouds
        start = np.eye(4)
        start[:3, :3] = rotation([0, 0, 1], 10)
        start[:3, 3] = [0.1, 0.0, -0.1]
        records = []
        run = tarvic.fit_rigid if kind == "rigid" else tarvic.fit_affine
        result = run(src, tgt, threads=1, init=start, max_iterations=12, callback=records.append)
        assert [r.iteration for r in records] == list(range(1, result.iterations + 1))
        np.testing.assert_allclose(records[-1].matrix, result.matrix, atol=1e-12)
        # The first matrix already includes the start: applied to the source it moves it from
        # the start's placement by no more than one iteration does.
        assert not np.allclose(records[0].matrix, np.eye(4))

    def test_a_callback_may_run_another_fit(self, clouds):
        inner = []
        outer = fit("rigid", *clouds, callback=lambda it: inner.append(tarvic.fit_rigid(*clouds, max_iterations=2)))
        assert len(inner) == outer.iterations and all(f.iterations == 2 for f in inner)

    def test_bad_watch_arguments_are_refused_before_the_fit(self, clouds):
        with pytest.raises(TypeError, match="argument 'callback': must be callable or None, not int"):
            tarvic.fit_rigid(*clouds, callback=3)
        with pytest.raises(ValueError, match="`progress` must be True, False or 'always', got 'often'"):
            tarvic.fit_deform(*clouds, progress="often")
        with pytest.raises(ValueError, match="`progress_delay` must be finite and >= 0"):
            tarvic.fit_rigid(*clouds, progress_delay=-1.0)

    @pytest.mark.parametrize("slow", ["time.sleep(30)", "while True: pass"], ids=["sleeping", "busy"])
    def test_ctrl_c_interrupts_a_fit_whose_callback_is_slow(self, slow):
        proc = check_ok(run_python(
            f"""
            import os, signal, threading, time
            import numpy as np
            import tarvic
            rng = np.random.default_rng(0)
            a, b = rng.normal(size=(300, 3)), rng.normal(size=(300, 3))
            def slow(it):
                if it.iteration == 2:
                    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
                    {slow}
            t0 = time.monotonic()
            try:
                tarvic.fit_rigid(a, b, tolerance=0.0, callback=slow)
                print("finished")
            except KeyboardInterrupt:
                print("interrupted", time.monotonic() - t0)
            """, timeout=60))
        word, elapsed = proc.stdout.split()
        assert word == "interrupted" and float(elapsed) < 5.0


def run_on_pty(args, timeout=120):
    """Run `args` with standard error on a pseudo-terminal; (exit status, stdout, stderr bytes)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    err = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: every holder of the terminal's other end has gone
                break
            if not chunk:
                break
            err += chunk
        elif proc.poll() is not None:
            break
    out = proc.stdout.read()
    proc.wait(timeout=10)
    os.close(master)
    return proc.returncode, out.decode(), err


# A rigid fit that takes about a second: a short sleep in the callback after every iteration.
SLOW_FIT = """
import sys, time
import numpy as np
import tarvic
rng = np.random.default_rng(1)
a = rng.normal(size=(300, 3))
b = a @ np.array([[0.96, -0.28, 0.0], [0.28, 0.96, 0.0], [0.0, 0.0, 1.0]]).T
fit = tarvic.fit_{kind}(a, b, tolerance=0.0, max_iterations=12, progress={progress!r},
                        progress_delay={delay!r}, callback=lambda it: time.sleep(0.08))
print(fit.iterations)
"""


def slow_fit(kind="rigid", progress=True, delay=0.0):
    return [sys.executable, "-c", SLOW_FIT.format(kind=kind, progress=progress, delay=delay)]


class TestProgress:
    @pytest.mark.parametrize("kind, label", [("rigid", b"Aligning"), ("deform", b"Registering")])
    def test_one_line_redrawn_on_a_terminal_then_cleared(self, kind, label):
        status, out, err = run_on_pty(slow_fit(kind))
        assert status == 0 and out.strip() == "12"
        frames = err.split(CLEAR)
        assert frames[-1] == b"", "the line is erased at the end"
        shown = [f for f in frames if f]
        assert len(shown) >= 3 and all(f.startswith(label + b" iteration ") for f in shown)
        assert b"\n" not in err, "one line, redrawn in place"
        last = shown[-1].decode()
        count = int(last.split()[2].split("/")[0])
        assert 1 <= count <= 12 and "/12 sigma2 " in last and last.endswith("]")

    def test_nothing_in_a_pipe_unless_always(self):
        quiet = check_ok(run_python(SLOW_FIT.format(kind="rigid", progress=True, delay=0.0)))
        assert quiet.stderr == ""
        forced = check_ok(run_python(SLOW_FIT.format(kind="deform", progress="always", delay=0.0)))
        assert forced.stderr.startswith("\r\x1b[2KRegistering iteration ") and forced.stderr.endswith("\r\x1b[2K")

    def test_nothing_before_the_delay(self):
        status, out, err = run_on_pty(slow_fit(delay=30.0))
        assert status == 0 and err == b""
        status, out, err = run_on_pty(slow_fit(delay=0.5))
        frames = [f for f in err.split(CLEAR) if f]
        # The first frame comes once the fit has run half a second.
        assert frames and b"[00:00:00]" in frames[0] and not frames[0].startswith(b"Aligning iteration 0/")


@pytest.fixture(scope="module")
def long_pair(tmp_path_factory):
    # Enough points for a fit of well over a second at tolerance 0.
    d = tmp_path_factory.mktemp("long")
    rng = np.random.default_rng(5)
    a = rng.normal(size=(5000, 3)) * [3.0, 1.0, 0.5]
    np.save(d / "a.npy", a)
    np.save(d / "b.npy", a @ rotation([0, 0, 1], 10).T + rng.normal(scale=0.01, size=a.shape))
    return d


class TestCommandLine:
    def register(self, d, *extra):
        return [sys.executable, "-m", "tarvic", "register", str(d / "a.npy"), str(d / "b.npy"), "--tolerance", "0",
                "--max-iterations", "150", *extra]

    def test_long_fit_shows_the_line_on_a_terminal(self, long_pair):
        status, out, err = run_on_pty(self.register(long_pair))
        assert status == 0, err
        text = err.decode()
        assert text.startswith("tarvic: rigid fit of ") and "\r\x1b[2KAligning iteration " in text
        # Erased before the warning that follows the fit.
        assert text.endswith("\r\x1b[2Ktarvic: warning: the fit did not converge in 150 iterations "
                             "(try a larger --max-iterations or --tolerance)\r\n")
        assert "not converged after 150 iterations" in out

    def test_quiet_and_pipes_show_nothing(self, long_pair):
        status, out, err = run_on_pty(self.register(long_pair, "-q"))
        assert status == 0 and b"Aligning" not in err
        proc = subprocess.run(self.register(long_pair), capture_output=True, timeout=300)
        assert proc.returncode == 0 and b"Aligning" not in proc.stderr

    def test_short_fit_shows_no_line(self, tmp_path):
        src = shape_cloud(100)
        np.save(tmp_path / "a.npy", src)
        np.save(tmp_path / "b.npy", src + 0.1)
        status, out, err = run_on_pty([sys.executable, "-m", "tarvic", "register", str(tmp_path / "a.npy"),
                                       str(tmp_path / "b.npy")])
        assert status == 0 and b"Aligning" not in err and err.startswith(b"tarvic: rigid fit of ")
