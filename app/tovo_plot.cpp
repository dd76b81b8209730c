// SPDX-License-Identifier: GPL-3.0-or-later
// tovo-plot: draws a decoder as a listener would judge it. For the decoder created from the
// given words, each speaker's gain against the source's azimuth (polar, speakers marked), and
// the energy vector's magnitude and direction error around the circle; for a 3-D decoder also
// maps of both over azimuth and elevation. Measured through the real plug-ins.
//   tovo-plot [--externals DIR] [-o FILE.png|FILE.svg] [--steps N] [--elevation DEG]
//             [--class CLASS] [--send MESSAGE]... WORD...
// Only the picture is written: gnuplot's data and script go to a temporary folder.
#include "app/decoder_probe.hpp"
#include "app/script.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

int usage(FILE* to = stderr) {
    std::fprintf(to, "usage: tovo-plot [--externals DIR] [-o FILE.png|FILE.svg] [--steps N] "
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

// Quotes text for the shell in single quotes.
std::string shell_quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A colour of its own for speaker k of n: hues around the circle, alternately darker, so that
// neighbours differ in brightness too.
std::string colour(std::size_t k, std::size_t n) {
    const double h = 6.0 * static_cast<double>(k) / static_cast<double>(n);
    const double v = k % 2 ? 0.65 : 0.95, s = 0.85;
    const double c = v * s, x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1)), m = v - c;
    double r = 0, g = 0, b = 0;
    switch (static_cast<int>(h) % 6) {
    case 0:
        r = c, g = x;
        break;
    case 1:
        r = x, g = c;
        break;
    case 2:
        g = c, b = x;
        break;
    case 3:
        g = x, b = c;
        break;
    case 4:
        r = x, b = c;
        break;
    default:
        r = c, b = x;
    }
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", static_cast<int>((r + m) * 255),
                  static_cast<int>((g + m) * 255), static_cast<int>((b + m) * 255));
    return text;
}

// A folder of its own under the system's temporary folder, removed when it goes.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::error_code ec;
        std::string pattern = (fs::temp_directory_path(ec) / "tovo-plot-XXXXXX").string();
        if (ec)
            pattern = "/tmp/tovo-plot-XXXXXX";
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The first line of a file that holds anything but blanks.
std::string first_line(const fs::path& file) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            return line;
    return {};
}

} // namespace

int main(int argc, char** argv) {
    fs::path externals = tovo::app::default_externals();
    fs::path output = "decoder.png";
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
            return usage(stdout), 0;
        else if (arg.size() > 2 && arg.starts_with("--"))
            return usage();
        else
            words += (words.empty() ? "" : " ") + arg;
    }
    if (words.empty() || steps < 4 || steps > 36000 || externals.empty())
        return usage();

    const tovo::app::DecoderResponse r =
        tovo::app::probe_decoder(externals, words, messages, steps, elevation, decoder);
    if (!r.problem.empty()) {
        std::fprintf(stderr, "tovo-plot: %s\n", r.problem.c_str());
        return 1;
    }
    // A 3-D decoder is also measured over the whole sphere, every 10 degrees of elevation.
    std::vector<tovo::app::DecoderResponse> rows;
    if (r.dimension == 3)
        for (int el = -90; el <= 90; el += 10) {
            rows.push_back(
                tovo::app::probe_decoder(externals, words, messages, std::min(steps, 72), el));
            if (!rows.back().problem.empty()) {
                std::fprintf(stderr, "tovo-plot: %s\n", rows.back().problem.c_str());
                return 1;
            }
        }

    TemporaryFolder work;
    if (work.path().empty()) {
        std::fprintf(stderr, "tovo-plot: can't make a temporary folder\n");
        return 1;
    }
    std::error_code ec;
    const fs::path picture = fs::absolute(output, ec);
    const fs::path data = work.path() / "gains.dat", marks = work.path() / "speakers.dat",
                   map = work.path() / "sphere.dat", script = work.path() / "plot.gp",
                   messages_file = work.path() / "gnuplot.err";

    // Columns: azimuth, the gain of each speaker, |rE|, rE direction error.
    std::ofstream out(data);
    double worst_error = 0, least_magnitude = 1, sum_magnitude = 0, loudest = 0;
    for (std::size_t i = 0; i < r.gains.size(); ++i) {
        const auto e =
            tovo::app::energy_vector(r.gains[i], r.speakers, r.source_azimuth_deg[i], elevation);
        out << r.source_azimuth_deg[i];
        for (double g : r.gains[i]) {
            out << ' ' << g;
            loudest = std::max(loudest, std::fabs(g));
        }
        out << ' ' << e.magnitude << ' ' << e.error_deg << '\n';
        worst_error = std::max(worst_error, e.error_deg);
        least_magnitude = std::min(least_magnitude, e.magnitude);
        sum_magnitude += e.magnitude;
    }
    out.close();
    // Each speaker's position, just outside the largest gain, with its number.
    const double rim = (loudest > 0 ? loudest : 1.0) * 1.12;
    std::ofstream(marks) << [&] {
        std::string text;
        for (std::size_t k = 0; k < r.speakers.size(); ++k)
            text += std::to_string(r.speakers[k].azimuth_deg) + " " + std::to_string(rim) + " " +
                    std::to_string(k) + "\n";
        return text;
    }();
    if (!rows.empty()) {
        std::ofstream m(map);
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < row.gains.size(); ++i) {
                const auto e = tovo::app::energy_vector(row.gains[i], row.speakers,
                                                        row.source_azimuth_deg[i], row.elevation);
                m << row.source_azimuth_deg[i] << ' ' << row.elevation << ' ' << e.magnitude << ' '
                  << e.error_deg << '\n';
            }
            m << '\n';
        }
    }

    const std::size_t n = r.speakers.size();
    const bool svg = picture.extension() == ".svg";
    const bool sphere = !rows.empty();
    std::ofstream gp(script);
    gp << (svg ? "set terminal svg size 1200," : "set terminal pngcairo size 1200,")
       << (sphere ? 1040 : 560) << (svg ? " dynamic font 'sans,11'\n" : " font 'sans,10'\n")
       << "set termoption noenhanced\n"
       << "set output " << quoted(picture.string()) << "\n"
       << "set multiplot layout " << (sphere ? 2 : 1) << ",2 title "
       << quoted(decoder + " " + words) << "\n"
       << "set title 'gain of each speaker by source azimuth; speakers marked by number'\n"
       << "set polar\nset angles degrees\nset theta top ccw\nset size square\nunset border\n"
       << "unset xtics\nunset ytics\nset grid polar 30\nset rtics\nset rrange [0:" << rim * 1.1
       << "]\n"
       << "set ttics ('front' 0, 'left' 90, 'back' 180, 'right' 270)\n"
       << "set key outside right\nplot ";
    for (std::size_t k = 0; k < n; ++k)
        gp << quoted(data.string()) << " using 1:(abs(column(" << k + 2
           << "))) with lines lw 1.5 lc rgb '" << colour(k, n) << "' title 'speaker " << k << "', ";
    gp << quoted(marks.string()) << " using 1:2 with points pt 7 ps 1.2 lc rgb 'black' notitle, "
       << quoted(marks.string()) << " using 1:2:(sprintf('%d', $3)) with labels offset 0,0.9 "
       << "notitle\n"
       << "unset polar\nunset grid\nunset rtics\nunset ttics\nunset rrange\nset size nosquare\n"
       << "set border\nset title 'energy vector at elevation " << elevation << "'\n"
       << "set xlabel 'source azimuth (degrees): 0 front, 90 left, 180 back, 270 right'\n"
       << "set xrange [0:360]\nset xtics 0,45,360\nset ylabel '|rE|'\nset yrange [0:1]\n"
       << "set ytics 0,0.1,1 nomirror\nset y2label 'direction error (degrees)'\nset y2tics\n"
       << "set y2range [0:5<*]\nset grid\nset key inside center right\n"
       << "plot " << quoted(data.string()) << " using 1:" << n + 2
       << " axes x1y1 with lines lw 2 title '|rE|', '' using 1:" << n + 3
       << " axes x1y2 with lines lw 2 title 'direction error'\n";
    if (sphere)
        gp << "unset key\nunset y2tics\nunset y2label\nunset grid\n"
           << "set xlabel 'source azimuth (degrees)'\nset ylabel 'source elevation (degrees)'\n"
           << "set yrange [-90:90]\nset ytics -90,30,90\nset view map\n"
           << "set title '|rE| over the sphere'\nset cbrange [0:1]\nset palette rgb 21,22,23\n"
           << "plot " << quoted(map.string()) << " using 1:2:3 with image\n"
           << "set title 'direction error over the sphere (degrees)'\nset cbrange [0:*]\n"
           << "plot " << quoted(map.string()) << " using 1:2:4 with image\n";
    gp << "unset multiplot\n";
    gp.close();

    // gnuplot's own messages are kept aside; on failure the first one is shown.
    const std::string command = "exec 2>" + shell_quoted(messages_file.string()) + "; gnuplot " +
                                shell_quoted(script.string());
    if (std::system(command.c_str()) != 0) {
        const std::string why = first_line(messages_file);
        std::fprintf(stderr, "tovo-plot: gnuplot failed%s%s\n", why.empty() ? "" : ": ",
                     why.c_str());
        return 1;
    }
    std::printf("%s: %zu speakers, %d-D order %d; |rE| from %.3f (mean %.3f), direction error "
                "up to %.2f degrees\n",
                output.c_str(), n, r.dimension, r.order, least_magnitude,
                sum_magnitude / static_cast<double>(r.gains.size()), worst_error);
    return 0;
}
