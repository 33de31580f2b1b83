"""Reading and writing point-cloud files; the format follows the file extension (any case).

`read(path)` returns an (N, 3) float64 array of x, y, z; `write(path, points)` stores one.

==============  ======================================================================
extension       what is read / written
==============  ======================================================================
``.ply``        The ``vertex`` element's x, y, z properties, of any numeric type, from
                ASCII, binary little- or big-endian files. Other vertex properties
                (colour, normals, confidence, ...) and other elements (faces, edges)
                are ignored. Written as ``double`` properties, binary little-endian
                (``binary=False``: ASCII).
``.pcd``        Fields x, y, z of any numeric type from ascii files of any header
                version (the old ``.5`` ones too) and binary or binary_compressed files
                of version 0.7. Extra fields are ignored. Written as ``TYPE F SIZE 8``
                fields, binary (``binary=False``: ascii).
``.las``        The scaled x, y, z coordinates; every other point attribute is ignored.
``.laz``        The same, compressed (needs a LAZ backend for laspy: ``lazrs``).
``.xyz``        Text, one point per line, separated by whitespace (tabs included) or
``.txt``        commas, whichever the first data line uses. Lines starting with ``#``
``.csv``        are comments. A first non-numeric line is a header: when it names x, y
                and z columns (any case) those columns are read, otherwise the first
                three; extra columns (``x y z r g b``) are ignored. Written with the
                shortest text that reads back to the same float64; ``.csv`` files
                comma-separated under an ``x,y,z`` header, the others
                space-separated without one.
``.npy``        A 2-D (N, 3) array of real numbers (read with pickles disallowed).
==============  ======================================================================

Values come back as stored: NaN rows (organised PCD clouds mark missing points so) are
kept for the caller to decide about.

Every format but LAS/LAZ round-trips float64 coordinates bit for bit. LAS stores each
coordinate as a 32-bit integer times a scale plus an offset; `write` picks, per axis, the
midpoint of the data as offset and the smallest power of ten as scale that keeps every
integer in range, so each coordinate is off by at most scale / 2 (plus float64 rounding):
5e-9 for a cloud 5 units across, 5e-4 for one 1e6 units across. It is the only lossy
format, and cannot store NaN or infinity.

Any failure to read or write a file raises `CloudFileError` (a `ValueError`), naming the
file and the reason. Bad `points` given to `write` raise a plain `ValueError`.

Reading PLY, binary PCD, LAS and LAZ files needs optional packages:
``pip install 'tarvic[io]'`` installs plyfile, pypcd4 and laspy, and LAZ also needs a
laspy backend, ``pip install lazrs``; writing LAS and LAZ needs the same. Text, NPY and
ascii PCD files need only NumPy, and so does writing PLY and PCD files.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["CloudFileError", "SUFFIXES", "read", "write"]

SUFFIXES = (".ply", ".pcd", ".las", ".laz", ".xyz", ".txt", ".csv", ".npy")

class CloudFileError(ValueError):
    """A point-cloud file could not be read or written; `path` says which, `reason` why."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def read(path: str | os.PathLike[str]) -> NDArray[np.float64]:
    """Read the points of a cloud file as a new (N, 3) float64 array, N >= 1.

    The format follows the extension (see `SUFFIXES` and the module help): PLY vertex
    x, y, z; PCD fields x, y, z; LAS/LAZ scaled coordinates; text columns; NPY arrays.
    Other attributes are ignored; NaN rows are returned as stored.

    Raises CloudFileError for a missing or unreadable file, an unsupported extension,
    content that is corrupt, truncated, empty or not 3-D, or a missing optional package.
    """
    name = os.fspath(path)
    suffix = _suffix(name)
    try:
        info = os.stat(name)
        if stat.S_ISDIR(info.st_mode):
            raise CloudFileError(name, "is a directory")
        if info.st_size == 0:
            raise CloudFileError(name, "is empty (0 bytes)")
        points = _READERS[suffix](name)
    except OSError as exc:
        raise CloudFileError(name, _os_reason(exc)) from exc
    if points.shape[0] == 0:
        raise CloudFileError(name, "has no points")
    return points


def write(path: str | os.PathLike[str], points: ArrayLike, *, binary: bool = True) -> None:
    """Write an (N, 3) array of real numbers, N >= 1, as a cloud file.

    The format follows the extension (see `SUFFIXES`). Coordinates are stored as float64
    and read back bit for bit, except in LAS/LAZ, which rounds them to a power-of-ten
    grid (error at most scale / 2; see the module help). `binary` picks binary (the
    default) or ASCII encoding for PLY and PCD and is ignored by the other formats.

    The file appears complete or not at all: it is written beside the destination under
    a temporary name, synced, and renamed over it, so a failure leaves any previous file
    as it was. A new file gets the permissions a plain open() would give it; a replaced
    one keeps its mode.

    Raises ValueError for bad `points` (wrong shape, no points, not real numbers, or
    non-finite values for LAS/LAZ), and CloudFileError for an unsupported extension, a
    missing optional package, or an error creating or writing the file.
    """
    name = os.fspath(path)
    save = _prepare_write(name, points, binary)
    with _atomic_output(name) as temporary:
        save(temporary)


def _prepare_write(name: str, points: ArrayLike, binary: bool) -> Callable[[str], None]:
    """Check a write of `points` to `name` (format, optional package, points) and return the
    function that writes the file, in that format, to any path (a temporary one); its OSErrors
    become CloudFileError naming `name`."""
    suffix = _suffix(name)
    cloud = _check_points(points)
    if suffix in (".las", ".laz") and not np.isfinite(cloud).all():
        raise ValueError("points must be finite to be stored in a LAS/LAZ file")
    if os.path.isdir(name):
        raise CloudFileError(name, "is a directory")
    writer = _writer(name, suffix, binary)

    def save(temporary: str) -> None:
        try:
            writer(temporary, cloud)
        except OSError as exc:
            raise CloudFileError(name, _os_reason(exc)) from exc

    return save


# ----------------------------------------------------------------------------- helpers


def _suffix(name: str) -> str:
    suffix = os.path.splitext(name)[1].lower()
    if suffix not in SUFFIXES:
        what = f"unsupported file extension {suffix!r}" if suffix else "no file extension"
        raise CloudFileError(name, f"{what}; supported: {', '.join(SUFFIXES)}")
    return suffix


def _os_reason(exc: OSError) -> str:
    return (exc.strerror or str(exc)).lower()


@contextlib.contextmanager
def _needs(package: str, path: str, verb: str, suffix: str) -> Iterator[None]:
    """Turn the ImportError of an optional backend into a CloudFileError saying what to install."""
    try:
        yield
    except ImportError as exc:
        raise CloudFileError(
            path, f"{verb} {suffix} files needs the {package} package: pip install 'tarvic[io]'"
        ) from exc


def _check_points(points: ArrayLike) -> NDArray[np.float64]:
    try:
        array = np.asarray(points)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"points must be an (N, 3) array of real numbers: {exc}") from exc
    if array.dtype.kind not in "iuf":
        raise ValueError(f"points must hold real numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"points must have shape (N, 3), not {array.shape}")
    if array.shape[0] == 0:
        raise ValueError("points must hold at least one point")
    return np.ascontiguousarray(array, dtype=np.float64)


def _as_cloud(columns: Sequence[ArrayLike], count: int) -> NDArray[np.float64]:
    """A new C-ordered, native float64 (count, 3) array from three columns of any dtype."""
    out = np.empty((count, 3), dtype=np.float64)
    for i, column in enumerate(columns):
        out[:, i] = column
    return out


def _numeric(dtype: np.dtype[Any]) -> bool:
    return dtype.kind in "iuf"


# ----------------------------------------------------------------------------- PLY


def _read_ply(path: str) -> NDArray[np.float64]:
    with _needs("plyfile", path, "reading", ".ply"):
        import plyfile
    try:
        # Memory mapping is plyfile's fast path for binary elements without lists (vertices,
        # usually); it also checks their declared size against the file before allocating.
        data = plyfile.PlyData.read(path, mmap="c")
    except OSError:
        raise
    except Exception as exc:  # plyfile raises a variety of errors for malformed input
        raise CloudFileError(path, f"not a valid PLY file ({exc})") from exc
    if "vertex" not in data:
        raise CloudFileError(path, "has no vertex element")
    vertex = data["vertex"].data
    names = vertex.dtype.names or ()
    if not all(axis in names for axis in "xyz"):
        raise CloudFileError(path, "has no x, y, z properties on its vertex element")
    for axis in "xyz":
        if not _numeric(vertex.dtype[axis]):
            raise CloudFileError(path, f"vertex property {axis} is not a number")
    return _as_cloud([vertex[axis] for axis in "xyz"], len(vertex))


def _write_ply(path: str, cloud: NDArray[np.float64], binary: bool) -> None:
    encoding = "binary_little_endian" if binary else "ascii"
    header = (
        f"ply\nformat {encoding} 1.0\ncomment written by tarvic\nelement vertex {len(cloud)}\n"
        "property double x\nproperty double y\nproperty double z\nend_header\n"
    )
    _write_header_and_rows(path, header, cloud, binary)


# ----------------------------------------------------------------------------- PCD


class _PcdHeader:
    """The parts of a PCD header needed to locate x, y, z and check the data's size."""

    def __init__(self, path: str, lines: list[str], data_offset: int) -> None:
        entries: dict[str, list[str]] = {}
        for line in lines:
            key, *values = line.split()
            entries[key.upper()] = values

        def ints(key: str, default: list[int] | None = None) -> list[int]:
            if key not in entries:
                if default is None:
                    raise CloudFileError(path, f"PCD header has no {key} line")
                return default
            try:
                values = [int(v) for v in entries[key]]
            except ValueError as exc:
                raise CloudFileError(path, f"PCD header has a malformed {key} line") from exc
            if not values:
                raise CloudFileError(path, f"PCD header's {key} line has no value")
            return values

        self.fields = entries.get("FIELDS", [])
        if not self.fields:
            raise CloudFileError(path, "PCD header has no FIELDS line")
        self.sizes = ints("SIZE")
        self.types = [t.upper() for t in entries.get("TYPE", [])]
        self.counts = ints("COUNT", [1] * len(self.fields))
        if not len(self.fields) == len(self.sizes) == len(self.types) == len(self.counts):
            raise CloudFileError(path, "PCD header's FIELDS, SIZE, TYPE and COUNT lengths differ")
        # POINTS came late to the format; older headers only give WIDTH x HEIGHT.
        width = ints("WIDTH", [0])[0]
        height = ints("HEIGHT", [1])[0]
        self.points = ints("POINTS", [width * height])[0]
        if self.points < 0:
            raise CloudFileError(path, "PCD header declares a negative number of points")
        self.data = entries["DATA"][0].lower() if entries.get("DATA") else ""
        self.data_offset = data_offset
        self.itemsize = sum(s * c for s, c in zip(self.sizes, self.counts))

        if not all(axis in self.fields for axis in "xyz"):
            raise CloudFileError(path, "has no x, y, z fields")
        self.indices = [self.fields.index(axis) for axis in "xyz"]
        for i in self.indices:
            if self.counts[i] != 1:
                reason = f"PCD field {self.fields[i]} has COUNT {self.counts[i]}; expected 1"
                raise CloudFileError(path, reason)
        # Where x, y, z sit among the ascii columns: fields with COUNT > 1 take several.
        self.columns = [sum(self.counts[:i]) for i in self.indices]


def _pcd_header(path: str, blob: bytes) -> _PcdHeader:
    lines: list[str] = []
    offset = 0
    # A real header is a dozen short lines; the bounds keep garbage from being scanned whole.
    while offset < len(blob) and len(lines) < 64:
        end = blob.find(b"\n", offset, offset + 4096)
        if end < 0:
            break
        line = blob[offset:end].decode("ascii", "replace").strip()
        offset = end + 1
        if not line or line.startswith("#"):
            continue
        lines.append(line)
        if line.upper().startswith("DATA"):
            return _PcdHeader(path, lines, offset)
    raise CloudFileError(path, "not a PCD file (no DATA line in its header)")


def _read_pcd(path: str) -> NDArray[np.float64]:
    with open(path, "rb") as f:
        blob = f.read()
    header = _pcd_header(path, blob)
    if header.points == 0:
        raise CloudFileError(path, "has no points")
    available = len(blob) - header.data_offset
    if header.data == "ascii":
        # Parsed here: pypcd4 rejects headers older than version 0.7 (bunny.pcd is ".5"),
        # and splits ascii rows on single spaces only.
        text = blob[header.data_offset :].decode("utf-8", "replace").splitlines()
        rows = sum(1 for line in text if line.strip())
        table = _parse_table(path, text, 0, None, comments=None) if rows else np.empty((0, 0))
        if rows != header.points:
            raise CloudFileError(path, f"PCD header declares {header.points} points but the file has {rows}")
        if table.shape[1] != sum(header.counts):
            raise CloudFileError(
                path,
                f"PCD header declares {sum(header.counts)} values a point but rows have {table.shape[1]}",
            )
        # Rounded to the declared type, as a binary file of the same cloud would hold it.
        single = [header.types[i] == "F" and header.sizes[i] == 4 for i in header.indices]
        columns = [table[:, c].astype(np.float32) if f4 else table[:, c]
                   for f4, c in zip(single, header.columns)]
        return _as_cloud(columns, header.points)
    if header.data in ("binary", "binary_compressed", "binaryscompressed"):
        # Checked before pypcd4 sees the file: it would silently return fewer points from a
        # truncated binary file, and allocate whatever a corrupt header asks for.
        needed = header.points * header.itemsize
        if header.data == "binary" and available < needed:
            raise CloudFileError(
                path, f"truncated: {header.points} points need {needed} bytes of data, found {available}"
            )
        if header.data != "binary":
            if available < 8:
                raise CloudFileError(path, "truncated: compressed data has no size header")
            packed, unpacked = np.frombuffer(blob, "<u4", 2, header.data_offset)
            if packed > available - 8 or unpacked != needed:
                raise CloudFileError(path, "truncated or corrupt compressed data")
        return _read_pcd_binary(path, header)
    raise CloudFileError(path, f"unknown PCD data encoding {header.data!r}")


def _read_pcd_binary(path: str, header: _PcdHeader) -> NDArray[np.float64]:
    with _needs("pypcd4", path, "reading", "binary .pcd"):
        from pypcd4.pypcd4 import PointCloud
    try:
        data = PointCloud.from_path(path).pc_data
    except OSError:
        raise
    except Exception as exc:  # pypcd4 raises validation, decompression and numpy errors
        raise CloudFileError(path, f"not a valid PCD file ({exc})") from exc
    if len(data) != header.points:
        raise CloudFileError(path, f"PCD header declares {header.points} points but found {len(data)}")
    return _as_cloud([data[axis] for axis in "xyz"], len(data))


def _write_pcd(path: str, cloud: NDArray[np.float64], binary: bool) -> None:
    n = len(cloud)
    header = (
        "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 8 8 8\n"
        f"TYPE F F F\nCOUNT 1 1 1\nWIDTH {n}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS {n}\n"
        f"DATA {'binary' if binary else 'ascii'}\n"
    )
    _write_header_and_rows(path, header, cloud, binary)


def _write_header_and_rows(path: str, header: str, cloud: NDArray[np.float64], binary: bool) -> None:
    """PLY and PCD alike: an ASCII header, then little-endian float64 rows or text rows."""
    with open(path, "wb") as out:
        out.write(header.encode("ascii"))
        if binary:
            out.write(cloud.astype("<f8").tobytes())
        else:
            _write_rows(out, cloud, " ")


# ----------------------------------------------------------------------------- LAS / LAZ


def _laspy(path: str, verb: str) -> Any:
    suffix = os.path.splitext(path)[1].lower()
    with _needs("laspy", path, verb, suffix):
        import laspy
    if suffix == ".laz" and not laspy.LazBackend.detect_available():
        raise CloudFileError(path, f"{verb} .laz files needs a LAZ backend for laspy: pip install lazrs")
    return laspy


def _read_las(path: str) -> NDArray[np.float64]:
    laspy = _laspy(path, "reading")
    try:
        xyz = laspy.read(path).xyz
    except OSError:
        raise
    except Exception as exc:  # laspy raises its own and numpy's errors for bad input
        raise CloudFileError(path, f"not a valid LAS/LAZ file ({exc})") from exc
    return _as_cloud([xyz[:, i] for i in range(3)], len(xyz))


_INT32_LIMIT = 2**31 - 1


def _las_grid(values: NDArray[np.float64]) -> tuple[float, float, NDArray[np.int32]]:
    """Offset, power-of-ten scale and integers for one axis; the error is at most scale / 2."""
    lo, hi = float(values.min()), float(values.max())
    # Halves first so that ranges near the float64 limit do not overflow.
    offset = lo / 2 + hi / 2
    half_range = hi / 2 - lo / 2
    if half_range == 0:  # a constant axis is all offset (or too narrow to halve): millimetres
        return offset, 1e-3, np.rint((values - offset) / 1e-3).astype(np.int32)
    # The -300 floor keeps the scale a normal float64 for absurdly narrow ranges.
    exponent = max(int(np.ceil(np.log10(half_range / (_INT32_LIMIT - 1)))), -300)
    while True:
        scale = 10.0**exponent
        grid = np.rint((values - offset) / scale)
        if np.abs(grid).max() <= _INT32_LIMIT:
            return offset, scale, grid.astype(np.int32)
        exponent += 1  # rounding in log10 or the division pushed the extreme past int32


def _write_las(path: str, cloud: NDArray[np.float64], laspy: Any, compress: bool) -> None:
    grids = [_las_grid(cloud[:, i]) for i in range(3)]
    header = laspy.LasHeader(point_format=0, version="1.2")
    header.offsets = np.array([g[0] for g in grids])
    header.scales = np.array([g[1] for g in grids])
    las = laspy.LasData(header, laspy.ScaleAwarePointRecord.zeros(len(cloud), header=header))
    las.X, las.Y, las.Z = (g[2] for g in grids)
    las.update_header()
    with open(path, "wb") as out:
        las.write(out, do_compress=compress)


# ----------------------------------------------------------------------------- text


def _body(line: str) -> str:
    """The line without its comment (loadtxt also drops text after a "#")."""
    return line.split("#", 1)[0].strip()


def _split(line: str) -> list[str]:
    return line.split(",") if "," in line else line.split()


def _columns(count: int) -> str:
    return f"{count} column{'' if count == 1 else 's'}"


def _is_number(token: str) -> bool:
    try:
        float(token)
    except ValueError:
        return False
    return True


def _read_text(path: str) -> NDArray[np.float64]:
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8-sig", "replace").splitlines()
    first = next((i for i, line in enumerate(lines) if _body(line)), len(lines))
    if first == len(lines):
        raise CloudFileError(path, "has no points")
    columns: list[int] | None = None
    start = first
    tokens = _split(_body(lines[first]))
    if not all(_is_number(t) for t in tokens):
        start = first + 1
        # CloudCompare writes its header as "//X,Y,Z,...".
        names = [t.strip().strip("\"'").lstrip("/").lower() for t in tokens]
        if all(axis in names for axis in "xyz"):
            columns = [names.index(axis) for axis in "xyz"]
    data = next((i for i in range(start, len(lines)) if _body(lines[i])), len(lines))
    if data == len(lines):
        raise CloudFileError(path, "has no points")
    delimiter = "," if "," in _body(lines[data]) else None
    table = _parse_table(path, lines, data, delimiter, comments="#")
    width = table.shape[1]
    if columns is None:
        if width < 3:
            raise CloudFileError(path, f"has {_columns(width)}; expected x, y, z")
        columns = [0, 1, 2]
    elif max(columns) >= width:
        raise CloudFileError(path, f"its header names x, y, z columns but rows have only {width}")
    return _as_cloud([table[:, c] for c in columns], table.shape[0])


def _parse_table(
    path: str, lines: list[str], start: int, delimiter: str | None, comments: str | None
) -> NDArray[np.float64]:
    try:
        table: NDArray[np.float64] = np.loadtxt(
            lines[start:], dtype=np.float64, delimiter=delimiter, comments=comments, ndmin=2
        )
    except ValueError as exc:
        reason = _diagnose(lines, start, delimiter, comments) or f"malformed text ({exc})"
        raise CloudFileError(path, reason) from exc
    return table


def _diagnose(lines: list[str], start: int, delimiter: str | None, comments: str | None) -> str | None:
    """Name the line NumPy choked on; its own messages count rows, not lines."""
    width = first = 0
    for number, line in enumerate(lines[start:], start + 1):
        body = (line.split(comments, 1)[0] if comments else line).strip()
        if not body:
            continue
        tokens = body.split(delimiter)
        if not width:
            width, first = len(tokens), number
        elif len(tokens) != width:
            return f"line {number} has {_columns(len(tokens))} but line {first} has {width}"
        for token in tokens:
            if not _is_number(token):
                return f"line {number}: {token.strip()!r} is not a number"
    return None


def _write_rows(out: BinaryIO, cloud: NDArray[np.float64], sep: str) -> None:
    """Rows of shortest round-trip floats (Python's repr), written a block at a time."""
    for begin in range(0, len(cloud), 65536):
        rows = cloud[begin : begin + 65536].tolist()
        out.write("".join(f"{x!r}{sep}{y!r}{sep}{z!r}\n" for x, y, z in rows).encode("ascii"))


def _write_text(path: str, cloud: NDArray[np.float64], csv: bool) -> None:
    with open(path, "wb") as out:
        if csv:
            out.write(b"x,y,z\n")
        _write_rows(out, cloud, "," if csv else " ")


# ----------------------------------------------------------------------------- NPY


def _read_npy(path: str) -> NDArray[np.float64]:
    fmt = np.lib.format
    with open(path, "rb") as f:
        if f.read(6) != b"\x93NUMPY":
            raise CloudFileError(path, "not a NumPy .npy file")
        f.seek(0)
        # The header is checked before any data is read: no pickles, and no allocation of
        # whatever size a corrupt header declares.
        try:
            version = fmt.read_magic(f)
            if version not in ((1, 0), (2, 0)):  # 3.0 only adds unicode field names
                raise ValueError(f"unsupported version {version[0]}.{version[1]}")
            read_header = fmt.read_array_header_1_0 if version == (1, 0) else fmt.read_array_header_2_0
            shape, fortran, dtype = read_header(f)
        except ValueError as exc:
            raise CloudFileError(path, f"corrupt or unsupported .npy header ({exc})") from exc
        if not _numeric(dtype):
            raise CloudFileError(path, f"holds {dtype} values; expected real numbers")
        if len(shape) != 2 or shape[1] != 3 or shape[0] < 0:
            raise CloudFileError(path, f"holds an array of shape {shape}; expected (N, 3)")
        needed = shape[0] * 3 * dtype.itemsize
        available = os.fstat(f.fileno()).st_size - f.tell()
        if available < needed:
            reason = f"truncated: {shape[0]} points need {needed} bytes of data, found {available}"
            raise CloudFileError(path, reason)
        data = f.read(needed)
    array = np.frombuffer(data, dtype).reshape(shape, order="F" if fortran else "C")
    return np.array(array, dtype=np.float64, order="C")


def _write_npy(path: str, cloud: NDArray[np.float64]) -> None:
    # An open file: given a name, np.save would append ".npy" to the temporary one.
    with open(path, "wb") as out:
        np.save(out, cloud, allow_pickle=False)


# ----------------------------------------------------------------------------- dispatch


_READERS: dict[str, Callable[[str], NDArray[np.float64]]] = {
    ".ply": _read_ply,
    ".pcd": _read_pcd,
    ".las": _read_las,
    ".laz": _read_las,
    ".xyz": _read_text,
    ".txt": _read_text,
    ".csv": _read_text,
    ".npy": _read_npy,
}


def _writer(path: str, suffix: str, binary: bool) -> Callable[[str, NDArray[np.float64]], None]:
    """The writer for `suffix`; its optional package is imported now, before any file exists."""
    if suffix == ".ply":
        return lambda out, cloud: _write_ply(out, cloud, binary)
    if suffix == ".pcd":
        return lambda out, cloud: _write_pcd(out, cloud, binary)
    if suffix in (".las", ".laz"):
        laspy = _laspy(path, "writing")
        return lambda out, cloud: _write_las(out, cloud, laspy, suffix == ".laz")
    if suffix == ".npy":
        return lambda out, cloud: _write_npy(out, cloud)
    return lambda out, cloud: _write_text(out, cloud, suffix == ".csv")


# ----------------------------------------------------------------------------- atomic output


def _temporary_beside(shown: str, target: str) -> str:
    """Create an empty temporary file next to `target`, with the mode open() would give it.

    tempfile.mkstemp would make it 0600; creating it with 0666 lets the umask (and any
    default ACL) decide, exactly as for a plain open().
    """
    if os.path.exists(target) and not os.access(target, os.W_OK):
        # The rename would replace it anyway; open() would refuse, and so do we.
        raise CloudFileError(shown, "permission denied (the file is read-only)")
    directory, base = os.path.split(target)
    # The temporary name adds 18 characters; shorten it so that any name the file system
    # accepts for the destination still has room (most allow 255).
    base = base[:200]
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    for _ in range(100):
        candidate = os.path.join(directory, f".{base}.{secrets.token_hex(6)}.tmp")
        try:
            os.close(os.open(candidate, flags, 0o666))
        except FileExistsError:
            continue
        except OSError as exc:
            raise CloudFileError(
                shown, f"cannot create a file in {directory or '.'}: {_os_reason(exc)}"
            ) from exc
        return candidate
    raise CloudFileError(shown, f"cannot create a temporary file in {directory or '.'}")


@contextlib.contextmanager
def _atomic_output(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yield a temporary path beside `path`; on success it replaces `path`, on error it goes.

    The body writes the whole file to the yielded path (and closes it). Then the file is
    synced, given the mode of the file it replaces (if any), and renamed over `path` in one
    step, so readers see the old file or the new one, never a partial one. Any exception,
    KeyboardInterrupt included, removes the temporary file and propagates unchanged. A
    symbolic link at `path` is followed, as open() would. Failing to create, sync or
    rename the file raises CloudFileError naming `path`.
    """
    shown = os.fspath(path)
    target = os.path.realpath(shown)
    temporary = _temporary_beside(shown, target)
    try:
        yield temporary
        try:
            _commit(temporary, target)
        except OSError as exc:
            raise CloudFileError(shown, _os_reason(exc)) from exc
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _commit(temporary: str, target: str) -> None:
    # Synced before the chmod: a read-only mode copied from the old file would stop the open.
    fd = os.open(temporary, os.O_RDWR | getattr(os, "O_BINARY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    with contextlib.suppress(FileNotFoundError):
        os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
    os.replace(temporary, target)
    # Make the rename itself durable; not every platform can open a directory.
    with contextlib.suppress(OSError):
        fd = os.open(os.path.dirname(target) or ".", os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
