// The module `_tarvic`: initialisation, the function table with its docstrings, and the thread functions.
// The one translation unit that imports the NumPy C API; the others share its table.
#define TARVIC_IMPORT_NUMPY
#include "convert.hpp"

#include <atomic>
#include <cstdint>

#include "entries.hpp"
#include "tarvic/threads.hpp"

namespace tarvic::py {

bool ensure_numpy() {
    // Under the interpreter lock, so the first caller imports and everyone after sees the table.
    if (PyArray_API != nullptr) return true;
    if (_import_array() < 0) {
        PyArray_API = nullptr;
        return false;
    }
    return true;
}

namespace {

PyObject* set_num_threads_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"n"};
    static const Signature sig{"set_num_threads", params, 1, 1};
    PyRef a[1];
    std::size_t n = 0;
    if (!bind_args(sig, args, kwargs, a) || !to_count(a[0].get(), "n", n)) return nullptr;
    if (const std::optional<std::string> refused = tarvic::set_num_threads(n)) {
        PyErr_SetString(PyExc_RuntimeError, refused->c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* num_threads_py(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    try {
        return PyLong_FromSize_t(tarvic::num_threads());
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown C++ exception");
    }
}

template <PyObject* (*F)(PyObject*, PyObject*)>
PyCFunction with_keywords() {
    // METH_VARARGS | METH_KEYWORDS functions are stored under the PyCFunction type.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&guarded<F>));
}

// Docstrings: text signature, "--", an empty line, then the body (CPython's convention).
constexpr const char* kFitRigidDoc =
    "fit_rigid(source, target, scale=True, scale_bounds=None, w=0.0, tolerance=1e-6, max_iterations=200, "
    "sigma2=None, threads=None)\n"
    "--\n"
    "\n"
    "Fit a rigid (optionally similarity) transform taking `source` onto `target`.\n"
    "\n"
    "Coherent point drift: no correspondences are needed, the two clouds may have different\n"
    "numbers of points, and the result is a closed-form transform rather than displaced\n"
    "points — so it applies exactly to points that took no part in the fit.\n"
    "\n"
    "Arguments\n"
    "---------\n"
    "- `source`:         (M, 3) float64 coordinates of the cloud that moves.\n"
    "- `target`:         (N, 3) float64 coordinates of the cloud it moves onto.\n"
    "- `scale`:          Estimate a uniform scale as well as rotation and translation.\n"
    "- `scale_bounds`:   `(lower, upper)` limits on the fitted scale, applied at every EM step,\n"
    "                    or `None` to leave it unbounded. Needs `scale`.\n"
    "- `w`:              Outlier fraction in [0, 1). Unlike `pycpd`'s, scale-free.\n"
    "- `tolerance`:      Stop when the fitted variance changes by less than this fraction.\n"
    "- `max_iterations`: Cap on EM iterations.\n"
    "- `sigma2`:         Initial variance, or `None` to derive it from the clouds.\n"
    "- `threads`:        Size of the thread pool, or `None` for all cores.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "`(scale, rotation, translation, sigma2, nrms, iterations, converged)`, where `rotation` is\n"
    "(3, 3) in the column-vector convention and `translation` is (3, ).";

constexpr const char* kFitRigidBatchDoc =
    "fit_rigid_batch(sources, targets, pairs, scale=True, scale_bounds=None, w=0.0, tolerance=1e-6, "
    "max_iterations=200, sigma2=None, threads=None, progress=False)\n"
    "--\n"
    "\n"
    "Fit rigid transforms for many `(source, target)` pairs at once.\n"
    "\n"
    "One registration per core, rather than threads inside one registration — better scaling\n"
    "on a grid of pairs, and it bounds the working set at one column block per core.\n"
    "\n"
    "Arguments\n"
    "---------\n"
    "- `sources`:  list of (M, 3) float64 arrays.\n"
    "- `targets`:  list of (N, 3) float64 arrays, or `None` to align `sources` against\n"
    "              itself — which shares the clouds rather than copying every one twice.\n"
    "- `pairs`:    (P, 2) int64 array of `(source index, target index)`.\n"
    "- remaining arguments as for `fit_rigid`, plus `progress` for a progress bar.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "`(scales, rotations, translations, sigma2s, nrms, iterations, converged)` — arrays of\n"
    "length `P` (rotations `(P, 3, 3)`, translations `(P, 3)`), aligned to `pairs`.";

constexpr const char* kApplyRigidDoc =
    "apply_rigid(points, scale, rotation, translation)\n"
    "--\n"
    "\n"
    "Apply `scale`, `rotation`, `translation` to an `(N, 3)` array of points.\n"
    "\n"
    "Exposed so the Python layer never has to re-implement the convention (`R` acts on column\n"
    "vectors, i.e. the transpose of what `pycpd` returns).";

constexpr const char* kFitDeformDoc =
    "fit_deform(source, target, alpha=2.0, beta=1.0, w=0.0, tolerance=1e-6, max_iterations=200, sigma2=None, "
    "num_modes=100, threads=None)\n"
    "--\n"
    "\n"
    "Fit a deformation taking `source` onto `target`.\n"
    "\n"
    "Arguments\n"
    "---------\n"
    "- `source`:         (M, 3) float64 coordinates of the cloud that moves.\n"
    "- `target`:         (N, 3) float64 coordinates of the cloud it moves onto.\n"
    "- `alpha`:          Weight of the motion-coherence prior. Higher is stiffer.\n"
    "- `beta`:           Kernel width, as a fraction of the cloud's radius.\n"
    "- `w`:              Outlier fraction in [0, 1). Scale-free, unlike `pycpd`'s.\n"
    "- `tolerance`:      Stop when the fitted variance changes by less than this fraction.\n"
    "- `max_iterations`: Cap on EM iterations.\n"
    "- `sigma2`:         Initial variance, or `None` to derive it from the clouds.\n"
    "- `num_modes`:      Eigenmodes of the kernel to solve through.\n"
    "- `threads`:        Size of the thread pool, or `None` for all cores.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "`(source, w, beta, sigma2, nrms, iterations, converged, modes)`, where `source` and `w`\n"
    "are (M, 3).";

constexpr const char* kFitDeformBatchDoc =
    "fit_deform_batch(sources, targets, pairs, alpha=2.0, beta=1.0, w=0.0, tolerance=1e-6, max_iterations=200, "
    "sigma2=None, num_modes=100, threads=None, progress=False)\n"
    "--\n"
    "\n"
    "Fit deformations for many `(source, target)` pairs at once, one registration per core.\n"
    "\n"
    "Arguments as for `fit_deform`, plus `pairs` (a (P, 2) int64 array), `targets` (`None`\n"
    "aligns `sources` against itself) and `progress`.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "A list of `P` tuples, each as `fit_deform` returns. A list rather than stacked arrays\n"
    "because the clouds in a batch need not be the same size.";

constexpr const char* kApplyDeformDoc =
    "apply_deform(points, source, w, beta)\n"
    "--\n"
    "\n"
    "Apply a fitted deformation to an (N, 3) array of points.\n"
    "\n"
    "Exposed so the Python layer never re-implements the kernel — and so that applying a\n"
    "deformation to a large cloud stays in the compiled extension, where it is blocked and threaded.";

constexpr const char* kSetNumThreadsDoc =
    "set_num_threads(n)\n"
    "--\n"
    "\n"
    "Size the process-wide thread pool; see `tarvic::set_num_threads`.";

constexpr const char* kNumThreadsDoc =
    "num_threads()\n"
    "--\n"
    "\n"
    "Threads the current context would run on.";

// Registration order is the order of this table.
PyMethodDef kFunctions[] = {
    {"fit_rigid", with_keywords<fit_rigid_py>(), METH_VARARGS | METH_KEYWORDS, kFitRigidDoc},
    {"fit_rigid_batch", with_keywords<fit_rigid_batch_py>(), METH_VARARGS | METH_KEYWORDS, kFitRigidBatchDoc},
    {"apply_rigid", with_keywords<apply_rigid_py>(), METH_VARARGS | METH_KEYWORDS, kApplyRigidDoc},
    {"fit_deform", with_keywords<fit_deform_py>(), METH_VARARGS | METH_KEYWORDS, kFitDeformDoc},
    {"fit_deform_batch", with_keywords<fit_deform_batch_py>(), METH_VARARGS | METH_KEYWORDS, kFitDeformBatchDoc},
    {"apply_deform", with_keywords<apply_deform_py>(), METH_VARARGS | METH_KEYWORDS, kApplyDeformDoc},
    {"set_num_threads", with_keywords<set_num_threads_py>(), METH_VARARGS | METH_KEYWORDS, kSetNumThreadsDoc},
    {"num_threads", num_threads_py, METH_NOARGS, kNumThreadsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tarvic",
    "",       // module docstring
    0,        // no per-module state
    nullptr,  // functions are added by tarvic_ext
    nullptr, nullptr, nullptr, nullptr,
};

/// Add the eight functions, in table order; stops at the first failure.
int tarvic_ext(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

PyObject* init_module() {
    // One module object per process, for the first interpreter that imports it.
    static std::atomic<std::int64_t> first_interpreter{-1};
    static PyObject* module = nullptr;

    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "_tarvic does not support sub-interpreters");
        return nullptr;
    }
    if (module) {
        Py_INCREF(module);
        return module;
    }
    PyRef created = PyRef::steal(PyModule_Create(&kModule));
    if (!created || tarvic_ext(created.get()) < 0) return nullptr;
    module = created.get();
    Py_INCREF(module);  // the cache's own reference, kept for the process
    return created.release();
}

}  // namespace

}  // namespace tarvic::py

PyMODINIT_FUNC PyInit__tarvic() {
    try {
        return tarvic::py::init_module();
    } catch (const std::exception& e) {
        return tarvic::py::raise_panic(e.what());
    } catch (...) {
        return tarvic::py::raise_panic("unknown C++ exception during import");
    }
}
