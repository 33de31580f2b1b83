// Conversions of starting transforms and landmarks (argument checks in the style of the others).
#include "guidance.hpp"

#include <cmath>
#include <cstdint>
#include <string>

namespace tarvic::py {

bool to_start(PyObject* o, const char* name, std::optional<Affine3>& out) {
    out.reset();
    if (o == Py_None) return true;
    PyRef ref;
    if (!to_cloud(o, name, ref)) return false;
    PyArrayObject* a = as_array(ref);
    if (PyArray_DIM(a, 0) != 4 || PyArray_DIM(a, 1) != 4) {
        PyErr_Format(PyExc_ValueError, "`%s` must be a (4, 4) matrix, got %s", name, shape_text(a).c_str());
        return false;
    }
    double m[4][4];
    bool finite = true;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            m[i][j] = element_at<double>(a, i, j);
            finite = finite && std::isfinite(m[i][j]);
        }
    if (!finite) {
        to_py_err(Error::transform_error(Error::Kind::NonFiniteTransform, name));
        return false;
    }
    if (m[3][0] != 0.0 || m[3][1] != 0.0 || m[3][2] != 0.0 || m[3][3] != 1.0) {
        PyErr_Format(PyExc_ValueError, "`%s` must have the last row (0, 0, 0, 1) of an affine map, got (%s, %s, %s, %s)",
                     name, format_float(m[3][0]).c_str(), format_float(m[3][1]).c_str(),
                     format_float(m[3][2]).c_str(), format_float(m[3][3]).c_str());
        return false;
    }
    Affine3 t;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) t.matrix[i][j] = m[i][j];
        t.translation[i] = m[i][3];
    }
    out = t;
    return true;
}

namespace {

bool to_landmark_pairs(PyObject* o, Landmarks& out) {
    PyRef array;
    if (PyArray_Check(o)) {
        array = PyRef::borrow(o);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        array = PyRef::steal(PyArray_FROM_O(o));
        if (!array) {
            // Ragged or mixed nesting; NumPy's own message does not say which argument it was.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "`landmarks` must be an (L, 2) array of integers");
            return false;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "argument 'landmarks': must be an (L, 2) array of integers or None, not %s",
                     Py_TYPE(o)->tp_name);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 2) {
        PyErr_Format(PyExc_ValueError, "`landmarks` must be an (L, 2) array, got a %d-D array", PyArray_NDIM(a));
        return false;
    }
    if (PyArray_DIM(a, 1) != 2) {
        PyErr_Format(PyExc_ValueError, "`landmarks` must be (L, 2), got (L, %zd)",
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 1)));
        return false;
    }
    const char kind = PyArray_DESCR(a)->kind;
    if (kind != 'i' && kind != 'u') {
        PyRef dtype = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
        if (!dtype) return false;
        PyErr_Format(PyExc_ValueError, "`landmarks` must hold integers (source index, target index), got %U",
                     dtype.get());
        return false;
    }
    // Every signed type widens to int64 and every unsigned one to uint64 without loss.
    const int wide = kind == 'i' ? NPY_INT64 : NPY_UINT64;
    PyRef values = PyRef::steal(PyArray_FROMANY(array.get(), wide, 2, 2, NPY_ARRAY_CARRAY_RO));
    if (!values) return false;
    auto* v = reinterpret_cast<PyArrayObject*>(values.get());
    const npy_intp rows = PyArray_DIM(v, 0);
    out.pairs.clear();
    out.pairs.reserve(static_cast<std::size_t>(rows));
    for (npy_intp k = 0; k < rows; ++k) {
        if (kind == 'i') {
            const auto s = element_at<std::int64_t>(v, k, 0), t = element_at<std::int64_t>(v, k, 1);
            if (s < 0 || t < 0) {
                PyErr_SetString(PyExc_ValueError, "`landmarks` must not contain negative indices");
                return false;
            }
            out.pairs.emplace_back(static_cast<std::size_t>(s), static_cast<std::size_t>(t));
        } else {
            out.pairs.emplace_back(static_cast<std::size_t>(element_at<std::uint64_t>(v, k, 0)),
                                   static_cast<std::size_t>(element_at<std::uint64_t>(v, k, 1)));
        }
    }
    return true;
}

}  // namespace

bool to_landmarks(const PyRef* a, Landmarks& out) {
    out = Landmarks{};
    if (a[0] && a[0].get() != Py_None && !to_landmark_pairs(a[0].get(), out)) return false;
    return !a[1] || to_float(a[1].get(), "landmark_weight", out.weight);
}

}  // namespace tarvic::py
