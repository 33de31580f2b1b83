// Deformable entry points: fit_deform, apply_deform, fit_deform_batch.
#include <string>
#include <vector>

#include "entries.hpp"
#include "fits.hpp"
#include "interrupt.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

PyObject* fit_deform_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source",         "target", "alpha",     "beta",   "w",
                                         "tolerance", "max_iterations", "sigma2", "num_modes", "threads"};
    static const Signature sig{"fit_deform", params, 10, 2};
    PyRef a[10];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    PyRef source, target;
    DeformOptions opts;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !deform_options(a + 2, opts))
        return nullptr;

    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_interruptible([&](CancelFlag cancel) { return deform_register(s.view, t.view, opts, cancel); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return deform_tuple(std::move(run->value()));
}

PyObject* apply_deform_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"points", "source", "w", "beta"};
    static const Signature sig{"apply_deform", params, 4, 4};
    PyRef a[4];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    PyRef points, source, w;
    double beta = 0.0;
    if (!to_cloud(a[0].get(), "points", points) || !to_cloud(a[1].get(), "source", source) ||
        !to_cloud(a[2].get(), "w", w) || !to_float(a[3].get(), "beta", beta))
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
    // The apply never polls the flag: an interruption only takes effect once it has finished.
    auto run = run_interruptible([&](CancelFlag) { return transform.apply(p.view); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return to_numpy(std::move(run->value()));
}

PyObject* fit_deform_batch_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"sources", "targets",        "pairs",  "alpha",     "beta",
                                         "w",       "tolerance",      "max_iterations", "sigma2", "num_modes",
                                         "threads", "progress"};
    static const Signature sig{"fit_deform_batch", params, 12, 3};
    PyRef a[12];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    std::vector<PyRef> sources, targets;
    const bool shared = a[1].get() == Py_None;
    PyRef pairs;
    DeformOptions opts;
    bool progress = false;
    if (!to_cloud_list(a[0].get(), "sources", sources) ||
        (!shared && !to_cloud_list(a[1].get(), "targets", targets)) ||
        !to_index_array(a[2].get(), "pairs", pairs) || !deform_options(a + 3, opts) ||
        (a[11] && !to_flag(a[11].get(), "progress", progress)))
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
        PyObject* item = deform_tuple(std::move(results[k]));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace tarvic::py
