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
        if (i < line.size() && line[i] == '#')
            break; // a comment, to the end of the line
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
    while (!rt_.stop_requested() && std::getline(in, line))
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

// One command word and its handler; run_line looks the word up here.
struct Script::Command {
    std::string_view word;
    void (Script::*handler)(const Line&);
};

const Script::Command Script::COMMANDS[] = {
    {"new", &Script::command_new},
    {"connect", &Script::command_connect},
    {"disconnect", &Script::command_connect},
    {"free", &Script::command_free},
    {"send", &Script::command_send},
    {"assist", &Script::command_assist},
    {"vectorsize", &Script::command_vectorsize},
    {"samplerate", &Script::command_samplerate},
    {"dsp", &Script::command_dsp},
    {"run", &Script::command_run},
};

void Script::run_line(std::string_view text, int number) {
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    if (text.find('\0') != std::string_view::npos) {
        fail(number, "a NUL byte in the line; the line is not run");
        return;
    }
    Line line{number, split_tokens(text), {}};
    if (line.tokens.empty())
        return;
    // Every token after the command word is an atom; a number out of range stops the line.
    for (std::size_t i = 1; i < line.tokens.size(); ++i) {
        Atom a{};
        std::string why;
        if (!parse_atom(line.tokens[i], a, why)) {
            fail(number, why);
            return;
        }
        line.atoms.push_back(a);
    }
    for (const Command& c : COMMANDS)
        if (c.word == line.tokens[0]) {
            (this->*c.handler)(line);
            return;
        }
    fail(number, "unknown command \"" + std::string(line.tokens[0]) + "\"");
}

void Script::command_new(const Line& line) {
    if (line.atoms.size() < 2) {
        fail(line.number, "usage: new NAME CLASS [ATOM...]");
        return;
    }
    std::string why;
    if (!rt_.create(std::string(line.tokens[1]), std::string(line.tokens[2]),
                    std::span<const Atom>(line.atoms).subspan(2), why))
        fail(line.number, why);
}

namespace {

// An outlet or inlet word: N, or FIRST-LAST for a range, both from 0.
bool index_range(std::string_view word, long& first, long& last) {
    const std::size_t dash = word.find('-', 1);
    const std::string_view a = word.substr(0, dash);
    const std::string_view b = dash == std::string_view::npos ? a : word.substr(dash + 1);
    if (!all_digits(a) || !all_digits(b) || a.size() > 9 || b.size() > 9)
        return false;
    first = std::stol(std::string(a));
    last = std::stol(std::string(b));
    return first <= last;
}

} // namespace

// connect FROM OUTLET TO INLET, or over ranges: connect enc 0-15 dec 0-15 joins outlet i to
// inlet i, the two ranges of equal length. disconnect takes the same forms.
void Script::command_connect(const Line& line) {
    const std::string_view command = line.tokens[0];
    long out_first = 0, out_last = 0, in_first = 0, in_last = 0;
    if (line.atoms.size() != 4 || !index_range(line.tokens[2], out_first, out_last) ||
        !index_range(line.tokens[4], in_first, in_last)) {
        std::string usage = "usage: ";
        usage += command;
        usage += " FROM OUTLET TO INLET, each an index from 0 or a range such as 0-15";
        fail(line.number, usage);
        return;
    }
    if (out_last - out_first != in_last - in_first) {
        fail(line.number, "the ranges " + std::string(line.tokens[2]) + " and " +
                              std::string(line.tokens[4]) + " are of different lengths");
        return;
    }
    host::Box* from = named(line.tokens[1], line.number);
    host::Box* to = from ? named(line.tokens[3], line.number) : nullptr;
    if (!from || !to)
        return;
    const bool ranged = out_first != out_last || line.tokens[2].find('-') != std::string::npos;
    if (ranged) {
        if (out_last >= static_cast<long>(from->outlets.size())) {
            fail(line.number, "\"" + from->name + "\" has no outlet " + std::to_string(out_last));
            return;
        }
        if (in_last >= to->inlet_count()) {
            fail(line.number, "\"" + to->name + "\" has no inlet " + std::to_string(in_last));
            return;
        }
    }
    for (long k = 0; k <= out_last - out_first; ++k) {
        const int outlet = static_cast<int>(out_first + k), inlet = static_cast<int>(in_first + k);
        std::string why;
        const bool done = command == "connect" ? rt_.connect(from, outlet, to, inlet, why)
                                               : rt_.disconnect(from, outlet, to, inlet, why);
        if (!done)
            fail(line.number, ranged ? why + " (outlet " + std::to_string(outlet) + ")" : why);
    }
}

void Script::command_free(const Line& line) {
    if (line.atoms.size() != 1) {
        fail(line.number, "usage: free NAME");
        return;
    }
    if (host::Box* b = named(line.tokens[1], line.number))
        rt_.destroy(b);
}

void Script::command_send(const Line& line) {
    if (line.atoms.size() < 2) {
        fail(line.number, "usage: send NAME MESSAGE");
        return;
    }
    host::Box* b = named(line.tokens[1], line.number);
    if (!b)
        return;
    std::span<const Atom> message = std::span<const Atom>(line.atoms).subspan(1);
    const bool selector = message[0].a_type == host::A_SYM;
    if (message.size() - (selector ? 1 : 0) > host::MAX_MESSAGE_ATOMS) {
        fail(line.number,
             "more than " + std::to_string(host::MAX_MESSAGE_ATOMS) + " atoms in one message");
        return;
    }
    if (selector)
        rt_.send(b, message[0].a_w.w_sym, message.subspan(1));
    else
        rt_.send(b, host::gensym("list"), message);
}

void Script::command_assist(const Line& line) {
    long index = 0;
    const bool inlet = line.atoms.size() == 3 && line.tokens[2] == "in";
    if (line.atoms.size() != 3 || (!inlet && line.tokens[2] != "out") ||
        !integer_of(line.atoms[2], index)) {
        fail(line.number, "usage: assist NAME in|out INDEX");
        return;
    }
    host::Box* b = named(line.tokens[1], line.number);
    if (!b)
        return;
    std::string text;
    if (rt_.assist(b, inlet, static_cast<int>(index), text)) {
        rt_.print(text);
        return;
    }
    std::string why = "\"";
    why += line.tokens[1];
    why += inlet ? "\" has no inlet " : "\" has no outlet ";
    fail(line.number, why + std::to_string(index));
}

void Script::command_vectorsize(const Line& line) {
    long n = 0;
    if (line.atoms.size() != 1 || !integer_of(line.atoms[0], n) || n < 1 || n > 16384) {
        fail(line.number, "usage: vectorsize N, with N from 1 to 16384");
        return;
    }
    rt_.set_vector_size(static_cast<int>(n));
}

void Script::command_samplerate(const Line& line) {
    const bool numeric = line.atoms.size() == 1 && line.atoms[0].a_type != host::A_SYM;
    const double sr = numeric ? host::atom_to_double(line.atoms[0]) : 0.0;
    if (!(sr > 0)) {
        fail(line.number, "usage: samplerate R, with R above 0");
        return;
    }
    rt_.set_sample_rate(sr);
}

void Script::command_dsp(const Line& line) {
    long n = 0;
    if (line.atoms.size() != 1 || !integer_of(line.atoms[0], n) || n < 0) {
        fail(line.number, "usage: dsp N, with N vectors from 0 up");
        return;
    }
    rt_.run(n);
}

void Script::command_run(const Line& line) {
    // Seconds of signal, rounded up to whole vectors; the rounding of a float atom (4.8 is held
    // as 4.80000019) does not add a vector.
    const bool numeric = line.atoms.size() == 1 && line.atoms[0].a_type != host::A_SYM;
    const double seconds = numeric ? host::atom_to_double(line.atoms[0]) : -1.0;
    const double exact = seconds * rt_.sample_rate() / rt_.vector_size();
    const double vectors = std::ceil(exact - exact * 1e-6);
    if (!(seconds >= 0) || vectors > 1e9) {
        fail(line.number, "usage: run SECONDS, with SECONDS from 0 up");
        return;
    }
    rt_.run(static_cast<long>(vectors));
}

} // namespace tovo::app
