// SPDX-License-Identifier: GPL-3.0-or-later
// The host API's context-free calls, each passed to the runtime current on this thread.
#include <tovo/api.hpp>
#include <tovo/jitter.hpp>

#include "host/runtime.hpp"

#include <cstdio>
#include <string>

namespace tovo::host {

// --- what the shared parts need of this host (host_services.hpp) -----------------------------

ClassTable& class_table() {
    return Registry::instance().table();
}

Class* class_of(void* x) {
    Box* b = box_of(x);
    return b ? b->cls : nullptr;
}

std::unique_ptr<BoxExtension>& extension_of(void* x) {
    return box_of(x)->extension;
}

// Lines go to the current runtime's console; outside any runtime (a plug-in's main run by hand),
// to standard error.
void console_post(const std::string& line) {
    if (Runtime* rt = Runtime::current())
        rt->print(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void console_error(const std::string& text) {
    console_post("error: " + text);
}

namespace {

// Selectors of every bang and unnamed list an outlet sends, interned once rather than looked up
// (under the symbol table's lock) per message; symbols live as long as the process.
Symbol* bang_selector() {
    static Symbol* const s = gensym("bang");
    return s;
}

Symbol* list_selector() {
    static Symbol* const s = gensym("list");
    return s;
}

} // namespace

// --- the host API -------------------------------------------------------------------------------

void* newobject(Class* c) {
    Runtime* rt = Runtime::current();
    return rt ? rt->api_newobject(c) : nullptr;
}

void freeobject(void* x) {
    if (Runtime* rt = Runtime::current())
        rt->api_freeobject(x);
}

Outlet* outlet_new(void* x, const char* type) {
    Runtime* rt = Runtime::current();
    if (!rt)
        return nullptr;
    const bool signal = type && std::string(type) == "signal";
    return rt->api_outlet(x, signal ? OutletKind::Signal : OutletKind::Message);
}

void outlet_bang(Outlet* o) {
    if (Runtime* rt = Runtime::current())
        rt->api_outlet_send(o, bang_selector(), 0, nullptr);
}

void outlet_anything(Outlet* o, Symbol* s, short argc, Atom* argv) {
    if (Runtime* rt = Runtime::current())
        rt->api_outlet_send(o, s ? s : list_selector(), argc, argv);
}

void* newinstance(Symbol* cls, short argc, Atom* argv) {
    Runtime* rt = Runtime::current();
    return rt && cls ? rt->new_instance(cls, argc, argv) : nullptr;
}

void z_dsp_setup(SignalObject* x, short signal_inlets) {
    if (Runtime* rt = Runtime::current())
        rt->api_dsp_setup(x, signal_inlets);
}

void dsp_addv(PerformRoutine perform, long n, void** args) {
    if (Runtime* rt = Runtime::current())
        rt->api_dsp_addv(perform, n, args);
}

namespace detail {

Clock* make_clock(void* x, ErasedFn fn, FreeThunk thunk) {
    Runtime* rt = Runtime::current();
    return rt ? rt->api_clock_new(x, fn, thunk) : nullptr;
}

} // namespace detail

void clock_delay(Clock* c, double ms) {
    if (Runtime* rt = Runtime::current())
        rt->api_clock_delay(c, ms);
}

void clock_unset(Clock* c) {
    if (Runtime* rt = Runtime::current())
        rt->api_clock_unset(c);
}

void clock_free(Clock* c) {
    if (Runtime* rt = Runtime::current())
        rt->api_clock_free(c);
}

double gettime() {
    Runtime* rt = Runtime::current();
    return rt ? rt->now_ms() : 0.0;
}

double sys_getsr() {
    Runtime* rt = Runtime::current();
    return rt ? rt->sample_rate() : 48000.0;
}

long sys_getblksize() {
    Runtime* rt = Runtime::current();
    return rt ? rt->vector_size() : 64;
}

void inlet_new(void* x, const char*) {
    if (Runtime* rt = Runtime::current())
        rt->api_inlet_new(x);
}

long proxy_getinlet(void*) {
    Runtime* rt = Runtime::current();
    return rt ? rt->api_current_inlet() : 0;
}

} // namespace tovo::host
