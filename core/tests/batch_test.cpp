#include <gtest/gtest.h>

#include <cstring>

#include "tarvic/deform.hpp"
#include "tarvic/rigid.hpp"
#include "tarvic/threads.hpp"
#include "test_util.hpp"

using namespace tarvic;
using namespace tarvic::testing;

namespace {

struct Clouds {
    std::vector<Array2> owned;
    std::vector<CloudView> views;
    void add(Array2 a) {
        owned.push_back(std::move(a));
        views.clear();
        for (const Array2& o : owned) views.push_back(o.view());
    }
};

Clouds rotated_copies(std::size_t k, std::size_t m) {
    Clouds c;
    const Array2 base = surface_cloud(m, 4);
    for (std::size_t i = 0; i < k; ++i) {
        double r[3][3];
        const double axis[3] = {1.0, 0.5 * i, 0.3}, t[3] = {0.1 * i, 0, 0};
        axis_angle(axis, 5.0 * i, r);
        c.add(similarity(base, 1.0 + 0.05 * i, r, t));
    }
    return c;
}

using Pairs = std::vector<std::pair<std::size_t, std::size_t>>;

}  // namespace

TEST(RigidBatch, MatchesSingleFitsInPairOrder) {
    const Clouds c = rotated_copies(4, 200);
    const Pairs pairs = {{0, 1}, {1, 0}, {2, 3}, {3, 3}, {0, 2}};
    RigidOptions o;
    const auto res = rigid_register_batch(c.views, c.views, pairs, o, false, nullptr);
    ASSERT_TRUE(res.ok());
    ASSERT_EQ(res.value().size(), pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const RigidResult one = rigid_register(c.views[pairs[k].first], c.views[pairs[k].second], o, nullptr).value();
        const RigidResult& b = res.value()[k];
        EXPECT_NEAR(b.scale, one.scale, 1e-6);
        EXPECT_NEAR(b.sigma2, one.sigma2, 1e-6 * (1 + one.sigma2));
        EXPECT_LT(rotation_error_deg(b.rotation, one.rotation), 1e-3);
    }
}

TEST(RigidBatch, IdenticalRecordsForAnyThreadCount) {
    const Clouds c = rotated_copies(5, 150);
    Pairs pairs;
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t j = 0; j < 5; ++j) pairs.emplace_back(i, j);
    RigidOptions o;
    o.threads = 1;
    const auto a = rigid_register_batch(c.views, c.views, pairs, o, false, nullptr).value();
    o.threads = 3;
    const auto b = rigid_register_batch(c.views, c.views, pairs, o, false, nullptr).value();
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(std::memcmp(&a[k].rotation, &b[k].rotation, sizeof a[k].rotation), 0);
        EXPECT_EQ(a[k].scale, b[k].scale);
        EXPECT_EQ(a[k].sigma2, b[k].sigma2);
        EXPECT_EQ(a[k].iterations, b[k].iterations);
    }
}

TEST(RigidBatch, CheckPrecedence) {
    Clouds c = rotated_copies(2, 20);
    RigidOptions o;
    o.w = 1.5;
    Clouds bad;
    bad.add(Array2(0, 3));
    // Options before clouds (a single fit would report the empty cloud first).
    auto r = rigid_register_batch(bad.views, c.views, {{0, 0}}, o, false, nullptr);
    EXPECT_EQ(r.error().kind, Error::Kind::BadOutlierWeight);
    o.w = 0.0;
    r = rigid_register_batch(bad.views, c.views, {{0, 0}}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "`sources` has no points");
    // Sources before targets.
    Clouds four;
    four.add(Array2(3, 4));
    r = rigid_register_batch(bad.views, four.views, {}, o, false, nullptr);
    EXPECT_EQ(r.error().kind, Error::Kind::EmptyCloud);
    r = rigid_register_batch(c.views, four.views, {}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "expected an (N, 3) array, got (N, 4)");
    Array2 nan = surface_cloud(5);
    nan(2, 1) = std::nan("");
    Clouds withnan = c;
    withnan.add(nan);
    r = rigid_register_batch(c.views, withnan.views, {}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "`targets` contains NaN or infinite coordinates");
    // Pairs in order, source index first.
    r = rigid_register_batch(c.views, c.views, {{3, 0}}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "pair 0 references cloud 3, but only 2 were given");
    r = rigid_register_batch(c.views, c.views, {{0, 0}, {1, 1}, {0, 9}, {7, 7}}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "pair 2 references cloud 9, but only 2 were given");
    // Empty lists with no pairs succeed; one pair over empty lists does not.
    std::vector<CloudView> none;
    EXPECT_TRUE(rigid_register_batch(none, none, {}, o, false, nullptr).value().empty());
    r = rigid_register_batch(none, none, {{0, 0}}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "pair 0 references cloud 0, but only 0 were given");
}

TEST(RigidBatch, ManyCloudsOneBadIsFound) {
    Clouds c;
    for (int i = 0; i < 300; ++i) c.add(surface_cloud(8, static_cast<std::uint32_t>(i)));
    Array2 bad = surface_cloud(8, 9);
    bad(7, 2) = std::numeric_limits<double>::infinity();
    c.owned[217] = bad;
    c.views[217] = c.owned[217].view();
    RigidOptions o;
    o.threads = 2;
    const auto r = rigid_register_batch(c.views, c.views, {}, o, false, nullptr);
    EXPECT_EQ(r.error().message(), "`sources` contains NaN or infinite coordinates");
}

TEST(RigidBatch, CancelledReturnsEmpty) {
    const Clouds c = rotated_copies(3, 50);
    std::atomic<bool> flag{true};
    const auto r = rigid_register_batch(c.views, c.views, {{0, 1}, {1, 2}}, RigidOptions{}, false, &flag);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
}

TEST(DeformBatch, MatchesSingleFitsAndChecksOptionsFirst) {
    // Independently sampled clouds: the variance stays well away from collapse.
    Clouds c;
    for (std::uint32_t i = 0; i < 3; ++i) c.add(surface_cloud(100 + 10 * i, 40 + i));
    DeformOptions o;
    o.max_iterations = 20;
    o.num_modes = 30;
    const std::vector<std::pair<std::size_t, std::size_t>> pairs = {{0, 1}, {2, 0}};
    const auto res = deform_register_batch(c.views, c.views, pairs, o, false, nullptr);
    ASSERT_TRUE(res.ok());
    ASSERT_EQ(res.value().size(), 2u);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        const DeformResult one = deform_register(c.views[pairs[k].first], c.views[pairs[k].second], o, nullptr).value();
        const DeformResult& b = res.value()[k];
        EXPECT_EQ(b.modes, one.modes);
        EXPECT_EQ(b.source.values, one.source.values);
        EXPECT_NEAR(b.sigma2, one.sigma2, 1e-6 * one.sigma2);
        for (std::size_t i = 0; i < b.w.values.size(); ++i) EXPECT_NEAR(b.w.values[i], one.w.values[i], 1e-6);
    }
    o.num_modes = 0;
    Clouds bad;
    bad.add(Array2(0, 3));
    EXPECT_EQ(deform_register_batch(bad.views, bad.views, {}, o, false, nullptr).error().kind, Error::Kind::ZeroModes);
}
