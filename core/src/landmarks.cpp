// Landmark guidance: known pairs as extra posterior mass.
#include "tarvic/landmarks.hpp"

#include <cmath>

namespace tarvic {

std::optional<Error> check_landmarks(const Landmarks& lm, std::size_t m, std::size_t n) {
    if (!(std::isfinite(lm.weight) && lm.weight > 0.0)) return Error::not_positive(lm.weight, "landmark_weight");
    for (std::size_t k = 0; k < lm.pairs.size(); ++k) {
        const auto [i, j] = lm.pairs[k];
        if (i >= m) return Error::landmark_out_of_range(k, i, m, "source");
        if (j >= n) return Error::landmark_out_of_range(k, j, n, "target");
    }
    return std::nullopt;
}

namespace {

// Each pair's share of the landmarks' posterior mass, weight × N in all.
double pair_mass(const Landmarks& lm, const Fixed& fixed) {
    return lm.weight * static_cast<double>(fixed.size()) / static_cast<double>(lm.pairs.size());
}

}  // namespace

void add_landmarks(const Landmarks& lm, const Moving& moving, const Fixed& fixed, EStep& e, FastEStep* moments) {
    if (lm.empty()) return;
    const double mass = pair_mass(lm, fixed);
    for (const auto& [i, j] : lm.pairs) {
        const double x[3] = {fixed.x[j], fixed.y[j], fixed.z[j]};
        e.p1[i] += mass;
        for (int k = 0; k < 3; ++k) e.px[3 * i + k] += mass * x[k];
        e.pt1[j] += mass;
        e.np += mass;
        if (moments) {
            // u and r are taken about the positions the E-step saw (see fast_variance).
            const double d[3] = {x[0] - moving.cx[i], x[1] - moving.cy[i], x[2] - moving.cz[i]};
            for (int k = 0; k < 3; ++k) moments->u[3 * i + k] += mass * d[k];
            moments->r[i] += mass * ((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        }
    }
}

void add_landmarks(const Landmarks& lm, const Moving& moving, const Fixed& fixed, FastTargetEStep& e) {
    if (lm.empty()) return;
    const double mass = pair_mass(lm, fixed);
    for (const auto& [i, j] : lm.pairs) {
        const double d[3] = {moving.cx[i] - fixed.x[j], moving.cy[i] - fixed.y[j], moving.cz[i] - fixed.z[j]};
        e.pt1[j] += mass;
        for (int k = 0; k < 3; ++k) e.v[3 * j + k] += mass * d[k];
        e.r[j] += mass * ((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        e.np += mass;
    }
}

}  // namespace tarvic
