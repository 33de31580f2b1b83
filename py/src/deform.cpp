// Deformable entry points: fit_deform, apply_deform, fit_deform_batch.
#include <string>
#include <vector>

#include "entries.hpp"
#include "interrupt.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

namespace {

/// The option arguments of the deformable fits, starting at `alpha`, in their conversion order.
/// `a` holds alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads (null: the
/// default, which DeformOptions holds).
bool deform_options(const PyRef* a, DeformOptions& o) {
    o = DeformOptions{};
    return (!a[0] || to_float(a[0].get(), "alpha", o.alpha)) && (!a[1] || to_float(a[1].get(), "beta", o.beta)) &&
           (!a[2] || to_float(a[2].get(), "w", o.w)) &&
           (!a[3] || to_float(a[3].get(), "tolerance", o.tolerance)) &&
           (!a[4] || to_count(a[4].get(), "max_iterations", o.max_iterations)) &&
           (!a[5] || to_opt_float(a[5].get(), "sigma2", o.sigma2)) &&
           (!a[6] || to_count(a[6].get(), "num_modes", o.num_modes)) &&
           (!a[7] || to_opt_count(a[7].get(), "threads", o.threads));
}

/// `(source, w, beta, sigma2, nrms, iterations, converged, modes)`, the arrays moved into NumPy.
PyObject* deform_tuple(DeformResult&& r) {
    std::vector<PyRef> items;
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    if (!(add(to_numpy(std::move(r.source))) && add(to_numpy(std::move(r.w))) && add(PyFloat_FromDouble(r.beta)) &&
          add(PyFloat_FromDouble(r.sigma2)) && add(PyFloat_FromDouble(r.nrms)) &&
          add(PyLong_FromSize_t(r.iterations)) && add(PyBool_FromLong(r.converged)) &&
          add(PyLong_FromSize_t(r.modes))))
        return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace

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
