// SPDX-License-Identifier: GPL-3.0-or-later
// The SDK realised on Pure Data: what the binding keeps for each box, outlet and clock (classes
// are the shared records of host/classes.hpp). binding.cpp implements the SDK over it, and
// host_services for the parts the tovo host shares; plug-ins never see it.
// Pd's header stays out of namespace tovo: its macros name Pd's type codes unqualified.
#pragma once

#include <m_pd.h>

#include "host/classes.hpp"
#include "host/host_services.hpp"
#include <tovo/api.hpp>

#include <memory>
#include <string>
#include <vector>

namespace tovo::host {

struct Outlet {
    Box* owner;
    bool signal;
    t_outlet* pd = nullptr; // made once the creation routine has returned
};

struct Clock {
    Box* owner;
    detail::ErasedFn fn;
    detail::FreeThunk thunk;
    t_clock* pd = nullptr;
};

// The object Pd knows: its header, the main signal inlet's scalar, and the binding's box.
struct PdBox {
    t_object obj;
    t_float scalar;
    Box* box;
};

struct Box {
    Class* cls;
    PdBox* pd;
    void* instance;       // the plug-in's record, zeroed, header first
    bool adopted = false; // the creation routine returned it
    bool signal_object = false;
    int signal_inlets = 0;
    int message_inlets = 1;                       // the left inlet, plus those of inlet_new
    std::vector<std::unique_ptr<Outlet>> outlets; // left to right
    std::vector<t_pd*> proxies;                   // the message inlets right of the left one
    std::vector<std::unique_ptr<Clock>> clocks;
    std::unique_ptr<BoxExtension> extension;
    // Built by "dsp": the records handed to the plug-in, and the copies of inlets whose buffer
    // Pd also gave to an outlet.
    std::vector<Signal> signals;
    std::vector<Signal*> signal_pointers;
    std::vector<short> counts;
    std::vector<std::unique_ptr<float[]>> copies;
};

// The box whose message or creation is being handled, for error lines; may be null.
Box* current_box();

// Atoms between the package's form and Pd's.
void to_pd_atom(const Atom& in, t_atom& out);
// A message's atom: every number is a float.
Atom from_pd_message_atom(const t_atom& in);
// A creation argument: an integral number within 32 bits is an integer, any other a float.
Atom from_pd_creation_atom(const t_atom& in);

} // namespace tovo::host

// The entry each external's generated setup function calls: runs the plug-in's main with `name`
// as the class it registers, then makes the Pd class.
extern "C" TOVO_EXPORT void tovo_pd_define(const char* name, int (*registration)());
