"""atheris harness for the Python extension: random objects, dtypes, shapes, memory orders and keyword
mixes for all eight functions.

Every input must end in a result or in TypeError, ValueError or OverflowError (RuntimeError from
set_num_threads, which refuses to resize; PanicException only for a `threads` no pool can have).
A result must be well formed: a transform reported as converged is finite, arrays have the promised
shapes, and no input array is modified. Anything else is a finding: the harness raises and atheris
stops with the input that caused it.

    python fuzz/py_fuzz.py [atheris/libFuzzer flags, e.g. -max_total_time=300 -timeout=30]
"""
import sys

import atheris

with atheris.instrument_imports():
    import numpy as np

    import tarvic._tarvic as ext

EXPECTED = (TypeError, ValueError, OverflowError)
MAX_ITER_CAP = 300  # a huge cap with tolerance 0 may legitimately run for hours
MAX_POOL = 1 << 16

DTYPES = [np.float64, np.float64, np.float64, np.float32, np.int64, np.int32, np.bool_, np.complex128,
          np.dtype(">f8"), object]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 1e300, -1e300, 1e-300, 5e-324, 1.7e308, np.nan, np.inf, -np.inf, 1e154, 1e-154]


class Gen:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def int(self, lo, hi):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def coin(self):
        return self.fdp.ConsumeBool()

    def rare(self, n):
        """True one time in `n`; an exhausted input reads as zeros, which must mean the plain case."""
        return self.int(0, n - 1) == n - 1

    def float(self):
        k = self.int(0, 5)
        if k == 0:
            return self.pick(SPECIAL)
        if k == 1:
            return self.fdp.ConsumeFloat()
        return self.fdp.ConsumeFloatInRange(-4.0, 4.0)

    def values(self, shape, scale):
        n = int(np.prod(shape)) if shape else 1
        v = np.array([self.fdp.ConsumeFloatInRange(-1.0, 1.0) for _ in range(min(n, 64))] or [0.0])
        v = np.resize(v, n) * scale
        if n and self.rare(10):  # a few special values
            for _ in range(self.int(1, 3)):
                v[self.int(0, n - 1)] = self.pick(SPECIAL)
        return v.reshape(shape)

    def array(self, want_cols=3, ndim=2, dtype=None, rows=None):
        """An array that is mostly a valid cloud, sometimes any dtype, shape, order or alignment."""
        if self.rare(12):
            ndim = self.int(0, 3)
        if rows is None or self.rare(8):
            rows = self.pick([0, 1, 1, 2, 3, 5, 8, 13, 30])
        cols = self.int(0, 5) if self.rare(10) else want_cols
        shape = (rows, cols)[:ndim] if ndim <= 2 else (rows, cols, self.int(1, 3))
        scale = self.pick([1.0, 1.0, 1e-3, 1e3, 1e150, 1e-150, 1e300, 1e-300])
        base = self.values(shape, scale)
        if dtype is None:
            dtype = self.pick(DTYPES) if self.rare(12) else np.float64
        if dtype is object:
            return base.astype(object)
        with np.errstate(all="ignore"):
            a = base.astype(dtype)
        layout = self.int(0, 5)
        if layout == 1 and a.ndim == 2:
            a = np.asfortranarray(a)
        elif layout == 2 and a.ndim >= 1:  # every other row of a taller array
            tall = np.repeat(a, 2, axis=0)
            a = tall[::2]
        elif layout == 3 and a.ndim >= 1:  # misaligned: starts one byte into a buffer
            raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
            a = np.frombuffer(raw[1:].data, dtype=a.dtype).reshape(a.shape) if a.nbytes else a
            a[...] = base.astype(a.dtype) if a.size else a
        elif layout == 4 and a.ndim == 2:  # reversed rows: negative stride
            a = a[::-1]
        if self.rare(10):
            a.flags.writeable = False
        return a

    def count(self):
        k = self.int(0, 15)
        if k == 15:
            return self.pick([-1, -(2**70), 2**64, 2**63, True, False, np.int64(3), 2.5, "3", None])
        return self.int(1, MAX_ITER_CAP) if k < 10 else self.int(0, 6)

    def threads(self):
        k = self.int(0, 15)
        if k == 15:
            return self.pick([MAX_POOL + 1, 2**40, -1, 2.0, "2"])
        return None if k < 8 else self.int(0, 4)

    def scalar(self):
        k = self.int(0, 8)
        return [lambda: self.float(), lambda: self.int(-3, 3), lambda: None, lambda: "x", lambda: True,
                lambda: np.float32(self.float()), lambda: (self.float(), self.float()),
                lambda: [self.float()], lambda: np.bool_(self.coin())][k]()

    def flag(self):
        return self.pick([True, False, np.bool_(True), np.bool_(False)] * 3 + [1, None])

    def bounds(self):
        k = self.int(0, 5)
        if k < 2:
            return None
        if k == 2:
            return (self.float(), self.float(), self.float())[: self.int(0, 3)]
        if k == 3:
            return [self.float(), self.float()]
        return (abs(self.float()), abs(self.float()))

    def cloud_list(self):
        k = self.int(0, 15)
        if k == 15:
            return self.pick(["abc", 3, None, (x for x in [np.zeros((2, 3))])])
        items = [self.array() for _ in range(self.int(0, 4))]
        return tuple(items) if k == 14 else items

    def pairs(self, n_s, n_t):
        k = self.int(0, 15)
        rows = self.int(0, 6)
        if k == 15:
            return self.pick([[[0, 0]], np.zeros(4, dtype=np.int64), np.zeros((2, 2), dtype=np.int32), "p"])
        hi_s, hi_t = max(n_s, 1) + (k == 14), max(n_t, 1) + (k == 14)
        p = np.array([[self.int(-1 if k == 13 else 0, hi_s - 1), self.int(0, hi_t - 1)] for _ in range(rows)],
                     dtype=np.int64).reshape(rows, 2)
        if k == 12:
            p = np.zeros((rows, 3), dtype=np.int64)
        if k == 11:
            p = np.asfortranarray(p)
        return p


def options(g, names):
    """A keyword mix: some options, each a plausible or (one time in eight) an odd value."""
    def either(plausible):
        return lambda: g.scalar() if g.rare(8) else plausible()
    makers = {
        "scale": g.flag, "scale_bounds": g.bounds,
        "w": either(lambda: g.pick([0.0, 0.1, 0.5, 0.99, 1.0, -0.1])),
        "tolerance": either(lambda: g.pick([0.0, 1e-6, 1e-3, 1.0, -1e-300])),
        "max_iterations": g.count, "sigma2": either(lambda: g.pick([None, 1.0, 1e-3, 0.0, 5e-324, 1e300])),
        "threads": g.threads, "alpha": either(g.float), "beta": either(g.float), "num_modes": g.count,
        "progress": lambda: False,
    }
    kw = {}
    for name in names:
        if g.rare(4):
            kw[name] = makers[name]()
    if g.rare(32):
        kw["bogus"] = 1
    return kw


RIGID = ["scale", "scale_bounds", "w", "tolerance", "max_iterations", "sigma2", "threads"]
DEFORM = ["alpha", "beta", "w", "tolerance", "max_iterations", "sigma2", "num_modes", "threads"]


def finite(*xs):
    return all(np.isfinite(np.asarray(x, dtype=float)).all() for x in xs)


def check_rigid(r, kw):
    scale, rot, trans, sigma2, nrms, iterations, converged = r
    assert rot.shape == (3, 3) and trans.shape == (3,) and rot.dtype == np.float64
    assert isinstance(iterations, int) and isinstance(converged, bool)
    if converged:
        assert finite(scale, rot, trans), ("converged with a non-finite transform", r)
        assert not np.isnan(sigma2)
        assert np.linalg.det(rot) > 0


def check_deform(r, n_source):
    source, w, beta, sigma2, nrms, iterations, converged, modes = r
    assert source.shape == (n_source, 3) and w.shape == (n_source, 3)
    if converged:
        assert finite(source, w, beta), ("converged with a non-finite transform", r)
        assert not np.isnan(sigma2)
        assert modes >= 1


def snapshot(objs):
    out = []
    for o in objs:
        if isinstance(o, np.ndarray) and o.dtype != object:
            out.append((o, o.tobytes()))
        elif isinstance(o, (list, tuple)):
            out += snapshot(o)
    return out


def call(g):
    fn = g.int(0, 7)
    if fn in (0, 3):
        name = "fit_rigid" if fn == 0 else "fit_deform"
        args = [g.array(), g.array()]
        kw = options(g, RIGID if fn == 0 else DEFORM)
    elif fn in (1, 4):
        name = "fit_rigid_batch" if fn == 1 else "fit_deform_batch"
        sources = g.cloud_list()
        targets = None if g.coin() else g.cloud_list()
        n_s = len(sources) if isinstance(sources, (list, tuple)) else 0
        n_t = len(targets) if isinstance(targets, (list, tuple)) else n_s
        args = [sources, targets, g.pairs(n_s, n_t)]
        kw = options(g, (RIGID if fn == 1 else DEFORM) + ["progress"])
        if fn == 4:  # keep deformable batches short
            kw.setdefault("max_iterations", 20)
    elif fn == 2:
        name = "apply_rigid"
        args = [g.array(), g.scalar() if g.rare(8) else g.float(), g.array(rows=3),
                g.array() if g.rare(8) else g.array(ndim=1, rows=3)]
        kw = {}
    elif fn == 5:
        name = "apply_deform"
        src = g.array()
        w = g.array(rows=src.shape[0] if src.ndim else 0) if g.coin() else np.zeros_like(src, dtype=float)
        args = [g.array(), src, w, g.scalar() if g.rare(8) else g.float()]
        kw = {}
    elif fn == 6:
        name, args, kw = "set_num_threads", [g.pick([ext.num_threads(), 0, 1, 3, -1, "2", 2.0])], {}
    else:
        name, args, kw = "num_threads", [1] if g.rare(6) else [], {}
    # Keyword or positional for the leading arguments, now and then.
    if args and g.rare(6):
        params = ext.__dict__[name].__text_signature__.strip("()").split(", ")
        k = g.int(0, len(args))
        for i in range(k, len(args)):
            kw.setdefault(params[i].split("=")[0], args[i])
        args = args[:k]
    return name, args, kw


def TestOneInput(data):
    g = Gen(data)
    name, args, kw = call(g)
    before = snapshot(list(args) + list(kw.values()))
    threads = kw.get("threads")
    try:
        result = getattr(ext, name)(*args, **kw)
    except EXPECTED:
        return
    except RuntimeError:
        if name == "set_num_threads":
            return
        raise
    except BaseException as e:
        if type(e).__name__ == "PanicException" and isinstance(threads, int) and threads > MAX_POOL:
            return
        raise
    finally:
        for original, copy in before:
            assert original.tobytes() == copy, f"{name} modified an input"
    if name == "fit_rigid":
        check_rigid(result, kw)
    elif name == "fit_rigid_batch":
        p = len(result[0])
        assert all(len(x) == p for x in result)
        for k in range(p):
            check_rigid(tuple(x[k] for x in result[:5]) + (int(result[5][k]), bool(result[6][k])), kw)
    elif name == "fit_deform":
        check_deform(result, result[0].shape[0])
    elif name == "fit_deform_batch":
        for r in result:
            check_deform(r, r[0].shape[0])
    elif name in ("apply_rigid", "apply_deform"):
        assert result.ndim == 2 and result.shape[1] == 3 and result.dtype == np.float64


def main():
    ext.num_threads()  # fix the pool size: set_num_threads then only accepts it or refuses
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
