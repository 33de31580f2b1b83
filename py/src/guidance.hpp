#pragma once
// Conversions of the guidance arguments of the package's fits: starting transforms and landmarks.
#include <optional>

#include "convert.hpp"
#include "tarvic/landmarks.hpp"

namespace tarvic::py {

/// None (absent) or a (4, 4) float64 array whose last row is (0, 0, 0, 1): an affine map. Its
/// singularity (and, for a rigid fit, whether it is a similarity) is the core's to judge.
bool to_start(PyObject* o, const char* name, std::optional<Affine3>& out);

/// `landmarks` (None: none) and `landmark_weight` (null: the default); `a` holds the two.
/// Landmarks are an (L, 2) array (or nested sequence) of integers of any integer dtype; the
/// first column indexes the source, the second the target.
bool to_landmarks(const PyRef* a, Landmarks& out);

}  // namespace tarvic::py
