#pragma once
// Pieces every entry point of the extension shares: owned references, argument binding, the
// conversions of Python arguments into core values, result arrays, and error raising.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One NumPy API table for the whole extension; module.cpp alone imports it.
#define PY_ARRAY_UNIQUE_SYMBOL tarvic_ARRAY_API
#ifndef TARVIC_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, runs on NumPy >= 1.23 as well.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarvic/array.hpp"
#include "tarvic/error.hpp"

namespace tarvic::py {

/// Owner of one strong reference; move-only, so every reference has exactly one owner.
class PyRef {
public:
    PyRef() = default;
    /// Take over a new reference (may be null, e.g. a failed API call).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    /// Add a reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    /// Give the reference away (to an API that steals it, or to the caller).
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit PyRef(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

/// Parameter list of one function, all positional-or-keyword; the first `required` have no default.
struct Signature {
    const char* name;
    const char* const* params;
    std::size_t count;
    std::size_t required;
};

/// Bind positional and keyword arguments to `out[0..count)` (null: omitted), with CPython's own
/// TypeError wording for Python-level functions. False with an exception set on failure.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyRef* out);

/// Take the pending exception (normalised, traceback attached); null when none is set.
PyRef fetch_exception();
/// Make `exc` (an exception instance) the pending exception again.
void restore_exception(PyRef exc);

/// Make the NumPy C API usable (looked up on first use, then kept).
bool ensure_numpy();

// Conversions. Each returns false with an exception set; a TypeError is re-raised as
// "argument '<name>': <message>", any other class unchanged.

/// A 2-D native-float64 ndarray, any strides; kept as a reference, read later.
bool to_cloud(PyObject* o, const char* name, PyRef& out);
/// A 1-D native-float64 ndarray, any stride.
bool to_vector(PyObject* o, const char* name, PyRef& out);
/// A 2-D native-int64 ndarray, any strides.
bool to_index_array(PyObject* o, const char* name, PyRef& out);
/// Any object CPython's float conversion accepts.
bool to_float(PyObject* o, const char* name, double& out);
/// An int or `__index__` object that fits an unsigned 64-bit size.
bool to_count(PyObject* o, const char* name, std::size_t& out);
/// Exactly a bool or a NumPy boolean scalar.
bool to_flag(PyObject* o, const char* name, bool& out);
/// None (absent) or a float.
bool to_opt_float(PyObject* o, const char* name, std::optional<double>& out);
/// None (absent) or a count.
bool to_opt_count(PyObject* o, const char* name, std::optional<std::size_t>& out);
/// None (absent) or a tuple of exactly two floats.
bool to_float_pair(PyObject* o, const char* name, std::optional<std::pair<double, double>>& out);
/// A non-str sequence of clouds, in iteration order.
bool to_cloud_list(PyObject* o, const char* name, std::vector<PyRef>& out);

/// The array behind a reference that a conversion accepted.
inline PyArrayObject* as_array(const PyRef& r) { return reinterpret_cast<PyArrayObject*>(r.get()); }

/// Shape of a 2-D array as "[rows, cols]", the form the shape messages use.
std::string shape_text(PyArrayObject* a);

/// An owned, contiguous copy of a cloud, so the core never reads interpreter-owned memory.
/// Move-only: `view` points into `values`, whose buffer survives moves.
struct OwnedCloud {
    std::vector<double> values;
    CloudView view;

    OwnedCloud() = default;
    OwnedCloud(OwnedCloud&&) noexcept = default;
    OwnedCloud& operator=(OwnedCloud&&) noexcept = default;
    OwnedCloud(const OwnedCloud&) = delete;
    OwnedCloud& operator=(const OwnedCloud&) = delete;
};

/// Copy a 2-D float64 array; C- or F-contiguous input keeps its order, anything else becomes row-major.
OwnedCloud copy_cloud(PyArrayObject* a);

/// A borrowed view of a 2-D float64 array, or a row-major copy in `keep` when its strides are not
/// whole elements (misaligned buffers), so the view is always safe to read.
CloudView borrow_cloud(PyArrayObject* a, OwnedCloud& keep);

/// Element i of a 1-D array of T, read through its stride (memcpy: the buffer may be misaligned).
template <class T>
T element_at(PyArrayObject* a, npy_intp i) {
    T v;
    std::memcpy(&v, PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0), sizeof v);
    return v;
}
/// Element (r, c) of a 2-D array of T, read through its strides.
template <class T>
T element_at(PyArrayObject* a, npy_intp r, npy_intp c) {
    T v;
    std::memcpy(&v, PyArray_BYTES(a) + r * PyArray_STRIDE(a, 0) + c * PyArray_STRIDE(a, 1), sizeof v);
    return v;
}

/// Hand a buffer to NumPy without copying: the array's base is a capsule owning the vector.
PyObject* to_numpy(std::vector<double>&& v, std::initializer_list<npy_intp> shape);
PyObject* to_numpy(std::vector<std::int64_t>&& v, std::initializer_list<npy_intp> shape);
PyObject* to_numpy(std::vector<npy_bool>&& v, std::initializer_list<npy_intp> shape);
/// An owned core array as a row-major (rows, cols) float64 array, without copying.
PyObject* to_numpy(Array2&& a);

/// A tuple taking over `items`; null (exception set) if any item is null.
PyObject* pack_tuple(std::vector<PyRef>&& items);

/// Raise a core Error as ValueError with its message; returns null for `return to_py_err(e);`.
PyObject* to_py_err(const Error& e);
/// Raise PanicException (an internal fault) with `message`; returns null.
PyObject* raise_panic(const std::string& message);

/// Run an entry point so no C++ exception unwinds into the interpreter: any escaping exception
/// becomes PanicException.
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return F(args, kwargs);
    } catch (const std::exception& e) {
        return raise_panic(e.what());
    } catch (...) {
        return raise_panic("unknown C++ exception");
    }
}

}  // namespace tarvic::py
