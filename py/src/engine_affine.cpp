// The package's affine fits: single, batch, and applying an affine map.
#include <vector>

#include "engine.hpp"
#include "entries.hpp"
#include "fits.hpp"
#include "guidance.hpp"
#include "interrupt.hpp"
#include "tarvic/affine.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

namespace {

/// The affine option arguments, starting at `w`: w, tolerance, max_iterations, sigma2, threads.
bool affine_options(const PyRef* a, AffineOptions& o) {
    o = AffineOptions{};
    return (!a[0] || to_float(a[0].get(), "w", o.w)) && (!a[1] || to_float(a[1].get(), "tolerance", o.tolerance)) &&
           (!a[2] || to_count(a[2].get(), "max_iterations", o.max_iterations)) &&
           (!a[3] || to_opt_float(a[3].get(), "sigma2", o.sigma2)) &&
           (!a[4] || to_opt_count(a[4].get(), "threads", o.threads));
}

/// `(B, translation, sigma2, nrms, iterations, converged, method, error_bound, singular)`.
PyObject* affine_tuple(const AffineResult& r) {
    std::vector<double> b(9), t(3);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) b[3 * i + j] = r.matrix[i][j];
        t[i] = r.translation[i];
    }
    std::vector<PyRef> items;
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    if (!(add(to_numpy(std::move(b), {3, 3})) && add(to_numpy(std::move(t), {3})) &&
          add(PyFloat_FromDouble(r.sigma2)) && add(PyFloat_FromDouble(r.nrms)) &&
          add(PyLong_FromSize_t(r.iterations)) && add(PyBool_FromLong(r.converged)) &&
          add_method(items, r.fast, r.error_bound) && add(PyBool_FromLong(r.singular))))
        return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace

PyObject* engine_fit_affine(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source",   "target",   "w",        "tolerance", "max_iterations",
                                         "sigma2",   "threads",  "method",   "accuracy",  "progress",
                                         "callback", "progress_delay", "init", "landmarks", "landmark_weight"};
    static const Signature sig{"fit_affine", params, 15, 2};
    PyRef a[15];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef source, target;
    AffineOptions opts;
    Watch watch;
    Landmarks landmarks;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !affine_options(a + 2, opts) || !method_options(a + 7, opts.method, opts.gauss_tolerance) ||
        !watch_options(a + 9, "Aligning", opts.max_iterations, watch) ||
        (a[12] && !to_start(a[12].get(), "init", opts.init)) || !to_landmarks(a + 13, landmarks))
        return nullptr;
    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_watched(watch, [&](CancelFlag cancel, FitMonitor* monitor) {
        AffineOptions o = opts;
        o.monitor = monitor;
        return affine_register(s.view, t.view, o, cancel, landmarks);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return affine_tuple(run->value());
}

PyObject* engine_fit_affine_batch(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"sources", "targets", "pairs",    "w",      "tolerance", "max_iterations",
                                         "sigma2",  "threads", "progress", "method", "accuracy"};
    static const Signature sig{"fit_affine_batch", params, 11, 3};
    PyRef a[11];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    BatchArgs batch;
    AffineOptions opts;
    bool progress = false;
    if (!batch_args(a, batch) ||
        !affine_options(a + 3, opts) || (a[8] && !to_flag(a[8].get(), "progress", progress)) ||
        !method_options(a + 9, opts.method, opts.gauss_tolerance))
        return nullptr;
    BatchInput in;
    if (!prepare_batch(batch, in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return affine_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return result_list(run->value(), [](const AffineResult& r) { return affine_tuple(r); });
}

PyObject* engine_apply_affine(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"points", "matrix", "translation"};
    static const Signature sig{"apply_affine", params, 3, 3};
    PyRef a[3];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef points, matrix, translation;
    if (!to_cloud(a[0].get(), "points", points) || !to_cloud(a[1].get(), "matrix", matrix) ||
        !to_vector(a[2].get(), "translation", translation))
        return nullptr;
    PyArrayObject* m = as_array(matrix);
    PyArrayObject* t = as_array(translation);
    if (PyArray_DIM(m, 0) != 3 || PyArray_DIM(m, 1) != 3) {
        PyErr_Format(PyExc_ValueError, "`matrix` must be (3, 3), got %s", shape_text(m).c_str());
        return nullptr;
    }
    if (PyArray_DIM(t, 0) != 3) {
        PyErr_Format(PyExc_ValueError, "`translation` must be (3, ), got [%zd]", static_cast<Py_ssize_t>(PyArray_DIM(t, 0)));
        return nullptr;
    }
    Affine3 map;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) map.matrix[i][j] = element_at<double>(m, i, j);
        map.translation[i] = element_at<double>(t, i);
    }
    // Under the lock on the borrowed view, as the extension's rigid apply.
    OwnedCloud keep;
    Result<Array2> moved = apply_affine(map, borrow_cloud(as_array(points), keep));
    if (!moved.ok()) return to_py_err(moved.error());
    return to_numpy(std::move(moved.value()));
}

}  // namespace tarvic::py
