#pragma once
// The binding functions of the package's second module, tarvic._engine.
#include "convert.hpp"

namespace tarvic::py {

PyObject* engine_fit_rigid(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_rigid_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_deform(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_deform_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_apply_deform(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_affine(PyObject* args, PyObject* kwargs);
PyObject* engine_fit_affine_batch(PyObject* args, PyObject* kwargs);
PyObject* engine_apply_affine(PyObject* args, PyObject* kwargs);

}  // namespace tarvic::py
