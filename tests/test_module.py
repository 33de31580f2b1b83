"""The module object, its function table, argument binding, conversions and error mapping."""
import importlib
import inspect
import math
import re
import sys

import numpy as np
import pytest

import tarvic
import tarvic._tarvic as ext
from conftest import check_ok, run_python

FUNCTIONS = [
    "fit_rigid",
    "fit_rigid_batch",
    "apply_rigid",
    "fit_deform",
    "fit_deform_batch",
    "apply_deform",
    "set_num_threads",
    "num_threads",
]

RIGID_OPTIONS = "scale=True, scale_bounds=None, w=0.0, tolerance=1e-6, max_iterations=200, sigma2=None, threads=None"
DEFORM_OPTIONS = (
    "alpha=2.0, beta=1.0, w=0.0, tolerance=1e-6, max_iterations=200, sigma2=None, num_modes=100, threads=None"
)
SIGNATURES = {
    "fit_rigid": f"(source, target, {RIGID_OPTIONS})",
    "fit_rigid_batch": f"(sources, targets, pairs, {RIGID_OPTIONS}, progress=False)",
    "apply_rigid": "(points, scale, rotation, translation)",
    "fit_deform": f"(source, target, {DEFORM_OPTIONS})",
    "fit_deform_batch": f"(sources, targets, pairs, {DEFORM_OPTIONS}, progress=False)",
    "apply_deform": "(points, source, w, beta)",
    "set_num_threads": "(n)",
    "num_threads": "()",
}


def message_of(call):
    """The message an exception raised by `call()` carries."""
    with pytest.raises(BaseException) as info:
        call()
    return str(info.value)


class TestModuleObject:
    def test_import_twice_and_reload_give_the_same_module(self):
        again = importlib.import_module("tarvic._tarvic")
        assert again is ext
        assert importlib.reload(ext) is ext
        saved = sys.modules.pop("tarvic._tarvic")
        try:
            # Forces a second run of the init function: it must hand back the first module object.
            assert importlib.import_module("tarvic._tarvic") is saved
        finally:
            sys.modules["tarvic._tarvic"] = saved

    def test_attributes_are_exactly_the_eight_functions(self):
        own = {name for name in dir(ext) if not (name.startswith("__") and name.endswith("__"))}
        assert own == set(FUNCTIONS)
        assert ext.__doc__ == ""
        assert all(inspect.isbuiltin(getattr(ext, name)) for name in FUNCTIONS)

    def test_package_offers_every_function(self):
        assert set(FUNCTIONS) <= set(tarvic.__all__)
        # The fits are wrapped (named results); everything else is the extension's own.
        wrapped = {"fit_rigid", "fit_rigid_batch", "fit_deform", "fit_deform_batch"}
        assert all((getattr(tarvic, name) is getattr(ext, name)) == (name not in wrapped) for name in FUNCTIONS)

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_text_signature_and_docstring_layout(self, name):
        fn = getattr(ext, name)
        assert fn.__text_signature__ == SIGNATURES[name]
        assert fn.__doc__ and not fn.__doc__.endswith("\n") and not fn.__doc__.startswith(name)
        sig = inspect.signature(fn)
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        # The introspected signature is the documented one, defaults included.
        assert str(sig).replace("1e-06", "1e-6") == SIGNATURES[name]

    @pytest.mark.parametrize("name", ["fit_rigid", "fit_deform"])
    def test_omitted_options_are_the_documented_defaults(self, pair, name):
        fn = getattr(ext, name)
        documented = {p.name: p.default for p in inspect.signature(fn).parameters.values()
                      if p.default is not inspect.Parameter.empty and p.name != "threads"}
        # Different points of the two clouds: a slow fit, whose result depends on every option.
        src, tgt = pair[0][:60], pair[1][-50:]
        # One thread: every sum in a fixed order, so equal options give bit-identical results.
        omitted, explicit = fn(src, tgt, threads=1), fn(src, tgt, threads=1, **documented)
        for a, b in zip(omitted, explicit):
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes()

    def test_docstring_bodies(self):
        assert ext.set_num_threads.__doc__ == "Size the process-wide thread pool; see `tarvic::set_num_threads`."
        assert ext.num_threads.__doc__ == "Threads the current context would run on."
        lines = ext.apply_deform.__doc__.splitlines()
        assert len(lines) == 4 and lines[1] == ""
        assert lines[2].startswith("Exposed so the Python layer never re-implements the kernel — and so that applying a")
        assert lines[3].endswith("where it is blocked and threaded.")

    def test_panic_exception_is_created_on_use_and_not_exported(self, pair):
        src, tgt = pair
        # A dedicated pool beyond the core's limit cannot be built: an internal fault, not a ValueError.
        with pytest.raises(BaseException) as info:
            ext.fit_rigid(src, tgt, threads=10**9)
        exc = info.value
        assert type(exc).__name__ == "PanicException"
        assert not isinstance(exc, Exception)
        assert str(exc).startswith("registration worker thread panicked")
        assert "PanicException" not in dir(ext)


def python_twin(name):
    """A Python function with the same signature, to get CPython's own binding messages."""
    namespace = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    return namespace[name]


class TestBinding:
    @pytest.mark.parametrize(
        "name, args, kwargs",
        [
            ("fit_rigid", (), {}),
            ("fit_rigid", (1,), {}),
            ("fit_rigid", (), {"target": 1}),
            ("fit_rigid", (1,) * 10, {}),
            ("fit_rigid", (1, 2), {"foo": 1}),
            ("fit_rigid", (1, 2), {"source": 1}),
            ("fit_rigid_batch", (), {}),
            ("fit_rigid_batch", (1, 2), {"progress": 1}),
            ("fit_deform_batch", (1,) * 13, {}),
            ("apply_rigid", (1,) * 5, {}),
            ("apply_rigid", (1, 2, 3), {}),
            ("apply_deform", (1, 2), {"beta": 1, "w": 2, "points": 0}),
            ("fit_deform", (1,) * 11, {"nope": 0}),
            ("set_num_threads", (1, 2), {}),
            ("set_num_threads", (), {}),
            ("set_num_threads", (), {"m": 1}),
        ],
    )
    def test_messages_match_cpython(self, name, args, kwargs):
        expected = message_of(lambda: python_twin(name)(*args, **kwargs))
        with pytest.raises(TypeError, match=re.escape(expected) + "$"):
            getattr(ext, name)(*args, **kwargs)

    def test_non_string_keyword(self):
        with pytest.raises(TypeError, match=re.escape("keywords must be strings")):
            ext.fit_rigid(1, 2, **{1: 2})

    def test_num_threads_takes_no_arguments(self):
        with pytest.raises(TypeError, match=re.escape("num_threads() takes no arguments (1 given)")):
            ext.num_threads(1)

    def test_binding_precedes_conversion(self):
        with pytest.raises(TypeError, match=re.escape("fit_rigid() got an unexpected keyword argument 'foo'")):
            ext.fit_rigid("not an array", None, foo=1)


class TestConversions:
    @pytest.mark.parametrize(
        "bad",
        [
            np.zeros((5, 3), np.float32),
            np.zeros((5, 3), np.int64),
            np.zeros((5, 3), ">f8" if sys.byteorder == "little" else "<f8"),
            np.zeros((2, 5, 3)),
            np.zeros(3),
        ],
        ids=["float32", "int64", "byteswapped", "3d", "1d"],
    )
    def test_cloud_must_be_2d_native_float64(self, pair, bad):
        with pytest.raises(TypeError, match="^" + re.escape("argument 'source': 'ndarray' object cannot be cast as 'ndarray'")):
            ext.fit_rigid(bad, pair[1])

    def test_cloud_must_be_an_ndarray(self, pair):
        msg = "argument 'target': 'list' object cannot be cast as 'ndarray'"
        with pytest.raises(TypeError, match=re.escape(msg) + "$"):
            ext.fit_rigid(pair[0], pair[1].tolist())

    def test_wrong_column_count_reaches_the_core(self, pair):
        with pytest.raises(ValueError, match=re.escape("expected an (N, 3) array, got (N, 4)")):
            ext.fit_rigid(np.zeros((5, 4)), pair[1])

    def test_counts(self, pair):
        src, tgt = pair
        with pytest.raises(OverflowError) as info:
            ext.fit_rigid(src, tgt, max_iterations=-1)
        assert not str(info.value).startswith("argument")
        with pytest.raises(OverflowError):
            ext.fit_rigid(src, tgt, max_iterations=2**64)
        expected = message_of(lambda: range(2.5))  # CPython's own wording for a non-integer
        with pytest.raises(TypeError, match=re.escape(f"argument 'max_iterations': {expected}") + "$"):
            ext.fit_rigid(src, tgt, max_iterations=2.5)
        # bool is an int; objects with __index__ are accepted too.
        assert ext.fit_rigid(src, tgt, max_iterations=True)[5] <= 1
        assert ext.fit_rigid(src, tgt, max_iterations=np.int64(3))[5] <= 3
        assert ext.fit_rigid(src, tgt, threads=np.uint8(1))[6] in (True, False)

    def test_flags(self, pair):
        src, tgt = pair
        for bad in (1, 0, None, "yes"):
            with pytest.raises(TypeError, match=re.escape("argument 'scale': ")):
                ext.fit_rigid(src, tgt, scale=bad)
        assert ext.fit_rigid(src, tgt, scale=np.bool_(False))[0] == 1.0
        assert ext.fit_rigid(src, tgt, scale=np.bool_(True))[0] != 1.0

    def test_floats(self, pair):
        src, tgt = pair
        expected = message_of(lambda: math.sqrt(None))  # CPython's float conversion wording
        with pytest.raises(TypeError, match=re.escape(f"argument 'w': {expected}") + "$"):
            ext.fit_rigid(src, tgt, w=None)

        class Negative:
            def __float__(self):
                return -0.5

        class Index:
            def __index__(self):
                return -3

        # Objects with __float__ or __index__ go through CPython's float conversion.
        with pytest.raises(ValueError, match=re.escape("`tolerance` must be finite and >= 0, got -0.5") + "$"):
            ext.fit_rigid(src, tgt, tolerance=Negative())
        with pytest.raises(ValueError, match=re.escape("`w` must be in [0, 1), got -3") + "$"):
            ext.fit_rigid(src, tgt, w=Index())
        # sigma2 and threads: None means absent.
        assert ext.fit_rigid(src, tgt, sigma2=None, threads=None)[6]

    def test_scale_bounds(self, pair):
        src, tgt = pair
        with pytest.raises(TypeError, match=re.escape("argument 'scale_bounds': 'list' object cannot be cast as 'tuple'")):
            ext.fit_rigid(src, tgt, scale_bounds=[0.5, 2.0])
        with pytest.raises(ValueError, match=re.escape("expected tuple of length 2, but got tuple of length 3") + "$"):
            ext.fit_rigid(src, tgt, scale_bounds=(0.5, 2.0, 3.0))
        with pytest.raises(TypeError, match=re.escape("argument 'scale_bounds': ")):
            ext.fit_rigid(src, tgt, scale_bounds=(0.5, "2"))
        scale = ext.fit_rigid(src, tgt, scale_bounds=(0.5, 1.1))[0]
        assert 0.5 <= scale <= 1.1

    def test_type_error_keeps_cause_and_other_classes_pass_unchanged(self, pair):
        src, tgt = pair

        class Caused:
            def __float__(self):
                raise TypeError("no float here") from KeyError("inner")

        class Refused:
            def __float__(self):
                raise ValueError("refused")

        class MyTypeError(TypeError):
            pass

        class Special:
            def __float__(self):
                raise MyTypeError("special")

        with pytest.raises(TypeError, match=re.escape("argument 'w': no float here") + "$") as info:
            ext.fit_rigid(src, tgt, w=Caused())
        assert isinstance(info.value.__cause__, KeyError)
        assert info.value.__traceback__ is not None
        with pytest.raises(ValueError, match="^refused$"):
            ext.fit_rigid(src, tgt, w=Refused())
        with pytest.raises(MyTypeError, match="^special$"):
            ext.fit_rigid(src, tgt, w=Special())

    def test_first_failing_argument_wins(self, pair):
        src, tgt = pair
        with pytest.raises(TypeError, match=re.escape("argument 'scale': ")):
            ext.fit_rigid(src, tgt, scale=1, w=None)
        # Conversions all run before the core sees the (bad) cloud.
        with pytest.raises(TypeError, match=re.escape("argument 'sigma2': ")):
            ext.fit_rigid(np.zeros((4, 2)), tgt, sigma2="x")


class TestCoreErrors:
    @pytest.mark.parametrize(
        "kwargs, msg",
        [
            ({"w": 1.0}, "`w` must be in [0, 1), got 1"),
            ({"tolerance": float("inf")}, "`tolerance` must be finite and >= 0, got inf"),
            (
                {"scale": False, "scale_bounds": (-1.0, 0.0)},
                "`scale_bounds` needs `scale` to be enabled; with `scale` off the scale is held at 1",
            ),
        ],
    )
    def test_option_errors_are_plain_value_errors(self, pair, kwargs, msg):
        with pytest.raises(ValueError, match=re.escape(msg) + "$") as info:
            ext.fit_rigid(*pair, **kwargs)
        assert type(info.value) is ValueError
        assert info.value.__cause__ is None and info.value.__context__ is None

    def test_floats_in_messages_are_shortest_positional(self, pair):
        # The shortest decimal that reads back, never an exponent nor the exact binary expansion
        # (2**70 is 1180591620717411303424 exactly).
        rng = np.random.default_rng(4)
        values = [1e23, 2.0**70, 1e300, 1.7976931348623157e308, 5e-324, 1e-7, 0.1 + 0.2, 1 / 3]
        values += list(rng.uniform(1.0, 10.0, 300) * 10.0 ** rng.integers(-320, 299, 300).astype(float))
        for v in values:
            want = np.format_float_positional(-v, unique=True, trim="-")
            with pytest.raises(ValueError) as info:
                ext.fit_rigid(*pair, w=-v)
            assert str(info.value) == f"`w` must be in [0, 1), got {want}"
            assert float(str(info.value).rsplit(" ", 1)[1]) == -v
        beta_msg = "`beta` must be finite and > 0, got -100000000000000000000000"
        with pytest.raises(ValueError, match=re.escape(beta_msg) + "$"):
            ext.fit_deform(*pair, beta=-1e23)

    def test_cloud_errors(self, pair):
        src, tgt = pair
        with pytest.raises(ValueError, match=re.escape("`source` has no points")):
            ext.fit_rigid(np.zeros((0, 3)), tgt)
        bad = tgt.copy()
        bad[3, 1] = np.nan
        with pytest.raises(ValueError, match=re.escape("`target` contains NaN or infinite coordinates")):
            ext.fit_rigid(src, bad)
        with pytest.raises(ValueError, match=re.escape("`source` has no points")):
            ext.fit_deform(np.zeros((0, 3)), tgt)


def test_no_reference_leaks_on_failing_calls(pair):
    src, tgt = pair
    half = 0.5
    before = (sys.getrefcount(src), sys.getrefcount(tgt), sys.getrefcount(half))
    failing = [
        lambda: ext.fit_rigid(src, tgt, w=1.0),                    # core error
        lambda: ext.fit_rigid(src, tgt, half, w=half),             # conversion error, late argument
        lambda: ext.fit_rigid(src, tgt, scale_bounds=(half, "x")),  # error inside a tuple
        lambda: ext.fit_rigid(src, tgt, source=src),               # binding error
        lambda: ext.apply_rigid(src, half, tgt, np.zeros(3)),      # shape error
        lambda: ext.apply_deform(src, src, tgt[:5], half),         # shape error
        lambda: ext.fit_rigid_batch([src, tgt], None, np.array([[0, -1]])),
        lambda: ext.fit_rigid_batch([src, tgt], [tgt, "x"], np.zeros((1, 2), np.int64)),
    ]
    for _ in range(200):
        for call in failing:
            with pytest.raises((TypeError, ValueError)):
                call()
    assert (sys.getrefcount(src), sys.getrefcount(tgt), sys.getrefcount(half)) == before


class TestThreadPool:
    """Each case in a fresh process: the process-wide pool can only be sized once."""

    def test_size_once_then_only_the_same_size(self):
        proc = run_python(
            """
            import tarvic
            tarvic.set_num_threads(3)
            assert tarvic.num_threads() == 3
            assert tarvic.set_num_threads(3) is None
            try:
                tarvic.set_num_threads(2)
            except RuntimeError as e:
                print(e)
            """
        )
        assert check_ok(proc).stdout.strip() == (
            "the global thread pool is already running with 3 thread(s), cannot resize it to 2; "
            "call `set_num_threads` before the first parallel call in this process"
        )

    def test_reading_the_size_fixes_the_default(self):
        proc = run_python(
            """
            import tarvic
            n = tarvic.num_threads()
            print(n)
            try:
                tarvic.set_num_threads(n + 1)
            except RuntimeError as e:
                print(e)
            """,
            env={"TARVIC_NUM_THREADS": "3"},
        )
        lines = check_ok(proc).stdout.splitlines()
        assert lines[0] == "3"
        assert lines[1].startswith("the global thread pool is already running with 3 thread(s), cannot resize it to 4;")

    def test_zero_is_refused_and_changes_nothing(self):
        proc = run_python(
            """
            import tarvic
            for bad in (0, -1, "2"):
                try:
                    tarvic.set_num_threads(bad)
                except (RuntimeError, OverflowError, TypeError) as e:
                    print(type(e).__name__, e)
            tarvic.set_num_threads(2)
            print(tarvic.num_threads())
            """
        )
        lines = check_ok(proc).stdout.splitlines()
        assert lines[0] == "RuntimeError thread count must be >= 1"
        assert lines[1].startswith("OverflowError ")
        assert lines[2] == "TypeError argument 'n': 'str' object cannot be interpreted as an integer"
        assert lines[3] == "2"

    def test_both_compiled_modules_share_one_pool(self):
        # The package's fits run in tarvic._engine: the pool they create is the one _tarvic sizes.
        code = """
            import numpy as np, tarvic
            from tarvic import _tarvic
            src = np.random.default_rng(0).normal(size=(300, 3))
            tarvic.fit_rigid(src, src + 1.0, method="fast", max_iterations=2)
            try:
                _tarvic.set_num_threads(5)
                print("sized")
            except RuntimeError:
                print("refused")
            print(_tarvic.num_threads())
            """
        out = check_ok(run_python(code, env={"TARVIC_NUM_THREADS": "3"})).stdout.split()
        assert out == ["refused", "3"]

    def test_sizes_above_the_limit_are_refused_promptly(self):
        proc = run_python(
            """
            import time, tarvic
            start = time.monotonic()
            for bad in (2**32, 2**32 + 1, 65537, 2**64 - 1):
                try:
                    tarvic.set_num_threads(bad)
                    print("accepted", bad)
                except RuntimeError as e:
                    print(e)
            print(time.monotonic() - start < 5)
            tarvic.set_num_threads(2)
            print(tarvic.num_threads())
            """,
            timeout=60,
        )
        assert check_ok(proc).stdout.splitlines() == ["thread count must be <= 65536"] * 4 + ["True", "2"]

    @pytest.mark.parametrize("fit", ["fit_rigid", "fit_deform"])
    def test_tiny_fit_on_the_default_pool_fixes_its_size(self, fit):
        # Targets of up to 8 points make one E-step chunk, which never enters the pool.
        code = f"""
            import numpy as np, tarvic
            src = np.random.default_rng(0).normal(size=(8, 3))
            tarvic.{fit}(src, src[:5] + 1.0)
            try:
                tarvic.set_num_threads(7)
                print("sized")
            except RuntimeError:
                print("refused")
            """
        assert check_ok(run_python(code, env={"TARVIC_NUM_THREADS": "1"})).stdout.strip() == "refused"

    def test_dedicated_pool_leaves_the_global_pool_unmade(self):
        # threads=2 must not create the process-wide pool; threads=0 must (it means "no dedicated pool").
        code = """
            import numpy as np, tarvic
            src = np.random.default_rng(0).normal(size=(100, 3))
            tarvic.fit_rigid(src, src + 1.0, threads={threads})
            try:
                tarvic.set_num_threads(7)
                print("sized")
            except RuntimeError:
                print("refused")
            """
        env = {"TARVIC_NUM_THREADS": "1"}
        assert check_ok(run_python(code.format(threads=2), env=env)).stdout.strip() == "sized"
        assert check_ok(run_python(code.format(threads=0), env=env)).stdout.strip() == "refused"
        assert check_ok(run_python(code.format(threads=None), env=env)).stdout.strip() == "refused"
