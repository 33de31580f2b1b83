#pragma once
// The binding functions behind the module's Python functions (each `<name>_py` is exposed as `<name>`).
#include "convert.hpp"

namespace tarvic::py {

PyObject* fit_rigid_py(PyObject* args, PyObject* kwargs);
PyObject* fit_rigid_batch_py(PyObject* args, PyObject* kwargs);
PyObject* apply_rigid_py(PyObject* args, PyObject* kwargs);
PyObject* fit_deform_py(PyObject* args, PyObject* kwargs);
PyObject* fit_deform_batch_py(PyObject* args, PyObject* kwargs);
PyObject* apply_deform_py(PyObject* args, PyObject* kwargs);

/// The source and target lists of a batch and its pairs, prepared with the lock held.
struct BatchInput {
    std::vector<OwnedCloud> source_copies;
    std::vector<OwnedCloud> target_copies;  // empty when the sources serve as targets too
    std::vector<CloudView> sources;
    std::vector<CloudView> targets;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
};

/// Copy the converted clouds (each once; `targets` null shares the source copies) and read the pairs.
bool prepare_batch(const std::vector<PyRef>& sources, const std::vector<PyRef>* targets, PyArrayObject* pairs,
                   BatchInput& out);

}  // namespace tarvic::py
