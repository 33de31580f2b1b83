// Conversions of the fits' options and results, shared by both extension modules.
#include "fits.hpp"

#include <cmath>
#include <string>

namespace tarvic::py {

bool rigid_options(const PyRef* a, RigidOptions& o) {
    o = RigidOptions{};
    return (!a[0] || to_flag(a[0].get(), "scale", o.scale)) &&
           (!a[1] || to_float_pair(a[1].get(), "scale_bounds", o.scale_bounds)) &&
           (!a[2] || to_float(a[2].get(), "w", o.w)) &&
           (!a[3] || to_float(a[3].get(), "tolerance", o.tolerance)) &&
           (!a[4] || to_count(a[4].get(), "max_iterations", o.max_iterations)) &&
           (!a[5] || to_opt_float(a[5].get(), "sigma2", o.sigma2)) &&
           (!a[6] || to_opt_count(a[6].get(), "threads", o.threads));
}

bool rigid_items(const RigidResult& r, std::vector<PyRef>& items) {
    std::vector<double> rotation(9), translation(3);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) rotation[3 * i + j] = r.rotation[i][j];
        translation[i] = r.translation[i];
    }
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    return (add(PyFloat_FromDouble(r.scale)) && add(to_numpy(std::move(rotation), {3, 3})) &&
          add(to_numpy(std::move(translation), {3})) && add(PyFloat_FromDouble(r.sigma2)) &&
          add(PyFloat_FromDouble(r.nrms)) && add(PyLong_FromSize_t(r.iterations)) && add(PyBool_FromLong(r.converged)));
}

PyObject* rigid_tuple(const RigidResult& r) {
    std::vector<PyRef> items;
    if (!rigid_items(r, items)) return nullptr;
    return pack_tuple(std::move(items));
}

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

bool deform_items(DeformResult&& r, std::vector<PyRef>& items) {
    const auto add = [&](PyObject* o) { return items.emplace_back(PyRef::steal(o)).get() != nullptr; };
    return (add(to_numpy(std::move(r.source))) && add(to_numpy(std::move(r.w))) && add(PyFloat_FromDouble(r.beta)) &&
          add(PyFloat_FromDouble(r.sigma2)) && add(PyFloat_FromDouble(r.nrms)) &&
          add(PyLong_FromSize_t(r.iterations)) && add(PyBool_FromLong(r.converged)) &&
          add(PyLong_FromSize_t(r.modes)));
}

PyObject* deform_tuple(DeformResult&& r) {
    std::vector<PyRef> items;
    if (!deform_items(std::move(r), items)) return nullptr;
    return pack_tuple(std::move(items));
}

bool to_method(PyObject* o, Method& out) {
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument 'method': must be str, not %s", Py_TYPE(o)->tp_name);
        return false;
    }
    const char* text = PyUnicode_AsUTF8(o);
    if (!text) return false;
    const std::string s(text);
    if (s == "auto") {
        out = Method::Auto;
    } else if (s == "exact") {
        out = Method::Exact;
    } else if (s == "fast") {
        out = Method::Fast;
    } else {
        PyErr_Format(PyExc_ValueError, "`method` must be 'auto', 'exact' or 'fast', got %R", o);
        return false;
    }
    return true;
}

bool to_accuracy(PyObject* o, double& out) {
    if (!to_float(o, "accuracy", out)) return false;
    if (!(out > 0.0 && out < 1.0)) {
        PyErr_Format(PyExc_ValueError, "`accuracy` must be in (0, 1), got %s", format_float(out).c_str());
        return false;
    }
    return true;
}

const char* method_name(bool fast) { return fast ? "fast" : "exact"; }

bool method_options(const PyRef* a, Method& method, double& accuracy) {
    method = Method::Auto;
    accuracy = 1e-6;
    return (!a[0] || to_method(a[0].get(), method)) && (!a[1] || to_accuracy(a[1].get(), accuracy));
}

bool add_method(std::vector<PyRef>& items, bool fast, double bound) {
    return items.emplace_back(PyRef::steal(PyUnicode_FromString(method_name(fast)))).get() != nullptr &&
           items.emplace_back(PyRef::steal(PyFloat_FromDouble(bound))).get() != nullptr;
}

bool batch_args(const PyRef* a, BatchArgs& out) {
    out.shared = a[1].get() == Py_None;
    return to_cloud_list(a[0].get(), "sources", out.sources) &&
           (out.shared || to_cloud_list(a[1].get(), "targets", out.targets)) &&
           to_index_array(a[2].get(), "pairs", out.pairs);
}

bool prepare_batch(const BatchArgs& args, BatchInput& out) {
    return prepare_batch(args.sources, args.shared ? nullptr : &args.targets, as_array(args.pairs), out);
}

bool deform_apply_args(const PyRef* a, DeformArrays& out) {
    return to_cloud(a[0].get(), "points", out.points) && to_cloud(a[1].get(), "source", out.source) &&
           to_cloud(a[2].get(), "w", out.w) && to_float(a[3].get(), "beta", out.beta);
}

bool deform_apply_copies(const DeformArrays& a, DeformCopies& out) {
    PyArrayObject* src = as_array(a.source);
    PyArrayObject* coef = as_array(a.w);
    if (PyArray_DIM(src, 0) != PyArray_DIM(coef, 0) || PyArray_DIM(src, 1) != PyArray_DIM(coef, 1)) {
        PyErr_Format(PyExc_ValueError, "`source` and `w` must have the same shape, got %s and %s",
                     shape_text(src).c_str(), shape_text(coef).c_str());
        return false;
    }
    if (PyArray_DIM(src, 1) != 3) {
        to_py_err(Error::bad_shape(static_cast<std::size_t>(PyArray_DIM(src, 1))));
        return false;
    }
    out.points = copy_cloud(as_array(a.points));
    out.source = copy_cloud(src);
    out.w = copy_cloud(coef);
    return true;
}

}  // namespace tarvic::py
