// SPDX-License-Identifier: GPL-3.0-or-later
// list_echo: a test object with a handler for every type code. It reports what each handler
// received, so scripts can watch the host's typed dispatch, and echoes lists out of its outlets.
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct ListEcho {
    Object ob;
    Outlet* left;  // lists received with "list"
    Outlet* right; // "gimme": the selector and arguments as a list
    Atom out[16];
};
static_assert(std::is_standard_layout_v<ListEcho> &&
              std::is_trivially_default_constructible_v<ListEcho>);

Class* list_echo_class;

void* list_echo_new(Symbol*, short argc, Atom*) {
    auto* x = static_cast<ListEcho*>(newobject(list_echo_class));
    x->right = listout(x);
    x->left = listout(x);
    post("list_echo: new with %d arguments", argc);
    return x;
}

void list_echo_bang(ListEcho* x) {
    post("list_echo: bang");
    outlet_bang(x->left);
}

void list_echo_none(ListEcho*) {
    post("list_echo: none");
}

void list_echo_int(ListEcho*, std::int32_t v) {
    post("list_echo: int %d", v);
}

void list_echo_float(ListEcho*, double v) {
    post("list_echo: float %.9g", v);
}

void list_echo_mixed(ListEcho*, std::int32_t a, double b, std::int32_t c) {
    post("list_echo: mixed %d %.9g %d", a, b, c);
}

// More typed arguments than the host converts on its stack.
void list_echo_wide(ListEcho*, std::int32_t a, double b, std::int32_t c, double d, std::int32_t e,
                    double f, std::int32_t g, double h, std::int32_t i, double j) {
    post("list_echo: wide %d %.9g %d %.9g %d %.9g %d %.9g %d %.9g", a, b, c, d, e, f, g, h, i, j);
}

void list_echo_list(ListEcho* x, Symbol*, short argc, Atom* argv) {
    const short n = argc < 16 ? argc : 16;
    for (short i = 0; i < n; ++i)
        x->out[i] = argv[i];
    outlet_list(x->left, nullptr, n, x->out);
}

void list_echo_gimme(ListEcho* x, Symbol* s, short argc, Atom* argv) {
    const short n = argc < 15 ? argc : 15;
    atom_setsym(&x->out[0], s);
    for (short i = 0; i < n; ++i)
        x->out[i + 1] = argv[i];
    outlet_list(x->right, nullptr, static_cast<short>(n + 1), x->out);
}

void list_echo_assist(ListEcho*, void*, long kind, long index, char* text) {
    sprintf(text, "%s %ld of list_echo", kind == 1 ? "inlet" : "outlet", index);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&list_echo_class, list_echo_new, nullptr, sizeof(ListEcho), 0, A_GIMME, 0);
    addbang(list_echo_bang);
    addmess(list_echo_none, "none", 0);
    addmess(list_echo_int, "int", A_LONG, 0);
    addmess(list_echo_float, "float", A_FLOAT, 0);
    addmess(list_echo_mixed, "mixed", A_LONG, A_FLOAT, A_LONG, 0);
    addmess(list_echo_wide, "wide", A_LONG, A_FLOAT, A_LONG, A_FLOAT, A_LONG, A_FLOAT, A_LONG,
            A_FLOAT, A_LONG, A_FLOAT, 0);
    addmess(list_echo_list, "list", A_GIMME, 0);
    addmess(list_echo_gimme, "gimme", A_GIMME, 0);
    addmess(list_echo_assist, "assist", A_CANT, 0);
    post("list_echo: registered");
    return 0;
}
