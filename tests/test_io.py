"""tarvic.io: exact round trips, files written by other tools, and every way a file can be bad."""
import errno
import importlib.util
import os
import stat
import sys
from io import BytesIO

import numpy as np
import pytest
from conftest import DATA_ROOT

from tarvic import io

HAS_LAZ = importlib.util.find_spec("lazrs") is not None
AS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
BACKENDS = {".ply": "plyfile", ".las": "laspy", ".laz": "laspy", ".pcd": "pypcd4"}


def backend_or_skip(name, binary=True):
    """Skip unless the package reading `name` is installed (text, NPY and ascii PCD need none)."""
    suffix = os.path.splitext(str(name))[1].lower()
    if suffix in BACKENDS and (binary or suffix != ".pcd"):
        pytest.importorskip(BACKENDS[suffix])


def awkward_cloud():
    """Values whose shortest text is long, tiny, huge or a signed zero; NaN and infinities too."""
    cloud = np.random.default_rng(7).standard_normal((50, 3)) * [1e-3, 1.0, 1e6]
    cloud[:4] = [[0.1, -0.0, 1 / 3], [5e-324, 1e300, -2.5e-308], [np.nan, 1, 2], [np.inf, -np.inf, 0]]
    return cloud


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


@pytest.mark.parametrize(
    "name, binary",
    [("c.ply", True), ("c.ply", False), ("c.pcd", True), ("c.pcd", False), ("c.xyz", True),
     ("c.txt", True), ("c.csv", True), ("c.npy", True), ("C.PLY", True)],
)
def test_round_trip_is_bit_exact(tmp_path, name, binary):
    backend_or_skip(name, binary)
    cloud = awkward_cloud()
    io.write(tmp_path / name, cloud, binary=binary)
    back = io.read(tmp_path / name)
    assert back.dtype == np.float64 and back.flags.c_contiguous and back.flags.writeable
    np.testing.assert_array_equal(bits(back), bits(cloud))


@pytest.mark.parametrize(
    "suffix", [".las", pytest.param(".laz", marks=pytest.mark.skipif(not HAS_LAZ, reason="lazrs not installed"))]
)
@pytest.mark.parametrize("span", [1e-6, 5.0, 1e12])
def test_las_round_trip_within_half_a_scale_step(tmp_path, suffix, span):
    laspy = pytest.importorskip("laspy")
    cloud = 4.5e5 + np.random.default_rng(3).uniform(-span, span, (200, 3))
    cloud[:, 2] = -7.25  # a constant axis must come back exactly
    path = tmp_path / f"c{suffix}"
    io.write(path, cloud)
    back = io.read(path)
    scales = laspy.read(path).header.scales
    assert np.all(np.abs(back - cloud) <= scales / 2 + 2 * np.spacing(np.abs(cloud)))
    np.testing.assert_array_equal(back[:, 2], -7.25)


@pytest.mark.parametrize("text", [False, True])
@pytest.mark.parametrize("byte_order", ["<", ">"])
def test_reads_ply_with_extra_properties_and_faces(tmp_path, byte_order, text):
    plyfile = pytest.importorskip("plyfile")
    fields = [("red", "u1"), ("x", "f4"), ("y", "f4"), ("z", "f4"), ("green", "u1"), ("blue", "u1")]
    vertex = np.zeros(30, fields)
    for axis in "xyz":
        vertex[axis] = np.random.default_rng(0).standard_normal(30)
    faces = np.empty(2, [("vertex_indices", object)])
    faces[0], faces[1] = (np.array([0, 1, 2], "i4"),), (np.array([2, 3, 4, 5], "i4"),)
    elements = [plyfile.PlyElement.describe(faces, "face"), plyfile.PlyElement.describe(vertex, "vertex")]
    plyfile.PlyData(elements, text=text, byte_order=byte_order).write(str(tmp_path / "c.ply"))
    np.testing.assert_array_equal(io.read(tmp_path / "c.ply"), np.column_stack([vertex[a] for a in "xyz"]))


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed", "ascii"])
def test_reads_pcd_with_extra_fields(tmp_path, encoding):
    pypcd4 = pytest.importorskip("pypcd4")
    rng = np.random.default_rng(1)
    xyz = rng.uniform(1, 100, (40, 3)).astype(np.float32)  # pypcd4's ascii "%.10f" keeps these exact
    columns = [rng.uniform(0, 1, 40).astype(np.float32), *xyz.T, rng.integers(0, 2**24, 40).astype(np.uint32)]
    types = (np.float32, np.float32, np.float32, np.float32, np.uint32)
    pc = pypcd4.PointCloud.from_points(columns, ("intensity", "x", "y", "z", "rgb"), types)
    pc.save(str(tmp_path / "c.pcd"), encoding=pypcd4.Encoding(encoding))
    np.testing.assert_array_equal(io.read(tmp_path / "c.pcd"), xyz)


@pytest.mark.parametrize(
    "array",
    [np.asfortranarray(np.arange(12.0).reshape(4, 3)), np.arange(12, dtype=">i2").reshape(4, 3),
     np.arange(12, dtype=np.float32).reshape(4, 3) / 7],
)
def test_reads_npy_layouts(tmp_path, array):
    np.save(tmp_path / "a.npy", array)
    back = io.read(tmp_path / "a.npy")
    assert back.dtype == np.float64 and back.flags.c_contiguous
    np.testing.assert_array_equal(back, array)


@pytest.mark.parametrize(
    "header, rows",
    [
        # The old version pypcd4 refuses, without COUNT and VIEWPOINT lines.
        ("VERSION .5\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 2\nHEIGHT 1\nPOINTS 2\nDATA ascii\n",
         "1.5 2 3\n4 5 6.25\n"),
        # No POINTS line (WIDTH x HEIGHT counts), tabs and repeated spaces between values.
        ("VERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 1\nHEIGHT 2\nDATA ascii\n",
         "1.5\t2  3\n4 5 6.25\n"),
        # A field with COUNT 2 ahead of x shifts x, y, z two columns along.
        ("VERSION 0.7\nFIELDS h x y z\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 2 1 1 1\nWIDTH 2\nPOINTS 2\nDATA ascii\n",
         "9 9 1.5 2 3\n8 8 4 5 6.25\n"),
    ],
)
def test_reads_hand_written_ascii_pcd(tmp_path, header, rows):
    (tmp_path / "c.pcd").write_text(header + rows)
    np.testing.assert_array_equal(io.read(tmp_path / "c.pcd"), [[1.5, 2, 3], [4, 5, 6.25]])


@pytest.mark.parametrize(
    "name, content",
    [
        ("c.txt", "1.5\t2\t3\n4\t5\t6.25\n"),
        ("c.csv", "1.5,2,3\n4, 5 ,6.25\n"),
        ("c.csv", "r,g,b,X,Y,Z\n0,0,0,1.5,2,3\n9,9,9,4,5,6.25\n"),
        ("c.xyz", "# scan\n\n1.5 2 3 # first\n# gap\n4 5 6.25\n"),
        ("c.xyz", "1.5 2 3 255 0 0\n4 5 6.25 0 255 0\n"),
        ("c.txt", "//X,Y,Z,R\n1.5,2,3,7\n4,5,6.25,7\n"),
        ("c.txt", "a b c d\n1.5 2 3 7\n4 5 6.25 7\n"),
        ("c.csv", "\ufeffx,y,z\r\n1.5,2,3\r\n4,5,6.25\r\n"),
        ("c.xyz", "\ufeff1.5 2 3\r4 5 6.25"),  # old Mac line ends, no final one
    ],
)
def test_text_variants(tmp_path, name, content):
    (tmp_path / name).write_bytes(content.encode())
    np.testing.assert_array_equal(io.read(tmp_path / name), [[1.5, 2, 3], [4, 5, 6.25]])


def _ply(body, fmt="binary_little_endian", count=3, props="xyz"):
    header = f"ply\nformat {fmt} 1.0\nelement vertex {count}\n" + "".join(f"property float {p}\n" for p in props)
    return header.encode() + b"end_header\n" + body


def _pcd(fields, data, count, body):
    n = len(fields.split())
    header = (f"VERSION 0.7\nFIELDS {fields}\nSIZE{' 4' * n}\nTYPE{' F' * n}\nCOUNT{' 1' * n}\n"
              f"WIDTH {count}\nHEIGHT 1\nPOINTS {count}\nDATA {data}\n")
    return header.encode() + body


def _npy(array):
    buffer = BytesIO()
    np.save(buffer, array, allow_pickle=True)
    return buffer.getvalue()


GARBAGE = bytes(range(256)) * 8


@pytest.mark.parametrize(
    "name, content, fragment",
    [
        ("c.obj", b"v 1 2 3\n", "supported: .ply"),
        ("cloud", b"1 2 3\n", "no file extension"),
        ("c.ply", _ply(b""), "truncated"),
        ("c.ply", _ply(b"", count=0), "no points"),
        ("c.ply", _ply(np.zeros(8, "<f4").tobytes()), "truncated"),
        ("c.ply", _ply(b"1 2 3\n", fmt="ascii", count=1, props="abc"), "no x, y, z"),
        ("c.ply", GARBAGE, "not a valid PLY"),
        ("c.pcd", GARBAGE, "not a PCD file"),
        ("c.pcd", _pcd("x y", "ascii", 1, b"1 2\n"), "no x, y, z"),
        ("c.pcd", _pcd("x y z", "binary", 3, np.zeros(8, "<f4").tobytes()), "truncated"),
        ("c.pcd", _pcd("x y z", "binary_compressed", 3, b"\xff\xff\x00\x00\x24\x00\x00\x00abc"), "truncated"),
        ("c.pcd", _pcd("x y z", "ascii", 3, b"1 2 3\n"), "declares 3 points"),
        ("c.pcd", _pcd("x y z", "ascii", 2, b"\n"), "declares 2 points but the file has 0"),
        ("c.pcd", _pcd("x y z", "ascii", 0, b""), "no points"),
        ("c.pcd", b"VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH\nHEIGHT 1\n"
                  b"DATA ascii\n1 2 3\n", "WIDTH line has no value"),
        ("c.las", GARBAGE, "not a valid LAS"),
        ("c.npy", GARBAGE, "not a NumPy"),
        ("c.npy", _npy(np.zeros((9, 3)))[:-16], "truncated: 9 points need 216 bytes of data, found 200"),
        ("c.npy", _npy(np.zeros((4, 2))), "shape (4, 2); expected (N, 3)"),
        ("c.npy", _npy(np.zeros(3)), "shape (3,)"),
        ("c.npy", _npy(np.zeros((5, 3))).replace(b"(5, 3)", b"(-5,3)"), "shape (-5, 3)"),
        ("c.npy", _npy(np.zeros((0, 3))), "no points"),
        ("c.npy", _npy(np.array([[1, "a", None]], dtype=object)), "holds object values"),
        ("c.npy", _npy(np.zeros((2, 3), complex)), "complex128 values; expected real numbers"),
        ("c.npy", _npy(np.zeros((2, 3), bool)), "bool"),
        ("c.txt", b"1 2\n3 4\n", "2 columns"),
        ("c.txt", b"1\n3\n", "1 column;"),
        ("c.xyz", b"1 2 3\n4 5 6\n7 8\n", "line 3 has 2 columns but line 1 has 3"),
        ("c.csv", b"x,y,z\n1,2,3\n4,oops,6\n", "line 3: 'oops' is not a number"),
        ("c.csv", b"x,y,z\n# nothing yet\n", "no points"),
        ("c.csv", b"p,x,y,z\n1,2,3\n", "header names x, y, z"),
    ],
)
def test_bad_files(tmp_path, name, content, fragment):
    backend_or_skip(name, binary=False)
    (tmp_path / name).write_bytes(content)
    _expect_error(tmp_path / name, fragment)


@pytest.mark.parametrize("suffix", io.SUFFIXES)
def test_empty_file_of_each_format(tmp_path, suffix):
    (tmp_path / f"e{suffix}").touch()
    _expect_error(tmp_path / f"e{suffix}", "empty")


def test_missing_paths_and_directories(tmp_path):
    _expect_error(tmp_path / "absent.ply", "no such file")
    (tmp_path / "d.xyz").mkdir()
    _expect_error(tmp_path / "d.xyz", "directory")
    with pytest.raises(io.CloudFileError, match="directory"):
        io.write(tmp_path / "d.xyz", np.zeros((1, 3)))


def test_real_two_column_file():
    path = DATA_ROOT / "pycpd" / "fish_source.txt"
    if not path.exists():
        pytest.skip(f"{path} not present")
    _expect_error(path, "has 2 columns; expected x, y, z")


def _expect_error(path, fragment):
    with pytest.raises(io.CloudFileError) as info:
        io.read(path)
    assert info.value.path == str(path) and str(info.value) == f"{path}: {info.value.reason}"
    assert fragment in info.value.reason


@pytest.mark.parametrize(
    "module, name, action",
    [("lzf", "c.pcd", "read"), ("laspy", "c.las", "read"), ("laspy", "c.las", "write")],
)
def test_missing_optional_package(tmp_path, monkeypatch, module, name, action):
    path = tmp_path / name
    if name == "c.pcd":  # only binary_compressed PCD needs a package (pypcd4's lzf) to be read
        path.write_bytes(b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\nDATA binary_compressed\n" + bytes(20))
    else:
        path.write_bytes(b"\0" * 64)
    for loaded in [m for m in sys.modules if m.split(".")[0] == module] or [module]:
        monkeypatch.setitem(sys.modules, loaded, None)  # None makes the import fail
    package = "pypcd4" if module == "lzf" else module
    needs = rf"needs the {package} package: pip install 'tarvic\[io\]'"
    with pytest.raises(io.CloudFileError, match=needs) as info:
        io.read(path) if action == "read" else io.write(tmp_path / f"new{path.suffix}", np.ones((2, 3)))
    assert isinstance(info.value.__cause__, ImportError)
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("module", ["plyfile", "pypcd4"])
def test_ply_and_pcd_read_without_their_packages(tmp_path, monkeypatch, module):
    cloud = awkward_cloud()
    for name in ("c.ply", "c.pcd"):
        io.write(tmp_path / name, cloud)
    for loaded in [m for m in sys.modules if m.split(".")[0] == module] or [module]:
        monkeypatch.setitem(sys.modules, loaded, None)
    for name in ("c.ply", "c.pcd"):
        np.testing.assert_array_equal(bits(io.read(tmp_path / name)), bits(cloud))


@pytest.mark.parametrize("action", ["read", "write"])
def test_laz_without_backend(tmp_path, monkeypatch, action):
    laspy = pytest.importorskip("laspy")
    monkeypatch.setattr(laspy.LazBackend, "detect_available", classmethod(lambda cls: ()))
    (tmp_path / "c.laz").write_bytes(b"LASF" + bytes(400))
    with pytest.raises(io.CloudFileError, match="LAZ backend for laspy: pip install lazrs"):
        io.read(tmp_path / "c.laz") if action == "read" else io.write(tmp_path / "n.laz", np.ones((1, 3)))
    assert os.listdir(tmp_path) == ["c.laz"]


@pytest.mark.parametrize("failure", [OSError(errno.ENOSPC, "No space left on device"), KeyboardInterrupt()])
@pytest.mark.parametrize("name, binary", [("c.csv", True), ("c.ply", False)])
@pytest.mark.parametrize("existing", [False, True])
def test_failed_write_leaves_no_trace(tmp_path, monkeypatch, failure, name, binary, existing):
    path = tmp_path / name
    if existing:
        path.write_bytes(b"old")

    def fail_half_way(out, cloud, sep):
        out.write(b"1 2 3\n" * 1000)
        raise failure

    monkeypatch.setattr(io, "_write_rows", fail_half_way)
    with pytest.raises(io.CloudFileError if isinstance(failure, OSError) else KeyboardInterrupt) as info:
        io.write(path, np.ones((5, 3)), binary=binary)
    if isinstance(failure, OSError):
        assert info.value.path == str(path) and "no space" in info.value.reason
    assert os.listdir(tmp_path) == ([name] if existing else [])
    if existing:
        assert path.read_bytes() == b"old"


def test_atomic_output_replaces_only_on_success(tmp_path):
    path = tmp_path / "out.json"
    path.write_text("old")
    with pytest.raises(RuntimeError, match="late"):
        with io._atomic_output(path) as temporary:
            assert os.path.dirname(temporary) == str(tmp_path)
            with open(temporary, "w") as f:
                f.write("partial")
            raise RuntimeError("late")
    assert os.listdir(tmp_path) == ["out.json"] and path.read_text() == "old"
    with io._atomic_output(str(path)) as temporary:
        with open(temporary, "w") as f:
            f.write("new")
    assert os.listdir(tmp_path) == ["out.json"] and path.read_text() == "new"


def test_written_file_modes(tmp_path):
    old = os.umask(0o027)
    try:
        io.write(tmp_path / "new.npy", np.ones((1, 3)))
        (tmp_path / "kept.npy").touch()
        os.chmod(tmp_path / "kept.npy", 0o604)
        io.write(tmp_path / "kept.npy", np.ones((1, 3)))
    finally:
        os.umask(old)
    assert (tmp_path / "new.npy").stat().st_mode & 0o777 == 0o640
    assert (tmp_path / "kept.npy").stat().st_mode & 0o777 == 0o604
    np.testing.assert_array_equal(io.read(tmp_path / "kept.npy"), np.ones((1, 3)))


def test_write_through_symlink_keeps_the_link(tmp_path):
    (tmp_path / "real.xyz").write_text("old")
    (tmp_path / "link.xyz").symlink_to("real.xyz")
    io.write(tmp_path / "link.xyz", [[1, 2, 3]])
    assert (tmp_path / "link.xyz").is_symlink()
    np.testing.assert_array_equal(io.read(tmp_path / "real.xyz"), [[1, 2, 3]])


@pytest.mark.parametrize(
    "where, fragment",
    [("missing/c.ply", "no such file or directory"),
     pytest.param("locked/c.ply", "permission denied",
                  marks=pytest.mark.skipif(AS_ROOT, reason="root ignores file permissions"))],
)
def test_write_where_no_file_can_be_created(tmp_path, where, fragment):
    (tmp_path / "locked").mkdir(mode=0o500)
    with pytest.raises(io.CloudFileError) as info:
        io.write(tmp_path / where, np.ones((1, 3)))
    assert info.value.path == str(tmp_path / where) and fragment in info.value.reason


@pytest.mark.parametrize(
    "points, fragment",
    [(np.zeros(3), "shape"), (np.zeros((4, 2)), "shape"), (np.zeros((0, 3)), "at least one"),
     ("abc", "real numbers"), ([["1", "2", "3"]], "real numbers"), ([[1, 2, 3], [4, 5]], "(N, 3)"),
     (np.zeros((2, 3), complex), "real numbers"), (np.zeros((2, 3), bool), "real numbers")],
)
@pytest.mark.parametrize("name", ["c.npy", "c.xyz"])
def test_write_rejects_bad_points(tmp_path, points, fragment, name):
    with pytest.raises(ValueError, match="points") as info:
        io.write(tmp_path / name, points)
    assert not isinstance(info.value, io.CloudFileError) and fragment in str(info.value)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_las_rejects_non_finite_points(tmp_path, bad):
    with pytest.raises(ValueError, match="points must be finite"):
        io.write(tmp_path / "c.las", [[0.0, bad, 1.0]])
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "relative, shape",
    [("probreg/horse.ply", (48485, 3)), ("probreg/cloud_0.pcd", (6535, 3)), ("probreg/bunny.pcd", (397, 3)),
     ("probreg/bunny-x.txt", (8171, 3)), ("pycpd/bunny_source.txt", (453, 3)),
     ("small_gicp/source.ply", (69792, 3))],
)
def test_real_files(relative, shape):
    path = DATA_ROOT / relative
    if not path.exists():
        pytest.skip(f"{path} not present")
    backend_or_skip(path, binary=False)
    points = io.read(path)
    assert points.shape == shape and np.isfinite(points).all()
    if path.suffix == ".ply":  # float32 on disk, compared with plyfile's own reading
        vertex = pytest.importorskip("plyfile").PlyData.read(str(path))["vertex"]
        np.testing.assert_array_equal(points, np.column_stack([vertex[a] for a in "xyz"]))
    elif path.name == "cloud_0.pcd":  # version 0.7: pypcd4 reads it too
        pc = pytest.importorskip("pypcd4").PointCloud.from_path(path)
        np.testing.assert_array_equal(points, pc.numpy(("x", "y", "z")))
    elif path.name == "bunny.pcd":
        np.testing.assert_array_equal(points, np.loadtxt(path, skiprows=10).astype(np.float32))
    else:
        np.testing.assert_array_equal(points, np.loadtxt(path))


def test_longest_file_name_can_be_written(tmp_path):
    # The temporary name beside it must not push past the file system's limit.
    name = tmp_path / ("p" * 251 + ".npy")
    io.write(name, np.ones((2, 3)))
    np.testing.assert_array_equal(io.read(name), np.ones((2, 3)))
    assert os.listdir(tmp_path) == [name.name]


def test_las_axis_narrower_than_the_smallest_double(tmp_path):
    backend_or_skip("c.las")
    cloud = np.array([[0.0, 1.0, 2.0], [5e-324, 3.0, 4.0]])
    io.write(tmp_path / "c.las", cloud)
    np.testing.assert_allclose(io.read(tmp_path / "c.las"), cloud, atol=1e-3)


# ----------------------------------------------------------------------------- no silent wrong data


@pytest.mark.parametrize(
    "name, content, fragment",
    [
        # A malformed first row is an error, not a header that silently drops the point.
        ("c.csv", b"1,2,3a\n4,5,6\n", "line 1: '3a' is not a number"),
        ("c.txt", b"1.5 2.5 -\n4 5 6\n", "line 1: '-' is not a number"),
        ("c.csv", b"1,,3\n4,5,6\n", "line 1: '' is not a number"),
        ("c.xyz", b"# scan\nx y 3\n4 5 6\n", "line 2: 'x' is not a number"),
        # PCD: counts and sizes below one, a field named twice, a size the count contradicts.
        ("c.pcd", b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 -1 1\nWIDTH 1\nPOINTS 1\nDATA ascii\n1 2 3\n",
         "COUNT values must be at least 1"),
        ("c.pcd", b"FIELDS x y z\nSIZE 4 0 4\nTYPE F F F\nWIDTH 1\nPOINTS 1\nDATA ascii\n1 2 3\n",
         "SIZE values must be at least 1"),
        ("c.pcd", b"FIELDS x y x z\nSIZE 4 4 4 4\nTYPE F F F F\nWIDTH 1\nPOINTS 1\nDATA ascii\n1 2 3 4\n",
         "names the field 'x' 2 times"),
        ("c.pcd", b"FIELDS x y x z\nSIZE 4 4 4 4\nTYPE F F F F\nWIDTH 1\nPOINTS 1\nDATA binary\n" + bytes(16),
         "names the field 'x' 2 times"),
        ("c.pcd", b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 2\nHEIGHT 2\nPOINTS 1\nDATA ascii\n1 2 3\n",
         "WIDTH x HEIGHT (2 x 2) differs from its POINTS (1)"),
        ("c.pcd", b"FIELDS x y z\nSIZE 4 4 3\nTYPE F F F\nWIDTH 1\nPOINTS 1\nDATA binary\n" + bytes(11),
         "unsupported TYPE F with SIZE 3"),
        ("c.pcd", b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 1\nPOINTS 1\nDATA ascii\n1 2 3\n4 5 6\n",
         "declares 1 points but the file has more"),
        # PLY: rows beyond those declared.
        ("c.ply", _ply(b"1 2 3\n4 5 6\n", fmt="ascii", count=1), "has 1 more row than its header declares"),
        ("c.ply", _ply(np.zeros(6, "<f4").tobytes(), count=1), "12 bytes past the end of the 1 vertex rows"),
        ("c.ply", _ply(b"1 2 3\n", fmt="ascii", count=1).replace(b"end_header", b"element face 2\n"
                   b"property list uchar int vertex_indices\nend_header") + b"3 0 0 0\n", "ends before its face"),
        ("c.ply", _ply(b"1 2 3 4\n", fmt="ascii", count=1), "line 8 has 4 columns but its vertex element has 3"),
        ("c.ply", _ply(b"", props="xyx"), "has 2 x properties"),
        ("c.ply", b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty list uchar float x\n"
                  b"property float y\nproperty float z\nend_header\n" + bytes(9), "vertex property x is not a number"),
        ("c.ply", b"plyx\n" + bytes(100), "does not start with 'ply'"),
        ("c.ply", _ply(b"").replace(b"format binary_little_endian 1.0", b"format binary_middle_endian 1.0"),
         "unsupported format"),
        ("c.ply", _ply(b"").replace(b"element vertex 3", b"element vertex 3e2"), "malformed element line"),
    ],
)
def test_inconsistent_files_are_refused(tmp_path, name, content, fragment):
    (tmp_path / name).write_bytes(content)
    _expect_error(tmp_path / name, fragment)


def test_pcd_padding_fields_may_repeat(tmp_path):
    header = b"FIELDS x _ y _ z\nSIZE 4 4 4 4 4\nTYPE F F F F F\nCOUNT 1 1 1 1 1\nWIDTH 2\nPOINTS 2\nDATA "
    rows = np.array([[1.5, 9, 2, 9, 3], [4, 9, 5, 9, 6.25]], "<f4")
    (tmp_path / "a.pcd").write_bytes(header + b"ascii\n" + b"1.5 9 2 9 3\n4 9 5 9 6.25\n")
    (tmp_path / "b.pcd").write_bytes(header + b"binary\n" + rows.tobytes())
    for name in ("a.pcd", "b.pcd"):
        np.testing.assert_array_equal(io.read(tmp_path / name), [[1.5, 2, 3], [4, 5, 6.25]])


def _ply_with_lists(text, byte_order, lengths, faces_first):
    """A PLY whose vertices carry list properties of the given lengths (around x, y, z of three
    types), and as many faces of those lengths; written by hand, as plyfile writes the scalars
    of such elements in the machine's byte order whatever the header says."""
    import struct

    rng = np.random.default_rng(4)
    n = len(lengths)
    xyz = np.column_stack([rng.normal(size=n).astype(np.float32), rng.normal(size=n), rng.integers(-9, 9, n)])
    vertex_rows, face_rows = [], []
    for (x, y, z), length in zip(xyz, lengths):
        if text:
            vertex_rows.append(f"{length} {' '.join(['7'] * length)} {float(x)!r} {float(y)!r} {int(z)} {length}"
                               f"{' 1.5' * length}\n".encode())
            face_rows.append(f"{length}{' 0' * length}\n".encode())
        else:
            o = byte_order
            vertex_rows.append(struct.pack(f"{o}B{length}BfdhB{length}f", length, *[7] * length, x, y, int(z),
                                           length, *[1.5] * length))
            face_rows.append(struct.pack(f"{o}B{length}i", length, *[0] * length))
    vertex = (f"element vertex {n}\nproperty list uchar uchar tag\nproperty float x\nproperty double y\n"
              "property short z\nproperty list uchar float extra\n").encode()
    face = f"element face {n}\nproperty list uchar int vertex_indices\n".encode()
    fmt = "ascii" if text else {"<": "binary_little_endian", ">": "binary_big_endian"}[byte_order]
    parts = [(face, face_rows), (vertex, vertex_rows)] if faces_first else [(vertex, vertex_rows), (face, face_rows)]
    data = (f"ply\nformat {fmt} 1.0\n".encode() + b"".join(h for h, _ in parts) + b"end_header\n"
            + b"".join(b"".join(rows) for _, rows in parts))
    return data, xyz


@pytest.mark.parametrize("lengths", [[3] * 40, [3, 4, 0, 5] * 10], ids=["uniform", "varying"])
@pytest.mark.parametrize("faces_first", [False, True])
@pytest.mark.parametrize("text, byte_order", [(False, "<"), (False, ">"), (True, "")])
def test_ply_list_properties_are_walked_not_parsed(tmp_path, lengths, faces_first, text, byte_order):
    data, xyz = _ply_with_lists(text, byte_order, lengths, faces_first)
    (tmp_path / "c.ply").write_bytes(data)
    np.testing.assert_array_equal(io.read(tmp_path / "c.ply"), xyz)
    if importlib.util.find_spec("plyfile") and byte_order == "<":  # agrees with the reading of record
        vertex = __import__("plyfile").PlyData.read(str(tmp_path / "c.ply"))["vertex"]
        np.testing.assert_array_equal(np.column_stack([vertex[a] for a in "xyz"]), xyz)


@pytest.mark.parametrize("text", [False, True])
def test_ply_list_rows_cut_short_are_truncated(tmp_path, text):
    data, _ = _ply_with_lists(text, "<", [3, 4, 0, 5] * 10, faces_first=True)  # vertices last
    # Text loses its last two rows, binary 30 bytes.
    (tmp_path / "c.ply").write_bytes(data[: data[:-1].rfind(b"\n", 0, -1) + 1] if text else data[:-30])
    _expect_error(tmp_path / "c.ply", "truncated")


# ----------------------------------------------------------------------------- what a path may be


def test_nul_byte_in_a_path(tmp_path):
    with pytest.raises(io.CloudFileError, match="NUL byte"):
        io.read(str(tmp_path / "a\0b.xyz"))
    with pytest.raises(io.CloudFileError, match="NUL byte"):
        io.write(str(tmp_path / "a\0b.xyz"), np.ones((1, 3)))


def test_special_files_are_not_read(tmp_path):
    os.mkfifo(tmp_path / "p.xyz")  # reading it would block until a writer came
    _expect_error(tmp_path / "p.xyz", "is not a regular file but a pipe")


def _special_outputs(tmp_path):
    """(path, kind) of special files a write must go into, never replace."""
    os.mkfifo(tmp_path / "fifo.xyz")
    made = [(tmp_path / "fifo.xyz", stat.S_ISFIFO)]
    try:  # a null device of our own: a regression replaces it, not the machine's /dev/null
        os.mknod(tmp_path / "null.xyz", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        made.append((tmp_path / "null.xyz", stat.S_ISCHR))
    except (PermissionError, AttributeError, OSError):
        pass
    return made


def test_special_files_are_written_into_not_replaced(tmp_path):
    import threading

    for path, kind in _special_outputs(tmp_path):
        got = []
        if kind is stat.S_ISFIFO:
            reader = threading.Thread(target=lambda: got.append(open(path, "rb").read()), daemon=True)
            reader.start()
        io.write(path, [[1.5, 2, 3]])
        if kind is stat.S_ISFIFO:
            reader.join(10)
            assert got == [b"1.5 2.0 3.0\n"]
        assert kind(os.lstat(path).st_mode), path
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]


def test_sockets_are_refused_as_outputs(tmp_path):
    import socket

    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(tmp_path / "s.xyz"))
        with pytest.raises(io.CloudFileError, match="is a socket; only regular files"):
            io.write(tmp_path / "s.xyz", [[1, 2, 3]])
    assert os.listdir(tmp_path) == ["s.xyz"]


def test_name_longer_than_the_file_system_allows(tmp_path):
    with pytest.raises(io.CloudFileError, match="file name too long"):
        io.write(tmp_path / ("p" * 256 + ".npy"), np.ones((2, 3)))
    assert os.listdir(tmp_path) == []
