// The module `tarvic._engine`: the fits of the package `tarvic` with the options beyond those of
// `tarvic._tarvic` (which keeps its own functions exactly as they are). Not a public interface:
// the package's wrappers document it. Imports the NumPy C API for this module's own table.
#define TARVIC_IMPORT_NUMPY
#include "convert.hpp"

#include "engine.hpp"

namespace tarvic::py {

bool ensure_numpy() {
    if (PyArray_API != nullptr) return true;
    if (_import_array() < 0) {
        PyArray_API = nullptr;
        return false;
    }
    return true;
}

namespace {

template <PyObject* (*F)(PyObject*, PyObject*)>
PyCFunction with_keywords() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&guarded<F>));
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kFunctions[] = {
    {"fit_rigid", with_keywords<engine_fit_rigid>(), kFlags,
     "fit_rigid(source, target, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, method, "
     "accuracy, progress, callback, progress_delay, init, landmarks, landmark_weight)\n--\n\nThe rigid fit with "
     "`method` and `accuracy`, watched through `progress` (True: on a terminal; 'always'), shown after "
     "`progress_delay` seconds, and `callback(iteration, sigma2, matrix)` after each iteration (False stops the "
     "fit), from a starting transform `init`, guided by `landmarks`; the 7-tuple of `_tarvic.fit_rigid` followed "
     "by the method used and the largest error bound."},
    {"fit_rigid_batch", with_keywords<engine_fit_rigid_batch>(), kFlags,
     "fit_rigid_batch(sources, targets, pairs, scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads, "
     "progress, method, accuracy)\n--\n\nA list of per-pair tuples, each as `fit_rigid` returns."},
    {"fit_deform", with_keywords<engine_fit_deform>(), kFlags,
     "fit_deform(source, target, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads, method, "
     "accuracy, progress, callback, progress_delay, prior, landmarks, landmark_weight)\n--\n\nThe deformable "
     "fit with `method` and `accuracy`, watched as `fit_rigid` (the callback's matrix is None), after a `prior` "
     "transform, guided by `landmarks`; the 8-tuple of `_tarvic.fit_deform` followed by the method used and the "
     "largest error bound."},
    {"fit_deform_batch", with_keywords<engine_fit_deform_batch>(), kFlags,
     "fit_deform_batch(sources, targets, pairs, alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, "
     "threads, progress, method, accuracy)\n--\n\nA list of per-pair tuples, each as `fit_deform` returns."},
    {"apply_deform", with_keywords<engine_apply_deform>(), kFlags,
     "apply_deform(points, source, w, beta, method='auto', accuracy=1e-6)\n--\n\n`(moved points, error bound)`; "
     "interruptible."},
    {"correspondences", with_keywords<engine_correspondences>(), kFlags,
     "correspondences(moved, target, sigma2, w=0.0, accuracy=1e-6, threads=None)\n--\n\n`(source_match, "
     "source_probability, target_match, target_probability, target_outlier, error_bound)` of the model of a fit: "
     "its moved source, variance and outlier fraction; interruptible."},
    {"fit_affine", with_keywords<engine_fit_affine>(), kFlags,
     "fit_affine(source, target, w, tolerance, max_iterations, sigma2, threads, method, accuracy, progress, "
     "callback, progress_delay, init, landmarks, landmark_weight)\n--\n\nThe affine fit, watched and started as "
     "`fit_rigid`: `(B, translation, sigma2, nrms, iterations, converged, method, error_bound, singular)`."},
    {"fit_affine_batch", with_keywords<engine_fit_affine_batch>(), kFlags,
     "fit_affine_batch(sources, targets, pairs, w, tolerance, max_iterations, sigma2, threads, progress, method, "
     "accuracy)\n--\n\nA list of per-pair tuples, each as `fit_affine` returns."},
    {"apply_affine", with_keywords<engine_apply_affine>(), kFlags,
     "apply_affine(points, matrix, translation)\n--\n\n`matrix @ p + translation` for every row p."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_engine", "The package's fits beyond the extension's (internal).", 0, kFunctions,
    nullptr,           nullptr,   nullptr,                                               nullptr,
};

}  // namespace

}  // namespace tarvic::py

PyMODINIT_FUNC PyInit__engine() {
    try {
        return PyModule_Create(&tarvic::py::kModule);
    } catch (const std::exception& e) {
        return tarvic::py::raise_panic(e.what());
    } catch (...) {
        return tarvic::py::raise_panic("unknown C++ exception during import");
    }
}
