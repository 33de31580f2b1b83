#pragma once
// Landmark guidance (extended CPD, Golyanik et al. 2016): known (source, target) point pairs that
// enter every M-step as posterior mass of their own, so a few pairs steer a fit past a wrong
// local optimum that the unlabelled points alone would settle in.
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "tarvic/error.hpp"
#include "tarvic/fast_estep.hpp"
#include "tarvic/kernel.hpp"

namespace tarvic {

/// Known correspondences of one fit and how strongly they pull.
struct Landmarks {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (source row, target row)
    // Together the pairs carry `weight` times N of posterior mass (N target points), split evenly:
    // 1 makes them pull as hard as all the points together, whatever the cloud sizes.
    double weight = 0.1;

    bool empty() const { return pairs.empty(); }
};

/// The weight, then every pair against M source and N target points (the first bad pair is named).
std::optional<Error> check_landmarks(const Landmarks& lm, std::size_t m, std::size_t n);

/// Add the pairs to one E-step's sums as observations with known assignment: for a pair (i, j) of
/// mass ω, p1[i] += ω, px[i] += ω·x_j, pt1[j] += ω and np += ω. The M-steps, variance updates
/// included, then weigh each pair like ω points matched for certain. `moments`, on the fast path,
/// is the E-step whose sums `e` are: its moments about the current positions get the pairs too.
void add_landmarks(const Landmarks& lm, const Moving& moving, const Fixed& fixed, EStep& e, FastEStep* moments);

/// The same pairs added to a similarity fit's sums at the target points: pt1[j] += ω,
/// v[j] += ω·(y_i − x_j), r[j] += ω·|y_i − x_j|² and np += ω, y_i the current position.
void add_landmarks(const Landmarks& lm, const Moving& moving, const Fixed& fixed, FastTargetEStep& e);

}  // namespace tarvic
