// SPDX-License-Identifier: GPL-3.0-or-later
// The all-round decoder's design: virtual speakers, the panning layout of the real speakers,
// panning gains, the energy scaling, and the sampling matrix that stands in for a bad layout.
#include "allrad.hpp"

#include "flavours.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tovo::ambi {

namespace {

constexpr double PI = 3.14159265358979323846;
// W as the encoder makes it: 1/sqrt(2) in single precision.
constexpr float W_LEVEL = 0.70710677f;
// The listener must stand this far inside the hull (the sphere's radius is 1); a face through
// the listener would pan directions behind it nowhere.
constexpr double INSIDE_MARGIN = 1e-3;
// 2-D gaps of this size or more (radians, 179 degrees) are split by imaginary speakers into
// pieces of at most a third of the circle.
constexpr double WIDEST_GAP = 179.0 * PI / 180.0;
constexpr double GAP_PIECE = 2.0 * PI / 3.0;
// A face whose matrix of directions is this close to singular has no area: it pans nothing.
constexpr double SINGULAR = 1e-12;
// Rounding in the inverse leaves a direction on an edge with a gain a hair below 0.
constexpr double EDGE_SLACK = 1e-9;

// Gauss-Legendre nodes and weights in z = sin(elevation), four points: with twelve azimuths
// exact for every square of a third-order harmonic.
constexpr double GAUSS_Z[4] = {-0.8611363115940526, -0.3399810435848563, 0.3399810435848563,
                               0.8611363115940526};
constexpr double GAUSS_WEIGHT[4] = {0.3478548451374538, 0.6521451548625461, 0.6521451548625461,
                                    0.3478548451374538};
constexpr int QUADRATURE_AZIMUTHS = 12;

double distance(const Direction& a, const Direction& b) {
    return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

Direction cross(const Direction& a, const Direction& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

double dot(const Direction& a, const Direction& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The encoder's channels for a source of unit level at (azimuth, elevation), W included.
void harmonics(const AmbiFormat& format, double azimuth_rad, double elevation_rad, float* y) {
    y[0] = W_LEVEL;
    ambi_weights(format.order, format.dimension, static_cast<float>(azimuth_rad),
                 static_cast<float>(elevation_rad), y);
}

// The virtual decoder's row for one direction: each channel under its order's weight, divided by
// its mean energy, so that the rows sum to the panning function of the chosen weights whatever
// the scale of each channel.
void decoding_row(const AmbiFormat& format, const float* order_weights, const double* energy,
                  double azimuth_rad, double elevation_rad, double* row) {
    float y[MAX_CHANNELS] = {};
    harmonics(format, azimuth_rad, elevation_rad, y);
    for (std::int32_t c = 0; c < format.channel_count; ++c)
        row[c] = order_weights[channel_order(format, c)] * double{y[c]} / energy[c];
}

void clear(DesignMatrix& matrix) {
    for (auto& row : matrix)
        std::fill(std::begin(row), std::end(row), 0.0);
}

// Scales the matrix to unit mean energy; a matrix that gives no energy stays as it is.
void normalise(const AmbiFormat& format, DesignMatrix& matrix, int speaker_count) {
    const double energy = mean_energy(format, matrix, speaker_count);
    if (!(energy > 0.0) || !std::isfinite(energy)) {
        if (!std::isfinite(energy))
            clear(matrix);
        return;
    }
    const double scale = 1.0 / std::sqrt(energy);
    for (int k = 0; k < speaker_count; ++k)
        for (std::int32_t c = 0; c < format.channel_count; ++c)
            matrix[k][c] *= scale;
}

bool invert3(const Direction& a, const Direction& b, const Direction& c,
             std::array<double, 9>& inverse) {
    // Columns a, b, c; the inverse's rows are the cross products over the determinant.
    const Direction bc = cross(b, c), ca = cross(c, a), ab = cross(a, b);
    const double det = dot(a, bc);
    if (!(std::fabs(det) > SINGULAR))
        return false;
    inverse = {bc.x / det, bc.y / det, bc.z / det, ca.x / det, ca.y / det,
               ca.z / det, ab.x / det, ab.y / det, ab.z / det};
    return true;
}

bool invert2(const Direction& a, const Direction& b, std::array<double, 9>& inverse) {
    const double det = a.x * b.y - b.x * a.y;
    if (!(std::fabs(det) > SINGULAR))
        return false;
    inverse = {b.y / det, -b.x / det, -a.y / det, a.x / det, 0, 0, 0, 0, 0};
    return true;
}

// The first pair of speakers closer than SAME_DIRECTION_RAD, if any.
bool same_direction(const std::vector<Direction>& speakers, int& first, int& second) {
    const double limit = 2.0 * std::sin(SAME_DIRECTION_RAD / 2.0); // as a chord
    for (std::size_t i = 0; i < speakers.size(); ++i)
        for (std::size_t j = i + 1; j < speakers.size(); ++j)
            if (distance(speakers[i], speakers[j]) < limit) {
                first = static_cast<int>(i);
                second = static_cast<int>(j);
                return true;
            }
    return false;
}

// Whether every direction lies on one plane through the listener.
bool one_plane(const std::vector<Direction>& speakers) {
    Direction normal{0, 0, 0};
    double widest = 0;
    for (std::size_t i = 0; i < speakers.size(); ++i)
        for (std::size_t j = i + 1; j < speakers.size(); ++j) {
            const Direction n = cross(speakers[i], speakers[j]);
            const double size = std::hypot(n.x, n.y, n.z);
            if (size > widest) {
                widest = size;
                normal = {n.x / size, n.y / size, n.z / size};
            }
        }
    if (widest < SAME_DIRECTION_RAD)
        return true; // all on one line
    const double limit = std::sin(SAME_DIRECTION_RAD);
    return std::all_of(speakers.begin(), speakers.end(),
                       [&](const Direction& s) { return std::fabs(dot(normal, s)) < limit; });
}

} // namespace

Direction direction_of(double azimuth_rad, double elevation_rad) {
    const double c = std::cos(elevation_rad);
    return {std::cos(azimuth_rad) * c, std::sin(azimuth_rad) * c, std::sin(elevation_rad)};
}

double azimuth_of(const Direction& d) {
    return std::atan2(d.y, d.x);
}

double elevation_of(const Direction& d) {
    return std::atan2(d.z, std::hypot(d.x, d.y));
}

std::vector<Direction> sphere_points(int count) {
    std::vector<Direction> points;
    const double turn = PI * (3.0 - std::sqrt(5.0)); // the golden angle
    for (int i = 0; i < count; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / count;
        const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
        points.push_back({r * std::cos(turn * i), r * std::sin(turn * i), z});
    }
    return points;
}

std::vector<Direction> circle_points(int count) {
    std::vector<Direction> points;
    for (int i = 0; i < count; ++i)
        points.push_back(direction_of(2.0 * PI * i / count, 0.0));
    return points;
}

PanningLayout triangulate_sphere(const std::vector<Direction>& speakers) {
    PanningLayout layout;
    layout.points = speakers;
    layout.real_count = static_cast<int>(speakers.size());
    if (speakers.size() < 3) {
        layout.problem = LAYOUT_TOO_FEW;
        return layout;
    }
    if (same_direction(speakers, layout.first, layout.second)) {
        layout.problem = LAYOUT_SAME_DIRECTION;
        return layout;
    }
    if (one_plane(speakers)) {
        layout.problem = LAYOUT_ONE_PLANE;
        return layout;
    }
    // The plain hull first, then closed below (a dome), above, or both.
    const Direction nadir{0, 0, -1}, zenith{0, 0, 1};
    const std::vector<std::vector<Direction>> closings = {{}, {nadir}, {zenith}, {nadir, zenith}};
    const double limit = 2.0 * std::sin(SAME_DIRECTION_RAD / 2.0);
    for (const std::vector<Direction>& closing : closings) {
        std::vector<Direction> points = speakers;
        for (const Direction& extra : closing)
            if (std::none_of(speakers.begin(), speakers.end(),
                             [&](const Direction& s) { return distance(s, extra) < limit; }))
                points.push_back(extra);
        if (points.size() == speakers.size() && !closing.empty())
            continue; // a real speaker stands there already
        std::vector<std::array<int, 3>> faces;
        double depth = 0;
        if (!convex_hull(points, faces, depth) || !(depth > INSIDE_MARGIN))
            continue;
        layout.points = points;
        for (const auto& f : faces) {
            std::array<double, 9> inverse;
            if (!invert3(points[f[0]], points[f[1]], points[f[2]], inverse))
                continue;
            layout.faces.push_back(f);
            layout.inverses.push_back(inverse);
        }
        return layout;
    }
    layout.problem = LAYOUT_LISTENER_OUTSIDE;
    return layout;
}

PanningLayout pair_circle(const std::vector<Direction>& speakers) {
    PanningLayout layout;
    const int n = static_cast<int>(speakers.size());
    layout.real_count = n;
    std::vector<double> angle(n);
    for (int k = 0; k < n; ++k) {
        angle[k] = azimuth_of(speakers[k]);
        if (angle[k] < 0)
            angle[k] += 2.0 * PI;
        layout.points.push_back(direction_of(angle[k], 0.0));
    }
    if (n == 0) {
        layout.problem = LAYOUT_TOO_FEW;
        return layout;
    }
    std::vector<int> ring(n);
    std::iota(ring.begin(), ring.end(), 0);
    std::stable_sort(ring.begin(), ring.end(), [&](int a, int b) { return angle[a] < angle[b]; });
    if (same_direction(layout.points, layout.first, layout.second)) {
        layout.problem = LAYOUT_SAME_DIRECTION;
        return layout;
    }
    // Around the circle, each speaker followed by the imaginary ones of the gap after it.
    std::vector<int> around;
    for (int i = 0; i < n; ++i) {
        const int k = ring[i];
        around.push_back(k);
        double gap = n == 1 ? 2.0 * PI : angle[ring[(i + 1) % n]] - angle[k];
        if (gap <= 0)
            gap += 2.0 * PI;
        if (gap < WIDEST_GAP)
            continue;
        const int extra = std::max(1, static_cast<int>(std::ceil(gap / GAP_PIECE)) - 1);
        for (int e = 1; e <= extra; ++e) {
            around.push_back(static_cast<int>(layout.points.size()));
            layout.points.push_back(direction_of(angle[k] + gap * e / (extra + 1), 0.0));
        }
    }
    const int m = static_cast<int>(around.size());
    for (int i = 0; i < m; ++i) {
        const int a = around[i], b = around[(i + 1) % m];
        std::array<double, 9> inverse;
        if (!invert2(layout.points[a], layout.points[b], inverse))
            continue;
        layout.faces.push_back({a, b, -1});
        layout.inverses.push_back(inverse);
    }
    return layout;
}

void panning_gains(const PanningLayout& layout, const Direction& d, std::vector<double>& gains) {
    gains.assign(layout.points.size(), 0.0);
    if (layout.problem != LAYOUT_GOOD || layout.faces.empty())
        return;
    // The face whose gains are all positive; failing that (rounding), the least negative one,
    // its negative gains dropped.
    std::size_t best = 0;
    double best_least = -1e300;
    double best_g[3] = {0, 0, 0};
    for (std::size_t f = 0; f < layout.faces.size(); ++f) {
        const std::array<double, 9>& m = layout.inverses[f];
        double g[3];
        const bool pair = layout.faces[f][2] < 0;
        if (pair) {
            g[0] = m[0] * d.x + m[1] * d.y;
            g[1] = m[2] * d.x + m[3] * d.y;
            g[2] = 0.0;
        } else {
            g[0] = m[0] * d.x + m[1] * d.y + m[2] * d.z;
            g[1] = m[3] * d.x + m[4] * d.y + m[5] * d.z;
            g[2] = m[6] * d.x + m[7] * d.y + m[8] * d.z;
        }
        const double least = pair ? std::min(g[0], g[1]) : std::min({g[0], g[1], g[2]});
        if (least > best_least) {
            best_least = least;
            best = f;
            std::copy(g, g + 3, best_g);
        }
        if (least >= -EDGE_SLACK)
            break;
    }
    double power = 0;
    for (double& g : best_g) {
        g = std::max(g, 0.0);
        power += g * g;
    }
    if (!(power > 0))
        return;
    const double scale = 1.0 / std::sqrt(power);
    for (int i = 0; i < 3; ++i)
        if (layout.faces[best][i] >= 0)
            gains[layout.faces[best][i]] += best_g[i] * scale;
}

void channel_energies(const AmbiFormat& format, double* energy) {
    std::fill(energy, energy + MAX_CHANNELS, 0.0);
    float y[MAX_CHANNELS] = {};
    const bool sphere = format.dimension == 3;
    const int rings = sphere ? 4 : 1;
    for (int i = 0; i < rings; ++i) {
        const double elevation = sphere ? std::asin(GAUSS_Z[i]) : 0.0;
        const double weight = (sphere ? GAUSS_WEIGHT[i] / 2.0 : 1.0) / QUADRATURE_AZIMUTHS;
        for (int j = 0; j < QUADRATURE_AZIMUTHS; ++j) {
            harmonics(format, 2.0 * PI * j / QUADRATURE_AZIMUTHS, elevation, y);
            for (std::int32_t c = 0; c < format.channel_count; ++c)
                energy[c] += weight * double{y[c]} * double{y[c]};
        }
    }
}

double mean_energy(const AmbiFormat& format, const DesignMatrix& matrix, int speaker_count) {
    // The channels are orthogonal over the sphere (and the horizontal ones over the circle), so
    // the mean of the squared feeds is each entry's square under its channel's energy.
    double energy[MAX_CHANNELS];
    channel_energies(format, energy);
    double sum = 0;
    for (int k = 0; k < speaker_count; ++k)
        for (std::int32_t c = 0; c < format.channel_count; ++c)
            sum += matrix[k][c] * matrix[k][c] * energy[c];
    return sum;
}

void sampling_design(const AmbiFormat& format, const float* order_weights, int speaker_count,
                     const float* azimuth_rad, const float* elevation_rad, DesignMatrix& matrix) {
    clear(matrix);
    double energy[MAX_CHANNELS];
    channel_energies(format, energy);
    for (int k = 0; k < speaker_count; ++k)
        decoding_row(format, order_weights, energy, azimuth_rad[k], elevation_rad[k], matrix[k]);
    normalise(format, matrix, speaker_count);
}

void allrad_design(const AmbiFormat& format, const float* order_weights, int speaker_count,
                   const float* azimuth_rad, const float* elevation_rad, AllradDesign& design) {
    design.problem = LAYOUT_GOOD;
    design.first = design.second = -1;
    design.imaginary_count = 0;
    design.virtual_count = 0;
    design.face_count = 0;
    clear(design.matrix);

    const bool sphere = format.dimension == 3;
    std::vector<Direction> speakers;
    for (int k = 0; k < speaker_count; ++k)
        speakers.push_back(direction_of(azimuth_rad[k], sphere ? elevation_rad[k] : 0.0));
    const PanningLayout layout = sphere ? triangulate_sphere(speakers) : pair_circle(speakers);
    if (layout.problem != LAYOUT_GOOD || layout.faces.empty()) {
        design.problem = layout.problem != LAYOUT_GOOD ? layout.problem : LAYOUT_LISTENER_OUTSIDE;
        design.first = layout.first;
        design.second = layout.second;
        sampling_design(format, order_weights, speaker_count, azimuth_rad, elevation_rad,
                        design.matrix);
        return;
    }
    for (std::size_t i = layout.real_count; i < layout.points.size(); ++i)
        if (design.imaginary_count < MAX_IMAGINARY)
            design.imaginary[design.imaginary_count++] = layout.points[i];
    design.face_count = static_cast<int>(layout.faces.size());

    double energy[MAX_CHANNELS];
    channel_energies(format, energy);
    const std::vector<Direction> virtuals =
        sphere ? sphere_points(VIRTUAL_SPHERE_POINTS) : circle_points(VIRTUAL_CIRCLE_POINTS);
    design.virtual_count = static_cast<int>(virtuals.size());
    std::vector<double> gains;
    double row[MAX_CHANNELS];
    for (const Direction& v : virtuals) {
        panning_gains(layout, v, gains);
        decoding_row(format, order_weights, energy, azimuth_of(v), elevation_of(v), row);
        // The imaginary speakers' shares are dropped with their feeds.
        for (int k = 0; k < speaker_count; ++k)
            if (gains[k] != 0.0)
                for (std::int32_t c = 0; c < format.channel_count; ++c)
                    design.matrix[k][c] += gains[k] * row[c];
    }
    normalise(format, design.matrix, speaker_count);
}

} // namespace tovo::ambi
