"""Calls of every entry point, succeeding and failing at each argument, for the leak checks.

Shared by tests/test_leaks.py (short runs in CI) and bench/leak_run.py (long runs with a report).
Each case is one call that either returns or raises one of the classes it names; the objects it
passes are kept in `Cases.tracked`, so a run can compare their reference counts before and after.
"""
import gc
import sys
import threading

import numpy as np

import tarvic._engine as engine
import tarvic._tarvic as ext


def rss_kib():
    """Resident set size of this process, from /proc/self/status (KiB); None where unavailable."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class BadFloat:
    """Converts with an exception of its own (not TypeError): it must pass through unchanged."""

    def __float__(self):
        raise ArithmeticError("no float here")

    def __index__(self):
        raise ArithmeticError("no index here")


class CallbackError(Exception):
    """Raised by a fit's callback: it must reach the caller unchanged."""


def raising_callback(iteration, sigma2, matrix):
    if iteration == 2:
        raise CallbackError("stop here")


def stopping_callback(iteration, sigma2, matrix):
    return iteration < 2


class FailingSequence:
    """A sequence whose iteration fails after one good cloud: the list conversion must drop it."""

    def __init__(self, good):
        self.good = good

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return self.good
        raise ArithmeticError("iteration failed")


# Parameters of each fit, in order, with a valid value and the class a bad value ("x") raises.
RIGID_OPTS = ["scale", "scale_bounds", "w", "tolerance", "max_iterations", "sigma2", "threads"]
DEFORM_OPTS = ["alpha", "beta", "w", "tolerance", "max_iterations", "sigma2", "num_modes", "threads"]


class Cases:
    """The call table over clouds of `m` points (`big` points for the probes whose copies dominate)."""

    def __init__(self, m=24, big=0, seed=0, leaky=False):
        rng = np.random.default_rng(seed)
        self.src = rng.normal(size=(m, 3))
        self.tgt = self.src @ np.array([[0.96, -0.28, 0.0], [0.28, 0.96, 0.0], [0.0, 0.0, 1.0]]).T + 0.1
        self.src_f = np.asfortranarray(self.src)
        self.src_sliced = np.repeat(self.src, 2, axis=0)[::2]
        self.bad_nan = self.tgt.copy()
        self.bad_nan[-1, 0] = np.nan
        self.f32 = self.src.astype(np.float32)
        self.two_cols = np.ascontiguousarray(self.src[:, :2])
        self.three_d = self.src[None]
        self.rot = np.eye(3)
        self.trans = np.zeros(3)
        self.w_zero = np.zeros_like(self.src)
        self.pairs = np.array([[0, 1], [1, 0]], dtype=np.int64)
        self.pairs_neg = np.array([[0, 1], [-1, 0]], dtype=np.int64)
        self.pairs_wide = np.zeros((2, 3), dtype=np.int64)
        self.pairs_far = np.array([[0, 9]], dtype=np.int64)
        self.pairs_i32 = self.pairs.astype(np.int32)
        self.clouds = [self.src, self.tgt]
        self.clouds_bad_item = [self.src, self.f32]
        self.other_order = [self.src_f, self.src_sliced]
        self.failing_seq = FailingSequence(self.src)
        self.bad_float = BadFloat()
        self.bounds = (0.5, 2.0)
        self.raising = raising_callback
        self.stopping = stopping_callback
        # Starting transforms and landmarks, for the package's module.
        self.init = np.eye(4)
        self.init_f = np.asfortranarray(np.diag([1.0, 2.0, 0.5, 1.0]))
        self.init_3x3 = np.eye(3)
        self.init_row = np.eye(4)
        self.init_row[3, 0] = 0.5
        self.init_nan = np.eye(4)
        self.init_nan[0, 1] = np.nan
        self.marks = np.array([[0, 1], [2, 3]], dtype=np.int32)
        self.marks_list = [[0, 1], [2, 3]]
        self.marks_ragged = [[0, 1], [2]]
        self.marks_float = np.zeros((2, 2))
        self.marks_neg = np.array([[0, -1]])
        self.marks_far = np.array([[0, m]])
        self.marks_u = np.array([[0, 1]], dtype=np.uint64)
        self.big = None
        if big:
            b = rng.normal(size=(big, 3))
            self.big = b
            self.big_nan = b.copy()
            self.big_nan[-1, 2] = np.inf
            self.big_list = [b] * 4
            self.big_source = b[:64].copy()
            self.big_w = np.zeros((64, 3))
        self.tracked = {k: v for k, v in vars(self).items() if v is not None and not isinstance(v, (int, float))}
        self.table = self._build()
        if leaky:
            # Deliberate leaks, to show that a measurement still catches them: one object kept per
            # call, and one reference to a tracked input kept per call.
            self._kept = []
            self.table["leaky-objects"] = [("keeps-a-list", lambda: self._kept.append([0.5]), ())]
            self.table["leaky-references"] = [("keeps-the-source", lambda: self._kept.append(self.src), ())]

    def refcounts(self):
        return {name: sys.getrefcount(obj) for name, obj in self.tracked.items()}

    def _fit_variants(self, fn, head, opts, quick, first):
        """Success, core validation failure, and a bad value at every parameter of a fit."""
        out = [
            ("ok", lambda: fn(*head, **quick), ()),
            ("ok-fortran-sliced", lambda: fn(*self._swap(head), **quick), ()),
            ("core-error-w", lambda: fn(*head, w=1.0), (ValueError,)),
            ("core-error-shape", lambda: fn(*self._with_shape(head), **quick), (ValueError,)),
            ("bind-missing", lambda: fn(head[0]), (TypeError,)),
            ("bind-unexpected", lambda: fn(*head, nonsense=1), (TypeError,)),
            ("bind-twice", lambda: fn(*head, **{first: head[0]}), (TypeError,)),
            ("overflow-count", lambda: fn(*head, max_iterations=-1), (OverflowError,)),
            ("own-exception-float", lambda: fn(*head, w=self.bad_float), (ArithmeticError,)),
            ("own-exception-index", lambda: fn(*head, max_iterations=self.bad_float), (ArithmeticError,)),
        ]
        for i in range(len(head)):
            bad = list(head)
            bad[i] = "x"
            out.append((f"bad-arg-{i}", lambda bad=bad: fn(*bad), (TypeError,)))
        for name in opts:
            out.append((f"bad-{name}", lambda name=name: fn(*head, **{name: "x"}), (TypeError,)))
        return out

    def _swap(self, head):
        swap = {id(self.src): self.src_f, id(self.tgt): self.src_sliced}
        return [swap.get(id(h), h) for h in head]

    def _with_shape(self, head):
        if isinstance(head[0], list):
            return [[self.src, self.two_cols], *head[1:]]
        return [self.two_cols, *head[1:]]

    def _build(self):
        s, t = self.src, self.tgt
        rq = dict(max_iterations=3)
        dq = dict(max_iterations=3, num_modes=5)
        table = {}
        table["fit_rigid"] = self._fit_variants(ext.fit_rigid, [s, t], RIGID_OPTS, rq, "source") + [
            ("core-error-nan", lambda: ext.fit_rigid(s, self.bad_nan), (ValueError,)),
            ("bad-dtype", lambda: ext.fit_rigid(self.f32, t), (TypeError,)),
            ("bad-ndim", lambda: ext.fit_rigid(self.three_d, t), (TypeError,)),
            ("bounds", lambda: ext.fit_rigid(s, t, scale_bounds=self.bounds, threads=2, **rq), ()),
            ("bounds-length", lambda: ext.fit_rigid(s, t, scale_bounds=(1.0,)), (ValueError,)),
            ("bounds-item", lambda: ext.fit_rigid(s, t, scale_bounds=(1.0, "x")), (TypeError,)),
            ("bounds-without-scale", lambda: ext.fit_rigid(s, t, scale=False, scale_bounds=self.bounds),
             (ValueError,)),
        ]
        table["fit_deform"] = self._fit_variants(ext.fit_deform, [s, t], DEFORM_OPTS, dq, "source") + [
            ("core-error-nan", lambda: ext.fit_deform(s, self.bad_nan), (ValueError,)),
            ("bad-dtype", lambda: ext.fit_deform(self.f32, t), (TypeError,)),
            ("zero-modes", lambda: ext.fit_deform(s, t, num_modes=0), (ValueError,)),
            ("threads-1", lambda: ext.fit_deform(s, t, threads=1, **dq), ()),
        ]
        batch_head = [self.clouds, self.clouds, self.pairs]
        table["fit_rigid_batch"] = self._fit_variants(ext.fit_rigid_batch, batch_head, RIGID_OPTS, rq, "sources") + [
            ("shared-targets", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs, **rq), ()),
            ("fortran-sliced", lambda: ext.fit_rigid_batch(self.other_order, None, self.pairs, threads=2, **rq), ()),
            ("progress-bad", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs, progress=1), (TypeError,)),
            ("bad-item", lambda: ext.fit_rigid_batch(self.clouds_bad_item, None, self.pairs), (TypeError,)),
            ("failing-sequence", lambda: ext.fit_rigid_batch(self.failing_seq, None, self.pairs),
             (ArithmeticError,)),
            ("pairs-negative", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs_neg), (ValueError,)),
            ("pairs-wide", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs_wide), (ValueError,)),
            ("pairs-out-of-range", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs_far), (ValueError,)),
            ("pairs-int32", lambda: ext.fit_rigid_batch(self.clouds, None, self.pairs_i32), (TypeError,)),
            ("nan-cloud", lambda: ext.fit_rigid_batch([s, self.bad_nan], None, self.pairs), (ValueError,)),
        ]
        table["fit_deform_batch"] = self._fit_variants(ext.fit_deform_batch, batch_head, DEFORM_OPTS, dq, "sources") + [
            ("shared-targets", lambda: ext.fit_deform_batch(self.clouds, None, self.pairs, threads=2, **dq), ()),
            ("bad-item", lambda: ext.fit_deform_batch(self.clouds, self.clouds_bad_item, self.pairs), (TypeError,)),
            ("failing-sequence", lambda: ext.fit_deform_batch(self.clouds, self.failing_seq, self.pairs),
             (ArithmeticError,)),
            ("pairs-negative", lambda: ext.fit_deform_batch(self.clouds, None, self.pairs_neg), (ValueError,)),
            ("pairs-out-of-range", lambda: ext.fit_deform_batch(self.clouds, None, self.pairs_far), (ValueError,)),
        ]
        # The package's watched single fits: a callback that raises or stops, a progress line (not
        # drawn: standard error is no terminal here), and refused watch arguments.
        table["watched_fits"] = [
            ("rigid-callback-raises", lambda: engine.fit_rigid(s, t, callback=self.raising), (CallbackError,)),
            ("rigid-callback-stops", lambda: engine.fit_rigid(s, t, callback=self.stopping, progress=True), ()),
            ("deform-callback-raises", lambda: engine.fit_deform(s, t, callback=self.raising, num_modes=5),
             (CallbackError,)),
            ("deform-callback-stops", lambda: engine.fit_deform(s, t, callback=self.stopping, num_modes=5), ()),
            ("deform-progress", lambda: engine.fit_deform(s, t, progress=True, **dq), ()),
            ("callback-not-callable", lambda: engine.fit_rigid(s, t, callback=self.rot), (TypeError,)),
            ("progress-bad", lambda: engine.fit_rigid(s, t, progress="often"), (ValueError,)),
            ("progress-delay-bad", lambda: engine.fit_deform(s, t, progress_delay=self.bad_float), (ArithmeticError,)),
        ]
        table["correspondences"] = [
            ("ok", lambda: engine.correspondences(s, t, 0.1, 0.1), ()),
            ("ok-fortran-sliced", lambda: engine.correspondences(self.src_f, self.src_sliced, 0.5), ()),
            ("core-error-w", lambda: engine.correspondences(s, t, 0.1, 1.0), (ValueError,)),
            ("core-error-nan", lambda: engine.correspondences(s, self.bad_nan, 0.1), (ValueError,)),
            ("bad-accuracy", lambda: engine.correspondences(s, t, 0.1, accuracy=2.0), (ValueError,)),
            ("bad-dtype", lambda: engine.correspondences(self.f32, t, 0.1), (TypeError,)),
            ("own-exception", lambda: engine.correspondences(s, t, self.bad_float), (ArithmeticError,)),
            ("bind-missing", lambda: engine.correspondences(s, t), (TypeError,)),
        ]
        fq = dict(max_iterations=3)
        table["engine_guided"] = [
            ("affine-ok", lambda: engine.fit_affine(s, t, **fq), ()),
            ("affine-init-marks", lambda: engine.fit_affine(s, t, init=self.init_f, landmarks=self.marks, **fq), ()),
            ("affine-marks-list", lambda: engine.fit_affine(s, t, landmarks=self.marks_list, **fq), ()),
            ("affine-marks-unsigned", lambda: engine.fit_affine(s, t, landmarks=self.marks_u, **fq), ()),
            ("affine-marks-ragged", lambda: engine.fit_affine(s, t, landmarks=self.marks_ragged), (ValueError,)),
            ("affine-marks-float", lambda: engine.fit_affine(s, t, landmarks=self.marks_float), (ValueError,)),
            ("affine-marks-negative", lambda: engine.fit_affine(s, t, landmarks=self.marks_neg), (ValueError,)),
            ("affine-marks-far", lambda: engine.fit_affine(s, t, landmarks=self.marks_far), (ValueError,)),
            ("affine-marks-type", lambda: engine.fit_affine(s, t, landmarks="x"), (TypeError,)),
            ("affine-weight", lambda: engine.fit_affine(s, t, landmarks=self.marks, landmark_weight="x"), (TypeError,)),
            ("affine-weight-own", lambda: engine.fit_affine(s, t, landmark_weight=self.bad_float), (ArithmeticError,)),
            ("affine-init-shape", lambda: engine.fit_affine(s, t, init=self.init_3x3), (ValueError,)),
            ("affine-init-row", lambda: engine.fit_affine(s, t, init=self.init_row), (ValueError,)),
            ("affine-init-nan", lambda: engine.fit_affine(s, t, init=self.init_nan), (ValueError,)),
            ("affine-init-type", lambda: engine.fit_affine(s, t, init=self.f32), (TypeError,)),
            ("affine-bad-w", lambda: engine.fit_affine(s, t, w="x"), (TypeError,)),
            ("rigid-init-marks", lambda: engine.fit_rigid(s, t, init=self.init, landmarks=self.marks, **fq), ()),
            ("rigid-not-similar", lambda: engine.fit_rigid(s, t, init=self.init_f), (ValueError,)),
            ("deform-prior-marks",
             lambda: engine.fit_deform(s, t, prior=self.init_f, landmarks=self.marks_list, num_modes=4, **fq), ()),
            ("deform-marks-far", lambda: engine.fit_deform(s, t, landmarks=self.marks_far), (ValueError,)),
            ("affine-batch-ok", lambda: engine.fit_affine_batch(self.clouds, None, self.pairs, **fq), ()),
            ("affine-batch-far", lambda: engine.fit_affine_batch(self.clouds, None, self.pairs_far), (ValueError,)),
            ("affine-batch-bad-item", lambda: engine.fit_affine_batch(self.clouds_bad_item, None, self.pairs),
             (TypeError,)),
            ("apply-affine", lambda: engine.apply_affine(self.src_sliced, self.rot.T, self.trans), ()),
            ("apply-affine-shape", lambda: engine.apply_affine(s, self.two_cols, self.trans), (ValueError,)),
            ("apply-affine-points", lambda: engine.apply_affine(self.two_cols, self.rot, self.trans), (ValueError,)),
            ("apply-affine-type", lambda: engine.apply_affine(s, self.rot, "x"), (TypeError,)),
        ]
        apply_r = [s, 1.5, self.rot, self.trans]
        table["apply_rigid"] = [
            ("ok", lambda: ext.apply_rigid(*apply_r), ()),
            ("ok-fortran-rotation", lambda: ext.apply_rigid(self.src_sliced, 1.0, self.rot.T, self.trans), ()),
            ("bad-rotation-shape", lambda: ext.apply_rigid(s, 1.0, self.two_cols, self.trans), (ValueError,)),
            ("bad-translation-len", lambda: ext.apply_rigid(s, 1.0, self.rot, self.src[:, 0]), (ValueError,)),
            ("bad-translation-ndim", lambda: ext.apply_rigid(s, 1.0, self.rot, self.rot), (TypeError,)),
            ("bad-points-shape", lambda: ext.apply_rigid(self.two_cols, 1.0, self.rot, self.trans), (ValueError,)),
            ("own-exception", lambda: ext.apply_rigid(s, self.bad_float, self.rot, self.trans), (ArithmeticError,)),
            ("bind-missing", lambda: ext.apply_rigid(s, 1.0), (TypeError,)),
        ] + [
            (f"bad-arg-{i}", lambda i=i: ext.apply_rigid(*(apply_r[:i] + ["x"] + apply_r[i + 1:])), (TypeError,))
            for i in range(4)
        ]
        apply_d = [s, s, self.w_zero, 0.5]
        table["apply_deform"] = [
            ("ok", lambda: ext.apply_deform(*apply_d), ()),
            ("ok-fortran", lambda: ext.apply_deform(self.src_f, self.src_sliced, self.w_zero, 0.5), ()),
            ("shape-mismatch", lambda: ext.apply_deform(s, s, self.two_cols, 0.5), (ValueError,)),
            ("source-cols", lambda: ext.apply_deform(s, self.two_cols, self.two_cols, 0.5), (ValueError,)),
            ("points-cols", lambda: ext.apply_deform(self.two_cols, s, self.w_zero, 0.5), (ValueError,)),
            ("own-exception", lambda: ext.apply_deform(s, s, self.w_zero, self.bad_float), (ArithmeticError,)),
            ("bind-unexpected", lambda: ext.apply_deform(*apply_d, threads=1), (TypeError,)),
        ] + [
            (f"bad-arg-{i}", lambda i=i: ext.apply_deform(*(apply_d[:i] + ["x"] + apply_d[i + 1:])), (TypeError,))
            for i in range(4)
        ]
        # The process-wide pool is sized before these run (see `size_pool`), so every call is a
        # query, a same-size success or a refusal.
        table["set_num_threads"] = [
            ("same-size", lambda: ext.set_num_threads(ext.num_threads()), ()),
            ("resize-refused", lambda: ext.set_num_threads(ext.num_threads() + 1), (RuntimeError,)),
            ("zero", lambda: ext.set_num_threads(0), (RuntimeError,)),
            ("negative", lambda: ext.set_num_threads(-1), (OverflowError,)),
            ("bad-type", lambda: ext.set_num_threads("x"), (TypeError,)),
            ("own-exception", lambda: ext.set_num_threads(self.bad_float), (ArithmeticError,)),
            ("bind-keyword", lambda: ext.set_num_threads(n=ext.num_threads()), ()),
            ("bind-unexpected", lambda: ext.set_num_threads(m=1), (TypeError,)),
        ]
        table["num_threads"] = [
            ("ok", lambda: ext.num_threads(), ()),
            ("bind-extra", lambda: ext.num_threads(1), (TypeError,)),
        ]
        if self.big is not None:
            # Probes whose every call copies, or returns, megabytes: a leaked copy or result buffer
            # shows in the resident size.
            b = self.big
            table["probe"] = [
                ("fit_rigid-copies-then-fails", lambda: ext.fit_rigid(b, self.big_nan), (ValueError,)),
                ("fit_deform-copies-then-fails", lambda: ext.fit_deform(b, b, w=1.0), (ValueError,)),
                ("rigid_batch-copies-then-fails", lambda: ext.fit_rigid_batch(self.big_list, None, self.pairs_neg),
                 (ValueError,)),
                ("deform_batch-copies-then-fails",
                 lambda: ext.fit_deform_batch(self.big_list, self.big_list, self.pairs_far), (ValueError,)),
                ("apply_rigid-result", lambda: ext.apply_rigid(b, 2.0, self.rot, self.trans), ()),
                ("apply_deform-result", lambda: ext.apply_deform(b, self.big_source, self.big_w, 0.5), ()),
            ]
        return table


def size_pool():
    """Fix the process-wide pool's size (the default) so the set_num_threads cases are repeatable."""
    ext.num_threads()


def run_case(fn, expected):
    """One call: its result is dropped; an exception must be of an expected class."""
    try:
        fn()
    except expected:
        pass
    else:
        if expected:
            raise AssertionError(f"expected one of {expected}, got a result")


def measure(groups, calls_each=40, leaky=False):
    """The leak figures of `groups` in this process, after a warm-up of every group: per group the
    calls made, the growth of Python allocations and the reference counts that changed; under
    "rss", the resident-size growth over the copy probes. Counts cover the whole process, so
    nothing else may run in it: this refuses to measure beside other Python threads."""
    if threading.active_count() != 1:
        raise RuntimeError(f"{threading.active_count() - 1} other thread(s) would move the counts")
    size_pool()
    cases = Cases(m=24, big=40000, leaky=leaky)
    for group in cases.table.values():  # warm-up: caches, the pool, NumPy's first-use allocations
        run_group(group, 3)
    out = {}
    for name in groups:
        # Twice, keeping the smaller growth: now and then a run keeps a few dozen blocks that no
        # call holds (seen at random in any group), while a leak grows with every call, in both.
        for _ in range(2):
            before = cases.refcounts()
            calls, blocks = run_group(cases.table[name], calls_each)
            after = cases.refcounts()
            changed = {k: (before[k], after[k]) for k in before if before[k] != after[k]}
            if name not in out or blocks < out[name]["blocks"]:
                out[name] = dict(calls=calls, blocks=blocks, changed=changed)
    if rss_kib() is not None:
        probes = cases.table["probe"]
        run_group(probes, 5)
        gc.collect()
        before = rss_kib()
        calls, _ = run_group(probes, 25)
        out["rss"] = dict(calls=calls, growth_kib=rss_kib() - before)
    if threading.active_count() != 1:
        raise RuntimeError("another thread started during the measurement")
    return out


def run_group(cases, calls_each):
    """Run each case `calls_each` times; returns (calls, allocated-block growth)."""
    gc.collect()
    blocks = sys.getallocatedblocks()
    calls = 0
    for _ in range(calls_each):
        for _name, fn, expected in cases:
            run_case(fn, expected)
            calls += 1
    gc.collect()
    return calls, sys.getallocatedblocks() - blocks
