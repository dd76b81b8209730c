// SPDX-License-Identifier: GPL-3.0-or-later
// Text of atoms as the host prints them: integers in decimal, floats as the shortest text that
// reads back to the same single-precision value, with a '.' where it would look like an integer.
#pragma once

#include <tovo/api.hpp>

#include <span>
#include <string>

namespace tovo::host {

TOVO_EXPORT std::string format_float(float f);
TOVO_EXPORT std::string format_atom(const Atom& a);
TOVO_EXPORT std::string format_atoms(std::span<const Atom> atoms); // separated by single blanks

} // namespace tovo::host
