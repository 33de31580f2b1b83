"""Transform files: exact round trips, non-finite values as null, and hand-edited files refused."""
import json
import math

import numpy as np
import pytest

import tarvic
from tarvic import transform_file as tf
from conftest import rotation, shape_cloud, similarity


@pytest.fixture(scope="module")
def fits():
    src = shape_cloud(200, seed=3)
    tgt = similarity(src, 1.3, rotation([2, 1, 0], 15), np.array([0.1, 0.2, 0.3]))
    return tarvic.fit_rigid(src, tgt), tarvic.fit_deform(src, tgt, max_iterations=10, num_modes=10)


def test_round_trip_is_exact(fits, tmp_path):
    for fit in fits:
        tf.save(tmp_path / "t.json", fit, inputs={"source": "a.ply"}, options={"w": 0.1})
        back = tf.load(tmp_path / "t.json")
        assert type(back) is type(fit)
        for a, b in zip(back, fit):
            np.testing.assert_array_equal(a, b)
        points = shape_cloud(50, seed=9)
        np.testing.assert_array_equal(back.apply(points), fit.apply(points))


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
    ("rigid", lambda r: r.update(version=2), "unsupported version"),
    ("rigid", lambda r: r.update(kind="affine"), "unknown"),
    ("rigid", lambda r: r.update(transform=[1, 2]), "must be objects"),
    ("deform", lambda r: r["transform"].update(beta=0), "transform.beta"),
    ("deform", lambda r: r["transform"].update(beta=-1.0), "transform.beta"),
    ("deform", lambda r: r["transform"]["w"].pop(), "rows"),
    ("deform", lambda r: r["transform"]["source"][0].append(1.0), "transform.source"),
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
