// Dense linear algebra: factorisation, solve, eigensolver and orthonormalisation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tarvic/linalg.hpp"

namespace tarvic {
namespace {

// Random symmetric positive definite n×n matrix B·Bᵀ + n·I.
std::vector<double> random_spd(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> nd;
    std::vector<double> b(n * n), a(n * n, 0.0);
    for (auto& v : b) v = nd(gen);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) a[i * n + j] += b[i * n + k] * b[j * n + k];
            if (i == j) a[i * n + j] += static_cast<double>(n);
        }
    return a;
}

// Largest |(QᵀQ − I)[a][b]| of an m×n matrix.
double orthogonality_error(const std::vector<double>& q, std::size_t m, std::size_t n) {
    double worst = 0.0;
    for (std::size_t a = 0; a < n; ++a)
        for (std::size_t b = 0; b < n; ++b) {
            double dot = 0.0;
            for (std::size_t i = 0; i < m; ++i) dot += q[i * n + a] * q[i * n + b];
            worst = std::max(worst, std::fabs(dot - (a == b ? 1.0 : 0.0)));
        }
    return worst;
}

TEST(LinalgCholesky, IdentityIsItsOwnFactor) {
    std::vector<double> a = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const auto before = a;
    EXPECT_TRUE(cholesky(a.data(), 3));
    EXPECT_EQ(a, before);
}

TEST(LinalgCholesky, RejectsIndefiniteAndNaNPivots) {
    std::vector<double> indefinite = {1, 2, 2, 1};
    EXPECT_FALSE(cholesky(indefinite.data(), 2));
    EXPECT_EQ(indefinite[0], 1.0);  // first row was factored before the second pivot failed
    EXPECT_EQ(indefinite[2], 2.0);

    std::vector<double> nan_diag = {4, 1, 1, std::numeric_limits<double>::quiet_NaN()};
    EXPECT_FALSE(cholesky(nan_diag.data(), 2));

    std::vector<double> zero_pivot = {0, 0, 0, 1};
    EXPECT_FALSE(cholesky(zero_pivot.data(), 2));
}

TEST(LinalgCholesky, FactorReconstructsAndLeavesUpperTriangle) {
    const std::size_t n = 9;
    const auto a = random_spd(n, 3);
    auto l = a;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) l[i * n + j] = -777.0;  // sentinel
    ASSERT_TRUE(cholesky(l.data(), n));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            if (j > i) {
                EXPECT_EQ(l[i * n + j], -777.0);
                continue;
            }
            double s = 0.0;
            for (std::size_t k = 0; k <= j; ++k) s += l[i * n + k] * l[j * n + k];
            EXPECT_NEAR(s, a[i * n + j], 1e-12 * std::fabs(a[i * n + i]));
        }
}

TEST(LinalgCholesky, SolveThreeRightHandSides) {
    const std::size_t n = 11;
    const auto a = random_spd(n, 7);
    auto l = a;
    ASSERT_TRUE(cholesky(l.data(), n));
    std::mt19937 gen(1);
    std::normal_distribution<double> nd;
    std::vector<double> rhs(3 * n);
    for (auto& v : rhs) v = nd(gen);
    auto x = rhs;
    cholesky_solve(l.data(), n, x.data());
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t c = 0; c < 3; ++c) {
            double ax = 0.0;
            for (std::size_t k = 0; k < n; ++k) ax += a[i * n + k] * x[3 * k + c];
            EXPECT_NEAR(ax, rhs[3 * i + c], 1e-12);
        }
}

TEST(LinalgCholesky, SolveWithDiagonalFactorIsExactDivision) {
    // Exact zeros below the diagonal are skipped: each row is divided by L[r][r] twice.
    std::vector<double> l = {2, 0, 0, 4};
    std::vector<double> b = {8, 4, -4, 32, 16, 0};
    cholesky_solve(l.data(), 2, b.data());
    EXPECT_EQ(b, (std::vector<double>{2, 1, -1, 2, 1, 0}));
}

TEST(LinalgJacobi, DiagonalMatrixIsSortedWithoutRotation) {
    const std::vector<double> a = {1, 0, 0, 0, 5, 0, 0, 0, -2};
    const Eigh e = jacobi_eigh(a, 3);
    EXPECT_EQ(e.values, (std::vector<double>{5, 1, -2}));
    // Columns are e1, e0, e2 exactly.
    EXPECT_EQ(e.vectors, (std::vector<double>{0, 1, 0, 1, 0, 0, 0, 0, 1}));
}

TEST(LinalgJacobi, EqualEigenvaluesKeepIndexOrder) {
    const std::vector<double> a = {2, 0, 0, 0, 0, 7, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2};
    const Eigh e = jacobi_eigh(a, 4);
    EXPECT_EQ(e.values, (std::vector<double>{7, 2, 2, 2}));
    // Column j is the unit vector of index order[j] = {1, 0, 2, 3}.
    const std::size_t order[4] = {1, 0, 2, 3};
    for (std::size_t j = 0; j < 4; ++j)
        for (std::size_t r = 0; r < 4; ++r) EXPECT_EQ(e.vectors[r * 4 + j], r == order[j] ? 1.0 : 0.0);
}

TEST(LinalgJacobi, SignedZerosSortByTotalOrder) {
    const std::vector<double> a = {-0.0, 0, 0, 0.0};
    const Eigh e = jacobi_eigh(a, 2);
    EXPECT_FALSE(std::signbit(e.values[0]));
    EXPECT_TRUE(std::signbit(e.values[1]));
    EXPECT_EQ(e.vectors, (std::vector<double>{0, 1, 1, 0}));
}

TEST(LinalgJacobi, TwoByTwoNeedsOneRotation) {
    const Eigh e = jacobi_eigh({2, 1, 1, 2}, 2);
    const double h = 1.0 / std::sqrt(2.0);
    EXPECT_DOUBLE_EQ(e.values[0], 3.0);
    EXPECT_DOUBLE_EQ(e.values[1], 1.0);
    EXPECT_DOUBLE_EQ(e.vectors[0], h);   // column 0: (1, 1)/√2
    EXPECT_DOUBLE_EQ(e.vectors[2], h);
    EXPECT_DOUBLE_EQ(e.vectors[1], h);   // column 1: (1, −1)/√2
    EXPECT_DOUBLE_EQ(e.vectors[3], -h);
}

TEST(LinalgJacobi, OneByOne) {
    const Eigh e = jacobi_eigh({-4.5}, 1);
    EXPECT_EQ(e.values, (std::vector<double>{-4.5}));
    EXPECT_EQ(e.vectors, (std::vector<double>{1.0}));
}

TEST(LinalgJacobi, RandomSymmetricDecomposes) {
    const std::size_t n = 20;
    std::mt19937 gen(11);
    std::normal_distribution<double> nd;
    std::vector<double> a(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = nd(gen);
    const Eigh e = jacobi_eigh(a, n);
    for (std::size_t j = 0; j + 1 < n; ++j) EXPECT_GE(e.values[j], e.values[j + 1]);
    EXPECT_LT(orthogonality_error(e.vectors, n, n), 1e-13);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t i = 0; i < n; ++i) {
            double av = 0.0;
            for (std::size_t k = 0; k < n; ++k) av += a[i * n + k] * e.vectors[k * n + j];
            EXPECT_NEAR(av, e.values[j] * e.vectors[i * n + j], 1e-12);
        }
}

TEST(LinalgOrthonormalise, OrthonormalInputIsUnchanged) {
    // Columns: a rotation's first three columns padded with zero rows (exact zeros skipped).
    const double c = std::cos(0.3), s = std::sin(0.3);
    std::vector<double> q = {c, -s, 0, s, c, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const auto before = q;
    orthonormalise(q.data(), q.size(), 5, 3);
    for (std::size_t i = 0; i < q.size(); ++i) EXPECT_NEAR(q[i], before[i], 1e-15);
}

TEST(LinalgOrthonormalise, TallRandomSpansSameSpace) {
    const std::size_t m = 300, n = 12;
    std::mt19937 gen(5);
    std::normal_distribution<double> nd;
    std::vector<double> y(m * n);
    for (auto& v : y) v = nd(gen);
    // Make it ill-conditioned: column j scaled by 10^-j/2.
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) y[i * n + j] *= std::pow(10.0, -0.5 * static_cast<double>(j));
    auto q = y;
    orthonormalise(q.data(), q.size(), m, n);
    EXPECT_LT(orthogonality_error(q, m, n), 1e-13);
    // Y = Q·(QᵀY): the span is kept.
    std::vector<double> qty(n * n, 0.0);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < n; ++b) qty[a * n + b] += q[i * n + a] * y[i * n + b];
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t b = 0; b < n; ++b) {
            double r = 0.0;
            for (std::size_t a = 0; a < n; ++a) r += q[i * n + a] * qty[a * n + b];
            EXPECT_NEAR(r, y[i * n + b], 1e-12);
        }
}

TEST(LinalgOrthonormalise, DuplicateColumnsStayFinite) {
    const std::size_t m = 50, n = 4;
    std::mt19937 gen(9);
    std::normal_distribution<double> nd;
    std::vector<double> y(m * n);
    for (std::size_t i = 0; i < m; ++i) {
        y[i * n + 0] = nd(gen);
        y[i * n + 1] = nd(gen);
        y[i * n + 2] = y[i * n + 1];  // duplicate: the Gram matrix is singular
        y[i * n + 3] = nd(gen);
    }
    orthonormalise(y.data(), y.size(), m, n);
    for (double v : y) EXPECT_TRUE(std::isfinite(v));
    // The independent leading columns still come out orthonormal.
    double d00 = 0, d01 = 0, d11 = 0;
    for (std::size_t i = 0; i < m; ++i) {
        d00 += y[i * n] * y[i * n];
        d01 += y[i * n] * y[i * n + 1];
        d11 += y[i * n + 1] * y[i * n + 1];
    }
    EXPECT_NEAR(d00, 1.0, 1e-10);
    EXPECT_NEAR(d01, 0.0, 1e-10);
    EXPECT_NEAR(d11, 1.0, 1e-10);
}

TEST(LinalgOrthonormalise, AllZeroStaysZero) {
    // Wide enough that the first shift underflows to zero: the give-up must still be reached.
    for (std::size_t n : {std::size_t{1}, std::size_t{3}, std::size_t{110}}) {
        const std::size_t m = 120;
        std::vector<double> y(m * n, 0.0);
        orthonormalise(y.data(), y.size(), m, n);
        for (double v : y) ASSERT_EQ(v, 0.0) << "n = " << n;
    }
}

TEST(LinalgOrthonormalise, NaNInputIsLeftAsItWas) {
    // A NaN trace never passes the shift test; the routine must give up rather than retry forever.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> y = {1, 0, nan, 1, 0, 1};
    orthonormalise(y.data(), y.size(), 3, 2);
    EXPECT_EQ(y[0], 1.0);
    EXPECT_EQ(y[1], 0.0);
    EXPECT_TRUE(std::isnan(y[2]));
    EXPECT_EQ(y[3], 1.0);
    EXPECT_EQ(y[4], 0.0);
    EXPECT_EQ(y[5], 1.0);
}

}  // namespace
}  // namespace tarvic
