// The package's fits: the extension's entry points with the options beyond them (the E-step's
// method and the bound of its fast path), returning what each fit did besides its transform.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine.hpp"
#include "entries.hpp"
#include "fits.hpp"
#include "guidance.hpp"
#include "interrupt.hpp"
#include "tarvic/correspondences.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

namespace {

/// `progress`: True (on a terminal), False, or "always" (wherever standard error goes).
bool to_progress(PyObject* o, bool& out) {
    if (PyUnicode_Check(o)) {
        const char* text = PyUnicode_AsUTF8(o);
        if (!text) return false;
        if (std::string(text) != "always") {
            PyErr_Format(PyExc_ValueError, "`progress` must be True, False or 'always', got %R", o);
            return false;
        }
        out = true;
        return true;
    }
    bool on = false;
    if (!to_flag(o, "progress", on)) return false;
    out = on && isatty(2) == 1;
    return true;
}

PyObject* deform_result(DeformResult&& r) {
    const bool fast = r.fast;
    const double bound = r.error_bound;
    std::vector<PyRef> items;
    if (!deform_items(std::move(r), items) || !add_method(items, fast, bound)) return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace

/// The watch of a single fit from `progress`, `callback` and `progress_delay` (null: off, none, 0).
bool watch_options(const PyRef* a, const char* label, std::size_t max_iterations, Watch& w) {
    w.label = label;
    w.max_iterations = max_iterations;
    if (a[0] && !to_progress(a[0].get(), w.progress)) return false;
    if (a[1] && a[1].get() != Py_None) {
        if (!PyCallable_Check(a[1].get())) {
            PyErr_Format(PyExc_TypeError, "argument 'callback': must be callable or None, not %s",
                         Py_TYPE(a[1].get())->tp_name);
            return false;
        }
        w.callback = a[1].get();
    }
    if (a[2]) {
        if (!to_float(a[2].get(), "progress_delay", w.progress_delay)) return false;
        if (!(std::isfinite(w.progress_delay) && w.progress_delay >= 0.0)) {
            PyErr_Format(PyExc_ValueError, "`progress_delay` must be finite and >= 0, got %s",
                         format_float(w.progress_delay).c_str());
            return false;
        }
    }
    return true;
}

PyObject* engine_fit_rigid(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source",  "target",  "scale",  "scale_bounds", "w",       "tolerance",
                                         "max_iterations", "sigma2", "threads", "method", "accuracy", "progress",
                                         "callback", "progress_delay", "init", "landmarks", "landmark_weight"};
    static const Signature sig{"fit_rigid", params, 17, 2};
    PyRef a[17];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef source, target;
    RigidOptions opts;
    Watch watch;
    Landmarks landmarks;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !rigid_options(a + 2, opts) || !method_options(a + 9, opts.method, opts.gauss_tolerance) ||
        !watch_options(a + 11, "Aligning", opts.max_iterations, watch) ||
        (a[14] && !to_start(a[14].get(), "init", opts.init)) || !to_landmarks(a + 15, landmarks))
        return nullptr;
    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_watched(watch, [&](CancelFlag cancel, FitMonitor* monitor) {
        RigidOptions o = opts;
        o.monitor = monitor;
        return rigid_register(s.view, t.view, o, cancel, landmarks);
    });
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
    BatchArgs batch;
    RigidOptions opts;
    bool progress = false;
    if (!batch_args(a, batch) ||
        !rigid_options(a + 3, opts) || (a[10] && !to_flag(a[10].get(), "progress", progress)) ||
        !method_options(a + 11, opts.method, opts.gauss_tolerance))
        return nullptr;
    BatchInput in;
    if (!prepare_batch(batch, in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return rigid_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    // One list of per-pair tuples; the package stacks them.
    return result_list(run->value(), [](const RigidResult& r) -> PyObject* {
        std::vector<PyRef> items;
        if (!rigid_items(r, items) || !add_method(items, r.fast, r.error_bound)) return nullptr;
        return pack_tuple(std::move(items));
    });
}

PyObject* engine_fit_deform(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source", "target", "alpha",     "beta",    "w",      "tolerance",
                                         "max_iterations", "sigma2", "num_modes", "threads", "method", "accuracy",
                                         "progress", "callback", "progress_delay", "prior", "landmarks", "landmark_weight"};
    static const Signature sig{"fit_deform", params, 18, 2};
    PyRef a[18];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef source, target;
    DeformOptions opts;
    Watch watch;
    Landmarks landmarks;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !deform_options(a + 2, opts) || !method_options(a + 10, opts.method, opts.gauss_tolerance) ||
        !watch_options(a + 12, "Registering", opts.max_iterations, watch) ||
        (a[15] && !to_start(a[15].get(), "prior", opts.prior)) || !to_landmarks(a + 16, landmarks))
        return nullptr;
    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_watched(watch, [&](CancelFlag cancel, FitMonitor* monitor) {
        DeformOptions o = opts;
        o.monitor = monitor;
        return deform_register(s.view, t.view, o, cancel, landmarks);
    });
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
    BatchArgs batch;
    DeformOptions opts;
    bool progress = false;
    if (!batch_args(a, batch) ||
        !deform_options(a + 3, opts) || (a[11] && !to_flag(a[11].get(), "progress", progress)) ||
        !method_options(a + 12, opts.method, opts.gauss_tolerance))
        return nullptr;
    BatchInput in;
    if (!prepare_batch(batch, in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return deform_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return result_list(run->value(), [](DeformResult& r) { return deform_result(std::move(r)); });
}

PyObject* engine_apply_deform(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"points", "source", "w", "beta", "method", "accuracy"};
    static const Signature sig{"apply_deform", params, 6, 4};
    PyRef a[6];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    DeformArrays arrays;
    DeformTransform::Options opts;
    DeformCopies copies;
    if (!deform_apply_args(a, arrays) || !method_options(a + 4, opts.method, opts.tolerance) ||
        !deform_apply_copies(arrays, copies))
        return nullptr;
    const DeformTransform transform = copies.transform(arrays.beta);
    const OwnedCloud& p = copies.points;
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

PyObject* engine_correspondences(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"moved", "target", "sigma2", "w", "accuracy", "threads"};
    static const Signature sig{"correspondences", params, 6, 3};
    PyRef a[6];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;
    PyRef moved, target;
    CorrespondenceOptions opts;
    if (!to_cloud(a[0].get(), "moved", moved) || !to_cloud(a[1].get(), "target", target) ||
        !to_float(a[2].get(), "sigma2", opts.sigma2) || (a[3] && !to_float(a[3].get(), "w", opts.w)) ||
        (a[4] && !to_accuracy(a[4].get(), opts.tolerance)) || (a[5] && !to_opt_count(a[5].get(), "threads", opts.threads)))
        return nullptr;
    const OwnedCloud y = copy_cloud(as_array(moved));
    const OwnedCloud x = copy_cloud(as_array(target));
    auto run = run_interruptible([&](CancelFlag cancel) { return find_correspondences(y.view, x.view, opts, cancel); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    Correspondences& c = run->value();
    const auto m = static_cast<npy_intp>(c.source_match.size()), n = static_cast<npy_intp>(c.target_match.size());
    std::vector<PyRef> items;
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    if (!add(to_numpy(std::move(c.source_match), {m})) || !add(to_numpy(std::move(c.source_probability), {m})) ||
        !add(to_numpy(std::move(c.target_match), {n})) || !add(to_numpy(std::move(c.target_probability), {n})) ||
        !add(to_numpy(std::move(c.target_outlier), {n})) || !add(PyFloat_FromDouble(c.error_bound)))
        return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace tarvic::py
