// SPDX-License-Identifier: GPL-3.0-or-later
// print and print~: what a patch shows on the console.
#include "host/builtins/builtins.hpp"

#include "host/format.hpp"

#include <span>
#include <string>
#include <type_traits>

namespace tovo::builtins {
using namespace host;

namespace {

Symbol* label_from(short argc, Atom* argv, const char* fallback) {
    if (argc < 1)
        return gensym(fallback);
    return argv[0].a_type == A_SYM ? argv[0].a_w.w_sym : gensym(format_atom(argv[0]).c_str());
}

std::string atoms_text(short argc, Atom* argv) {
    return format_atoms(std::span<const Atom>(argv, argc > 0 ? argc : 0));
}

// --- print [LABEL]: prints each message as "LABEL: ATOMS" ------------------------------------

struct Print {
    Object ob;
    Symbol* label;
};
static_assert(std::is_standard_layout_v<Print> && std::is_trivially_default_constructible_v<Print>);

Class* print_class;

void* print_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Print*>(newobject(print_class));
    x->label = label_from(argc, argv, "print");
    return x;
}

void print_bang(Print* x) {
    post("%s: bang", x->label->s_name);
}

void print_list(Print* x, Symbol*, short argc, Atom* argv) {
    const std::string atoms = atoms_text(argc, argv);
    post("%s:%s%s", x->label->s_name, atoms.empty() ? "" : " ", atoms.c_str());
}

void print_anything(Print* x, Symbol* s, short argc, Atom* argv) {
    const std::string atoms = atoms_text(argc, argv);
    post("%s: %s%s%s", x->label->s_name, s->s_name, atoms.empty() ? "" : " ", atoms.c_str());
}

void print_assist(Print*, void*, long kind, long, char* text) {
    if (kind == 1)
        sprintf(text, "anything to print");
}

// --- print~ [LABEL]: prints each signal vector as one line ---------------------------------------

struct PrintTilde {
    SignalObject z;
    Symbol* label;
};
static_assert(std::is_standard_layout_v<PrintTilde> &&
              std::is_trivially_default_constructible_v<PrintTilde>);

Class* print_tilde_class;

void* print_tilde_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<PrintTilde*>(newobject(print_tilde_class));
    z_dsp_setup(&x->z, 1);
    x->label = label_from(argc, argv, "print~");
    return x;
}

std::intptr_t* print_tilde_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<PrintTilde*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const auto* in = reinterpret_cast<const float*>(w[3]);
    std::string line = x->label->s_name;
    line += ':';
    for (long j = 0; j < n; ++j) {
        line += ' ';
        line += format_float(in[j]);
    }
    post("%s", line.c_str());
    return w + 4;
}

void print_tilde_dsp(PrintTilde* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec};
    dsp_addv(print_tilde_perform, 3, args);
}

void print_tilde_assist(PrintTilde*, void*, long kind, long, char* text) {
    if (kind == 1)
        sprintf(text, "signal to print (signal)");
}

} // namespace

int print_main() {
    setup(&print_class, print_new, nullptr, sizeof(Print), 0, A_GIMME, 0);
    addbang(print_bang);
    addmess(print_list, "list", A_GIMME, 0);
    addmess(print_anything, "anything", A_GIMME, 0);
    addmess(print_assist, "assist", A_CANT, 0);
    return 0;
}

int print_tilde_main() {
    setup(&print_tilde_class, print_tilde_new, z_dsp_free, sizeof(PrintTilde), 0, A_GIMME, 0);
    addmess(print_tilde_dsp, "dsp", A_CANT, 0);
    addmess(print_tilde_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

} // namespace tovo::builtins
