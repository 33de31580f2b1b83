#pragma once
// The binding functions of the package's second module, tarvic._engine.
#include "convert.hpp"
#include "interrupt.hpp"

namespace tarvic::py {

/// The watch of a single fit from its `progress`, `callback` and `progress_delay` arguments (null:
/// off, none, 0); `label` starts the progress line.
bool watch_options(const PyRef* a, const char* label, std::size_t max_iterations, Watch& w);

PyObject* engine_fit_rigid(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_rigid_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_deform(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_deform_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_apply_deform(PyObject* args, PyObject* kwargs);
PyObject* engine_correspondences(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_affine(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_affine_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_apply_affine(PyObject* args, PyObject* kwargs);

}  // namespace tarvic::py
