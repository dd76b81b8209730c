// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/script.hpp"

#include "host/format.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

namespace tovo::app {

using host::Atom;

namespace {

bool all_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits], with a point or an exponent.
bool is_decimal(std::string_view s) {
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++int_digits;
    bool point = false, exponent = false;
    if (i < s.size() && s[i] == '.') {
        point = true;
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0)
        return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (!all_digits(s.substr(i)))
            return false;
        i = s.size();
    }
    return i == s.size() && (point || exponent);
}

} // namespace

std::vector<std::string_view> split_tokens(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            tokens.push_back(line.substr(start, i - start));
    }
    return tokens;
}

namespace {

bool integer_of(const Atom& a, long& value) {
    if (a.a_type != host::A_LONG)
        return false;
    value = host::atom_to_long(a);
    return true;
}

} // namespace

bool parse_atom(std::string_view token, Atom& atom, std::string& why) {
    const std::string_view unsigned_part =
        (!token.empty() && (token[0] == '+' || token[0] == '-')) ? token.substr(1) : token;
    const std::string_view no_plus = (!token.empty() && token[0] == '+') ? token.substr(1) : token;
    if (all_digits(unsigned_part)) {
        long long v = 0;
        auto [p, ec] = std::from_chars(no_plus.data(), no_plus.data() + no_plus.size(), v);
        if (ec != std::errc{} || v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max()) {
            why = "integer out of range: " + std::string(token);
            return false;
        }
        host::atom_setlong(&atom, static_cast<std::int32_t>(v));
        return true;
    }
    if (is_decimal(token)) {
        double d = 0;
        auto [p, ec] = std::from_chars(no_plus.data(), no_plus.data() + no_plus.size(), d);
        const float f = static_cast<float>(d);
        if (ec != std::errc{} || !std::isfinite(f) || (f == 0.0f && d != 0.0)) {
            why = "float out of single-precision range: " + std::string(token);
            return false;
        }
        host::atom_setfloat(&atom, f);
        return true;
    }
    host::atom_setsym(&atom, host::gensym(std::string(token).c_str()));
    return true;
}

std::filesystem::path default_externals() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "externals";
    const auto prefix = exe.parent_path().parent_path();
    if (auto installed = prefix / "lib" / "tovo" / "externals";
        std::filesystem::is_directory(installed, ec))
        return installed;
    return prefix / "externals";
}

void Script::run(std::istream& in) {
    std::string line;
    int number = 0;
    while (std::getline(in, line))
        run_line(line, ++number);
}

void Script::fail(int number, const std::string& what) {
    ++errors_;
    rt_.print("error: line " + std::to_string(number) + ": " + what);
}

host::Box* Script::named(std::string_view name, int number) {
    host::Box* b = rt_.box(std::string(name));
    if (!b)
        fail(number, "no box named \"" + std::string(name) + "\"");
    return b;
}

void Script::run_line(std::string_view line, int number) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const std::vector<std::string_view> tokens = split_tokens(line);
    if (tokens.empty() || tokens[0][0] == '#')
        return;
    const std::string_view command = tokens[0];

    // Every token after the command word is an atom; a number out of range stops the line.
    std::vector<Atom> atoms;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        Atom a{};
        std::string why;
        if (!parse_atom(tokens[i], a, why)) {
            fail(number, why);
            return;
        }
        atoms.push_back(a);
    }
    const auto word = [&](std::size_t i) { return std::string(tokens[i]); };

    if (command == "new") {
        if (atoms.size() < 2) {
            fail(number, "usage: new NAME CLASS [ATOM...]");
            return;
        }
        std::string why;
        if (!rt_.create(word(1), word(2), std::span<const Atom>(atoms).subspan(2), why))
            fail(number, why);
    } else if (command == "connect" || command == "disconnect") {
        long outlet = 0, inlet = 0;
        if (atoms.size() != 4 || !integer_of(atoms[1], outlet) || !integer_of(atoms[3], inlet)) {
            fail(number, "usage: " + std::string(command) + " FROM OUTLET TO INLET");
            return;
        }
        host::Box* from = named(tokens[1], number);
        host::Box* to = from ? named(tokens[3], number) : nullptr;
        if (!from || !to)
            return;
        std::string why;
        const bool done =
            command == "connect"
                ? rt_.connect(from, static_cast<int>(outlet), to, static_cast<int>(inlet), why)
                : rt_.disconnect(from, static_cast<int>(outlet), to, static_cast<int>(inlet), why);
        if (!done)
            fail(number, why);
    } else if (command == "free") {
        if (atoms.size() != 1) {
            fail(number, "usage: free NAME");
            return;
        }
        if (host::Box* b = named(tokens[1], number))
            rt_.destroy(b);
    } else if (command == "send") {
        if (atoms.size() < 2) {
            fail(number, "usage: send NAME MESSAGE");
            return;
        }
        host::Box* b = named(tokens[1], number);
        if (!b)
            return;
        std::span<const Atom> message = std::span<const Atom>(atoms).subspan(1);
        const bool selector = message[0].a_type == host::A_SYM;
        if (message.size() - (selector ? 1 : 0) > host::MAX_MESSAGE_ATOMS) {
            fail(number,
                 "more than " + std::to_string(host::MAX_MESSAGE_ATOMS) + " atoms in one message");
            return;
        }
        if (selector)
            rt_.send(b, message[0].a_w.w_sym, message.subspan(1));
        else
            rt_.send(b, host::gensym("list"), message);
    } else if (command == "assist") {
        long index = 0;
        if (atoms.size() != 3 || (word(2) != "in" && word(2) != "out") ||
            !integer_of(atoms[2], index)) {
            fail(number, "usage: assist NAME in|out INDEX");
            return;
        }
        host::Box* b = named(tokens[1], number);
        if (!b)
            return;
        std::string text;
        if (!rt_.assist(b, word(2) == "in", static_cast<int>(index), text))
            fail(number, "\"" + word(1) + "\" has no " + (word(2) == "in" ? "inlet " : "outlet ") +
                             std::to_string(index));
        else
            rt_.print(text);
    } else if (command == "vectorsize") {
        long n = 0;
        if (atoms.size() != 1 || !integer_of(atoms[0], n) || n < 1 || n > 16384) {
            fail(number, "usage: vectorsize N, with N from 1 to 16384");
            return;
        }
        rt_.set_vector_size(static_cast<int>(n));
    } else if (command == "samplerate") {
        const bool numeric = atoms.size() == 1 && atoms[0].a_type != host::A_SYM;
        const double sr = numeric ? host::atom_to_double(atoms[0]) : 0.0;
        if (!(sr > 0)) {
            fail(number, "usage: samplerate R, with R above 0");
            return;
        }
        rt_.set_sample_rate(sr);
    } else if (command == "dsp") {
        long n = 0;
        if (atoms.size() != 1 || !integer_of(atoms[0], n) || n < 0) {
            fail(number, "usage: dsp N, with N vectors from 0 up");
            return;
        }
        rt_.run(n);
    } else if (command == "run") {
        // Seconds of signal, rounded up to whole vectors; the rounding of a float atom (4.8 is
        // held as 4.80000019) does not add a vector.
        const bool numeric = atoms.size() == 1 && atoms[0].a_type != host::A_SYM;
        const double seconds = numeric ? host::atom_to_double(atoms[0]) : -1.0;
        const double exact = seconds * rt_.sample_rate() / rt_.vector_size();
        const double vectors = std::ceil(exact - exact * 1e-6);
        if (!(seconds >= 0) || vectors > 1e9) {
            fail(number, "usage: run SECONDS, with SECONDS from 0 up");
            return;
        }
        rt_.run(static_cast<long>(vectors));
    } else {
        fail(number, "unknown command \"" + std::string(command) + "\"");
    }
}

} // namespace tovo::app
