"""Reading and writing point-cloud files; the format follows the file extension (any case).

`read(path)` returns an (N, 3) float64 array of x, y, z; `write(path, points)` stores one.

==============  ======================================================================
extension       what is read / written
==============  ======================================================================
``.ply``        The ``vertex`` element's x, y, z properties, of any numeric type, from
                ASCII, binary little- or big-endian files. Other vertex properties
                (colour, normals, confidence, ...) and other elements (faces, edges)
                are ignored: they are skipped, never parsed. Written as ``double``
                properties, binary little-endian (``binary=False``: ASCII).
``.pcd``        Fields x, y, z of any numeric type from ascii files of any header
                version (the old ``.5`` ones too) and binary or binary_compressed files
                of version 0.7. Extra fields are ignored. Written as ``TYPE F SIZE 8``
                fields, binary (``binary=False``: ascii).
``.las``        The scaled x, y, z coordinates; every other point attribute is ignored.
``.laz``        The same, compressed (needs a LAZ backend for laspy: ``lazrs``).
``.xyz``        Text, one point per line, separated by whitespace (tabs included) or
``.txt``        commas, whichever the first data line uses. Lines starting with ``#``
``.csv``        are comments. A first line none of whose values is a number is a
                header: when it names x, y and z columns (any case) those columns are
                read, otherwise the first three; extra columns (``x y z r g b``) are
                ignored. Written with the shortest text that reads back to the same
                float64; ``.csv`` files comma-separated under an ``x,y,z`` header, the
                others space-separated without one.
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

Reading is bounded by the file, not by what its header claims: counts and sizes a header
declares are checked against the file's size before anything of that size is allocated,
headers are scanned up to 1 MiB, text is parsed a few MiB at a time (no line may exceed
4 MiB), and data is read in blocks straight into the result. A read needs about the
memory of the points it returns (twice that for text and LAZ files, whose point count is
only known at the end), plus, for binary_compressed PCD files, the decompressed data.

Any failure to read or write a file raises `CloudFileError` (a `ValueError`), naming the
file and the reason; a file whose points do not fit in memory is one ("too large to read
into memory"). Bad `points` given to `write` raise a plain `ValueError`.

Reading LAS and LAZ files needs laspy (``pip install 'tarvic[io]'``), and LAZ also a
laspy backend, ``pip install lazrs``; writing them needs the same. binary_compressed PCD
files need the ``lzf`` module that pypcd4 installs. Every other format, read or written,
needs only NumPy.
"""

from __future__ import annotations

import array
import contextlib
import dataclasses
import mmap
import os
import secrets
import shutil
import stat
import struct
import tempfile
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any, BinaryIO, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["CloudFileError", "SUFFIXES", "read", "write"]

SUFFIXES = (".ply", ".pcd", ".las", ".laz", ".xyz", ".txt", ".csv", ".npy")

# How far a PLY or PCD header is searched for its end; real ones are a few hundred bytes.
_HEADER_LIMIT = 1 << 20
# Text is parsed this many bytes at a time; a line must fit in one such block.
_BLOCK = 1 << 22


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

    Raises CloudFileError for a missing or unreadable file, one that is not a regular
    file, an unsupported extension, content that is corrupt, truncated, empty or not
    3-D, points that do not fit in memory, or a missing optional package.
    """
    name = os.fspath(path)
    _check_name(name)
    suffix = _suffix(name)
    try:
        info = os.stat(name)
        if stat.S_ISDIR(info.st_mode):
            raise CloudFileError(name, "is a directory")
        if not stat.S_ISREG(info.st_mode):
            raise CloudFileError(name, f"is not a regular file but {_kind(info.st_mode)}")
        if info.st_size == 0:
            raise CloudFileError(name, "is empty (0 bytes)")
        points = _READERS[suffix](name)
    except OSError as exc:
        raise CloudFileError(name, _os_reason(exc)) from exc
    except MemoryError as exc:
        raise CloudFileError(name, "too large to read into memory") from exc
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
    one keeps its mode. An existing character device or pipe (``/dev/null``,
    ``/dev/stdout``) is written directly instead, never replaced; other special files
    are refused.

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
    _check_name(name)
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


def _check_name(name: str) -> None:
    if "\0" in name:
        raise CloudFileError(name, "the file name contains a NUL byte")


def _suffix(name: str) -> str:
    suffix = os.path.splitext(name)[1].lower()
    if suffix not in SUFFIXES:
        what = f"unsupported file extension {suffix!r}" if suffix else "no file extension"
        raise CloudFileError(name, f"{what}; supported: {', '.join(SUFFIXES)}")
    return suffix


def _os_reason(exc: OSError) -> str:
    return (exc.strerror or str(exc)).lower()


def _kind(mode: int) -> str:
    """What a file that is not a regular one is, for messages."""
    for test, what in ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a pipe"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return what
    return "a special file"


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


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


def _numeric(dtype: np.dtype[Any]) -> bool:
    return dtype.kind in "iuf"


def _size(f: BinaryIO) -> int:
    return os.fstat(f.fileno()).st_size


def _read_exact(path: str, f: BinaryIO, nbytes: int) -> NDArray[np.uint8]:
    """The next `nbytes` of `f` in a new array (no intermediate bytes object)."""
    buffer = np.empty(nbytes, dtype=np.uint8)
    view = buffer.data
    done = 0
    while done < nbytes:
        got = f.readinto(view[done:])  # type: ignore[attr-defined]
        if not got:
            raise CloudFileError(path, f"truncated: the file ended {nbytes - done} bytes early")
        done += got
    return buffer


def _binary_rows(
    path: str, f: BinaryIO, dtype: np.dtype[Any], count: int, fields: Sequence[str]
) -> NDArray[np.float64]:
    """x, y, z (the `fields` of `dtype`) of `count` fixed-size rows read from `f`'s position.

    Read a block at a time straight into the result: no copy of the whole data is ever held.
    """
    out = np.empty((count, 3), dtype=np.float64)
    step = max(1, _BLOCK // max(dtype.itemsize, 1))
    for begin in range(0, count, step):
        k = min(step, count - begin)
        rows = _read_exact(path, f, k * dtype.itemsize).view(dtype)
        for j, field in enumerate(fields):
            out[begin : begin + k, j] = rows[field]
    return out


def _structured(formats: Sequence[Any]) -> np.dtype[Any]:
    """A packed record of `formats`, fields named f0, f1, ... (file names may repeat)."""
    return np.dtype({"names": [f"f{i}" for i in range(len(formats))], "formats": list(formats)})


# ----------------------------------------------------------------------------- PLY

_PLY_TYPES = {
    "char": "i1", "int8": "i1", "uchar": "u1", "uint8": "u1", "short": "i2", "int16": "i2",
    "ushort": "u2", "uint16": "u2", "int": "i4", "int32": "i4", "uint": "u4", "uint32": "u4",
    "float": "f4", "float32": "f4", "double": "f8", "float64": "f8",
}
_STRUCT_CODES = {"i1": "b", "u1": "B", "i2": "h", "u2": "H", "i4": "i", "u4": "I", "f4": "f", "f8": "d"}


class _PlyProperty(NamedTuple):
    name: str
    type: str  # NumPy type code without byte order ("f4"); of the items, for a list
    count_type: str | None  # a list's length prefix; None for a scalar

    @property
    def min_bytes(self) -> int:
        return int(np.dtype(self.count_type or self.type).itemsize)


@dataclasses.dataclass
class _PlyElement:
    name: str
    count: int
    properties: list[_PlyProperty]

    @property
    def fixed(self) -> bool:
        return all(p.count_type is None for p in self.properties)

    @property
    def min_row(self) -> int:
        """Bytes of a binary row, or its least (every list empty) when it has lists."""
        return sum(p.min_bytes for p in self.properties)


def _ply_error(path: str, reason: str) -> CloudFileError:
    return CloudFileError(path, f"not a valid PLY file ({reason})")


def _ply_header(path: str, f: BinaryIO) -> tuple[str, list[_PlyElement], int, int]:
    """The format, the elements, the offset of the data and the number of header lines.

    Only the header's bytes are read, up to `_HEADER_LIMIT`: a file without an end_header
    line (or with a huge comment) is refused without reading the rest.
    """
    data, pos = b"", 0
    lines: list[str] = []
    while not lines or lines[-1] != "end_header":
        newline = data.find(b"\n", pos)
        if newline < 0:
            if len(data) >= _HEADER_LIMIT:
                raise _ply_error(path, f"no end_header line in its first {_HEADER_LIMIT >> 20} MiB")
            chunk = f.read(65536)
            if not chunk:
                raise _ply_error(path, "its header has no end_header line")
            data += chunk
            if not data.startswith(b"ply"[: len(data)]):
                raise _ply_error(path, "it does not start with 'ply'")
            continue
        lines.append(data[pos:newline].decode("latin-1").strip())
        pos = newline + 1
        if lines[0] != "ply":
            raise _ply_error(path, "it does not start with 'ply'")

    fmt = ""
    elements: list[_PlyElement] = []
    for number, line in enumerate(lines[1:-1], 2):
        words = line.split()
        if not words or words[0] in ("comment", "obj_info"):
            continue
        key = words[0]
        if key == "format":
            if len(words) != 3 or words[1] not in ("ascii", "binary_little_endian", "binary_big_endian"):
                raise _ply_error(path, f"unsupported format {' '.join(words[1:])!r}")
            fmt = words[1]
        elif key == "element":
            if len(words) != 3 or not (words[2].isascii() and words[2].isdigit()):
                raise _ply_error(path, f"malformed element line {number}: {line[:80]!r}")
            elements.append(_PlyElement(words[1], int(words[2]), []))
        elif key == "property":
            if not elements:
                raise _ply_error(path, f"property before any element on line {number}")
            if len(words) == 5 and words[1] == "list":
                count_type, item_type, name = _PLY_TYPES.get(words[2]), _PLY_TYPES.get(words[3]), words[4]
                if count_type is None or item_type is None or count_type[0] == "f":
                    raise _ply_error(path, f"bad list property on line {number}: {line[:80]!r}")
                elements[-1].properties.append(_PlyProperty(name, item_type, count_type))
            elif len(words) == 3 and words[1] in _PLY_TYPES:
                elements[-1].properties.append(_PlyProperty(words[2], _PLY_TYPES[words[1]], None))
            else:
                raise _ply_error(path, f"bad property on line {number}: {line[:80]!r}")
        else:
            raise _ply_error(path, f"unknown header line {number}: {line[:80]!r}")
    if not fmt:
        raise _ply_error(path, "its header has no format line")
    return fmt, elements, pos, len(lines)


def _read_ply(path: str) -> NDArray[np.float64]:
    with open(path, "rb") as f:
        size = _size(f)
        fmt, elements, offset, header_lines = _ply_header(path, f)
        index = next((i for i, e in enumerate(elements) if e.name == "vertex"), None)
        if index is None:
            raise CloudFileError(path, "has no vertex element")
        vertex = elements[index]
        names = [p.name for p in vertex.properties]
        for axis in "xyz":
            if axis not in names:
                raise CloudFileError(path, "has no x, y, z properties on its vertex element")
            if names.count(axis) > 1:
                raise CloudFileError(path, f"its vertex element has {names.count(axis)} {axis} properties")
            if vertex.properties[names.index(axis)].count_type is not None:
                raise CloudFileError(path, f"vertex property {axis} is not a number")
        if vertex.count == 0:
            return np.empty((0, 3), dtype=np.float64)
        # The least the declared rows take; a header declaring more than the file holds (a
        # billion faces in 150 bytes) is refused before anything is read or allocated.
        available = size - offset
        if fmt == "ascii":  # a value and a line end a row, the last line end optional
            least = max(2 * sum(e.count for e in elements if e.properties) - 1, 0)
        else:
            least = sum(e.count * e.min_row for e in elements)
        if least > available:
            what = ", ".join(f"{e.count} {e.name}" for e in elements)
            raise CloudFileError(
                path, f"truncated: its header declares {what} rows, which need at least {least} bytes; "
                      f"the file holds {available}")
        f.seek(offset)
        if fmt == "ascii":
            return _ply_ascii(path, f, elements, index, header_lines + 1)
        with _ply_mmap(f, size, elements) as mm:
            return _ply_binary(path, f, mm, elements, index, offset, size, "<" if fmt.endswith("little_endian") else ">")


@contextlib.contextmanager
def _ply_mmap(f: BinaryIO, size: int, elements: Sequence[_PlyElement]) -> Iterator[mmap.mmap | None]:
    """The file mapped read-only when an element has list properties (to walk its rows)."""
    if all(e.fixed for e in elements):
        yield None
        return
    mm = mmap.mmap(f.fileno(), size, access=mmap.ACCESS_READ)
    try:
        yield mm
    finally:
        mm.close()


def _ply_binary(path: str, f: BinaryIO, mm: mmap.mmap | None, elements: Sequence[_PlyElement], index: int,
                offset: int, size: int, order: str) -> NDArray[np.float64]:
    pos = offset
    for element in elements[:index]:  # skipped, never parsed
        pos = _ply_skip(path, mm, element, pos, size, order)
    vertex = elements[index]
    names = [p.name for p in vertex.properties]
    dtype = _ply_row_type(vertex, order) if vertex.fixed else _ply_uniform(mm, vertex, pos, size, order)
    if dtype is not None:
        need = vertex.count * dtype.itemsize
        if pos + need > size:
            raise CloudFileError(
                path, f"truncated: its header declares {vertex.count} vertices ({need} bytes); "
                      f"the file holds {max(size - pos, 0)} bytes of them")
        f.seek(pos)
        fields = [_ply_field(vertex, names.index(axis)) for axis in "xyz"]
        out = _binary_rows(path, f, dtype, vertex.count, fields)
        pos += need
    else:
        assert mm is not None
        pos, out = _ply_walk(path, mm, vertex, pos, size, order, collect=True)
    # Whatever follows is skipped, but its declared size must match the file: a count that is
    # too small would otherwise silently drop points. Rows with lists of varying length are
    # not walked for this; they only must fit.
    exact, last = True, (dtype.itemsize if dtype is not None else 0)
    for element in elements[index + 1 :]:
        row = element.min_row if element.fixed else None
        if row is None and exact and pos <= size:
            uniform = _ply_uniform(mm, element, pos, size, order)
            row = uniform.itemsize if uniform is not None else None
        if row is None:
            exact, row = False, element.min_row
        pos += element.count * row
        if element.count:
            last = row
        if pos > size:
            raise CloudFileError(path, f"truncated: the file ends before its {element.name} element does")
    if exact and last and size - pos >= last:
        final = next(e for e in reversed(elements) if e.count)
        raise CloudFileError(
            path, f"has {size - pos} bytes past the end of the {final.count} {final.name} rows its header declares")
    return out


def _ply_row_type(element: _PlyElement, order: str) -> np.dtype[Any]:
    return _structured([order + p.type for p in element.properties])


def _ply_field(element: _PlyElement, prop: int) -> str:
    """The name of property `prop` in `_ply_uniform`'s row type (lists take one or two fields)."""
    return f"f{prop}" if element.fixed else f"f{_ply_uniform_fields(element)[prop]}"


def _ply_uniform_fields(element: _PlyElement) -> list[int]:
    """Field number of each property in the uniform row type: a list takes its length and items."""
    fields, k = [], 0
    for p in element.properties:
        fields.append(k)
        k += 1 if p.count_type is None else 2
    return fields


def _ply_uniform(mm: mmap.mmap | None, element: _PlyElement, pos: int, size: int, order: str
                 ) -> np.dtype[Any] | None:
    """The row type when every list of `element` is as long as in its first row (triangle
    meshes: one vectorised check instead of a walk), else None."""
    assert mm is not None
    if not element.count:
        return _structured([])
    formats: list[Any] = []
    lengths: list[tuple[int, int]] = []
    at = pos
    for p in element.properties:
        if p.count_type is None:
            formats.append(order + p.type)
            at += np.dtype(p.type).itemsize
            continue
        width = np.dtype(p.count_type).itemsize
        if at + width > size:
            return None
        n = int(np.frombuffer(mm, order + p.count_type, 1, at)[0])
        if n < 0:
            return None
        lengths.append((len(formats), n))
        formats.append(order + p.count_type)
        formats.append((order + p.type, (n,)))
        at += width + n * np.dtype(p.type).itemsize
        if at > size:
            return None
    dtype = _structured(formats)
    if pos + element.count * dtype.itemsize > size:
        return None
    rows = np.ndarray((element.count,), dtype=dtype, buffer=mm, offset=pos)
    try:
        if all(bool((rows[f"f{k}"] == n).all()) for k, n in lengths):
            return dtype
        return None
    finally:
        del rows


def _ply_skip(path: str, mm: mmap.mmap | None, element: _PlyElement, pos: int, size: int, order: str) -> int:
    """The offset just past `element`'s rows, which are skipped, not parsed."""
    if element.fixed:
        pos += element.count * element.min_row
    else:
        dtype = _ply_uniform(mm, element, pos, size, order)
        if dtype is not None:
            pos += element.count * dtype.itemsize
        else:
            assert mm is not None
            pos, _ = _ply_walk(path, mm, element, pos, size, order, collect=False)
    if pos > size:
        raise CloudFileError(path, f"truncated: the file ends before its {element.name} element does")
    return pos


def _ply_walk(path: str, mm: mmap.mmap, element: _PlyElement, pos: int, size: int, order: str,
              collect: bool) -> tuple[int, NDArray[np.float64]]:
    """Walk rows with lists of varying length one by one; with `collect`, gather x, y, z.

    Each row takes at least one byte (checked against the file size beforehand), so the
    walk is bounded by the file.
    """
    columns = {axis: array.array("d") for axis in ("xyz" if collect else "")}
    plan = []
    for p in element.properties:
        item = struct.Struct(order + _STRUCT_CODES[p.type])
        counter = struct.Struct(order + _STRUCT_CODES[p.count_type]) if p.count_type else None
        plan.append((counter, item, columns.get(p.name) if counter is None else None))
    try:
        for _ in range(element.count):
            for counter, item, column in plan:
                if counter is None:
                    if column is not None:
                        column.append(item.unpack_from(mm, pos)[0])
                    pos += item.size
                else:
                    n = counter.unpack_from(mm, pos)[0]
                    if n < 0:
                        raise CloudFileError(path, f"a {element.name} row has a list of length {n}")
                    pos += counter.size + n * item.size
            if pos > size:
                raise struct.error
    except struct.error:
        raise CloudFileError(path, f"truncated: the file ends before its {element.name} element does") from None
    out = np.empty((len(columns["x"]) if collect else 0, 3), dtype=np.float64)
    for j, axis in enumerate(columns):
        out[:, j] = np.frombuffer(columns[axis], dtype=np.float64)
    return pos, out


def _ply_ascii(path: str, f: BinaryIO, elements: Sequence[_PlyElement], index: int, first_line: int
               ) -> NDArray[np.float64]:
    """One row a line: the lines of the elements before the vertices are counted, not parsed."""
    vertex = elements[index]
    props = vertex.properties
    names = [p.name for p in props]
    columns = [names.index(axis) for axis in "xyz"]
    single = [props[c].type == "f4" for c in columns]
    rows = _Rows(path, None, None, len(props), columns, f"but its vertex element has {len(props)} properties",
                 single) if vertex.fixed else None
    varying = _PlyVaryingRows(path, vertex, columns, single) if rows is None else None
    skip = sum(e.count for e in elements[:index] if e.properties)
    need = vertex.count
    after = sum(e.count for e in elements[index + 1 :] if e.properties)
    seen_after = 0
    for number, lines in _blocks(path, f, first_line):
        batch: list[str] = []
        numbers: list[int] = []
        for k, line in enumerate(lines):
            if not line or line.isspace():
                continue
            if skip:
                skip -= 1
            elif need:
                need -= 1
                if varying is not None:
                    varying.add(line, number + k)
                else:
                    batch.append(line)
                    numbers.append(number + k)
            else:
                seen_after += 1
        if rows is not None and batch:
            rows.add(batch, numbers)
    if skip or need:
        raise CloudFileError(
            path, f"truncated: its header declares {vertex.count} vertices, the file has {vertex.count - need}"
            if not skip else "truncated: the file ends before its vertex element")
    if seen_after > after:
        extra = seen_after - after
        raise CloudFileError(path, f"has {extra} more row{'s' if extra > 1 else ''} than its header declares")
    if seen_after < after:
        raise CloudFileError(path, f"truncated: the file ends before its {elements[-1].name} element does")
    if rows is not None:
        return rows.result()
    assert varying is not None
    return varying.result()


class _PlyVaryingRows:
    """ASCII vertex rows with list properties, whose length varies: parsed line by line."""

    def __init__(self, path: str, vertex: _PlyElement, columns: Sequence[int], single: Sequence[bool]) -> None:
        self.path, self.vertex, self.columns, self.single = path, vertex, list(columns), list(single)
        self.values = [array.array("d") for _ in range(3)]

    def add(self, line: str, number: int) -> None:
        tokens = line.split()
        t = 0
        try:
            for k, p in enumerate(self.vertex.properties):
                if p.count_type is None:
                    if k in self.columns:
                        self.values[self.columns.index(k)].append(float(tokens[t]))
                    t += 1
                else:
                    length = int(tokens[t])
                    if length < 0:
                        raise CloudFileError(self.path, f"line {number} has a list of length {length}")
                    t += 1 + length
        except IndexError:
            raise CloudFileError(self.path, f"line {number} has too few values") from None
        except ValueError:
            raise CloudFileError(self.path, f"line {number}: {tokens[t]!r} is not a number") from None
        if t != len(tokens):
            raise CloudFileError(self.path, f"line {number} has {len(tokens)} values; its properties take {t}")

    def result(self) -> NDArray[np.float64]:
        out = np.empty((len(self.values[0]), 3), dtype=np.float64)
        for j, (values, single) in enumerate(zip(self.values, self.single)):
            column = np.frombuffer(values, dtype=np.float64)
            out[:, j] = column.astype(np.float32) if single else column
        return out


def _write_ply(path: str, cloud: NDArray[np.float64], binary: bool) -> None:
    encoding = "binary_little_endian" if binary else "ascii"
    header = (
        f"ply\nformat {encoding} 1.0\ncomment written by tarvic\nelement vertex {len(cloud)}\n"
        "property double x\nproperty double y\nproperty double z\nend_header\n"
    )
    _write_header_and_rows(path, header, cloud, binary)


# ----------------------------------------------------------------------------- PCD

_PCD_TYPES = {("F", 2): "f2", ("F", 4): "f4", ("F", 8): "f8", ("I", 1): "i1", ("I", 2): "i2", ("I", 4): "i4",
              ("I", 8): "i8", ("U", 1): "u1", ("U", 2): "u2", ("U", 4): "u4", ("U", 8): "u8"}
# LZF turns at most 3 bytes into 264: compressed data cannot claim more than this many times
# its size.
_LZF_RATIO = 88


class _PcdHeader:
    """The parts of a PCD header needed to locate x, y, z and check the data's size."""

    def __init__(self, path: str, lines: list[str], data_offset: int) -> None:
        entries: dict[str, list[str]] = {}
        for line in lines:
            key, *values = line.split()
            entries[key.upper()] = values

        def ints(key: str, default: list[int] | None = None, least: int = 0) -> list[int]:
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
            if min(values) < least:
                raise CloudFileError(path, f"PCD header's {key} values must be at least {least}, not {min(values)}")
            return values

        self.fields = entries.get("FIELDS", [])
        if not self.fields:
            raise CloudFileError(path, "PCD header has no FIELDS line")
        # "_" marks padding and may repeat; any other name twice makes x, y or z ambiguous.
        for name in self.fields:
            if name != "_" and self.fields.count(name) > 1:
                raise CloudFileError(path, f"PCD header names the field {name!r} {self.fields.count(name)} times")
        self.sizes = ints("SIZE", least=1)
        self.types = [t.upper() for t in entries.get("TYPE", [])]
        self.counts = ints("COUNT", [1] * len(self.fields), least=1)
        if not len(self.fields) == len(self.sizes) == len(self.types) == len(self.counts):
            raise CloudFileError(path, "PCD header's FIELDS, SIZE, TYPE and COUNT lengths differ")
        for name, kind, size in zip(self.fields, self.types, self.sizes):
            if (kind, size) not in _PCD_TYPES:
                raise CloudFileError(path, f"PCD field {name} has an unsupported TYPE {kind} with SIZE {size}")
        # POINTS came late to the format; older headers only give WIDTH x HEIGHT.
        width = ints("WIDTH", [0])[0]
        height = ints("HEIGHT", [1])[0]
        self.points = ints("POINTS", [width * height])[0]
        if self.points < 0:
            raise CloudFileError(path, "PCD header declares a negative number of points")
        if "WIDTH" in entries and (width < 0 or height < 0 or width * height != self.points):
            raise CloudFileError(
                path, f"PCD header's WIDTH x HEIGHT ({width} x {height}) differs from its POINTS ({self.points})")
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
        self.single = [self.types[i] == "F" and self.sizes[i] == 4 for i in self.indices]

    def formats(self) -> list[Any]:
        """The little-endian NumPy format of each field (a sub-array when COUNT > 1)."""
        out: list[Any] = []
        for kind, size, count in zip(self.types, self.sizes, self.counts):
            code = "<" + _PCD_TYPES[kind, size]
            out.append(code if count == 1 else (code, (count,)))
        return out


def _pcd_header(path: str, f: BinaryIO) -> _PcdHeader:
    """Read the header's lines and no more (up to `_HEADER_LIMIT` bytes)."""
    data, pos = b"", 0
    lines: list[str] = []
    while True:
        newline = data.find(b"\n", pos)
        if newline < 0:
            chunk = f.read(65536) if len(data) < _HEADER_LIMIT else b""
            if not chunk:
                raise CloudFileError(path, "not a PCD file (no DATA line in its header)")
            data += chunk
            continue
        line = data[pos:newline].decode("ascii", "replace").strip()
        pos = newline + 1
        if not line or line.startswith("#"):
            continue
        lines.append(line)
        # A real header is a dozen short lines.
        if len(lines) > 64 or len(line) > 4096:
            raise CloudFileError(path, "not a PCD file (no DATA line in its header)")
        if line.split()[0].upper() == "DATA":
            return _PcdHeader(path, lines, pos)


def _read_pcd(path: str) -> NDArray[np.float64]:
    with open(path, "rb") as f:
        size = _size(f)
        header = _pcd_header(path, f)
        if header.points == 0:
            raise CloudFileError(path, "has no points")
        available = size - header.data_offset
        f.seek(header.data_offset)
        if header.data == "ascii":
            return _read_pcd_ascii(path, f, header)
        needed = header.points * header.itemsize
        if header.data == "binary":
            if available < needed:
                raise CloudFileError(
                    path, f"truncated: {header.points} points need {needed} bytes of data, found {available}")
            fields = [f"f{i}" for i in header.indices]
            return _binary_rows(path, f, _structured(header.formats()), header.points, fields)
        if header.data in ("binary_compressed", "binaryscompressed"):
            return _read_pcd_compressed(path, f, header, available)
    raise CloudFileError(path, f"unknown PCD data encoding {header.data!r}")


def _read_pcd_ascii(path: str, f: BinaryIO, header: _PcdHeader) -> NDArray[np.float64]:
    # Any header version (bunny.pcd is ".5"); values separated by any whitespace.
    width = sum(header.counts)
    rows = _Rows(path, None, None, width, header.columns,
                 f"but its header declares {width} values a point", header.single)
    for number, lines in _blocks(path, f):
        rows.add(lines, range(number, number + len(lines)))
        if rows.count > header.points:
            break
    if rows.count != header.points:
        raise CloudFileError(path, f"PCD header declares {header.points} points but the file has "
                                   f"{'more' if rows.count > header.points else rows.count}")
    return rows.result()


def _read_pcd_compressed(path: str, f: BinaryIO, header: _PcdHeader, available: int) -> NDArray[np.float64]:
    """LZF-compressed columns: every point's first field, then every point's second, ..."""
    with _needs("pypcd4", path, "reading", "binary_compressed .pcd"):
        import lzf  # type: ignore[import-not-found]  # installed with pypcd4
    needed = header.points * header.itemsize
    if available < 8:
        raise CloudFileError(path, "truncated: compressed data has no size header")
    packed, unpacked = struct.unpack("<II", f.read(8))
    if packed > available - 8:
        raise CloudFileError(path, f"truncated: compressed data of {packed} bytes declared, {available - 8} found")
    if unpacked != needed:
        raise CloudFileError(path, f"corrupt compressed data: {unpacked} bytes declared, {needed} expected")
    if unpacked > _LZF_RATIO * packed + 8:
        raise CloudFileError(path, f"corrupt compressed data: {packed} bytes cannot hold {unpacked}")
    compressed = f.read(packed)
    data = lzf.decompress(compressed, unpacked)
    del compressed
    if data is None or len(data) != unpacked:
        raise CloudFileError(path, "corrupt compressed data")
    out = np.empty((header.points, 3), dtype=np.float64)
    formats = header.formats()
    starts = np.cumsum([0] + [header.points * np.dtype(fmt).itemsize for fmt in formats])
    for j, i in enumerate(header.indices):
        out[:, j] = np.frombuffer(data, formats[i], header.points, int(starts[i]))
    return out


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
            out.write(np.ascontiguousarray(cloud, dtype="<f8").reshape(-1).view(np.uint8).data)
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


def _las_check(path: str, f: BinaryIO, size: int) -> tuple[int, bool]:
    """The point count and whether the points are compressed, once the header's counts and
    offsets have been checked against the file's size (laspy trusts them: a count of
    4 billion records makes it loop past the end of the file, a count of points larger
    than the file makes it allocate and zero-fill them)."""
    head = f.read(393)  # the largest public header block (LAS 1.5)
    if len(head) < 227 or head[:4] != b"LASF":
        raise CloudFileError(path, "not a valid LAS/LAZ file (no LASF signature and header)")
    minor = head[25]
    least = 227 + 8 * (minor >= 3) + 140 * (minor >= 4) + 18 * (minor >= 5)
    header_size, offset, records = struct.unpack_from("<HII", head, 94)
    point_format, point_size, legacy_count = struct.unpack_from("<BHI", head, 104)
    if len(head) < least or header_size < least:
        raise CloudFileError(path, f"not a valid LAS/LAZ file (a LAS 1.{minor} header takes {least} bytes, "
                                   f"this one declares {header_size} and the file holds {len(head)})")
    if not header_size <= offset <= size:
        raise CloudFileError(path, f"truncated: its point data would start at byte {offset} of a {size}-byte file"
                                   if offset > size else "not a valid LAS/LAZ file (point data inside its header)")
    # A variable-length record takes at least its 54-byte header, and all of them lie between
    # the header and the points.
    if records * 54 > offset - header_size:
        raise CloudFileError(path, f"not a valid LAS/LAZ file (its header declares {records} variable-length "
                                   f"records; the {offset - header_size} bytes before the points hold at most "
                                   f"{(offset - header_size) // 54})")
    count = struct.unpack_from("<Q", head, 247)[0] if minor >= 4 else legacy_count
    compressed = bool(point_format & 0x80) and not point_format & 0x40
    if compressed:
        _laz_check(path, f, size, offset)
    elif count:
        if point_size == 0:
            raise CloudFileError(path, "not a valid LAS/LAZ file (its point records take 0 bytes)")
        held = (size - offset) // point_size
        if count > held:
            raise CloudFileError(path, f"truncated: its header declares {count} points, the file holds {held}")
    return count, compressed


def _laz_check(path: str, f: BinaryIO, size: int, offset: int) -> None:
    """Refuse a LAZ chunk table declaring more chunks than its data can hold: the LAZ backend
    reserves 16 bytes for each before reading them, and aborts the process (no MemoryError)
    when that fails."""
    f.seek(offset)
    first = f.read(8)
    if len(first) < 8:
        raise CloudFileError(path, "truncated: the file ends before its compressed points")
    table = struct.unpack("<q", first)[0]
    if table == -1 and size >= 16:  # written where it could not seek back: the offset is at the end
        f.seek(size - 8)
        table = struct.unpack("<q", f.read(8))[0]
    if not offset + 8 <= table <= size - 8:
        return  # no chunk table to trust; the backend reports the data as it finds it
    f.seek(table)
    chunks = struct.unpack("<II", f.read(8))[1]
    # A chunk starts with one whole point (20 bytes or more); 8 bytes is a generous least.
    room = table - offset - 8
    if chunks > room // 8 + 1:
        raise CloudFileError(path, f"not a valid LAZ file (its chunk table declares {chunks} chunks; "
                                   f"its {room} bytes of points hold at most {room // 8 + 1})")


def _read_las(path: str) -> NDArray[np.float64]:
    laspy = _laspy(path, "reading")
    with open(path, "rb") as f:
        count, compressed = _las_check(path, f, _size(f))
        f.seek(0)
        try:
            # Extended records (LAS 1.4) hold no points and are not read: their declared
            # counts and lengths need no trust.
            with laspy.open(f, closefd=False, read_evlrs=False) as reader:
                return _las_points(path, reader, count, compressed)
        except (OSError, MemoryError, CloudFileError):
            raise
        except Exception as exc:  # laspy raises its own and numpy's errors for bad input
            raise CloudFileError(path, f"not a valid LAS/LAZ file ({_one_line(exc)})") from exc


def _las_points(path: str, reader: Any, count: int, compressed: bool) -> NDArray[np.float64]:
    """x, y, z a chunk at a time: into the result for LAS (whose count the file size vouches
    for), into parts joined at the end for LAZ (whose count only decompression confirms)."""
    import logging

    out = np.empty((0 if compressed else count, 3), dtype=np.float64)
    parts: list[NDArray[np.float64]] = []
    done = 0
    # laspy logs short reads as errors on standard error; they are reported here instead.
    las_log = logging.getLogger("laspy")
    level = las_log.level
    las_log.setLevel(logging.CRITICAL)
    try:
        for chunk in reader.chunk_iterator(max(1, _BLOCK // max(reader.header.point_format.size, 1))):
            n = len(chunk)
            part = out[done : done + n] if not compressed else np.empty((n, 3), dtype=np.float64)
            if len(part) != n:
                break
            part[:, 0], part[:, 1], part[:, 2] = chunk.x, chunk.y, chunk.z
            if compressed:
                parts.append(part)
            done += n
    finally:
        las_log.setLevel(level)
    if done != count:
        raise CloudFileError(path, f"truncated: its header declares {count} points, the file holds {done}")
    if compressed:
        out = parts[0] if len(parts) == 1 else np.concatenate(parts) if parts else out
    return out


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


def _blocks(path: str, f: BinaryIO, line: int = 1, bom: bool = False) -> Iterator[tuple[int, list[str]]]:
    """The rest of `f` as (number of the first line, lines) blocks of whole lines, about
    `_BLOCK` bytes each, decoded as UTF-8 (undecodable bytes replaced)."""
    carry = b""
    while True:
        chunk = f.read(_BLOCK)
        data = carry + chunk if carry else chunk
        if not chunk:
            if data:
                yield line, data.decode("utf-8-sig" if bom else "utf-8", "replace").splitlines()
            return
        cut = data.rfind(b"\n")
        if cut < 0:
            cut = data.rfind(b"\r")  # old Mac line ends
        if cut < 0:
            if len(data) > _BLOCK:
                raise CloudFileError(path, f"line {line} is longer than {_BLOCK >> 20} MiB; not a point-cloud text")
            carry = data
            continue
        text = data[: cut + 1].decode("utf-8-sig" if bom else "utf-8", "replace")
        bom = False
        carry = data[cut + 1 :]
        lines = text.splitlines()
        yield line, lines
        line += len(lines)


class _Rows:
    """Three columns of numeric text rows, parsed a block at a time: the memory needed is that
    of the points (twice, when the blocks are joined at the end) plus one block."""

    def __init__(self, path: str, delimiter: str | None, comments: str | None, width: int,
                 columns: Sequence[int], reference: str, single: Sequence[bool] = (False, False, False)) -> None:
        self.path, self.delimiter, self.comments = path, delimiter, comments
        self.width, self.columns, self.single = width, list(columns), list(single)
        self.reference = reference  # how to name the expected width: "line 1 has 3"
        self.parts: list[NDArray[np.float64]] = []
        self.count = 0

    def add(self, lines: Sequence[str], numbers: Sequence[int]) -> None:
        """Parse `lines` (blank and comment lines allowed), whose line numbers are `numbers`."""
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # a block of comments only is not worth a warning
                table = np.loadtxt(lines, dtype=np.float64, delimiter=self.delimiter, comments=self.comments,
                                   ndmin=2)
        except ValueError as exc:
            raise CloudFileError(self.path, self._diagnose(lines, numbers) or f"malformed text ({exc})") from exc
        if not table.shape[0]:
            return
        if table.shape[1] != self.width:
            raise CloudFileError(self.path, self._diagnose(lines, numbers) or "rows of different lengths")
        part = np.empty((table.shape[0], 3), dtype=np.float64)
        for j, (column, single) in enumerate(zip(self.columns, self.single)):
            # Rounded to the declared type, as a binary file of the same cloud would hold it.
            part[:, j] = table[:, column].astype(np.float32) if single else table[:, column]
        del table
        self.parts.append(part)
        self.count += len(part)

    def _diagnose(self, lines: Sequence[str], numbers: Sequence[int]) -> str | None:
        """Name the line NumPy choked on; its own messages count rows, not lines."""
        for number, line in zip(numbers, lines):
            body = (line.split(self.comments, 1)[0] if self.comments else line).strip()
            if not body:
                continue
            tokens = body.split(self.delimiter)
            if len(tokens) != self.width:
                return f"line {number} has {_columns(len(tokens))} {self.reference}"
            for token in tokens:
                if not _is_number(token):
                    return f"line {number}: {token.strip()!r} is not a number"
        return None

    def result(self) -> NDArray[np.float64]:
        if len(self.parts) == 1:
            return self.parts.pop()
        if not self.parts:
            return np.empty((0, 3), dtype=np.float64)
        out = np.concatenate(self.parts)
        self.parts.clear()
        return out


def _read_text(path: str) -> NDArray[np.float64]:
    rows: _Rows | None = None
    header_seen = False
    header_columns: list[int] | None = None
    with open(path, "rb") as f:
        for number, lines in _blocks(path, f, bom=True):
            start = 0
            if rows is None:
                found = next((i for i, line in enumerate(lines) if _body(line)), None)
                if found is None:
                    continue
                tokens = _split(_body(lines[found]))
                if not header_seen and not any(_is_number(t) for t in tokens):
                    # A header only when no value on the line is a number: a malformed first
                    # row ("1,2,3a") is an error, not a header. CloudCompare writes "//X,Y,Z,...".
                    header_seen = True
                    names = [t.strip().strip("\"'").lstrip("/").lower() for t in tokens]
                    if all(axis in names for axis in "xyz"):
                        header_columns = [names.index(axis) for axis in "xyz"]
                    found = next((i for i in range(found + 1, len(lines)) if _body(lines[i])), None)
                    if found is None:
                        continue
                    tokens = _split(_body(lines[found]))
                width = len(tokens)
                columns = header_columns
                if columns is None:
                    if width < 3:
                        raise CloudFileError(path, f"has {_columns(width)}; expected x, y, z")
                    columns = [0, 1, 2]
                elif max(columns) >= width:
                    raise CloudFileError(path, f"its header names x, y, z columns but rows have only {width}")
                delimiter = "," if "," in _body(lines[found]) else None
                rows = _Rows(path, delimiter, "#", width, columns, f"but line {number + found} has {width}")
                start = found
            rows.add(lines[start:], range(number + start, number + len(lines)))
    if rows is None or not rows.count:
        raise CloudFileError(path, "has no points")
    return rows.result()


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
        size = _size(f)
        prefix = f.read(12)
        if prefix[:6] != b"\x93NUMPY":
            raise CloudFileError(path, "not a NumPy .npy file")
        # NumPy reads whatever header length the file declares before it looks at it: 4 GiB
        # for a 13-byte file. The length is checked against the file first.
        if len(prefix) >= 10 and prefix[6] in (1, 2):
            start = 10 if prefix[6] == 1 else 12
            length = struct.unpack_from("<H" if start == 10 else "<I", prefix.ljust(12, b"\0"), 8)[0]
            if start + length > size:
                raise CloudFileError(
                    path, f"truncated: its header declares {length} bytes, the file holds {max(size - start, 0)}")
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
            raise CloudFileError(path, f"corrupt or unsupported .npy header ({_one_line(exc)})") from exc
        if not _numeric(dtype):
            raise CloudFileError(path, f"holds {dtype} values; expected real numbers")
        if len(shape) != 2 or shape[1] != 3 or shape[0] < 0:
            raise CloudFileError(path, f"holds an array of shape {shape}; expected (N, 3)")
        needed = shape[0] * 3 * dtype.itemsize
        available = size - f.tell()
        if available < needed:
            reason = f"truncated: {shape[0]} points need {needed} bytes of data, found {available}"
            raise CloudFileError(path, reason)
        data = _read_exact(path, f, needed)
    array = data.view(dtype).reshape(shape, order="F" if fortran else "C")
    # No second copy when the file already holds native float64 rows.
    return np.ascontiguousarray(array, dtype=np.float64)


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


class _Output(NamedTuple):
    """An output reserved by `_reserve`."""

    shown: str  # the path as given
    target: str  # the file the temporary replaces; for a direct output, the path as given
    temporary: str  # where the content is written first ("" for a direct output not spooled)
    direct: bool  # an existing character device or pipe: written into, never replaced


def _reserve(shown: str, spool: bool) -> _Output:
    """Check `shown` as an output and create the temporary file its content goes to first.

    A regular file or a new name is resolved through symbolic links and gets a temporary
    file beside it, renamed over it at the end. An existing character device or pipe
    (``/dev/null``, ``/dev/stdout``) is never replaced: it is written into at the end, from a
    temporary file in the system's temporary folder when `spool`, else directly. Any other
    kind of file is refused.
    """
    _check_name(shown)
    try:
        mode: int | None = os.stat(shown).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as exc:
        raise CloudFileError(shown, _os_reason(exc)) from exc
    if mode is not None and not stat.S_ISREG(mode):
        if stat.S_ISCHR(mode) or stat.S_ISFIFO(mode):
            temporary = ""
            if spool:
                try:
                    fd, temporary = tempfile.mkstemp(prefix="tarvic-", suffix=".tmp")
                except OSError as exc:
                    raise CloudFileError(shown, f"cannot create a temporary file: {_os_reason(exc)}") from exc
                os.close(fd)
            return _Output(shown, shown, temporary, True)
        raise CloudFileError(shown, f"is {_kind(mode)}; only regular files, character devices and pipes "
                                    "can be written")
    target = os.path.realpath(shown)
    return _Output(shown, target, _temporary_beside(shown, target), False)


def _name_max(directory: str) -> int:
    try:
        return os.pathconf(directory or ".", "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):
        return 255


def _temporary_beside(shown: str, target: str) -> str:
    """Create an empty temporary file next to `target`, with the mode open() would give it.

    tempfile.mkstemp would make it 0600; creating it with 0666 lets the umask (and any
    default ACL) decide, exactly as for a plain open().
    """
    if os.path.exists(target) and not os.access(target, os.W_OK):
        # The rename would replace it anyway; open() would refuse, and so do we.
        raise CloudFileError(shown, "permission denied (the file is read-only)")
    directory, base = os.path.split(target)
    # Checked now rather than at the rename, when other outputs may already be in place.
    length, limit = len(os.fsencode(base)), _name_max(directory)
    if length > limit:
        raise CloudFileError(shown, f"file name too long ({length} bytes; the limit here is {limit})")
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
    symbolic link at `path` is followed, as open() would. An existing character device or
    pipe is yielded itself, to be written directly. Failing to create, sync or rename the
    file raises CloudFileError naming `path`.
    """
    output = _reserve(os.fspath(path), spool=False)
    if output.direct:
        yield output.target
        return
    try:
        yield output.temporary
        try:
            _prepare_commit(output.temporary, output.target)
            os.replace(output.temporary, output.target)
        except OSError as exc:
            raise CloudFileError(output.shown, _os_reason(exc)) from exc
        _sync_directory(output.target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(output.temporary)
        raise


def _prepare_commit(temporary: str, target: str) -> None:
    """Make a finished temporary file durable and give it the mode of the file it replaces."""
    # Synced before the chmod: a read-only mode copied from the old file would stop the open.
    fd = os.open(temporary, os.O_RDWR | getattr(os, "O_BINARY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    with contextlib.suppress(FileNotFoundError):
        os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))


def _sync_directory(target: str) -> None:
    """Make a rename in the folder of `target` durable; not every platform can open a folder."""
    with contextlib.suppress(OSError):
        fd = os.open(os.path.dirname(target) or ".", os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _keep_aside(target: str) -> str | None:
    """A second name for the file at `target`, beside it, so that it can be put back if a
    later step fails: a hard link, or a copy where links are not possible. None when there
    is no file at `target`."""
    if not os.path.lexists(target):
        return None
    directory, base = os.path.split(target)
    aside = os.path.join(directory, f".{base[:200]}.{secrets.token_hex(6)}.old")
    try:
        os.link(target, aside)
    except OSError:
        shutil.copy2(target, aside)
    return aside


def _copy_into(temporary: str, target: str) -> None:
    """Write a spooled temporary file into a character device or pipe."""
    with open(temporary, "rb") as source, open(target, "wb") as sink:
        shutil.copyfileobj(source, sink, 1 << 20)
