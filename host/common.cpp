// SPDX-License-Identifier: GPL-3.0-or-later
// The SDK calls that every host implements alike: post, error and bug lines formatted here and
// handed to the host's console, sprintf bounded to TEXT_MAX, memory, and the outlet calls that
// are another's in other words. Both hosts build this file.
#include <tovo/api.hpp>

#include "host/host_services.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tovo::host {

namespace {

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, ap);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

} // namespace

void bug(const std::string& text) {
    console_post("bug: " + text);
}

void post(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    console_post(text);
}

void error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    console_error(text);
}

int sprintf(char* buf, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, TEXT_MAX, fmt, ap);
    va_end(ap);
    return n;
}

void* sysmem_newptr(long bytes) {
    return std::malloc(bytes > 0 ? static_cast<std::size_t>(bytes) : 1);
}

void sysmem_freeptr(void* p) {
    std::free(p);
}

Outlet* listout(void* x) {
    return outlet_new(x, nullptr);
}

Outlet* intout(void* x) {
    return outlet_new(x, nullptr);
}

void outlet_list(Outlet* o, Symbol* s, short argc, Atom* argv) {
    outlet_anything(o, s, argc, argv);
}

void z_dsp_free(SignalObject*) {
    // Each host takes a box out of its chain before the box's free routine runs.
}

} // namespace tovo::host
