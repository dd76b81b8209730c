// SPDX-License-Identifier: GPL-3.0-or-later
// The host's own classes, registered once per process before any plug-in loads.
#include "host/builtins.hpp"

#include "host/builtins/builtins.hpp"
#include "host/registry.hpp"

namespace tovo::host {

void register_builtins(Registry& registry) {
    using namespace builtins;
    registry.define("print", print_main);
    registry.define("print~", print_tilde_main);
    registry.define("sig~", sig_main);
    registry.define("cycle~", cycle_main);
    registry.define("noise~", noise_main);
    registry.define("snapshot~", snapshot_main);
    registry.define("line", line_main);
    registry.define("metro", metro_main);
    registry.define("prepend", prepend_main);
    registry.define("pack", pack_main);
    registry.define("unpack", unpack_main);
    registry.define("xyz2angles", xyz2angles_main);
    registry.define("sfplay~", sfplay_main);
    registry.define("sfrecord~", sfrecord_main);
}

} // namespace tovo::host
