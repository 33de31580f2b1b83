#pragma once
// Deterministic clouds and small helpers shared by the core's tests.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tarvic/array.hpp"

namespace tarvic::testing {

/// M points on a bumpy closed surface (deterministic for a seed).
inline Array2 surface_cloud(std::size_t m, std::uint32_t seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Array2 a(m, 3);
    for (std::size_t i = 0; i < m; ++i) {
        const double th = 2.0 * M_PI * u(rng), ph = std::acos(2.0 * u(rng) - 1.0);
        const double r = 1.0 + 0.3 * std::sin(3 * th) * std::sin(2 * ph);
        a(i, 0) = 1.5 * r * std::sin(ph) * std::cos(th);
        a(i, 1) = r * std::sin(ph) * std::sin(th);
        a(i, 2) = 0.7 * r * std::cos(ph);
    }
    return a;
}

/// Rotation about a unit axis by `deg` degrees (row-major).
inline void axis_angle(const double axis[3], double deg, double r[3][3]) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    const double a = deg * M_PI / 180.0, c = std::cos(a), s = std::sin(a), t = 1 - c;
    const double m[3][3] = {{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                            {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                            {t * x * z - s * y, t * y * z + s * x, t * z * z + c}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = m[i][j];
}

/// out = s·R·p + t for every row.
inline Array2 similarity(const Array2& p, double s, const double r[3][3], const double t[3]) {
    Array2 out(p.rows, 3);
    for (std::size_t i = 0; i < p.rows; ++i)
        for (int k = 0; k < 3; ++k)
            out(i, k) = s * (r[k][0] * p(i, 0) + r[k][1] * p(i, 1) + r[k][2] * p(i, 2)) + t[k];
    return out;
}

/// Angle in degrees of Ra·Rbᵀ.
inline double rotation_error_deg(const double a[3][3], const double b[3][3]) {
    double tr = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) tr += a[i][j] * b[i][j];
    const double c = std::max(-1.0, std::min(1.0, (tr - 1.0) / 2.0));
    return std::acos(c) * 180.0 / M_PI;
}

}  // namespace tarvic::testing
