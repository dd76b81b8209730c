// SPDX-License-Identifier: GPL-3.0-or-later
#include "host/format.hpp"

#include <charconv>

namespace tovo::host {

std::string format_float(float f) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, f);
    std::string text(buf, ec == std::errc{} ? end : buf);
    if (text.find_first_of(".en") == std::string::npos)
        text += '.';
    return text;
}

std::string format_atom(const Atom& a) {
    switch (a.a_type) {
    case A_LONG:
        return std::to_string(a.a_w.w_long);
    case A_FLOAT:
        return format_float(a.a_w.w_float);
    case A_SYM:
        return a.a_w.w_sym ? a.a_w.w_sym->s_name : "";
    default:
        return "?";
    }
}

std::string format_atoms(std::span<const Atom> atoms) {
    std::string text;
    for (const Atom& a : atoms) {
        if (!text.empty())
            text += ' ';
        text += format_atom(a);
    }
    return text;
}

} // namespace tovo::host
