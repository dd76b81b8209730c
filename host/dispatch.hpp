// SPDX-License-Identifier: GPL-3.0-or-later
// From a message to a handler call, by the package's rule: a selector reaches the class's own
// handler, else a whole-list "anything"; typed arguments are converted by atom_to_long and
// atom_to_double, a missing number is 0 and surplus atoms are ignored. Both hosts deliver
// through it; what each adds of its own (Pd's lone number or word to "list") stays in its code.
#pragma once

#include "host/classes.hpp"

#include <cstddef>
#include <string>

namespace tovo::host {

// Atoms one message or one box's creation arguments may hold: what a handler's 16-bit count can
// say. Longer ones are refused, not cut to what the count would wrap to.
inline constexpr std::size_t MAX_MESSAGE_ATOMS = 32767;

// The class's own handler of a selector; never a private one ("dsp", "assist": the host's).
const Method* own_handler(const Class& c, Symbol* selector);
// The handler a message with this selector reaches: its own, else a whole-list "anything";
// null when the class doesn't understand it.
const Method* find_handler(const Class& c, Symbol* selector);

// Calls m on the record x with the message's atoms, converted as m declares.
void call_handler(const Method& m, void* x, Symbol* selector, short argc, Atom* argv);

// The error lines of a message that reaches no handler, and of one too long to deliver.
std::string not_understood(const Class& c, Symbol* selector);
std::string too_many_atoms(const Class& c, Symbol* selector);

} // namespace tovo::host
