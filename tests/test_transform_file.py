"""Transform files: exact round trips, non-finite values as null, and hand-edited files refused."""
import json
import math
import os

import numpy as np
import pytest

import tarvic
from tarvic import transform_file as tf
from capped import AVAILABLE, SKIP_REASON, run_capped
from conftest import rotation, shape_cloud, similarity


@pytest.fixture(scope="module")
def fits():
    src = shape_cloud(200, seed=3)
    tgt = similarity(src, 1.3, rotation([2, 1, 0], 15), np.array([0.1, 0.2, 0.3]))
    return tarvic.fit_rigid(src, tgt), tarvic.fit_deform(src, tgt, max_iterations=10, num_modes=10)


@pytest.fixture(scope="module")
def more():
    """An affine fit, and deformations fitted after a rigid and after an affine fit."""
    src = shape_cloud(200, seed=3)
    tgt = src @ np.array([[1.2, 0.3, 0.0], [0.0, 0.9, 0.1], [0.1, 0.0, 1.1]]).T + 0.2
    rigid = tarvic.fit_rigid(src, tgt, max_iterations=20)
    affine = tarvic.fit_affine(src, tgt, max_iterations=20)
    return (affine, tarvic.fit_deform(src, tgt, max_iterations=5, num_modes=10, prior=rigid),
            tarvic.fit_deform(src, tgt, max_iterations=5, num_modes=10, prior=affine))


def test_round_trip_is_exact(fits, more, tmp_path):
    for fit in fits + more:
        tf.save(tmp_path / "t.json", fit, inputs={"source": "a.ply"}, options={"w": 0.1})
        back = tf.load(tmp_path / "t.json")
        assert type(back) is type(fit)
        for a, b in zip(back, fit):
            np.testing.assert_array_equal(a, b)
        points = shape_cloud(50, seed=9)
        np.testing.assert_array_equal(back.apply(points), fit.apply(points))
        if isinstance(fit, tarvic.DeformFit) and fit.prior is not None:
            assert type(back.prior) is type(fit.prior)
            for a, b in zip(back.prior, fit.prior):
                np.testing.assert_array_equal(a, b)


def test_versions_and_kinds_written(fits, more):
    # A deformation with a prior must not be read as the deformation alone by a reader of
    # version 1: it is written as version 2, which such a reader refuses.
    assert [tf.to_dict(f)["version"] for f in fits + more] == [1, 1, 1, 2, 2]
    assert [tf.to_dict(f)["kind"] for f in fits + more] == ["rigid", "deform", "affine", "deform", "deform"]
    prior = tf.to_dict(more[2])["transform"]["prior"]
    assert prior["kind"] == "affine" and prior["transform"]["B"] == more[0].B.tolist()
    assert prior["fit"]["iterations"] == more[0].iterations


AFFINE_EDITS = [
    (0, lambda r: r["transform"]["B"][1].__setitem__(1, None), '"transform.B" has values that are null'),
    (0, lambda r: r["transform"].update(B=[[1, 0, 0], [0, 1, 0]]), '"transform.B" has shape (2, 3)'),
    (0, lambda r: r["transform"]["matrix"][3].__setitem__(2, 0.5), '"transform.matrix" differs from "B"'),
    (0, lambda r: r["transform"]["matrix"][0].__setitem__(3, 9.0), '"transform.matrix" differs'),
    (1, lambda r: r["transform"]["prior"].update(kind="deform"), '"transform.prior" must be of kind "rigid" or'),
    (1, lambda r: r["transform"].update(prior=[1]), '"transform.prior" must be an object'),
    (1, lambda r: r["transform"]["prior"]["transform"].update(scale=-1),
     '"transform.prior.transform.scale" must be positive'),
    (1, lambda r: r["transform"]["prior"]["transform"]["rotation"][0].__setitem__(0, 2.0),
     '"transform.prior.transform.rotation" is not a rotation'),
    (2, lambda r: r["transform"]["prior"]["transform"].pop("translation"),
     '"transform.prior.transform.translation" is missing'),
]


@pytest.mark.parametrize("which, change, fragment", AFFINE_EDITS)
def test_hand_edited_affine_and_prior_records_are_refused(more, tmp_path, which, change, fragment):
    record = tf.to_dict(more[which])
    change(record)
    path = tmp_path / "t.json"
    path.write_text(json.dumps(record))
    with pytest.raises(tf.TransformFileError) as info:
        tf.load(path)
    assert fragment in str(info.value)


def test_non_finite_values_are_null(tmp_path):
    fit = tarvic.RigidFit(1.0, np.eye(3), np.zeros(3), math.inf, math.nan, 3, False)
    tf.save(tmp_path / "t.json", fit, options={"scale_bounds": (0.5, math.inf)})
    record = json.loads((tmp_path / "t.json").read_text())
    assert record["fit"]["sigma2"] is None and record["fit"]["nrms"] is None
    assert record["options"]["scale_bounds"] == [0.5, None]
    back = tf.load(tmp_path / "t.json")
    assert math.isnan(back.sigma2) and math.isnan(back.nrms)
    # A transform that is not finite cannot be used, and says so.
    broken = tarvic.RigidFit(1.0, np.eye(3), np.array([0.0, math.inf, 0.0]), 1.0, 0.1, 3, False)
    tf.save(tmp_path / "b.json", broken)
    with pytest.raises(tf.TransformFileError, match="transform.translation"):
        tf.load(tmp_path / "b.json")


def _edited(fits, kind, change):
    record = tf.to_dict(fits[0] if kind == "rigid" else fits[1])
    change(record)
    return record


EDITS = [
    ("rigid", lambda r: r["transform"].update(scale=10**400), "transform.scale"),
    ("rigid", lambda r: r["transform"]["rotation"][0].__setitem__(0, 10**400), "transform.rotation"),
    ("rigid", lambda r: r["transform"]["rotation"][0].__setitem__(0, "1"), "transform.rotation"),
    ("rigid", lambda r: r["transform"]["rotation"][0].__setitem__(0, True), "transform.rotation"),
    ("rigid", lambda r: r["transform"].update(rotation=[[1, 0], [0, 1]]), "shape (2, 2)"),
    ("rigid", lambda r: r["transform"].pop("translation"), "transform.translation"),
    ("rigid", lambda r: r.update(version=3), "unsupported version"),
    ("rigid", lambda r: r.update(kind="shear"), "unknown"),
    ("rigid", lambda r: r.update(kind="affine"), '"transform.B" is missing'),
    ("rigid", lambda r: r.update(transform=[1, 2]), "must be objects"),
    ("deform", lambda r: r["transform"].update(beta=0), "transform.beta"),
    ("deform", lambda r: r["transform"].update(beta=-1.0), "transform.beta"),
    ("deform", lambda r: r["transform"]["w"].pop(), "rows"),
    ("deform", lambda r: r["transform"]["source"][0].append(1.0), "transform.source"),
    # Not a similarity: applied without complaint before.
    ("rigid", lambda r: r["transform"].update(rotation=[[1, 0, 0], [0, 1, 0], [0, 0, 1.001]]), "not a rotation"),
    ("rigid", lambda r: r["transform"].update(rotation=[[0, 0, 0]] * 3), "not a rotation"),
    ("rigid", lambda r: r["transform"].update(rotation=[[1, 0, 0], [0, 1, 0], [0, 0, -1]]), "reflection"),
    ("rigid", lambda r: r["transform"].update(scale=0), "transform.scale\" must be positive"),
    ("rigid", lambda r: r["transform"].update(scale=-1.3), "must be positive"),
    ("rigid", lambda r: r.update(version=True), "unsupported version True"),
    ("rigid", lambda r: r["transform"]["matrix"][0].__setitem__(3, 5.0), "transform.matrix\" differs"),
    ("rigid", lambda r: r["transform"].update(matrix=[[1, 0, 0, 0]] * 3), "transform.matrix"),
]


@pytest.mark.parametrize("kind, change, fragment", EDITS)
def test_hand_edited_files_are_refused(fits, tmp_path, kind, change, fragment):
    path = tmp_path / "t.json"
    path.write_text(json.dumps(_edited(fits, kind, change)))
    with pytest.raises(tf.TransformFileError) as info:
        tf.load(path)
    assert str(path) in str(info.value) and fragment in str(info.value)


@pytest.mark.parametrize("text, fragment", [("[" * 100000, "nested"), ("{", "not valid JSON"),
                                            ("\udcff", "cannot read"), ('"just a string"', "not a tarvic")])
def test_unreadable_files(tmp_path, text, fragment):
    path = tmp_path / "t.json"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    with pytest.raises(tf.TransformFileError, match=fragment):
        tf.load(path)


def test_similarities_within_rounding_are_accepted(fits, tmp_path):
    record = tf.to_dict(fits[0])
    t = record["transform"]
    t["rotation"] = (np.array(t["rotation"]) + 3e-8).tolist()  # six to seven digits, as hand-copied
    del t["matrix"]  # optional
    (tmp_path / "t.json").write_text(json.dumps(record))
    back = tf.load(tmp_path / "t.json")
    np.testing.assert_array_equal(back.rotation, t["rotation"])
    t["matrix"] = np.round(tarvic.RigidFit(t["scale"], back.rotation, back.translation, 0, 0, 0, True).matrix, 9).tolist()
    (tmp_path / "t.json").write_text(json.dumps(record))
    tf.load(tmp_path / "t.json")


@pytest.mark.parametrize("where", ["transform.scale", "fit.iterations", "inputs.source_points"])
def test_integers_longer_than_python_converts(fits, tmp_path, where):
    # Python refuses to turn more than 4300 digits into an int; that ValueError escaped load.
    record = tf.to_dict(fits[0], inputs={"source_points": 1})
    section, key = where.split(".")
    record[section][key] = "HUGE"
    (tmp_path / "t.json").write_text(json.dumps(record).replace('"HUGE"', "9" * 5000))
    if where == "transform.scale":
        with pytest.raises(tf.TransformFileError, match="transform.scale"):
            tf.load(tmp_path / "t.json")
    else:  # fields that do not define the transform do not stop it
        np.testing.assert_array_equal(tf.load(tmp_path / "t.json").rotation, fits[0].rotation)


def test_byte_order_mark_is_accepted(fits, tmp_path):
    (tmp_path / "t.json").write_bytes(b"\xef\xbb\xbf" + json.dumps(tf.to_dict(fits[0])).encode())
    np.testing.assert_array_equal(tf.load(tmp_path / "t.json").rotation, fits[0].rotation)


def test_nul_byte_in_the_path(tmp_path):
    with pytest.raises(tf.TransformFileError, match="NUL byte"):
        tf.load(str(tmp_path / "t\0.json"))


@pytest.mark.skipif(not AVAILABLE or not os.path.exists("/dev/zero"), reason=SKIP_REASON)
@pytest.mark.parametrize("special", ["/dev/zero", "fifo"])
def test_devices_and_pipes_are_not_read(tmp_path, special):
    # json.load would read /dev/zero until memory ran out, and wait on a pipe for ever.
    if special == "fifo":
        os.mkfifo(tmp_path / "fifo")
        special = str(tmp_path / "fifo")
    r = run_capped("""
        try:
            tarvic.transform_file.load(sys.argv[2])
        except tarvic.transform_file.TransformFileError as exc:
            result = {"reason": exc.reason}
    """, special, timeout=30)
    assert r.get("reason") == "is not a regular file" and r["seconds"] < 5, r
