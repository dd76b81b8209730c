// SPDX-License-Identifier: GPL-3.0-or-later
// my.echo: sends on every list it receives. A whole plug-in in one file, built against the
// installed SDK alone; the package's own objects have the same shape.
#include <tovo/api.hpp>

#include <type_traits>

// The SDK's calls live in tovo::host; opening it from inside namespace tovo lets its post,
// error and sprintf win over the C library's functions of the same names.
namespace tovo {
using namespace host;

// The longest list sent on; the atoms past it are dropped.
constexpr short ECHO_MAX_ATOMS = 256;

struct Echo {
    Object ob; // the host's header, first
    Outlet* out;
    Atom result[ECHO_MAX_ATOMS]; // the list going out: the host only lends it to the receivers
};
// The host hands out zeroed memory of the record's size and runs no constructor.
static_assert(std::is_standard_layout_v<Echo> && std::is_trivially_default_constructible_v<Echo>);

Class* echo_class;

void* echo_new(Symbol*, short, Atom*) {
    auto* x = static_cast<Echo*>(newobject(echo_class));
    if (x)
        x->out = listout(x);
    return x;
}

void echo_list(Echo* x, Symbol*, short argc, Atom* argv) {
    const short n = argc < ECHO_MAX_ATOMS ? argc : ECHO_MAX_ATOMS;
    for (short i = 0; i < n; ++i)
        x->result[i] = argv[i];
    outlet_list(x->out, nullptr, n, x->result);
}

} // namespace tovo

// Called once when the plug-in loads: registers the class under the file's name, my.echo.
TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&echo_class, echo_new, nullptr, sizeof(Echo), 0, A_GIMME, 0);
    addmess(echo_list, "list", A_GIMME, 0);
    return 0;
}
