// SPDX-License-Identifier: GPL-3.0-or-later
// Measures a decoder as a listener would judge it: a source is moved around the circle by the
// real encoder, decoded by the real decoder with the given creation words and messages, and each
// speaker's gain is read back from the host. The energy vector of each position follows.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tovo::app {

struct Speaker {
    double azimuth_deg;
    double elevation_deg;
};

struct DecoderResponse {
    int dimension = 0;
    int order = 0;
    int channels = 0;
    std::vector<Speaker> speakers;
    double elevation = 0;                   // of every measured position, in degrees
    std::vector<double> source_azimuth_deg; // one entry per measured position
    std::vector<std::vector<double>> gains; // [position][speaker]
    std::string problem;                    // empty when the measurement worked
};

// The sampling decoder; tovo.ambi.allrad~ takes the same words, messages and report form.
inline constexpr const char* SAMPLING_DECODER = "tovo.ambi.decode~";

// words: the decoder's creation words, as typed in its box; messages: sent to it afterwards
// ("speaker 0 -30 0", "width 0.7", ...). Positions are `steps` azimuths from 0 degrees around
// the circle at the given elevation.
DecoderResponse probe_decoder(const std::filesystem::path& externals, const std::string& words,
                              const std::vector<std::string>& messages, int steps,
                              double elevation_deg = 0.0,
                              const std::string& decoder_class = SAMPLING_DECODER);

struct EnergyVector {
    double magnitude; // |rE|, 1 when all energy comes from the source's direction
    double error_deg; // angle between rE and the source's direction
};

// rE = sum g_k^2 u_k / sum g_k^2 over the speakers' unit vectors u_k.
EnergyVector energy_vector(const std::vector<double>& gains, const std::vector<Speaker>& speakers,
                           double source_azimuth_deg, double source_elevation_deg);

} // namespace tovo::app
