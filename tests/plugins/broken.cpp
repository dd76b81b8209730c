// SPDX-License-Identifier: GPL-3.0-or-later
// Plug-ins that fail in each way the loader and the chain must survive. One source, built once
// per failure with BROKEN_<KIND> defined.
#include <tovo/api.hpp>

namespace tovo {
using namespace host;

struct Broken {
    SignalObject z;
};

Class* broken_class;

[[maybe_unused]] void* broken_new(Symbol*, short, Atom*) {
    auto* x = static_cast<Broken*>(newobject(broken_class));
#if defined(BROKEN_NULLNEW)
    (void)x;
    return nullptr; // made, then disowned: the host must release it
#else
    z_dsp_setup(&x->z, 1);
    outlet_new(x, "signal");
    return x;
#endif
}

// Returns one word short of the position past its arguments.
[[maybe_unused]] std::intptr_t* broken_perform(std::intptr_t* w) {
    return w + 2;
}

[[maybe_unused]] void broken_dsp(Broken* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n)};
    dsp_addv(broken_perform, 2, args);
}

[[maybe_unused]] void broken_float(Broken*, double) {}

} // namespace tovo

#if !defined(BROKEN_NOMAIN)
TOVO_EXPORT int main() {
    using namespace tovo;
#if defined(BROKEN_NULLNEW)
    setup(&broken_class, broken_new, nullptr, sizeof(Broken), 0, A_GIMME, 0);
#elif defined(BROKEN_PERFORM)
    setup(&broken_class, broken_new, z_dsp_free, sizeof(Broken), 0, A_GIMME, 0);
    addmess(broken_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
#elif defined(BROKEN_CODES)
    setup(&broken_class, broken_new, z_dsp_free, sizeof(Broken), 0, A_GIMME, 0);
    addmess(broken_float, "f", A_LONG, 0);           // handler takes a float
    addmess(broken_float, "g", A_FLOAT, A_FLOAT, 0); // one argument, two codes
    addmess(broken_float, "h", A_FLOAT, 0);
    addmess(broken_float, "h", A_FLOAT, 0); // the same selector again
    addmess(broken_dsp, "process", A_CANT, 0);
    setup(&broken_class, broken_new, nullptr, sizeof(Broken), 0, A_GIMME, 0);
#endif
    // BROKEN_NOTHING registers nothing at all.
    return 0;
}
#endif
