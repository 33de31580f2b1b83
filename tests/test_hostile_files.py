"""Hostile and careless cloud files: each is refused (or read) at once, in memory bounded by what
the file really holds, however large a count its header declares. Every read runs in a child
process under a time limit and an address-space cap."""
import importlib.util
import struct

import numpy as np
import pytest

from capped import AVAILABLE, SKIP_REASON, run_capped
from tarvic import io

pytestmark = pytest.mark.skipif(not AVAILABLE, reason=SKIP_REASON)

HAS_LASPY = importlib.util.find_spec("laspy") is not None
HAS_LAZ = HAS_LASPY and importlib.util.find_spec("lazrs") is not None
HAS_LZF = importlib.util.find_spec("lzf") is not None

READ = """
points = tarvic.io.read(sys.argv[2])
result = {"shape": list(points.shape), "sum": float(points.sum())}
"""


def read_capped(path, cap=256 << 20):
    return run_capped(READ, path, cap=cap)


def las_bytes(n=1000, version="1.2", compress=False):
    laspy = pytest.importorskip("laspy")
    import io as stdio

    header = laspy.LasHeader(point_format=0, version=version)
    las = laspy.LasData(header, laspy.ScaleAwarePointRecord.zeros(n, header=header))
    las.X = np.arange(n)
    las.Y = np.arange(n) * 7 % 1000
    las.update_header()
    out = stdio.BytesIO()
    las.write(out, do_compress=compress)
    return bytearray(out.getvalue())


def patched(data, offset, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, *values)
    return bytes(data)


PLY_XYZ = b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\nproperty float y\n" \
          b"property float z\n"


def pcd_header(points, data, fields="x y z"):
    n = len(fields.split())
    return (f"VERSION 0.7\nFIELDS {fields}\nSIZE{' 4' * n}\nTYPE{' F' * n}\nCOUNT{' 1' * n}\nWIDTH {points}\n"
            f"HEIGHT 1\nPOINTS {points}\nDATA {data}\n").encode()


def lzf_zeros(nbytes):
    return pytest.importorskip("lzf").compress(bytes(nbytes))


def sparse(size, head=b""):
    """A file of `size` bytes that takes no room on disk beyond `head`."""
    def make(path):
        with open(path, "wb") as f:
            f.write(head)
            f.truncate(size)
    return make


def content(make_bytes):
    def make(path):
        path.write_bytes(make_bytes())
    return make


def compressed_pcd(points, packed):
    return pcd_header(points, "binary_compressed") + struct.pack("<II", len(packed), points * 12) + packed


# name, how to make the file, what the refusal says (None: read, with that many points)
CASES = [
    ("vlr-count.las", content(lambda: patched(las_bytes(), 100, "<I", 0xFFFFFFFF)), "variable-length records"),
    ("evlr-count.las", content(lambda: patched(las_bytes(version="1.4"), 235, "<QI", 10**12, 0xFFFFFFFF)), 1000),
    ("point-count.las", content(lambda: patched(las_bytes(), 107, "<I", 150_000_000)),
     "truncated: its header declares 150000000 points, the file holds 1000"),
    ("half.las", content(lambda: bytes(las_bytes()[:-10000])), "truncated: its header declares 1000 points, the file holds 500"),
    ("offset.las", content(lambda: patched(las_bytes(), 96, "<I", 0xFFFFFFF0)), "truncated: its point data would start"),
    ("sparse-header.ply", sparse(2 * 10**9, b"ply\nformat ascii 1.0\ncomment "), "no end_header line in its first 1 MiB"),
    ("long-comment.ply", content(lambda: b"ply\nformat ascii 1.0\ncomment " + b"x" * (3 << 20) + b"\n"),
     "no end_header line in its first 1 MiB"),
    ("faces.ply", content(lambda: PLY_XYZ + b"element face 150000000\nproperty list uchar int vertex_indices\n"
                          b"end_header\n" + bytes(12) + b"\x03" + bytes(12)), "truncated: its header declares"),
    ("vertex-list.ply", content(lambda: PLY_XYZ.replace(b"vertex 1", b"vertex 150000000") +
                                b"property list uchar int extra\nend_header\n" + bytes(39)), "truncated"),
    ("zeros.pcd", sparse(2 * 10**9), "no DATA line"),
    ("long-line.pcd", content(lambda: b"VERSION 0.7\nFIELDS " + b"x" * (2 << 20)), "no DATA line"),
    ("points.pcd", content(lambda: pcd_header(10**8, "binary") + bytes(120)), "truncated: 100000000 points need"),
    ("ratio.pcd", content(lambda: compressed_pcd(10**8, lzf_zeros(10**6))), "cannot hold"),
    ("header-length.npy", content(lambda: b"\x93NUMPY\x02\x00" + struct.pack("<I", 0xFFFFFFF0) + b"x"),
     "truncated: its header declares 4294967280 bytes"),
    ("header-length1.npy", content(lambda: b"\x93NUMPY\x01\x00" + struct.pack("<H", 0xFFF0) + b"{}"),
     "truncated: its header declares 65520 bytes"),
    ("no-newline.xyz", sparse(2 * 10**9, b"1 2 3 "), "line 1 is longer than 4 MiB"),
]


@pytest.mark.parametrize("name, make, expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_file_is_refused_quickly_in_bounded_memory(tmp_path, name, make, expected):
    if name.endswith(".las"):
        pytest.importorskip("laspy")
    path = tmp_path / name
    make(path)
    r = read_capped(path)
    if isinstance(expected, int):
        assert r.get("shape") == [expected, 3], r
    else:
        assert r.get("error") == "CloudFileError" and expected in r["message"], r
    assert r["seconds"] < 5 and r["peak"] < 64 << 20, r


@pytest.mark.skipif(not HAS_LAZ, reason="lazrs not installed")
def test_laz_chunk_table_larger_than_the_file_is_refused(tmp_path):
    # The LAZ backend reserves room for every declared chunk and aborts the whole process
    # (no MemoryError) when it cannot.
    data = las_bytes(n=20000, compress=True)
    start = struct.unpack_from("<I", data, 96)[0]
    table = struct.unpack_from("<q", data, start)[0]
    (tmp_path / "c.laz").write_bytes(patched(data, table + 4, "<I", 0xFFFFFFFF))
    r = read_capped(tmp_path / "c.laz")
    assert r.get("error") == "CloudFileError" and "chunk table declares 4294967295 chunks" in r["message"], r
    (tmp_path / "n.laz").write_bytes(patched(data, 107, "<I", 150_000_000))  # more points than it holds
    r = read_capped(tmp_path / "n.laz")
    assert r.get("error") == "CloudFileError" and r["peak"] < 128 << 20, r


def test_points_that_do_not_fit_are_too_large_not_an_empty_reason(tmp_path):
    # 4 million points (96 MB as float64) under a 48 MiB cap.
    with open(tmp_path / "c.xyz", "wb") as f:
        f.write(b"1 2 3\n" * 4_000_000)
    r = read_capped(tmp_path / "c.xyz", cap=48 << 20)
    assert r.get("error") == "CloudFileError" and r["message"].endswith("too large to read into memory"), r


def write_cloud(path, n, rng):
    """A cloud of `n` points as the file type of `path` wants it, with extra attributes."""
    # On a grid of 1/64: compressible enough that pypcd4 keeps a binary_compressed file so.
    xyz = (np.round(rng.normal(size=(n, 3)) * 64) / 64).astype(np.float32)
    name = path.name
    if name.endswith(".npy"):
        np.save(path, xyz.astype(np.float64))
    elif name.endswith((".xyz", ".csv")):
        io.write(path, xyz)
    elif name.endswith(".pcd"):
        pypcd4 = pytest.importorskip("pypcd4")
        columns = [*xyz.T, np.zeros(n, np.float32)]
        pc = pypcd4.PointCloud.from_points(columns, ("x", "y", "z", "intensity"), (np.float32,) * 4)
        encoding = name.split(".")[0]
        if encoding == "binary_compressed":
            pytest.importorskip("lzf")
        pc.save(str(path), encoding=pypcd4.Encoding(encoding))
        assert f"DATA {encoding}".encode() in path.read_bytes()[:300]
    elif name.endswith(".ply"):
        plyfile = pytest.importorskip("plyfile")
        vertex = np.zeros(n, [("x", "f4"), ("y", "f4"), ("z", "f4"), ("red", "u1")])
        for j, axis in enumerate("xyz"):
            vertex[axis] = xyz[:, j]
        faces = np.zeros(n // 2, [("vertex_indices", "i4", (3,))])
        elements = [plyfile.PlyElement.describe(faces, "face", len_types={"vertex_indices": "u1"}),
                    plyfile.PlyElement.describe(vertex, "vertex")]
        plyfile.PlyData(elements, text=name.startswith("ascii")).write(str(path))
    else:
        if name.endswith(".laz") and not HAS_LAZ:
            pytest.skip("lazrs not installed")
        pytest.importorskip("laspy")
        io.write(path, xyz)
    return xyz.astype(np.float64)


@pytest.mark.parametrize("name", ["binary.pcd", "binary_compressed.pcd", "ascii.pcd", "binary.ply", "ascii.ply",
                                  "c.xyz", "c.csv", "c.npy", "c.las", "c.laz"])
def test_reading_needs_about_twice_the_points_plus_the_file(tmp_path, name):
    n = 1_000_000
    expected = write_cloud(tmp_path / name, n, np.random.default_rng(5))
    size = (tmp_path / name).stat().st_size
    r = read_capped(tmp_path / name, cap=2 << 30)
    assert r.get("shape") == [n, 3], r
    if not name.endswith((".las", ".laz")):  # rounded to the LAS grid
        assert r["sum"] == pytest.approx(float(expected.sum()), rel=1e-9, abs=1e-6)
    points = n * 24
    # Text and LAZ join their parts at the end; the rest fill the result directly.
    assert r["peak"] <= 2 * points + size + (24 << 20), (r, size)
