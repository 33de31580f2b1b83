// Double-precision pair sums of the Gauss transform's direct and near paths.
#include "pair_sums.hpp"

#include <cstring>

#include "exp64.hpp"
#include "simd.hpp"

namespace tarvic::detail {

namespace {


[[gnu::always_inline]] inline v8d load(const double* p) {
    v8d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store(double* p, v8d v) { std::memcpy(p, &v, sizeof v); }
// |v| by clearing the sign bit (one operation; a compare and a select before). It differs from
// v < 0 ? −v : v only on −0, which becomes +0: the lane sums start at +0 and never become −0, so
// adding either leaves them the same.
[[gnu::always_inline]] inline v8d vabs(v8d v) {
    v8l bits;
    std::memcpy(&bits, &v, sizeof v);
    bits &= 0x7fffffffffffffffLL;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Lane-wise exp64 (the same steps as the scalar routine in exp64.hpp).
[[gnu::always_inline]] inline v8d exp64_v8(v8d x) {
    const v8d t = x * kLog2e + kRoundMagic;
    const v8d n = t - kRoundMagic;
    const v8d r = (x - n * kLn2Hi) - n * kLn2Lo;
    long long magic;
    std::memcpy(&magic, &kRoundMagic, sizeof magic);
    v8l tb;
    std::memcpy(&tb, &t, sizeof tb);
    const v8l bits = (tb - magic + 1023) << 52;
    v8d two_n;
    std::memcpy(&two_n, &bits, sizeof two_n);
    return two_n * exp_poly64(r);
}

const v8d kLaneIndex = {0, 1, 2, 3, 4, 5, 6, 7};

// The kernel exp(max(−d²/2h², −708)) lane-wise.
[[gnu::always_inline]] inline v8d clamped_kernel(v8d d2, double inv_2h2) {
    v8d a = d2 * -inv_2h2;          // the same value as −(d²·inv_2h2)
    a = a > kExpMin ? a : kExpMin;  // also maps NaN to the clamp
    return exp64_v8(a);
}

// Kernel values of eight sources at p (masked to zero at and beyond `left` lanes), and offsets.
struct Eight {
    v8d k, dx, dy, dz, d2;
};

// `full`: all eight lanes lie within the run (no mask needed).
template <bool full = false>
[[gnu::always_inline]] inline Eight eight(const SourceArrays& s, std::size_t p, double tx, double ty, double tz,
                                         double inv_2h2, double left) {
    Eight e;
    e.dx = load(s.x.data() + p) - tx;
    e.dy = load(s.y.data() + p) - ty;
    e.dz = load(s.z.data() + p) - tz;
    e.d2 = (e.dx * e.dx + e.dy * e.dy) + e.dz * e.dz;
    const v8d k = clamped_kernel(e.d2, inv_2h2);
    if constexpr (full)
        e.k = k;
    else
        e.k = kLaneIndex < left ? k : 0.0;
    return e;
}


// The exact E-step's single-precision kernel on eight sources (same operations, same order).
[[gnu::always_inline]] inline Eight eight32(const SourceArrays& s, std::size_t p, double tx, double ty, double tz,
                                           float g, double left) {
    const v8f fx = __builtin_convertvector(load(s.x.data() + p), v8f) - static_cast<float>(tx);
    const v8f fy = __builtin_convertvector(load(s.y.data() + p), v8f) - static_cast<float>(ty);
    const v8f fz = __builtin_convertvector(load(s.z.data() + p), v8f) - static_cast<float>(tz);
    const v8f d2 = fz * fz + (fy * fy + fx * fx);
    const v8f a = d2 * g;
    const v8f floor = {-126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f, -126.0f};
    const v8f t = a > floor ? a : floor;
    const v8f n = (t + 12582912.0f) - 12582912.0f;
    const v8f f = t - n;
    const v8i bits = (__builtin_convertvector(n, v8i) + 127) << 23;
    v8f two_n;
    std::memcpy(&two_n, &bits, sizeof two_n);
    const v8f k = two_n * (1.0f + f * (0.693147182f + f * (0.240226507f + f * (0.0555041097f +
                  f * (0.00961812865f + f * (0.00133335579f + f * (0.000154035297f + f * 1.52527336e-5f)))))));
    Eight e;
    e.dx = __builtin_convertvector(fx, v8d);
    e.dy = __builtin_convertvector(fy, v8d);
    e.dz = __builtin_convertvector(fz, v8d);
    e.d2 = __builtin_convertvector(d2, v8d);
    const v8d kd = __builtin_convertvector(k, v8d);
    e.k = kLaneIndex < left ? kd : 0.0;
    return e;
}

// One group of eight for add_one_column_max (`full`: all eight lanes lie within the run). A
// function, not a lambda: GCC may leave a lambda out of line at -O2, built for the baseline. It
// forms d² and the exponent itself rather than through eight(), which needs the exponent again:
// that way GCC compiled the masked group three times slower.
template <bool full>
[[gnu::always_inline]] inline void max_group(const SourceArrays& s, const double* q, std::size_t p, std::size_t end,
                                             double tx, double ty, double tz, double inv_2h2, v8d& a0, v8d& amax) {
    const double left = static_cast<double>(end - p);
    const v8d dx = load(s.x.data() + p) - tx, dy = load(s.y.data() + p) - ty, dz = load(s.z.data() + p) - tz;
    v8d a = ((dx * dx + dy * dy) + dz * dz) * -inv_2h2;
    a = a > kExpMin ? a : kExpMin;
    const v8d k = exp64_v8(a);
    if constexpr (full) {
        a0 += k * load(q + p);
        amax = a > amax ? a : amax;
    } else {
        a0 += (kLaneIndex < left ? k : 0.0) * load(q + p);
        const v8d live = kLaneIndex < left ? a : kExpMin;
        amax = live > amax ? live : amax;
    }
}

TARVIC_CLONES
void add_one_column_max(const SourceArrays& s, std::size_t begin, std::size_t end, double tx, double ty, double tz,
                        double inv_2h2, double* acc) {
    v8d a0 = load(acc), amax = load(acc + 8);
    const double* q = s.column(0);
    std::size_t p = begin;
    for (; p + 2 * kPairLanes <= end; p += 2 * kPairLanes) {
        max_group<true>(s, q, p, end, tx, ty, tz, inv_2h2, a0, amax);
        max_group<true>(s, q, p + kPairLanes, end, tx, ty, tz, inv_2h2, a0, amax);
    }
    for (; p < end; p += kPairLanes) max_group<false>(s, q, p, end, tx, ty, tz, inv_2h2, a0, amax);
    store(acc, a0);
    store(acc + 8, amax);
}

TARVIC_CLONES
void add_one_column(const SourceArrays& s, std::size_t begin, std::size_t end, double tx, double ty, double tz,
                    double inv_2h2, double* acc) {
    v8d a0 = load(acc);
    const double* q = s.column(0);
    std::size_t p = begin;
    for (; p + 2 * kPairLanes <= end; p += 2 * kPairLanes) {
        const Eight e = eight<true>(s, p, tx, ty, tz, inv_2h2, 0.0);
        const Eight f = eight<true>(s, p + kPairLanes, tx, ty, tz, inv_2h2, 0.0);
        a0 += e.k * load(q + p);
        a0 += f.k * load(q + p + kPairLanes);
    }
    for (; p < end; p += kPairLanes) {
        const Eight e = eight(s, p, tx, ty, tz, inv_2h2, static_cast<double>(end - p));
        a0 += e.k * load(q + p);
    }
    store(acc, a0);
}

// The lane sums of add_moments, and what one group of eight adds to them.
struct Moments {
    v8d a0, ax, ay, az, a2, am;
    [[gnu::always_inline]] static Moments load_from(const double* acc) {
        return {load(acc), load(acc + 8), load(acc + 16), load(acc + 24), load(acc + 32), load(acc + 40)};
    }
    [[gnu::always_inline]] void store_to(double* acc) const {
        store(acc, a0);
        store(acc + 8, ax);
        store(acc + 16, ay);
        store(acc + 24, az);
        store(acc + 32, a2);
        store(acc + 40, am);
    }
    [[gnu::always_inline]] void add(const Eight& e, v8d kq) {
        a0 += kq;
        ax += kq * e.dx;
        ay += kq * e.dy;
        az += kq * e.dz;
        a2 += kq * e.d2;
        am += kq * ((vabs(e.dx) + vabs(e.dy)) + vabs(e.dz));
    }
};

TARVIC_CLONES
void add_moments(const SourceArrays& s, std::size_t begin, std::size_t end, double tx, double ty, double tz,
                 double inv_2h2, double* acc) {
    Moments m = Moments::load_from(acc);
    const double* q = s.column(0);
    std::size_t p = begin;
    // Two groups of eight per round (the kernel values of the second do not wait on the first's
    // sums); each lane still adds its sources in order.
    for (; p + 2 * kPairLanes <= end; p += 2 * kPairLanes) {
        const Eight e = eight<true>(s, p, tx, ty, tz, inv_2h2, 0.0);
        const Eight f = eight<true>(s, p + kPairLanes, tx, ty, tz, inv_2h2, 0.0);
        const v8d kq = e.k * load(q + p), kf = f.k * load(q + p + kPairLanes);
        m.add(e, kq);
        m.add(f, kf);
    }
    for (; p < end; p += kPairLanes) {
        const Eight e = eight(s, p, tx, ty, tz, inv_2h2, static_cast<double>(end - p));
        m.add(e, e.k * load(q + p));
    }
    m.store_to(acc);
}

TARVIC_CLONES
void add_moments_tile_impl(const SourceArrays& s, std::size_t begin, std::size_t end, const double* t, double inv_2h2,
                           double* acc) {
    const v8d tx = load(t), ty = load(t + 8), tz = load(t + 16);
    Moments m = Moments::load_from(acc);
    const double* q = s.column(0);
    for (std::size_t j = begin; j < end; ++j) {
        Eight e;
        e.dx = s.x[j] - tx;  // source minus point, as eight() forms it
        e.dy = s.y[j] - ty;
        e.dz = s.z[j] - tz;
        e.d2 = (e.dx * e.dx + e.dy * e.dy) + e.dz * e.dz;
        e.k = clamped_kernel(e.d2, inv_2h2);
        m.add(e, e.k * q[j]);
    }
    m.store_to(acc);
}

TARVIC_CLONES
void add_general(const PairLayout& l, const SourceArrays& s, std::size_t begin, std::size_t end, double tx,
                 double ty, double tz, double* acc) {
    const std::size_t c = l.c, vs = l.value_slots(), ns = l.signed_cols.size();
    for (std::size_t p = begin; p < end; p += kPairLanes) {
        const double left = static_cast<double>(end - p);
        const Eight e = l.g32 != 0.0f ? eight32(s, p, tx, ty, tz, l.g32, left) : eight(s, p, tx, ty, tz, l.inv_2h2, left);
        if (l.track_max) {
            // The exponent in natural-log units: −d²/2h² (clamped), whichever kernel is in use.
            v8d a = -(e.d2 * l.inv_2h2);
            a = a > kExpMin ? a : kExpMin;
            const v8d live = kLaneIndex < left ? a : kExpMin;
            double* m = acc + 8 * l.max_slot();
            const v8d cur = load(m);
            store(m, live > cur ? live : cur);
        }
        for (std::size_t k = 0; k < c; ++k) store(acc + 8 * k, load(acc + 8 * k) + e.k * load(s.column(k) + p));
        for (std::size_t t = 0; t < ns; ++t) {
            double* a = acc + 8 * (vs + t);
            store(a, load(a) + e.k * vabs(load(s.column(l.signed_cols[t]) + p)));
        }
        if (l.moments) {
            const v8d kq = e.k * load(s.column(0) + p);
            double* a = acc + 8 * c;
            store(a, load(a) + kq * e.dx);
            store(a + 8, load(a + 8) + kq * e.dy);
            store(a + 16, load(a + 16) + kq * e.dz);
            store(a + 24, load(a + 24) + kq * e.d2);
            double* m = acc + 8 * (vs + ns);
            store(m, load(m) + kq * ((vabs(e.dx) + vabs(e.dy)) + vabs(e.dz)));
        }
    }
}

}  // namespace

void add_pairs(const PairLayout& layout, const SourceArrays& src, std::size_t begin, std::size_t end, double tx,
               double ty, double tz, double* acc) {
    if (begin >= end) return;
    if (layout.c == 1 && layout.signed_cols.empty() && layout.g32 == 0.0f) {
        if (!layout.moments && !layout.track_max) return add_one_column(src, begin, end, tx, ty, tz, layout.inv_2h2, acc);
        if (!layout.moments) return add_one_column_max(src, begin, end, tx, ty, tz, layout.inv_2h2, acc);
        if (!layout.track_max) return add_moments(src, begin, end, tx, ty, tz, layout.inv_2h2, acc);
    }
    add_general(layout, src, begin, end, tx, ty, tz, acc);
}

void add_moments_tile(const SourceArrays& src, std::size_t begin, std::size_t end, const double* t, double inv_2h2,
                      double* acc) {
    if (begin < end) add_moments_tile_impl(src, begin, end, t, inv_2h2, acc);
}

void fold_lanes(const PairLayout& layout, const double* acc, double* out) {
    const std::size_t sums = layout.max_slot();
    for (std::size_t s = 0; s < sums; ++s) {
        const double* a = acc + kPairLanes * s;
        out[s] = ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
    }
    if (layout.track_max) {
        const double* a = acc + kPairLanes * sums;
        double m = a[0];
        for (std::size_t l = 1; l < kPairLanes; ++l) m = a[l] > m ? a[l] : m;
        out[sums] = m;
    }
}

void reset_lanes(const PairLayout& layout, double* acc) {
    const std::size_t n = layout.slots() * kPairLanes;
    for (std::size_t i = 0; i < n; ++i) acc[i] = 0.0;
    if (layout.track_max)
        for (std::size_t l = 0; l < kPairLanes; ++l) acc[layout.max_slot() * kPairLanes + l] = -1e308;
}

SourceArrays gather_sources(const double* x, const double* y, const double* z, const double* q, std::size_t c,
                            const unsigned* idx, std::size_t n) {
    SourceArrays s;
    s.n = n;
    s.c = c;
    s.stride = n + kPairLanes;
    s.x.assign(s.stride, 0.0);
    s.y.assign(s.stride, 0.0);
    s.z.assign(s.stride, 0.0);
    s.q.assign(c * s.stride, 0.0);
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t j = idx ? idx[p] : p;
        s.x[p] = x[j];
        s.y[p] = y[j];
        s.z[p] = z[j];
        for (std::size_t k = 0; k < c; ++k) s.q[k * s.stride + p] = q[j * c + k];
    }
    return s;
}

}  // namespace tarvic::detail
