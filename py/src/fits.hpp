#pragma once
// Conversions of the fits' options and results, shared by both extension modules.
#include <vector>

#include "convert.hpp"
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

}  // namespace tarvic::py
