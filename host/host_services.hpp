// SPDX-License-Identifier: GPL-3.0-or-later
// What the parts shared by both hosts (classes, dispatch, common calls, the Jitter layer) need of
// the host they are built into. The tovo runtime and the Pd binding each keep boxes and a
// console their own way and implement these over them.
#pragma once

#include <tovo/api.hpp>

#include <memory>
#include <string>

namespace tovo::host {

// Host-side data that a layer of the host keeps for one box (the Jitter wrapper's, for one). It
// goes with the box, whether or not the object's free routine released it.
struct BoxExtension {
    virtual ~BoxExtension() = default;
};

// The box behind an instance record, from the header the host filled in; null for null.
inline Box* box_of(void* x) {
    return x ? static_cast<Object*>(x)->o_box : nullptr;
}

// The class a plug-in's main is setting up; null outside a main (classes.cpp).
Class* registering_class();
const char* class_name(const Class* c);
long class_size(const Class* c); // of its instance record, in bytes

// --- each host's own --------------------------------------------------------------------------

// The class of the box behind an instance record; null when x is null.
Class* class_of(void* x);
// The extension of the box behind an instance record (x not null); empty until one is given.
std::unique_ptr<BoxExtension>& extension_of(void* x);

// The console: a line that post gives, and the text of an error line (the host marks it as one
// its own way).
void console_post(const std::string& line);
void console_error(const std::string& text);

// A "bug: TEXT" line, for a plug-in that calls the host API in a way it does not allow.
void bug(const std::string& text);

} // namespace tovo::host
