// Leading eigenpairs of a cloud's Gaussian kernel matrix, for the low-rank deformable M-step.
//
// Randomized subspace iteration (Halko, Martinsson & Tropp 2011) with two power steps and a
// Rayleigh–Ritz projection. K is never formed: every product with it is a gauss_mul on the pool.
// Reproducibility: the test matrix comes from a fixed-seed generator re-seeded on every call, and
// gauss_mul writes each output row from one task in a fixed order, so the same cloud, width and
// mode count give the same modes bit for bit at any thread count.
#include "tarvic/lowrank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tarvic/linalg.hpp"

namespace tarvic {

namespace {

// 64-bit linear congruential generator (Knuth's MMIX constants) with a fixed seed.
struct Lcg {
    std::uint64_t s = 0x9E3779B97F4A7C15ull;
    /// Advance once and return a uniform value in (0, 1) from the top 53 bits.
    double next_uniform() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(s >> 11) + 0.5) * 0x1p-53;
    }
};

// Row-major standard normal values by Box–Muller, pairs in order; an odd surplus is dropped.
void fill_standard_normal(std::vector<double>& out) {
    Lcg g;
    const std::size_t len = out.size();
    for (std::size_t i = 0; i < len; i += 2) {
        const double u1 = g.next_uniform();
        const double u2 = g.next_uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double theta = 6.283185307179586 * u2;
        out[i] = r * std::cos(theta);
        if (i + 1 < len) out[i + 1] = r * std::sin(theta);
    }
}

}  // namespace

Eigenmodes kernel_eigenmodes(const PointsF32& source, float beta, std::size_t num_modes, CancelFlag cancel) {
    return kernel_eigenmodes(source.size(), num_modes, cancel, [&](const double* in, std::size_t c, double* out) {
        const std::size_t len = source.size() * c;
        gauss_mul(source, source, beta, in, len, c, out, len, cancel);
    });
}

Eigenmodes kernel_eigenmodes(std::size_t m_pts, std::size_t num_modes, CancelFlag cancel, const KernelProduct& product) {
    Eigenmodes modes;
    if (m_pts == 0 || num_modes == 0) return modes;
    const std::size_t k = std::min(num_modes, m_pts);
    const std::size_t p = std::min(m_pts, k + 10);  // ten columns of oversampling
    const std::size_t len = m_pts * p;

    // Two M×p buffers alternate as product input and output.
    std::vector<double> a(len);
    std::vector<double> b(len);
    fill_standard_normal(a);

    // Range finder: Q spans (K·K·K)·Ω, orthonormalised after every product for stability.
    product(a.data(), p, b.data());  // Y₀ = K·Ω
    if (cancelled(cancel)) return modes;
    orthonormalise(b.data(), len, m_pts, p);
    product(b.data(), p, a.data());  // Y₁ = K·Q₀
    if (cancelled(cancel)) return modes;
    orthonormalise(a.data(), len, m_pts, p);
    product(a.data(), p, b.data());  // Y₂ = K·Q₁
    if (cancelled(cancel)) return modes;
    orthonormalise(b.data(), len, m_pts, p);
    const std::vector<double>& q = b;
    product(q.data(), p, a.data());  // B = K·Q
    const std::vector<double>& kq = a;

    // Rayleigh–Ritz: T = Qᵀ·K·Q, row by row of Q, symmetrised against rounding.
    std::vector<double> t(p * p, 0.0);
    for (std::size_t i = 0; i < m_pts; ++i) {
        const double* qi = q.data() + i * p;
        const double* bi = kq.data() + i * p;
        for (std::size_t r = 0; r < p; ++r) {
            const double qr = qi[r];
            if (qr == 0.0) continue;
            double* tr = t.data() + r * p;
            for (std::size_t c = 0; c < p; ++c) tr[c] += qr * bi[c];
        }
    }
    for (std::size_t r = 0; r < p; ++r)
        for (std::size_t c = r + 1; c < p; ++c) {
            const double avg = (t[r * p + c] + t[c * p + r]) * 0.5;
            t[r * p + c] = avg;
            t[c * p + r] = avg;
        }

    const Eigh eig = jacobi_eigh(std::move(t), p);

    // Keep the eigenvalues above 1e-10 of the largest: the rest carry no usable information
    // and would make λσ²/Λ overflow the M-step's diagonal.
    const double lead = eig.values[0];
    const double threshold = lead > 0.0 ? lead * 1e-10 : std::numeric_limits<double>::infinity();
    std::size_t m = 0;
    while (m < k && eig.values[m] > threshold) ++m;

    // U = Q·S, first m columns; accumulation over t in increasing order for each entry.
    modes.m = m;
    modes.values.assign(eig.values.begin(), eig.values.begin() + static_cast<std::ptrdiff_t>(m));
    modes.vectors.assign(m_pts * m, 0.0);
    for (std::size_t i = 0; i < m_pts; ++i) {
        const double* qi = q.data() + i * p;
        double* ui = modes.vectors.data() + i * m;
        for (std::size_t r = 0; r < p; ++r) {
            const double qr = qi[r];
            const double* sr = eig.vectors.data() + r * p;
            for (std::size_t c = 0; c < m; ++c) ui[c] += qr * sr[c];
        }
    }
    return modes;
}

}  // namespace tarvic
