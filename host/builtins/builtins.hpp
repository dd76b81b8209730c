// Registration routines of the host's built-in classes, one per class, each written against the
// plug-in API exactly as a plug-in's main would be.
#pragma once

#include "host/api.hpp"

namespace tovo::builtins {

int print_main();
int print_tilde_main();
int sig_main();
int cycle_main();
int noise_main();
int snapshot_main();
int line_main();
int metro_main();
int prepend_main();
int pack_main();
int unpack_main();
int xyz2angles_main();
int sfplay_main();
int sfrecord_main();

// Shared by several built-ins: a number atom's value, 0 for anything else.
inline double number_of(const host::Atom& a) {
    return a.a_type == host::A_FLOAT  ? a.a_w.w_float
           : a.a_type == host::A_LONG ? static_cast<double>(a.a_w.w_long)
                                      : 0.0;
}

} // namespace tovo::builtins
