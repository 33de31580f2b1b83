"""The `tarvic` command line: end to end in subprocesses, and its exit codes and messages."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tarvic
from tarvic import cli
from capped import limit_address_space
from conftest import rotation, shape_cloud, similarity

pytest.importorskip("plyfile", reason="the file formats need tarvic[io]")
tio = pytest.importorskip("tarvic.io")


def tarvic_cmd(*args, timeout=120, **kw):
    """Run the command in a child process, under a time limit and a 4 GiB address-space cap."""
    args = [a if isinstance(a, bytes) else str(a) for a in args]
    proc = subprocess.run([sys.executable, "-m", "tarvic", *args], capture_output=True, text=True,
                          timeout=timeout, preexec_fn=limit_address_space(), **kw)
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("clouds")
    src = shape_cloud(400, seed=8)
    tgt = similarity(src, 0.9, rotation([0, 1, 1], 25), np.array([1.0, 2.0, 3.0]))
    tio.write(d / "source.ply", src)
    tio.write(d / "target.pcd", tgt)
    (d / "flat2d.txt").write_text("\n".join(f"{x} {y}" for x, y in src[:50, :2]) + "\n")
    return d, src, tgt


def run_main(capsys, *args):
    code = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


class TestEndToEnd:
    @pytest.mark.parametrize("deform,out_name", [(False, "moved.ply"), (True, "moved.npy")])
    def test_register_json_apply_reproduces_out(self, files, tmp_path, deform, out_name):
        d, src, tgt = files
        extra = ["--deform", "--max-iterations", "40", "--num-modes", "30"] if deform else []
        reg = tarvic_cmd("register", d / "source.ply", d / "target.pcd", "--out", tmp_path / out_name,
                         "--json", tmp_path / "t.json", *extra)
        assert reg.returncode == 0, reg.stderr
        assert ("deformable" if deform else "rigid") in reg.stdout
        moved = tio.read(tmp_path / out_name)
        app = tarvic_cmd("apply", tmp_path / "t.json", d / "source.ply", "--out", tmp_path / ("again" + out_name[5:]))
        assert app.returncode == 0, app.stderr
        np.testing.assert_array_equal(tio.read(tmp_path / ("again" + out_name[5:])), moved)

        record = json.loads((tmp_path / "t.json").read_text())
        assert record["format"] == "tarvic-transform" and record["kind"] == ("deform" if deform else "rigid")
        if not deform:
            # The same fit as the Python API; the file holds its numbers exactly.
            fit = tarvic.fit_rigid(src, tgt)
            np.testing.assert_allclose(np.array(record["transform"]["matrix"]), fit.matrix, atol=1e-9)
            np.testing.assert_allclose(moved, tgt, atol=1e-4)
        else:
            assert np.abs(moved - tgt).max() < np.abs(src - tgt).max()

    def test_batch_onto_one_target_and_from_a_pair_list(self, files, tmp_path):
        d, src, tgt = files
        for k in range(3):
            tio.write(tmp_path / f"s{k}.npy", src[k::2])
        res = tarvic_cmd("batch", "--target", d / "target.pcd", *(tmp_path / f"s{k}.npy" for k in range(3)),
                         "--out-dir", tmp_path / "out", "--progress", "--format", "ply")
        assert res.returncode == 0, res.stderr
        assert "Aligning" in res.stderr  # the progress bar
        for k in range(3):
            moved = tio.read(tmp_path / "out" / f"s{k}.ply")
            fit = tarvic.transform_file.load(tmp_path / "out" / f"s{k}.json")
            np.testing.assert_array_equal(moved, fit.apply(src[k::2]))
        (tmp_path / "list.txt").write_text("# source target\ns0.npy s1.npy\ns1.npy, s0.npy\n")
        res = tarvic_cmd("batch", "--pairs", tmp_path / "list.txt", "--out-dir", tmp_path / "out2", "--deform",
                         "--max-iterations", "5", "--num-modes", "5", "--no-progress")
        assert res.returncode == 0, res.stderr
        assert sorted(p.name for p in (tmp_path / "out2").iterdir()) == [
            "s0-to-s1.json", "s0-to-s1.npy", "s1-to-s0.json", "s1-to-s0.npy"]

    def test_fast_method_reports_its_bound(self, files, tmp_path):
        d, _, _ = files
        reg = tarvic_cmd("register", d / "source.ply", d / "target.pcd", "--method", "fast", "--accuracy", "1e-8",
                         "--json", tmp_path / "t.json")
        assert reg.returncode == 0, reg.stderr
        assert "method fast: sums within" in reg.stdout
        record = json.loads((tmp_path / "t.json").read_text())
        assert record["fit"]["method"] == "fast" and 0 < record["fit"]["error_bound"] <= 1e-8
        assert record["options"]["method"] == "fast"
        exact = tarvic_cmd("register", d / "source.ply", d / "target.pcd")
        assert "method exact" in exact.stdout

    def test_plot_writes_a_png(self, files, tmp_path):
        pytest.importorskip("matplotlib")
        d, _, _ = files
        res = tarvic_cmd("register", d / "source.ply", d / "target.pcd", "--plot", tmp_path / "fit.png", "-q")
        assert res.returncode == 0 and res.stdout == "", res.stderr
        assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_demo_and_console_script(self):
        res = tarvic_cmd("demo", "--no-deform")
        assert res.returncode == 0 and "rotation error" in res.stdout
        script = pathlib.Path(sys.executable).with_name("tarvic")
        if not script.exists():
            pytest.skip("the console script is not installed beside this interpreter")
        res = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
        assert res.returncode == 0 and res.stdout.startswith("tarvic ")

    def test_ctrl_c_stops_a_fit_promptly(self, tmp_path):
        big = shape_cloud(6000, seed=2)
        tio.write(tmp_path / "a.npy", big)
        tio.write(tmp_path / "b.npy", big * 1.1 + 0.3)
        proc = subprocess.Popen(
            [sys.executable, "-m", "tarvic", "register", tmp_path / "a.npy", tmp_path / "b.npy", "--deform",
             "--tolerance", "0", "--max-iterations", "100000"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert "deformable fit of" in proc.stderr.readline()  # printed just before the fit starts
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            t0 = time.monotonic()
            code = proc.wait(timeout=20)
            elapsed = time.monotonic() - t0
        finally:
            proc.kill()
        rest = proc.stderr.read()
        assert code == 130 and "interrupted" in rest and "Traceback" not in rest
        assert elapsed < 5.0


class TestBadInput:
    """Every refusal: exit status 2, one line on standard error, nothing written."""

    @pytest.mark.parametrize(
        "args,fragment",
        [
            ([], "no command"),
            (["frobnicate"], "invalid choice"),
            (["register", "{d}/missing.ply", "{d}/target.pcd"], "missing.ply: "),
            (["register", "{d}/flat2d.txt", "{d}/target.pcd"], "flat2d.txt: "),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--w", "1.5"], "w"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--w", "lots"], "invalid float"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--bogus"], "unrecognized arguments"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--alpha", "3"], "--alpha applies only"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--deform", "--no-scale"], "--no-scale applies"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--scale-bounds", "2", "1"], "scale"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--max-iterations", "-3"], "must be between 0"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--max-iterations", str(2**70)], "must be between 0"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--out", "{d}/source.ply"], "overwrite the input"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--out", "{t}/a.ply", "--json", "{t}/a.ply"],
             "also another output"),
            (["apply", "{t}/nullrot.json", "{t}/source.npy", "--out", "{t}/source.npy"], "overwrite the input"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--out", "{t}/moved.docx"], "--out must end in"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--out", "{t}/nodir/moved.ply"], "no such directory"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--plot", "{t}/fit.jpg"], "--plot must end in"),
            (["apply", "{t}/missing.json", "{d}/source.ply", "--out", "{t}/x.ply"], "missing.json: no such file"),
            (["apply", "{t}/garbage.json", "{d}/source.ply", "--out", "{t}/x.ply"], "not valid JSON"),
            (["apply", "{t}/other.json", "{d}/source.ply", "--out", "{t}/x.ply"], "not a tarvic transform"),
            (["apply", "{t}/nullrot.json", "{d}/source.ply", "--out", "{t}/x.ply"], "transform.rotation"),
            (["apply", "{t}/nullrot.json", "{d}/source.ply"], "--out"),
            (["batch", "{d}/source.ply", "--out-dir", "{t}/o"], "--target"),
            (["batch", "--target", "{d}/target.pcd", "{d}/source.ply", "{t}/source.npy", "--out-dir", "{t}/o"],
             "would both write"),
            (["batch", "--pairs", "{t}/badlist.txt", "--out-dir", "{t}/o"], "line 1"),
            (["batch", "--target", "{d}/target.pcd", "{t}/source.npy", "--out-dir", "{t}"], "overwrite the input"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--method", "quick"], "invalid choice"),
            (["register", "{d}/source.ply", "{d}/target.pcd", "--accuracy", "2"], "`accuracy` must be in (0, 1)"),
            (["apply", "{t}/nullrot.json", "{d}/source.ply", "--out", "{t}/x.ply", "--accuracy", "0"], "accuracy"),
        ],
    )
    def test_refused_with_one_line(self, files, tmp_path, capsys, args, fragment):
        d, src, _ = files
        (tmp_path / "garbage.json").write_text("{not json")
        (tmp_path / "other.json").write_text('{"hello": 1}')
        fit = tarvic.fit_rigid(src, src, max_iterations=1)
        record = tarvic.transform_file.to_dict(fit)
        record["transform"]["rotation"][1][1] = None
        (tmp_path / "nullrot.json").write_text(json.dumps(record))
        (tmp_path / "badlist.txt").write_text("a.ply b.ply c.ply\n")
        tio.write(tmp_path / "source.npy", src)
        before = sorted(os.listdir(tmp_path))
        code, out, err = run_main(capsys, *(a.format(d=d, t=tmp_path) for a in args))
        assert code == 2, err
        assert err.count("\n") == 1 and err.startswith("tarvic"), err
        assert fragment in err
        assert sorted(os.listdir(tmp_path)) == before

    @pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="needs Linux's /proc, where no file can be made")
    def test_unwritable_output_is_found_before_the_fit_and_nothing_is_written(self, files, tmp_path, capsys):
        d, _, _ = files
        for bad in (["--plot", "/proc/x.png"], ["--json", "/proc/x.json"], ["--out", "/proc/x.ply"]):
            code, out, err = run_main(capsys, "register", d / "source.ply", d / "target.pcd",
                                      "--out", tmp_path / "good.ply", "--json", tmp_path / "good.json",
                                      "--plot", tmp_path / "good.png", *bad)
            assert code == 2 and err.count("\n") == 1 and "/proc/x." in err, err
            assert "fit of" not in err  # refused before any work
            assert list(tmp_path.iterdir()) == []

    def test_failure_after_the_fit_leaves_no_output(self, files, tmp_path, capsys):
        # A transform that overflows: the LAS writer refuses non-finite points after the fit,
        # and the JSON written next to it must not survive either.
        d, src, _ = files
        fit = tarvic.RigidFit(1e308, np.eye(3), np.zeros(3), 1.0, 0.1, 1, True)
        tarvic.transform_file.save(tmp_path / "huge.json", fit)
        code, _, err = run_main(capsys, "apply", tmp_path / "huge.json", d / "source.ply", "--out",
                                tmp_path / "x.las")
        assert code == 2 and "finite" in err, err
        assert sorted(p.name for p in tmp_path.iterdir()) == ["huge.json"]

    def test_infinite_options_and_results_are_written_as_null(self, files, tmp_path, capsys):
        d, _, _ = files
        code, _, err = run_main(capsys, "register", d / "source.ply", d / "target.pcd", "--scale-bounds", "0.5",
                                "inf", "--json", tmp_path / "t.json", "-q")
        assert code == 0, err
        record = json.loads((tmp_path / "t.json").read_text())
        assert record["options"]["scale_bounds"] == [0.5, None]

    def test_plot_title_with_dollars(self, files, tmp_path, capsys):
        pytest.importorskip("matplotlib")
        d, src, _ = files
        tio.write(tmp_path / "run_$5_$.npy", src)
        code, _, err = run_main(capsys, "register", tmp_path / "run_$5_$.npy", d / "target.pcd", "--plot",
                                tmp_path / "p.png", "-q")
        assert code == 0 and (tmp_path / "p.png").exists(), err

    def test_pair_list_quoting_and_comments(self, files, tmp_path, capsys):
        d, src, tgt = files
        tio.write(tmp_path / "a b.npy", src)
        tio.write(tmp_path / "t.npy", tgt)
        (tmp_path / "pairs.txt").write_text("'a b.npy' t.npy  # quoted\na b.npy,t.npy # comma form\n")
        code, _, err = run_main(capsys, "batch", "--pairs", tmp_path / "pairs.txt", "--out-dir", tmp_path / "o",
                                "--max-iterations", "3", "-q")
        # Both lines name the same pair, so both would write one output: refused as such.
        assert code == 2 and "would both write" in err, err
        (tmp_path / "pairs.txt").write_text("'a b.npy' t.npy  # quoted\nt.npy,a b.npy # comma form\n")
        code, _, err = run_main(capsys, "batch", "--pairs", tmp_path / "pairs.txt", "--out-dir", tmp_path / "o",
                                "--max-iterations", "3", "-q")
        assert code == 0, err
        assert sorted(p.name for p in (tmp_path / "o").iterdir()) == [
            "a b-to-t.json", "a b-to-t.npy", "t-to-a b.json", "t-to-a b.npy"]

    def test_nonfinite_points_need_a_flag(self, files, tmp_path, capsys):
        d, src, tgt = files
        holes = src.copy()
        holes[::10] = np.nan
        tio.write(tmp_path / "holes.pcd", holes)
        code, _, err = run_main(capsys, "register", tmp_path / "holes.pcd", d / "target.pcd")
        assert code == 2 and "40 of 400 points have non-finite" in err and "--drop-nonfinite" in err
        code, _, err = run_main(capsys, "register", tmp_path / "holes.pcd", d / "target.pcd", "--drop-nonfinite",
                                "--out", tmp_path / "moved.npy", "-q")
        assert code == 0, err
        assert tio.read(tmp_path / "moved.npy").shape == (360, 3)

    def test_help_and_version_exit_zero(self, capsys):
        assert cli.main(["--help"]) == 0 and "register" in capsys.readouterr().out
        assert cli.main(["register", "--help"]) == 0 and "--scale-bounds" in capsys.readouterr().out
        assert cli.main(["--version"]) == 0 and capsys.readouterr().out.strip() == f"tarvic {tarvic.__version__}"

    def test_not_converged_is_a_warning_not_a_failure(self, files, capsys):
        d, _, _ = files
        code, out, err = run_main(capsys, "register", d / "source.ply", d / "target.pcd", "--max-iterations", "2")
        assert code == 0 and "not converged" in out and "warning" in err


def start_cmd(*args):
    """Start the command in a child process (4 GiB address-space cap) with piped output."""
    return subprocess.Popen([sys.executable, "-m", "tarvic", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=limit_address_space())


def stop(proc, signum, after=0.5):
    """Send `signum` `after` seconds from now; (exit status, seconds it took to exit, stderr)."""
    try:
        time.sleep(after)
        proc.send_signal(signum)
        t0 = time.monotonic()
        code = proc.wait(timeout=30)
        return code, time.monotonic() - t0, proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()


SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


@pytest.fixture(scope="module")
def long_pair(tmp_path_factory):
    """Two clouds whose deformable fit with tolerance 0 runs for minutes."""
    d = tmp_path_factory.mktemp("long")
    big = shape_cloud(6000, seed=2)
    tio.write(d / "a.npy", big)
    tio.write(d / "b.npy", big * 1.1 + 0.3)
    return d


class TestSignals:
    """SIGTERM and SIGHUP (kill, timeout, a scheduler's limit, a closed terminal) clean up as Ctrl-C does."""

    @pytest.mark.parametrize("signum", SIGNALS, ids=lambda s: signal.Signals(s).name)
    def test_register_leaves_nothing(self, long_pair, tmp_path, signum):
        proc = start_cmd("register", long_pair / "a.npy", long_pair / "b.npy", "--deform", "--tolerance", "0",
                         "--max-iterations", "100000", "--out", tmp_path / "moved.ply", "--json", tmp_path / "t.json")
        assert "deformable fit of" in proc.stderr.readline()  # the outputs are reserved, the fit started
        assert len(list(tmp_path.iterdir())) == 2  # the two temporary files
        code, seconds, rest = stop(proc, signum)
        assert code == 128 + signum and seconds < 5
        assert rest.count("\n") == 1 and ("interrupted" if signum == signal.SIGINT else
                                          signal.Signals(signum).name) in rest, rest
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP], ids=lambda s: signal.Signals(s).name)
    def test_batch_removes_the_folders_it_created(self, long_pair, tmp_path, signum):
        proc = start_cmd("batch", "--target", long_pair / "b.npy", long_pair / "a.npy", "--out-dir",
                         tmp_path / "new" / "deeper" / "out", "--deform", "--tolerance", "0", "--max-iterations",
                         "100000", "--no-progress")
        assert "deformable fits of" in proc.stderr.readline()
        assert (tmp_path / "new" / "deeper" / "out").is_dir()
        code, seconds, rest = stop(proc, signum)
        assert code == 128 + signum and seconds < 5, rest
        assert list(tmp_path.iterdir()) == []

    def test_ignored_hangup_stays_ignored(self, long_pair, tmp_path):
        # Under nohup SIGHUP is ignored before the command starts; it must not become fatal.
        code = ("import signal, sys; signal.signal(signal.SIGHUP, signal.SIG_IGN); print('ready', flush=True); "
                "from tarvic.cli import main; sys.exit(main(sys.argv[1:]))")
        proc = subprocess.Popen([sys.executable, "-c", code, "register", long_pair / "a.npy", long_pair / "b.npy",
                                 "--max-iterations", "30", "--tolerance", "0", "-q", "--json", tmp_path / "t.json"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                preexec_fn=limit_address_space())
        assert proc.stdout.readline() == "ready\n"
        code, _, rest = stop(proc, signal.SIGHUP, after=0.3)
        assert code == 0 and (tmp_path / "t.json").exists(), rest

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=lambda s: signal.Signals(s).name)
    def test_apply_of_a_large_deformation_stops_promptly(self, tmp_path, signum):
        # 20,000 centres carried to a million points: about 15 s of kernel sums on two cores,
        # which the extension runs to the end once started.
        rng = np.random.default_rng(1)
        centres = rng.normal(size=(20000, 3))
        fit = tarvic.DeformFit(centres, rng.normal(size=(20000, 3)) * 1e-3, 0.5, 0.0, 0.0, 1, True, 10)
        tarvic.transform_file.save(tmp_path / "t.json", fit)
        tio.write(tmp_path / "p.npy", rng.normal(size=(1_000_000, 3)))
        t0 = time.monotonic()
        # The exact sums: the fast method (the default at this size) takes about a second.
        proc = start_cmd("apply", tmp_path / "t.json", tmp_path / "p.npy", "--out", tmp_path / "moved.npy",
                         "--method", "exact")
        code, seconds, rest = stop(proc, signum, after=2.5)
        assert code == 128 + signum and seconds < 3, (rest, seconds)
        assert time.monotonic() - t0 < 10
        assert sorted(p.name for p in tmp_path.iterdir()) == ["p.npy", "t.json"]


def test_carried_deformation_is_the_extensions_with_method_exact():
    src = shape_cloud(300, seed=4)
    fit = tarvic.fit_deform(src, src * 1.2 + 0.1, max_iterations=10, num_modes=10)
    points = shape_cloud(1000, seed=5)
    exact = tarvic._tarvic.apply_deform(points, fit.source, fit.w, fit.beta)
    np.testing.assert_array_equal(cli._carry(fit, points, {"method": "exact"}).view(np.uint64), exact.view(np.uint64))
    fast = cli._carry(fit, points, {"method": "fast", "accuracy": 1e-9})
    np.testing.assert_allclose(fast, exact, rtol=0, atol=1e-6 * np.abs(fit.w).sum(axis=0).max())


class TestOutputs:
    """Outputs never replace what is not ours, and are committed all together or not at all."""

    @pytest.mark.skipif(not os.path.exists("/dev/stdout"), reason="needs /dev/stdout")
    def test_json_to_standard_output(self, files):
        d, _, _ = files
        res = tarvic_cmd("register", d / "source.ply", d / "target.pcd", "--json", "/dev/stdout", "-q")
        assert res.returncode == 0, res.stderr
        assert json.loads(res.stdout)["kind"] == "rigid"

    def test_devices_and_pipes_are_written_into(self, files, tmp_path):
        d, _, _ = files
        special = [tmp_path / "fifo.npy"]
        os.mkfifo(special[0])
        try:  # a null device of our own, never the machine's
            os.mknod(tmp_path / "null.ply", 0o666 | __import__("stat").S_IFCHR, os.makedev(1, 3))
            special.append(tmp_path / "null.ply")
        except OSError:
            pass
        drain = subprocess.Popen(["cat", str(special[0])], stdout=subprocess.PIPE)
        try:
            res = tarvic_cmd("register", d / "source.ply", d / "target.pcd", "--out", special[0], "-q",
                             *(["--json", tmp_path / "null.ply"] if len(special) > 1 else []))
            data = drain.communicate(timeout=60)[0]
        finally:
            drain.kill()
            drain.wait()
        assert res.returncode == 0, res.stderr
        assert data.startswith(b"\x93NUMPY")
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in special)
        assert all(not p.is_file() for p in special)

    def test_socket_is_refused(self, files, tmp_path, capsys):
        import socket

        d, _, _ = files
        with socket.socket(socket.AF_UNIX) as server:
            server.bind(str(tmp_path / "s.json"))
            code, _, err = run_main(capsys, "register", d / "source.ply", d / "target.pcd", "--json",
                                    tmp_path / "s.json")
        assert code == 2 and "is a socket" in err and err.count("\n") == 1, err

    def test_failed_commit_puts_everything_back(self, tmp_path, monkeypatch):
        (tmp_path / "old.txt").write_text("old")
        renames = []
        real_replace = os.replace

        def replace(src, dst):
            renames.append(dst)
            if len(renames) == 2:
                raise OSError(28, "No space left on device")
            real_replace(src, dst)

        with cli._Outputs([]) as outputs:
            temporaries = [outputs.add(str(tmp_path / name), "output") for name in ("old.txt", "new.txt", "b.txt")]
            for temporary in temporaries:
                with open(temporary, "w") as f:
                    f.write("new")
            monkeypatch.setattr(os, "replace", replace)
            with pytest.raises(cli.InputError, match="new.txt: no space left on device"):
                outputs.commit()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["old.txt"]
        assert (tmp_path / "old.txt").read_text() == "old"

    def test_signal_during_the_commit_puts_everything_back(self, tmp_path, monkeypatch):
        (tmp_path / "old.txt").write_text("old")
        real_replace = os.replace

        def replace(src, dst):  # as if SIGTERM came while the first output was being renamed
            real_replace(src, dst)
            cli._SIGNALS.handler(signal.SIGTERM, None)

        with pytest.raises(KeyboardInterrupt) as info, cli._Outputs([]) as outputs:
            for name in ("old.txt", "new.txt"):
                with open(outputs.add(str(tmp_path / name), "output"), "w") as f:
                    f.write("new")
            monkeypatch.setattr(os, "replace", replace)
            outputs.commit()
        assert info.value.signum == signal.SIGTERM
        assert sorted(p.name for p in tmp_path.iterdir()) == ["old.txt"]
        assert (tmp_path / "old.txt").read_text() == "old"

    def test_overlong_batch_output_name_is_refused_before_anything_is_written(self, files, tmp_path):
        d, src, _ = files
        long_source = tmp_path / ("s" * 251 + ".npy")  # 255 bytes: its ".json" output would be 256
        tio.write(long_source, src)
        tio.write(tmp_path / "short.npy", src)
        res = tarvic_cmd("batch", "--target", d / "target.pcd", tmp_path / "short.npy", long_source,
                         "--out-dir", tmp_path / "o" / "p", "--max-iterations", "3")
        assert res.returncode == 2 and "file name too long" in res.stderr and res.stderr.count("\n") == 1
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted([long_source.name, "short.npy"])

    @pytest.mark.parametrize("where", ["--out", "--json", "--plot"])
    @pytest.mark.parametrize("component", ["name", "folder"])
    def test_overlong_output_names(self, files, tmp_path, where, component):
        d, _, _ = files
        long = "n" * 300
        name = {"--out": "m.ply", "--json": "t.json", "--plot": "p.png"}[where]
        path = tmp_path / long / name if component == "folder" else tmp_path / (long + name)
        res = tarvic_cmd("register", d / "source.ply", d / "target.pcd", where, path)
        assert res.returncode == 2 and "file name too long" in res.stderr and res.stderr.count("\n") == 1, res.stderr
        assert list(tmp_path.iterdir()) == []

    @pytest.mark.parametrize("out", ["moved.ply", "moved.npy", "moved.xyz"])
    def test_non_finite_moved_points_are_not_written(self, files, tmp_path, capsys, out):
        d, _, _ = files
        tarvic.transform_file.save(tmp_path / "huge.json", tarvic.RigidFit(1e308, np.eye(3), np.zeros(3), 1, 0, 1, True))
        code, _, err = run_main(capsys, "apply", tmp_path / "huge.json", d / "source.ply", "--out", tmp_path / out)
        assert code == 2 and " of 400 moved points have non-finite coordinates" in err, err
        assert sorted(p.name for p in tmp_path.iterdir()) == ["huge.json"]


class TestNamesAndLists:
    def test_file_names_that_are_not_utf8_print_escaped(self, files, tmp_path):
        d, src, _ = files
        source, out = os.fsencode(tmp_path) + b"/\xff-src.npy", os.fsencode(tmp_path) + b"/\xfe-out.npy"
        tio.write(os.fsdecode(source), src)
        env = {**os.environ, "PYTHONIOENCODING": "utf-8:strict", "LC_ALL": "C.UTF-8"}
        res = tarvic_cmd("register", source, d / "target.pcd", "--out", out, env=env)
        assert res.returncode == 0, res.stderr
        assert "\\udcfe-out.npy" in res.stdout and os.path.exists(out)

    def test_transform_with_a_byte_order_mark_and_huge_integers(self, files, tmp_path):
        d, src, _ = files
        record = tarvic.transform_file.to_dict(tarvic.fit_rigid(src, src, max_iterations=3))
        text = json.dumps(record)
        (tmp_path / "bom.json").write_bytes(b"\xef\xbb\xbf" + text.encode())
        res = tarvic_cmd("apply", tmp_path / "bom.json", d / "source.ply", "--out", tmp_path / "m.npy", "-q")
        assert res.returncode == 0, res.stderr
        (tmp_path / "big.json").write_text(text.replace('"version": 1', '"version": ' + "1" * 5000))
        res = tarvic_cmd("apply", tmp_path / "big.json", d / "source.ply", "--out", tmp_path / "n.npy")
        assert res.returncode == 2 and "unsupported version" in res.stderr and res.stderr.count("\n") == 1

    @pytest.mark.parametrize(
        "line, fields",
        [
            ("a.ply b.ply", ["a.ply", "b.ply"]),
            ("  a.ply\tb.ply  # comment", ["a.ply", "b.ply"]),
            ("'a b.ply' \"c, d.ply\"", ["a b.ply", "c, d.ply"]),
            ("'a,b.ply',c.ply", ["a,b.ply", "c.ply"]),
            ("scan#2.ply ref#1.ply", ["scan#2.ply", "ref#1.ply"]),
            ("'#1.ply' b.ply #comment", ["#1.ply", "b.ply"]),
            ("a b.ply , c.ply # comma form", ["a b.ply", "c.ply"]),
            ("it's.ply b.ply", ["it's.ply", "b.ply"]),
            (r"C:\scans\a.ply C:\scans\b.ply", [r"C:\scans\a.ply", r"C:\scans\b.ply"]),
            ("# only a comment", []),
            ("", []),
        ],
    )
    def test_pair_list_fields(self, line, fields):
        assert cli._pair_fields(line) == fields

    @pytest.mark.parametrize("line, fragment", [("'a.ply b.ply", "no closing quotation"), ("a.ply,,b.ply", "empty path"),
                                                ("'a'b.ply c.ply", "must end at its closing"),
                                                ("a 'b c'.ply, d", "must end at its closing"),
                                                ("a 'b c', d.ply", "quote a whole path"),
                                                ("a.ply b\0.ply", "NUL byte"), ("a b c", "got 3 fields")])
    def test_bad_pair_list_lines(self, tmp_path, capsys, line, fragment):
        (tmp_path / "pairs.txt").write_text(f"x.ply y.ply\n{line}\n")
        code, _, err = run_main(capsys, "batch", "--pairs", tmp_path / "pairs.txt", "--out-dir", tmp_path / "o")
        assert code == 2 and f"pairs.txt, line 2: " in err and fragment in err and err.count("\n") == 1, err
        assert sorted(p.name for p in tmp_path.iterdir()) == ["pairs.txt"]

    def test_pair_list_paths_with_commas_and_hashes(self, files, tmp_path, capsys):
        d, src, tgt = files
        tio.write(tmp_path / "scan,1.npy", src)
        tio.write(tmp_path / "ref#2.npy", tgt)
        (tmp_path / "pairs.txt").write_bytes(b"\xef\xbb\xbf'scan,1.npy' ref#2.npy  # quoted comma, bare hash\n")
        code, _, err = run_main(capsys, "batch", "--pairs", tmp_path / "pairs.txt", "--out-dir", tmp_path / "o",
                                "--max-iterations", "3", "-q")
        assert code == 0, err
        assert sorted(p.name for p in (tmp_path / "o").iterdir()) == ["scan,1-to-ref#2.json", "scan,1-to-ref#2.npy"]
