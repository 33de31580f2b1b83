#pragma once
// Conversions of the fits' options and results, shared by both extension modules.
#include <vector>

#include "convert.hpp"
#include "entries.hpp"
#include "tarvic/transform.hpp"
#include "tarvic/deform.hpp"
#include "tarvic/rigid.hpp"

namespace tarvic::py {

/// The option arguments of the rigid fits, starting at `scale`, in their conversion order:
/// `a` holds scale, scale_bounds, w, tolerance, max_iterations, sigma2, threads (null: the
/// default, which RigidOptions holds).
bool rigid_options(const PyRef* a, RigidOptions& o);
/// The option arguments of the deformable fits, starting at `alpha`, in their conversion order:
/// `a` holds alpha, beta, w, tolerance, max_iterations, sigma2, num_modes, threads (null: the
/// default, which DeformOptions holds).
bool deform_options(const PyRef* a, DeformOptions& o);

/// Append `(scale, rotation, translation, sigma2, nrms, iterations, converged)`; false with an
/// exception set.
bool rigid_items(const RigidResult& r, std::vector<PyRef>& items);
/// The same as a tuple.
PyObject* rigid_tuple(const RigidResult& r);
/// Append `(source, w, beta, sigma2, nrms, iterations, converged, modes)`, arrays moved into NumPy.
bool deform_items(DeformResult&& r, std::vector<PyRef>& items);
/// The same as a tuple.
PyObject* deform_tuple(DeformResult&& r);

/// 'auto', 'exact' or 'fast'; anything else is refused, naming the accepted values.
bool to_method(PyObject* o, Method& out);
/// A float in (0, 1): the bound the fast path must meet.
bool to_accuracy(PyObject* o, double& out);
/// "fast" or "exact", as the results report the path a fit took.
const char* method_name(bool fast);
/// `method` and `accuracy` from `a[0]`, `a[1]` (null: "auto" and 1e-6).
bool method_options(const PyRef* a, Method& method, double& accuracy);
/// Append the method a fit used and its largest error bound; false with an exception set.
bool add_method(std::vector<PyRef>& items, bool fast, double bound);

/// The clouds and pairs of a batch, its first three arguments (`targets` None: the sources).
struct BatchArgs {
    std::vector<PyRef> sources, targets;
    bool shared = false;
    PyRef pairs;
};
/// Convert `a[0]` (sources), `a[1]` (targets) and `a[2]` (pairs), in that order.
bool batch_args(const PyRef* a, BatchArgs& out);
/// Copy the converted clouds and read the pairs.
bool prepare_batch(const BatchArgs& args, BatchInput& out);

/// A list of `item(result)` (each a new reference) over the results, in order; null on failure.
template <class R, class Item>
PyObject* result_list(std::vector<R>& results, Item&& item) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < results.size(); ++k) {
        PyObject* o = item(results[k]);
        if (!o) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), o);
    }
    return list.release();
}

/// The arrays of a deformable apply: the points to carry, the kernel centres and coefficients.
struct DeformArrays {
    PyRef points, source, w;
    double beta = 0.0;
};
/// Convert `a[0]` (points), `a[1]` (source), `a[2]` (w) and `a[3]` (beta), in that order.
bool deform_apply_args(const PyRef* a, DeformArrays& out);
/// Owned copies of a deformable apply's arrays, once `source` and `w` are checked to be (M, 3) alike.
struct DeformCopies {
    OwnedCloud points, source, w;
    DeformTransform transform(double beta) const { return DeformTransform{source.view, w.view, beta}; }
};
bool deform_apply_copies(const DeformArrays& a, DeformCopies& out);

}  // namespace tarvic::py
