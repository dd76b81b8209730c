// SPDX-License-Identifier: GPL-3.0-or-later
// The all-round decoder's design routines, without a host: the virtual speakers, the panning
// layouts and their imaginary speakers, panning gains, the energy scaling, the bad layouts, and
// agreement with the sampling matrix where the layout is regular.
#include "ambi/allrad.hpp"
#include "ambi/flavours.hpp"
#include "ambi/handover.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

using namespace tovo::ambi;

constexpr double DEG = M_PI / 180.0;
constexpr double TIGHT = 1e-9;

std::vector<float> order_weights(const AmbiFormat& f, std::int32_t flavour) {
    std::vector<float> order(ORDER_WEIGHT_COUNT), channel(MAX_CHANNELS);
    decoder_apply_flavour(f, flavour, order.data(), channel.data());
    return order;
}

struct Layout {
    std::vector<float> azimuth, elevation; // radians
    void add(double azimuth_deg, double elevation_deg) {
        azimuth.push_back(static_cast<float>(azimuth_deg * DEG));
        elevation.push_back(static_cast<float>(elevation_deg * DEG));
    }
    int size() const { return static_cast<int>(azimuth.size()); }
    std::vector<Direction> directions() const {
        std::vector<Direction> d;
        for (int k = 0; k < size(); ++k)
            d.push_back(direction_of(azimuth[k], elevation[k]));
        return d;
    }
};

Layout ring(int n, double elevation_deg = 0, double first_deg = 0) {
    Layout l;
    for (int k = 0; k < n; ++k)
        l.add(first_deg + 360.0 * k / n, elevation_deg);
    return l;
}

Layout dome() {
    Layout l = ring(8);
    for (int k = 0; k < 6; ++k)
        l.add(60.0 * k, 35);
    l.add(0, 70);
    l.add(180, 70);
    return l;
}

// The twelve vertices of the icosahedron, a spherical 5-design.
Layout icosahedron() {
    Layout l;
    l.add(0, 90);
    l.add(0, -90);
    const double ring_el = std::atan(0.5) / DEG;
    for (int k = 0; k < 5; ++k) {
        l.add(72.0 * k, ring_el);
        l.add(72.0 * k + 36.0, -ring_el);
    }
    return l;
}

AllradDesign design_of(const AmbiFormat& f, const Layout& l,
                       std::int32_t flavour = FLAVOUR_MAX_RE) {
    const std::vector<float> w = order_weights(f, flavour);
    AllradDesign d;
    allrad_design(f, w.data(), l.size(), l.azimuth.data(), l.elevation.data(), d);
    return d;
}

// The encoder's channels for a unit source, W included.
std::vector<double> source(const AmbiFormat& f, double azimuth_rad, double elevation_rad) {
    float y[MAX_CHANNELS] = {0.70710677f};
    ambi_weights(f.order, f.dimension, static_cast<float>(azimuth_rad),
                 static_cast<float>(elevation_rad), y);
    return {y, y + f.channel_count};
}

struct Heard {
    double energy, magnitude;
};

Heard hear(const AmbiFormat& f, const DesignMatrix& m, const Layout& l, double az, double el) {
    const std::vector<double> y = source(f, az, el);
    double energy = 0, x = 0, yy = 0, z = 0;
    for (int k = 0; k < l.size(); ++k) {
        double g = 0;
        for (int c = 0; c < f.channel_count; ++c)
            g += m[k][c] * y[c];
        const Direction u = direction_of(l.azimuth[k], f.dimension == 3 ? l.elevation[k] : 0.0);
        energy += g * g;
        x += g * g * u.x, yy += g * g * u.y, z += g * g * u.z;
    }
    return {energy, std::hypot(x, yy, z) / energy};
}

bool all_finite(const DesignMatrix& m) {
    for (const auto& row : m)
        for (double v : row)
            if (!std::isfinite(v))
                return false;
    return true;
}

TEST(VirtualSpeakers, SpreadEvenlyOverTheSphereAndTheCircle) {
    const std::vector<Direction> s = sphere_points(VIRTUAL_SPHERE_POINTS);
    ASSERT_GE(s.size(), 200u);
    Direction sum{0, 0, 0};
    int octant[8] = {};
    for (const Direction& d : s) {
        EXPECT_NEAR(std::hypot(d.x, d.y, d.z), 1.0, TIGHT);
        sum.x += d.x, sum.y += d.y, sum.z += d.z;
        ++octant[(d.x > 0) + 2 * (d.y > 0) + 4 * (d.z > 0)];
    }
    EXPECT_LT(std::hypot(sum.x, sum.y, sum.z) / s.size(), 1e-3);
    for (int n : octant)
        EXPECT_NEAR(n, s.size() / 8.0, s.size() / 100.0);
    const std::vector<Direction> c = circle_points(VIRTUAL_CIRCLE_POINTS);
    EXPECT_GE(c.size(), 2u * MAX_ORDER + 2);
    EXPECT_NEAR(azimuth_of(c[1]) - azimuth_of(c[0]), 2 * M_PI / c.size(), TIGHT);
}

TEST(PanningLayout, HullOfARegularLayoutNeedsNoImaginarySpeaker) {
    const PanningLayout l = triangulate_sphere(icosahedron().directions());
    EXPECT_EQ(l.problem, LAYOUT_GOOD);
    EXPECT_EQ(l.points.size(), 12u);
    EXPECT_EQ(l.faces.size(), 20u);
}

TEST(PanningLayout, ImaginarySpeakersCloseADomeAndTheGapsOfACircle) {
    // A dome with nothing below: the nadir closes it.
    PanningLayout l = triangulate_sphere(dome().directions());
    ASSERT_EQ(l.problem, LAYOUT_GOOD);
    ASSERT_EQ(l.points.size(), 17u);
    EXPECT_NEAR(l.points[16].z, -1.0, TIGHT);
    // The same dome upside down: the zenith.
    Layout under = dome();
    for (float& e : under.elevation)
        e = -e;
    l = triangulate_sphere(under.directions());
    ASSERT_EQ(l.points.size(), 17u);
    EXPECT_NEAR(l.points[16].z, 1.0, TIGHT);
    // A ring below ear level and one above: the listener is inside, nothing is added.
    Layout two_rings = ring(6, -10);
    for (int k = 0; k < 6; ++k)
        two_rings.add(60.0 * k + 30, 40);
    EXPECT_EQ(triangulate_sphere(two_rings.directions()).points.size(), 12u);

    // The five-speaker ring has no gap of half the circle; a stereo pair has one of 300 degrees,
    // split in three; two opposite speakers leave two halves, each split once.
    Layout five;
    for (double az : {-30, 30, 0, -110, 110})
        five.add(az, 0);
    l = pair_circle(five.directions());
    EXPECT_EQ(l.points.size(), 5u);
    EXPECT_EQ(l.faces.size(), 5u);
    Layout stereo;
    stereo.add(-30, 0);
    stereo.add(30, 0);
    l = pair_circle(stereo.directions());
    ASSERT_EQ(l.points.size(), 4u);
    EXPECT_NEAR(azimuth_of(l.points[2]) / DEG, 130, 1e-6);
    EXPECT_NEAR(azimuth_of(l.points[3]) / DEG, -130, 1e-6);
    EXPECT_EQ(pair_circle(ring(2).directions()).points.size(), 4u);
    EXPECT_EQ(pair_circle(ring(1).directions()).points.size(), 3u);
}

TEST(PanningLayout, BadLayoutsAreNamed) {
    Layout two;
    two.add(0, 0);
    two.add(90, 30);
    EXPECT_EQ(triangulate_sphere(two.directions()).problem, LAYOUT_TOO_FEW);

    Layout twice = dome();
    twice.add(45, 0); // speaker 16 stands where speaker 1 does
    const PanningLayout l = triangulate_sphere(twice.directions());
    EXPECT_EQ(l.problem, LAYOUT_SAME_DIRECTION);
    EXPECT_EQ(l.first, 1);
    EXPECT_EQ(l.second, 16);
    Layout five_twice = ring(5);
    five_twice.azimuth[3] = five_twice.azimuth[1];
    EXPECT_EQ(pair_circle(five_twice.directions()).problem, LAYOUT_SAME_DIRECTION);

    // A horizontal ring, and a tilted one: one plane through the listener either way.
    EXPECT_EQ(triangulate_sphere(ring(8).directions()).problem, LAYOUT_ONE_PLANE);
    Layout tilted;
    for (int k = 0; k < 8; ++k)
        tilted.add(90, 45.0 * k - 180); // a circle through the poles
    EXPECT_EQ(triangulate_sphere(tilted.directions()).problem, LAYOUT_ONE_PLANE);

    // Everything in front: neither the nadir nor the zenith puts the listener inside.
    Layout front;
    for (double az : {-30, 30})
        for (double el : {-20, 20})
            front.add(az, el);
    EXPECT_EQ(triangulate_sphere(front.directions()).problem, LAYOUT_LISTENER_OUTSIDE);
}

TEST(PanningGains, UnitPowerOnTheFaceThatHoldsTheDirection) {
    const Layout l = icosahedron();
    const PanningLayout p = triangulate_sphere(l.directions());
    std::vector<double> g;
    // At a speaker: that speaker alone.
    panning_gains(p, direction_of(l.azimuth[3], l.elevation[3]), g);
    EXPECT_NEAR(g[3], 1.0, 1e-9);
    EXPECT_NEAR(std::accumulate(g.begin(), g.end(), 0.0), 1.0, 1e-9);
    // Anywhere: unit power on at most three speakers, never negative.
    for (const Direction& d : sphere_points(300)) {
        panning_gains(p, d, g);
        double power = 0;
        int used = 0;
        for (double v : g) {
            EXPECT_GE(v, 0.0);
            power += v * v;
            used += v > 0;
        }
        EXPECT_NEAR(power, 1.0, 1e-9);
        EXPECT_LE(used, 3);
    }
    // Halfway between two neighbours on a circle: both alike.
    const PanningLayout c = pair_circle(ring(4).directions());
    panning_gains(c, direction_of(45 * DEG, 0), g);
    EXPECT_NEAR(g[0], M_SQRT1_2, 1e-7);
    EXPECT_NEAR(g[1], M_SQRT1_2, 1e-7);
}

TEST(Energy, ChannelEnergiesAreTheMeansOverTheSphereAndTheCircle) {
    for (int dimension : {2, 3}) {
        const AmbiFormat f = ambi_format(dimension, 3);
        double quadrature[MAX_CHANNELS];
        channel_energies(f, quadrature);
        // A fine grid, weighted by the area of each band.
        std::vector<double> mean(f.channel_count, 0.0);
        double total = 0;
        const int bands = dimension == 3 ? 180 : 1;
        for (int i = 0; i < bands; ++i) {
            const double el = dimension == 3 ? (-90 + (i + 0.5) * 180.0 / bands) * DEG : 0.0;
            for (int j = 0; j < 360; ++j) {
                const std::vector<double> y = source(f, j * DEG, el);
                for (int c = 0; c < f.channel_count; ++c)
                    mean[c] += std::cos(el) * y[c] * y[c];
                total += std::cos(el);
            }
        }
        EXPECT_NEAR(quadrature[0], 0.5, 1e-7);
        for (int c = 0; c < f.channel_count; ++c)
            EXPECT_NEAR(quadrature[c], mean[c] / total, 1e-4) << "channel " << f.letters[c];
    }
}

TEST(Design, EveryMatrixHasUnitMeanEnergyAndIsFinite) {
    Layout five;
    for (double az : {-30, 30, 0, -110, 110})
        five.add(az, 0);
    Layout twice = dome();
    twice.add(45, 0);
    struct Case {
        AmbiFormat format;
        Layout layout;
        LayoutProblem problem;
    };
    const Case cases[] = {
        {ambi_format(2, 2), five, LAYOUT_GOOD},
        {ambi_format(2, 3), ring(8), LAYOUT_GOOD},
        {ambi_format(2, 1), ring(1), LAYOUT_GOOD},
        {ambi_format(3, 3), dome(), LAYOUT_GOOD},
        {ambi_format(3, 1), icosahedron(), LAYOUT_GOOD},
        {ambi_format(3, 3), ring(8), LAYOUT_ONE_PLANE},
        {ambi_format(3, 2), ring(2, 30), LAYOUT_TOO_FEW},
        {ambi_format(3, 3), twice, LAYOUT_SAME_DIRECTION},
    };
    for (const Case& c : cases) {
        for (std::int32_t flavour : {FLAVOUR_MAX_RE, FLAVOUR_NONE}) {
            const AllradDesign d = design_of(c.format, c.layout, flavour);
            EXPECT_EQ(d.problem, c.problem);
            EXPECT_TRUE(all_finite(d.matrix));
            EXPECT_NEAR(mean_energy(c.format, d.matrix, c.layout.size()), 1.0, 1e-9);
            EXPECT_EQ(d.virtual_count > 0, c.problem == LAYOUT_GOOD);
            // Rows past the layout stay silent.
            for (int k = c.layout.size(); k < MAX_SPEAKERS; ++k)
                for (double v : d.matrix[k])
                    EXPECT_EQ(v, 0.0);
        }
    }
}

TEST(Design, BadLayoutsPlayTheSamplingMatrix) {
    const AmbiFormat f = ambi_format(3, 3);
    const std::vector<float> w = order_weights(f, FLAVOUR_MAX_RE);
    const Layout flat = ring(8);
    DesignMatrix sampling;
    sampling_design(f, w.data(), flat.size(), flat.azimuth.data(), flat.elevation.data(), sampling);
    const AllradDesign d = design_of(f, flat);
    for (int k = 0; k < flat.size(); ++k)
        for (int c = 0; c < f.channel_count; ++c)
            EXPECT_EQ(d.matrix[k][c], sampling[k][c]);
}

// On a regular layout panning changes little: the energy vector stays within 0.02 of the
// sampling matrix's with the same weights, and the loudness is even. (The icosahedron, a
// 5-design, is regular enough for first order; its wide triangles spread second order by 0.025.)
TEST(Design, AgreesWithTheSamplingMatrixOnRegularLayouts) {
    struct Case {
        AmbiFormat format;
        Layout layout;
    };
    for (const Case& c : {
             Case{ambi_format(2, 3), ring(8, 0, -22.5)},
             Case{ambi_format(3, 1), icosahedron()},
         }) {
        const AllradDesign d = design_of(c.format, c.layout);
        ASSERT_EQ(d.problem, LAYOUT_GOOD);
        const std::vector<float> w = order_weights(c.format, FLAVOUR_MAX_RE);
        DesignMatrix sampling;
        sampling_design(c.format, w.data(), c.layout.size(), c.layout.azimuth.data(),
                        c.layout.elevation.data(), sampling);
        double low = 1e300, high = 0, worst = 0;
        const int bands = c.format.dimension == 3 ? 37 : 1;
        for (int i = 0; i < bands; ++i) {
            const double el = c.format.dimension == 3 ? (-90 + 5.0 * i) * DEG : 0.0;
            for (int j = 0; j < 72; ++j) {
                const Heard a = hear(c.format, d.matrix, c.layout, 5 * j * DEG, el);
                const Heard s = hear(c.format, sampling, c.layout, 5 * j * DEG, el);
                worst = std::max(worst, std::fabs(a.magnitude - s.magnitude));
                low = std::min(low, a.energy);
                high = std::max(high, a.energy);
            }
        }
        EXPECT_LT(worst, 0.02) << c.format.dimension << "-D order " << c.format.order;
        EXPECT_LT(10 * std::log10(high / low), 0.5);
    }
}

TEST(Handover, ThePerformSideTakesOnlyWholeMatrices) {
    std::int32_t state = 0;
    EXPECT_EQ(handover_take(state), 0); // nothing handed over yet
    const std::int32_t spare = handover_claim(state);
    EXPECT_EQ(spare, 1);
    EXPECT_EQ(handover_take(state), 0); // being written: the live one stays
    handover_publish(state);
    EXPECT_EQ(handover_take(state), 1); // taken at the next vector
    EXPECT_EQ(handover_take(state), 1);
    // Two hand-overs before a vector: the second overwrites the untaken spare.
    EXPECT_EQ(handover_claim(state), 0);
    handover_publish(state);
    EXPECT_EQ(handover_claim(state), 0);
    handover_publish(state);
    EXPECT_EQ(handover_take(state), 0);
}

} // namespace
