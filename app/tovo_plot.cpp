// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-plot: draws a decoder as a listener would judge it. For the decoder created from the
// given words, each speaker's gain against the source's azimuth (polar), and the energy vector's
// magnitude and direction error around the circle, measured through the real plug-ins.
//   tovo-plot [--externals DIR] [-o FILE.png|FILE.svg] [--steps N] [--elevation DEG]
//             [--class CLASS] [--send MESSAGE]... WORD...
#include "app/decoder_probe.hpp"
#include "app/script.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: tovo-plot [--externals DIR] [-o FILE.png|FILE.svg] [--steps N] "
                         "[--elevation DEG] [--class CLASS] [--send MESSAGE]... WORD...\n"
                         "  WORD...: the decoder's creation words, e.g. 3d 3rd 8 max-rE\n"
                         "  CLASS: tovo.ambi.decode~ (the default), tovo.ambi.allrad~, or the\n"
                         "         word between tovo.ambi. and ~ (decode, allrad)\n");
    return 2;
}

// Quotes text for a gnuplot string in single quotes.
std::string quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("''") : std::string(1, c);
    return q + "'";
}

// A decoder's class from its name or the word that names it: allrad is tovo.ambi.allrad~.
std::string decoder_class(const std::string& name) {
    return name.find('.') == std::string::npos ? "tovo.ambi." + name + "~" : name;
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path externals = tovo::app::default_externals();
    std::filesystem::path output = "decoder.png";
    int steps = 360;
    double elevation = 0.0;
    std::vector<std::string> messages;
    std::string words;
    std::string decoder = tovo::app::SAMPLING_DECODER;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--externals" && i + 1 < argc)
            externals = argv[++i];
        else if (arg == "-o" && i + 1 < argc)
            output = argv[++i];
        else if (arg == "--steps" && i + 1 < argc)
            steps = std::atoi(argv[++i]);
        else if (arg == "--elevation" && i + 1 < argc)
            elevation = std::atof(argv[++i]);
        else if (arg == "--class" && i + 1 < argc)
            decoder = decoder_class(argv[++i]);
        else if (arg == "--send" && i + 1 < argc)
            messages.push_back(argv[++i]);
        else if (arg == "-h" || arg == "--help")
            return usage(), 0;
        else if (arg.size() > 2 && arg.starts_with("--"))
            return usage();
        else
            words += (words.empty() ? "" : " ") + arg;
    }
    if (steps < 4 || steps > 36000)
        return usage();

    const tovo::app::DecoderResponse r =
        tovo::app::probe_decoder(externals, words, messages, steps, elevation, decoder);
    if (!r.problem.empty()) {
        std::fprintf(stderr, "tovo-plot: %s\n", r.problem.c_str());
        return 1;
    }

    // Columns: azimuth, the gain of each speaker, |rE|, rE direction error.
    std::filesystem::path data = output;
    data.replace_extension(".dat");
    std::ofstream out(data);
    double worst_error = 0, least_magnitude = 1, sum_magnitude = 0;
    for (std::size_t i = 0; i < r.gains.size(); ++i) {
        const auto e =
            tovo::app::energy_vector(r.gains[i], r.speakers, r.source_azimuth_deg[i], elevation);
        out << r.source_azimuth_deg[i];
        for (double g : r.gains[i])
            out << ' ' << g;
        out << ' ' << e.magnitude << ' ' << e.error_deg << '\n';
        worst_error = std::max(worst_error, e.error_deg);
        least_magnitude = std::min(least_magnitude, e.magnitude);
        sum_magnitude += e.magnitude;
    }
    out.close();

    const std::size_t n = r.speakers.size();
    const bool svg = output.extension() == ".svg";
    std::filesystem::path script = output;
    script.replace_extension(".gp");
    std::ofstream gp(script);
    gp << (svg ? "set terminal svg size 1200,560 dynamic font 'sans,11'\n"
               : "set terminal pngcairo size 1200,560 font 'sans,10'\n")
       << "set termoption noenhanced\n"
       << "set output " << quoted(output.string()) << "\n"
       << "set multiplot layout 1,2 title " << quoted(decoder + " " + words) << "\n"
       << "set title 'gain of each speaker by source azimuth (front up)'\n"
       << "set polar\nset angles degrees\nset theta top ccw\nset size square\nunset border\n"
       << "unset xtics\n"
       << "unset ytics\nset grid polar 30\nset rtics\nset ttics 0,30\nset key outside right\n"
       << "plot for [k=2:" << n + 1 << "] " << quoted(data.string())
       << " using 1:(abs(column(k))) with lines lw 1.5 title sprintf('speaker %d', k-2)\n"
       << "unset polar\nunset grid\nunset rtics\nunset ttics\nset size nosquare\nset border\n"
       << "set title 'energy vector'\nset xlabel 'source azimuth (degrees)'\n"
       << "set xrange [0:360]\nset xtics 0,45,360\nset ylabel '|rE|'\nset yrange [0:1]\n"
       << "set ytics 0,0.1,1 nomirror\nset y2label 'direction error (degrees)'\nset y2tics\n"
       << "set y2range [0:5<*]\nset grid\nset key inside center right\n"
       << "plot " << quoted(data.string()) << " using 1:" << n + 2
       << " axes x1y1 with lines lw 2 title '|rE|', '' using 1:" << n + 3
       << " axes x1y2 with lines lw 2 title 'direction error'\n"
       << "unset multiplot\n";
    gp.close();

    const std::string command = "gnuplot " + quoted(script.string());
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "tovo-plot: gnuplot failed (data in %s)\n", data.c_str());
        return 1;
    }
    std::printf("%s: %zu speakers, %d-D order %d; |rE| from %.3f (mean %.3f), direction error "
                "up to %.2f degrees\n",
                output.c_str(), n, r.dimension, r.order, least_magnitude,
                sum_magnitude / static_cast<double>(r.gains.size()), worst_error);
    return 0;
}
