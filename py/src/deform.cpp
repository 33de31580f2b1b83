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

    DeformArrays arrays;
    DeformCopies copies;
    if (!deform_apply_args(a, arrays) || !deform_apply_copies(arrays, copies)) return nullptr;
    const DeformTransform transform = copies.transform(arrays.beta);
    // The apply never polls the flag: an interruption only takes effect once it has finished.
    auto run = run_interruptible([&](CancelFlag) { return transform.apply(copies.points.view); });
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

    BatchArgs batch;
    DeformOptions opts;
    bool progress = false;
    if (!batch_args(a, batch) || !deform_options(a + 3, opts) ||
        (a[11] && !to_flag(a[11].get(), "progress", progress)))
        return nullptr;

    BatchInput in;
    if (!prepare_batch(batch, in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return deform_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());

    return result_list(run->value(), [](DeformResult& r) { return deform_tuple(std::move(r)); });
}

}  // namespace tarvic::py
