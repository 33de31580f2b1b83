"""The command line's affine fits, starting transforms and rigid-then-deformable recipe."""
import json
import os

import numpy as np
import pytest

import tarvic
from conftest import rotation, shape_cloud, similarity
from test_cli import run_main, tarvic_cmd

tio = pytest.importorskip("tarvic.io")

B = np.array([[1.3, 0.4, -0.1], [0.05, 0.8, 0.3], [-0.2, 0.1, 1.1]])
T = np.array([0.5, -0.3, 0.8])


def bend(p):
    q = p.copy()
    q[:, 1] += 0.25 * np.sin(1.5 * p[:, 0])
    q[:, 2] += 0.15 * p[:, 0] ** 2
    return q


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("guided")
    src = shape_cloud(400, seed=8)
    tio.write(d / "source.ply", src)
    tio.write(d / "sheared.npy", src @ B.T + T)
    tio.write(d / "turned.npy", similarity(src, 0.9, rotation([0, 1, 1], 25), np.array([1.0, 2.0, 3.0])))
    tio.write(d / "bent.npy", similarity(bend(src), 1.1, rotation([0.3, 1, 0.2], 90), np.array([0.3, -0.2, 0.1])))
    return d, src


class TestAffine:
    def test_register_json_apply_reproduces_out(self, files, tmp_path):
        d, src = files
        res = tarvic_cmd("register", d / "source.ply", d / "sheared.npy", "--affine", "--out", tmp_path / "m.npy",
                         "--json", tmp_path / "a.json")
        assert res.returncode == 0, res.stderr
        assert "affine fit of" in res.stdout and "  B  " in res.stdout
        record = json.loads((tmp_path / "a.json").read_text())
        assert record["kind"] == "affine" and record["version"] == 1
        np.testing.assert_allclose(record["transform"]["B"], B, atol=1e-4)
        res = tarvic_cmd("apply", tmp_path / "a.json", d / "source.ply", "--out", tmp_path / "again.npy", "-q")
        assert res.returncode == 0, res.stderr
        np.testing.assert_array_equal(tio.read(tmp_path / "again.npy"), tio.read(tmp_path / "m.npy"))

    def test_batch(self, files, tmp_path):
        d, src = files
        res = tarvic_cmd("batch", "--target", d / "sheared.npy", d / "source.ply", "--affine", "--out-dir",
                         tmp_path / "out", "--no-progress")
        assert res.returncode == 0, res.stderr
        fit = tarvic.transform_file.load(tmp_path / "out" / "source.json")
        assert isinstance(fit, tarvic.AffineFit)
        np.testing.assert_array_equal(tio.read(tmp_path / "out" / "source.ply"), fit.apply(src))


class TestStartingTransforms:
    def test_init_from_a_saved_fit(self, files, tmp_path):
        d, src = files
        first = tarvic_cmd("register", d / "source.ply", d / "turned.npy", "--json", tmp_path / "r.json", "-q")
        assert first.returncode == 0, first.stderr
        cold = tarvic.transform_file.load(tmp_path / "r.json")
        res = tarvic_cmd("register", d / "source.ply", d / "turned.npy", "--init", tmp_path / "r.json",
                         "--tolerance", "1e-4", "--json", tmp_path / "again.json")
        assert res.returncode == 0, res.stderr
        again = tarvic.transform_file.load(tmp_path / "again.json")
        assert again.iterations <= 2 < cold.iterations
        np.testing.assert_allclose(again.matrix, cold.matrix, atol=1e-6)
        assert json.loads((tmp_path / "again.json").read_text())["inputs"]["init"] == str(tmp_path / "r.json")
        # An affine fit may start from the rigid one too.
        res = tarvic_cmd("register", d / "source.ply", d / "sheared.npy", "--affine", "--init", tmp_path / "r.json",
                         "-q", "--json", tmp_path / "a.json")
        assert res.returncode == 0, res.stderr

    def test_deform_after_rigid(self, files, tmp_path):
        d, src = files
        truth = tio.read(d / "bent.npy")
        res = tarvic_cmd("register", d / "source.ply", d / "bent.npy", "--deform", "--after-rigid",
                         "--out", tmp_path / "m.npy", "--json", tmp_path / "d.json", "--threads", "1")
        assert res.returncode == 0, res.stderr
        assert "rigid, then deformable fit of" in res.stdout and "rigid fit first: converged" in res.stdout
        record = json.loads((tmp_path / "d.json").read_text())
        assert record["version"] == 2 and record["transform"]["prior"]["kind"] == "rigid"
        moved = tio.read(tmp_path / "m.npy")
        size = np.ptp(truth, axis=0).max()
        assert np.linalg.norm(moved - truth, axis=1).mean() < 1e-3 * size
        res = tarvic_cmd("apply", tmp_path / "d.json", d / "source.ply", "--out", tmp_path / "again.npy", "-q")
        assert res.returncode == 0, res.stderr
        np.testing.assert_array_equal(tio.read(tmp_path / "again.npy"), moved)
        # The deformation after a saved rigid fit is the same recipe in two commands (one thread
        # each: the deformable fit's sums are then in one order, and the numbers the same).
        rigid = tarvic.transform_file.to_dict(tarvic.transform_file.load(tmp_path / "d.json").prior)
        (tmp_path / "r.json").write_text(json.dumps(rigid))
        res = tarvic_cmd("register", d / "source.ply", d / "bent.npy", "--deform", "--init", tmp_path / "r.json",
                         "--out", tmp_path / "two.npy", "-q", "--threads", "1")
        assert res.returncode == 0, res.stderr
        np.testing.assert_array_equal(tio.read(tmp_path / "two.npy"), moved)


class TestBadInput:
    @pytest.mark.parametrize(
        "args, fragment",
        [
            (["--deform", "--affine"], "--deform and --affine are different fits: give one of them"),
            (["--after-rigid"], "--after-rigid needs --deform or --affine"),
            (["--affine", "--alpha", "2"], "--alpha applies only to deformable fits"),
            (["--affine", "--no-scale"], "--no-scale applies only to rigid fits (or, with --after-rigid"),
            (["--init", "{t}/missing.json"], "--init {t}/missing.json: no such file"),
            (["--init", "{t}/deform.json"], "holds a deformable transform; this fit starts from a rigid one"),
            (["--init", "{t}/affine.json"], "holds an affine transform; this fit starts from a rigid one"),
            (["--deform", "--after-rigid", "--init", "{t}/affine.json"], "starts from a rigid one"),
            (["--deform", "--init", "{t}/deform.json"], "this fit starts from a rigid or an affine one"),
            (["--affine", "--init", "{t}/flat.json"], "`init` is singular: its 3 x 3 part has no inverse"),
            (["--init", "{t}/garbage.json"], "--init {t}/garbage.json: not valid JSON"),
            (["--init", "{t}/source.npy"], "--init {t}/source.npy: cannot read it"),
        ],
    )
    def test_refused_with_one_line_before_any_work(self, files, tmp_path, capsys, args, fragment):
        d, src = files
        small = src[:30]
        tarvic.transform_file.save(tmp_path / "deform.json", tarvic.fit_deform(small, small, max_iterations=1))
        tarvic.transform_file.save(tmp_path / "affine.json", tarvic.fit_affine(small, small, max_iterations=1))
        flat = tarvic.AffineFit(np.diag([1.0, 1.0, 0.0]), np.zeros(3), 1.0, 0.1, 1, True)
        tarvic.transform_file.save(tmp_path / "flat.json", flat)
        (tmp_path / "garbage.json").write_text("{not json")
        tio.write(tmp_path / "source.npy", src)
        before = sorted(os.listdir(tmp_path))
        code, out, err = run_main(capsys, "register", d / "source.ply", d / "turned.npy", "--out", tmp_path / "m.npy",
                                  *(a.format(t=tmp_path) for a in args))
        assert code == 2, err
        assert err.count("\n") == 1 and err.startswith("tarvic: error: "), err
        assert fragment.format(t=tmp_path) in err
        assert "fit of" not in err  # refused before the clouds were read
        assert sorted(os.listdir(tmp_path)) == before
