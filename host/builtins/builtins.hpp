// SPDX-License-Identifier: GPL-3.0-or-later
// Registration routines of the host's built-in classes, one per class, each written against the
// plug-in API exactly as a plug-in's main would be.
#pragma once

#include <tovo/api.hpp>

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

} // namespace tovo::builtins
