// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.ambi.rotate~ in a patch, behind an encoder: the rotated field is the field of the turned
// source, rotators in a row compose as quaternions do, a new rotation ramps in over one vector
// without a click, and a fast sweep follows the exact rotation sample by sample.
#include "ambi/weights.hpp"

#include "ambi_patch.hpp"
#include "field_level.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tovo::testing;
using Lines = std::vector<std::string>;
using Vectors = std::vector<std::vector<float>>;

// The encoder's own weights against those of the rotated field: the coefficients and the
// encoder's single-precision weights each round a little.
constexpr float FIELD_TOL = 2e-6f;
// A sweep of one turn a second at vectors of 64: the ramp, linear in the coefficients, against
// the exact rotation at an angle linear in time. Apart by the square of the step per vector (at
// third order 0.025 radians), an eighth of it; a switch at the vector boundary would be apart by
// the whole step.
constexpr float SWEEP_TOL = 1e-4f;

struct Format {
    int order, dimension;
    int channels() const { return 2 * order + 1 + (dimension == 3 ? order * order : 0); }
    std::string words() const {
        static const char* const ORDERS[] = {"", "1st", "2nd", "3rd"};
        std::string w = dimension == 3 ? "3d " : "2d ";
        w += ORDERS[order];
        return w;
    }
};
constexpr Format FORMATS[] = {{1, 2}, {2, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}};

std::string quat_text(double w, double x, double y, double z) {
    return float_text(static_cast<float>(w)) + " " + float_text(static_cast<float>(x)) + " " +
           float_text(static_cast<float>(y)) + " " + float_text(static_cast<float>(z));
}

// sig~ 1 into an encoder e, then rotators r0, r1, ... in a row, the last one's outlets printed
// as oK; a third box may stand beside them.
struct Rotation {
    Rotation(const Format& f, const std::vector<std::string>& rotators, int vector_size = 4)
        : channels(f.channels()) {
        std::string script = "vectorsize " + std::to_string(vector_size) +
                             "\nnew src sig~ 1\nnew e tovo.ambi.encode~ " + f.words() +
                             "\nconnect src 0 e 0\n";
        std::string from = "e";
        for (std::size_t i = 0; i < rotators.size(); ++i) {
            std::string name = "r"; // appended: GCC 12 warns falsely on "r" + to_string
            name += std::to_string(i);
            script += "new " + name + " tovo.ambi.rotate~ " + f.words() + " " + rotators[i] + "\n";
            for (int c = 0; c < channels; ++c)
                script += "connect " + from + " " + std::to_string(c) + " " + name + " " +
                          std::to_string(c) + "\n";
            from = name;
        }
        patch.run(script + print_each_outlet(from, channels, "o"));
        EXPECT_EQ(patch.errors(), 0);
    }
    Vectors run(int vectors = 1) {
        Vectors v;
        for (int i = 0; i < vectors; ++i)
            v = vectors_of(patch.run("dsp 1"), "o", channels);
        return v;
    }
    // The last sample of every channel after `vectors` vectors.
    std::vector<float> settle(int vectors = 2) {
        std::vector<float> last;
        for (const auto& v : run(vectors))
            last.push_back(v.back());
        return last;
    }
    void place(double azimuth_rad, double elevation_rad) {
        patch.run("send e azimuth " + float_text(static_cast<float>(azimuth_rad)) +
                  "\nsend e elevation " + float_text(static_cast<float>(elevation_rad)));
    }
    Lines send(const std::string& box, const std::string& message) {
        return patch.run("send " + box + " " + message);
    }

    Patch patch;
    int channels;
};

// The encoder's weights, W included, for a direction.
std::vector<float> encoded(const Format& f, double azimuth_rad, double elevation_rad) {
    float w[tovo::ambi::MAX_CHANNELS] = {0.70710677f};
    tovo::ambi::ambi_weights(f.order, f.dimension, static_cast<float>(azimuth_rad),
                             static_cast<float>(elevation_rad), w);
    return {w, w + f.channels()};
}

void expect_field(const std::vector<float>& actual, const std::vector<float>& expected,
                  float tolerance, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (std::size_t c = 0; c < actual.size(); ++c)
        EXPECT_NEAR(actual[c], expected[c], tolerance) << what << ", channel " << c;
}

TEST(AmbiRotate, TurnsASourceAboutZByHand) {
    // A source at azimuth 0.5, elevation 0.3 turned 45 degrees about z: two vectors later, each
    // outlet carries the encoder's weight for azimuth 0.5 + pi/4.
    const Format f{3, 3};
    Rotation r(f, {""});
    r.place(0.5, 0.3);
    expect_field(r.settle(1), encoded(f, 0.5, 0.3), 0.0f, "no turn yet");
    EXPECT_TRUE(r.send("r0", "0.9238795 0 0 0.3826834").empty());
    expect_field(r.settle(2), encoded(f, 0.5 + std::numbers::pi / 4, 0.3), FIELD_TOL, "45 deg");
}

TEST(AmbiRotate, TurnsEverySourceWhereTheQuaternionTurnsIt) {
    std::mt19937 rng(14);
    std::normal_distribution<double> g;
    std::uniform_real_distribution<double> angle(-3.1, 3.1);
    for (const Format& f : FORMATS) {
        Rotation r(f, {""});
        for (int trial = 0; trial < 12; ++trial) {
            // 2-D fields turn by yaw alone.
            double w = g(rng), x = g(rng), y = g(rng), z = g(rng);
            if (f.dimension == 2)
                x = y = 0;
            const double n = std::sqrt(w * w + x * x + y * y + z * z);
            w /= n, x /= n, y /= n, z /= n;
            const double az = angle(rng), el = f.dimension == 3 ? angle(rng) / 2 : 0.0;
            r.place(az, el);
            // Unnormalised on purpose: the rotator brings it to unit length.
            r.send("r0", "quat " + quat_text(3 * w, 3 * x, 3 * y, 3 * z));
            // The turned direction, as rot.apply turns vectors.
            const double d[] = {std::cos(az) * std::cos(el), std::sin(az) * std::cos(el),
                                std::sin(el)};
            const double m[3][3] = {
                {1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
            double t[3] = {};
            for (int i = 0; i < 3; ++i)
                for (int k = 0; k < 3; ++k)
                    t[i] += m[i][k] * d[k];
            expect_field(r.settle(), encoded(f, std::atan2(t[1], t[0]), std::asin(t[2])), FIELD_TOL,
                         f.words() + ", trial " + std::to_string(trial));
        }
    }
}

TEST(AmbiRotate, RotatorsInARowComposeAndInverseTurnsBack) {
    const Format f{3, 3};
    const std::string q = quat_text(0.8, 0.2, -0.4, 0.4);
    const std::string p = quat_text(0.5, -0.5, 0.5, 0.5);
    // q, then p through two rotators; against one rotator given what quat forms of p after q.
    Rotation two(f, {"", ""});
    Rotation one(f, {""});
    one.patch.run("new hold quat\nnew as prepend quat\nconnect hold 0 as 0\nconnect as 0 r0 0");
    for (Rotation* r : {&two, &one})
        r->place(-1.0, 0.6);
    two.send("r0", "quat " + q);
    two.send("r1", "quat " + p);
    one.send("hold", "set " + p);
    one.send("hold", "mul " + q);
    expect_field(two.settle(), one.settle(), FIELD_TOL, "p after q");

    // The same rotation forward and inverted leaves the field as it was; "inverse" as a creation
    // word and as a message alike.
    Rotation back(f, {"", "inverse"});
    back.place(2.0, -0.2);
    back.send("r0", "quat " + q);
    back.send("r1", "quat " + q);
    expect_field(back.settle(), encoded(f, 2.0, -0.2), FIELD_TOL, "q then its reverse");
    back.send("r1", "inverse 0");
    back.send("r0", "inverse 1");
    expect_field(back.settle(), encoded(f, 2.0, -0.2), FIELD_TOL, "switched round");
    back.send("r0", "inverse 0");
    EXPECT_NE(back.settle(), encoded(f, 2.0, -0.2));
}

TEST(AmbiRotate, ANewRotationRampsOverTheNextVector) {
    const Format f{3, 3};
    Rotation r(f, {""}, 16);
    r.place(0.3, 0.4);
    const std::vector<float> before = r.settle(1);
    // 4 degrees about z: one linear ramp; the input is constant, so every channel moves in a
    // straight line, a sixteenth of the way per sample, and lands on the new field.
    const double h = 2 * std::numbers::pi / 180;
    r.send("r0", "quat " + quat_text(std::cos(h), 0, 0, std::sin(h)));
    const Vectors ramp = r.run();
    const Vectors held = r.run();
    for (int c = 0; c < r.channels; ++c) {
        const float after = held[c][0];
        for (int j = 0; j < 16; ++j) {
            const float expected = before[c] + (after - before[c]) * (j + 1) / 16.0f;
            EXPECT_NEAR(ramp[c][j], expected, FIELD_TOL) << "channel " << c << ", sample " << j;
            EXPECT_EQ(held[c][j], after);
        }
        EXPECT_EQ(ramp[c][15], after);
    }
    expect_field(r.settle(1), encoded(f, 0.3 + 2 * h, 0.4), FIELD_TOL, "4 degrees");

    // A quarter turn is spread over sub-ramps: no sample of the vector loses more than 0.1 dB.
    r.send("r0", "quat " + quat_text(std::cos(0.9), std::sin(0.9) * 0.6, 0, std::sin(0.9) * 0.8));
    const Vectors turn = r.run();
    double worst = 0;
    for (int j = 0; j < 16; ++j) {
        float field[16];
        for (int c = 0; c < 16; ++c)
            field[c] = turn[c][j];
        worst = std::max(worst, third_order_loss_db(field));
    }
    EXPECT_LT(worst, 0.1);
}

TEST(AmbiRotate, AFastYawSweepFollowsTheExactRotation) {
    // One turn a second, a new quaternion every vector, as a head tracker would send them.
    const Format f{3, 3};
    constexpr int VECTOR = 64;
    constexpr int VECTORS = 750; // one second at 48 kHz
    Rotation r(f, {""}, VECTOR);
    const double az = 0.3, el = 0.2;
    r.place(az, el);
    r.run();
    double previous = 0, worst = 0, largest_step = 0;
    std::vector<float> last = encoded(f, az, el);
    for (int k = 0; k < VECTORS; ++k) {
        // The angle as the floats sent give it, so that only the ramp is measured.
        const auto w = static_cast<float>(std::cos(std::numbers::pi * (k + 1) / VECTORS));
        const auto z = static_cast<float>(std::sin(std::numbers::pi * (k + 1) / VECTORS));
        const double angle = 2 * std::atan2(double{z}, double{w});
        r.send("r0", "quat " + quat_text(w, 0, 0, z));
        const Vectors out = r.run();
        for (int j = 0; j < VECTOR; ++j) {
            const double at = previous + (angle - previous) * (j + 1) / VECTOR;
            const std::vector<float> exact = encoded(f, az + at, el);
            for (int c = 0; c < r.channels; ++c) {
                worst = std::max(worst, double{std::fabs(out[c][j] - exact[c])});
                largest_step = std::max(largest_step, double{std::fabs(out[c][j] - last[c])});
                last[c] = out[c][j];
            }
        }
        previous = angle;
    }
    EXPECT_LT(worst, SWEEP_TOL);
    // Sample to sample the field moves by far less than a whole vector's turn.
    EXPECT_LT(largest_step, 0.001);
}

} // namespace
