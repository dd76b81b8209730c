// SPDX-License-Identifier: GPL-3.0-or-later
// The host's tagged value: what message arguments, creation arguments and output lists are
// made of. Kept apart from the rest of the host API so that pure maths that reads atoms
// (the quaternion module, for one) needs nothing else.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tovo::host {

// Type codes of atoms and of handler arguments at registration.
enum TypeCode : short {
    A_NOTHING = 0, // no argument; also closes a list of codes
    A_LONG = 1,    // 32-bit integer; a typed handler receives std::int32_t
    A_FLOAT = 2,   // single-precision float; a typed handler receives double
    A_SYM = 3,     // symbol
    A_GIMME = 8,   // the whole argument list: (selector, count, atoms)
    A_CANT = 9,    // private: called by the host only ("dsp", "assist")
};

// An interned text. Equal texts give the identical Symbol, so symbols compare by address.
struct Symbol {
    const char* s_name;
};

// 16-bit tag and a value. Integers and floats are 32 bits wide; a symbol is a pointer.
struct Atom {
    short a_type;
    union Word {
        std::int32_t w_long;
        float w_float;
        Symbol* w_sym;
    } a_w;
};

inline void atom_setlong(Atom* a, std::int32_t v) {
    a->a_type = A_LONG;
    a->a_w.w_long = v;
}

inline void atom_setfloat(Atom* a, float v) {
    a->a_type = A_FLOAT;
    a->a_w.w_float = v;
}

// A double as the single-precision number atoms carry: rounded to the nearest float, and held
// at the largest float of its sign where it lies beyond that range (an infinity included), so
// that a finite value never becomes an infinity. A NaN stays a NaN.
inline float to_atom_float(double v) {
    constexpr double largest = std::numeric_limits<float>::max();
    return static_cast<float>(v > largest ? largest : v < -largest ? -largest : v);
}

inline void atom_setsym(Atom* a, Symbol* s) {
    a->a_type = A_SYM;
    a->a_w.w_sym = s;
}

// The two readers of numbers from atoms, used by objects and host alike.

// A float or an integer atom gives its value; a symbol gives 0.
inline double atom_to_double(const Atom& a) {
    if (a.a_type == A_FLOAT)
        return static_cast<double>(a.a_w.w_float);
    if (a.a_type == A_LONG)
        return static_cast<double>(a.a_w.w_long);
    return 0.0;
}

// An integer atom gives its value; a float is truncated toward zero and held at the 32-bit
// limits (1e10 gives 2147483647, NaN 0); a symbol gives 0.
inline std::int32_t atom_to_long(const Atom& a) {
    if (a.a_type == A_LONG)
        return a.a_w.w_long;
    if (a.a_type != A_FLOAT)
        return 0;
    const float f = a.a_w.w_float;
    if (std::isnan(f))
        return 0;
    if (f >= 2147483647.0f)
        return std::numeric_limits<std::int32_t>::max();
    if (f <= -2147483648.0f)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(f);
}

} // namespace tovo::host
