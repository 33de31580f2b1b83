// Argument binding, conversions, result arrays and error raising shared by every entry point.
#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace tarvic::py {

namespace {

/// The type's short name, as CPython's own messages write it ("list", "ndarray").
const char* type_name(PyObject* o) {
    const char* full = Py_TYPE(o)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
}

/// Add the argument name to a pending TypeError (exactly TypeError: a subclass keeps its own class
/// and message); any other exception passes unchanged. Always returns false.
bool fail_arg(const char* name) {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyRef original = fetch_exception();
    if (!original) return false;
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(original));
        return false;
    }
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) return false;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return false;
    PyRef renamed = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return false;
    // Carry over what the conversion's exception carried: its cause and its traceback.
    if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(renamed.get(), cause);
    if (PyRef tb = PyRef::steal(PyException_GetTraceback(original.get()))) {
        if (PyException_SetTraceback(renamed.get(), tb.get()) < 0) return false;
    }
    restore_exception(std::move(renamed));
    return false;
}

/// Checks one ndarray argument: exact dimension count and a dtype equivalent to native `typenum`.
bool to_array(PyObject* o, const char* name, int ndim, int typenum, const char* wanted, PyRef& out) {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'ndarray'", type_name(o));
        return fail_arg(name);
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    PyRef want = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    if (!want) return false;
    if (PyArray_NDIM(a) != ndim ||
        !PyArray_EquivTypes(PyArray_DESCR(a), reinterpret_cast<PyArray_Descr*>(want.get()))) {
        PyErr_Format(PyExc_TypeError,
                     "'%s' object cannot be cast as 'ndarray': expected a %d-D %s array, got a %d-D %S array",
                     type_name(o), ndim, wanted, PyArray_NDIM(a), reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return fail_arg(name);
    }
    out = PyRef::borrow(o);
    return true;
}

constexpr const char* kBufferCapsule = "tarvic.buffer";

template <class T>
void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

template <class T>
PyObject* hand_over(std::vector<T>&& v, int typenum, std::initializer_list<npy_intp> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int nd = 0;
    for (npy_intp d : shape) dims[nd++] = d;
    // NumPy allocates empty arrays itself; there is no buffer to hand over.
    if (v.empty()) return PyArray_SimpleNew(nd, dims, typenum);
    auto owner = std::make_unique<std::vector<T>>(std::move(v));
    void* data = owner->data();
    PyRef capsule = PyRef::steal(PyCapsule_New(owner.get(), kBufferCapsule, free_buffer<T>));
    if (!capsule) return nullptr;
    owner.release();  // the capsule frees it from here on
    PyRef array = PyRef::steal(PyArray_SimpleNewFromData(nd, dims, typenum, data));
    if (!array) return nullptr;
    // Steals the capsule even when it fails, so it is released before the call.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace

PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return PyRef();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyRef* out) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(sig.count);
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    for (Py_ssize_t i = 0; i < std::min(nargs, count); ++i) out[i] = PyRef::borrow(PyTuple_GET_ITEM(args, i));

    // CPython's order: keywords first, then the positional count, then missing parameters.
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
                return false;
            }
            Py_ssize_t j = 0;
            while (j < count && PyUnicode_CompareWithASCIIString(key, sig.params[j]) != 0) ++j;
            if (j == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
                return false;
            }
            if (out[j]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, sig.params[j]);
                return false;
            }
            out[j] = PyRef::borrow(value);
        }
    }

    if (nargs > count) {
        const bool ranged = sig.required < sig.count;
        PyRef takes = PyRef::steal(ranged ? PyUnicode_FromFormat("from %zu to %zu", sig.required, sig.count)
                                          : PyUnicode_FromFormat("%zu", sig.count));
        if (!takes) return false;
        PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd %s given", sig.name, takes.get(),
                     (ranged || sig.count != 1) ? "s" : "", nargs, nargs == 1 ? "was" : "were");
        return false;
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.params[i]);
    if (!missing.empty()) {
        // 'a' / 'a' and 'b' / 'a', 'b', and 'c', as CPython lists them.
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
            names += '\'';
            names += missing[i];
            names += '\'';
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name,
                     missing.size(), missing.size() == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

bool to_cloud(PyObject* o, const char* name, PyRef& out) { return to_array(o, name, 2, NPY_FLOAT64, "float64", out); }

bool to_vector(PyObject* o, const char* name, PyRef& out) { return to_array(o, name, 1, NPY_FLOAT64, "float64", out); }

bool to_index_array(PyObject* o, const char* name, PyRef& out) {
    return to_array(o, name, 2, NPY_INT64, "int64", out);
}

bool to_float(PyObject* o, const char* name, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return fail_arg(name);
    out = v;
    return true;
}

bool to_count(PyObject* o, const char* name, std::size_t& out) {
    PyRef index;
    PyObject* integer = o;
    if (!PyLong_Check(o)) {
        index = PyRef::steal(PyNumber_Index(o));
        if (!index) return fail_arg(name);
        integer = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(integer);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_arg(name);
    if (v > std::numeric_limits<std::size_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return false;
    }
    out = static_cast<std::size_t>(v);
    return true;
}

bool to_flag(PyObject* o, const char* name, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    if (PyArray_IsScalar(o, Bool)) {
        const int truth = PyObject_IsTrue(o);
        if (truth < 0) return fail_arg(name);
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'bool'", type_name(o));
    return fail_arg(name);
}

bool to_opt_float(PyObject* o, const char* name, std::optional<double>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    double v = 0.0;
    if (!to_float(o, name, v)) return false;
    out = v;
    return true;
}

bool to_opt_count(PyObject* o, const char* name, std::optional<std::size_t>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    std::size_t v = 0;
    if (!to_count(o, name, v)) return false;
    out = v;
    return true;
}

bool to_float_pair(PyObject* o, const char* name, std::optional<std::pair<double, double>>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    if (!PyTuple_Check(o)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'tuple'", type_name(o));
        return fail_arg(name);
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    if (n != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
        return false;
    }
    double lower = 0.0, upper = 0.0;
    if (!to_float(PyTuple_GET_ITEM(o, 0), name, lower) || !to_float(PyTuple_GET_ITEM(o, 1), name, upper)) return false;
    out = std::make_pair(lower, upper);
    return true;
}

bool to_cloud_list(PyObject* o, const char* name, std::vector<PyRef>& out) {
    // A str is a sequence of str, never of clouds: refuse it outright.
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return fail_arg(name);
    }
    if (!PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'Sequence'", type_name(o));
        return fail_arg(name);
    }
    // The length only sizes the list; an object without one still iterates.
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0)
        PyErr_Clear();
    else
        out.reserve(static_cast<std::size_t>(n));
    PyRef it = PyRef::steal(PyObject_GetIter(o));
    if (!it) return fail_arg(name);
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
        PyRef cloud;
        if (!to_cloud(item.get(), name, cloud)) return false;
        out.push_back(std::move(cloud));
    }
    if (PyErr_Occurred()) return fail_arg(name);
    return true;
}

std::string shape_text(PyArrayObject* a) {
    return "[" + std::to_string(PyArray_DIM(a, 0)) + ", " + std::to_string(PyArray_DIM(a, 1)) + "]";
}

OwnedCloud copy_cloud(PyArrayObject* a) {
    const auto rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const auto cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    OwnedCloud c;
    c.values.resize(rows * cols);
    double* dst = c.values.data();
    const char* src = PyArray_BYTES(a);
    const std::size_t bytes = rows * cols * sizeof(double);
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        if (bytes) std::memcpy(dst, src, bytes);
        c.view = CloudView{dst, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    } else if (PyArray_IS_F_CONTIGUOUS(a)) {
        if (bytes) std::memcpy(dst, src, bytes);
        c.view = CloudView{dst, rows, cols, 1, static_cast<std::ptrdiff_t>(rows)};
    } else {
        const npy_intp rs = PyArray_STRIDE(a, 0), cs = PyArray_STRIDE(a, 1);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t k = 0; k < cols; ++k)
                std::memcpy(dst + r * cols + k,
                            src + static_cast<npy_intp>(r) * rs + static_cast<npy_intp>(k) * cs, sizeof(double));
        c.view = CloudView{dst, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
    return c;
}

CloudView borrow_cloud(PyArrayObject* a, OwnedCloud& keep) {
    const npy_intp rs = PyArray_STRIDE(a, 0), cs = PyArray_STRIDE(a, 1);
    const auto address = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
    constexpr npy_intp e = sizeof(double);
    // Element strides only describe buffers laid out in whole, aligned doubles.
    if (address % alignof(double) != 0 || rs % e != 0 || cs % e != 0) {
        keep = copy_cloud(a);
        return keep.view;
    }
    return CloudView{static_cast<const double*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                     static_cast<std::size_t>(PyArray_DIM(a, 1)), rs / e, cs / e};
}

PyObject* to_numpy(std::vector<double>&& v, std::initializer_list<npy_intp> shape) {
    return hand_over(std::move(v), NPY_FLOAT64, shape);
}

PyObject* to_numpy(std::vector<std::int64_t>&& v, std::initializer_list<npy_intp> shape) {
    return hand_over(std::move(v), NPY_INT64, shape);
}

PyObject* to_numpy(std::vector<npy_bool>&& v, std::initializer_list<npy_intp> shape) {
    return hand_over(std::move(v), NPY_BOOL, shape);
}

PyObject* to_numpy(Array2&& a) {
    const auto rows = static_cast<npy_intp>(a.rows), cols = static_cast<npy_intp>(a.cols);
    return hand_over(std::move(a.values), NPY_FLOAT64, {rows, cols});
}

PyObject* pack_tuple(std::vector<PyRef>&& items) {
    for (const PyRef& item : items)
        if (!item) return nullptr;
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple.release();
}

PyObject* to_py_err(const Error& e) {
    PyErr_SetString(PyExc_ValueError, e.message().c_str());
    return nullptr;
}

PyObject* raise_panic(const std::string& message) {
    // Created on first use and kept for the process; deliberately not a module attribute.
    static PyObject* panic_type = nullptr;
    if (!panic_type) {
        panic_type = PyErr_NewExceptionWithDoc(
            "tarvic_runtime.PanicException",
            "An internal fault of the tarvic extension, such as the failure of a registration worker thread.",
            PyExc_BaseException, nullptr);
        if (!panic_type) return nullptr;
    }
    PyErr_SetString(panic_type, message.c_str());
    return nullptr;
}

}  // namespace tarvic::py
