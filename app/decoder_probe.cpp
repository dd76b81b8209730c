// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/decoder_probe.hpp"

#include "app/script.hpp"
#include "host/runtime.hpp"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace tovo::app {

namespace {

constexpr double DEG = M_PI / 180.0;

std::vector<host::Atom> atoms_of(const std::string& text, std::string& problem) {
    std::vector<host::Atom> atoms;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        host::Atom a{};
        std::string why;
        if (!parse_atom(token, a, why)) {
            problem = why;
            return {};
        }
        atoms.push_back(a);
    }
    return atoms;
}

host::Atom float_atom(double v) {
    host::Atom a{};
    host::atom_setfloat(&a, static_cast<float>(v));
    return a;
}

} // namespace

DecoderResponse probe_decoder(const std::filesystem::path& externals, const std::string& words,
                              const std::vector<std::string>& messages, int steps,
                              double elevation_deg, const std::string& decoder_class) {
    DecoderResponse r;
    r.elevation = elevation_deg;
    std::vector<std::string> lines;
    host::Runtime rt(externals, [&](std::string_view line) { lines.emplace_back(line); });
    host::CurrentRuntime here(&rt);

    const std::vector<host::Atom> args = atoms_of(words, r.problem);
    if (!r.problem.empty())
        return r;
    // An error line from the decoder means it is not the decoder that was asked for: measuring
    // it would draw the wrong layout.
    const auto refused = [&](const std::string& what) {
        for (const std::string& line : lines)
            if (line.starts_with("error: ")) {
                r.problem = what + ": " + line;
                return true;
            }
        return false;
    };
    host::Box* dec = rt.create("decoder", decoder_class, args, r.problem);
    if (!dec || refused("the decoder " + words))
        return r;
    for (const std::string& m : messages) {
        std::vector<host::Atom> atoms = atoms_of(m, r.problem);
        if (atoms.empty() || atoms[0].a_type != host::A_SYM) {
            r.problem = "not a message: " + m;
            return r;
        }
        lines.clear();
        rt.send(dec, atoms[0].a_w.w_sym, std::span<const host::Atom>(atoms).subspan(1));
        if (refused("--send \"" + m + "\""))
            return r;
    }

    // The decoder's own report says what it is and where its speakers stand.
    lines.clear();
    rt.send(dec, host::gensym("dump"), {});
    for (const std::string& line : lines) {
        long d = 0, o = 0, c = 0, s = 0, k = 0;
        double az = 0, el = 0;
        if (std::sscanf(line.c_str(), "%ld-D %ldth order, from %ld channels to %ld speakers", &d,
                        &o, &c, &s) == 4) {
            r.dimension = static_cast<int>(d);
            r.order = static_cast<int>(o);
            r.channels = static_cast<int>(c);
        } else if (std::sscanf(line.c_str(), "%ld\t\t\t%lf\t\t%lf", &k, &az, &el) == 3) {
            r.speakers.push_back({az, el});
        }
    }
    if (r.channels == 0 || r.speakers.empty()) {
        r.problem = "the decoder's report did not say its format and speakers";
        return r;
    }

    // A constant source through the matching encoder; one sample per position is enough.
    std::ostringstream format;
    format << r.dimension << "d " << (r.order == 1 ? "1st" : r.order == 2 ? "2nd" : "3rd");
    host::Box* src = rt.create("source", "sig~", atoms_of("1", r.problem), r.problem);
    host::Box* enc = src ? rt.create("encoder", "tovo.ambi.encode~",
                                     atoms_of(format.str(), r.problem), r.problem)
                         : nullptr;
    if (!enc)
        return r;
    std::string why;
    rt.connect(src, 0, enc, 0, why);
    for (int c = 0; c < r.channels; ++c)
        rt.connect(enc, c, dec, c, why);
    for (std::size_t k = 0; k < r.speakers.size(); ++k) {
        std::string name = "s";
        name += std::to_string(k);
        host::Box* probe = rt.create(name, "print~", atoms_of(name, r.problem), r.problem);
        if (!probe)
            return r;
        rt.connect(dec, static_cast<int>(k), probe, 0, why);
    }
    rt.set_vector_size(1);

    const host::Atom elevation = float_atom(elevation_deg * DEG);
    rt.send(enc, host::gensym("elevation"), std::span<const host::Atom>(&elevation, 1));
    for (int i = 0; i < steps; ++i) {
        const double az = 360.0 * i / steps;
        const host::Atom azimuth = float_atom(az * DEG);
        rt.send(enc, host::gensym("azimuth"), std::span<const host::Atom>(&azimuth, 1));
        lines.clear();
        rt.run(1);
        std::vector<double> g(r.speakers.size(), 0.0);
        for (const std::string& line : lines) {
            std::size_t k = 0;
            float v = 0;
            if (std::sscanf(line.c_str(), "s%zu: %f", &k, &v) == 2 && k < g.size())
                g[k] = v;
        }
        r.source_azimuth_deg.push_back(az);
        r.gains.push_back(std::move(g));
    }
    return r;
}

EnergyVector energy_vector(const std::vector<double>& gains, const std::vector<Speaker>& speakers,
                           double source_azimuth_deg, double source_elevation_deg) {
    double x = 0, y = 0, z = 0, energy = 0;
    for (std::size_t k = 0; k < gains.size() && k < speakers.size(); ++k) {
        const double e = gains[k] * gains[k];
        const double a = speakers[k].azimuth_deg * DEG, el = speakers[k].elevation_deg * DEG;
        x += e * std::cos(a) * std::cos(el);
        y += e * std::sin(a) * std::cos(el);
        z += e * std::sin(el);
        energy += e;
    }
    if (energy <= 0)
        return {0.0, 0.0};
    x /= energy, y /= energy, z /= energy;
    const double magnitude = std::sqrt(x * x + y * y + z * z);
    const double a = source_azimuth_deg * DEG, el = source_elevation_deg * DEG;
    const double along =
        (x * std::cos(a) * std::cos(el) + y * std::sin(a) * std::cos(el) + z * std::sin(el)) /
        (magnitude > 0 ? magnitude : 1.0);
    return {magnitude, std::acos(std::fmax(-1.0, std::fmin(1.0, along))) / DEG};
}

} // namespace tovo::app
