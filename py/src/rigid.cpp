// Rigid entry points: fit_rigid, apply_rigid, fit_rigid_batch (and the batch preparation both batches share).
#include <cstdint>
#include <string>
#include <vector>

#include "entries.hpp"
#include "fits.hpp"
#include "interrupt.hpp"
#include "tarvic/rigid.hpp"
#include "tarvic/transform.hpp"

namespace tarvic::py {

bool prepare_batch(const std::vector<PyRef>& sources, const std::vector<PyRef>* targets, PyArrayObject* pairs,
                   BatchInput& out) {
    out.source_copies.reserve(sources.size());
    for (const PyRef& s : sources) out.source_copies.push_back(copy_cloud(as_array(s)));
    for (const OwnedCloud& c : out.source_copies) out.sources.push_back(c.view);
    if (targets) {
        out.target_copies.reserve(targets->size());
        for (const PyRef& t : *targets) out.target_copies.push_back(copy_cloud(as_array(t)));
        for (const OwnedCloud& c : out.target_copies) out.targets.push_back(c.view);
    } else {
        out.targets = out.sources;  // views of the same copies: every cloud is copied once
    }

    if (PyArray_DIM(pairs, 1) != 2) {
        PyErr_Format(PyExc_ValueError, "`pairs` must be (P, 2), got (P, %zd)", static_cast<Py_ssize_t>(PyArray_DIM(pairs, 1)));
        return false;
    }
    const npy_intp rows = PyArray_DIM(pairs, 0);
    out.pairs.reserve(static_cast<std::size_t>(rows));
    for (npy_intp k = 0; k < rows; ++k) {
        const auto s = element_at<std::int64_t>(pairs, k, 0);
        const auto t = element_at<std::int64_t>(pairs, k, 1);
        if (s < 0 || t < 0) {
            PyErr_SetString(PyExc_ValueError, "`pairs` must not contain negative indices");
            return false;
        }
        out.pairs.emplace_back(static_cast<std::size_t>(s), static_cast<std::size_t>(t));
    }
    return true;
}

PyObject* fit_rigid_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"source", "target",         "scale",  "scale_bounds", "w",
                                         "tolerance", "max_iterations", "sigma2", "threads"};
    static const Signature sig{"fit_rigid", params, 9, 2};
    PyRef a[9];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    PyRef source, target;
    RigidOptions opts;
    if (!to_cloud(a[0].get(), "source", source) || !to_cloud(a[1].get(), "target", target) ||
        !rigid_options(a + 2, opts))
        return nullptr;

    const OwnedCloud s = copy_cloud(as_array(source));
    const OwnedCloud t = copy_cloud(as_array(target));
    auto run = run_interruptible([&](CancelFlag cancel) { return rigid_register(s.view, t.view, opts, cancel); });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());
    return rigid_tuple(run->value());
}

PyObject* apply_rigid_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"points", "scale", "rotation", "translation"};
    static const Signature sig{"apply_rigid", params, 4, 4};
    PyRef a[4];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    PyRef points, rotation, translation;
    RigidTransform transform;
    if (!to_cloud(a[0].get(), "points", points) || !to_float(a[1].get(), "scale", transform.scale) ||
        !to_cloud(a[2].get(), "rotation", rotation) || !to_vector(a[3].get(), "translation", translation))
        return nullptr;

    PyArrayObject* rot = as_array(rotation);
    PyArrayObject* trans = as_array(translation);
    if (PyArray_DIM(rot, 0) != 3 || PyArray_DIM(rot, 1) != 3) {
        PyErr_Format(PyExc_ValueError, "`rotation` must be (3, 3), got %s", shape_text(rot).c_str());
        return nullptr;
    }
    if (PyArray_DIM(trans, 0) != 3) {
        PyErr_Format(PyExc_ValueError, "`translation` must be (3, ), got [%zd]",
                     static_cast<Py_ssize_t>(PyArray_DIM(trans, 0)));
        return nullptr;
    }
    // Logical elements through the strides, so a transposed rotation means its transpose.
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) transform.rotation[i][j] = element_at<double>(rot, i, j);
        transform.translation[i] = element_at<double>(trans, i);
    }

    // Runs under the lock on the borrowed view: nothing else can touch the array meanwhile.
    OwnedCloud keep;
    Result<Array2> moved = transform.apply(borrow_cloud(as_array(points), keep));
    if (!moved.ok()) return to_py_err(moved.error());
    return to_numpy(std::move(moved.value()));
}

PyObject* fit_rigid_batch_py(PyObject* args, PyObject* kwargs) {
    static const char* const params[] = {"sources",  "targets",   "pairs",          "scale",
                                         "scale_bounds", "w",     "tolerance",      "max_iterations",
                                         "sigma2",   "threads",   "progress"};
    static const Signature sig{"fit_rigid_batch", params, 11, 3};
    PyRef a[11];
    if (!bind_args(sig, args, kwargs, a) || !ensure_numpy()) return nullptr;

    BatchArgs batch;
    RigidOptions opts;
    bool progress = false;
    if (!batch_args(a, batch) || !rigid_options(a + 3, opts) ||
        (a[10] && !to_flag(a[10].get(), "progress", progress)))
        return nullptr;

    BatchInput in;
    if (!prepare_batch(batch, in)) return nullptr;
    auto run = run_interruptible([&](CancelFlag cancel) {
        return rigid_register_batch(in.sources, in.targets, in.pairs, opts, progress, cancel);
    });
    if (!run) return nullptr;
    if (!run->ok()) return to_py_err(run->error());

    const std::vector<RigidResult>& results = run->value();
    const std::size_t p = results.size();
    std::vector<double> scales(p), rotations(9 * p), translations(3 * p), sigma2s(p), nrms(p);
    std::vector<std::int64_t> iterations(p);
    std::vector<npy_bool> converged(p);
    for (std::size_t k = 0; k < p; ++k) {
        const RigidResult& r = results[k];
        scales[k] = r.scale;
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) rotations[9 * k + 3 * i + j] = r.rotation[i][j];
            translations[3 * k + i] = r.translation[i];
        }
        sigma2s[k] = r.sigma2;
        nrms[k] = r.nrms;
        iterations[k] = static_cast<std::int64_t>(r.iterations);
        converged[k] = r.converged ? NPY_TRUE : NPY_FALSE;
    }
    const auto n = static_cast<npy_intp>(p);
    std::vector<PyRef> items;
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    if (!(add(to_numpy(std::move(scales), {n})) && add(to_numpy(std::move(rotations), {n, 3, 3})) &&
          add(to_numpy(std::move(translations), {n, 3})) && add(to_numpy(std::move(sigma2s), {n})) &&
          add(to_numpy(std::move(nrms), {n})) && add(to_numpy(std::move(iterations), {n})) &&
          add(to_numpy(std::move(converged), {n}))))
        return nullptr;
    return pack_tuple(std::move(items));
}

}  // namespace tarvic::py
