// The package's fits: the extension's entry points with the options beyond them (the E-step's
// method and the bound of its fast path), returning what each fit did besides its transform.
#include <cstdint>
#include <vector>

#include "engine.hpp"
#include "entries.hpp"
#include "fits.hpp"
#include "guidance.hpp"
#include "interrupt.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

namespace {

PyObject* deform_result(DeformResult&& r) {
    const bool fast = r.fast;
    const double bound = r.error_bound;
    std::vector<PyRef> items;
    if (!deform_items(std::move(r), items) || !add_method(items, fast, bound)) return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace

PyObject* engine_fit_rigid(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source",  "target",  "scale",  "scale_bounds", "w",       "tolerance",
                                         "max_iterations", "sigma2", "threads", "method", "accuracy", "init",
                                         "landmarks", "landmark_weight"};
    static const Signature sig{"fit_rigid", params, 14, 2};
    PyRef a[14];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef source, target;
    RigidOptions opts;
    Landmarks landmarks;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !rigid_options(a + 2, opts) || !method_options(a + 9, opts.method, opts.gauss_tolerance) ||
        (a[11] && !to_start(a[11].get(), "init", opts.init)) || !to_landmarks(a + 12, landmarks))
        return nullptr;
    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_interruptible(
        [&](CancelFlag cancel) { return rigid_register(s.view, t.view, opts, cancel, landmarks); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    const RigidResult& r = run->value();
    std::vector<PyRef> items;
    if (!rigid_items(r, items) || !add_method(items, r.fast, r.error_bound)) return nullptr;
    return pack_tuple(std::move(items));
}

PyObject* engine_fit_rigid_batch(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"sources", "targets", "pairs",   "scale",    "scale_bounds", "w",
                                         "tolerance", "max_iterations", "sigma2", "threads", "progress", "method",
                                         "accuracy"};
    static const Signature sig{"fit_rigid_batch", params, 13, 3};
    PyRef a[13];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    std::vector<PyRef> sources, targets;
    const bool shared = a[1].get() == Py_None;
    PyRef pairs;
    RigidOptions opts;
    bool progress = false;
    if (!to_cloud_list(a[0].get(), "sources", sources) ||
        (!shared && !to_cloud_list(a[1].get(), "targets", targets)) || !to_index_array(a[2].get(), "pairs", pairs) ||
        !rigid_options(a + 3, opts) || (a[10] && !to_flag(a[10].get(), "progress", progress)) ||
        !method_options(a + 11, opts.method, opts.gauss_tolerance))
        return nullptr;
    BatchInput in;
    if (!prepare_batch(sources, shared ? nullptr : &targets, as_array(pairs), in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return rigid_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    // One list of per-pair tuples; the package stacks them.
    const std::vector<RigidResult>& results = run->value();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < results.size(); ++k) {
        std::vector<PyRef> items;
        if (!rigid_items(results[k], items) || !add_method(items, results[k].fast, results[k].error_bound))
            return nullptr;
        PyObject* item = pack_tuple(std::move(items));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyObject* engine_fit_deform(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source", "target", "alpha",     "beta",    "w",      "tolerance",
                                         "max_iterations", "sigma2", "num_modes", "threads", "method", "accuracy",
                                         "prior", "landmarks", "landmark_weight"};
    static const Signature sig{"fit_deform", params, 15, 2};
    PyRef a[15];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef source, target;
    DeformOptions opts;
    Landmarks landmarks;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !deform_options(a + 2, opts) || !method_options(a + 10, opts.method, opts.gauss_tolerance) ||
        (a[12] && !to_start(a[12].get(), "prior", opts.prior)) || !to_landmarks(a + 13, landmarks))
        return nullptr;
    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_interruptible(
        [&](CancelFlag cancel) { return deform_register(s.view, t.view, opts, cancel, landmarks); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return deform_result(std::move(run->value()));
}

PyObject* engine_fit_deform_batch(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"sources", "targets",   "pairs",     "alpha",   "beta",     "w",
                                         "tolerance", "max_iterations", "sigma2", "num_modes", "threads", "progress",
                                         "method", "accuracy"};
    static const Signature sig{"fit_deform_batch", params, 14, 3};
    PyRef a[14];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    std::vector<PyRef> sources, targets;
    const bool shared = a[1].get() == Py_None;
    PyRef pairs;
    DeformOptions opts;
    bool progress = false;
    if (!to_cloud_list(a[0].get(), "sources", sources) ||
        (!shared && !to_cloud_list(a[1].get(), "targets", targets)) || !to_index_array(a[2].get(), "pairs", pairs) ||
        !deform_options(a + 3, opts) || (a[11] && !to_flag(a[11].get(), "progress", progress)) ||
        !method_options(a + 12, opts.method, opts.gauss_tolerance))
        return nullptr;
    BatchInput in;
    if (!prepare_batch(sources, shared ? nullptr : &targets, as_array(pairs), in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return deform_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    std::vector<DeformResult>& results = run->value();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < results.size(); ++k) {
        PyObject* item = deform_result(std::move(results[k]));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyObject* engine_apply_deform(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"points", "source", "w", "beta", "method", "accuracy"};
    static const Signature sig{"apply_deform", params, 6, 4};
    PyRef a[6];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef points, source, w;
    double beta = 0.0;
    DeformTransform::Options opts;
    if (!to_cloud(a[0].get(), "points", points) || !to_cloud(a[1].get(), "source", source) ||
        !to_cloud(a[2].get(), "w", w) || !to_float(a[3].get(), "beta", beta) ||
        !method_options(a + 4, opts.method, opts.tolerance))
        return nullptr;
    PyArrayObject* src = as_array(source);
    PyArrayObject* coef = as_array(w);
    if (PyArray_DIM(src, 0) != PyArray_DIM(coef, 0) || PyArray_DIM(src, 1) != PyArray_DIM(coef, 1)) {
        PyErr_Format(PyExc_ValueError, "`source` and `w` must have the same shape, got %s and %s",
                     shape_text(src).c_str(), shape_text(coef).c_str());
        return nullptr;
    }
    if (PyArray_DIM(src, 1) != 3) return to_py_err(Error::bad_shape(static_cast<std::size_t>(PyArray_DIM(src, 1))));
    const OwnedCloud p = copy_cloud(as_array(points));
    const OwnedCloud s = copy_cloud(src);
    const OwnedCloud c = copy_cloud(coef);
    const DeformTransform transform{s.view, c.view, beta};
    double bound = 0.0;
    // Unlike the extension's apply, this one polls the flag: Ctrl-C stops a large apply promptly.
    auto run = run_interruptible([&](CancelFlag cancel) {
        DeformTransform::Options o = opts;
        o.cancel = cancel;
        return transform.apply(p.view, o, &bound);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    std::vector<PyRef> items;
    items.emplace_back(PyRef::steal(to_numpy(std::move(run->value()))));
    items.emplace_back(PyRef::steal(PyFloat_FromDouble(bound)));
    return pack_tuple(std::move(items));
}

}  // namespace tarvic::py
