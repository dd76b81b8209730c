// SPDX-License-Identifier: GPL-3.0-or-later
// What `tovo --list` and `tovo --methods CLASS` print, read from the live registry: the classes
// the host has or finds in its externals folder, the messages each one registers, and the
// inlets and outlets of a box made with no arguments. The reference-page check shares it.
#pragma once

#include "host/registry.hpp"
#include "host/runtime.hpp"

#include <string>
#include <vector>

namespace tovo::app {

// The argument types of a registered message, in the words of the reference pages: "int" and
// "float" for each typed argument in order; "atoms" when the object reads whatever atoms come;
// "private" for the host's own messages ("dsp", "assist"); "-" for none.
std::string argument_text(const host::Method& m);

// Every class: the built-ins, then one per plug-in file in the externals folder, loaded now;
// each group by name. Why a file gives no class (or the folder can't be read) goes to
// `problems`, as a line without the "error: " prefix.
std::vector<const host::Class*> find_classes(host::Runtime& rt, std::vector<std::string>& problems);

// `tovo --list`: one line per class, its name, "built-in" or "plug-in", and "signal" for a
// signal object; then an error line per problem. False when there was a problem.
bool print_class_list(host::Runtime& rt);

// `tovo --methods CLASS`: the class's messages with their argument types in registration
// order, then the inlets and outlets of a box made with no arguments, with their assist texts.
// False, after an error line, when there is no such class or the box can't be made.
bool print_methods(host::Runtime& rt, const std::string& name);

} // namespace tovo::app
