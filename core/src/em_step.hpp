#pragma once
// What the EM loops share around their M-steps: one E-step per iteration, exact or fast, with the
// landmarks' mass added; and the posterior-weighted means of both clouds.
#include <algorithm>

#include "tarvic/fast_estep.hpp"
#include "tarvic/kernel.hpp"
#include "tarvic/landmarks.hpp"

namespace tarvic::detail {

/// The E-step of a fit: the method is chosen once; the fast path keeps its moments (for the
/// variance) and the largest bound it reached.
struct EStepRunner {
    EStepRunner(bool fast_, double tolerance_, bool parallel_, CancelFlag cancel_)
        : fast(fast_), tolerance(tolerance_), parallel(parallel_), cancel(cancel_) {}

    bool fast;
    double tolerance;  // the fast path's bound
    bool parallel;
    CancelFlag cancel;
    double bound = 0.0;
    FastEStep fe;
    FastTargetEStep ft;
    EStep exact;

    /// The posterior sums at normalised variance σ² with outlier term c, landmarks included.
    EStep& run(const Moving& mv, const Fixed& fx, double sigma2, double c, const Landmarks& landmarks) {
        if (fast) {
            fe = estep_fast(mv, fx, std::max(sigma2, kFastMinSigma2), c,
                            FastEStepOptions{tolerance, parallel, cancel, false});
            bound = std::max(bound, fe.bound);
        } else {
            exact = estep(mv, fx, parallel, cancel, estep_sigma2(sigma2), c);
        }
        EStep& e = fast ? fe.sums : exact;
        add_landmarks(landmarks, mv, fx, e, fast ? &fe : nullptr);
        return e;
    }

    /// A similarity fit's fast E-step, as sums at the target points (fast runners only).
    FastTargetEStep& run_targets(const Moving& mv, const Fixed& fx, double sigma2, double c, const Landmarks& landmarks) {
        ft = estep_fast_targets(mv, fx, std::max(sigma2, kFastMinSigma2), c,
                                FastEStepOptions{tolerance, parallel, cancel, false});
        bound = std::max(bound, ft.bound);
        add_landmarks(landmarks, mv, fx, ft);
        return ft;
    }
};

/// μx = Σ_n pt1_n·x_n / np and μy = Σ_m p1_m·y_m / np, sums in point order (normalised clouds).
inline void weighted_means(const EStep& e, const Moving& mv, const Fixed& fx, double mux[3], double muy[3]) {
    for (int a = 0; a < 3; ++a) mux[a] = muy[a] = 0.0;
    for (std::size_t k = 0; k < fx.size(); ++k) {
        mux[0] += e.pt1[k] * fx.x[k];
        mux[1] += e.pt1[k] * fx.y[k];
        mux[2] += e.pt1[k] * fx.z[k];
    }
    for (std::size_t k = 0; k < mv.size(); ++k) {
        muy[0] += e.p1[k] * mv.x[k];
        muy[1] += e.p1[k] * mv.y[k];
        muy[2] += e.p1[k] * mv.z[k];
    }
    for (int a = 0; a < 3; ++a) {
        mux[a] /= e.np;
        muy[a] /= e.np;
    }
}

}  // namespace tarvic::detail
